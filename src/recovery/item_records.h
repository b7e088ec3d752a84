#pragma once

// The record a copy keeps of each item for a report: where a file's bytes lie on the disk,
// what of them could not be read, and a SHA-256 of the file as written.

#include "disk/bad_sector_map.h"
#include "format/sha256.h"
#include "recovery/extraction.h"

#include <optional>

namespace trevik {

// The DFXML name_type letter of an inode's type ('-' for none).
char TypeLetter(uint16_t mode);

// Keeps the record of the file being copied. The record itself lives in the outcome.
class RecordKeeper {
public:
    // Starts on `record` (not owned: it stays where the summary keeps it).
    void Begin(ItemRecord& record);
    void End();
    ItemRecord* Current() { return record_; }

    // A block of the file read from `sector` on and written at `fileOffset`; `damaged`
    // when the reader found some of its sectors unreadable (`bad` says which).
    void Block(const BadSectorMap& bad, uint64_t fileOffset, uint64_t sector,
               std::span<const uint8_t> data, bool damaged);
    // `length` bytes at `fileOffset` whose place on the disk is lost.
    void Lost(uint64_t fileOffset, uint64_t length);
    // The file is written and `size` bytes long: its digest, when it is worth one.
    void Finish(uint64_t size);

private:
    // Hashes the file as written up to `end`: zeros where nothing was written.
    void HashZerosTo(uint64_t end);

    ItemRecord* record_ = nullptr;
    std::optional<Sha256> hash_;
    uint64_t hashedTo_ = 0;
    uint64_t hashedZeros_ = 0;
};

} // namespace trevik

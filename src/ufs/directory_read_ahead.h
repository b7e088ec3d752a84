#pragma once

#include "disk/sector_reader.h"

#include <cstdint>
#include <span>
#include <vector>

namespace trevik {

// Directory blocks read ahead of a walk: the blocks it is about to parse are asked for
// first, then read in merged runs sorted by address, and handed out as the walk reaches
// them. A block not among them is the walk's to read.
class DirectoryReadAhead {
public:
    // Forgets what was read and asked for.
    void Clear();
    void Want(uint64_t sector, uint32_t count) {
        wants_.push_back({sector, count});
        wantedBytes_ += size_t{count} * kSectorSize;
    }
    // Bytes asked for since the last read.
    size_t WantedBytes() const { return wantedBytes_; }
    // Reads what was asked for: runs of at most 256 sectors, each sector once.
    void Read(SectorReader& reader);
    // Holds `bytes`, read by the caller from `sector` on, as if read ahead.
    void Hold(uint64_t sector, std::span<const uint8_t> bytes);
    // Copies out.size() bytes from `sector` on out of what was read, with the outcome of
    // reading them; false when they were not all read ahead.
    bool Take(SectorReader& reader, uint64_t sector, std::span<uint8_t> out,
              ReadOutcome& outcome) const;

private:
    struct Wanted {
        uint64_t sector;
        uint32_t count;
    };
    struct Run {
        uint64_t first;
        uint32_t count;
        size_t at; // offset in bytes_
        bool whole;
    };
    std::vector<Wanted> wants_;
    size_t wantedBytes_ = 0;
    std::vector<Run> runs_;
    std::vector<uint8_t> bytes_;
};

} // namespace trevik

#pragma once

// Replays a Solaris UFS log, read-only and in memory: the committed transactions a crash
// left in the log become an overlay of bytes that every read of the volume then sees, so
// the volume is shown as Solaris shows it after rolling its log. Nothing is written.

#include "disk/read_overlay.h"
#include "disk/sector_reader.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace trevik {

enum class LogStatus {
    None,     // the volume does not log
    Rolled,   // it logs, and its log holds nothing to replay
    Replayed, // committed transactions were replayed
    Damaged,  // the log cannot be trusted (whole or from some point on): `reason` says why
    Ignored,  // it logs, and the user chose to see the volume without its log
};

struct LogReport {
    LogStatus status = LogStatus::None;
    uint32_t transactions = 0;  // committed transactions replayed
    uint32_t deltas = 0;        // deltas they apply (cancelled ones left out)
    uint64_t bytes = 0;         // bytes of the volume they change
    uint64_t scannedBytes = 0;  // of the log, from its head to where the scan ended
    std::string reason;         // Damaged: why
    uint64_t damagedSector = 0; // Damaged by an unreadable log sector: its disk sector
    bool needsRoll = false;     // fs_rolled says the log was not rolled
    bool reclaim = false;       // fs_reclaim: unlinked inodes were still open
    // Absolute disk sectors [first, end) the log occupies (its extent block and extents):
    // they hold stale copies of metadata, never a file's data.
    std::vector<std::pair<uint64_t, uint64_t>> sectors;
};

struct LogReplay {
    LogReport report;
    std::shared_ptr<ReadOverlay> overlay; // null when nothing is replayed
};

// Reads the log of the volume that starts at disk sector `volumeStart` and spans
// `volumeSectors`, whose superblock (at least its first 1536 bytes) is `superblock` and whose
// block size is `blockSize`. With `apply` false a logging volume is only reported Ignored.
// Work is bounded by the log's size: every log sector is read at most once.
LogReplay ReplayLog(SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                    std::span<const uint8_t> superblock, uint32_t blockSize, bool apply);

// "none", "rolled", "replayed", "damaged", "ignored": the names scripts and reports use.
const char* LogStatusName(LogStatus status);

// Whether `sector` lies in one of the log's ranges (sorted by first sector).
bool InLog(const LogReport& log, uint64_t sector);

} // namespace trevik

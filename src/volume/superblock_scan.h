#pragma once

#include "disk/sector_reader.h"
#include "format/superblock_check.h"
#include "volume/volume_table.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace trevik {

struct ScanProgress {
    uint64_t currentSector = 0; // first sector of the run about to be read
    uint64_t done = 0;          // sectors scanned so far
    uint64_t total = 0;         // length of the range
    uint32_t percent = 0;

    // "Scanning sector <done> Of <total>"
    std::string Line() const {
        return "Scanning sector " + std::to_string(done) + " Of " + std::to_string(total);
    }
};

// Receives the scan's reports on the scanning thread. Progress is coalesced by the scan:
// the first and the last run are always reported, the runs between at most once per
// progress interval.
class ScanObserver {
public:
    virtual ~ScanObserver() = default;
    virtual void OnScanProgress(const ScanProgress& /*progress*/) {}
    // `count` is the number of volumes found so far, this one included.
    virtual void OnVolumeFound(const PartitionEntry& /*entry*/, size_t /*count*/) {}
};

// Sectors the scan reads at once (128 KiB, as much as cat reads at once: larger reads
// copy no faster and fall out of the processor's cache), in whole runs of
// ScanOptions::sectorsPerRead.
inline constexpr uint32_t kScanBatchSectors = 256;

struct ScanOptions {
    uint64_t startSector = 0;
    uint64_t endSector = 0; // exclusive
    uint32_t sectorsPerRead = 60;
    std::chrono::milliseconds progressInterval{33};
};

// ConfirmSuperblock over the disk's sector reader.
std::optional<SuperblockHit> ConfirmSuperblock(SectorReader& reader, uint64_t magicSector);

enum class ScanOutcome { Completed, Stopped, LimitReached };

// Looks in every sector of [start, end) for the UFS magic where it stands inside a
// superblock, confirms each hit by the cylinder-group header that follows a primary
// superblock or the first backup copy, and appends the volume it belongs to. Polls
// `stopRequested` before each run and each sector; clears it when it starts and sets it
// when the table's scan limit (99 volumes) is reached.
ScanOutcome ScanForVolumes(SectorReader& reader, const ScanOptions& options, VolumeTable& table,
                           std::atomic<bool>& stopRequested, ScanObserver* observer = nullptr);

} // namespace trevik

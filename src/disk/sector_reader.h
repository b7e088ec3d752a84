#pragma once

#include "disk/bad_sector_map.h"
#include "disk/block_device.h"
#include "disk/read_overlay.h"
#include "format/sector.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

namespace trevik {

// What one read delivered. Sectors that could not be delivered read as zeros and are
// counted here, so that a caller can never take them for data.
struct ReadOutcome {
    uint32_t unreadable = 0; // failed, known to be bad, or past the end of the device
    uint32_t pastEnd = 0;    // of those, the sectors past the end of the device

    bool Whole() const { return unreadable == 0; }
};

// Reads runs of 512-byte sectors from the chosen disk. A run is first asked for whole;
// when that fails, each of its sectors is asked for alone, up to the bad-sector retry
// count, so that a bad sector costs at most retries + 1 attempts. A sector that stays
// unreadable is remembered for as long as the disk is open and never asked for again.
class SectorReader {
public:
    // A reader without a device: every sector reads as unreadable zeros.
    SectorReader() = default;
    SectorReader(BlockDevice* device, uint64_t totalSectors, uint16_t badSectorRetries = 3)
        : device_(device), totalSectors_(totalSectors), retries_(badSectorRetries) {}

    // Reads buffer.size() / 512 sectors at `startSector`. Every byte of the buffer is set:
    // with the disk's data, or with zeros where a sector is unreadable.
    ReadOutcome Read(uint64_t startSector, std::span<uint8_t> buffer);
    ReadOutcome Read(uint64_t startSector, uint32_t count, uint8_t* buffer) {
        return Read(startSector, {buffer, size_t{count} * kSectorSize});
    }

    // True when the sector is known to be unreadable (or lies past the end); reads nothing.
    bool KnownBad(uint64_t sector) const {
        return sector >= totalSectors_ || badSectors_.Contains(sector);
    }

    // Points the reader at another device (or none); forgets the bad sectors. Not while a
    // worker reads.
    void Reset(BlockDevice* device, uint64_t totalSectors) {
        device_ = device;
        totalSectors_ = totalSectors;
        badSectors_.Clear();
        overlay_.reset();
    }

    // Bytes every read then shows in place of the disk's (null: none), such as a file
    // system's log replayed over its volume. Not while a worker reads.
    void SetOverlay(std::shared_ptr<const ReadOverlay> overlay) { overlay_ = std::move(overlay); }
    const ReadOverlay* Overlay() const { return overlay_.get(); }

    // Takes effect at the next read; safe to call while a worker reads.
    void SetBadSectorRetries(uint16_t retries) { retries_.store(retries); }
    uint16_t BadSectorRetries() const { return retries_.load(); }

    uint64_t TotalSectors() const { return totalSectors_; }
    bool HasDevice() const { return device_ != nullptr; }
    BlockDevice* Device() const { return device_; }
    BadSectorMap& BadSectors() { return badSectors_; }
    const BadSectorMap& BadSectors() const { return badSectors_; }

    // While set, a failed run is not tried again sector by sector once the flag is raised:
    // the sectors not tried read as zeros and count as unreadable for this read, but are
    // not marked bad (they were never asked for). Not owned; null: never stopped.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_.store(stop); }

private:
    // Reads [first, end), none of it in the map, into out; returns the sectors that failed.
    uint32_t ReadFresh(uint64_t first, uint64_t end, uint8_t* out);
    bool Attempt(uint64_t sector, uint64_t count, uint8_t* out);

    BlockDevice* device_ = nullptr;
    uint64_t totalSectors_ = 0;
    std::atomic<uint16_t> retries_{3};
    BadSectorMap badSectors_;
    std::shared_ptr<const ReadOverlay> overlay_;
    std::atomic<const std::atomic<bool>*> stop_{nullptr};
};

} // namespace trevik

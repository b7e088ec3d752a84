#pragma once

#include "disk/block_device.h"

#include <atomic>
#include <cstdint>
#include <span>

namespace trevik {

inline constexpr uint32_t kSectorBytes = 512;

// Reads runs of 512-byte sectors from the chosen disk. A run is first asked for whole;
// when that fails, each of its sectors is tried alone, up to the bad-sector retry count.
// A sector that stays unreadable keeps whatever the buffer held at its place (callers
// that need defined content prepare the buffer themselves).
class SectorReader {
public:
    // A reader without a device: every read returns 0 and leaves the buffer alone.
    SectorReader() = default;
    SectorReader(BlockDevice* device, uint64_t totalSectors, uint16_t badSectorRetries = 3)
        : device_(device), totalSectors_(totalSectors), retries_(badSectorRetries) {}

    // Reads `count` sectors at `startSector` into buffer (count x 512 bytes). Returns 1
    // when the whole run was delivered at the first attempt, or, after a fallback to
    // single sectors, when the last attempt made succeeded; 0 otherwise. A start beyond
    // the disk's last sector + 1 is refused with 0 and the buffer is not touched.
    // `unreadable`, when given, receives the number of sectors that stayed unreadable.
    int Read(uint64_t startSector, uint32_t count, uint8_t* buffer, uint32_t* unreadable = nullptr);

    int Read(uint64_t startSector, std::span<uint8_t> buffer, uint32_t* unreadable = nullptr) {
        return Read(startSector, static_cast<uint32_t>(buffer.size() / kSectorBytes), buffer.data(),
                    unreadable);
    }

    // Points the reader at another device (or none). Not while a worker reads.
    void Reset(BlockDevice* device, uint64_t totalSectors) {
        device_ = device;
        totalSectors_ = totalSectors;
    }

    // Takes effect at the next read; safe to call while a worker reads.
    void SetBadSectorRetries(uint16_t retries) { retries_.store(retries); }
    uint16_t BadSectorRetries() const { return retries_.load(); }

    uint64_t TotalSectors() const { return totalSectors_; }
    bool HasDevice() const { return device_ != nullptr; }
    BlockDevice* Device() const { return device_; }

private:
    BlockDevice* device_ = nullptr;
    uint64_t totalSectors_ = 0;
    std::atomic<uint16_t> retries_{3};
};

} // namespace trevik

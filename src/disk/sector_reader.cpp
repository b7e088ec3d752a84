#include "disk/sector_reader.h"

namespace trevik {

int SectorReader::Read(uint64_t startSector, uint32_t count, uint8_t* buffer,
                       uint32_t* unreadable) {
    if (unreadable != nullptr) {
        *unreadable = 0;
    }
    // Only the first sector is bounded: a run that starts inside the disk and passes its
    // end is still attempted, and its sectors past the end simply fail.
    if (static_cast<int64_t>(startSector) > static_cast<int64_t>(totalSectors_) ||
        startSector > static_cast<uint64_t>(INT64_MAX)) {
        return 0;
    }
    if (device_ == nullptr) {
        return 0;
    }
    if (count == 0) {
        return 1;
    }
    const size_t bytes = size_t{count} * kSectorBytes;
    if (device_->ReadAt(startSector * kSectorBytes, {buffer, bytes})) {
        return 1;
    }

    const uint16_t retries = retries_.load();
    bool lastCallSucceeded = false;
    uint32_t bad = 0;
    for (uint32_t i = 0; i < count; ++i) {
        bool ok = false;
        for (uint16_t attempt = 0; attempt < retries && !ok; ++attempt) {
            ok = device_->ReadAt((startSector + i) * kSectorBytes,
                                 {buffer + size_t{i} * kSectorBytes, kSectorBytes});
            lastCallSucceeded = ok;
        }
        if (!ok) {
            ++bad;
        }
    }
    if (unreadable != nullptr) {
        *unreadable = bad;
    }
    return lastCallSucceeded ? 1 : 0;
}

} // namespace trevik

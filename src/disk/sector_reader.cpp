#include "disk/sector_reader.h"

#include <algorithm>
#include <cstring>

namespace trevik {

bool SectorReader::Attempt(uint64_t sector, uint64_t count, uint8_t* out) {
    return device_->ReadAt(sector * kSectorSize, {out, count * kSectorSize});
}

uint32_t SectorReader::ReadFresh(uint64_t first, uint64_t end, uint8_t* out) {
    if (Attempt(first, end - first, out)) {
        return 0;
    }
    // The run failed: each sector alone, at once. The run's request was every sector's
    // first attempt, so a sector that stays bad has cost exactly retries + 1.
    const uint16_t retries = std::max<uint16_t>(retries_.load(), 1);
    const std::atomic<bool>* stop = stop_.load();
    auto stopped = [stop] { return stop != nullptr && stop->load(std::memory_order_relaxed); };
    uint32_t bad = 0;
    for (uint64_t s = first; s < end; ++s) {
        uint8_t* at = out + (s - first) * kSectorSize;
        if (stopped()) {
            // Asked to stop: what is left is not read, and not held against the disk.
            std::memset(at, 0, (end - s) * kSectorSize);
            return bad + static_cast<uint32_t>(end - s);
        }
        bool ok = false;
        for (uint16_t attempt = 0; attempt < retries && !ok && !stopped(); ++attempt) {
            ok = Attempt(s, 1, at);
        }
        if (!ok && stopped()) {
            std::memset(at, 0, (end - s) * kSectorSize);
            return bad + static_cast<uint32_t>(end - s);
        }
        if (!ok) {
            std::memset(at, 0, kSectorSize);
            badSectors_.Add(s, 1);
            ++bad;
        }
    }
    return bad;
}

ReadOutcome SectorReader::Read(uint64_t startSector, std::span<uint8_t> buffer) {
    ReadOutcome out;
    const uint64_t count = buffer.size() / kSectorSize;
    if (count == 0) {
        return out;
    }
    uint8_t* data = buffer.data();
    if (device_ == nullptr) {
        std::memset(data, 0, count * kSectorSize);
        out.unreadable = static_cast<uint32_t>(count);
        return out;
    }
    const uint64_t end = startSector + std::min(count, UINT64_MAX - startSector);
    const uint64_t insideEnd = std::clamp(totalSectors_, startSector, end);
    if (insideEnd < end) {
        // Past the end of the device: unreadable without asking.
        std::memset(data + (insideEnd - startSector) * kSectorSize, 0,
                    (end - insideEnd) * kSectorSize);
        out.pastEnd = static_cast<uint32_t>(end - insideEnd);
        out.unreadable = out.pastEnd;
    }
    for (uint64_t s = startSector; s < insideEnd;) {
        const uint64_t bad = badSectors_.NextBad(s, insideEnd);
        if (bad > s) {
            out.unreadable += ReadFresh(s, bad, data + (s - startSector) * kSectorSize);
            s = bad;
            continue;
        }
        const uint64_t badEnd = std::min(badSectors_.BadRunEnd(s), insideEnd);
        std::memset(data + (s - startSector) * kSectorSize, 0, (badEnd - s) * kSectorSize);
        out.unreadable += static_cast<uint32_t>(badEnd - s);
        s = badEnd;
    }
    if (overlay_)
        overlay_->Apply(startSector * kSectorSize, {data, count * kSectorSize});
    return out;
}

} // namespace trevik

#include "ufs/directory_read_ahead.h"

#include <algorithm>
#include <cstring>

namespace trevik {

void DirectoryReadAhead::Clear() {
    wants_.clear();
    wantedBytes_ = 0;
    runs_.clear();
}

void DirectoryReadAhead::Prepare() {
    constexpr uint32_t kMaxRun = 256; // sectors per read
    std::sort(wants_.begin(), wants_.end(),
              [](const Wanted& a, const Wanted& b) { return a.sector < b.sector; });
    runs_.clear();
    size_t total = 0;
    for (const Wanted& w : wants_) {
        if (!runs_.empty()) {
            Run& last = runs_.back();
            const uint64_t lastEnd = last.first + last.count;
            if (w.sector + w.count <= lastEnd)
                continue; // already in the run
            if (w.sector <= lastEnd && w.sector + w.count - last.first <= kMaxRun) {
                const auto grow = static_cast<uint32_t>(w.sector + w.count - lastEnd);
                last.count += grow;
                total += size_t{grow} * kSectorSize;
                continue;
            }
        }
        runs_.push_back({w.sector, w.count, total, true});
        total += size_t{w.count} * kSectorSize;
    }
    wants_.clear();
    wantedBytes_ = 0;
    bytes_.resize(total);
}

void DirectoryReadAhead::ReadPrepared(SectorReader& reader) {
    for (Run& r : runs_) {
        r.whole = reader.Read(r.first, r.count, bytes_.data() + r.at).Whole();
    }
}

void DirectoryReadAhead::Hold(uint64_t sector, std::span<const uint8_t> bytes) {
    runs_.assign(1, Run{sector, static_cast<uint32_t>(bytes.size() / kSectorSize), 0, true});
    bytes_.assign(bytes.begin(), bytes.end());
}

bool DirectoryReadAhead::Take(SectorReader& reader, uint64_t sector, std::span<uint8_t> out,
                              ReadOutcome& outcome) const {
    const auto count = static_cast<uint32_t>(out.size() / kSectorSize);
    auto it = std::upper_bound(runs_.begin(), runs_.end(), sector,
                               [](uint64_t s, const Run& r) { return s < r.first; });
    if (it == runs_.begin())
        return false;
    --it;
    if (sector + count > it->first + it->count)
        return false;
    std::memcpy(out.data(), bytes_.data() + it->at + (sector - it->first) * kSectorSize,
                out.size());
    outcome = {};
    if (!it->whole) {
        for (uint32_t s = 0; s < count; ++s)
            outcome.unreadable += reader.KnownBad(sector + s) ? 1 : 0;
    }
    return true;
}

} // namespace trevik

#include "disk/bad_sector_map.h"

#include <algorithm>

namespace trevik {

void BadSectorMap::Add(uint64_t first, uint64_t count) {
    if (count == 0) {
        return;
    }
    uint64_t end = first + std::min(count, UINT64_MAX - first);
    std::lock_guard lock(mutex_);
    // Swallow every range that overlaps or touches [first, end).
    auto it = ranges_.upper_bound(first);
    if (it != ranges_.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= first) {
            first = prev->first;
            end = std::max(end, prev->second);
            it = ranges_.erase(prev);
        }
    }
    while (it != ranges_.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = ranges_.erase(it);
    }
    ranges_.emplace(first, end);
    any_.store(true, std::memory_order_release);
}

bool BadSectorMap::Contains(uint64_t sector) const {
    if (!any_.load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    auto it = ranges_.upper_bound(sector);
    if (it == ranges_.begin()) {
        return false;
    }
    --it;
    return sector < it->second;
}

uint64_t BadSectorMap::NextBad(uint64_t from, uint64_t end) const {
    if (!any_.load(std::memory_order_acquire)) {
        return end;
    }
    std::lock_guard lock(mutex_);
    auto it = ranges_.upper_bound(from);
    if (it != ranges_.begin() && std::prev(it)->second > from) {
        return from;
    }
    if (it == ranges_.end() || it->first >= end) {
        return end;
    }
    return it->first;
}

uint64_t BadSectorMap::BadRunEnd(uint64_t sector) const {
    std::lock_guard lock(mutex_);
    auto it = ranges_.upper_bound(sector);
    if (it == ranges_.begin()) {
        return sector;
    }
    --it;
    return sector < it->second ? it->second : sector;
}

uint64_t BadSectorMap::SectorCount() const {
    std::lock_guard lock(mutex_);
    uint64_t n = 0;
    for (const auto& [first, end] : ranges_) {
        n += end - first;
    }
    return n;
}

std::vector<BadSectorMap::Range> BadSectorMap::Ranges() const {
    std::lock_guard lock(mutex_);
    std::vector<Range> out;
    out.reserve(ranges_.size());
    for (const auto& [first, end] : ranges_) {
        out.push_back({first, end});
    }
    return out;
}

void BadSectorMap::Clear() {
    std::lock_guard lock(mutex_);
    ranges_.clear();
    any_.store(false, std::memory_order_release);
}

} // namespace trevik

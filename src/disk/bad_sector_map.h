#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace trevik {

// The sectors of the open disk known to be unreadable: found so by a read, or named by a
// rescue tool's map. A sector in it is never asked of the device again. Safe to use from
// several threads.
class BadSectorMap {
public:
    struct Range {
        uint64_t first = 0;
        uint64_t end = 0; // exclusive
    };

    // Marks [first, first + count) unreadable, merging with neighbouring ranges.
    void Add(uint64_t first, uint64_t count);
    bool Contains(uint64_t sector) const;
    // The first sector of [from, end) that is in the map, or `end` when none is.
    uint64_t NextBad(uint64_t from, uint64_t end) const;
    // The first sector at or after `sector` (which is in the map) that is not.
    uint64_t BadRunEnd(uint64_t sector) const;
    uint64_t SectorCount() const;
    // Whether any sector was ever marked (without taking the lock).
    bool Any() const { return any_.load(std::memory_order_acquire); }
    std::vector<Range> Ranges() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    // Set once anything is added: every read asks, and a sound disk need not take the lock.
    std::atomic<bool> any_{false};
    std::map<uint64_t, uint64_t> ranges_; // first -> end, disjoint and not touching
};

} // namespace trevik

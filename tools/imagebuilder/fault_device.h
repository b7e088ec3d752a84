#pragma once

// A device wrapper for tests: makes chosen sectors unreadable and records every read.

#include "disk/block_device.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <vector>

namespace trevik::imagebuilder {

class FaultyDevice final : public BlockDevice {
public:
    struct Call {
        uint64_t offset;
        size_t length;
        bool ok;
    };

    explicit FaultyDevice(BlockDevice& inner) : inner_(inner) {}

    void AddBadSector(uint64_t sector) { bad_.insert(sector); }
    void AddBadRange(uint64_t first, uint64_t count) {
        for (uint64_t s = first; s < first + count; ++s)
            bad_.insert(s);
    }

    // A read that touches an unreadable sector fails; what it delivered of the sectors
    // before it, it delivers (as a device that stops at the first error would).
    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        const uint64_t first = offset / 512;
        const uint64_t last = (offset + out.size() + 511) / 512;
        auto it = bad_.lower_bound(first);
        bool ok;
        if (it != bad_.end() && *it < last) {
            const uint64_t goodBytes = *it * 512 > offset ? *it * 512 - offset : 0;
            inner_.ReadAt(offset, out.first(std::min<uint64_t>(goodBytes, out.size())));
            ok = false;
        } else {
            ok = inner_.ReadAt(offset, out);
        }
        std::lock_guard lock(mutex_);
        calls_.push_back({offset, out.size(), ok});
        return ok;
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    const std::string& Path() const override { return inner_.Path(); }

    std::vector<Call> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void ClearCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

private:
    BlockDevice& inner_;
    std::set<uint64_t> bad_;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

} // namespace trevik::imagebuilder

#pragma once

#include "volume/partition_entry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace trevik {

// The volumes of the chosen disk, refilled by each discovery run, in discovery order.
class VolumeTable {
public:
    static constexpr size_t kCapacity = 100;
    static constexpr size_t kScanLimit = 99;

    void Clear() { entries_.clear(); }
    size_t Count() const { return entries_.size(); }
    bool Full() const { return entries_.size() >= kCapacity; }
    const PartitionEntry& operator[](size_t i) const { return entries_[i]; }
    const std::vector<PartitionEntry>& Entries() const { return entries_; }

    // Appends an entry named after its position. False when the table is full.
    bool Append(uint32_t startSector, uint32_t sizeSectors, uint32_t superblockSector) {
        if (Full()) {
            return false;
        }
        entries_.push_back(
            {EntryName(entries_.size() + 1), sizeSectors, startSector, superblockSector});
        return true;
    }

    bool HasStart(uint32_t startSector) const {
        for (const auto& e : entries_) {
            if (e.startSector == startSector) {
                return true;
            }
        }
        return false;
    }

    static std::string EntryName(size_t position) {
        return "Solaris Partition - " + std::to_string(position);
    }

private:
    std::vector<PartitionEntry> entries_;
};

} // namespace trevik

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
    // A scan stops one volume short of the table's capacity.
    static constexpr size_t kScanLimit = kCapacity - 1;

    void Clear() { entries_.clear(); }
    size_t Count() const { return entries_.size(); }
    bool Full() const { return entries_.size() >= kCapacity; }
    const PartitionEntry& operator[](size_t i) const { return entries_[i]; }
    const std::vector<PartitionEntry>& Entries() const { return entries_; }

    // Appends an entry named after its position. False when the table is full.
    bool Append(uint64_t startSector, uint64_t sizeSectors, uint64_t superblockSector) {
        PartitionEntry e;
        e.startSector = startSector;
        e.sizeSectors = sizeSectors;
        e.superblockSector = superblockSector;
        return Append(std::move(e));
    }
    // The same for an entry the caller filled in; its name is set here.
    bool Append(PartitionEntry e) {
        if (Full()) {
            return false;
        }
        e.name = EntryName(entries_.size() + 1);
        entries_.push_back(std::move(e));
        return true;
    }

    bool HasStart(uint64_t startSector) const {
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

#pragma once

#include <cstdint>
#include <string>

namespace trevik {

// One found volume.
struct PartitionEntry {
    std::string name;              // "Solaris Partition - " and the 1-based table position
    uint32_t sizeSectors = 0;      // length in 512-byte sectors
    uint32_t startSector = 0;      // absolute first sector on the disk
    uint32_t superblockSector = 0; // absolute sector of the superblock to mount from
};

} // namespace trevik

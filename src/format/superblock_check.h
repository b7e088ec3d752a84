#pragma once

// Whether a UFS magic number seen on the disk belongs to a real superblock: a primary
// superblock or cylinder group 1's copy, confirmed by the cylinder-group header that
// follows it, as Solaris lays them out (or as the superblock's own fs_cblkno places it).

#include "format/sector.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace trevik {

// Delivers one sector; false when it cannot be read.
using SectorFetch = std::function<bool(uint64_t sector, std::span<uint8_t, kSectorSize> out)>;

// A confirmed superblock: the volume it places and the sector it stands in.
struct SuperblockHit {
    uint64_t startSector = 0;
    uint64_t sizeSectors = 0;
    uint64_t superblockSector = 0;
};

// Tests the superblock whose magic was seen in sector `magicSector` (the superblock's
// third). Reads only through `fetch`.
std::optional<SuperblockHit> ConfirmSuperblock(uint64_t magicSector, const SectorFetch& fetch);

// True when a sector holds a UFS magic (classic or multi-terabyte) where a superblock's third
// sector holds it.
bool HasMagicInThirdSector(std::span<const uint8_t> sector);

} // namespace trevik

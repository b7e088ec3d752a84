#pragma once

// The master block of a Solaris Volume Manager state database replica: block 16 of the
// slice that holds it (illumos sys/lvm/md_mddb.h, mddb_mb_t, big-endian on SPARC). A slice
// that holds one is a component of the machine's metadevices, not a volume of its own.

#include <cstdint>
#include <optional>
#include <span>

namespace trevik::svm {

inline constexpr uint64_t kMasterBlockSector = 16;
inline constexpr uint32_t kMasterMagic = 0x6d646d62; // "mdmb"
inline constexpr uint32_t kMasterRevision = 0x0201;
inline constexpr uint32_t kMasterRevisionMultiNode = 0x0202;

struct MasterBlock {
    uint32_t revision = 0;
    uint32_t timestamp = 0;   // seconds of mb_timestamp
    uint32_t blockCount = 0;  // blocks of the replica (mb_blkcnt)
    uint32_t blockNumber = 0; // where this master block stands (mb_blkno)
    uint32_t setNumber = 0;   // 0: the local set
};

// Decodes the sector at block 16 of a slice: the magic, a known revision, and the block
// number the master block records for itself. Empty when it is none.
std::optional<MasterBlock> DecodeMasterBlock(std::span<const uint8_t> sector);

} // namespace trevik::svm

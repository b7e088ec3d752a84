#pragma once

// Writes the UFS log of a Solaris volume that crashed, for tests: the volume as it stood on
// the disk when it went down (metadata of before, data of after), a log whose committed
// transactions turn it into the volume after, and that volume as rolling the log leaves it,
// the oracle. The log is written from the format Solaris documents (ufs_log.h, lufs*.c):
// its own encoder, sharing nothing with the program's reader.

#include "ufs_builder.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace trevik::imagebuilder {

// Delta types of the log (ufs_trans.h).
namespace delta {
inline constexpr uint32_t kSuperblock = 1;
inline constexpr uint32_t kCylinderGroup = 2;
inline constexpr uint32_t kSummary = 3;
inline constexpr uint32_t kAllocBlock = 4;
inline constexpr uint32_t kZeroBlock = 5; // no payload: `length` bytes read as zeros
inline constexpr uint32_t kDirectory = 6;
inline constexpr uint32_t kInode = 7;
inline constexpr uint32_t kCommit = 10;
inline constexpr uint32_t kCancel = 11; // no payload: voids earlier deltas inside its range
} // namespace delta

struct LogDelta {
    uint64_t mof = 0; // byte offset into the volume
    uint32_t type = delta::kInode;
    std::vector<uint8_t> payload; // what the bytes there become
    uint32_t length = 0;          // kZeroBlock, kCancel: the range
};

struct LogTransaction {
    std::vector<LogDelta> deltas;
    bool committed = true; // a crash before the commit leaves it open
};

struct LogSpec {
    uint32_t logSectors = 2048;           // the circle of log sectors (after the two state sectors)
    uint32_t headOffset = 0;              // sectors from the circle's start to the head (wraps)
    uint32_t headIdent = 0x51D0A;         // the head sector's ident
    std::optional<uint32_t> breakIdentAt; // sectors after the head: an ident out of turn
    bool corruptExtentChecksum = false;
    bool badlog = false;
    bool twoExtents = false; // the log in two pieces, a block apart
    bool crashed = true;     // fs_rolled: 2 (needs a roll), else 1 (all rolled)
    uint32_t reclaim = 0;    // fs_reclaim
    std::vector<LogTransaction> transactions;
};

// Where the log went and what writing it met.
struct LogLayout {
    uint32_t extentBlockSector = 0;                     // fs_logbno, volume sectors
    std::vector<std::pair<uint32_t, uint32_t>> extents; // first volume sector, sectors
    uint32_t sectorsWritten = 0;                        // from the head
    uint32_t splitHeaders = 0;                          // delta headers a sector trailer cut in two
    bool wrapped = false; // the writing went past the end of the circle to its start
    // Volume sector of log sector k after the head (k < sectorsWritten).
    std::vector<uint32_t> writtenSectors;
};

// The two images of a crash between the volumes `before` and `after` (built with the same
// parameters): `stale` holds before's metadata (superblock, groups, inode tables, folders'
// blocks, indirect blocks) and the data of both (after's where after holds data, before's
// elsewhere); `rolled` the same with after's metadata. `used`: fragments either holds.
struct CrashImages {
    std::vector<uint8_t> stale;
    std::vector<uint8_t> rolled;
    std::vector<bool> used;
    UfsLayout layout;
};
CrashImages MakeCrash(const UfsVolume& before, const UfsVolume& after);

// The deltas that turn `from` into `to`: one per 512-byte chunk that differs, from its first
// changed byte to its last, typed by the metadata it falls in.
std::vector<LogDelta> DeltasBetween(std::span<const uint8_t> from, std::span<const uint8_t> to,
                                    const UfsLayout& layout);

// Writes `spec`'s log into `image` (a volume of `crash`'s layout) in fragments no image of
// the crash uses, at the volume's end, and the superblock fields of a logging volume.
// Throws std::runtime_error when the transactions do not fit the log.
LogLayout WriteLog(std::vector<uint8_t>& image, const CrashImages& crash, const LogSpec& spec);

} // namespace trevik::imagebuilder

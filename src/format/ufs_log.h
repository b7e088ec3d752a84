#pragma once

// The UFS log of Solaris ("logging" mounts, the default since Solaris 10): the superblock
// fields that say a volume logs, the extent block that says where the log lies, the state
// sector at its start, the trailer of every log sector and the delta header. Decoded from
// byte spans into value structs, big-endian as SPARC writes them; the layout arithmetic of
// log offsets is a set of small named functions.
//
// Log offsets ("lof") are byte offsets into the log's own space, which its extents map to
// sectors of the volume. Past the two state sectors, each 512-byte log sector carries 504
// bytes of deltas and an 8-byte trailer whose ident numbers the sectors in the order they
// were written; the log is a circle from bol to eol.

#include "format/result.h"
#include "format/sector.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace trevik::ufs {

// Superblock fields of the log (offsets into the superblock).
namespace log_field {
inline constexpr uint32_t kRolled = 4;     // fs_rolled: 1 all rolled, 2 needs a roll
inline constexpr uint32_t kLogbno = 1324;  // fs_logbno: the extent block, in sectors
inline constexpr uint32_t kReclaim = 1328; // fs_reclaim
} // namespace log_field

inline constexpr uint8_t kFsLog = 0xFD;         // fs_clean of a logging volume
inline constexpr uint32_t kFsOkay = 0x7C269D38; // fs_state + fs_time of a sound volume
inline constexpr uint32_t kFsAllRolled = 1;     // fs_rolled
inline constexpr uint32_t kFsNeedRoll = 2;
inline constexpr uint32_t kFsReclaim = 1;       // fs_reclaim: open, unlinked inodes to free
inline constexpr uint32_t kLogExtentsType = 0;  // extent_block.type
inline constexpr uint32_t kLogVersion = 1;      // od_version
inline constexpr uint32_t kLogStateSectors = 2; // the state and its copy
inline constexpr uint32_t kLogTrailerSize = 8;  // st_tid, st_ident
inline constexpr uint32_t kLogSectorPayload = kSectorSize - kLogTrailerSize; // 504
inline constexpr uint32_t kDeltaHeaderSize = 16;                             // d_mof, d_nb, d_typ
inline constexpr uint32_t kMaxDeltaBytes = 8192;      // no delta covers more than a block
inline constexpr uint64_t kMaxLogBytes = 64ull << 20; // the largest log Solaris makes
inline constexpr uint32_t kExtentBlockHeader = 20;
inline constexpr uint32_t kExtentSize = 12;

// Delta types (ufs_trans.h).
enum DeltaType : uint32_t {
    kDtNone = 0,
    kDtSb = 1,
    kDtCg = 2,
    kDtSi = 3,
    kDtAb = 4,
    kDtAbZero = 5, // a block that reads as zeros: no payload
    kDtDir = 6,
    kDtInode = 7,
    kDtFbi = 8,
    kDtQr = 9,
    kDtCommit = 10, // ends a transaction; the next delta starts a sector
    kDtCancel = 11, // the earlier deltas inside its range are void: no payload
    kDtBot = 12,
    kDtEot = 13,
    kDtUd = 14,
    kDtSud = 15,
    kDtShad = 16,
    kDtMax = 17,
};

// Whether the superblock (at least 1376 bytes) says the volume logs: a log, fs_clean
// FSLOG, and fs_state + fs_time FSOKAY.
struct LogFields {
    uint64_t logbno = 0; // volume sector of the extent block (fs_logbno in sectors)
    // Sectors one unit of fs_logbno and of an extent's pbno is: 1, or a fragment's on a
    // multi-terabyte volume, which counts them in fragments.
    uint32_t unitSectors = 1;
    uint32_t rolled = 0;
    uint32_t reclaim = 0;
    uint8_t clean = 0;
    bool logging = false;
};
LogFields DecodeLogFields(std::span<const uint8_t> superblock);

struct LogExtent {
    uint32_t lbno = 0; // first log sector it holds
    uint64_t pbno = 0; // its first volume sector
    uint32_t nbno = 0; // sectors
};

// The extent block: type, the word sum over the whole block (read with its own field as
// 0), and extents that map the log's sectors contiguously from 0. The error says which
// check failed.
// `unitSectors`: what one unit of the stored pbno is (LogFields::unitSectors).
Result<std::vector<LogExtent>> DecodeExtentBlock(std::span<const uint8_t> block,
                                                 uint32_t unitSectors = 1);
// The sum the checksum field holds for `block`: every 32-bit word, the field itself as 0.
int32_t ExtentBlockSum(std::span<const uint8_t> block);

// ml_odunit_t, as far as replay needs it.
struct LogState {
    uint32_t version = 0;
    uint32_t badlog = 0;
    int32_t bolLof = 0; // where the circle of log sectors begins
    int32_t eolLof = 0; // and ends (exclusive)
    uint32_t logSize = 0;
    int32_t headLof = 0; // the oldest delta not rolled
    uint32_t headIdent = 0;
    int32_t tailLof = 0;
    uint32_t tailIdent = 0;
    uint32_t checksum = 0;
};
LogState DecodeLogState(std::span<const uint8_t, kSectorSize> sector);
// Version 1, checksum = head ident + tail ident, and offsets that make a circle inside
// `logBytes` (what the extents map) with the head on it. Empty when sound, else why not.
// (badlog is judged by the caller: a bad log is sound in structure.)
std::optional<std::string> CheckLogState(const LogState& s, uint64_t logBytes);

struct SectorTrailer {
    uint32_t tid = 0;
    uint32_t ident = 0;
};
SectorTrailer DecodeTrailer(std::span<const uint8_t, kSectorSize> sector);

struct DeltaHeader {
    int64_t mof = 0; // byte offset into the volume it changes
    int32_t nb = 0;
    uint32_t type = 0;
};
DeltaHeader DecodeDeltaHeader(std::span<const uint8_t, kDeltaHeaderSize> bytes);
// A header the scan can trust: a known type, a size of at most a block, an offset on the
// volume. A header that is not marks the end of the log.
bool IsPlausibleDelta(const DeltaHeader& d);
// Whether a delta of this type carries `nb` payload bytes in the log.
constexpr bool HasPayload(uint32_t type) {
    return type != kDtCommit && type != kDtCancel && type != kDtAbZero;
}

// --- Log offsets ---

// Bytes of deltas left in the log sector `lof` lies in.
constexpr uint32_t BytesLeftInLogSector(uint64_t lof) {
    return kLogSectorPayload - static_cast<uint32_t>(lof % kSectorSize);
}
constexpr uint64_t LogSectorOf(uint64_t lof) {
    return lof / kSectorSize;
}
// The ident the trailer of log sector `sector` must carry when the valid log begins at
// `headSector` with `headIdent`, the circle running from `bolSector` to `eolSector`.
constexpr uint32_t ExpectedIdent(uint64_t sector, uint64_t headSector, uint32_t headIdent,
                                 uint64_t bolSector, uint64_t eolSector) {
    const uint64_t since = sector >= headSector ? sector - headSector
                                                : (eolSector - headSector) + (sector - bolSector);
    return static_cast<uint32_t>(headIdent + since);
}
// The volume sector of log sector `sector`, through the extents; empty when none maps it.
std::optional<uint64_t> LogToVolumeSector(const std::vector<LogExtent>& extents, uint64_t sector);

} // namespace trevik::ufs

#include "format/superblock_check.h"

#include "format/big_endian.h"
#include "format/ufs_format.h"
#include "format/volume_geometry.h"

#include <algorithm>
#include <array>

namespace trevik {
namespace {

using Sector = std::array<uint8_t, kSectorSize>;

// The layout Solaris on SPARC writes: cylinder-group header 32 sectors after a primary
// superblock, 16 sectors after a group's superblock copy.
constexpr uint32_t kSolarisHeaderAfterPrimary = 32;
constexpr uint32_t kSolarisHeaderAfterCopy = 16;

bool ReadSector(const SectorFetch& fetch, uint64_t sector, Sector& out) {
    out.fill(0);
    return fetch(sector, out);
}

bool IsGroupHeader(const SectorFetch& fetch, uint64_t sector, uint32_t wantIndex) {
    Sector s;
    if (!ReadSector(fetch, sector, s)) {
        return false;
    }
    return s[5] == ufs::kCgMagicBytes[0] && s[6] == ufs::kCgMagicBytes[1] &&
           s[7] == ufs::kCgMagicBytes[2] && ReadBe32(s, ufs::cg_field::kCgx) == wantIndex;
}

} // namespace

bool HasMagicInThirdSector(std::span<const uint8_t> sector) {
    return ufs::IsUfsMagic(ReadBe32(sector, ufs::kMagicInThirdSector));
}

// Candidate: the magic was seen in sector m, so a superblock would begin at b = m - 2.
std::optional<SuperblockHit> ConfirmSuperblock(uint64_t m, const SectorFetch& fetch) {
    if (m < 2) {
        return std::nullopt;
    }
    const uint64_t b = m - 2;
    Sector sb;
    if (!ReadSector(fetch, b, sb)) {
        return std::nullopt;
    }
    const SuperblockFields f = ReadSuperblockFields(sb);
    const uint64_t p = f.fragmentSize / kSectorSize; // sectors per fragment
    if (p == 0) {
        return std::nullopt;
    }
    const uint64_t sblkno = f.superblockOffset;
    const uint64_t cblkno = f.groupHeaderOffset;
    const uint64_t size = uint64_t{f.claimedGroups} * f.fragsPerGroup * p;
    constexpr uint64_t kPrimary = ufs::kSuperblockSector;

    // Primary superblock: 16 sectors into its volume, group 0's header after it.
    const bool primary =
        b >= kPrimary && (IsGroupHeader(fetch, b + kSolarisHeaderAfterPrimary, 0) ||
                          (cblkno * p != kSolarisHeaderAfterPrimary + kPrimary &&
                           IsGroupHeader(fetch, b - kPrimary + cblkno * p, 0)));
    if (primary) {
        return SuperblockHit{b - kPrimary, size, b};
    }

    // The copy in cylinder group 1, followed by that group's header. The volume starts
    // one group (plus group 1's stagger) and the copy's own offset before it.
    const bool backup = IsGroupHeader(fetch, b + kSolarisHeaderAfterCopy, 1) ||
                        (cblkno > sblkno && (cblkno - sblkno) * p != kSolarisHeaderAfterCopy &&
                         IsGroupHeader(fetch, b + (cblkno - sblkno) * p, 1));
    if (!backup) {
        return std::nullopt;
    }
    const uint64_t back =
        (ufs::CgStart(f.fragsPerGroup, f.groupOffset, f.groupMask, 1) + sblkno) * p;
    if (back > b) {
        return std::nullopt;
    }
    return SuperblockHit{b - back, size, b};
}

} // namespace trevik

#pragma once

// A decoded superblock and the layout arithmetic over it, the way FreeBSD's fs.h names
// cgbase, cgstart, cgsblock, cgimin, ino_to_cg and fsbtodb: every sector the engine reads
// of a volume's metadata is computed here and nowhere else.

#include "format/result.h"
#include "format/sector.h"
#include "format/ufs_format.h"

#include <algorithm>
#include <cstdint>
#include <span>

namespace trevik {

// The layout fields of a superblock as they stand, unchecked: all of them lie in its first
// sector. A scan reads them to place a candidate; DecodeSuperblock checks them.
struct SuperblockFields {
    uint32_t superblockOffset = 0;  // fs_sblkno: fragments from a group's start to its copy
    uint32_t groupHeaderOffset = 0; // fs_cblkno: ... to its group header
    uint32_t inodeBlockOffset = 0;  // fs_iblkno: ... to its inode table
    uint32_t groupOffset = 0;       // fs_cgoffset: the groups' stagger, in fragments
    uint32_t groupMask = 0;         // fs_cgmask
    uint32_t sizeFrags = 0;         // fs_size: fragments in the volume
    uint32_t claimedGroups = 0;     // fs_ncg, as the superblock says
    uint32_t fragmentSize = 0;      // fs_fsize
    uint32_t fragsPerBlock = 0;     // fs_frag
    uint32_t inodesPerGroup = 0;    // fs_ipg
    uint32_t fragsPerGroup = 0;     // fs_fpg
};

// What a mount derives from the superblock: its layout fields, checked, and what follows
// from them.
struct VolumeGeometry : SuperblockFields {
    uint64_t volumeStart = 0; // absolute sector of fragment 0 (the partition's start)
    uint32_t sectorsPerFragment = 0;
    uint32_t sectorsPerBlock = 0;
    uint32_t groupCount = 0; // groups read: those that begin on the device
    uint32_t sectorsPerGroup = 0;
    uint64_t totalInodes = 0;
    uint32_t blockSize = 0;
    bool multiTerabyte = false; // magic 0xDECADE
    // fs_cstotal: folders and free inodes as the file system last counted them. Stale after
    // a crash and unchecked: a hint for sizing memory, never a count to report.
    uint32_t countedFolders = 0;
    uint32_t countedFreeInodes = 0;
};

SuperblockFields ReadSuperblockFields(std::span<const uint8_t> firstSector);

// Decodes and checks a superblock (at least its first 1536 bytes): magic, fragment size
// (a power of two from 512 to 8192), 1, 2, 4 or 8 fragments a block, blocks up to 64 KiB,
// inodes per group a non-zero multiple of the inodes a block holds, non-zero group count
// and group size, and an inode table that lies inside its group. The error says which
// check failed. `volumeStart` is left 0 for the caller to place.
Result<VolumeGeometry> DecodeSuperblock(std::span<const uint8_t> superblock);

// --- Fragments and sectors ---

constexpr uint64_t FragmentSector(const VolumeGeometry& g, uint64_t frag) {
    return g.volumeStart + frag * g.sectorsPerFragment;
}

// Fragments the volume spans: fs_size, else (for a superblock without it) its groups.
constexpr uint64_t VolumeFragments(const VolumeGeometry& g) {
    return g.sizeFrags != 0 ? g.sizeFrags : uint64_t{g.fragsPerGroup} * g.groupCount;
}

// True when `count` fragments from `frag` lie inside the volume.
constexpr bool FragmentsInVolume(const VolumeGeometry& g, uint64_t frag, uint64_t count) {
    const uint64_t limit = VolumeFragments(g);
    return frag < limit && count <= limit - frag;
}

constexpr uint64_t FragmentsFor(const VolumeGeometry& g, uint64_t bytes) {
    return (bytes + g.fragmentSize - 1) / g.fragmentSize;
}

constexpr uint32_t SectorsFor(uint64_t bytes) {
    return static_cast<uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
}

// Bytes and blocks of the volume (blocks rounded down: a tail of fragments is no block).
constexpr uint64_t VolumeBytes(const VolumeGeometry& g) {
    return VolumeFragments(g) * g.fragmentSize;
}
constexpr uint64_t VolumeBlocks(const VolumeGeometry& g) {
    return VolumeFragments(g) / std::max<uint32_t>(g.fragsPerBlock, 1);
}

// Logical blocks of a file of `bytes` bytes, where block lbn begins in it, and how many
// of its bytes block lbn holds.
constexpr uint64_t BlocksFor(const VolumeGeometry& g, uint64_t bytes) {
    return bytes / g.blockSize + (bytes % g.blockSize != 0 ? 1 : 0);
}
constexpr uint64_t BlockOffset(const VolumeGeometry& g, uint64_t lbn) {
    return lbn * g.blockSize;
}
constexpr uint32_t BlockLength(const VolumeGeometry& g, uint64_t size, uint64_t lbn) {
    const uint64_t at = BlockOffset(g, lbn);
    return at >= size ? 0 : static_cast<uint32_t>(std::min<uint64_t>(g.blockSize, size - at));
}

// Block pointers an indirect block holds.
constexpr uint64_t PointersPerBlock(const VolumeGeometry& g) {
    return g.blockSize / 4;
}

// Logical blocks a block map can address: direct, then single, double and triple indirect.
constexpr uint64_t BlockMapCapacity(const VolumeGeometry& g) {
    const uint64_t n = PointersPerBlock(g);
    return ufs::kDirectBlocks + n + n * n + n * n * n;
}

// Where logical block lbn hangs in a block map: from the inode's indirect pointer of
// `levels` levels (0: a direct block; -1: past what the map can address), `rel` blocks
// into the range that pointer covers, which begins at block `base`.
struct IndirectPath {
    int levels = 0;
    uint64_t rel = 0;
    uint64_t base = 0;
};

// Blocks one pointer `depth` levels below the inode's own indirect pointer covers, in a
// map of `levels` levels (depth == levels: one data block).
constexpr uint64_t IndirectSpan(const VolumeGeometry& g, int levels, int depth) {
    uint64_t span = 1;
    for (int i = depth; i < levels; ++i)
        span *= PointersPerBlock(g);
    return span;
}

constexpr IndirectPath IndirectPathOf(const VolumeGeometry& g, uint64_t lbn) {
    if (lbn < ufs::kDirectBlocks) {
        return {0, lbn, 0};
    }
    uint64_t rel = lbn - ufs::kDirectBlocks;
    uint64_t base = ufs::kDirectBlocks;
    for (int levels = 1; levels <= static_cast<int>(ufs::kIndirectLevels); ++levels) {
        const uint64_t span = IndirectSpan(g, levels, 0);
        if (rel < span) {
            return {levels, rel, base};
        }
        rel -= span;
        base += span;
    }
    return {-1, 0, base};
}

// The pointer's index inside the indirect block read at `depth` on the way to `path`.
constexpr uint64_t IndirectIndex(const VolumeGeometry& g, const IndirectPath& path, int depth) {
    return (path.rel / IndirectSpan(g, path.levels, depth + 1)) % PointersPerBlock(g);
}

// The sector of an indirect block that holds pointer `index`.
constexpr uint32_t IndirectSectorOf(uint64_t index) {
    return static_cast<uint32_t>(index * 4 / kSectorSize);
}

// --- Cylinder groups ---

constexpr uint64_t GroupSectors(const VolumeGeometry& g) {
    return uint64_t{g.fragsPerGroup} * g.sectorsPerFragment;
}

// First fragment of group c's metadata (cgstart).
constexpr uint64_t GroupStart(const VolumeGeometry& g, uint32_t c) {
    return ufs::CgStart(g.fragsPerGroup, g.groupOffset, g.groupMask, c);
}

// Where the file system's own rule puts group c's superblock copy and header.
constexpr uint64_t SuperblockCopySector(const VolumeGeometry& g, uint32_t c) {
    return FragmentSector(g, GroupStart(g, c) + g.superblockOffset);
}
constexpr uint64_t GroupHeaderSector(const VolumeGeometry& g, uint32_t c) {
    return FragmentSector(g, GroupStart(g, c) + g.groupHeaderOffset);
}

// Where the search for group i's superblock copy begins: one group (and one stagger) after
// the copy found for group i - 1; for group 1, after the volume's start.
constexpr uint64_t SuperblockCopyEstimate(const VolumeGeometry& g, uint32_t i,
                                          uint64_t previousCopy) {
    const uint64_t step = uint64_t{g.groupOffset} * g.sectorsPerFragment + GroupSectors(g);
    return i == 1 ? g.volumeStart + step + uint64_t{g.superblockOffset} * g.sectorsPerFragment
                  : previousCopy + step;
}

// How many groups begin on a device of `totalSectors` sectors (at least one).
constexpr uint32_t GroupsOnDevice(const VolumeGeometry& g, uint64_t totalSectors) {
    const uint64_t groupSectors = std::max<uint64_t>(GroupSectors(g), 1);
    const uint64_t onDisk = totalSectors > g.volumeStart
                                ? (totalSectors - g.volumeStart + groupSectors - 1) / groupSectors
                                : 0;
    return static_cast<uint32_t>(std::clamp<uint64_t>(onDisk, 1, g.groupCount));
}

// The sector after the last the superblock claims. (Its size lies within its last group,
// which may be short: DecodeSuperblock checks that.)
constexpr uint64_t ClaimedEndSector(const VolumeGeometry& g) {
    return FragmentSector(g, VolumeFragments(g));
}

// Keeps only the first `groups` groups (and their inodes).
constexpr void LimitGroups(VolumeGeometry& g, uint32_t groups) {
    g.groupCount = groups;
    g.totalInodes = uint64_t{g.inodesPerGroup} * groups;
}

// Group c's header (the cylinder-group block) from the sector of its superblock copy.
constexpr uint64_t GroupHeaderFromCopy(const VolumeGeometry& g, uint64_t copySector) {
    const uint64_t back = uint64_t{g.superblockOffset} * g.sectorsPerFragment;
    if (copySector < back) {
        return GroupHeaderSector(g, 0);
    }
    return copySector - back + uint64_t{g.groupHeaderOffset} * g.sectorsPerFragment;
}

// --- Inodes ---

constexpr uint32_t InodeTableSectors(const VolumeGeometry& g) {
    return g.inodesPerGroup / ufs::kInodesPerSector;
}

// Group 0's inode table, and any group's by the file system's rule.
constexpr uint64_t InodeTableSector(const VolumeGeometry& g, uint32_t c) {
    return FragmentSector(g, GroupStart(g, c) + g.inodeBlockOffset);
}

// Group c's inode table from the sector where its superblock copy was found: the copy and
// the table keep their distance (fs_iblkno - fs_sblkno) wherever the group begins. A copy
// that lies before that distance is no copy of this volume: group 0's table stands in.
constexpr uint64_t InodeTableFromCopy(const VolumeGeometry& g, uint64_t copySector) {
    const uint64_t back = uint64_t{g.superblockOffset} * g.sectorsPerFragment;
    if (copySector < back) {
        return g.volumeStart;
    }
    return copySector - back + uint64_t{g.inodeBlockOffset} * g.sectorsPerFragment;
}

// Whether an inode cannot be what it claims: a size beyond what Solaris UFS allows or its
// block map can address, more sectors held than the volume has, or a type that is none
// of UFS's. Times are not part of the rule.
constexpr bool InodeIsDamaged(const VolumeGeometry& g, uint16_t mode, uint64_t size,
                              uint32_t blocks) {
    const uint64_t addressable = BlockMapCapacity(g) * g.blockSize;
    return !ufs::IsKnownType(mode) || size > ufs::kMaxFileSize || size > addressable ||
           uint64_t{blocks} > VolumeFragments(g) * g.sectorsPerFragment;
}

// Inode n's group, the sector of its table that holds it and its byte in that sector.
struct InodeSlot {
    uint32_t group = 0;
    uint32_t sectorInTable = 0;
    uint32_t byteInSector = 0;
};
constexpr InodeSlot InodeLocation(const VolumeGeometry& g, uint32_t n) {
    const uint32_t group = ufs::InodeGroup(n, g.inodesPerGroup);
    const uint32_t slot = ufs::InodeIndexInGroup(n, g.inodesPerGroup);
    return {group, ufs::InodeSectorInTable(slot), ufs::InodeByteInSector(slot)};
}

// The inode numbers that a sector of group c's inode table holds.
constexpr uint64_t FirstInodeOfTableSector(const VolumeGeometry& g, uint32_t c,
                                           uint32_t sectorInTable) {
    return uint64_t{c} * g.inodesPerGroup + uint64_t{sectorInTable} * ufs::kInodesPerSector;
}

} // namespace trevik

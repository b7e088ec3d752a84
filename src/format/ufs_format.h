#pragma once

// On-disk constants of big-endian UFS1 as Solaris on SPARC writes it: field offsets of
// the superblock, the cylinder-group header, the inode and the directory entry, the inode
// types, and the layout arithmetic over raw superblock fields as small pure functions.
// The same arithmetic over a decoded superblock is in format/volume_geometry.h.

#include "format/sector.h"

#include <cstdint>

namespace trevik::ufs {

inline constexpr uint32_t kFsMagic = 0x00011954; // the value of fs_magic
// fs_magic of a multi-terabyte volume (newfs -T, and every volume of 1 TB or more):
// fs_version 1, one fragment a block, and fs_logbno and the log's extents in fragments.
inline constexpr uint32_t kMtbMagic = 0x00DECADE;
inline constexpr uint32_t kMtbVersion = 1;
inline constexpr uint32_t kCgMagic = 0x00090255;  // the value of cg_magic
inline constexpr uint32_t kSuperblockSector = 16; // the primary superblock, sectors into the volume
inline constexpr uint32_t kSuperblockSize = 8192; // space reserved for a superblock (copy)
inline constexpr uint32_t kSuperblockReadSectors =
    3; // what a decode needs: fs_magic is in the third
// fs_magic as it stands in the superblock's third sector, where the scan looks for it.
inline constexpr uint32_t kMagicInThirdSector = 1372 - 2 * kSectorSize;
inline constexpr uint32_t kInodeSize = 128;
inline constexpr uint32_t kInodesPerSector = kSectorSize / kInodeSize;
inline constexpr uint32_t kDirectBlocks = 12;
inline constexpr uint32_t kIndirectLevels = 3;
inline constexpr uint32_t kShortLinkBytes = 60; // a BSD short link's target, in the pointers
inline constexpr uint32_t kDirChunk = 512;      // directory entries never cross one
inline constexpr uint32_t kDirEntryHeader = 8;  // inode, record length, name length
inline constexpr uint32_t kRootInode = 2;
inline constexpr uint64_t kMaxFileSize = (uint64_t{1} << 40) - 1; // what Solaris UFS allows

// Superblock field offsets (all 32-bit big-endian unless noted).
namespace sb_field {
inline constexpr uint32_t kSblkno = 8;
inline constexpr uint32_t kCblkno = 12;
inline constexpr uint32_t kIblkno = 16;
inline constexpr uint32_t kDblkno = 20;
inline constexpr uint32_t kCgoffset = 24;
inline constexpr uint32_t kCgmask = 28;
inline constexpr uint32_t kTime = 32;
inline constexpr uint32_t kSize = 36;
inline constexpr uint32_t kDsize = 40;
inline constexpr uint32_t kNcg = 44;
inline constexpr uint32_t kBsize = 48;
inline constexpr uint32_t kFsize = 52;
inline constexpr uint32_t kFrag = 56;
inline constexpr uint32_t kMinfree = 60;
inline constexpr uint32_t kRotdelay = 64;
inline constexpr uint32_t kRps = 68;
inline constexpr uint32_t kBmask = 72;
inline constexpr uint32_t kFmask = 76;
inline constexpr uint32_t kBshift = 80;
inline constexpr uint32_t kFshift = 84;
inline constexpr uint32_t kMaxcontig = 88;
inline constexpr uint32_t kMaxbpg = 92;
inline constexpr uint32_t kFragshift = 96;
inline constexpr uint32_t kFsbtodb = 100;
inline constexpr uint32_t kSbsize = 104;
inline constexpr uint32_t kNindir = 116;
inline constexpr uint32_t kInopb = 120;
inline constexpr uint32_t kNspf = 124;
inline constexpr uint32_t kOptim = 128;
inline constexpr uint32_t kId = 144;
inline constexpr uint32_t kCsaddr = 152;
inline constexpr uint32_t kCssize = 156;
inline constexpr uint32_t kCgsize = 160;
inline constexpr uint32_t kNtrak = 164;
inline constexpr uint32_t kNsect = 168;
inline constexpr uint32_t kSpc = 172;
inline constexpr uint32_t kNcyl = 176;
inline constexpr uint32_t kCpg = 180;
inline constexpr uint32_t kIpg = 184;
inline constexpr uint32_t kFpg = 188;
inline constexpr uint32_t kCstotal = 192; // ndir, nbfree, nifree, nffree
inline constexpr uint32_t kClean = 209;   // one byte
inline constexpr uint32_t kFsmnt = 212;   // 512 bytes
inline constexpr uint32_t kCpc = 856;
inline constexpr uint32_t kVersion = 1320; // fs_version: 0 or 2 (classic), 1 (multi-terabyte)
inline constexpr uint32_t kState = 1336;
inline constexpr uint32_t kQbmask = 1340; // 64-bit
inline constexpr uint32_t kQfmask = 1348; // 64-bit
inline constexpr uint32_t kPostblformat = 1356;
inline constexpr uint32_t kNrpos = 1360;
inline constexpr uint32_t kPostbloff = 1364;
inline constexpr uint32_t kRotbloff = 1368;
inline constexpr uint32_t kMagic = 1372;
inline constexpr uint32_t kStructEnd = 1376;
} // namespace sb_field

// Whether a fs_magic value is one of Solaris UFS's.
constexpr bool IsUfsMagic(uint32_t magic) {
    return magic == kFsMagic || magic == kMtbMagic;
}

// Cylinder-group header field offsets.
namespace cg_field {
inline constexpr uint32_t kMagic = 4;
inline constexpr uint32_t kTime = 8;
inline constexpr uint32_t kCgx = 12;
inline constexpr uint32_t kNcyl = 16;  // 16-bit
inline constexpr uint32_t kNiblk = 18; // 16-bit
inline constexpr uint32_t kNdblk = 20;
inline constexpr uint32_t kCs = 24; // ndir, nbfree, nifree, nffree
inline constexpr uint32_t kRotor = 40;
inline constexpr uint32_t kFrotor = 44;
inline constexpr uint32_t kIrotor = 48;
inline constexpr uint32_t kFrsum = 52; // 8 x 32-bit
inline constexpr uint32_t kBtotoff = 84;
inline constexpr uint32_t kBoff = 88;
inline constexpr uint32_t kIusedoff = 92;
inline constexpr uint32_t kFreeoff = 96;
inline constexpr uint32_t kNextfreeoff = 100;
inline constexpr uint32_t kHeaderEnd = 168;
} // namespace cg_field

// Inode field offsets (Solaris icommon).
namespace inode_field {
inline constexpr uint32_t kMode = 0;   // 16-bit
inline constexpr uint32_t kNlink = 2;  // 16-bit
inline constexpr uint32_t kSuid = 4;   // 16-bit
inline constexpr uint32_t kSgid = 6;   // 16-bit
inline constexpr uint32_t kSize = 8;   // 64-bit
inline constexpr uint32_t kAtime = 16; // seconds, then microseconds
inline constexpr uint32_t kMtime = 24;
inline constexpr uint32_t kCtime = 32;
inline constexpr uint32_t kCtimeUsec = 36;
inline constexpr uint32_t kDirect = 40;   // 12 x 32-bit fragment numbers
inline constexpr uint32_t kIndirect = 88; // single, double, triple
inline constexpr uint32_t kFlags = 100;
inline constexpr uint32_t kBlocks = 104;
inline constexpr uint32_t kGen = 108;
inline constexpr uint32_t kShadow = 112; // Solaris: the ACL shadow inode (BSD keeps a uid here)
inline constexpr uint32_t kUid = 116;
inline constexpr uint32_t kGid = 120;
inline constexpr uint32_t kAttrDir = 124; // di_oeftflag: the extended-attribute folder
} // namespace inode_field

// Directory entry field offsets.
namespace dirent_field {
inline constexpr uint32_t kInode = 0;
inline constexpr uint32_t kReclen = 4; // 16-bit
inline constexpr uint32_t kNamlen = 7; // low byte of Solaris' 16-bit length, BSD's 8-bit one
inline constexpr uint32_t kName = 8;
} // namespace dirent_field

// Inode types: the top four bits of di_mode.
inline constexpr uint16_t kTypeMask = 0xF000;
inline constexpr uint16_t kTypeFifo = 0x1000;
inline constexpr uint16_t kTypeCharDevice = 0x2000;
inline constexpr uint16_t kTypeDir = 0x4000;
inline constexpr uint16_t kTypeShadow = 0x5000; // Solaris ACLs
inline constexpr uint16_t kTypeBlockDevice = 0x6000;
inline constexpr uint16_t kTypeFile = 0x8000;
inline constexpr uint16_t kTypeSymlink = 0xA000;
inline constexpr uint16_t kTypeSocket = 0xC000;
inline constexpr uint16_t kTypeAttrDir = 0xE000; // an extended-attribute folder

constexpr uint16_t TypeOf(uint16_t mode) {
    return mode & kTypeMask;
}
constexpr bool IsDirectoryMode(uint16_t mode) {
    return TypeOf(mode) == kTypeDir;
}
constexpr bool IsRegularMode(uint16_t mode) {
    return TypeOf(mode) == kTypeFile;
}
constexpr bool IsSymlinkMode(uint16_t mode) {
    return TypeOf(mode) == kTypeSymlink;
}
// Devices, FIFOs and sockets: listed, never copied.
constexpr bool IsSpecialMode(uint16_t mode) {
    const uint16_t t = TypeOf(mode);
    return t == kTypeFifo || t == kTypeCharDevice || t == kTypeBlockDevice || t == kTypeSocket;
}
// Shadow inodes and attribute folders belong to the file system, not to the user.
constexpr bool IsMetadataMode(uint16_t mode) {
    const uint16_t t = TypeOf(mode);
    return t == kTypeShadow || t == kTypeAttrDir;
}
constexpr bool IsKnownType(uint16_t mode) {
    const uint16_t t = TypeOf(mode);
    return t == kTypeFifo || t == kTypeCharDevice || t == kTypeDir || t == kTypeShadow ||
           t == kTypeBlockDevice || t == kTypeFile || t == kTypeSymlink || t == kTypeSocket ||
           t == kTypeAttrDir;
}

// Cylinder-group header magic as the scan confirms it: the low three bytes of the
// 32-bit word at offset 4.
inline constexpr uint8_t kCgMagicBytes[3] = {0x09, 0x02, 0x55};

// --- Layout arithmetic, in fragments of the volume (as fs.h names it) ---

// First fragment of cylinder group c.
constexpr uint64_t CgBase(uint32_t fpg, uint32_t c) {
    return uint64_t{fpg} * c;
}

// Where group c's metadata begins: groups are staggered by fs_cgoffset, cycling every
// (~fs_cgmask + 1) groups.
constexpr uint64_t CgStart(uint32_t fpg, uint32_t cgoffset, uint32_t cgmask, uint32_t c) {
    return CgBase(fpg, c) + uint64_t{cgoffset} * (c & ~cgmask);
}

// Superblock copy, cylinder-group header and inode table of group c.
constexpr uint64_t CgSblock(uint32_t fpg, uint32_t cgoffset, uint32_t cgmask, uint32_t sblkno,
                            uint32_t c) {
    return CgStart(fpg, cgoffset, cgmask, c) + sblkno;
}
constexpr uint64_t CgHeader(uint32_t fpg, uint32_t cgoffset, uint32_t cgmask, uint32_t cblkno,
                            uint32_t c) {
    return CgStart(fpg, cgoffset, cgmask, c) + cblkno;
}
constexpr uint64_t CgInodeTable(uint32_t fpg, uint32_t cgoffset, uint32_t cgmask, uint32_t iblkno,
                                uint32_t c) {
    return CgStart(fpg, cgoffset, cgmask, c) + iblkno;
}

// Group 0's superblock copy, where Solaris' newfs puts it: right after the primary.
constexpr uint64_t GroupZeroCopySector(uint64_t volumeStart) {
    return volumeStart + 2 * kSuperblockSector;
}

// Fragment number to absolute sector (partition start + fragment x sectors per fragment).
constexpr uint64_t FragToSector(uint64_t partitionStart, uint64_t frag,
                                uint32_t sectorsPerFragment) {
    return partitionStart + frag * sectorsPerFragment;
}

// Group and slot of inode n.
constexpr uint32_t InodeGroup(uint32_t n, uint32_t ipg) {
    return ipg == 0 ? 0 : n / ipg;
}
constexpr uint32_t InodeIndexInGroup(uint32_t n, uint32_t ipg) {
    return ipg == 0 ? 0 : n % ipg;
}

// Sector offset of inode slot i within an inode table, and its byte offset in that sector.
constexpr uint32_t InodeSectorInTable(uint32_t i) {
    return i / kInodesPerSector;
}
constexpr uint32_t InodeByteInSector(uint32_t i) {
    return (i % kInodesPerSector) * kInodeSize;
}

// Size of a directory entry holding a name of n bytes: 8-byte header, the name, a NUL,
// padded to 4 bytes.
constexpr uint32_t DirEntrySize(uint32_t nameLength) {
    return kDirEntryHeader + ((nameLength + 1 + 3) & ~3u);
}

} // namespace trevik::ufs

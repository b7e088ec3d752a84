#include "format/big_endian.h"
#include "format/ufs_format.h"
#include "format/volume_geometry.h"

#include <gtest/gtest.h>

namespace trevik::ufs {
namespace {

TEST(Layout, GroupsAreStaggeredAsSolarisNewfsStaggersThem) {
    // 8K/1K with 32 sectors a track and 16 tracks: fs_cgoffset 16, fs_cgmask 0xFFFFFFF0.
    constexpr uint32_t fpg = 4096, off = 16, mask = 0xFFFFFFF0;
    EXPECT_EQ(CgStart(fpg, off, mask, 0), 0u);
    EXPECT_EQ(CgStart(fpg, off, mask, 1), 4096u + 16u);
    EXPECT_EQ(CgStart(fpg, off, mask, 15), 15u * 4096u + 15u * 16u);
    EXPECT_EQ(CgStart(fpg, off, mask, 16), 16u * 4096u); // the cycle starts again
    EXPECT_EQ(CgSblock(fpg, off, mask, 16, 1), 4096u + 16u + 16u);
    EXPECT_EQ(CgHeader(fpg, off, mask, 24, 0), 24u);
    EXPECT_EQ(CgInodeTable(fpg, off, mask, 32, 2), 2u * 4096u + 32u + 32u);
    EXPECT_EQ(FragToSector(1000, 4128, 2), 1000u + 8256u);
}

TEST(Layout, InodeSlots) {
    // Inode 2 with 1920 inodes a group: group 0, sector 0 of its table, byte 256.
    EXPECT_EQ(InodeGroup(2, 1920), 0u);
    EXPECT_EQ(InodeSectorInTable(InodeIndexInGroup(2, 1920)), 0u);
    EXPECT_EQ(InodeByteInSector(InodeIndexInGroup(2, 1920)), 256u);
    // Inode 1923: group 1, sector 0, byte 384.
    EXPECT_EQ(InodeGroup(1923, 1920), 1u);
    EXPECT_EQ(InodeSectorInTable(InodeIndexInGroup(1923, 1920)), 0u);
    EXPECT_EQ(InodeByteInSector(InodeIndexInGroup(1923, 1920)), 384u);
    EXPECT_EQ(InodeGroup(5, 0), 0u); // a hostile zero never divides
    EXPECT_EQ(DirEntrySize(1), 12u);
    EXPECT_EQ(DirEntrySize(3), 12u);
    EXPECT_EQ(DirEntrySize(4), 16u);
    EXPECT_EQ(DirEntrySize(255), 264u);
}

// The 8K/1K Solaris layout of the first test, on a slice starting at sector 1000.
VolumeGeometry Solaris() {
    VolumeGeometry g;
    g.volumeStart = 1000;
    g.sectorsPerFragment = 2;
    g.sectorsPerBlock = 16;
    g.fragmentSize = 1024;
    g.blockSize = 8192;
    g.fragsPerBlock = 8;
    g.fragsPerGroup = 4096;
    g.groupOffset = 16;
    g.groupMask = 0xFFFFFFF0;
    g.superblockOffset = 16;
    g.groupHeaderOffset = 24;
    g.inodeBlockOffset = 32;
    g.inodesPerGroup = 1920;
    g.groupCount = 20;
    g.totalInodes = 1920 * 20;
    g.sizeFrags = 20 * 4096 - 100;
    return g;
}

TEST(Layout, GeometryHelpersPlaceGroupsInodesAndBlocks) {
    const VolumeGeometry g = Solaris();
    EXPECT_EQ(FragmentSector(g, 4128), 1000u + 8256u);
    EXPECT_EQ(GroupStart(g, 1), 4096u + 16u);
    EXPECT_EQ(SuperblockCopySector(g, 1), 1000u + (4096u + 16u + 16u) * 2u);
    EXPECT_EQ(GroupHeaderSector(g, 0), 1000u + 48u);
    EXPECT_EQ(InodeTableSector(g, 2), 1000u + (2u * 4096u + 32u + 32u) * 2u);
    // A copy found elsewhere keeps its distance to its group's inode table.
    EXPECT_EQ(InodeTableFromCopy(g, 50000), 50000u - 32u + 64u);
    EXPECT_EQ(InodeTableFromCopy(g, 10), g.volumeStart); // no copy of this volume
    // Inode 1923: group 1, sector 0 of its table, byte 384; inode 1925: sector 1, byte 128.
    EXPECT_EQ(InodeLocation(g, 1923).group, 1u);
    EXPECT_EQ(InodeLocation(g, 1923).sectorInTable, 0u);
    EXPECT_EQ(InodeLocation(g, 1923).byteInSector, 384u);
    EXPECT_EQ(InodeLocation(g, 1925).sectorInTable, 1u);
    EXPECT_EQ(InodeLocation(g, 1925).byteInSector, 128u);
    EXPECT_EQ(FirstInodeOfTableSector(g, 1, 1), 1924u);
    EXPECT_EQ(InodeTableSectors(g), 480u);
    // Blocks of a file, and what the map addresses through each indirect level.
    EXPECT_EQ(BlocksFor(g, 8193), 2u);
    EXPECT_EQ(BlockLength(g, 8193, 1), 1u);
    EXPECT_EQ(BlockLength(g, 8193, 2), 0u);
    EXPECT_EQ(IndirectPathOf(g, 11).levels, 0);
    EXPECT_EQ(IndirectPathOf(g, 12).levels, 1);
    EXPECT_EQ(IndirectPathOf(g, 12 + 2048).levels, 2);
    EXPECT_EQ(IndirectPathOf(g, 12 + 2048 + 2048 * 2048).levels, 3);
    const IndirectPath p = IndirectPathOf(g, 12 + 2048 + 5 * 2048 + 7);
    EXPECT_EQ(IndirectIndex(g, p, 0), 5u);
    EXPECT_EQ(IndirectIndex(g, p, 1), 7u);
    EXPECT_EQ(IndirectSectorOf(IndirectIndex(g, p, 1)), 0u);
    EXPECT_EQ(IndirectSectorOf(200), 1u);
    EXPECT_EQ(BlockMapCapacity(g), 12u + 2048u + 2048u * 2048u + 2048ull * 2048u * 2048u);
    // fs_size decides what lies in the volume; the groups decide what is claimed.
    EXPECT_TRUE(FragmentsInVolume(g, 20 * 4096 - 101, 1));
    EXPECT_FALSE(FragmentsInVolume(g, 20 * 4096 - 101, 2));
    EXPECT_EQ(ClaimedEndSector(g), 1000u + (20u * 4096u - 100u) * 2u); // the last group is short
    EXPECT_EQ(GroupsOnDevice(g, 1000 + 3 * 8192 + 1), 4u);
    EXPECT_EQ(GroupsOnDevice(g, 10), 1u); // at least one, even before the volume
}

TEST(BigEndian, ReadsAreBoundedByTheBuffer) {
    const uint8_t raw[] = {0x00, 0x01, 0x19, 0x54, 0xAB};
    std::span<const uint8_t> buf(raw);
    EXPECT_EQ(ReadBe32(buf, 0), 0x00011954u);
    EXPECT_EQ(ReadBe16(buf, 3), 0x54ABu);
    EXPECT_EQ(ReadBe32(buf, 2), 0u); // would pass the end
    EXPECT_EQ(ReadBe16(buf, 4), 0u);
    EXPECT_EQ(ReadBe32(buf, SIZE_MAX - 1), 0u);
    uint8_t out[8] = {};
    WriteBe64(out, 0, 0x0102030405060708ULL);
    EXPECT_EQ(ReadBe64(out, 0), 0x0102030405060708ULL);
}

} // namespace
} // namespace trevik::ufs

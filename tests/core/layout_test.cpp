#include "format/big_endian.h"
#include "format/ufs_format.h"

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

#include "format/big_endian.h"
#include "format/ufs_format.h"
#include "format/ufs_log.h"

#include <gtest/gtest.h>
#include <vector>

namespace trevik::ufs {
namespace {

// An extent block of `extents` {lbno, pbno, nbno}, its checksum made right.
std::vector<uint8_t> ExtentBlock(const std::vector<LogExtent>& extents) {
    std::vector<uint8_t> b(8192, 0);
    WriteBe32(b, 8, static_cast<uint32_t>(extents.size()));
    for (size_t i = 0; i < extents.size(); ++i) {
        WriteBe32(b, 20 + 12 * i, extents[i].lbno);
        WriteBe32(b, 24 + 12 * i, static_cast<uint32_t>(extents[i].pbno));
        WriteBe32(b, 28 + 12 * i, extents[i].nbno);
    }
    WriteBe32(b, 4, static_cast<uint32_t>(ExtentBlockSum(b)));
    return b;
}

TEST(UfsLogFormat, AnExtentBlockIsTakenOnlyWhenEveryCheckHolds) {
    const auto sound = DecodeExtentBlock(ExtentBlock({{0, 100, 50}, {50, 400, 30}}));
    ASSERT_TRUE(sound.ok()) << sound.error();
    EXPECT_EQ(sound->size(), 2u);
    EXPECT_EQ(LogToVolumeSector(*sound, 49), 149u);
    EXPECT_EQ(LogToVolumeSector(*sound, 50), 400u);
    EXPECT_FALSE(LogToVolumeSector(*sound, 80).has_value());

    struct Row {
        const char* why;
        std::vector<uint8_t> block;
    };
    std::vector<Row> rows = {
        {"no extents", ExtentBlock({})},
        {"a gap between extents", ExtentBlock({{0, 100, 50}, {60, 400, 30}})},
        {"an empty extent", ExtentBlock({{0, 100, 0}})},
        {"more than a log holds", ExtentBlock({{0, 100, 1u << 20}})},
    };
    rows.push_back({"a wrong checksum", ExtentBlock({{0, 100, 50}})});
    rows.back().block[30] ^= 1;
    rows.push_back({"another type", ExtentBlock({{0, 100, 50}})});
    WriteBe32(rows.back().block, 0, 1);
    rows.push_back({"a count past the block", ExtentBlock({{0, 100, 50}})});
    WriteBe32(rows.back().block, 8, 100000);
    WriteBe32(rows.back().block, 4, static_cast<uint32_t>(ExtentBlockSum(rows.back().block)));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        EXPECT_FALSE(DecodeExtentBlock(r.block).ok());
    }
}

TEST(UfsLogFormat, AMultiTerabyteVolumeCountsItsLogInFragments) {
    // fs_logbno and each extent's pbno are fragments there; lbno and nbno stay sectors.
    std::vector<uint8_t> sb(1536, 0);
    WriteBe32(sb, sb_field::kFsize, 8192);
    WriteBe32(sb, 1324, 1000); // fs_logbno
    WriteBe32(sb, sb_field::kMagic, kFsMagic);
    EXPECT_EQ(DecodeLogFields(sb).logbno, 1000u);
    EXPECT_EQ(DecodeLogFields(sb).unitSectors, 1u);
    WriteBe32(sb, sb_field::kMagic, kMtbMagic);
    EXPECT_EQ(DecodeLogFields(sb).logbno, 16000u);
    const auto mtb = DecodeExtentBlock(ExtentBlock({{0, 300000000, 64}}), 16);
    ASSERT_TRUE(mtb.ok()) << mtb.error();
    // Past 2^32 sectors: the fragment number times 16 does not fit 32 bits.
    EXPECT_EQ(LogToVolumeSector(*mtb, 3), uint64_t{300000000} * 16 + 3);
}

TEST(UfsLogFormat, TheStateMustMakeACircleWithItsHeadOnIt) {
    LogState s;
    s.version = 1;
    s.bolLof = 1024;
    s.eolLof = 1024 + 512 * 100;
    s.headLof = 1024 + 512 * 10;
    s.headIdent = 7;
    s.tailIdent = 9;
    s.checksum = 16;
    EXPECT_FALSE(CheckLogState(s, 102 * 512).has_value());
    auto broken = [&](auto change) {
        LogState b = s;
        change(b);
        return CheckLogState(b, 102 * 512).has_value();
    };
    EXPECT_TRUE(broken([](LogState& b) { b.version = 2; }));
    EXPECT_TRUE(broken([](LogState& b) { b.checksum = 15; }));
    EXPECT_TRUE(broken([](LogState& b) { b.eolLof += 512; })); // past the extents
    EXPECT_TRUE(broken([](LogState& b) { b.bolLof = 512; }));  // over the state sectors
    EXPECT_TRUE(broken([](LogState& b) { b.headLof = b.eolLof; }));
    EXPECT_TRUE(broken([](LogState& b) { b.bolLof = 1000; })); // not a sector
}

TEST(UfsLogFormat, IdentsCountOnAcrossTheWrap) {
    // A circle of sectors 2..12, the head at 10.
    EXPECT_EQ(ExpectedIdent(10, 10, 100, 2, 12), 100u);
    EXPECT_EQ(ExpectedIdent(11, 10, 100, 2, 12), 101u);
    EXPECT_EQ(ExpectedIdent(2, 10, 100, 2, 12), 102u);
    EXPECT_EQ(ExpectedIdent(9, 10, 100, 2, 12), 109u);
    EXPECT_EQ(ExpectedIdent(10, 10, 0xFFFFFFFF, 2, 12), 0xFFFFFFFFu);
    EXPECT_EQ(ExpectedIdent(11, 10, 0xFFFFFFFF, 2, 12), 0u);
    EXPECT_EQ(BytesLeftInLogSector(1024), 504u);
    EXPECT_EQ(BytesLeftInLogSector(1024 + 500), 4u);
    EXPECT_FALSE(IsPlausibleDelta({0, 10, kDtNone}));
    EXPECT_FALSE(IsPlausibleDelta({0, 8193, kDtInode}));
    EXPECT_FALSE(IsPlausibleDelta({-1, 10, kDtInode}));
    EXPECT_FALSE(IsPlausibleDelta({0, 10, kDtMax}));
    EXPECT_TRUE(IsPlausibleDelta({8192, 128, kDtInode}));
}

} // namespace
} // namespace trevik::ufs

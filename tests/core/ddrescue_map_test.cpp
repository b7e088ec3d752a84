#include "disk/ddrescue_map.h"
#include "support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>

namespace trevik {
namespace {

using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

std::vector<std::pair<uint64_t, uint64_t>> Pairs(const std::vector<BadSectorMap::Range>& r) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto& x : r)
        out.emplace_back(x.first, x.end);
    return out;
}

TEST(DdrescueMap, EveryAreaNotFinishedIsBadRoundedOutToWholeSectors) {
    const auto parsed = ParseDdrescueMap("# Mapfile. Created by GNU ddrescue version 1.27\n"
                                         "# current_pos  current_status  current_pass\n"
                                         "0x00010000     ?               1\n"
                                         "#      pos        size  status\n"
                                         "0x00000000  0x00000400  +\n"
                                         "0x00000400  0x00000200  ?\n" // non-tried: sector 2
                                         "0x00000600  0x00000300  *\n" // non-trimmed: 3, 4
                                         "0x00000900  0x00000100  /\n" // non-scraped: 4
                                         "1280        512         -\n" // bad, in decimal: 2.5..3.5
                                         "0x00000A00  0x00010000  +  # the rest\n");
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    EXPECT_EQ(Pairs(*parsed),
              (std::vector<std::pair<uint64_t, uint64_t>>{{2, 3}, {3, 5}, {4, 5}, {2, 4}}));
    BadSectorMap m;
    for (const auto& r : *parsed)
        m.Add(r.first, r.end - r.first);
    EXPECT_EQ(m.SectorCount(), 3u); // sectors 2, 3 and 4
}

TEST(DdrescueMap, WhatNoBlockCoversWasNeverTriedAndTheExtentIsKnown) {
    // Blocks out of order, with a gap between 0x400 and 0x800 and one left at the end.
    const auto map = ReadDdrescueMap("0x0 +\n"
                                     "0x00000800  0x00000400  +\n"
                                     "0x00000000  0x00000400  +\n"
                                     "0x00000C00  0x00000100  -\n");
    ASSERT_TRUE(map.ok()) << map.error();
    EXPECT_EQ(map->extentBytes, 0xD00u);
    EXPECT_EQ(Pairs(map->unfinished),
              (std::vector<std::pair<uint64_t, uint64_t>>{{6, 7}, {2, 4}})); // bad, then the gap
    const auto whole = ReadDdrescueMap("0x0 +\n0x0 0x10000 +\n");
    ASSERT_TRUE(whole.ok());
    EXPECT_TRUE(whole->unfinished.empty());
    EXPECT_EQ(whole->extentBytes, 0x10000u);
}

TEST(DdrescueMap, WhatIsNotAMapfileIsRefusedWithItsLine) {
    EXPECT_FALSE(ParseDdrescueMap("").ok());
    EXPECT_FALSE(ParseDdrescueMap("# only comments\n").ok());
    const auto badStatus = ParseDdrescueMap("0x0 ?\n0x0 0x200 X\n");
    ASSERT_FALSE(badStatus.ok());
    EXPECT_NE(badStatus.error().find("line 2"), std::string::npos);
    EXPECT_FALSE(ParseDdrescueMap("0x0 ?\n0x0 -5 -\n").ok());
    EXPECT_FALSE(ParseDdrescueMap("0x0 ?\n0xFFFFFFFFFFFFFFFF 0x2 -\n").ok());
    EXPECT_FALSE(ParseDdrescueMap("garbage here\n").ok());
    TempDir dir;
    BadSectorMap m;
    const Status missing = LoadDdrescueMap(dir.File("none.map"), m);
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().find("none.map"), std::string::npos);
}

// GNU ddrescuelog writes a map from a list of bad sectors; we read it, write ours, and
// ddrescuelog reads ours back as the same list.
TEST(DdrescueMap, RoundTripsThroughGnuDdrescuelog) {
    if (!testing::HaveProgram("ddrescuelog"))
        GTEST_SKIP() << "ddrescuelog (gddrescue) is not installed";
    TempDir dir;
    const std::string theirs = dir.File("theirs.map");
    const auto made = RunCommand("printf '5\\n6\\n100\\n199\\n' | ddrescuelog -b512 -s 102400 "
                                 "--create-mapfile=-+ " +
                                 Quote(theirs));
    ASSERT_EQ(made.exitCode, 0) << made.err;
    BadSectorMap m;
    ASSERT_TRUE(LoadDdrescueMap(theirs, m).ok());
    EXPECT_EQ(Pairs(m.Ranges()),
              (std::vector<std::pair<uint64_t, uint64_t>>{{5, 7}, {100, 101}, {199, 200}}));
    const std::string ours = dir.File("ours.map");
    ASSERT_TRUE(SaveDdrescueMap(ours, m, 102400).ok());
    const auto listed = RunCommand("ddrescuelog -b512 -l- " + Quote(ours));
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.out, "5\n6\n100\n199\n");
    const auto status = RunCommand("ddrescuelog -t " + Quote(ours));
    EXPECT_EQ(status.exitCode, 0) << status.err;
    // A device whose size is not whole sectors keeps its last bytes.
    EXPECT_NE(FormatDdrescueMap({{0, 1}}, 700).find("0x00000200  0x000000BC  +"),
              std::string::npos);
}

} // namespace
} // namespace trevik

#include "format/svm_layout.h"

#include <gtest/gtest.h>

namespace trevik::svm {
namespace {

TEST(SvmLayout, Raid5FollowsTheDriversExampleTable) {
    // raid.c's example, four columns: line 0 holds segments 0, 1, 2 and parity on column 3;
    // line 1 parity on column 0, then 3, 4, 5; line 2: 8, parity, 6, 7; line 3: 10, 11,
    // parity, 9.
    struct Row {
        uint64_t segment;
        uint32_t column, parity;
        uint64_t line;
    };
    const Row rows[] = {{0, 0, 3, 0},  {1, 1, 3, 0},  {2, 2, 3, 0},  {3, 1, 0, 1},
                        {5, 3, 0, 1},  {6, 2, 1, 2},  {8, 0, 1, 2},  {9, 3, 2, 3},
                        {10, 0, 2, 3}, {11, 1, 2, 3}, {12, 0, 3, 4}, {29, 3, 0, 9}};
    constexpr uint64_t kInterlace = 32;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.segment);
        const Raid5Place p = Raid5Block(r.segment * kInterlace + 5, 4, kInterlace);
        EXPECT_EQ(p.dataColumn, r.column);
        EXPECT_EQ(p.parityColumn, r.parity);
        EXPECT_EQ(p.line, r.line);
        EXPECT_EQ(p.block, r.line * kInterlace + 5);
        EXPECT_EQ(p.run, kInterlace - 5);
    }
    EXPECT_EQ(Raid5Blocks(100, 4, 32), 3u * 96); // three whole segments a column
}

TEST(SvmLayout, StripeChunksGoRoundTheComponents) {
    const StripePlace p = StripeBlock(5 * 16 + 3, 3, 16); // chunk 5: component 2, its 2nd
    EXPECT_EQ(p.component, 2u);
    EXPECT_EQ(p.block, 16u + 3);
    EXPECT_EQ(p.run, 13u);
    EXPECT_EQ(StripeBlock(0, 3, 16).component, 0u);
    EXPECT_EQ(StripeBlock(16, 3, 16).component, 1u);
    EXPECT_EQ(StripeBlocks(100, 3, 16), 3u * 96);
}

} // namespace
} // namespace trevik::svm

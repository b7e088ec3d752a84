#include "disk/read_overlay.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace trevik {
namespace {

// Random pieces over a small span, against a plain array they are written into in order:
// whatever overlaps whatever, the overlay shows the last piece's bytes where it lies and the
// disk's elsewhere.
TEST(ReadOverlay, ShowsTheLastPieceWhereverPiecesOverlap) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        constexpr size_t kSpan = 300;
        std::vector<uint8_t> model(kSpan, 0xD1); // the disk's bytes
        std::vector<bool> covered(kSpan, false);
        ReadOverlay overlay;
        for (int k = 0; k < 12; ++k) {
            const size_t at = rng() % kSpan;
            const size_t len = 1 + rng() % std::min<size_t>(64, kSpan - at);
            if (rng() % 4 == 0) {
                overlay.PutZeros(at, len);
                std::fill_n(model.begin() + static_cast<std::ptrdiff_t>(at), len, 0);
            } else {
                std::vector<uint8_t> bytes(len);
                for (auto& b : bytes)
                    b = static_cast<uint8_t>(rng());
                overlay.Put(at, bytes);
                std::copy(bytes.begin(), bytes.end(),
                          model.begin() + static_cast<std::ptrdiff_t>(at));
            }
            std::fill_n(covered.begin() + static_cast<std::ptrdiff_t>(at), len, true);
        }
        uint64_t coveredBytes = 0;
        for (bool c : covered)
            coveredBytes += c ? 1 : 0;
        EXPECT_EQ(overlay.Bytes(), coveredBytes);
        // Read back whole, and in windows that start and end anywhere.
        std::vector<uint8_t> disk(kSpan, 0xD1);
        overlay.Apply(0, disk);
        EXPECT_EQ(disk, model);
        const size_t from = rng() % kSpan, n = 1 + rng() % (kSpan - from);
        std::vector<uint8_t> window(n, 0xD1);
        overlay.Apply(from, window);
        EXPECT_TRUE(std::equal(window.begin(), window.end(),
                               model.begin() + static_cast<std::ptrdiff_t>(from)));
    }
}

TEST(ReadOverlay, ReadsAwayFromEveryPieceAreLeftAlone) {
    ReadOverlay overlay;
    EXPECT_TRUE(overlay.Empty());
    overlay.Put(1000, std::vector<uint8_t>(10, 7));
    std::vector<uint8_t> before(1000, 1), after(100, 1);
    overlay.Apply(0, before);
    overlay.Apply(1010, after);
    EXPECT_EQ(before, std::vector<uint8_t>(1000, 1));
    EXPECT_EQ(after, std::vector<uint8_t>(100, 1));
    EXPECT_EQ(overlay.Pieces(), 1u);
}

} // namespace
} // namespace trevik

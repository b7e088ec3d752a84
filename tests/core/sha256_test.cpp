// SHA-256 against the published test vectors, fed whole, in pieces and as zeros; and the
// names of an EWF set's segments.

#include "disk/block_device.h"
#include "format/sha256.h"

#include <gtest/gtest.h>
#include <string>

namespace trevik {
namespace {

std::string Digest(const std::string& text) {
    Sha256 h;
    h.Update({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    return h.HexDigest();
}

TEST(Sha256, PublishedVectorsWholeAndInPieces) {
    EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Digest(two), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // The same bytes fed in uneven pieces across block boundaries.
    Sha256 h;
    for (size_t at = 0; at < two.size(); at += 7) {
        const size_t n = std::min<size_t>(7, two.size() - at);
        h.Update({reinterpret_cast<const uint8_t*>(two.data()) + at, n});
    }
    EXPECT_EQ(h.HexDigest(), Digest(two));
    // A million 'a': the long vector.
    EXPECT_EQ(Digest(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, ZerosAreHashedAsTheBytesTheyStandFor) {
    Sha256 h;
    h.Update({reinterpret_cast<const uint8_t*>("x"), 1});
    h.UpdateZeros(100000);
    std::string bytes = "x" + std::string(100000, '\0');
    EXPECT_EQ(h.HexDigest(), Digest(bytes));
}

TEST(EwfNames, SegmentsRunFromE01ToE99ThenEaaKeepingTheCase) {
    EXPECT_EQ(EwfSegmentName("/x/case.E01", 2), "/x/case.E02");
    EXPECT_EQ(EwfSegmentName("/x/case.E01", 99), "/x/case.E99");
    EXPECT_EQ(EwfSegmentName("/x/case.E01", 100), "/x/case.EAA");
    EXPECT_EQ(EwfSegmentName("/x/case.E01", 126), "/x/case.EBA");
    EXPECT_EQ(EwfSegmentName("/x/case.E01", 100 + 26 * 26), "/x/case.FAA");
    EXPECT_EQ(EwfSegmentName("/x/lower.e01", 12), "/x/lower.e12");
    EXPECT_EQ(EwfSegmentName("/x/lower.e01", 100), "/x/lower.eaa");
    const uint8_t sig[8] = {'E', 'V', 'F', 9, 13, 10, 0xff, 0};
    EXPECT_TRUE(IsEwfSignature(sig));
    const uint8_t other[8] = {'E', 'V', 'F', 2, 13, 10, 0xff, 0}; // Ex01's is not read
    EXPECT_FALSE(IsEwfSignature(other));
}

} // namespace
} // namespace trevik

#include "recovery/wildcard.h"

#include <gtest/gtest.h>

namespace trevik {
namespace {

struct Row {
    const char* name;
    const char* pattern;
    int expected;
};

// The reference table's sound rows, the ones where a '*' must be able to match nothing or
// the name's last character (flipped to 1 here), and the matcher's own corner cases.
const Row kRows[] = {
    {"README.TXT", "*.TXT", 1},
    {"A.TXT.BAK", "*.TXT", 0},
    {".TXT", "*.TXT", 1},
    {"NOTES", "*.*", 0},
    {"A.B", "*.*", 1},
    {"HELLOWORLD", "LOWO", 1},
    {"HELLO", "HELLOWORLD", 0},
    {"ABCDEF", "A?C", 1},
    {"ABCD", "AB?", 1},
    {"AB", "AB?", 0},
    {"XABC", "?BC", 0},
    {"X", "*X", 1},
    {"AC", "A*C", 1},
    {"ABXC", "A*C", 1},
    {"QXQY", "Q*Q", 0},
    {"REPORT12.DOC", "REPORT?.DOC", 0},
    {"REPORT1.DOCX", "REPORT?.DOC", 1},
    {"A.TXT", "*.T?T", 1},
    {"XXXXXXXXAZQB", "*A?*B", 1},
    {"ABC", "*?C", 1},
    // Empty arguments never match; "*" matches anything.
    {"", "*", 0},
    {"A", "", 0},
    {"ANYTHING", "*", 1},
    // A trailing run of stars counts as one.
    {"ABC", "A**", 1},
    {"ABC", "A*", 1},
    // Without wildcards the pattern may sit anywhere in the name.
    {"MY.DOC.TXT", ".DOC", 1},
    // '?' after a star is one character, wherever it falls.
    {"XAYB", "*A?B", 1},
    {"XYAB", "*A?B", 0},
    {"XYAZB", "*A?B", 1},
    // A '*' matches any run, also an empty one and one that ends the name.
    {"ABC", "*C*", 1},
    {"MYDOCS", "*S*", 1},
    {"README.MD", "*MD*", 1},
    {"C", "*C", 1},
    {"C", "*C*", 1},
    {"ABC", "*B", 0},
    {"AXBXC", "A*B*C", 1},
    {"AXBXD", "A*B*C", 0},
    {"A.TXT.BAK", "*.TXT*", 1},
    // '?' without a '*' anchors the pattern at the start only.
    {"REPORT1.DOC.BAK", "REPORT?.DOC", 1},
    {"XREPORT1.DOC", "REPORT?.DOC", 0},
    {"XX", "*?X", 1},
    {"XY", "*?X", 0},
};

TEST(MatchWildcard, ReferenceTableRowsHold) {
    for (const Row& r : kRows) {
        SCOPED_TRACE(std::string(r.name) + " ~ " + r.pattern);
        EXPECT_EQ(MatchWildcard(r.name, r.pattern), r.expected);
    }
}

TEST(MatchWildcard, FilterOfLowerCaseTypingMatchesAfterUpperCasing) {
    EXPECT_EQ(MatchWildcard(ToUpperName("readme.txt"), ToUpperName("*.txt")), 1);
    EXPECT_EQ(ToUpperName("a-z\xE9\x01Z"), "A-Z\xE9\x01Z"); // only a-z change
}

TEST(MatchWildcard, NeverReadsPastTheNameOnHostilePatterns) {
    // Long runs of wildcards and literals against short names must end cleanly.
    const char* patterns[] = {"*?*?*?*?", "??????????", "*A*A*A*A*A", "?*?",  "*.*.*",
                              "*??",      "A?*",        "*A?",        "**?**"};
    const char* names[] = {"A", "AA", "AB", ".", "A.A", "?", "*"};
    for (const char* p : patterns) {
        for (const char* n : names) {
            const int r = MatchWildcard(n, p);
            EXPECT_TRUE(r == 0 || r == 1);
        }
    }
}

// A name that holds the pattern's last literal as its last character is found by the
// wildcard form just as by the plain text.
TEST(MatchWildcard, StarFormsFindWhatThePlainTextFinds) {
    for (const char* name : {"ABC", "C", "MYDOCS", "README.MD", "A.C.C"}) {
        const std::string n = name;
        for (const char* lit : {"C", "S", "MD", "A"}) {
            SCOPED_TRACE(n + " / " + lit);
            const int plain = MatchWildcard(n, lit);
            EXPECT_EQ(MatchWildcard(n, std::string("*") + lit + "*"), plain);
        }
    }
}

} // namespace
} // namespace trevik

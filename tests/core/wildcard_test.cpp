#include "recovery/wildcard.h"

#include <gtest/gtest.h>

namespace trevik {
namespace {

struct Row {
    const char* name;
    const char* pattern;
    int expected;
};

// Every row of the matcher's reference table, plus the steps' own corner cases.
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
    {"X", "*X", 0},
    {"AC", "A*C", 0},
    {"ABXC", "A*C", 1},
    {"QXQY", "Q*Q", 0},
    {"REPORT12.DOC", "REPORT?.DOC", 0},
    {"REPORT1.DOCX", "REPORT?.DOC", 1},
    {"A.TXT", "*.T?T", 0},
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
    // '?' after a star: the literals alone are compared with the end of the name.
    {"XAYB", "*A?B", 0},
    {"XYAB", "*A?B", 1},
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

} // namespace
} // namespace trevik

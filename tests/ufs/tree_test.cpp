#include "recovery/wildcard.h"
#include "ufs/names.h"
#include "ufs/recovered_tree.h"
#include "ufs/tree_paths.h"
#include "ufs/ufs_time.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace trevik {
namespace {

TEST(RecoveredTree, FolderInodesAreUniqueAndLowInodesRefused) {
    RecoveredTree t;
    EXPECT_TRUE(t.AddFolderNode("a", 10, 2, 5));
    EXPECT_FALSE(t.AddFolderNode("other", 10, 7, 6)); // unchanged even with another name
    EXPECT_FALSE(t.AddFolderNode("zero", 0, 2, 1));
    EXPECT_FALSE(t.AddFolderNode("one", 1, 2, 1));
    EXPECT_FALSE(t.AddFolderNode("root", 2, 2, 1));
    EXPECT_FALSE(t.AddFileNode("f", 2, 2, 1, 1, 0x81A4));
    EXPECT_EQ(t.FolderCount(), 1u);
    EXPECT_EQ(t.FolderName(0), "a");
    EXPECT_EQ(t.Folders()[0].parentInode, 2u);
    // The same file inode under two folders, or twice under one, gives separate nodes.
    EXPECT_TRUE(t.AddFileNode("x", 20, 10, 1, 5, 0x81A4));
    EXPECT_TRUE(t.AddFileNode("x-again", 20, 10, 1, 5, 0x81A4));
    EXPECT_TRUE(t.AddFileNode("x", 20, 2, 1, 5, 0x81A4));
    EXPECT_EQ(t.FileCount(), 3u);
    EXPECT_EQ(t.Files()[2].ordinal, 2u);
    // First name for an inode wins.
    EXPECT_TRUE(t.AddDirName("first", 30, 2));
    EXPECT_FALSE(t.AddDirName("second", 30, 2));
    EXPECT_EQ(t.Name(t.FindDirName(30)->name), "first");
}

// Records a walk as "+name" (enter), "-name" (leave) and "name" (file).
struct Trace final : SubtreeVisitor {
    const RecoveredTree& t;
    std::vector<std::string> seen;
    std::string skip;
    explicit Trace(const RecoveredTree& tree) : t(tree) {}
    bool EnterFolder(uint32_t f, size_t depth) override {
        seen.push_back("+" + std::string(t.FolderName(f)) + std::to_string(depth));
        return std::string(t.FolderName(f)) != skip;
    }
    void LeaveFolder(uint32_t f, size_t) override {
        seen.push_back("-" + std::string(t.FolderName(f)));
    }
    void VisitFile(uint32_t f, size_t depth) override {
        seen.push_back(std::string(t.FileName(f)) + std::to_string(depth));
    }
};

TEST(RecoveredTree, SubtreeWalksGoInEitherOrderAndNeverLoop) {
    RecoveredTree t;
    t.AddFolderNode("a", 10, 2, 1);
    t.AddFolderNode("b", 11, 10, 1);
    t.AddFileNode("f", 40, 2, 1, 1, 0);
    t.AddFileNode("g", 41, 10, 1, 1, 0);
    t.AddFileNode("h", 42, 11, 1, 1, 0);
    // Two folders that name each other as parent, hanging off nothing: never reached.
    t.AddFolderNode("x", 20, 21, 1);
    t.AddFolderNode("y", 21, 20, 1);
    t.BuildChildIndex();

    Trace copy(t);
    t.WalkSubtree(kRootInode, WalkOrder::FilesFirst, copy);
    EXPECT_EQ(copy.seen, (std::vector<std::string>{"f1", "+a1", "g2", "+b2", "h3", "-b", "-a"}));
    Trace listing(t);
    t.WalkSubtree(kRootInode, WalkOrder::FoldersFirst, listing);
    EXPECT_EQ(listing.seen, (std::vector<std::string>{"+a1", "+b2", "h3", "-b", "g2", "-a", "f1"}));
    // A folder refused on entry is neither walked nor left.
    Trace pruned(t);
    pruned.skip = "b";
    t.WalkSubtree(kRootInode, WalkOrder::FoldersFirst, pruned);
    EXPECT_EQ(pruned.seen, (std::vector<std::string>{"+a1", "+b2", "g2", "-a", "f1"}));
    // Started inside the cycle, each folder is entered once.
    Trace cycle(t);
    t.WalkSubtree(20, WalkOrder::FoldersFirst, cycle);
    EXPECT_EQ(cycle.seen, (std::vector<std::string>{"+y1", "+x2", "-x", "-y"}));
}

TEST(RecoveredTree, NamesAreStoredWholeAndFreedWithTheTree) {
    RecoveredTree t;
    const std::string longName(255, 'q');
    t.AddFolderNode(longName, 5, 2, 1);
    EXPECT_EQ(t.FolderName(0), longName);
    t.FreeRecoveredTree();
    EXPECT_EQ(t.FolderCount(), 0u);
    EXPECT_EQ(t.FindFolder(5), -1);
    t.AddFolderNode("again", 5, 2, 1);
    EXPECT_EQ(t.Folders()[0].ordinal, 0u);
}

TEST(RecoveredTree, ChildIndexKeepsListOrder) {
    RecoveredTree t;
    t.AddFolderNode("b", 11, 2, 1);
    t.AddFolderNode("sub", 12, 11, 1);
    t.AddFolderNode("a", 13, 2, 1);
    t.AddFileNode("f2", 40, 2, 1, 1, 0);
    t.AddFileNode("g", 41, 11, 1, 1, 0);
    t.AddFileNode("f1", 42, 2, 1, 1, 0);
    t.BuildChildIndex();
    const auto folders = t.ChildFolders(2);
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(t.FolderName(folders[0]), "b");
    EXPECT_EQ(t.FolderName(folders[1]), "a");
    const auto files = t.ChildFiles(2);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(t.FileName(files[0]), "f2");
    EXPECT_EQ(t.FileName(files[1]), "f1");
    EXPECT_TRUE(t.ChildFolders(99).empty());
    EXPECT_EQ(FolderPath(t, 12, '\\', true), "b\\sub");
    EXPECT_EQ(FolderPath(t, 2, '/', true), "");
}

TEST(RecoveredTree, PathsOfALoopingParentChainEnd) {
    RecoveredTree t;
    t.AddFolderNode("a", 10, 11, 1);
    t.AddFolderNode("b", 11, 10, 1);
    EXPECT_LE(FolderPath(t, 10, '/', false).size(), 10u);
}

// Names holding '/': the path a listing prints leads back to the entry it was printed for,
// trying a name without '/' first and going back where that leads nowhere.
TEST(TreePaths, PathsPrintedResolveBackToTheirNodes) {
    RecoveredTree t;
    t.AddFolderNode("a", 10, 2, 1);
    t.AddFolderNode("b", 11, 10, 1); // "/a/b", a folder with no "c"
    t.AddFolderNode("a/b", 12, 2, 1);
    t.AddFileNode("c", 40, 12, 1, 1, 0x81A4);  // "/a/b/c": only through "a/b"
    t.AddFileNode("x/y", 41, 2, 1, 1, 0x81A4); // "/x/y"
    t.AddFileNode("same", 42, 10, 1, 1, 0x81A4);
    t.AddFolderNode("same", 13, 10, 1);              // a folder before a file of the same name
    t.AddFileNode("\xe9t\xe9", 43, 2, 1, 1, 0x81A4); // Latin-1 bytes, shown as UTF-8
    t.BuildChildIndex();

    EXPECT_EQ(FolderItemPath(t, 2), "/");
    EXPECT_EQ(FolderItemPath(t, 11), "/a/b");
    EXPECT_EQ(FileItemPath(t, 0), "/a/b/c");
    EXPECT_EQ(FileItemPath(t, 1), "/x/y");
    EXPECT_EQ(ChildPath(t, 2, "n"), "/n");
    EXPECT_EQ(FileItemPath(t, 3), "/\xc3\xa9t\xc3\xa9");

    using K = PathTarget::Kind;
    EXPECT_EQ(ResolvePath(t, "/a/b/c"), (PathTarget{K::File, 0}));
    EXPECT_EQ(ResolvePath(t, "/x/y"), (PathTarget{K::File, 1}));
    EXPECT_EQ(ResolvePath(t, "//x/y"), (PathTarget{K::File, 1}));
    EXPECT_EQ(ResolvePath(t, "/a/b"), (PathTarget{K::Folder, 1})); // the shorter reading
    EXPECT_EQ(ResolvePath(t, "/a/same/"), (PathTarget{K::Folder, 3}));
    EXPECT_EQ(ResolvePath(t, "/\xc3\xa9t\xc3\xa9"), (PathTarget{K::File, 3}));
    EXPECT_EQ(ResolvePath(t, ""), PathTarget{});
    EXPECT_EQ(ResolvePath(t, "///"), PathTarget{});
    EXPECT_FALSE(ResolvePath(t, "/x"));
    EXPECT_FALSE(ResolvePath(t, "/x/y/z")); // nothing is below a file
    EXPECT_FALSE(ResolvePath(t, "/a/b/d"));
    EXPECT_FALSE(ResolvePath(t, "/a/bc"));
}

TEST(FormatUfsTime, DateAndTimeInLocalTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(FormatUfsTime(1).date, "01-Jan-1970");
    EXPECT_EQ(FormatUfsTime(1).time, "00:00:01");
    EXPECT_EQ(FormatUfsTime(1796634300).date, "07-Dec-2026");
    EXPECT_EQ(FormatUfsTime(1796634300).time, "09:05:00");
    EXPECT_EQ(FormatUfsTime(0).date, "Error");
    EXPECT_EQ(FormatUfsTime(-1).time, "Error");
    setenv("TZ", "CET-1", 1);
    tzset();
    EXPECT_EQ(FormatUfsTime(1).time, "01:00:01");
    unsetenv("TZ");
    tzset();
}

// The listing's formatter converts once per quarter hour: it must still give every second
// as localtime gives it, across changes to and from summer time (whole and half hours)
// and in zones a quarter or half hour off UTC.
TEST(FormatUfsTime, TheListingsFormatterGivesWhatLocaltimeGives) {
    auto reference = [](int32_t s) {
        const std::time_t t = s;
        std::tm tm{};
        localtime_r(&t, &tm);
        static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        char text[40];
        std::snprintf(text, sizeof text, "%02d-%s-%04d %02d:%02d:%02d", tm.tm_mday,
                      kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
        return std::string(text);
    };
    for (const char* zone :
         {"UTC", "CET-1CEST,M3.5.0,M10.5.0/3", "NPT-5:45", "NST3:30NDT,M3.2.0/0:01,M11.1.0/0:01",
          "LHST-10:30LHDT-11,M10.1.0,M4.1.0"}) {
        setenv("TZ", zone, 1);
        tzset();
        UfsTimeFormatter f;
        size_t compared = 0;
        // Through two years second by 37 seconds (in order, as a listing often is), then
        // back and forth at random.
        for (int64_t s = 1167609600; s < 1167609600 + 2 * 366 * 86400; s += 37) {
            const auto t = f.Format(static_cast<int32_t>(s));
            ASSERT_EQ(std::string(t.date) + " " + std::string(t.time),
                      reference(static_cast<int32_t>(s)))
                << zone << " at " << s;
            ++compared;
        }
        uint32_t x = 12345;
        for (int k = 0; k < 20000; ++k) {
            x = x * 1103515245u + 12345u;
            const auto s = static_cast<int32_t>(x & 0x7fffffff);
            if (s <= 0)
                continue;
            const auto t = f.Format(s);
            ASSERT_EQ(std::string(t.date) + " " + std::string(t.time), reference(s))
                << zone << " at " << s;
            ++compared;
        }
        EXPECT_GT(compared, 1700000u);
        EXPECT_EQ(f.Format(0).date, "Error");
    }
    unsetenv("TZ");
    tzset();
}

TEST(Names, ShownAsUtf8WhenValidElseLatin1) {
    EXPECT_EQ(DisplayName("plain"), "plain");
    EXPECT_EQ(DisplayName("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(DisplayName("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(DisplayName("\xC0\xAF"), "\xC3\x80\xC2\xAF");             // overlong: not UTF-8
    EXPECT_EQ(DisplayName("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80"); // a surrogate
    EXPECT_EQ(HexBytes("/a\xE9"), "2f61e9");
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80")); // past U+10FFFF
    EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x98\x80"));
}

} // namespace
} // namespace trevik

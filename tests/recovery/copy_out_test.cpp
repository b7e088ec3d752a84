// Copying out: what lands in the destination is whole and under a name that loses nothing,
// whatever names the disk holds, whatever the destination already holds.

#include "support/engine_support.h"

#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;
using testing::Slurp;
using testing::TempDir;
namespace fs = std::filesystem;

ExtractionSummary Copy(Fixture& fx, const std::string& to, ExtractionOptions o = {},
                       const std::vector<ExtractItem>& items = {}) {
    ExtractionControl control;
    return ExtractItems(fx.mounted, fx.reader, items, items.empty(), to, o, control, nullptr);
}

ExtractionOptions Policy(DuplicatePolicy p) {
    ExtractionOptions o;
    o.duplicates = p;
    return o;
}

// Every name in a folder of the destination (not below it).
std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

size_t CountTree(const fs::path& dir) {
    size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it)
        ++n;
    return n;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Every file named `file`, then every folder named `folder`, as rows chosen in the window.
std::vector<ExtractItem> Chosen(const RecoveredTree& t, std::string_view file,
                                std::string_view folder) {
    std::vector<ExtractItem> items;
    for (uint32_t i = 0; i < t.FileCount(); ++i) {
        if (t.FileName(i) == file)
            items.push_back({false, i});
    }
    for (uint32_t i = 0; i < t.FolderCount(); ++i) {
        if (t.FolderName(i) == folder)
            items.push_back({true, i});
    }
    return items;
}

// Entries of one folder that share a name, as damaged directories hold them.
TreeNode SameNames() {
    return Dir("", {Dir("d", {File("f", "one"), File("f", "two"), Dir("x", {File("in", "i")}),
                              File("x", "file x"), Symlink("f", "one-target")})});
}

TEST(CopyOut, SameNamedEntriesOfOneFolderAllArriveUnderEveryPolicy) {
    Fixture fx(BuildUfs(SameNames(), testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    ASSERT_EQ(fx.mounted.tree.FileCount(), 5u); // the listing keeps both "f" and "x"
    for (DuplicatePolicy p :
         {DuplicatePolicy::Skip, DuplicatePolicy::Overwrite, DuplicatePolicy::Rename}) {
        TempDir out;
        const ExtractionSummary s = Copy(fx, out.Path().string(), Policy(p));
        ASSERT_TRUE(s.Whole()) << s.error;
        EXPECT_EQ(s.filesWritten, 5u);
        EXPECT_EQ(s.skipped, 0u);
        const fs::path d = out.Path() / "d";
        EXPECT_EQ(Names(d), (std::set<std::string>{"f", "f (1)", "f (2)", "x", "x (1)"}));
        EXPECT_EQ(Slurp((d / "f").string()), "one");
        EXPECT_EQ(Slurp((d / "f (1)").string()), "two");
        EXPECT_EQ(fs::read_symlink(d / "f (2)"), "one-target");
        EXPECT_EQ(Slurp((d / "x" / "in").string()), "i");
        EXPECT_EQ(Slurp((d / "x (1)").string()), "file x"); // the folder came first
        ASSERT_EQ(s.renamed.size(), 3u);
        EXPECT_EQ(s.renamed[0].from, "/d/f");
        EXPECT_EQ(s.renamed[0].to, "d/f (1)");
    }
}

TEST(CopyOut, ARunAgainMeetsThePolicyForEachOfTheSameNamedFiles) {
    Fixture fx(BuildUfs(SameNames(), testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    ASSERT_TRUE(Copy(fx, out.Path().string()).Whole());
    const fs::path d = out.Path() / "d";
    std::ofstream(d / "f (1)", std::ios::trunc) << "edited";

    // Skip, as a resumed run: everything is there already, nothing is written twice.
    ExtractionSummary s = Copy(fx, out.Path().string(), Policy(DuplicatePolicy::Skip));
    EXPECT_EQ(s.filesWritten, 0u);
    EXPECT_EQ(s.skipped, 5u);
    EXPECT_EQ(s.skippedItems.size(), 5u);
    EXPECT_EQ(s.skippedItems[0].reason, "already in the destination");
    EXPECT_EQ(CountTree(out.Path()), 7u);
    EXPECT_EQ(Slurp((d / "f (1)").string()), "edited");

    // Overwrite replaces each with its own.
    s = Copy(fx, out.Path().string(), Policy(DuplicatePolicy::Overwrite));
    EXPECT_EQ(s.filesWritten, 5u);
    EXPECT_EQ(CountTree(out.Path()), 7u);
    EXPECT_EQ(Slurp((d / "f (1)").string()), "two");
    EXPECT_EQ(Slurp((d / "f").string()), "one");

    // Rename keeps the old ones and adds all five again.
    s = Copy(fx, out.Path().string(), Policy(DuplicatePolicy::Rename));
    EXPECT_EQ(s.filesWritten, 5u);
    EXPECT_EQ(CountTree(out.Path()), 12u);
}

TEST(CopyOut, SameNamedSelectedItemsFromDifferentFoldersBothArrive) {
    Fixture fx(BuildUfs(Dir("", {Dir("a", {File("f", "from a"), Dir("sub", {File("s", "sa")})}),
                                 Dir("b", {File("f", "from b"), Dir("sub", {File("s", "sb")})})}),
                        testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const std::vector<ExtractItem> items = Chosen(fx.mounted.tree, "f", "sub");
    ASSERT_EQ(items.size(), 4u);
    for (DuplicatePolicy p : {DuplicatePolicy::Skip, DuplicatePolicy::Overwrite}) {
        TempDir out;
        const ExtractionSummary s = Copy(fx, out.Path().string(), Policy(p), items);
        ASSERT_TRUE(s.Whole()) << s.error;
        EXPECT_EQ(Slurp(out.File("f")), "from a");
        EXPECT_EQ(Slurp(out.File("f (1)")), "from b");
        EXPECT_EQ(Slurp(out.File("sub/s")), "sa");
        EXPECT_EQ(Slurp(out.File("sub (1)/s")), "sb");
        ASSERT_EQ(s.renamed.size(), 2u);
        EXPECT_EQ(s.renamed[0].from, "/b/f");
        EXPECT_EQ(s.renamed[0].to, "f (1)");
    }
}

// What the window hands to a file manager or an application is what the copy says it
// wrote: the chosen items under the names they took, nothing else the folder holds.
TEST(CopyOut, TheChosenItemsAreToldUnderTheNamesTheyWereWrittenAs) {
    Fixture fx(BuildUfs(Dir("", {Dir("a", {File("f", "from a"), Dir("sub", {File("s", "sa")})}),
                                 Dir("b", {File("f", "from b")})}),
                        testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const std::vector<ExtractItem> items = Chosen(fx.mounted.tree, "f", "sub");
    ASSERT_EQ(items.size(), 3u);
    TempDir out;
    std::ofstream(out.File("unrelated")) << "was there";
    ExtractionSummary s = Copy(fx, out.Path().string(), Policy(DuplicatePolicy::Rename), items);
    ASSERT_TRUE(s.Whole()) << s.error;
    EXPECT_EQ(s.written, (std::vector<std::string>{"f", "f (1)", "sub"}));
    EXPECT_EQ(Slurp(out.File(s.written[1])), "from b");

    // Again, leaving duplicates alone: the destination still holds them, under those names.
    s = Copy(fx, out.Path().string(), Policy(DuplicatePolicy::Skip), items);
    EXPECT_EQ(s.filesWritten, 0u);
    EXPECT_EQ(s.written, (std::vector<std::string>{"f", "f (1)", "sub"}));
    // Again, renaming: the new copies are told, not the old ones.
    s = Copy(fx, out.Path().string(), Policy(DuplicatePolicy::Rename), items);
    EXPECT_EQ(s.written, (std::vector<std::string>{"f (2)", "f (3)", "sub"}));
    EXPECT_EQ(Slurp(out.File("f (3)")), "from b");

    // Everything: the root's items, not what lies below them.
    TempDir all;
    s = Copy(fx, all.Path().string());
    EXPECT_EQ(s.written, (std::vector<std::string>{"a", "b"}));
}

TEST(CopyOut, LongNamesAreShortenedAndNeverEndTheRun) {
    const std::string longDir(255, 'D');
    const std::string longFile = std::string(251, 'F') + ".txt";
    const std::string latin(255, '\xE9'); // 510 bytes once written in UTF-8
    std::vector<TreeNode> many;
    for (int i = 0; i < 40; ++i)
        many.push_back(File("m" + std::to_string(i), "m"));
    Fixture fx(BuildUfs(
        Dir("", {Dir(longDir, {File(longFile, "in long folder")}),
                 File(std::string(255, 'L'), "long"), File(latin, "latin"), Dir("many", many)}),
        testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    ExtractionSummary s = Copy(fx, out.Path().string(), Policy(DuplicatePolicy::Rename));
    ASSERT_TRUE(s.Whole()) << s.error;
    EXPECT_EQ(s.filesWritten, 43u);
    // The Latin-1 name is written as shown, cut to the limit between characters.
    ASSERT_EQ(s.renamed.size(), 1u);
    const std::string cut = s.renamed[0].to;
    EXPECT_EQ(cut.size(), 254u); // 127 two-byte characters
    EXPECT_TRUE(IsValidUtf8(cut));
    EXPECT_EQ(Slurp(out.File(cut)), "latin");

    // Again with Rename: every name, " (1)" included, must fit.
    s = Copy(fx, out.Path().string(), Policy(DuplicatePolicy::Rename));
    ASSERT_TRUE(s.error.empty()) << s.error;
    EXPECT_TRUE(s.incomplete.empty());
    EXPECT_EQ(s.filesWritten, 43u);
    EXPECT_EQ(Names(out.Path() / "many").size(), 80u);
    const std::string renamedFile = std::string(247, 'F') + " (1).txt";
    EXPECT_EQ(Slurp((out.Path() / longDir / renamedFile).string()), "in long folder");
    EXPECT_EQ(Slurp(out.File(std::string(251, 'L') + " (1)")), "long");
    for (const auto& name : Names(out.Path()))
        EXPECT_LE(name.size(), 255u);
}

TEST(CopyOut, ALinkThatCannotBeMadeCostsOnlyItself) {
    // A target longer than Linux takes (4096 bytes with its end).
    const std::string target(5000, 'T');
    UfsParams p = testing::VolumeParams();
    p.fragmentSize = 8192;
    Fixture fx(BuildUfs(Dir("", {Symlink("huge", target), File("after.txt", "after")}), p));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    const ExtractionSummary s = Copy(fx, out.Path().string());
    EXPECT_TRUE(s.error.empty()) << s.error;
    EXPECT_EQ(s.incomplete, std::vector<std::string>{"/huge"});
    ASSERT_EQ(s.skippedItems.size(), 1u);
    EXPECT_NE(s.skippedItems[0].reason.find("Cannot create link"), std::string::npos);
    EXPECT_EQ(Names(out.Path()), std::set<std::string>{"after.txt"});
}

TEST(CopyOut, OverwriteNeverRemovesTheOldItemBeforeTheNewOneIsWhole) {
    UfsParams p = testing::VolumeParams();
    p.fragmentSize = 8192;
    Fixture fx(
        BuildUfs(Dir("", {Symlink("link", std::string(5000, 'T')), GeneratedFile("big", 300000, 4),
                          Symlink("good", "new-target"), File("small", "new")}),
                 p));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    std::ofstream(out.File("link")) << "the user's link file";
    std::ofstream(out.File("big")) << "the user's big file";
    fs::create_symlink("old-target", out.File("good"));
    std::ofstream(out.File("small")) << "old";
    // Writes past 100 000 bytes fail: the new "big" cannot be made whole.
    const ExtractionSummary s = [&] {
        const testing::FileSizeLimit limit(100000);
        return Copy(fx, out.Path().string(), Policy(DuplicatePolicy::Overwrite));
    }();
    EXPECT_TRUE(s.error.empty()) << s.error;
    EXPECT_EQ(s.incomplete, (std::vector<std::string>{"/link", "/big"}));
    EXPECT_EQ(Slurp(out.File("link")), "the user's link file");
    EXPECT_EQ(Slurp(out.File("big")), "the user's big file");
    EXPECT_EQ(fs::read_symlink(out.File("good")), "new-target");
    EXPECT_EQ(Slurp(out.File("small")), "new");
    EXPECT_EQ(Names(out.Path()), (std::set<std::string>{"link", "big", "good", "small"}));
}

TEST(CopyOut, ModesAreKeptWithoutSetIdUnlessAskedAndFoldersAreFilledFirst) {
    TreeNode priv = Dir("private", {File("secret", "s")});
    priv.permissions = 0700;
    priv.children[0].permissions = 0600;
    TreeNode ro = Dir("readonly", {File("ro.txt", "r")});
    ro.permissions = 0555;
    ro.children[0].permissions = 0444;
    TreeNode closed = Dir("closed", {File("inside", "c")});
    closed.permissions = 0444;
    TreeNode sticky = Dir("sticky");
    sticky.permissions = 01777;
    TreeNode setuid = File("setuid", "#!/bin/sh\n");
    setuid.permissions = 04755;
    setuid.uid = 1234;
    setuid.gid = 5678;
    setuid.shadow = 99; // where BSD keeps a uid: never read as one
    Fixture fx(BuildUfs(Dir("", {priv, ro, closed, sticky, setuid}), testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    const std::string to = out.File("plain");
    ExtractionSummary s = Copy(fx, to);
    ASSERT_TRUE(s.Whole()) << s.error;
    EXPECT_EQ(ModeOf(to + "/private"), 0700u);
    EXPECT_EQ(ModeOf(to + "/private/secret"), 0600u);
    EXPECT_EQ(ModeOf(to + "/readonly"), 0555u);
    EXPECT_EQ(ModeOf(to + "/readonly/ro.txt"), 0444u);
    EXPECT_EQ(ModeOf(to + "/closed"), 0444u);
    EXPECT_EQ(ModeOf(to + "/sticky"), 0777u);
    EXPECT_EQ(ModeOf(to + "/setuid"), 0755u);
    struct stat st {};
    ASSERT_EQ(::stat((to + "/setuid").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());

    // A second run fills the read-only folders it left, and gives them their modes back.
    s = Copy(fx, to, Policy(DuplicatePolicy::Overwrite));
    ASSERT_TRUE(s.Whole()) << s.error;
    EXPECT_EQ(s.filesWritten, 4u);
    EXPECT_EQ(ModeOf(to + "/readonly"), 0555u);
    EXPECT_EQ(ModeOf(to + "/closed"), 0444u);

    if (::geteuid() != 0)
        GTEST_SKIP() << "set-id bits and owners are kept only for root";
    ExtractionOptions keep;
    keep.keepSetid = true;
    keep.keepOwner = true;
    const std::string kept = out.File("kept");
    ASSERT_TRUE(Copy(fx, kept, keep).Whole());
    EXPECT_EQ(ModeOf(kept + "/setuid"), 04755u);
    EXPECT_EQ(ModeOf(kept + "/sticky"), 01777u);
    ASSERT_EQ(::stat((kept + "/setuid").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(Slurp(kept + "/closed/inside"), "c");
}

TEST(CopyOut, NamesAreWrittenAsShownOrAsTheDisksBytes) {
    Fixture fx(BuildUfs(Dir("", {File("caf\xE9", "latin-1"), File("na\xC3\xAFve", "utf-8"),
                                 File("caf\xC3\xA9", "utf-8 twin"), Dir("d\xE9j\xE0")}),
                        testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    const std::string shown = out.File("shown");
    ExtractionSummary s = Copy(fx, shown);
    ASSERT_TRUE(s.Whole()) << s.error;
    EXPECT_EQ(Names(shown), (std::set<std::string>{"caf\xC3\xA9", "caf\xC3\xA9 (1)", "na\xC3\xAFve",
                                                   "d\xC3\xA9j\xC3\xA0"}));
    EXPECT_EQ(Slurp(shown + "/caf\xC3\xA9"), "latin-1");
    EXPECT_EQ(Slurp(shown + "/caf\xC3\xA9 (1)"), "utf-8 twin"); // shown alike: both arrive

    ExtractionOptions raw;
    raw.rawNames = true;
    const std::string bytes = out.File("raw");
    s = Copy(fx, bytes, raw);
    ASSERT_TRUE(s.Whole()) << s.error;
    EXPECT_TRUE(s.renamed.empty());
    EXPECT_EQ(Names(bytes),
              (std::set<std::string>{"caf\xE9", "caf\xC3\xA9", "na\xC3\xAFve", "d\xE9j\xE0"}));
}

TEST(CopyOut, TemporariesOfRunsThatAreGoneAreRemovedNeverALiveOnes) {
    Fixture fx(BuildUfs(Dir("", {Dir("d", {File("f", "f")})}), testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    ASSERT_TRUE(Copy(fx, out.Path().string()).Whole());
    // A pid that is gone: a child that has exited and been reaped.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const std::string dead = std::string(kPartialPrefix) + std::to_string(child) + "-1";
    const std::string live = std::string(kPartialPrefix) + std::to_string(::getppid()) + "-7";
    for (const std::string& dir : {out.Path().string(), out.File("d")}) {
        std::ofstream(dir + "/" + dead) << "torn";
        std::ofstream(dir + "/" + live) << "being written";
    }
    fs::create_directory(out.File("d/" + std::string(kPartialPrefix) + "1-1")); // not ours
    std::ofstream(out.File("d/.trevik-partial-x-1")) << "not a run's name";
    ASSERT_TRUE(Copy(fx, out.Path().string()).Whole());
    EXPECT_FALSE(fs::exists(out.File(dead)));
    EXPECT_FALSE(fs::exists(out.File("d/" + dead)));
    EXPECT_TRUE(fs::exists(out.File(live)));
    EXPECT_TRUE(fs::exists(out.File("d/" + live)));
    EXPECT_TRUE(fs::is_directory(out.File("d/" + std::string(kPartialPrefix) + "1-1")));
    EXPECT_TRUE(fs::exists(out.File("d/.trevik-partial-x-1")));
}

} // namespace
} // namespace trevik

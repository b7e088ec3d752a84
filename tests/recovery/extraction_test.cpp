#include "support/engine_support.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;
using testing::Slurp;
using testing::TempDir;
namespace fs = std::filesystem;

UfsParams Params() {
    return testing::VolumeParams();
}

ExtractionSummary RecoverAll(Fixture& fx, const std::string& to,
                             DuplicatePolicy p = DuplicatePolicy::Skip) {
    ExtractionControl control;
    return ExtractItems(fx.mounted, fx.reader, {}, true, to, p, control, nullptr);
}

TEST(Extraction, RecoverAllIsByteExactWithLinksTimesAndHoles) {
    TreeNode big = GeneratedFile("big.bin", 300000, 7);
    TreeNode sparse = GeneratedFile("sparse.bin", 20u << 20, 11, {{1u << 20, 18u << 20}});
    TreeNode dated = File("dated.txt", "dated\n");
    dated.mtime = 946684800; // 2000-01-01
    TreeNode fifo = File("pipe", "");
    fifo.typeOverride = 0x1000;
    const TreeNode tree =
        Dir("", {Dir("d", {big, sparse, dated, fifo, Symlink("link", "big.bin"),
                           File(std::string(255, 'L'), "long\n"), File("caf\xE9", "latin\n")})});
    Fixture fx(BuildUfs(tree, Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    const ExtractionSummary s = RecoverAll(fx, out.File("to"));
    EXPECT_TRUE(s.error.empty()) << s.error;
    EXPECT_TRUE(s.incomplete.empty());
    EXPECT_EQ(s.filesWritten, 6u);
    EXPECT_EQ(s.specialsSkipped, 1u);
    EXPECT_EQ(s.foldersCreated, 1u); // d (the destination is not the volume's)
    const fs::path d = out.Path() / "to" / "d";
    EXPECT_TRUE(Slurp((d / "big.bin").string()) == testing::ExpectedBytes(big, 300000));
    EXPECT_TRUE(Slurp((d / "sparse.bin").string()) == testing::ExpectedBytes(sparse, 20u << 20));
    EXPECT_EQ(Slurp((d / std::string(255, 'L')).string()), "long\n");
    EXPECT_EQ(Slurp((d / "caf\xC3\xA9").string()), "latin\n"); // written as shown
    EXPECT_EQ(fs::read_symlink(d / "link"), "big.bin");
    EXPECT_FALSE(fs::exists(d / "pipe"));
    struct stat st {};
    ASSERT_EQ(::stat((d / "dated.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 946684800);
    ASSERT_EQ(::stat(d.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1199145600); // the folder's own time, set after its contents
    // The hole stays a hole.
    ASSERT_EQ(::stat((d / "sparse.bin").c_str(), &st), 0);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 8u << 20);
}

TEST(Extraction, FilesOfFourGibibytesAndMoreKeepTheirWholeSize) {
    constexpr uint64_t kSize = (4ull << 30) + 12345;
    // Data at the start, around the 4 GiB mark and at the end; the rest is hole.
    TreeNode huge = GeneratedFile(
        "huge.bin", kSize, 5, {{8192, (4ull << 30) - 8192}, {(4ull << 30) + 8192, kSize - 100}});
    UfsParams p = Params();
    p.fragmentSize = 4096;
    Fixture fx(BuildUfs(Dir("", {huge}), p));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    ASSERT_EQ(fx.mounted.tree.FileCount(), 1u);
    EXPECT_EQ(fx.mounted.tree.Files()[0].size, kSize);
    TempDir out;
    const ExtractionSummary s = RecoverAll(fx, out.Path().string());
    ASSERT_TRUE(s.Whole()) << s.error;
    EXPECT_EQ(s.bytesWritten, kSize);
    const std::string path = out.File("huge.bin");
    ASSERT_EQ(fs::file_size(path), kSize);
    const int fd = ::open(path.c_str(), O_RDONLY);
    for (const uint64_t at : {uint64_t{0}, uint64_t{4} << 30, kSize - 100, uint64_t{1} << 31}) {
        std::vector<uint8_t> got(100), want(100);
        ASSERT_EQ(::pread(fd, got.data(), 100, static_cast<off_t>(at)), 100);
        ExpectedContent(huge, at, want);
        EXPECT_EQ(got, want) << at;
    }
    ::close(fd);
}

TEST(Extraction, UnreadableSectorsAreZerosAndTheFileIsNamedIncomplete) {
    TreeNode big = GeneratedFile("big.bin", 300000, 7);
    Fixture fx(BuildUfs(Dir("", {Dir("d", {big, File("ok.txt", "fine\n")})}), Params()));
    const BuiltNode* b = fx.volume.Find("/d/big.bin");
    const uint64_t badSector = fx.FragSector(b->dataFrags[3]) + 5; // inside block 3
    fx.faulty.AddBadSector(badSector);
    // The single indirect block too: blocks 12 and on hang from it.
    fx.faulty.AddBadSector(fx.FragSector(b->indirectFrags[0]));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    const ExtractionSummary s = RecoverAll(fx, out.Path().string());
    ASSERT_EQ(s.incomplete, std::vector<std::string>{"/d/big.bin"});
    EXPECT_FALSE(s.Whole());
    std::string want = testing::ExpectedBytes(big, 300000);
    const std::string got = Slurp(out.File("d/big.bin"));
    ASSERT_EQ(got.size(), want.size());
    const uint64_t off = 3 * 8192 + 5 * 512;
    EXPECT_EQ(got.substr(off, 512), std::string(512, '\0'));
    EXPECT_EQ(got.substr(0, off), want.substr(0, off));
    EXPECT_EQ(got.substr(off + 512, 8192), want.substr(off + 512, 8192));
    // Blocks 12 and on are addressed by the first pointers of the indirect block, whose
    // first sector is unreadable: zeros, never stale data.
    EXPECT_EQ(got.substr(12 * 8192), std::string(300000 - 12 * 8192, '\0'));
    EXPECT_EQ(Slurp(out.File("d/ok.txt")), "fine\n");
}

TEST(Extraction, HostileNamesAndLinksNeverWriteOutsideTheDestination) {
    TempDir top;
    const std::string outside = top.File("outside");
    fs::create_directory(outside);
    const TreeNode tree = Dir("", {
                                      File("a/../../escape", "slash"),
                                      File("../up", "up"),
                                      Symlink("trap", outside),
                                      Dir("trap", {File("through.txt", "must not land outside")}),
                                      Symlink("up-link", "../../.."),
                                      Dir("d", {Dir("../d2", {File("x", "x")})}),
                                  });
    Fixture fx(BuildUfs(tree, Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const std::string dest = top.File("dest");
    const ExtractionSummary s = RecoverAll(fx, dest);
    EXPECT_TRUE(s.error.empty()) << s.error;
    EXPECT_TRUE(fs::is_empty(outside));
    std::vector<std::string> topLevel;
    for (const auto& e : fs::directory_iterator(top.Path()))
        topLevel.push_back(e.path().filename());
    std::sort(topLevel.begin(), topLevel.end());
    EXPECT_EQ(topLevel, (std::vector<std::string>{"dest", "outside"}));
    EXPECT_EQ(Slurp(dest + "/.._up"), "up");
    EXPECT_EQ(Slurp(dest + "/a_.._.._escape"), "slash");
    // The folder comes first in listing order and keeps the name; the link arrives too.
    EXPECT_TRUE(fs::is_symlink(dest + "/trap (1)"));
    EXPECT_EQ(Slurp(dest + "/trap/through.txt"), "must not land outside");
    EXPECT_EQ(Slurp(dest + "/d/.._d2/x"), "x");
    EXPECT_TRUE(fs::is_symlink(dest + "/up-link"));
}

TEST(Extraction, DuplicatePoliciesSkipRenameAndOverwrite) {
    Fixture fx(BuildUfs(Dir("", {File("report.txt", "new"), File("plain", "p")}), Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    std::ofstream(out.File("report.txt")) << "old";
    auto s = RecoverAll(fx, out.Path().string(), DuplicatePolicy::Skip);
    EXPECT_EQ(s.skipped, 1u);
    EXPECT_EQ(s.filesWritten, 1u);
    EXPECT_EQ(Slurp(out.File("report.txt")), "old");
    s = RecoverAll(fx, out.Path().string(), DuplicatePolicy::Rename);
    EXPECT_EQ(s.filesWritten, 2u);
    EXPECT_EQ(Slurp(out.File("report (1).txt")), "new");
    EXPECT_EQ(Slurp(out.File("plain (1)")), "p");
    s = RecoverAll(fx, out.Path().string(), DuplicatePolicy::Rename);
    EXPECT_EQ(Slurp(out.File("report (2).txt")), "new");
    s = RecoverAll(fx, out.Path().string(), DuplicatePolicy::Overwrite);
    EXPECT_EQ(Slurp(out.File("report.txt")), "new");
    size_t count = 0;
    for (const auto& e : fs::directory_iterator(out.Path())) {
        ++count;
        EXPECT_EQ(e.path().filename().string().find(".trevik-partial"), std::string::npos);
    }
    EXPECT_EQ(count, 6u); // two originals, two renamed twice
}

TEST(Extraction, SelectedItemsGoDirectlyIntoTheDestination) {
    Fixture fx(BuildUfs(testing::SampleTree(), Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const RecoveredTree& t = fx.mounted.tree;
    const int64_t home = t.FindFolder(fx.volume.Find("/export/home")->inode);
    uint32_t readme = 0;
    for (uint32_t i = 0; i < t.FileCount(); ++i) {
        if (t.FileName(i) == "README")
            readme = i;
    }
    TempDir out;
    ExtractionControl control;
    const auto s =
        ExtractItems(fx.mounted, fx.reader, {{true, static_cast<uint32_t>(home)}, {false, readme}},
                     false, out.Path().string(), DuplicatePolicy::Skip, control, nullptr);
    ASSERT_TRUE(s.Whole()) << s.error;
    EXPECT_EQ(Slurp(out.File("README")), "Sample volume\n");
    EXPECT_EQ(Slurp(out.File("home/alice/notes.txt")), "hello\n");
    EXPECT_FALSE(fs::exists(out.File("etc")));
}

TEST(Extraction, SkipAndStopRequestsActBetweenBlocksAndLeaveNoPartialFile) {
    Fixture fx(BuildUfs(Dir("", {GeneratedFile("a.bin", 200000, 1),
                                 GeneratedFile("b.bin", 200000, 2), File("c.txt", "c")}),
                        Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    struct Skipper : ExtractionObserver {
        ExtractionControl* c = nullptr;
        int blocks = 0;
        void OnProgress(const ExtractionProgress& p) override {
            if (p.name == "a.bin" && ++blocks == 2) {
                c->skipFileRequested = true;
                c->skipFileRequested = true; // twice before it acts: one file skipped
            }
            if (p.name == "b.bin" && p.bytesDone > 250000)
                c->stopSavingRequested = true;
        }
    } obs;
    ExtractionControl control;
    obs.c = &control;
    TempDir out;
    const auto s = ExtractItems(fx.mounted, fx.reader, {}, true, out.Path().string(),
                                DuplicatePolicy::Skip, control, &obs);
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(s.skipped, 1u);
    EXPECT_EQ(s.filesWritten, 0u);
    EXPECT_TRUE(fs::is_empty(out.Path())); // neither a skipped nor a stopped file remains
}

// A small tmpfs stands in for a full disk (mounting needs root, as in CI).
class SmallFilesystem {
public:
    explicit SmallFilesystem(const std::string& at, const char* options) : at_(at) {
        fs::create_directories(at);
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, options) == 0;
    }
    ~SmallFilesystem() {
        if (mounted_)
            ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }

private:
    std::string at_;
    bool mounted_ = false;
};

size_t Entries(const fs::path& dir) {
    size_t count = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        (void)e;
        ++count;
    }
    return count;
}

// A small file, one too large for the destinations below, and one after them.
TreeNode SmallLargeLater() {
    return Dir("", {File("small.txt", "small"), GeneratedFile("large.bin", 300000, 3),
                    File("later.txt", "later")});
}

TEST(Extraction, AFullDestinationEndsTheRunAndKeepsWhatWasWrittenWhole) {
    Fixture fx(BuildUfs(SmallLargeLater(), Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    SmallFilesystem small(out.File("mnt"), "size=128k");
    if (!small.Mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const ExtractionSummary s = RecoverAll(fx, out.File("mnt"));
    EXPECT_NE(s.error.find("Cannot write /large.bin"), std::string::npos) << s.error;
    EXPECT_NE(s.error.find("No space left"), std::string::npos) << s.error;
    EXPECT_EQ(Slurp(out.File("mnt/small.txt")), "small");
    EXPECT_EQ(Entries(out.Path() / "mnt"), 1u); // no partial file, and the run ended
}

// Deep folders are reopened by name from a kept handle. When one is gone from the
// destination meanwhile, the run ends, and the file that needed it is told as not written:
// never counted as written.
TEST(Extraction, AFolderThatCannotBeReopenedEndsTheRunAndItsFileIsNotCountedWritten) {
    constexpr int kDepth = 70;
    TreeNode deepest = Dir("d" + std::to_string(kDepth), {File("deep.txt", "deep")});
    TreeNode chain = Dir("d" + std::to_string(kDepth - 1), {deepest, File("after.txt", "after")});
    for (int d = kDepth - 2; d >= 1; --d)
        chain = Dir("d" + std::to_string(d), {chain});
    Fixture fx(BuildUfs(Dir("", {chain}), Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    // While deep.txt is copied, the destination's folder at depth 65 moves away.
    std::string moved = out.Path().string();
    for (int d = 1; d <= 65; ++d)
        moved += "/d" + std::to_string(d);
    struct Mover final : ExtractionObserver {
        std::string folder;
        void OnFileStarted(const ExtractionProgress& p) override {
            if (p.name == "deep.txt" && !folder.empty()) {
                EXPECT_EQ(::rename(folder.c_str(), (folder + "-moved").c_str()), 0);
                folder.clear();
            }
        }
    } mover;
    mover.folder = moved;
    ExtractionOptions o;
    o.workers = 1;
    ExtractionControl control;
    const ExtractionSummary s =
        ExtractItems(fx.mounted, fx.reader, {}, true, out.Path().string(), o, control, &mover);
    EXPECT_NE(s.error.find("Cannot reopen folder"), std::string::npos) << s.error;
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(s.filesWritten, 1u); // deep.txt only
    ASSERT_EQ(s.skippedItems.size(), 1u);
    EXPECT_NE(s.skippedItems[0].path.find("/after.txt"), std::string::npos);
    EXPECT_EQ(s.skippedItems[0].reason, "not written: the copy stopped");
    EXPECT_EQ(s.incomplete, std::vector<std::string>{s.skippedItems[0].path});
}

TEST(Extraction, AFileTooLargeForTheDestinationCostsOnlyItself) {
    Fixture fx(BuildUfs(SmallLargeLater(), Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    // A file-size limit: writes past it fail with EFBIG, as on a file system whose files
    // cannot be that large.
    const ExtractionSummary s = [&] {
        const testing::FileSizeLimit limit(100000);
        return RecoverAll(fx, out.Path().string());
    }();
    EXPECT_TRUE(s.error.empty()) << s.error;
    EXPECT_EQ(s.incomplete, std::vector<std::string>{"/large.bin"});
    ASSERT_EQ(s.skippedItems.size(), 1u);
    EXPECT_NE(s.skippedItems[0].reason.find("too large"), std::string::npos);
    EXPECT_EQ(Slurp(out.File("small.txt")), "small");
    EXPECT_EQ(Slurp(out.File("later.txt")), "later");
    EXPECT_EQ(Entries(out.Path()), 2u); // nothing of the large file under any name
}

TEST(Extraction, SafeNamesAndDuplicateNames) {
    EXPECT_EQ(SafeFileName(""), "_");
    EXPECT_EQ(SafeFileName("."), "_.");
    EXPECT_EQ(SafeFileName(".."), "_..");
    EXPECT_EQ(SafeFileName(std::string("a\0b", 3)), "a_b");
    EXPECT_EQ(SafeFileName("x/y"), "x_y");
    EXPECT_EQ(SafeFileName("...hidden"), "...hidden");
    EXPECT_EQ(DuplicateName("report.txt", 1), "report (1).txt");
    EXPECT_EQ(DuplicateName("archive.tar.gz", 2), "archive.tar (2).gz");
    EXPECT_EQ(DuplicateName(".profile", 1), ".profile (1)");
    EXPECT_EQ(DuplicateName("plain", 3), "plain (3)");
    // Within the limit: the stem is cut between characters, extension and suffix kept.
    const std::string longName = std::string(250, 'a') + "\xC3\xA9" + std::string(10, 'b') + ".txt";
    const std::string cut = DuplicateName(longName, 12);
    EXPECT_LE(cut.size(), 255u);
    EXPECT_TRUE(IsValidUtf8(cut));
    EXPECT_EQ(cut.substr(cut.size() - 9), " (12).txt");
    EXPECT_EQ(FitName(std::string(200, 'x') + "\xC3\xA9\xC3\xA9", 201), std::string(200, 'x'));
    EXPECT_EQ(FitName("short.txt", 255), "short.txt");
    EXPECT_EQ(FitName(std::string(300, 'y'), 255), std::string(255, 'y'));
    // An "extension" as long as the name is no extension: the name is cut instead.
    EXPECT_EQ(FitName("a." + std::string(300, 'z'), 255).size(), 255u);
    EXPECT_EQ(OutputName("caf\xE9", false), "caf\xC3\xA9");
    EXPECT_EQ(OutputName("caf\xE9", true), "caf\xE9");
    EXPECT_EQ(OutputName("x/y", false), "x_y");
}

} // namespace
} // namespace trevik

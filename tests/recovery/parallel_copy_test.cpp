// Copying with several workers: the same files, bytes, modes, times and results as one
// worker, progress in order, and a disk that fails a read is read by one worker at a time.

#include "support/engine_support.h"

#include <fstream>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;
using testing::TempDir;
namespace fs = std::filesystem;

constexpr int kTops = 8;
constexpr int kSubs = 4;
constexpr int kFiles = 70;
constexpr uint64_t kItems = uint64_t{kTops} * kSubs * (kFiles + 3) + 1;

// Enough subtrees for every worker, each with same-named entries (renamed on the way
// out), read-only folders, sparse and multi-block files, links and times of their own.
TreeNode ManyFolders() {
    TreeNode root = Dir("");
    for (int t = 0; t < kTops; ++t) {
        TreeNode top = Dir("top" + std::to_string(t));
        for (int s = 0; s < kSubs; ++s) {
            TreeNode sub = Dir("sub" + std::to_string(s));
            for (int f = 0; f < kFiles; ++f) {
                const int n = (t * kSubs + s) * kFiles + f;
                TreeNode file = GeneratedFile("f" + std::to_string(f), 300 + 97u * (n % 40),
                                              static_cast<uint32_t>(n));
                if (n % 7 == 0)
                    file = GeneratedFile("big" + std::to_string(f), 70000, n, {{9000, 50000}});
                file.permissions = n % 3 == 0 ? 0600 : 0644;
                file.mtime = 1000000000 + n;
                sub.children.push_back(std::move(file));
            }
            sub.children.push_back(File("same", "first"));
            sub.children.push_back(File("same", "second"));
            sub.children.push_back(Symlink("link", "../sub0/f1"));
            sub.permissions = s == kSubs - 1 ? 0555 : 0750;
            sub.mtime = 900000000 + t * 10 + s;
            top.children.push_back(std::move(sub));
        }
        top.mtime = 800000000 + t;
        root.children.push_back(std::move(top));
    }
    root.children.push_back(File("loose", "at the root"));
    return root;
}

struct Seen {
    mode_t mode;
    int64_t mtime;
    std::string content; // file bytes or link target
};

std::map<std::string, Seen> Snapshot(const fs::path& dir) {
    std::map<std::string, Seen> out;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
        struct stat st {};
        EXPECT_EQ(::lstat(it->path().c_str(), &st), 0);
        Seen s{st.st_mode, st.st_mtim.tv_sec, ""};
        if (S_ISREG(st.st_mode))
            s.content = testing::Slurp(it->path());
        else if (S_ISLNK(st.st_mode))
            s.content = fs::read_symlink(it->path()).string();
        out[it->path().lexically_relative(dir).string()] = s;
    }
    return out;
}

void ExpectSameSummary(const ExtractionSummary& a, const ExtractionSummary& b) {
    EXPECT_EQ(a.filesWritten, b.filesWritten);
    EXPECT_EQ(a.bytesWritten, b.bytesWritten);
    EXPECT_EQ(a.foldersCreated, b.foldersCreated);
    EXPECT_EQ(a.skipped, b.skipped);
    EXPECT_EQ(a.specialsSkipped, b.specialsSkipped);
    EXPECT_EQ(a.incomplete, b.incomplete);
    EXPECT_EQ(a.damaged, b.damaged);
    ASSERT_EQ(a.renamed.size(), b.renamed.size());
    for (size_t i = 0; i < a.renamed.size(); ++i) {
        EXPECT_EQ(a.renamed[i].from, b.renamed[i].from);
        EXPECT_EQ(a.renamed[i].to, b.renamed[i].to);
    }
    ASSERT_EQ(a.skippedItems.size(), b.skippedItems.size());
    for (size_t i = 0; i < a.skippedItems.size(); ++i) {
        EXPECT_EQ(a.skippedItems[i].path, b.skippedItems[i].path);
        EXPECT_EQ(a.skippedItems[i].reason, b.skippedItems[i].reason);
    }
    EXPECT_EQ(a.stopped, b.stopped);
    EXPECT_EQ(a.error, b.error);
}

// Progress as the observer sees it: one report at a time, never going back.
struct InOrder final : ExtractionObserver {
    std::mutex m;
    bool busy = false;
    bool overlapped = false;
    bool wentBack = false;
    ExtractionProgress last;
    std::set<std::thread::id> threads;
    void Check(const ExtractionProgress& p) {
        std::unique_lock lock(m, std::try_to_lock);
        if (!lock.owns_lock() || busy) {
            overlapped = true;
            return;
        }
        wentBack |= p.filesDone < last.filesDone;
        last = p;
        threads.insert(std::this_thread::get_id());
    }
    void OnFileStarted(const ExtractionProgress& p) override { Check(p); }
    void OnProgress(const ExtractionProgress& p) override { Check(p); }
};

ExtractionSummary Copy(Fixture& fx, const std::string& to, unsigned workers,
                       DuplicatePolicy policy = DuplicatePolicy::Skip,
                       ExtractionObserver* observer = nullptr) {
    ExtractionOptions o;
    o.workers = workers;
    o.duplicates = policy;
    ExtractionControl control;
    return ExtractItems(fx.mounted, fx.reader, {}, true, to, o, control, observer);
}

// The outcomes of the subtrees the workers filled are joined in listing order, each still
// with its own name below the destination and its own record: what one worker keeps.
TEST(ParallelCopy, EachItemKeepsItsOwnNameAndRecordWhenWorkersShareTheTree) {
    Fixture fx(BuildUfs(ManyFolders(), testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    ExtractionSummary s[2];
    for (unsigned k = 0; k < 2; ++k) {
        ExtractionOptions o;
        o.workers = k == 0 ? 1 : 4;
        o.records = true;
        ExtractionControl control;
        s[k] = ExtractItems(fx.mounted, fx.reader, {}, true, out.File(std::to_string(k)), o,
                            control, nullptr);
        ASSERT_TRUE(s[k].Whole()) << s[k].error;
    }
    const CopyOutcome& one = s[0].outcome;
    const CopyOutcome& four = s[1].outcome;
    const RecoveredTree& t = fx.mounted.tree;
    ASSERT_EQ(one.items.size(), kItems + kTops * (kSubs + 1)); // every file and folder
    ASSERT_EQ(one.items.size(), four.items.size());
    EXPECT_EQ(one.records.size(), four.records.size());
    for (size_t i = 0; i < one.items.size(); ++i) {
        const ItemOutcome& a = one.items[i];
        const ItemOutcome& b = four.items[i];
        ASSERT_EQ(a.folder, b.folder) << i;
        ASSERT_EQ(a.index, b.index) << i;
        EXPECT_EQ(one.WrittenAs(a), four.WrittenAs(b)) << i;
        const ItemRecord* ra = one.RecordOf(a);
        const ItemRecord* rb = four.RecordOf(b);
        ASSERT_TRUE(ra != nullptr && rb != nullptr) << i;
        // The record is this item's: its inode, and for a file the digest of its bytes.
        const uint32_t inode = a.folder ? t.Folders()[a.index].inode : t.Files()[a.index].inode;
        EXPECT_EQ(ra->inode, inode) << i;
        EXPECT_EQ(rb->inode, inode) << i;
        EXPECT_EQ(ra->hashed, rb->hashed) << i;
        EXPECT_EQ(ra->sha256, rb->sha256) << i;
        EXPECT_EQ(ra->runs.size(), rb->runs.size()) << i;
    }
    // The files the last worker wrote are found under the names kept for them.
    const ItemOutcome& last = four.items.back();
    ASSERT_FALSE(last.folder);
    EXPECT_TRUE(fs::exists(out.File("1/" + four.WrittenAs(last))));
}

TEST(ParallelCopy, FourWorkersWriteWhatOneWritesAndReportTheSame) {
    Fixture fx(BuildUfs(ManyFolders(), testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    const std::string one = out.File("one");
    const std::string four = out.File("four");
    const ExtractionSummary s1 = Copy(fx, one, 1);
    InOrder progress;
    const ExtractionSummary s4 = Copy(fx, four, 4, DuplicatePolicy::Skip, &progress);
    ASSERT_TRUE(s1.Whole()) << s1.error;
    EXPECT_EQ(s1.filesWritten, kItems);
    EXPECT_EQ(s1.renamed.size(), uint64_t{kTops} * kSubs); // each folder's second "same"
    ExpectSameSummary(s1, s4);
    EXPECT_EQ(s1.foldersCreated, uint64_t{kTops} * (kSubs + 1));
    // Only the items a summary tells of keep an outcome (the renamed ones, and the root's
    // items, which a copy of everything chose); the plain rest are only counted, with one
    // worker or four.
    const uint64_t told = uint64_t{kTops} * kSubs + kTops + 1;
    EXPECT_EQ(s1.outcome.items.size(), told);
    EXPECT_EQ(s4.outcome.items.size(), told);
    EXPECT_EQ(s1.written.size(), uint64_t{kTops} + 1);
    EXPECT_FALSE(progress.overlapped);
    EXPECT_FALSE(progress.wentBack);
    EXPECT_EQ(progress.last.filesDone, progress.last.filesTotal);
    EXPECT_EQ(progress.last.bytesDone, progress.last.bytesTotal);
    EXPECT_GT(progress.threads.size(), 1u); // the subtrees were shared out

    const auto a = Snapshot(one);
    const auto b = Snapshot(four);
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [path, seen] : a) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(b.count(path));
        EXPECT_EQ(seen.mode, b.at(path).mode);
        EXPECT_EQ(seen.mtime, b.at(path).mtime);
        EXPECT_EQ(seen.content, b.at(path).content);
    }
    // And both are the volume's own bytes and times.
    const int n = (3 * kSubs + 1) * kFiles + 9;
    const uint64_t size = 300 + 97u * (n % 40);
    EXPECT_EQ(a.at("top3/sub1/f9").content,
              testing::ExpectedBytes(GeneratedFile("", size, static_cast<uint32_t>(n)), size));
    EXPECT_EQ(a.at("top3/sub1").mtime, 900000000 + 31);
    EXPECT_EQ(a.at("top3/sub3").mtime, 900000000 + 33);
    EXPECT_EQ(a.at("top3/sub3").mode & 07777, 0555u);
    EXPECT_EQ(a.at("top2").mtime, 800000002);

    // Again into the same places, renaming: the same new names, reported in the same order.
    const ExtractionSummary r1 = Copy(fx, one, 1, DuplicatePolicy::Rename);
    const ExtractionSummary r4 = Copy(fx, four, 4, DuplicatePolicy::Rename);
    EXPECT_EQ(r1.renamed.size(), s1.filesWritten); // every name was taken
    ExpectSameSummary(r1, r4);
    EXPECT_EQ(Snapshot(one).size(), Snapshot(four).size());
}

TEST(ParallelCopy, ManySmallFoldersAreSharedOutTogetherInWalkOrder) {
    // A spool of tiny folders, some failing to be made (a name clash with a file of the
    // destination), none worth a thread alone.
    TreeNode root = Dir("");
    for (int f = 0; f < 400; ++f) {
        TreeNode d = Dir("d" + std::to_string(f), {File("a", std::to_string(f)), File("a", "b")});
        if (f % 50 == 0)
            d.children.clear();
        root.children.push_back(std::move(d));
    }
    Fixture fx(BuildUfs(root, testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    for (const char* to : {"one", "four"}) {
        fs::create_directories(out.File(to));
        std::ofstream(out.File(std::string(to) + "/d7")) << "in the way";
    }
    const ExtractionSummary s1 = Copy(fx, out.File("one"), 1, DuplicatePolicy::Rename);
    InOrder progress;
    const ExtractionSummary s4 = Copy(fx, out.File("four"), 4, DuplicatePolicy::Rename, &progress);
    EXPECT_EQ(s1.filesWritten, 392u * 2);
    EXPECT_EQ(s1.renamed.size(), 392u + 1); // each second "a", and d7
    ExpectSameSummary(s1, s4);
    EXPECT_GT(progress.threads.size(), 1u);
    const auto a = Snapshot(out.File("one"));
    const auto b = Snapshot(out.File("four"));
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [path, seen] : a) {
        ASSERT_TRUE(b.count(path)) << path;
        EXPECT_EQ(seen.content, b.at(path).content) << path;
    }
}

TEST(ParallelCopy, ABadSectorLosesTheSameBytesAndIsReadNoMoreOftenThanByOneWorker) {
    Fixture fx(BuildUfs(ManyFolders(), testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    // A data block of one file in the middle of the walk.
    size_t k = fx.volume.nodes.size() / 2;
    while (k < fx.volume.nodes.size() &&
           (fx.volume.nodes[k].kind != NodeKind::File || fx.volume.nodes[k].dataFrags.empty()))
        ++k;
    ASSERT_LT(k, fx.volume.nodes.size());
    const auto& node = fx.volume.nodes[k];
    const uint64_t bad = fx.FragSector(node.dataFrags[0]);
    fx.faulty.AddBadSector(bad);
    TempDir out;
    const ExtractionSummary s1 = Copy(fx, out.File("one"), 1);
    size_t attempts = 0;
    auto countAttempts = [&] {
        size_t n = 0;
        for (const auto& c : fx.faulty.Calls())
            n += c.offset / 512 <= bad && bad < (c.offset + c.length + 511) / 512 ? 1 : 0;
        return n;
    };
    attempts = countAttempts();
    fx.faulty.ClearCalls();
    // The reader remembers the bad sector: a fresh reader for the second run.
    SectorReader again(&fx.faulty, fx.disk.SizeBytes() / 512, 3);
    ExtractionOptions o;
    o.workers = 4;
    ExtractionControl control;
    const ExtractionSummary s4 =
        ExtractItems(fx.mounted, again, {}, true, out.File("four"), o, control, nullptr);
    EXPECT_EQ(s1.incomplete.size(), 1u);
    ExpectSameSummary(s1, s4);
    EXPECT_LE(attempts, 4u);
    EXPECT_LE(countAttempts(), 4u);
    EXPECT_EQ(Snapshot(out.File("one")).size(), Snapshot(out.File("four")).size());
}

TEST(ParallelCopy, AStopLeavesOnlyWholeFilesAndEveryWorkerEnds) {
    Fixture fx(BuildUfs(ManyFolders(), testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    struct StopAfter final : ExtractionObserver {
        ExtractionControl* control = nullptr;
        void OnProgress(const ExtractionProgress& p) override {
            if (p.filesDone >= 200)
                control->stopSavingRequested.store(true);
        }
    } stopper;
    ExtractionControl control;
    stopper.control = &control;
    ExtractionOptions o;
    o.workers = 4;
    TempDir out;
    const ExtractionSummary s =
        ExtractItems(fx.mounted, fx.reader, {}, true, out.File("to"), o, control, &stopper);
    EXPECT_TRUE(s.stopped);
    EXPECT_GE(s.filesWritten, 200u);
    EXPECT_LT(s.filesWritten, kItems);
    size_t files = 0;
    for (const auto& [path, seen] : Snapshot(out.File("to"))) {
        EXPECT_EQ(path.find(std::string(kPartialPrefix)), std::string::npos) << path;
        files += S_ISREG(seen.mode) || S_ISLNK(seen.mode) ? 1 : 0;
    }
    EXPECT_EQ(files, s.filesWritten);
}

// The Saving dialog shows the largest file being read now, and Skip File skips that one:
// never a small file another worker happened to start, and never lost to another worker's
// next file.
TEST(ParallelCopy, SkipFileSkipsTheFileShownWhileOthersAreCopied) {
    TreeNode tree = ManyFolders();
    tree.children.push_back(GeneratedFile("huge.bin", 6u << 20, 77));
    Fixture fx(BuildUfs(tree, [] {
        UfsParams p = testing::VolumeParams();
        p.sizeSectors = 80000;
        return p;
    }()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    struct SkipHuge final : ExtractionObserver {
        ExtractionControl* control = nullptr;
        std::mutex m;
        bool pressed = false;
        void OnProgress(const ExtractionProgress& p) override {
            std::lock_guard lock(m);
            if (!pressed && p.name == "huge.bin" && p.bytesDone > 0) {
                pressed = true;
                control->skipFileRequested.store(true);
            }
        }
    } skipper;
    ExtractionControl control;
    skipper.control = &control;
    ExtractionOptions o;
    o.workers = 4;
    TempDir out;
    const ExtractionSummary s =
        ExtractItems(fx.mounted, fx.reader, {}, true, out.File("to"), o, control, &skipper);
    ASSERT_TRUE(skipper.pressed);
    EXPECT_FALSE(s.stopped);
    // Exactly the file shown was skipped; every other file came out whole.
    ASSERT_EQ(s.skippedItems.size(), 1u);
    EXPECT_EQ(s.skippedItems[0].path, "/huge.bin");
    ExtractionControl plain;
    TempDir all;
    const ExtractionSummary whole =
        ExtractItems(fx.mounted, fx.reader, {}, true, all.File("to"), o, plain, nullptr);
    EXPECT_EQ(s.filesWritten, whole.filesWritten - 1);
    EXPECT_TRUE(whole.skippedItems.empty());
}

} // namespace
} // namespace trevik

// The UFS log of a crashed Solaris volume, replayed in memory: what the mount lists and a
// copy writes equals the same volume with its log rolled, whatever the log holds (creates,
// renames, deletes, cancellations, an open transaction, a wrap, a split header, an ident
// break); a damaged log costs nothing but its own changes, and says so.

#include "format/big_endian.h"
#include "format/ufs_format.h"
#include "log_builder.h"
#include "support/engine_support.h"

#include <filesystem>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using namespace imagebuilder;
using testing::Fixture;
using testing::ListAll;
using testing::TempDir;

UfsParams Params() {
    UfsParams p = testing::VolumeParams();
    p.sizeSectors = 20000;
    return p;
}

TreeNode Before() {
    return Dir("", {File("a.txt", "alpha\n"), Dir("docs", {File("b.txt", "bravo\n")}),
                    Dir("logs", {File("old.log", "old\n"), File("gone.txt", "to be deleted\n")})});
}

// The crash of a volume changed from `before` to `after`: the image with its log (whose
// transactions `extra` follow those of the change) and the same volume rolled.
struct Crash {
    UfsVolume after;
    CrashImages images;
    std::vector<LogDelta> change;
    std::vector<uint8_t> logged;
    std::vector<uint8_t> rolled;
    LogLayout layout;

    Crash(const TreeNode& before, const TreeNode& afterTree, LogSpec spec = {},
          bool changeCommitted = true)
        : after(BuildUfs(afterTree, Params())),
          images(MakeCrash(BuildUfs(before, Params()), after)),
          change(DeltasBetween(images.stale, images.rolled, images.layout)) {
        LogTransaction t{change, changeCommitted};
        spec.transactions.insert(spec.transactions.begin(), std::move(t));
        logged = images.stale;
        layout = WriteLog(logged, images, spec);
        rolled = images.rolled;
        LogSpec clean;
        clean.logSectors = spec.logSectors;
        clean.twoExtents = spec.twoExtents;
        clean.crashed = false;
        WriteLog(rolled, images, clean);
    }
    UfsVolume With(const std::vector<uint8_t>& bytes) const {
        UfsVolume v = after;
        v.bytes = bytes;
        return v;
    }
};

// Every file below `dir` with its bytes.
std::map<std::string, std::string> Files(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file())
            out[fs::relative(e.path(), dir).string()] = testing::Slurp(e.path().string());
    }
    return out;
}

// Mounts an image and copies everything out; the listing, the files and the mount.
struct Seen {
    std::map<std::string, testing::Listed> listed;
    std::map<std::string, std::string> files;
    MountedVolume volume;
};
Seen MountAndCopy(UfsVolume vol, RecoveryMode mode = RecoveryMode::Normal, bool applyLog = true,
                  std::vector<uint64_t> badSectors = {}) {
    Fixture fx(std::move(vol));
    for (const uint64_t s : badSectors)
        fx.faulty.AddBadSector(fx.FragSector(0) + s);
    std::atomic<bool> stop{false};
    auto mounted = MountVolume(fx.reader, fx.entry, mode, stop, nullptr, applyLog);
    EXPECT_TRUE(mounted.ok()) << mounted.error();
    Seen s;
    if (!mounted)
        return s;
    s.volume = mounted.Take();
    s.listed = ListAll(s.volume.tree);
    TempDir out;
    ExtractionControl control;
    const ExtractionSummary copy = ExtractItems(s.volume, fx.reader, {}, true, out.File("o"),
                                                DuplicatePolicy::Skip, control, nullptr);
    EXPECT_TRUE(copy.error.empty()) << copy.error;
    s.files = Files(out.File("o"));
    return s;
}

TEST(LogReplay, ACreatedFileExistsOnlyInTheLogAndReplayShowsItAsRollingWould) {
    TreeNode after = Before();
    after.children[2].children.push_back(GeneratedFile("new.bin", 30000, 9));
    Crash c(Before(), after);
    ASSERT_FALSE(c.change.empty());
    const Seen rolled = MountAndCopy(c.With(c.rolled));
    EXPECT_EQ(rolled.volume.log.status, LogStatus::Rolled);
    EXPECT_TRUE(rolled.volume.warnings.empty());
    ASSERT_EQ(rolled.listed.count("/logs/new.bin"), 1u);

    const Seen replayed = MountAndCopy(c.With(c.logged));
    EXPECT_EQ(replayed.volume.log.status, LogStatus::Replayed);
    EXPECT_EQ(replayed.volume.log.transactions, 1u);
    EXPECT_EQ(replayed.volume.log.deltas, c.change.size());
    EXPECT_TRUE(replayed.volume.warnings.empty());
    EXPECT_EQ(replayed.listed, rolled.listed);
    EXPECT_EQ(replayed.files, rolled.files);
    EXPECT_EQ(replayed.files.at("logs/new.bin"),
              testing::ExpectedBytes(after.children[2].children[2], 30000));

    // Without the log the volume is what the disk holds: the file is not there, and says so.
    const Seen ignored = MountAndCopy(c.With(c.logged), RecoveryMode::Normal, false);
    EXPECT_EQ(ignored.volume.log.status, LogStatus::Ignored);
    EXPECT_EQ(ignored.listed.count("/logs/new.bin"), 0u);
    EXPECT_EQ(ignored.listed.count("/logs/old.log"), 1u);
}

TEST(LogReplay, ARenameAndADeleteShowTheirNewState) {
    TreeNode after = Before();
    after.children[2].children[0].name = "renamed.log";
    after.children[2].children.pop_back(); // gone.txt deleted
    Crash c(Before(), after);
    const Seen replayed = MountAndCopy(c.With(c.logged));
    EXPECT_EQ(replayed.listed, MountAndCopy(c.With(c.rolled)).listed);
    EXPECT_EQ(replayed.listed.count("/logs/renamed.log"), 1u);
    EXPECT_EQ(replayed.listed.count("/logs/old.log"), 0u);
    EXPECT_EQ(replayed.listed.count("/logs/gone.txt"), 0u);
    EXPECT_EQ(replayed.files.at("logs/renamed.log"), "old\n");
    const Seen stale = MountAndCopy(c.With(c.logged), RecoveryMode::Normal, false);
    EXPECT_EQ(stale.listed.count("/logs/gone.txt"), 1u);
}

// Garbage a later transaction writes over the docs folder's chunk (which the change leaves
// alone), for the tests of what must not be applied.
LogTransaction Garbage(const Crash& c) {
    const BuiltNode* docs = c.after.Find("/docs");
    LogDelta d;
    d.mof = uint64_t{docs->dataFrags[0]} * c.after.layout.fsize;
    d.type = delta::kDirectory;
    d.payload.assign(512, 0xEE);
    return {{d}, true};
}

// The change, committed garbage over the docs folder, then a cancellation of it in a
// transaction `cancelCommitted` or left open by the crash.
Seen GarbageThenCancel(const TreeNode& after, bool cancelCommitted) {
    const Crash probe(Before(), after);
    const LogTransaction garbage = Garbage(probe);
    LogDelta cancel;
    cancel.mof = garbage.deltas[0].mof;
    cancel.length = 512;
    cancel.type = delta::kCancel;
    LogSpec spec;
    spec.transactions = {garbage, {{cancel}, cancelCommitted}};
    const Crash c(Before(), after, spec);
    Seen s = MountAndCopy(c.With(c.logged));
    if (cancelCommitted) {
        EXPECT_EQ(s.listed, MountAndCopy(c.With(c.rolled)).listed);
    }
    return s;
}

TEST(LogReplay, ACancelVoidsEarlierDeltasAndAnOpenTransactionIsDropped) {
    TreeNode after = Before();
    after.children[2].children.push_back(File("new.txt", "new\n"));
    // A committed cancel over the garbage: as if it had never been written.
    const Seen cancelled = GarbageThenCancel(after, true);
    EXPECT_EQ(cancelled.volume.log.transactions, 3u);
    EXPECT_EQ(cancelled.files.count("logs/new.txt"), 1u);
    EXPECT_EQ(cancelled.files.count("docs/b.txt"), 1u);
    // The cancel in a transaction the crash left open does not count: the garbage stays.
    const Seen open = GarbageThenCancel(after, false);
    EXPECT_EQ(open.volume.log.transactions, 2u);
    EXPECT_EQ(open.listed.count("/logs/new.txt"), 1u);
    EXPECT_EQ(open.listed.count("/docs/b.txt"), 0u) << "the garbage chunk stays applied";
    // An open transaction alone: nothing of it.
    const Crash probe(Before(), after);
    LogTransaction garbage = Garbage(probe);
    garbage.committed = false;
    LogSpec spec;
    spec.transactions = {garbage};
    const Crash c(Before(), after, spec);
    const Seen s = MountAndCopy(c.With(c.logged));
    EXPECT_EQ(s.volume.log.transactions, 1u);
    const Seen rolled = MountAndCopy(c.With(c.rolled));
    EXPECT_EQ(s.listed, rolled.listed);
    EXPECT_EQ(s.files, rolled.files);
}

TEST(LogReplay, ALogThatWrapsAndSplitsHeadersAtTrailersReadsWhole) {
    TreeNode after = Before();
    after.children[2].children.push_back(GeneratedFile("new.bin", 9000, 4));
    const Crash probe(Before(), after);
    // A transaction that changes nothing, sized so that its second header starts 8 bytes
    // before a sector's trailer.
    LogTransaction same;
    const BuiltNode* docs = probe.after.Find("/docs");
    for (const uint64_t at : {uint64_t{docs->dataFrags[0]} * probe.after.layout.fsize,
                              probe.after.layout.InodeByteOffset(docs->inode)}) {
        LogDelta d;
        d.mof = at;
        d.type = delta::kDirectory;
        d.payload.assign(probe.rolled.begin() + static_cast<std::ptrdiff_t>(at),
                         probe.rolled.begin() + static_cast<std::ptrdiff_t>(at + 480));
        same.deltas.push_back(d);
    }
    LogSpec spec;
    spec.logSectors = 64;
    spec.headOffset = 62; // two sectors before the circle ends
    spec.twoExtents = true;
    spec.transactions = {same};
    const Crash c(Before(), after, spec);
    EXPECT_TRUE(c.layout.wrapped);
    EXPECT_GT(c.layout.splitHeaders, 0u);
    const Seen s = MountAndCopy(c.With(c.logged));
    EXPECT_EQ(s.volume.log.status, LogStatus::Replayed);
    EXPECT_EQ(s.listed, MountAndCopy(c.With(c.rolled)).listed);
    EXPECT_EQ(s.files.at("logs/new.bin"),
              testing::ExpectedBytes(after.children[2].children[2], 9000));
}

TEST(LogReplay, AnIdentOutOfTurnEndsTheLogThere) {
    TreeNode after = Before();
    after.children[2].children.push_back(File("new.txt", "new\n"));
    LogSpec probeSpec;
    const Crash probe(Before(), after, probeSpec);
    LogSpec spec;
    spec.transactions = {Garbage(probe)};
    spec.breakIdentAt = probe.layout.sectorsWritten; // the garbage's first sector
    const Crash c(Before(), after, spec);
    const Seen s = MountAndCopy(c.With(c.logged));
    EXPECT_EQ(s.volume.log.status, LogStatus::Replayed);
    EXPECT_EQ(s.volume.log.transactions, 1u);
    EXPECT_TRUE(s.volume.warnings.empty()); // the end of a log, not damage
    EXPECT_EQ(s.files.at("logs/new.txt"), "new\n");
}

TEST(LogReplay, ADamagedLogGivesAWarningAndTheVolumeAsItStands) {
    TreeNode after = Before();
    after.children[2].children.push_back(File("new.txt", "new\n"));
    for (const bool checksum : {true, false}) {
        SCOPED_TRACE(checksum ? "extent checksum" : "badlog");
        LogSpec spec;
        spec.corruptExtentChecksum = checksum;
        spec.badlog = !checksum;
        const Crash c(Before(), after, spec);
        const Seen s = MountAndCopy(c.With(c.logged));
        EXPECT_EQ(s.volume.log.status, LogStatus::Damaged);
        EXPECT_EQ(s.volume.log.transactions, 0u);
        ASSERT_EQ(testing::CountKind(s.volume.warnings, WarningKind::LogDamaged), 1u);
        EXPECT_FALSE(s.volume.warnings[0].reason.empty());
        const Seen ignored = MountAndCopy(c.With(c.logged), RecoveryMode::Normal, false);
        EXPECT_EQ(s.listed, ignored.listed);
        EXPECT_EQ(s.listed.count("/logs/old.log"), 1u);
        // Told to leave the log alone, its damage is nothing to warn about.
        EXPECT_EQ(ignored.volume.log.status, LogStatus::Ignored);
        EXPECT_TRUE(ignored.volume.warnings.empty());
    }
}

TEST(LogReplay, AnUnreadableLogSectorKeepsTheTransactionsBeforeIt) {
    TreeNode after = Before();
    after.children[2].children.push_back(File("new.txt", "new\n"));
    const Crash probe(Before(), after);
    LogSpec spec;
    spec.transactions = {Garbage(probe)};
    const Crash c(Before(), after, spec);
    // The garbage's first log sector fails every read.
    const uint32_t bad = c.layout.writtenSectors.at(probe.layout.sectorsWritten);
    const Seen s = MountAndCopy(c.With(c.logged), RecoveryMode::Normal, true, {bad});
    EXPECT_EQ(s.volume.log.status, LogStatus::Damaged);
    EXPECT_EQ(s.volume.log.transactions, 1u);
    ASSERT_EQ(testing::CountKind(s.volume.warnings, WarningKind::LogDamaged), 1u);
    EXPECT_EQ(s.volume.warnings[0].sector, Fixture::kStart + bad);
    EXPECT_EQ(s.files.at("logs/new.txt"), "new\n");
}

TEST(LogReplay, ExtensiveLeavesTheLogsBlocksOutAndListsOpenUnlinkedFiles) {
    TreeNode before = Before();
    before.children.push_back(File("open.tmp", "still open\n"));
    TreeNode after = before;
    after.children[2].children.push_back(File("new.txt", "new\n"));
    Crash c(before, after);
    // In both images: the docs folder's inode is lost (its blocks are searched for), and
    // open.tmp is unlinked but in use, as a running program holds it.
    const UfsLayout& L = c.after.layout;
    const BuiltNode* docs = c.after.Find("/docs");
    const BuiltNode* open = c.after.Find("/open.tmp");
    for (std::vector<uint8_t>* image : {&c.logged, &c.rolled}) {
        std::fill_n(image->begin() + static_cast<std::ptrdiff_t>(L.InodeByteOffset(docs->inode)),
                    ufs::kInodeSize, 0);
        WriteBe16(std::span<uint8_t>(*image).subspan(L.InodeByteOffset(open->inode)),
                  ufs::inode_field::kNlink, 0);
        UfsVolume v = c.With(*image);
        ASSERT_TRUE(v.RemoveDirEntry("/", "open.tmp"));
        *image = v.bytes;
    }
    // The log's own blocks hold copies of folder chunks: they must not come back as folders.
    const Seen rolled = MountAndCopy(c.With(c.rolled), RecoveryMode::Extensive);
    const Seen replayed = MountAndCopy(c.With(c.logged), RecoveryMode::Extensive);
    EXPECT_EQ(replayed.listed, rolled.listed);
    EXPECT_EQ(replayed.listed.count("/LostDir/File" + std::to_string(open->inode) + ".gz") +
                  replayed.listed.count("/LostDir/File" + std::to_string(open->inode)),
              1u);
    for (const auto& [path, e] : replayed.listed)
        EXPECT_EQ(path.find("DirBlock"), std::string::npos) << path;
}

} // namespace
} // namespace trevik

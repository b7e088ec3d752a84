// The parts a directory walk is made of: blocks read ahead, and entries waiting for their
// inodes. A fault in either loses or misplaces entries without a warning.

#include "support/engine_support.h"
#include "ufs/directory_read_ahead.h"
#include "ufs/entry_batch.h"

namespace trevik {
namespace {

using namespace imagebuilder;

// A disk whose sector s holds the byte s % 251 throughout.
std::vector<uint8_t> PatternedDisk(uint64_t sectors) {
    std::vector<uint8_t> bytes(sectors * 512);
    for (uint64_t s = 0; s < sectors; ++s)
        std::fill_n(bytes.begin() + static_cast<ptrdiff_t>(s * 512), 512,
                    static_cast<uint8_t>(s % 251));
    return bytes;
}

bool HoldsSectors(std::span<const uint8_t> bytes, uint64_t first) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != static_cast<uint8_t>((first + i / 512) % 251))
            return false;
    }
    return true;
}

TEST(DirectoryReadAhead, WantsAreReadOnceInMergedRunsAndHandedOutWithTheirDamage) {
    MemoryBlockDevice disk(PatternedDisk(4096));
    FaultyDevice faulty(disk);
    faulty.AddBadSector(2005);
    SectorReader reader(&faulty, 4096, 1);
    DirectoryReadAhead ahead;
    // Asked for out of order, overlapping, one inside another, and over more than a run.
    ahead.Want(400, 16);
    ahead.Want(108, 16);
    ahead.Want(100, 16);
    ahead.Want(112, 4);
    ahead.Want(124, 4);
    for (uint64_t s = 1000; s < 1600; s += 16)
        ahead.Want(s, 16);
    ahead.Want(2000, 16);
    EXPECT_EQ(ahead.WantedBytes(), size_t{680} * 512); // as asked, before any merging
    ahead.Read(reader);

    // Each sector asked for once, apart from the failing run's retries; no read is longer
    // than a run.
    std::map<uint64_t, int> reads;
    for (const auto& c : faulty.Calls()) {
        EXPECT_LE(c.length, size_t{256} * 512);
        for (uint64_t s = c.offset / 512; s < (c.offset + c.length) / 512; ++s)
            ++reads[s];
    }
    for (const auto& [sector, count] : reads) {
        if (sector < 2000) {
            EXPECT_EQ(count, 1) << "sector " << sector;
        }
    }
    EXPECT_EQ(reads.count(99), 0u);
    EXPECT_EQ(reads.count(128), 0u);

    std::vector<uint8_t> out(16 * 512);
    ReadOutcome outcome;
    ASSERT_TRUE(ahead.Take(reader, 108, out, outcome));
    EXPECT_TRUE(outcome.Whole());
    EXPECT_TRUE(HoldsSectors(out, 108));
    ASSERT_TRUE(ahead.Take(reader, 1264, out, outcome)); // inside the second of the long runs
    EXPECT_TRUE(HoldsSectors(out, 1264));
    ASSERT_TRUE(ahead.Take(reader, 2000, out, outcome));
    EXPECT_EQ(outcome.unreadable, 1u); // the bad sector, and only it
    EXPECT_TRUE(HoldsSectors(std::span<const uint8_t>(out).first(5 * 512), 2000));
    EXPECT_TRUE(HoldsSectors(std::span<const uint8_t>(out).subspan(6 * 512), 2006));
    // Not read ahead: the walk reads these itself.
    EXPECT_FALSE(ahead.Take(reader, 116, out, outcome)); // runs past what was asked for
    EXPECT_FALSE(ahead.Take(reader, 50, out, outcome));
    ahead.Clear();
    EXPECT_FALSE(ahead.Take(reader, 108, out, outcome));
}

// Records what a flush hands back.
struct Recorder final : EntryBatch::Sink {
    EntryBatch* batch = nullptr;
    std::vector<std::string> events;
    std::map<std::string, InodeRead> reads;
    bool openWhileHanded = false;
    void OnEntry(std::string_view name, uint32_t, uint32_t dir, const InodeRead& r) override {
        events.push_back(std::string(name) + "@" + std::to_string(dir));
        reads[std::string(name)] = r;
        openWhileHanded |= batch->IsOpen();
    }
    void OnWarning(Warning w) override {
        events.push_back("warning " + std::to_string(w.folderInode));
    }
};

TEST(EntryBatch, AFlushGivesEveryEntryItsOwnInodeInTheOrderMetWithTheWarningsBetween) {
    TreeNode root = Dir("");
    for (int i = 0; i < 30; ++i)
        root.children.push_back(File("f" + std::to_string(i), std::string(i + 1, 'x')));
    testing::Fixture fx(BuildUfs(root, testing::VolumeParams()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    InodeAccess access(fx.reader, fx.mounted.geometry, fx.mounted.groupTable);

    EntryBatch batch;
    batch.Open();
    // Met last-made first, one inode named twice, a warning in the middle.
    std::vector<std::string> expected;
    for (int i = 29; i >= 0; --i) {
        const std::string name = "f" + std::to_string(i);
        batch.AddEntry(name, fx.volume.Find("/" + name)->inode, kRootInode);
        expected.push_back(name + "@2");
        if (i == 15) {
            Warning w;
            w.folderInode = 77;
            batch.AddWarning(w);
            expected.push_back("warning 77");
        }
    }
    batch.AddEntry("again", fx.volume.Find("/f3")->inode, 9);
    expected.push_back("again@9");
    Recorder sink;
    sink.batch = &batch;
    batch.Flush(access, sink);
    EXPECT_EQ(sink.events, expected);
    for (int i = 0; i < 30; ++i) {
        const std::string name = "f" + std::to_string(i);
        ASSERT_TRUE(sink.reads[name].Ok()) << name;
        EXPECT_EQ(sink.reads[name].inode.size, uint64_t(i + 1)) << name;
    }
    EXPECT_EQ(sink.reads["again"].inode.size, 4u);
    EXPECT_FALSE(sink.openWhileHanded); // what the sink meets is not queued behind itself
    EXPECT_TRUE(batch.IsOpen());

    // Empty afterwards: a second flush hands nothing back again.
    Recorder second;
    second.batch = &batch;
    batch.Flush(access, second);
    EXPECT_TRUE(second.events.empty());
}

} // namespace
} // namespace trevik

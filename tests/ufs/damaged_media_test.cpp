// Damaged media through the sector reader's injection interface, and volumes whose
// geometry fields are hostile: readable bytes come back exact, the rest is reported, and
// nothing hangs or runs out of memory.

#include "format/big_endian.h"
#include "support/engine_support.h"
#include "volume/disk_label.h"

#include <set>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;
using testing::Slurp;
using testing::TempDir;

UfsParams Params() {
    return testing::VolumeParams();
}

TreeNode Tree() {
    return Dir("", {Dir("a", {GeneratedFile("big.bin", 300000, 4), File("small.txt", "small\n")}),
                    Dir("b", {File("other.txt", "other\n")})});
}

size_t FailedCalls(const FaultyDevice& dev) {
    size_t n = 0;
    for (const auto& c : dev.Calls())
        n += c.ok ? 0 : 1;
    return n;
}

TEST(DamagedMedia, AnUnreadableLabelIsNoLabelAfterItsRetries) {
    LabelSpec spec;
    spec.cylinders = 10;
    spec.slices = {{0, 2, 0, 0, 1024}};
    DiskImage disk(10 * 1024);
    disk.PutLabel(spec);
    MemoryBlockDevice mem(std::move(disk.bytes));
    FaultyDevice dev(mem);
    dev.AddBadSector(0);
    SectorReader reader(&dev, mem.SizeBytes() / 512, 4);
    VolumeTable table;
    EXPECT_EQ(ReadDiskLabel(reader, table), 0u);
    // One request for the run, then four attempts on its only sector; then the places of
    // an EFI label (sector 1 and the last), once each.
    size_t onLabel = 0;
    for (const auto& c : dev.Calls())
        onLabel += c.offset == 0 ? 1 : 0;
    EXPECT_EQ(onLabel, 5u);
    EXPECT_EQ(FailedCalls(dev), 5u);
    EXPECT_EQ(dev.Calls().size(), 7u);
}

TEST(DamagedMedia, AnUnreadablePrimarySuperblockMountsFromACopy) {
    Fixture fx(BuildUfs(Tree(), Params()));
    fx.faulty.AddBadRange(Fixture::kStart + 16, 3);
    const testing::MountOutcome r = fx.Mount(RecoveryMode::Normal);
    ASSERT_TRUE(r.ok) << r.message;
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0].kind, WarningKind::CorrectedSuperblock);
    EXPECT_EQ(r.warnings[0].reason, "unreadable sectors");
    EXPECT_EQ(testing::ListAll(fx.mounted.tree).size(), testing::Expected(fx.volume).size());
}

TEST(DamagedMedia, UnreadableInodeTableAndDirectorySectorsCostOnlyWhatTheyHeld) {
    Fixture fx(BuildUfs(Tree(), Params()));
    const BuiltNode* b = fx.volume.Find("/b");
    // b's directory block, and the inode-table sector of a's files.
    const uint32_t small = fx.volume.Find("/a/small.txt")->inode;
    const std::set<uint64_t> bad = {fx.FragSector(b->dataFrags[0]),
                                    Fixture::kStart +
                                        fx.volume.layout.InodeByteOffset(small) / 512};
    for (uint64_t s : bad)
        fx.faulty.AddBadSector(s);
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    EXPECT_TRUE(listed.count("/b"));
    EXPECT_FALSE(listed.count("/b/other.txt"));
    EXPECT_FALSE(listed.count("/a/small.txt"));
    // Single-sector retries were spent on the bad sectors only, and each bad sector cost
    // at most retries + 1 attempts over the whole mount.
    size_t retries = 0;
    std::map<uint64_t, size_t> attempts;
    for (const auto& c : fx.faulty.Calls()) {
        if (!c.ok && c.length == 512) {
            EXPECT_TRUE(bad.count(c.offset / 512)) << c.offset / 512;
            ++retries;
        }
        for (uint64_t s : bad)
            attempts[s] += c.offset / 512 <= s && s < (c.offset + c.length) / 512 ? 1 : 0;
    }
    for (const auto& [s, n] : attempts)
        EXPECT_LE(n, 4u) << "sector " << s;
    // Neither loss is silent.
    const auto& w = fx.mounted.warnings;
    ASSERT_EQ(testing::CountKind(w, WarningKind::UnreadableDirectory), 1u);
    ASSERT_EQ(testing::CountKind(w, WarningKind::UnreadableInodes), 1u);
    for (const Warning& one : w) {
        if (one.kind == WarningKind::UnreadableDirectory) {
            EXPECT_EQ(one.path, "/b");
        } else {
            EXPECT_LE(one.firstInode, small);
            EXPECT_GE(one.lastInode, small);
            // The names that pointed into the sector: /a itself when its inode is there
            // too (then nothing below it could be named), else its file.
            const uint32_t a = fx.volume.Find("/a")->inode;
            const std::string named =
                a >= one.firstInode && a <= one.lastInode ? "/a" : "/a/small.txt";
            EXPECT_NE(std::find(one.names.begin(), one.names.end(), named), one.names.end())
                << ::testing::PrintToString(one.names);
        }
    }
    EXPECT_GT(retries, 0u);
}

TEST(DamagedMedia, AHugeGroupCountIsRefusedForAnIntactCopy) {
    UfsVolume vol = BuildUfs(Tree(), Params());
    const uint32_t groups = vol.layout.ncg;
    for (uint64_t at : {uint64_t{8192}, vol.layout.CgSuperblockFrag(0) * 1024}) {
        WriteBe32(std::span<uint8_t>(vol.bytes).subspan(at), 44, 1000000); // fs_ncg
    }
    Fixture fx(std::move(vol));
    const testing::MountOutcome r = fx.Mount(RecoveryMode::Extensive);
    ASSERT_TRUE(r.ok) << r.message;
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0].kind, WarningKind::CorrectedSuperblock);
    EXPECT_NE(r.warnings[0].reason.find("does not fit 1000000 groups"), std::string::npos);
    EXPECT_EQ(fx.mounted.superblockUsed, fx.FragSector(fx.volume.layout.CgSuperblockFrag(1)));
    EXPECT_EQ(fx.mounted.groupTable.size(), groups);
    EXPECT_EQ(testing::ListAll(fx.mounted.tree).size(), testing::Expected(fx.volume).size() + 1);
}

TEST(DamagedMedia, HostileBlockPointersAreLostNotFollowed) {
    UfsVolume vol = BuildUfs(Tree(), Params());
    const BuiltNode* big = vol.Find("/a/big.bin");
    const uint64_t inodeAt = vol.layout.InodeByteOffset(big->inode);
    const uint32_t indirect = big->indirectFrags[0];
    // Direct pointer 1 past the end of the disk; the indirect block's first entry points
    // at the indirect block itself; the double indirect pointer at the single one.
    WriteBe32(vol.bytes, inodeAt + 40 + 4, 0xFFFFFF00);
    WriteBe32(vol.bytes, uint64_t{indirect} * 1024, indirect);
    WriteBe32(vol.bytes, inodeAt + 92, indirect);
    // And a size near the largest a file may have: whatever the pointers say, the copy
    // writes no more blocks than the volume holds.
    WriteBe64(vol.bytes, inodeAt + 8, ufs::kMaxFileSize);
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    TempDir out;
    ExtractionControl control;
    const auto s = ExtractItems(fx.mounted, fx.reader, {}, true, out.Path().string(),
                                DuplicatePolicy::Skip, control, nullptr);
    EXPECT_TRUE(s.error.empty()) << s.error;
    EXPECT_EQ(s.incomplete, std::vector<std::string>{"/a/big.bin"});
    EXPECT_EQ(Slurp(out.File("a/small.txt")), "small\n"); // the run went on
    EXPECT_EQ(Slurp(out.File("b/other.txt")), "other\n");
}

TEST(DamagedMedia, DirectoriesThatLoopOrLieAboutTheirSizeEnd) {
    UfsVolume vol = BuildUfs(Tree(), Params());
    const BuiltNode* a = vol.Find("/a");
    const BuiltNode* b = vol.Find("/b");
    const uint64_t aInode = vol.layout.InodeByteOffset(a->inode);
    // a claims far more than the disk as its size, its indirect pointer names its own data
    // block.
    WriteBe64(vol.bytes, aInode + 8, (uint64_t{1} << 40) - 512);
    WriteBe32(vol.bytes, aInode + 88, a->dataFrags[0]);
    // b lists a and itself again; b's second chunk holds a record length of 0.
    const uint64_t bBlock = uint64_t{b->dataFrags[0]} * 1024;
    WriteBe32(vol.bytes, bBlock + 24, a->inode);
    WriteBe16(vol.bytes, bBlock + 512 + 4, 0);
    Fixture fx(std::move(vol));
    for (RecoveryMode mode : {RecoveryMode::Normal, RecoveryMode::Extensive}) {
        ASSERT_TRUE(fx.Mount(mode).ok);
        const auto listed = testing::ListAll(fx.mounted.tree);
        EXPECT_TRUE(listed.count("/a/small.txt"));
        // A folder inode appears once however many entries name it.
        std::set<uint32_t> inodes;
        for (const auto& f : fx.mounted.tree.Folders())
            EXPECT_TRUE(inodes.insert(f.inode).second);
    }
}

// Raises the stop flag at the first read that fails, as a user pressing Stop while a
// failing disk is retried.
class StopAtFirstFailure final : public BlockDevice {
public:
    StopAtFirstFailure(BlockDevice& inner, std::atomic<bool>& stop) : inner_(inner), stop_(stop) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
        const bool ok = inner_.ReadAt(offset, out);
        ++calls;
        if (stop_.load())
            ++callsAfterStop;
        if (!ok && !stop_.load())
            stop_.store(true);
        return ok;
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    const std::string& Path() const override { return inner_.Path(); }
    uint64_t calls = 0, callsAfterStop = 0;

private:
    BlockDevice& inner_;
    std::atomic<bool>& stop_;
};

TEST(DamagedMedia, StopTakesEffectBetweenAttemptsAndTheListingSaysItIsIncomplete) {
    testing::Fixture fx(BuildUfs(Tree(), Params()));
    // Group 1's whole inode table fails: 10 attempts on each of its sectors without a stop.
    const uint64_t table = fx.FragSector(fx.volume.layout.InodeTableFrag(1));
    const uint64_t sectors = uint64_t{fx.volume.layout.ipg} * 128 / 512;
    fx.faulty.AddBadRange(table, sectors);
    std::atomic<bool> stop{false};
    StopAtFirstFailure dev(fx.faulty, stop);
    SectorReader reader(&dev, fx.disk.SizeBytes() / 512, 10);
    auto mounted = MountVolume(reader, fx.entry, RecoveryMode::Normal, stop, nullptr);
    ASSERT_TRUE(mounted) << mounted.error();
    // The read in flight ends; nothing more is asked of the failing sectors.
    EXPECT_LE(dev.callsAfterStop, 1u);
    EXPECT_LT(dev.calls, sectors);
    EXPECT_TRUE(mounted->stopped);
    EXPECT_EQ(testing::CountKind(mounted->warnings, WarningKind::Stopped), 1u);
    // Sectors never tried are not called bad, nor warned about as unreadable.
    EXPECT_EQ(reader.BadSectors().SectorCount(), 0u);
    EXPECT_EQ(testing::CountKind(mounted->warnings, WarningKind::UnreadableInodes), 0u);
}

} // namespace
} // namespace trevik

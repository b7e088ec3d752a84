// A dying disk, through the fault-injecting device: every loss is reported where the user
// looks, everything readable is recovered whole, and no bad sector is asked for more than
// retries + 1 times while the disk is open.

#include "disk/ddrescue_map.h"
#include "support/engine_support.h"

#include <fstream>
#include <map>
#include <set>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;
using testing::Slurp;
using testing::TempDir;

// Attempts the device saw at each of `sectors`.
std::map<uint64_t, size_t> Attempts(const FaultyDevice& dev, const std::set<uint64_t>& sectors) {
    std::map<uint64_t, size_t> n;
    for (const auto& c : dev.Calls()) {
        for (uint64_t s : sectors)
            n[s] += c.offset / 512 <= s && s < (c.offset + c.length) / 512 ? 1 : 0;
    }
    return n;
}

// A folder big enough for an indirect block of its own (4K blocks, 3 000 entries), files
// with data and an indirect block, and small folders.
struct DyingVolume {
    TreeNode data = GeneratedFile("data.bin", 200000, 3);
    TreeNode huge = GeneratedFile("huge.bin", 600000, 9);
    TreeNode tree;
    DyingVolume() {
        std::vector<TreeNode> many;
        for (int i = 0; i < 3000; ++i)
            many.push_back(File("f" + std::to_string(i) + ".txt", "x" + std::to_string(i)));
        tree = Dir("", {Dir("big", std::move(many)), Dir("b", {File("other.txt", "other\n")}),
                        Dir("c", {data, huge}), Dir("keep", {File("safe.txt", "safe\n")})});
    }
    UfsParams Params() const {
        UfsParams p = testing::VolumeParams(1024, 4096);
        p.sizeSectors = 60000;
        return p;
    }
};

TEST(FailingDisk, EveryLossIsReportedAndNoBadSectorIsReadMoreThanRetriesPlusOne) {
    DyingVolume dv;
    Fixture fx(BuildUfs(dv.tree, dv.Params()));
    const BuiltNode* big = fx.volume.Find("/big");
    ASSERT_FALSE(big->indirectFrags.empty()) << "the folder needs an indirect block";
    const uint32_t victim = fx.volume.Find("/big/f7.txt")->inode;
    const uint64_t inodeSector = Fixture::kStart + fx.volume.layout.InodeByteOffset(victim) / 512;
    const uint64_t dirChunk = fx.FragSector(fx.volume.Find("/b")->dataFrags[0]);
    const uint64_t bigIndirect = fx.FragSector(big->indirectFrags[0]);
    const uint64_t dataSector = fx.FragSector(fx.volume.Find("/c/data.bin")->dataFrags[2]) + 1;
    const uint64_t hugeIndirect = fx.FragSector(fx.volume.Find("/c/huge.bin")->indirectFrags[0]);
    const std::set<uint64_t> bad = {inodeSector, dirChunk, bigIndirect, dataSector, hugeIndirect};
    for (uint64_t s : bad)
        fx.faulty.AddBadSector(s);

    for (RecoveryMode mode : {RecoveryMode::Normal, RecoveryMode::Extensive}) {
        SCOPED_TRACE(mode == RecoveryMode::Normal ? "normal" : "extensive");
        ASSERT_TRUE(fx.Mount(mode).ok);
        const auto& w = fx.mounted.warnings;
        // Which inodes and names the unreadable inode sector cost.
        ASSERT_EQ(testing::CountKind(w, WarningKind::UnreadableInodes), 1u);
        const auto lost = std::find_if(w.begin(), w.end(), [](const Warning& x) {
            return x.kind == WarningKind::UnreadableInodes;
        });
        EXPECT_EQ(lost->sector, inodeSector);
        EXPECT_LE(lost->firstInode, victim);
        EXPECT_GE(lost->lastInode, victim);
        EXPECT_NE(std::find(lost->names.begin(), lost->names.end(), "/big/f7.txt"),
                  lost->names.end());
        // The folder whose chunk is unreadable, and the folder whose indirect block is.
        bool dirWarned = false, indirectWarned = false;
        for (const Warning& x : w) {
            dirWarned |= x.kind == WarningKind::UnreadableDirectory && x.path == "/b" &&
                         x.sector == dirChunk;
            indirectWarned |= x.kind == WarningKind::UnreadableIndirect && x.path == "/big" &&
                              x.sector == bigIndirect;
        }
        EXPECT_TRUE(dirWarned);
        EXPECT_TRUE(indirectWarned);
        // What was readable is there: the big folder's first blocks, the intact folders.
        const auto listed = testing::ListAll(fx.mounted.tree);
        EXPECT_TRUE(listed.count("/big/f0.txt"));
        EXPECT_FALSE(listed.count("/big/f7.txt"));
        EXPECT_FALSE(listed.count("/big/f2999.txt")); // behind the unreadable indirect block
        EXPECT_TRUE(listed.count("/keep/safe.txt"));
        EXPECT_TRUE(listed.count("/c/huge.bin"));
    }

    // Recover All: damaged files are written with zeros where unreadable and listed.
    TempDir out;
    ExtractionControl control;
    const ExtractionSummary s = ExtractItems(fx.mounted, fx.reader, {}, true, out.File("to"),
                                             DuplicatePolicy::Skip, control, nullptr);
    EXPECT_TRUE(s.error.empty()) << s.error;
    const std::set<std::string> incomplete(s.incomplete.begin(), s.incomplete.end());
    EXPECT_EQ(incomplete, (std::set<std::string>{"/c/data.bin", "/c/huge.bin"}));
    EXPECT_EQ(Slurp(out.File("to/keep/safe.txt")), "safe\n");
    std::string expected = testing::ExpectedBytes(dv.data, 200000);
    const uint64_t zeroAt =
        (dataSector - fx.FragSector(fx.volume.Find("/c/data.bin")->dataFrags[2])) * 512 + 2 * 4096;
    std::fill_n(expected.begin() + static_cast<long>(zeroAt), 512, '\0');
    EXPECT_TRUE(Slurp(out.File("to/c/data.bin")) == expected) << "readable bytes exact";

    // Two mounts and a copy later, no bad sector cost more than retries + 1 attempts.
    for (const auto& [sector, n] : Attempts(fx.faulty, bad)) {
        EXPECT_GE(n, 1u) << sector;
        EXPECT_LE(n, 4u) << sector;
    }
}

TEST(FailingDisk, AreasOfARescueMapAreNeverReadAndReportedLost) {
    DyingVolume dv;
    Fixture fx(BuildUfs(dv.tree, dv.Params()));
    const uint64_t first = fx.FragSector(fx.volume.Find("/c/data.bin")->dataFrags[0]);
    // A ddrescue map that never got to these 8 sectors ('?') and found one bad ('-').
    const std::string map = "# Mapfile\n0x00000000 + 1\n"
                            "0x00000000 " +
                            std::to_string(first * 512) + " +\n" + std::to_string(first * 512) +
                            " 3584 ?\n" + std::to_string(first * 512 + 3584) + " 512 -\n" +
                            std::to_string(first * 512 + 4096) + " 100000000 +\n";
    TempDir dir;
    { std::ofstream(dir.File("rescue.map")) << map; }
    ASSERT_TRUE(LoadDdrescueMap(dir.File("rescue.map"), fx.reader.BadSectors()).ok());
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    ExtractionControl control;
    const ExtractionSummary s = ExtractItems(fx.mounted, fx.reader, {}, true, dir.File("to"),
                                             DuplicatePolicy::Skip, control, nullptr);
    EXPECT_EQ(s.incomplete, std::vector<std::string>{"/c/data.bin"});
    std::set<uint64_t> mapped;
    for (uint64_t k = 0; k < 8; ++k)
        mapped.insert(first + k);
    for (const auto& [sector, n] : Attempts(fx.faulty, mapped))
        EXPECT_EQ(n, 0u) << sector;
    const std::string got = Slurp(dir.File("to/c/data.bin"));
    const std::string want = testing::ExpectedBytes(dv.data, 200000);
    EXPECT_EQ(got.substr(0, 4096), std::string(4096, '\0'));
    EXPECT_TRUE(got.substr(4096) == want.substr(4096));
}

TEST(FailingDisk, ATruncatedImageMarksWhatLiesPastItsEnd) {
    TreeNode huge = GeneratedFile("huge.bin", 3000000, 5);
    UfsParams p = testing::VolumeParams();
    p.sizeSectors = 8192;
    UfsVolume vol = BuildUfs(Dir("", {File("small.txt", "small\n"), huge}), p);
    const BuiltNode* node = vol.Find("/huge.bin");
    const uint32_t cutFrag = node->dataFrags[node->dataFrags.size() / 2];
    // The disk ends in the middle of the file's data.
    DiskImage d(Fixture::kStart + vol.bytes.size() / 512);
    d.PutVolume(Fixture::kStart, vol);
    d.bytes.resize((Fixture::kStart + uint64_t{cutFrag} * vol.layout.nspf) * 512);
    MemoryBlockDevice disk(std::move(d.bytes));
    SectorReader reader(&disk, disk.SizeBytes() / 512, 3);
    PartitionEntry entry = FirstVolumeAt(Fixture::kStart, p.sizeSectors);
    std::atomic<bool> stop{false};
    MountedVolume v;
    const auto r = testing::MountInto(reader, entry, RecoveryMode::Normal, stop, nullptr, v);
    ASSERT_TRUE(r.ok) << r.message;
    ASSERT_EQ(testing::CountKind(v.warnings, WarningKind::PastEnd), 1u);
    EXPECT_EQ(v.warnings[0].sector, disk.SizeBytes() / 512);
    TempDir out;
    ExtractionControl control;
    const ExtractionSummary s =
        ExtractItems(v, reader, {}, true, out.File("to"), DuplicatePolicy::Skip, control, nullptr);
    EXPECT_EQ(s.incomplete, std::vector<std::string>{"/huge.bin"});
    EXPECT_EQ(Slurp(out.File("to/small.txt")), "small\n");
    const std::string got = Slurp(out.File("to/huge.bin"));
    ASSERT_EQ(got.size(), 3000000u);
    // Every block the image holds is exact; every block past its end reads as zeros.
    const std::string want = testing::ExpectedBytes(huge, 3000000);
    size_t kept = 0;
    for (size_t b = 0; b < node->dataFrags.size(); ++b) {
        const size_t at = b * 8192;
        const size_t len = std::min<size_t>(8192, want.size() - at);
        // Blocks past the twelfth are found through the single indirect block.
        const bool mapped = b < 12 || node->indirectFrags[0] + 8 <= cutFrag;
        const bool inside = mapped && node->dataFrags[b] + 8 <= cutFrag;
        kept += inside ? 1 : 0;
        EXPECT_TRUE(got.substr(at, len) == (inside ? want.substr(at, len) : std::string(len, '\0')))
            << "block " << b;
    }
    EXPECT_GT(kept, 0u);
}

} // namespace
} // namespace trevik

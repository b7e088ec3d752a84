// What a mount reads: each sector of the inode tables and each directory block once, not
// again as a cache forgets them, whatever order the folders name their inodes in.

#include "support/engine_support.h"
#include "ufs/inode.h"

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;

// Folders in two levels whose files are named in an order that jumps between the tables
// of many groups: the second level's entries are listed last-made first.
TreeNode Scattered() {
    TreeNode root = Dir("");
    for (int t = 0; t < 6; ++t) {
        TreeNode top = Dir("t" + std::to_string(t));
        for (int s = 0; s < 8; ++s) {
            TreeNode sub = Dir("s" + std::to_string(s));
            for (int f = 0; f < 40; ++f)
                sub.children.push_back(File("f" + std::to_string(f), std::string(f, 'x')));
            std::reverse(sub.children.begin(), sub.children.end());
            top.children.push_back(std::move(sub));
        }
        root.children.push_back(std::move(top));
    }
    return root;
}

// How many times each sector of [first, end) was read.
std::map<uint64_t, int> ReadsIn(const FaultyDevice& dev,
                                const std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
    std::map<uint64_t, int> count;
    for (const auto& c : dev.Calls()) {
        const uint64_t first = c.offset / 512;
        const uint64_t end = (c.offset + c.length + 511) / 512;
        for (const auto& [a, b] : ranges) {
            for (uint64_t s = std::max(first, a); s < std::min(end, b); ++s)
                ++count[s];
        }
    }
    return count;
}

TEST(ReadOnce, ANormalMountReadsEachInodeTableSectorAndDirectoryBlockOnce) {
    imagebuilder::UfsParams p = testing::VolumeParams();
    p.sizeSectors = 60000;
    p.cylindersPerGroup = 4; // many small groups
    Fixture fx(BuildUfs(Scattered(), p));
    fx.faulty.ClearCalls();
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const auto& g = fx.mounted.geometry;
    ASSERT_GT(g.groupCount, 8u);
    InodeAccess access(fx.reader, g, fx.mounted.groupTable);
    std::vector<std::pair<uint64_t, uint64_t>> tables;
    for (uint32_t c = 0; c < g.groupCount; ++c) {
        const uint64_t first = access.InodeTableSector(c);
        tables.emplace_back(first, first + InodeTableSectors(g));
    }
    std::vector<std::pair<uint64_t, uint64_t>> directories;
    for (const auto& n : fx.volume.nodes) {
        if (n.kind != NodeKind::Directory)
            continue;
        for (uint32_t f : n.dataFrags)
            directories.emplace_back(fx.FragSector(f), fx.FragSector(f) + 1);
    }
    const auto tableReads = ReadsIn(fx.faulty, tables);
    EXPECT_GT(tableReads.size(), 0u);
    for (const auto& [sector, n] : tableReads)
        EXPECT_EQ(n, 1) << "inode-table sector " << sector;
    const auto directoryReads = ReadsIn(fx.faulty, directories);
    EXPECT_EQ(directoryReads.size(), directories.size());
    for (const auto& [sector, n] : directoryReads)
        EXPECT_EQ(n, 1) << "directory sector " << sector;
    EXPECT_EQ(fx.mounted.tree.FileCount(), 6u * 8 * 40);
}

TEST(ReadOnce, AnExtensiveMountReadsTheTablesOnceAndTheirFoldersFromThatRead) {
    imagebuilder::UfsParams p = testing::VolumeParams();
    p.sizeSectors = 60000;
    p.cylindersPerGroup = 4;
    Fixture fx(BuildUfs(Scattered(), p));
    fx.faulty.ClearCalls();
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto& g = fx.mounted.geometry;
    InodeAccess access(fx.reader, g, fx.mounted.groupTable);
    std::vector<std::pair<uint64_t, uint64_t>> tables;
    for (uint32_t c = 0; c < g.groupCount; ++c) {
        const uint64_t first = access.InodeTableSector(c);
        tables.emplace_back(first, first + InodeTableSectors(g));
    }
    const auto tableReads = ReadsIn(fx.faulty, tables);
    EXPECT_EQ(tableReads.size(), size_t{g.groupCount} * InodeTableSectors(g)); // all of them
    for (const auto& [sector, n] : tableReads)
        EXPECT_EQ(n, 1) << "inode-table sector " << sector;

    EXPECT_EQ(fx.mounted.tree.FileCount(), 6u * 8 * 40);
}

// More folders than one read-ahead holds: the blocks of the next batch are read while the
// one before is parsed. They are still read once each, and a bad sector among them still
// costs its folder only what the sector held, said with the folder's path.
TEST(ReadOnce, FoldersOfLaterBatchesAreReadOnceAndABadSectorAmongThemIsSaid) {
    TreeNode root = Dir("");
    for (int t = 0; t < 12; ++t) {
        TreeNode top = Dir("top" + std::to_string(t));
        for (int s = 0; s < 50; ++s) {
            TreeNode sub = Dir("sub" + std::to_string(s));
            for (int f = 0; f < 40; ++f)
                sub.children.push_back(
                    File("a-fairly-long-name-for-a-file-number-" + std::to_string(f), ""));
            top.children.push_back(std::move(sub));
        }
        root.children.push_back(std::move(top));
    }
    imagebuilder::UfsParams p = testing::VolumeParams();
    p.sizeSectors = 160000;
    p.inodesPerGroup = 4096;
    Fixture fx(BuildUfs(root, p));
    const BuiltNode* late = fx.volume.Find("/top11/sub49");
    ASSERT_NE(late, nullptr);
    ASSERT_GE(late->size, 2048u); // a chunk past the first to lose
    const uint64_t bad = fx.FragSector(late->dataFrags[0]) + 2;
    fx.faulty.AddBadSector(bad);
    fx.faulty.ClearCalls();
    const auto outcome = fx.Mount(RecoveryMode::Normal);
    ASSERT_TRUE(outcome.ok);

    uint64_t directoryBytes = 0;
    std::vector<std::pair<uint64_t, uint64_t>> directories;
    for (const auto& n : fx.volume.nodes) {
        if (n.kind != NodeKind::Directory)
            continue;
        directoryBytes += n.size;
        if (&n == late)
            continue;
        for (uint32_t f : n.dataFrags)
            directories.emplace_back(fx.FragSector(f), fx.FragSector(f) + 1);
    }
    ASSERT_GT(directoryBytes, uint64_t{1} << 20); // more than one batch's worth
    // The run holding the bad sector fails and is read again sector by sector; every other
    // directory sector is read once.
    std::vector<std::pair<uint64_t, uint64_t>> failedRuns;
    for (const auto& c : fx.faulty.Calls()) {
        if (!c.ok && c.length > 512)
            failedRuns.emplace_back(c.offset / 512, (c.offset + c.length) / 512);
    }
    ASSERT_EQ(failedRuns.size(), 1u);
    const auto [runFirst, runEnd] = failedRuns.front();
    ASSERT_TRUE(runFirst <= bad && bad < runEnd);
    for (const auto& [sector, n] : ReadsIn(fx.faulty, directories)) {
        const bool inFailedRun = sector >= runFirst && sector < runEnd;
        EXPECT_EQ(n, inFailedRun ? 2 : 1) << "directory sector " << sector;
    }
    const auto badReads = ReadsIn(fx.faulty, {{bad, bad + 1}});
    ASSERT_EQ(badReads.count(bad), 1u);
    EXPECT_EQ(badReads.at(bad), 3 + 1); // retries + 1 attempts in all, the run among them

    bool said = false;
    for (const Warning& w : outcome.warnings)
        said |= w.kind == WarningKind::UnreadableDirectory && w.sector == bad &&
                w.path == "/top11/sub49";
    EXPECT_TRUE(said);
    // Every other folder whole; the damaged one keeps the entries outside the bad sector.
    const auto listed = testing::ListAll(fx.mounted.tree);
    size_t kept = 0;
    for (const auto& [path, node] : testing::Expected(fx.volume)) {
        if (path.rfind("/top11/sub49/", 0) == 0)
            kept += listed.count(path);
        else
            EXPECT_EQ(listed.count(path), 1u) << path;
    }
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, 40u);
}

// A walk over many inodes comes back to the inode-table chunks of earlier batches: the
// cache grown for it keeps them, where the default one has pushed them out.
TEST(ReadOnce, AnInodeCacheGrownForALargeWalkKeepsTheChunksItComesBackTo) {
    imagebuilder::UfsParams p = testing::VolumeParams();
    p.sizeSectors = 400000;
    p.cylindersPerGroup = 32;
    p.inodesPerGroup = 8192;
    Fixture fx(BuildUfs(Dir(""), p));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const VolumeGeometry& g = fx.mounted.geometry;
    constexpr uint32_t kChunkInodes = 64; // 16 sectors of 4 inodes
    // Twice the chunks the default cache holds, half the grown one's, read twice over.
    constexpr uint32_t chunks = 2048;
    ASSERT_GT(g.totalInodes, uint64_t{chunks} * kChunkInodes);
    auto readAgain = [&](InodeAccess& access) {
        for (int pass = 0; pass < 2; ++pass) {
            fx.faulty.ClearCalls();
            for (uint32_t c = 0; c < chunks; ++c)
                EXPECT_TRUE(access.ReadInode(c * kChunkInodes + 2).Ok()); // inode 2 on
        }
        return fx.faulty.Calls().size(); // chunks read again by the second pass
    };
    InodeAccess plain(fx.reader, g, fx.mounted.groupTable);
    const size_t plainAgain = readAgain(plain);
    EXPECT_GT(plainAgain, chunks * 9 / 10); // nearly every one pushed out by then
    InodeAccess grown(fx.reader, g, fx.mounted.groupTable);
    grown.SizeCacheFor(uint64_t{chunks} * kChunkInodes * 8); // the largest cache
    EXPECT_LT(readAgain(grown), plainAgain / 4);
}

} // namespace
} // namespace trevik

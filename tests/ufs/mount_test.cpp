#include "format/big_endian.h"
#include "recovery/find_files.h"
#include "support/engine_support.h"
#include "ufs/file_reader.h"
#include "ufs/inode.h"

#include <sys/stat.h>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;

TreeNode RichTree() {
    std::vector<TreeNode> many;
    for (int i = 0; i < 1200; ++i) {
        many.push_back(File("entry-with-a-longish-name-" + std::to_string(i), std::to_string(i)));
    }
    TreeNode wholeSecond = Dir("whole-second", {File("inside.txt", "still here\n")});
    wholeSecond.ctimeUsec = 0; // its change time fell on a whole second
    TreeNode fifo = File("pipe", "");
    fifo.typeOverride = 0x1000;
    TreeNode root = testing::SampleTree();
    root.children.push_back(Dir("many", std::move(many)));
    root.children.push_back(
        Dir("data", {
                        // Past the single indirect block at 8K blocks, mostly hole.
                        GeneratedFile("sparse.bin", 20u << 20, 11, {{1u << 20, 18u << 20}}),
                        File(std::string(255, 'n'), "long name\n"),
                        File("caf\xE9.txt", "latin-1 name\n"),
                        fifo,
                    }));
    root.children.push_back(std::move(wholeSecond));
    return root;
}

UfsParams Params(uint32_t fsize = 1024, uint32_t bsize = 8192) {
    return testing::VolumeParams(fsize, bsize);
}

TEST(Mount, NormalAndExtensiveListEverythingAtEveryLayout) {
    struct Case {
        const char* what;
        UfsParams p;
    };
    std::vector<Case> cases = {{"8K/1K", Params()},
                               {"8K/2K", Params(2048)},
                               {"8K/4K", Params(4096)},
                               {"8K/8K", Params(8192)},
                               {"4K/512", Params(512, 4096)}};
    Case noStagger{"no stagger", Params()};
    noStagger.p.tracksPerCylinder = 1;
    noStagger.p.cylindersPerGroup = 128;
    Case wide{"wide stagger", Params()};
    wide.p.sectorsPerTrack = 64;
    wide.p.tracksPerCylinder = 8;
    cases.push_back(noStagger);
    cases.push_back(wide);
    const TreeNode tree = RichTree();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture fx(BuildUfs(tree, c.p));
        ASSERT_GE(fx.volume.layout.ncg, 3u);
        const auto expected = testing::Expected(fx.volume);

        const testing::MountOutcome normal = fx.Mount(RecoveryMode::Normal);
        ASSERT_TRUE(normal.ok) << normal.message;
        EXPECT_TRUE(normal.warnings.empty());
        auto listed = testing::ListAll(fx.mounted.tree);
        EXPECT_EQ(listed.size(), expected.size());
        for (const auto& [path, e] : expected) {
            SCOPED_TRACE(path);
            const auto it = listed.find(path);
            ASSERT_NE(it, listed.end());
            EXPECT_EQ(it->second.folder, e.folder);
            EXPECT_EQ(it->second.size, e.size);
            EXPECT_EQ(it->second.inode, e.inode);
        }
        // The group table found every staggered superblock copy.
        for (uint32_t g = 1; g < fx.volume.layout.ncg; ++g) {
            EXPECT_EQ(fx.mounted.groupTable[g],
                      fx.FragSector(fx.volume.layout.CgSuperblockFrag(g)));
        }

        const testing::MountOutcome ext = fx.Mount(RecoveryMode::Extensive);
        ASSERT_TRUE(ext.ok);
        listed = testing::ListAll(fx.mounted.tree);
        EXPECT_EQ(listed.size(), expected.size() + 1); // and an empty LostDir
        EXPECT_TRUE(listed.count("/LostDir"));
        for (const auto& [path, e] : expected) {
            EXPECT_TRUE(listed.count(path)) << path;
        }
        EXPECT_TRUE(fx.mounted.tree.ChildFolders(kLostDirInode).empty());
    }
}

TEST(Mount, ChildrenAreFoldersFirstInDiscoveryOrder) {
    Fixture fx(
        BuildUfs(Dir("", {File("z", "1"), Dir("b"), File("a", "2"), Dir("a-dir")}), Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const RecoveredTree& t = fx.mounted.tree;
    const auto folders = t.ChildFolders(kRootInode);
    const auto files = t.ChildFiles(kRootInode);
    ASSERT_EQ(folders.size(), 2u);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(t.FolderName(folders[0]), "b");
    EXPECT_EQ(t.FolderName(folders[1]), "a-dir");
    EXPECT_EQ(t.FileName(files[0]), "z");
    EXPECT_EQ(t.FileName(files[1]), "a");
    EXPECT_EQ(t.Folders()[0].ordinal, 0u);
}

TEST(Mount, ASecondMountStartsFromNothing) {
    Fixture a(BuildUfs(RichTree(), Params()));
    Fixture b(BuildUfs(Dir("", {File("only", "x")}), Params()));
    MountedVolume shared;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(
        testing::MountInto(a.reader, a.entry, RecoveryMode::Normal, stop, nullptr, shared).ok);
    ASSERT_TRUE(
        testing::MountInto(b.reader, b.entry, RecoveryMode::Normal, stop, nullptr, shared).ok);
    EXPECT_EQ(shared.tree.FileCount(), 1u);
    EXPECT_EQ(shared.tree.FolderCount(), 0u);
    EXPECT_EQ(shared.tree.Files()[0].ordinal, 0u);
}

TEST(Mount, ADamagedPrimarySuperblockMountsFromItsBackup) {
    UfsVolume vol = BuildUfs(RichTree(), Params());
    vol.ZeroPrimarySuperblock();
    Fixture fx(std::move(vol));
    const testing::MountOutcome r = fx.Mount(RecoveryMode::Normal);
    ASSERT_TRUE(r.ok) << r.message;
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0].kind, WarningKind::CorrectedSuperblock);
    EXPECT_EQ(r.warnings[0].otherSector, fx.mounted.superblockUsed);
    EXPECT_EQ(testing::ListAll(fx.mounted.tree).size(), testing::Expected(fx.volume).size());

    // Group 0's copy gone too: group 1's copy, found as the scan finds it.
    UfsVolume vol2 = BuildUfs(RichTree(), Params());
    vol2.ZeroPrimarySuperblock();
    vol2.ZeroFragments(static_cast<uint32_t>(vol2.layout.CgSuperblockFrag(0)), 8);
    Fixture fx2(std::move(vol2));
    const testing::MountOutcome r2 = fx2.Mount(RecoveryMode::Normal);
    ASSERT_TRUE(r2.ok) << r2.message;
    EXPECT_EQ(fx2.mounted.superblockUsed, fx2.FragSector(fx2.volume.layout.CgSuperblockFrag(1)));
    EXPECT_EQ(testing::ListAll(fx2.mounted.tree).size(), testing::Expected(fx2.volume).size());
}

TEST(Mount, AVolumeWithoutAUsableSuperblockIsRefusedAndChangesNothing) {
    Fixture good(BuildUfs(RichTree(), Params()));
    ASSERT_TRUE(good.Mount(RecoveryMode::Normal).ok);
    const uint32_t files = good.mounted.tree.FileCount();

    struct Case {
        const char* what;
        uint32_t offset;
        uint32_t value;
    };
    for (const Case& c : {Case{"fragment size 3000", 52, 3000},
                          Case{"fragments per block 3", 56, 3}, Case{"no inodes", 184, 0},
                          Case{"inodes not whole blocks", 184, 100}, Case{"no groups", 44, 0}}) {
        SCOPED_TRACE(c.what);
        UfsVolume vol = BuildUfs(RichTree(), Params());
        // Damage the primary and every copy alike.
        WriteBe32(std::span<uint8_t>(vol.bytes).subspan(8192), c.offset, c.value);
        for (uint32_t g = 0; g < vol.layout.ncg; ++g) {
            const uint64_t at = vol.layout.CgSuperblockFrag(g) * vol.layout.fsize;
            WriteBe32(std::span<uint8_t>(vol.bytes).subspan(at), c.offset, c.value);
        }
        Fixture bad(std::move(vol));
        std::atomic<bool> stop{false};
        const testing::MountOutcome r = testing::MountInto(
            bad.reader, bad.entry, RecoveryMode::Normal, stop, nullptr, good.mounted);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.message.find("Cannot mount Solaris Partition - 1"), std::string::npos);
        EXPECT_EQ(good.mounted.tree.FileCount(), files); // the earlier mount stands
    }
}

TEST(Mount, EveryBlockOfABigDirectoryIsParsedAndInodeZeroIsPassedOver) {
    UfsVolume vol = BuildUfs(RichTree(), Params());
    const BuiltNode* many = vol.Find("/many");
    ASSERT_GT(many->dataFrags.size(), 1u);
    // The first entry of the first block's second chunk, and of the second block.
    std::vector<std::string> removed;
    for (const uint64_t at :
         {uint64_t{many->dataFrags[0]} * 1024 + 512, uint64_t{many->dataFrags[1]} * 1024}) {
        const uint32_t namlen = vol.bytes[at + 7];
        removed.emplace_back(reinterpret_cast<const char*>(vol.bytes.data() + at + 8), namlen);
        ASSERT_TRUE(vol.RemoveDirEntry("/many", removed.back()));
        ASSERT_EQ(ReadBe32(vol.bytes, at), 0u); // first of its chunk: left with inode 0
    }
    Fixture fx(std::move(vol));
    for (RecoveryMode mode : {RecoveryMode::Normal, RecoveryMode::Extensive}) {
        ASSERT_TRUE(fx.Mount(mode).ok);
        const auto listed = testing::ListAll(fx.mounted.tree);
        size_t inMany = 0;
        for (const auto& [path, l] : listed)
            inMany += path.rfind("/many/", 0) == 0;
        EXPECT_EQ(inMany, 1198u);
        for (const auto& r : removed)
            EXPECT_FALSE(listed.count("/many/" + r));
    }
}

TEST(Mount, ADirectoryWhoseChangeTimeFellOnAWholeSecondIsStillAFolder) {
    Fixture fx(BuildUfs(RichTree(), Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    ASSERT_TRUE(listed.count("/whole-second"));
    EXPECT_TRUE(listed.at("/whole-second").folder);
    EXPECT_TRUE(listed.count("/whole-second/inside.txt"));
}

TEST(Mount, ExtensiveBringsBackAFolderWhoseEntryWasRemoved) {
    UfsVolume vol = BuildUfs(RichTree(), Params());
    const uint32_t alice = vol.Find("/export/home/alice")->inode;
    ASSERT_TRUE(vol.RemoveDirEntry("/export/home", "alice"));
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    EXPECT_FALSE(testing::ListAll(fx.mounted.tree).count("/export/home/alice/notes.txt"));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    const std::string dir = "/export/home/Dir" + std::to_string(alice);
    EXPECT_TRUE(listed.count(dir + "/notes.txt"));
    EXPECT_TRUE(listed.count(dir + "/big.bin"));
}

TEST(Mount, ExtensiveRecoversFoldersOfAZeroedRootBlock) {
    UfsVolume vol = BuildUfs(RichTree(), Params());
    const BuiltNode* root = vol.Find("/");
    vol.ZeroFragments(root->dataFrags[0], 1);
    const uint32_t etc = vol.Find("/etc")->inode;
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    EXPECT_EQ(fx.mounted.tree.FolderCount(), 0u);
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    EXPECT_TRUE(listed.count("/Dir" + std::to_string(etc) + "/passwd"));
    EXPECT_TRUE(listed.count("/Dir" + std::to_string(fx.volume.Find("/export")->inode) +
                             "/home/alice/notes.txt"));
}

TEST(Mount, OrphansOfAZeroedFolderInodeShareOneSubstituteUnderLostDir) {
    UfsVolume vol = BuildUfs(Dir("", {Dir("top", {Dir("gone", {Dir("one", {File("a", "1")}),
                                                               Dir("two", {File("b", "2")})})})}),
                             Params());
    const uint32_t gone = vol.Find("/top/gone")->inode;
    const uint32_t one = vol.Find("/top/gone/one")->inode;
    vol.ZeroInode(gone);
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const RecoveredTree& t = fx.mounted.tree;
    const int64_t sub = t.FindFolder(gone);
    ASSERT_GE(sub, 0);
    EXPECT_EQ(t.Folders()[sub].parentInode, kLostDirInode);
    EXPECT_EQ(t.FolderName(sub), "Dir" + std::to_string(gone));
    EXPECT_EQ(t.ChildFolders(gone).size(), 2u);
    // Its directory block, found among the data, gives its sub-folders their names.
    const auto listed = testing::ListAll(t);
    const std::string base = "/LostDir/Dir" + std::to_string(gone);
    EXPECT_TRUE(listed.count(base + "/one/a"));
    EXPECT_TRUE(listed.count(base + "/two/b"));
    EXPECT_EQ(t.Folders()[t.FindFolder(one)].found, Found::InodeScan);
    EXPECT_EQ(t.ChildFolders(kLostDirInode).size(), 1u);
}

// Where an entry names a folder whose ".." says otherwise, Extensive keeps it where the
// entry puts it, as Normal does.
TEST(Mount, ANamingEntryOutweighsADamagedDotDot) {
    UfsVolume vol = BuildUfs(
        Dir("", {Dir("p", {Dir("a", {File("fa", "1")})}), Dir("q", {Dir("b", {File("fb", "2")})})}),
        Params());
    const BuiltNode* a = vol.Find("/p/a");
    WriteBe32(vol.bytes, uint64_t{a->dataFrags[0]} * 1024 + 12, vol.Find("/q")->inode);
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const auto normal = testing::ListAll(fx.mounted.tree);
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto extensive = testing::ListAll(fx.mounted.tree);
    for (const auto& [path, l] : normal)
        EXPECT_TRUE(extensive.count(path)) << path;
}

TEST(Mount, FoldersWhoseParentsFormACycleAreGatheredUnderLostDir) {
    UfsVolume vol = BuildUfs(
        Dir("", {Dir("p", {Dir("a", {File("fa", "1")})}), Dir("q", {Dir("b", {File("fb", "2")})})}),
        Params());
    const BuiltNode* a = vol.Find("/p/a");
    const BuiltNode* b = vol.Find("/q/b");
    // Each one's ".." names the other, and no entry names either.
    WriteBe32(vol.bytes, uint64_t{a->dataFrags[0]} * 1024 + 12, b->inode);
    WriteBe32(vol.bytes, uint64_t{b->dataFrags[0]} * 1024 + 12, a->inode);
    ASSERT_TRUE(vol.RemoveDirEntry("/p", "a"));
    ASSERT_TRUE(vol.RemoveDirEntry("/q", "b"));
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    bool sawA = false;
    bool sawB = false;
    for (const auto& [path, l] : listed) {
        sawA |= path.rfind("/LostDir/", 0) == 0 && path.size() > 3 &&
                path.substr(path.size() - 3) == "/fa";
        sawB |= path.rfind("/LostDir/", 0) == 0 && path.size() > 3 &&
                path.substr(path.size() - 3) == "/fb";
    }
    EXPECT_TRUE(sawA);
    EXPECT_TRUE(sawB);
}

TEST(Mount, AStopRequestEndsTheWalkWithWhatWasFound) {
    struct StopAtFirstFolder : MountObserver {
        std::atomic<bool>* stop = nullptr;
        void OnFolderAdded(uint32_t, std::string_view) override { stop->store(true); }
    } obs;
    Fixture fx(BuildUfs(RichTree(), Params()));
    std::atomic<bool> stop{false};
    obs.stop = &stop;
    const testing::MountOutcome r =
        testing::MountInto(fx.reader, fx.entry, RecoveryMode::Normal, stop, &obs, fx.mounted);
    ASSERT_TRUE(r.ok);
    EXPECT_GE(fx.mounted.tree.FolderCount(), 1u);
    EXPECT_LT(testing::ListAll(fx.mounted.tree).size(), testing::Expected(fx.volume).size());
    EXPECT_FALSE(stop.load()); // cleared once the mount went on
}

TEST(Mount, UnreadableMetadataCostsOnlyWhatItHeld) {
    UfsVolume vol = BuildUfs(RichTree(), Params());
    const BuiltNode* many = vol.Find("/many");
    const uint64_t manyBlock1 = many->dataFrags[1];
    const uint32_t hostsInode = vol.Find("/etc/hosts")->inode;
    Fixture fx(std::move(vol));
    fx.faulty.AddBadSector(fx.FragSector(manyBlock1)); // a directory block's first chunk
    fx.faulty.AddBadSector(Fixture::kStart + fx.volume.layout.InodeByteOffset(hostsInode) / 512);
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    EXPECT_FALSE(listed.count("/etc/hosts"));
    size_t inMany = 0;
    for (const auto& [path, l] : listed)
        inMany += path.rfind("/many/", 0) == 0;
    EXPECT_GT(inMany, 1100u);
    EXPECT_LT(inMany, 1200u);
    EXPECT_TRUE(listed.count("/export/home/alice/notes.txt"));
}

TEST(Find, MatchesNamesAndGivesFolderPaths) {
    Fixture fx(BuildUfs(
        Dir("", {File("readme.txt", "r"),
                 Dir("Alpha", {Dir("Beta", {File("MY_README", "m"), File("x.doc", "x")})})}),
        Params()));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    struct Collect : FindObserver {
        std::vector<FindHit> hits;
        void OnHit(const FindHit& h, size_t) override { hits.push_back(h); }
    } c;
    std::atomic<bool> stop{false};
    EXPECT_EQ(FindFiles(fx.mounted.tree, "readme", stop, nullptr, c), 2u);
    ASSERT_EQ(c.hits.size(), 2u);
    EXPECT_EQ(c.hits[0].name, "README.TXT");
    EXPECT_EQ(c.hits[0].path, "\\");
    EXPECT_EQ(c.hits[1].name, "MY_README");
    EXPECT_EQ(c.hits[1].path, "\\Alpha\\Beta");
    c.hits.clear();
    EXPECT_EQ(FindFiles(fx.mounted.tree, "", stop, nullptr, c), 0u);
    stop = true;
    EXPECT_EQ(FindFiles(fx.mounted.tree, "*", stop, nullptr, c), 0u);
}

} // namespace
} // namespace trevik

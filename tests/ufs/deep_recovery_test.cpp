// Extensive recovery goes deeper than Normal and never shows less: files no folder names
// come back under LostDir, folders whose own inode is lost are rebuilt from their
// directory blocks, and every node says how it was found.

#include "format/big_endian.h"
#include "support/engine_support.h"

#include <random>
#include <set>
#include <sys/stat.h>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Fixture;
using testing::Slurp;
using testing::TempDir;
namespace fs = std::filesystem;

std::string Content(const TreeNode& n) {
    if (!n.data.empty())
        return std::string(n.data.begin(), n.data.end());
    return testing::ExpectedBytes(n, n.generatedSize);
}

ExtractionSummary RecoverAll(Fixture& fx, const std::string& to) {
    ExtractionControl control;
    return ExtractItems(fx.mounted, fx.reader, {}, true, to, DuplicatePolicy::Skip, control,
                        nullptr);
}

TEST(DeepRecovery, FilesOfARootWhoseDataIsDestroyedComeBackUnderLostDir) {
    TreeNode pdf = File("report.pdf", "%PDF-1.4\nreport body\n");
    pdf.mtime = 1000000000;
    TreeNode png = File("pic.png", std::string("\x89PNG\r\n\x1a\n", 8) + "pixels");
    TreeNode plain = GeneratedFile("plain.dat", 100000, 4);
    TreeNode link = Symlink("latest", "report.pdf");
    UfsVolume vol =
        BuildUfs(Dir("", {pdf, png, plain, link, Dir("docs", {File("inside.txt", "in docs\n")})}),
                 testing::VolumeParams());
    vol.ZeroFragments(vol.Find("/")->dataFrags[0], 1); // the root's entries, nothing else
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    TempDir out;
    const ExtractionSummary s = RecoverAll(fx, out.File("to"));
    EXPECT_TRUE(s.error.empty()) << s.error;
    struct Want {
        const TreeNode* node;
        const char* ext;
    };
    for (const Want& w : {Want{&pdf, ".pdf"}, Want{&png, ".png"}, Want{&plain, ""}}) {
        SCOPED_TRACE(w.node->name);
        const uint32_t ino = fx.volume.Find("/" + w.node->name)->inode;
        const std::string path = "/LostDir/File" + std::to_string(ino) + w.ext;
        ASSERT_TRUE(listed.count(path)) << path;
        EXPECT_EQ(listed.at(path).size, Content(*w.node).size());
        EXPECT_TRUE(Slurp(out.File("to" + path)) == Content(*w.node));
    }
    struct stat st {};
    const uint32_t pdfIno = fx.volume.Find("/report.pdf")->inode;
    ASSERT_EQ(::stat(out.File("to/LostDir/File" + std::to_string(pdfIno) + ".pdf").c_str(), &st),
              0);
    EXPECT_EQ(st.st_mtime, 1000000000);
    // An orphan link comes back as a link.
    const uint32_t linkIno = fx.volume.Find("/latest")->inode;
    EXPECT_EQ(fs::read_symlink(out.File("to/LostDir/File" + std::to_string(linkIno))),
              "report.pdf");
    // The folder comes back through the inode scan, its files named by its own entries.
    bool docs = false;
    for (const auto& [path, l] : listed)
        docs |= path.size() > 11 && path.substr(path.size() - 11) == "/inside.txt";
    EXPECT_TRUE(docs);
    // How each was found.
    for (const FileNode& f : fx.mounted.tree.Files()) {
        if (f.parentInode == kLostDirInode) {
            EXPECT_EQ(f.found, Found::Orphan);
        }
    }
}

TEST(DeepRecovery, FilesOfAFolderWhoseBlocksAreZeroedComeBackAsOrphans) {
    std::vector<TreeNode> many;
    for (int i = 0; i < 300; ++i)
        many.push_back(File("f" + std::to_string(i), "file " + std::to_string(i) + "\n"));
    UfsVolume vol =
        BuildUfs(Dir("", {Dir("big", many), File("keep.txt", "keep\n")}), testing::VolumeParams());
    for (uint32_t frag : vol.Find("/big")->dataFrags)
        vol.ZeroFragments(frag, 8);
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    EXPECT_TRUE(listed.count("/big")); // an entry names it: kept, though its blocks are gone
    EXPECT_TRUE(listed.count("/keep.txt"));
    for (int i = 0; i < 300; ++i) {
        const uint32_t ino = fx.volume.Find("/big/f" + std::to_string(i))->inode;
        ASSERT_TRUE(listed.count("/LostDir/File" + std::to_string(ino))) << i;
    }
    EXPECT_GE(testing::CountKind(fx.mounted.warnings, WarningKind::BrokenDirectory), 1u);
}

TEST(DeepRecovery, AFolderWhoseInodeIsUnreadableIsRebuiltFromItsBlocks) {
    std::vector<TreeNode> many;
    for (int i = 0; i < 600; ++i)
        many.push_back(GeneratedFile("file-with-a-name-" + std::to_string(i) + ".bin",
                                     100 + static_cast<uint64_t>(i) * 7, static_cast<uint32_t>(i)));
    UfsVolume vol =
        BuildUfs(Dir("", {Dir("big", many), File("keep.txt", "keep\n")}), testing::VolumeParams());
    const BuiltNode* big = vol.Find("/big");
    ASSERT_GT(big->dataFrags.size(), 1u) << "the folder needs several blocks";
    const uint64_t inodeSector = Fixture::kStart + vol.layout.InodeByteOffset(big->inode) / 512;
    Fixture fx(std::move(vol));
    fx.faulty.AddBadSector(inodeSector);
    ASSERT_TRUE(fx.Mount(RecoveryMode::Normal).ok);
    EXPECT_FALSE(testing::ListAll(fx.mounted.tree).count("/big")); // Normal cannot
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    ASSERT_TRUE(listed.count("/big"));
    EXPECT_EQ(fx.mounted.tree.Folders()[fx.mounted.tree.FindFolder(big->inode)].found,
              Found::DirBlocks);
    TempDir out;
    RecoverAll(fx, out.File("to"));
    size_t inPlace = 0, inBlocks = 0;
    for (int i = 0; i < 600; ++i) {
        const std::string name = "file-with-a-name-" + std::to_string(i) + ".bin";
        const BuiltNode* n = fx.volume.Find("/big/" + name);
        if (Fixture::kStart + fx.volume.layout.InodeByteOffset(n->inode) / 512 == inodeSector)
            continue; // its own inode shares the unreadable sector
        std::string where;
        if (listed.count("/big/" + name)) {
            where = "/big/" + name;
            ++inPlace;
        } else {
            for (const auto& [path, l] : listed) {
                if (path.rfind("/LostDir/DirBlock", 0) == 0 && path.size() > name.size() + 1 &&
                    path.substr(path.size() - name.size() - 1) == "/" + name)
                    where = path;
            }
            ++inBlocks;
        }
        ASSERT_FALSE(where.empty()) << name;
        EXPECT_TRUE(Slurp(out.File("to" + where)) == Content(many[static_cast<size_t>(i)]))
            << where;
    }
    EXPECT_GT(inPlace, 0u);
    EXPECT_GT(inBlocks, 0u);
    EXPECT_TRUE(listed.count("/keep.txt"));
}

// Small folders keep their entries in fragments of one shared block: each lost folder gets
// back its own entries, not its neighbours'.
TEST(DeepRecovery, LostFoldersSharingABlockEachGetTheirOwnEntries) {
    std::vector<TreeNode> folders;
    for (int i = 0; i < 12; ++i) {
        const std::string d = "d" + std::string(1, static_cast<char>('a' + i));
        std::vector<TreeNode> files; // more than an inode sector holds
        for (int k = 1; k <= 9; ++k)
            files.push_back(File(d + std::to_string(k), "k"));
        folders.push_back(Dir(d, files));
    }
    UfsVolume vol = BuildUfs(Dir("", folders), testing::VolumeParams());
    // Two folders whose entries share a block.
    std::string a, b;
    for (int i = 0; i < 12 && a.empty(); ++i) {
        for (int j = i + 1; j < 12 && a.empty(); ++j) {
            const std::string x = "/" + folders[static_cast<size_t>(i)].name;
            const std::string y = "/" + folders[static_cast<size_t>(j)].name;
            if (vol.Find(x)->dataFrags[0] / 8 == vol.Find(y)->dataFrags[0] / 8) {
                a = x;
                b = y;
            }
        }
    }
    ASSERT_FALSE(a.empty()) << "no two folders share a block";
    std::set<uint64_t> bad;
    for (const std::string& f : {a, b})
        bad.insert(Fixture::kStart + vol.layout.InodeByteOffset(vol.Find(f)->inode) / 512);
    Fixture fx(std::move(vol));
    for (uint64_t s : bad)
        fx.faulty.AddBadSector(s);
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    for (const std::string& f : {a, b}) {
        SCOPED_TRACE(f);
        ASSERT_TRUE(listed.count(f));
        EXPECT_TRUE(listed.count(f + f + "8") || listed.count(f + f + "9"));
    }
    // Every entry stands in its own folder: "/da/da1", never "/da/db1".
    for (const auto& [path, l] : listed) {
        if (path.size() == 7 && (path.rfind(a, 0) == 0 || path.rfind(b, 0) == 0)) {
            EXPECT_EQ(path.substr(1, 2), path.substr(4, 2)) << path;
        }
    }
}

TEST(DeepRecovery, FileSystemMetadataIsNeverAnOrphan) {
    // An ACL shadow inode, and an extended-attribute folder with the file it names, none of
    // them named by any folder; and a plain file whose entry was removed.
    UfsVolume vol = BuildUfs(Dir("", {File("shadow", "acl"), Dir("attrs", {File("attr", "v")}),
                                      File("lost.txt", "lost\n"), File("kept", "k")}),
                             testing::VolumeParams());
    const uint64_t shadowAt = vol.layout.InodeByteOffset(vol.Find("/shadow")->inode);
    WriteBe16(vol.bytes, shadowAt, ufs::kTypeShadow | 0600);
    const uint64_t attrsAt = vol.layout.InodeByteOffset(vol.Find("/attrs")->inode);
    WriteBe16(vol.bytes, attrsAt, ufs::kTypeAttrDir | 0755);
    for (const char* name : {"shadow", "attrs", "lost.txt"})
        ASSERT_TRUE(vol.RemoveDirEntry("/", name));
    Fixture fx(std::move(vol));
    ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
    const auto listed = testing::ListAll(fx.mounted.tree);
    const uint32_t lost = fx.volume.Find("/lost.txt")->inode;
    EXPECT_TRUE(listed.count("/LostDir/File" + std::to_string(lost)));
    for (const char* path : {"/shadow", "/attrs", "/attrs/attr"}) {
        const uint32_t ino = fx.volume.Find(path)->inode;
        for (const auto& [p, l] : listed)
            EXPECT_NE(l.inode, ino) << p << " is file-system metadata";
    }
}

// Random damage over the metadata: whatever Normal lists, Extensive lists at the same path.
TEST(DeepRecovery, ExtensiveListsEverythingNormalListsUnderRandomDamage) {
    std::vector<TreeNode> files;
    for (int i = 0; i < 200; ++i)
        files.push_back(File("n" + std::to_string(i), "x"));
    TreeNode sample = testing::SampleTree();
    sample.name = "sample";
    const TreeNode tree =
        Dir("", {Dir("a", files), Dir("b", {Dir("c", {File("deep", "d")})}), sample});
    const UfsVolume clean = BuildUfs(tree, testing::VolumeParams());
    size_t compared = 0;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        UfsVolume vol = clean;
        std::mt19937 rng(seed);
        // Inode tables and directory blocks of group 0.
        const uint64_t from = clean.layout.InodeTableFrag(0) * clean.layout.fsize;
        const uint64_t span = uint64_t{clean.layout.fpg} * clean.layout.fsize / 4;
        for (int i = 0; i < 400; ++i)
            vol.bytes[from + rng() % span] = static_cast<uint8_t>(rng());
        Fixture fx(std::move(vol));
        if (!fx.Mount(RecoveryMode::Normal).ok)
            continue;
        const auto normal = testing::ListAll(fx.mounted.tree);
        ASSERT_TRUE(fx.Mount(RecoveryMode::Extensive).ok);
        const auto extensive = testing::ListAll(fx.mounted.tree);
        for (const auto& [path, l] : normal)
            EXPECT_TRUE(extensive.count(path)) << path;
        ++compared;
    }
    EXPECT_GE(compared, 4u);
}

} // namespace
} // namespace trevik

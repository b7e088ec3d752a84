// The image builder checked by an independent reader: The Sleuth Kit must see the same
// file system we meant to write, or every later test built on these images proves nothing.

#include "format/big_endian.h"
#include "support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

class BuilderVsSleuthKit : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing::HaveProgram("fls") && testing::HaveProgram("icat") &&
                    testing::HaveProgram("fsstat"))
            << "The Sleuth Kit (package sleuthkit) is needed: run the README's test command";
    }

    std::string Write(const UfsVolume& vol, const std::string& name = "vol.img") {
        const std::string path = dir_.File(name);
        WriteFile(path, vol.bytes);
        return path;
    }

    // path -> inode, as fls lists allocated entries.
    static std::map<std::string, uint32_t> List(const std::string& image) {
        const auto r = RunCommand("fls -r -p -u -f ufs1 " + Quote(image));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::map<std::string, uint32_t> out;
        std::istringstream in(r.out);
        std::string line;
        while (std::getline(in, line)) {
            const auto tab = line.find('\t');
            const auto space = line.find(' ');
            if (tab == std::string::npos || space == std::string::npos)
                continue;
            const std::string path = line.substr(tab + 1);
            if (path.rfind("$Orphan", 0) == 0)
                continue;
            out["/" + path] = static_cast<uint32_t>(std::stoul(line.substr(space + 1)));
        }
        return out;
    }

    static std::string Icat(const std::string& image, uint32_t inode) {
        const auto r = RunCommand("icat -f ufs1 " + Quote(image) + " " + std::to_string(inode));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }

    // Checks every node of `tree` against fls and icat.
    void ExpectSameTree(const TreeNode& tree, const UfsVolume& vol, const std::string& image,
                        bool checkContent = true) {
        const auto listed = List(image);
        size_t expected = 0;
        std::vector<std::pair<const TreeNode*, std::string>> work{{&tree, ""}};
        while (!work.empty()) {
            auto [node, path] = work.back();
            work.pop_back();
            for (const TreeNode& c : node->children) {
                const std::string p = path + "/" + c.name;
                ++expected;
                SCOPED_TRACE(p);
                const BuiltNode* built = vol.Find(p);
                ASSERT_NE(built, nullptr);
                auto it = listed.find(p);
                ASSERT_NE(it, listed.end()) << "fls does not list it";
                EXPECT_EQ(it->second, built->inode);
                if (c.kind == NodeKind::Directory) {
                    work.emplace_back(&c, p);
                } else if (!checkContent) {
                    continue;
                } else if (c.kind == NodeKind::Symlink) {
                    // The Sleuth Kit takes a link shorter than 60 bytes to live inside the
                    // inode (the BSD short-link form); Solaris keeps every target in a data
                    // block, which SolarisLayoutFieldsAreThere checks byte by byte.
                    if (c.target.size() >= 60) {
                        EXPECT_EQ(Icat(image, built->inode), c.target);
                    }
                } else {
                    const std::string got = Icat(image, built->inode);
                    std::string want(built->size, '\0');
                    ExpectedContent(c, 0, {reinterpret_cast<uint8_t*>(want.data()), want.size()});
                    ASSERT_EQ(got.size(), want.size());
                    EXPECT_TRUE(got == want) << "content differs";
                }
            }
        }
        EXPECT_EQ(listed.size(), expected);
    }

    TempDir dir_;
};

TEST_F(BuilderVsSleuthKit, EveryFragmentSizeAndStaggerReadsBack) {
    struct Case {
        const char* what;
        uint32_t fsize, bsize, nsect, ntrak;
    };
    const Case cases[] = {
        {"8K/1K Solaris defaults", 1024, 8192, 32, 16},
        {"8K/2K", 2048, 8192, 32, 16},
        {"8K/4K", 4096, 8192, 64, 16},
        {"8K/8K", 8192, 8192, 128, 16},
        {"4K/512", 512, 4096, 32, 16},
        {"no stagger", 1024, 8192, 32, 1},
        {"wide stagger", 1024, 8192, 64, 8},
    };
    TreeNode tree = testing::SampleTree();
    // A file large enough for single and double indirect blocks at 4K blocks, with a hole.
    tree.children.push_back(GeneratedFile("data.bin", 6u << 20, 99, {{1u << 20, 3u << 20}}));
    tree.children.push_back(
        Symlink("far", "/export/home/alice/" + std::string(80, 'x') + "/target"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UfsParams p;
        p.sizeSectors = 60000;
        p.fragmentSize = c.fsize;
        p.blockSize = c.bsize;
        p.sectorsPerTrack = c.nsect;
        p.tracksPerCylinder = c.ntrak;
        p.cylindersPerGroup = 8;
        const UfsVolume vol = BuildUfs(tree, p);
        ASSERT_GE(vol.layout.ncg, 3u);
        const std::string img = Write(vol);
        const auto stat = RunCommand("fsstat -f ufs1 " + Quote(img));
        ASSERT_EQ(stat.exitCode, 0) << stat.err;
        EXPECT_NE(stat.out.find("File System Type: UFS 1"), std::string::npos);
        EXPECT_NE(stat.out.find("Fragment Size: " + std::to_string(c.fsize)), std::string::npos);
        EXPECT_NE(stat.out.find("Number of Cylinder Groups: " + std::to_string(vol.layout.ncg)),
                  std::string::npos);
        // The group's superblock copy where newfs would stagger it.
        const uint64_t copy = vol.layout.CgSuperblockFrag(1);
        EXPECT_NE(stat.out.find("Super Block: " + std::to_string(copy) + " - "), std::string::npos);
        ExpectSameTree(tree, vol, img);
    }
}

TEST_F(BuilderVsSleuthKit, SolarisLayoutFieldsAreThere) {
    UfsParams p;
    p.sizeSectors = 40000;
    const UfsVolume vol = BuildUfs(testing::SampleTree(), p);
    EXPECT_EQ(vol.layout.sblkno, 16u);
    EXPECT_EQ(vol.layout.cblkno, 24u);
    EXPECT_EQ(vol.layout.iblkno, 32u);
    EXPECT_EQ(vol.layout.cgoffset, 16u);
    EXPECT_EQ(vol.layout.cgmask, 0xFFFFFFF0u);
    // Directory entries carry a 16-bit name length; every inode's change time has its
    // microseconds set.
    const BuiltNode* etc = vol.Find("/etc");
    ASSERT_NE(etc, nullptr);
    const uint64_t inodeAt = vol.layout.InodeByteOffset(etc->inode);
    EXPECT_NE(ReadBe32(vol.bytes, inodeAt + 36), 0u);
    EXPECT_EQ(ReadBe16(vol.bytes, inodeAt), 0x41EDu);
    const uint64_t dirAt = uint64_t{etc->dataFrags[0]} * vol.layout.fsize;
    EXPECT_EQ(ReadBe16(vol.bytes, dirAt + 6), 1u);      // "."
    EXPECT_EQ(ReadBe16(vol.bytes, dirAt + 12 + 6), 2u); // ".."
    // Symbolic-link targets live in a data block.
    const BuiltNode* link = vol.Find("/export/home/alice/latest");
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(link->dataFrags.size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vol.bytes.data()) +
                              uint64_t{link->dataFrags[0]} * 1024,
                          9),
              "notes.txt");
}

TEST_F(BuilderVsSleuthKit, LargeDirectoriesSpanManyBlocks) {
    std::vector<TreeNode> files;
    for (int i = 0; i < 3000; ++i) {
        files.push_back(File("a-rather-long-file-name-number-" + std::to_string(i) + ".txt",
                             std::to_string(i)));
    }
    UfsParams p;
    p.sizeSectors = 40000;
    TreeNode tree = Dir("", {Dir("many", std::move(files))});
    const UfsVolume vol = BuildUfs(tree, p);
    EXPECT_GT(vol.Find("/many")->size, 12u * 8192u); // past the direct blocks
    ExpectSameTree(tree, vol, Write(vol), false);
}

TEST_F(BuilderVsSleuthKit, RemovedEntriesAreGoneForTheSleuthKitToo) {
    UfsParams p;
    p.sizeSectors = 20000;
    UfsVolume vol = BuildUfs(testing::SampleTree(), p);
    ASSERT_TRUE(vol.RemoveDirEntry("/etc", "passwd")); // merged into the entry before it
    ASSERT_TRUE(vol.RemoveDirEntry("/etc", "."));      // first of its chunk: inode 0
    EXPECT_FALSE(vol.RemoveDirEntry("/etc", "missing"));
    const auto listed = List(Write(vol));
    EXPECT_EQ(listed.count("/etc/passwd"), 0u);
    EXPECT_EQ(listed.count("/etc/hosts"), 1u);
    const uint64_t dirAt = uint64_t{vol.Find("/etc")->dataFrags[0]} * 1024;
    EXPECT_EQ(ReadBe32(vol.bytes, dirAt), 0u);
}

TEST_F(BuilderVsSleuthKit, HostDirectoryThroughTheCommandLineTool) {
    namespace fs = std::filesystem;
    fs::create_directories(dir_.Path() / "src" / "deep" / "er");
    std::ofstream(dir_.Path() / "src" / "deep" / "er" / "leaf.txt") << "leaf\n";
    std::ofstream(dir_.Path() / "src" / "top.txt") << "top\n";
    fs::create_symlink("deep/er/leaf.txt", dir_.Path() / "src" / "link");
    const std::string img = dir_.File("disk.img");
    const auto r = RunCommand(std::string(TREVIK_MKIMAGE) + " -o " + Quote(img) +
                              " --slice 0:2:8:" + Quote(dir_.File("src")) + " --slice 2:5:whole" +
                              " --slice 4:0:4:-");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto fls = RunCommand("fls -r -p -u -f ufs1 -o 0 " + Quote(img));
    ASSERT_EQ(fls.exitCode, 0) << fls.err;
    EXPECT_NE(fls.out.find("deep/er/leaf.txt"), std::string::npos);
    EXPECT_NE(fls.out.find("top.txt"), std::string::npos);
    EXPECT_NE(fls.out.find("link"), std::string::npos);
    // The empty volume of slice 4 starts right after slice 0's 8 MB.
    const auto empty = RunCommand("fsstat -f ufs1 -o 16384 " + Quote(img));
    EXPECT_EQ(empty.exitCode, 0) << empty.err;
    // Bad parameters are refused with a reason, not a crash.
    const auto bad = RunCommand(std::string(TREVIK_MKIMAGE) + " -o " + Quote(img) +
                                " --fsize 3000 --slice 0:2:8:-");
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find("fragment size"), std::string::npos);
}

} // namespace
} // namespace trevik

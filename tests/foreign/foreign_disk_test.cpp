// Disks labelled by util-linux sfdisk ("label: sun") holding volumes made by NetBSD
// makefs: neither tool shares a line of code with us.

#include "support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

constexpr uint64_t kCylinder = 255 * 63; // sfdisk's geometry for an image file
constexpr uint64_t kSliceCylinders = 8;  // makefs gives 8K/1K two groups from 64 MB on
constexpr uint64_t kSlice = kSliceCylinders * kCylinder;

class ForeignDisk : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"makefs", "sfdisk", "dd"}) {
            ASSERT_TRUE(testing::HaveProgram(tool))
                << tool << " is needed: run the README's test command";
        }
        fs::create_directories(dir_.Path() / "tree" / "sub");
        std::ofstream(dir_.Path() / "tree" / "a.txt") << "alpha\n";
        std::ofstream(dir_.Path() / "tree" / "sub" / "b.txt") << "beta\n";
        disk_ = dir_.File("disk.img");
        // The volumes: 4K/512 (four groups) in the root slice at cylinder 0, the default
        // 8K/1K (two groups) in slice 1.
        const uint64_t bytes = kSlice * 512 / 8192 * 8192; // makefs wants whole blocks
        Make("v0.img", "version=1,bsize=4096,fsize=512,density=4096", bytes);
        Make("v1.img", "version=1", bytes);
        const uint64_t diskSectors = (2 * kSliceCylinders + 2) * kCylinder;
        Must("truncate -s " + std::to_string(diskSectors * 512) + " " + Quote(disk_));
        Must("printf 'label: sun\\n\\nstart=0, size=" + std::to_string(kSlice) +
             ", type=2\\nstart=" + std::to_string(kSlice) + ", size=" + std::to_string(kSlice) +
             ", type=8\\nstart=0, size=" + std::to_string(diskSectors) +
             ", type=5\\n' | sfdisk --no-reread --no-tell-kernel " + Quote(disk_));
        // The root slice shares sector 0 with the label; UFS leaves its boot area alone.
        Must("dd if=" + Quote(dir_.File("v0.img")) + " of=" + Quote(disk_) +
             " bs=512 skip=1 seek=1 conv=notrunc status=none");
        Must("dd if=" + Quote(dir_.File("v1.img")) + " of=" + Quote(disk_) +
             " bs=512 seek=" + std::to_string(kSlice) + " conv=notrunc status=none");
    }

    void Make(const std::string& name, const std::string& options, uint64_t bytes) {
        Must("makefs -t ffs -B be -o " + options + " -s " + std::to_string(bytes) + " " +
             Quote(dir_.File(name)) + " " + Quote(dir_.File("tree")));
    }

    static void Must(const std::string& command) {
        const auto r = RunCommand(command);
        ASSERT_EQ(r.exitCode, 0) << command << "\n" << r.err;
    }

    static nlohmann::json Volumes(const std::string& args, int expectExit = 0) {
        const auto r = RunCommand(std::string(TREVIK_CLI) + " volumes " + args + " --json");
        EXPECT_EQ(r.exitCode, expectExit) << r.err;
        if (r.exitCode != 0)
            return {};
        return nlohmann::json::parse(r.out)["volumes"];
    }

    void ZeroSectors(uint64_t first, uint64_t count) {
        Must("dd if=/dev/zero of=" + Quote(disk_) + " bs=512 seek=" + std::to_string(first) +
             " count=" + std::to_string(count) + " conv=notrunc status=none");
    }

    TempDir dir_;
    std::string disk_;
};

TEST_F(ForeignDisk, LabelListsTheRootSliceAtCylinderZeroButNotTheBackupSlice) {
    const auto v = Volumes(Quote(disk_));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]["name"], "Solaris Partition - 1");
    EXPECT_EQ(v[0]["startSector"], 0);
    EXPECT_EQ(v[0]["sizeSectors"], kSlice);
    EXPECT_EQ(v[0]["superblockSector"], 16);
    EXPECT_EQ(v[1]["startSector"], kSlice);
    EXPECT_EQ(v[1]["superblockSector"], kSlice + 16);
}

TEST_F(ForeignDisk, ScanFindsEveryVolumeAfterTheLabelIsLost) {
    ZeroSectors(0, 1);
    const auto r = RunCommand(std::string(TREVIK_CLI) + " volumes " + Quote(disk_));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("has no SPARC disk label; --scan"), std::string::npos) << r.err;

    const auto v = Volumes("--scan " + Quote(disk_));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]["startSector"], 0);
    EXPECT_EQ(v[0]["superblockSector"], 16);
    EXPECT_EQ(v[1]["startSector"], kSlice);
    EXPECT_EQ(v[1]["name"], "Solaris Partition - 2");
}

TEST_F(ForeignDisk, ScanFindsAVolumeWithADestroyedPrimaryThroughGroupOne) {
    ZeroSectors(0, 1);
    ZeroSectors(kSlice + 16, 16);
    ZeroSectors(16, 16);
    const auto v = Volumes("--scan " + Quote(disk_));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]["startSector"], 0);
    EXPECT_GT(v[0]["superblockSector"], 16);
    EXPECT_EQ(v[1]["startSector"], kSlice);
    EXPECT_GT(v[1]["superblockSector"], kSlice + 16);
    // The copy it names is a superblock: The Sleuth Kit agrees on the volume behind it
    // once the primary is put back from that copy.
    const uint64_t copy = v[1]["superblockSector"];
    Must("dd if=" + Quote(disk_) + " of=" + Quote(disk_) + " bs=512 skip=" + std::to_string(copy) +
         " seek=" + std::to_string(kSlice + 16) + " count=16 conv=notrunc status=none");
    const auto fls =
        RunCommand("fls -r -p -f ufs1 -o " + std::to_string(kSlice) + " " + Quote(disk_));
    EXPECT_NE(fls.out.find("sub/b.txt"), std::string::npos) << fls.err;
}

} // namespace
} // namespace trevik

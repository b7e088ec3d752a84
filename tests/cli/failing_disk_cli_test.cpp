// trevik-cli on a failing disk: every loss is one line on stderr, an element of the
// "warnings" array or an incomplete file, and exit code 1.

#include "support/test_support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

testing::CommandResult Cli(const std::string& args) {
    return testing::RunCli(TREVIK_CLI, args);
}

// A 4 MiB slice at cylinder 1 (sector 1024) filled mostly by one 3 MB file.
struct Disk {
    TempDir dir;
    std::string image = dir.File("disk.img");
    Disk() {
        fs::create_directories(dir.Path() / "root");
        std::ofstream(dir.File("root/small.txt")) << "small\n";
        std::ofstream big(dir.File("root/big.bin"), std::ios::binary);
        for (int i = 0; i < 3000000; ++i)
            big.put(static_cast<char>(i * 7 + i / 4096));
        big.close();
        const auto made =
            RunCommand(std::string(TREVIK_MKIMAGE) + " -o " + Quote(image) +
                       " --heads 16 --sectors 64 --slice 0:2:4:" + Quote(dir.File("root")) +
                       " --slice 2:5:whole");
        EXPECT_EQ(made.exitCode, 0) << made.err;
    }
};

TEST(CliFailingDisk, ATruncatedImageWarnsListsTheDamagedFileAndExitsOne) {
    Disk d;
    fs::resize_file(d.image, 2 * 1024 * 1024); // the slice ends at 4 MiB
    const auto ls = Cli("ls " + Quote(d.image) + " --volume 1 --json");
    EXPECT_EQ(ls.exitCode, 1);
    const json lj = json::parse(ls.out);
    EXPECT_EQ(lj.at("entries").size(), 2u); // the listing itself is whole
    ASSERT_FALSE(lj.at("warnings").empty());
    const json& w = lj.at("warnings")[0];
    EXPECT_EQ(w.at("kind"), "pastEnd");
    EXPECT_EQ(w.at("sector"), 4096);
    EXPECT_NE(w.at("message").get<std::string>().find("past the end"), std::string::npos);
    EXPECT_NE(ls.err.find("trevik-cli: warning: The volume reaches"), std::string::npos);

    const std::string to = d.dir.File("out");
    const auto r = Cli("recover " + Quote(d.image) + " --volume 1 --to " + Quote(to) + " --json");
    EXPECT_EQ(r.exitCode, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(j.at("incomplete"), json::array({"/big.bin"}));
    EXPECT_EQ(j.at("warnings")[0].at("kind"), "pastEnd");
    EXPECT_EQ(testing::Slurp(to + "/small.txt"), "small\n");
    EXPECT_EQ(fs::file_size(to + "/big.bin"), 3000000u);
}

TEST(CliFailingDisk, NamesOfInodesInGroupsPastTheEndAreWarnedOf) {
    // The sample disk cut 1200 sectors into its /export volume: the root folder is there,
    // the group holding /home's inode is not.
    TempDir dir;
    const std::string cut = dir.File("cut.img");
    fs::copy_file(TREVIK_SAMPLE_DISK, cut);
    fs::resize_file(cut, (32768 + 1200) * 512);
    const auto r = Cli("ls " + Quote(cut) + " --volume 2 -r --json");
    EXPECT_EQ(r.exitCode, 1);
    const json w = json::parse(r.out).at("warnings");
    ASSERT_EQ(w.size(), 2u) << r.out;
    EXPECT_EQ(w[0].at("kind"), "pastEnd");
    EXPECT_EQ(w[1].at("kind"), "unreadableInodes");
    EXPECT_EQ(w[1].at("names"), json::array({"/home"}));
    const auto inodes = w[1].at("inodes");
    EXPECT_LE(inodes[0].get<uint32_t>(), inodes[1].get<uint32_t>());
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);
}

TEST(CliFailingDisk, DamagedInodesAreMarkedListedAndNeverWritten) {
    using namespace imagebuilder;
    UfsParams p;
    p.sizeSectors = 16384;
    UfsVolume vol = BuildUfs(Dir("", {File("good.txt", "good\n"), File("bad.txt", "bad\n")}), p);
    const uint64_t at = vol.layout.InodeByteOffset(vol.Find("/bad.txt")->inode);
    for (int i = 8; i < 16; ++i)
        vol.bytes[at + i] = 0xFF; // a size of 18 446 744 073 709 551 615 bytes
    LabelSpec spec;
    spec.cylinders = 20;
    spec.slices = {{0, 2, 0, 0, 16384}};
    DiskImage disk(20 * 1024);
    disk.PutVolume(0, vol);
    disk.PutLabel(spec);
    TempDir dir;
    const std::string image = dir.File("disk.img");
    WriteFile(image, disk.bytes);

    const auto ls = Cli("ls " + Quote(image) + " --volume 1 --json");
    EXPECT_EQ(ls.exitCode, 0) << ls.err; // listing a damaged name loses nothing
    const json entries = json::parse(ls.out).at("entries");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_FALSE(entries[0].contains("damaged"));
    EXPECT_EQ(entries[1].at("name"), "bad.txt");
    EXPECT_EQ(entries[1].at("size"), 0);
    EXPECT_EQ(entries[1].at("damaged"), true);
    const auto text = Cli("ls " + Quote(image) + " --volume 1");
    EXPECT_NE(text.out.find("/bad.txt  [damaged]"), std::string::npos) << text.out;
    const auto find = Cli("find " + Quote(image) + " --volume 1 --json bad");
    EXPECT_EQ(json::parse(find.out).at("hits")[0].at("damaged"), true);

    const std::string to = dir.File("out");
    const auto r = Cli("recover " + Quote(image) + " --volume 1 --to " + Quote(to) + " --json");
    EXPECT_EQ(r.exitCode, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(j.at("damaged"), json::array({"/bad.txt"}));
    EXPECT_EQ(j.at("filesWritten"), 1);
    EXPECT_EQ(j.at("bytesWritten"), 5);
    EXPECT_FALSE(fs::exists(to + "/bad.txt"));
    EXPECT_NE(r.err.find("1 damaged item(s) not written"), std::string::npos);
}

TEST(CliFailingDisk, ARescueMapIsHonouredAndTheMapMetIsSaved) {
    Disk d;
    // ddrescue never got to the second MiB of the slice.
    const std::string map = d.dir.File("rescue.map");
    std::ofstream(map) << "0x0 ? 1\n0x0 0x180000 +\n0x180000 0x100000 ?\n0x280000 0x400000 +\n";
    const std::string saved = d.dir.File("saved.map");
    const std::string to = d.dir.File("out");
    const auto r =
        Cli("recover " + Quote(d.image) + " --volume 1 --badmap " + Quote(map) + " --save-badmap " +
            Quote(saved) + " --retries 1 --to " + Quote(to) + " --json");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(json::parse(r.out).at("incomplete"), json::array({"/big.bin"}));
    // The map written says exactly which sectors were bad: the ones the rescue lacked.
    if (testing::HaveProgram("ddrescuelog")) {
        const auto listed = RunCommand("ddrescuelog -b512 -l- " + Quote(saved));
        ASSERT_EQ(listed.exitCode, 0) << listed.err;
        std::string want;
        for (int s = 0x180000 / 512; s < 0x280000 / 512; ++s)
            want += std::to_string(s) + "\n";
        EXPECT_EQ(listed.out, want);
    }
    // A map that is no map is refused before anything is read.
    std::ofstream(d.dir.File("bad.map")) << "this is not a mapfile\n";
    const auto refused =
        Cli("ls " + Quote(d.image) + " --volume 1 --badmap " + Quote(d.dir.File("bad.map")));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("bad.map: line 1"), std::string::npos) << refused.err;
    // Read options are accepted by every command that reads, within the settings' ranges.
    EXPECT_EQ(
        Cli("info " + Quote(d.image) + " --volume 1 --retries 10 --sectors-per-read 1").exitCode,
        0);
    EXPECT_EQ(Cli("find " + Quote(d.image) + " --volume 1 --retries 11 x").exitCode, 2);
}

// A block device is read with O_DIRECT, in its own block size: what it gives must be what
// the image gives. (A loop device over the sample disk; root only, as CI runs.)
TEST(CliBlockDevice, ALoopDeviceReadsExactlyAsItsImage) {
    const auto attach = RunCommand("losetup -f --show -r " + Quote(TREVIK_SAMPLE_DISK));
    if (::geteuid() != 0 || attach.exitCode != 0)
        GTEST_SKIP() << "needs root and a free loop device";
    std::string dev = attach.out;
    dev.erase(dev.find_last_not_of('\n') + 1);
    struct Detach {
        std::string dev;
        ~Detach() { RunCommand("losetup -d " + Quote(dev)); }
    } detach{dev};
    const auto fromImage = Cli("ls " + Quote(TREVIK_SAMPLE_DISK) + " --volume 2 -r --json");
    const auto fromDevice = Cli("ls " + Quote(dev) + " --volume 2 -r --json");
    ASSERT_EQ(fromDevice.exitCode, 0) << fromDevice.err;
    EXPECT_EQ(fromDevice.out, fromImage.out);
    TempDir dir;
    const auto r = Cli("recover " + Quote(dev) + " --volume 2 --to " + Quote(dir.File("out")));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(testing::Slurp(dir.File("out/home/bob/notes.txt")),
              "TODO: back up the server before it dies.\n");
}

} // namespace
} // namespace trevik

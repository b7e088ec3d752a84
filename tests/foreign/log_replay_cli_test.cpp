// A crashed logging volume through trevik-cli and the FUSE mount: what they show with the
// log replayed is what The Sleuth Kit reads from the same volume with its log rolled, and
// info says which it was.

#include "disk_image.h"
#include "log_builder.h"
#include "support/test_support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unistd.h>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace imagebuilder;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

testing::CommandResult Cli(const std::string& args) {
    return testing::RunCli(TREVIK_CLI, args);
}

class LoggedVolume : public ::testing::Test {
protected:
    void SetUp() override {
        UfsParams p;
        p.sizeSectors = 20000;
        p.cylindersPerGroup = 8;
        const TreeNode before =
            Dir("", {File("a.txt", "alpha\n"), Dir("home", {File("old.txt", "old\n")})});
        TreeNode after = before;
        after.children[1].children.push_back(GeneratedFile("report.bin", 50000, 3));
        const UfsVolume built = BuildUfs(after, p);
        inode_ = built.Find("/home/report.bin")->inode;
        const CrashImages crash = MakeCrash(BuildUfs(before, p), built);
        LogSpec spec;
        spec.transactions = {{DeltasBetween(crash.stale, crash.rolled, crash.layout), true}};
        std::vector<uint8_t> logged = crash.stale;
        WriteLog(logged, crash, spec);
        std::vector<uint8_t> rolled = crash.rolled;
        LogSpec clean;
        clean.crashed = false;
        WriteLog(rolled, crash, clean);
        logged_ = dir_.File("logged.img");
        rolled_ = dir_.File("rolled.img");
        WriteFile(logged_, logged);
        WriteFile(rolled_, rolled);
        expected_.resize(50000);
        ExpectedContent(after.children[1].children[1], 0,
                        {reinterpret_cast<uint8_t*>(expected_.data()), expected_.size()});
    }

    TempDir dir_;
    std::string logged_, rolled_, expected_;
    uint32_t inode_ = 0;
};

TEST_F(LoggedVolume, InfoSaysWhatWasDoneWithTheLog) {
    const auto replayed = Cli("info " + Quote(logged_) + " --scan --volume 1 --json");
    ASSERT_EQ(replayed.exitCode, 0) << replayed.err;
    const json log = json::parse(replayed.out).at("log");
    EXPECT_EQ(log.at("state"), "replayed");
    EXPECT_EQ(log.at("transactions"), 1);
    EXPECT_GT(log.at("deltas").get<int>(), 0);
    EXPECT_GT(log.at("bytes").get<int>(), 0);
    EXPECT_FALSE(log.contains("reason"));
    const auto text = Cli("info " + Quote(logged_) + " --scan --volume 1");
    EXPECT_NE(text.out.find("UFS Log            UFS log replayed: 1 transaction(s)"),
              std::string::npos)
        << text.out;
    EXPECT_EQ(json::parse(Cli("info " + Quote(rolled_) + " --scan --volume 1 --json").out)
                  .at("log")
                  .at("state"),
              "rolled");
    const auto ignored = Cli("info " + Quote(logged_) + " --scan --volume 1 --log ignore --json");
    EXPECT_EQ(json::parse(ignored.out).at("log").at("state"), "ignored");
    EXPECT_EQ(json::parse(ignored.out).at("totalFiles"), 2);
    EXPECT_EQ(json::parse(replayed.out).at("totalFiles"), 3);
    EXPECT_EQ(Cli("info " + Quote(logged_) + " --scan --volume 1 --log sometimes").exitCode, 2);
}

TEST_F(LoggedVolume, TheReplayedVolumeIsWhatTheSleuthKitReadsFromTheRolledOne) {
    for (const char* tool : {"fls", "icat"})
        ASSERT_TRUE(testing::HaveProgram(tool)) << tool << ": run the README's test command";
    const auto ls = Cli("ls " + Quote(logged_) + " --scan --volume 1 -r --json");
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    std::set<std::string> ours;
    const json listing = json::parse(ls.out);
    for (const auto& e : listing.at("entries"))
        ours.insert(e.at("path").get<std::string>());
    const auto fls = RunCommand("fls -r -p -u -f ufs1 " + Quote(rolled_));
    ASSERT_EQ(fls.exitCode, 0) << fls.err;
    std::set<std::string> theirs;
    std::istringstream in(fls.out);
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos && line.find("$Orphan") == std::string::npos)
            theirs.insert("/" + line.substr(tab + 1));
    }
    EXPECT_EQ(ours, theirs);
    EXPECT_TRUE(ours.count("/home/report.bin"));
    // The same listing as the rolled volume's, and the file's bytes as icat reads them.
    EXPECT_EQ(Cli("ls " + Quote(rolled_) + " --scan --volume 1 -r --json").out, ls.out);
    const std::string out = dir_.File("out");
    const auto rec = Cli("recover " + Quote(logged_) + " --scan --volume 1 --to " + Quote(out));
    ASSERT_EQ(rec.exitCode, 0) << rec.err;
    const auto icat = RunCommand("icat -f ufs1 " + Quote(rolled_) + " " + std::to_string(inode_));
    EXPECT_TRUE(icat.out == expected_);
    EXPECT_TRUE(testing::Slurp(out + "/home/report.bin") == expected_);
    // Through the mount too.
    if (::access("/dev/fuse", R_OK | W_OK) == 0 && testing::HaveProgram("fusermount3")) {
        const std::string mnt = dir_.File("mnt");
        fs::create_directories(mnt);
        const auto m = RunCommand(std::string(TREVIK_CLI) + " mount " + Quote(logged_) +
                                  " --scan --volume 1 " + Quote(mnt));
        ASSERT_EQ(m.exitCode, 0) << m.err;
        EXPECT_TRUE(testing::Slurp(mnt + "/home/report.bin") == expected_);
        EXPECT_EQ(RunCommand("fusermount3 -u " + Quote(mnt)).exitCode, 0);
    }
}

TEST_F(LoggedVolume, ADamagedLogIsAWarningAndExitCodeOne) {
    std::vector<uint8_t> bytes(fs::file_size(logged_));
    std::ifstream(logged_, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    // The extent block's checksum no longer adds up.
    const uint32_t logbno = uint32_t{bytes[8192 + 1324]} << 24 |
                            uint32_t{bytes[8192 + 1325]} << 16 | uint32_t{bytes[8192 + 1326]} << 8 |
                            bytes[8192 + 1327];
    bytes[uint64_t{logbno} * 512 + 7] ^= 1;
    const std::string damaged = dir_.File("damaged.img");
    WriteFile(damaged, bytes);
    const auto r = Cli("info " + Quote(damaged) + " --scan --volume 1 --json");
    EXPECT_EQ(r.exitCode, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(j.at("log").at("state"), "damaged");
    EXPECT_EQ(j.at("log").at("reason"), "the extent block's checksum is wrong");
    ASSERT_EQ(j.at("warnings").size(), 1u);
    EXPECT_EQ(j.at("warnings")[0].at("kind"), "logDamaged");
    EXPECT_EQ(j.at("totalFiles"), 2); // the volume as it stands
    // The report says it too.
    const std::string report = dir_.File("r.xml");
    Cli("recover " + Quote(damaged) + " --scan --volume 1 --to " + Quote(dir_.File("o")) +
        " --report " + Quote(report));
    EXPECT_NE(testing::Slurp(report).find("<trevik:log state=\"damaged\""), std::string::npos);
}

} // namespace
} // namespace trevik

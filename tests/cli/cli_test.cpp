// trevik-cli as reviewers' scripts use it: names, fields and exit codes are a contract.

#include "support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::CommandResult;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

CommandResult Cli(const std::string& args) {
    return RunCommand(std::string(TREVIK_CLI) + " " + args);
}

const std::string kSample = TREVIK_SAMPLE_DISK;

TEST(CliDisks, ImagesAreListedAfterThePhysicalDisksWithEveryField) {
    const auto r = Cli("disks --image " + Quote(kSample) + " --json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json disks = json::parse(r.out).at("disks");
    ASSERT_FALSE(disks.empty());
    const json& last = disks.back();
    const size_t k = disks.size() - 1;
    EXPECT_EQ(last.at("index"), k);
    EXPECT_EQ(last.at("name"), "Storage Device" + std::to_string(k));
    EXPECT_EQ(last.at("path"), kSample);
    EXPECT_EQ(last.at("model"), "sample-disk.img");
    EXPECT_EQ(last.at("totalSectors"), fs::file_size(kSample) / 512);
    EXPECT_EQ(last.at("heads"), 255);
    EXPECT_EQ(last.at("sectorsPerTrack"), 63);
    EXPECT_EQ(last.at("cylinders"), fs::file_size(kSample) / 512 / (255 * 63));
    for (const auto& d : disks) {
        for (const char* field : {"index", "name", "path", "model", "cylinders", "heads",
                                  "sectorsPerTrack", "totalSectors"}) {
            EXPECT_TRUE(d.contains(field)) << field;
        }
    }
    const auto table = Cli("disks --image " + Quote(kSample));
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_NE(table.out.find("MB ( Approx )"), std::string::npos);
}

TEST(CliDisks, AMissingImageIsOneClearLine) {
    TempDir dir;
    const auto r = Cli("disks --image " + Quote(dir.File("gone.img")) + " --json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("gone.img"), std::string::npos);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

TEST(CliVolumes, LabelOfTheSampleDisk) {
    const auto r = Cli("volumes " + Quote(kSample) + " --json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json v = json::parse(r.out).at("volumes");
    ASSERT_EQ(v.size(), 2u);
    // The root slice at cylinder 0 is listed; the whole-disk backup slice is not.
    EXPECT_EQ(v[0], json::parse(R"({"index":1,"name":"Solaris Partition - 1","startSector":0,
                                    "sizeSectors":32768,"superblockSector":16})"));
    EXPECT_EQ(v[1].at("index"), 2);
    EXPECT_EQ(v[1].at("name"), "Solaris Partition - 2");
    EXPECT_EQ(v[1].at("startSector"), 32768);
    EXPECT_EQ(v[1].at("superblockSector"), 32784);
    // The JSON keeps the documented field order.
    EXPECT_EQ(r.out.find("{\"index\":1,\"name\":"), r.out.find("{\"index\""));
    const auto table = Cli("volumes " + Quote(kSample));
    EXPECT_NE(table.out.find("Solaris Partition - 2"), std::string::npos);
}

TEST(CliVolumes, ScanAgreesWithTheLabelAndHonoursTheRange) {
    const auto all =
        Cli("volumes " + Quote(kSample) + " --scan --sectors-per-read 100 --retries 1 --json");
    ASSERT_EQ(all.exitCode, 0) << all.err;
    EXPECT_TRUE(all.err.empty()); // no progress bar when stderr is no terminal
    const json v = json::parse(all.out).at("volumes");
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].at("startSector"), 0);
    EXPECT_EQ(v[1].at("startSector"), 32768);
    const auto part = Cli("volumes " + Quote(kSample) + " --scan --start 20000 --end 40000 --json");
    ASSERT_EQ(part.exitCode, 0) << part.err;
    const json p = json::parse(part.out).at("volumes");
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].at("name"), "Solaris Partition - 1");
    EXPECT_EQ(p[0].at("startSector"), 32768);
    // A range with nothing in it is a completed scan: an empty list and success.
    const auto none = Cli("volumes " + Quote(kSample) + " --scan --start 100 --end 200 --json");
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(json::parse(none.out).at("volumes").size(), 0u);
}

TEST(CliVolumes, BadDevicesFailWithOneLineAndNeverHang) {
    TempDir dir;
    const std::string empty = dir.File("empty.img");
    std::ofstream(empty).close();
    const std::string garbage = dir.File("garbage.img");
    {
        std::mt19937 rng(42);
        std::ofstream out(garbage, std::ios::binary);
        for (int i = 0; i < (1 << 20); ++i)
            out.put(static_cast<char>(rng()));
    }
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string args;
        std::string says;
    };
    const Case cases[] = {
        {Quote(dir.File("nope.img")), "No such file or directory"},
        {Quote(dir.Path().string()), "Is a directory"},
        {Quote(empty), "empty"},
        {Quote(empty) + " --scan", "empty"},
        {Quote(fifo), "not a disk image"},
        {Quote(garbage), "No Solaris Partition Found  !! "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = Cli("volumes " + c.args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.out.empty());
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    const auto scan = Cli("volumes " + Quote(garbage) + " --scan --json");
    EXPECT_EQ(scan.exitCode, 0) << scan.err;
    EXPECT_EQ(json::parse(scan.out).at("volumes").size(), 0u);
}

TEST(CliVolumes, AnUnreadableDeviceNamesThePathAndTheReason) {
    TempDir dir;
    const std::string img = dir.File("locked.img");
    fs::copy_file(kSample, img);
    ::chmod(img.c_str(), 0600);
    ::chmod(dir.Path().c_str(), 0755);
    // Root reads everything: drop to an unprivileged user for the run.
    const std::string prefix =
        ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    if (::geteuid() != 0)
        ::chmod(img.c_str(), 0);
    const auto r = RunCommand(prefix + TREVIK_CLI + " volumes " + Quote(img));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(img), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
}

TEST(CliUsage, MistakesExitWithTwo) {
    struct Case {
        std::string args;
        std::string says;
    };
    const Case cases[] = {
        {"", ""},
        {"frobnicate", ""},
        {"volumes", ""},
        {"volumes X --sectors-per-read 0", ""},
        {"volumes X --sectors-per-read 101", ""},
        {"volumes X --retries 11", ""},
        {"volumes X --start 5", ""},
        {"volumes " + Quote(kSample) + " --scan --start abc",
         "      Start sector value is not valid, It should be a positive number"},
        {"volumes " + Quote(kSample) + " --scan --end -5",
         "      End sector value is not valid, It should be a positive number"},
        {"volumes " + Quote(kSample) + " --scan --start 10 --end 10",
         "      End sector should be bigger than start sector"},
        {"volumes " + Quote(kSample) + " --scan --end 99999999999",
         "End sector value is not valid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = Cli(c.args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(Cli("--help").exitCode, 0);
}

} // namespace
} // namespace trevik

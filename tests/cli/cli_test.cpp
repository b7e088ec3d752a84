// trevik-cli as reviewers' scripts use it: names, fields and exit codes are a contract.

#include "support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
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
    return testing::RunCli(TREVIK_CLI, args);
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
    // The fields scripts know come first, in their order; what the label says follows.
    EXPECT_EQ(v[0].dump(), json::parse(R"({"index":1,"name":"Solaris Partition - 1","startSector":0,
                                    "sizeSectors":32768,"superblockSector":16,"label":"vtoc",
                                    "tag":"root","typeGuid":null,"mountable":true,
                                    "content":null})")
                               .dump());
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
        {Quote(garbage), "has no SPARC disk label; --scan looks for volumes"},
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
         "--end 99999999999 is past the end of the disk (it has 82944 sectors)"},
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

namespace trevik {
namespace {

using nlohmann::json;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;
namespace fs = std::filesystem;

const std::string kDisk = TREVIK_SAMPLE_DISK;

testing::CommandResult Cli2(const std::string& args) {
    return testing::RunCli(TREVIK_CLI, args);
}

TEST(CliMount, InfoGivesTheDriveInformationValues) {
    const auto r = Cli2("info " + Quote(kDisk) + " --volume 2 --json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j.at("volumeName"), "Solaris Partition - 2");
    EXPECT_EQ(j.at("volumeStart"), 32768);
    EXPECT_EQ(j.at("volumeSize"), 49152);
    EXPECT_EQ(j.at("blockSize"), 16);
    EXPECT_EQ(j.at("superBlockStart"), 32784);
    EXPECT_EQ(j.at("totalFiles"), 3);
    EXPECT_EQ(j.at("totalFolders"), 3);
    EXPECT_EQ(j.at("recoveryType"), "Normal");
    // Field order as documented.
    EXPECT_EQ(r.out.rfind("{\"volumeName\":", 0), 0u);
    const auto ext = Cli2("info " + Quote(kDisk) + " --volume 2 --mode extensive --json");
    EXPECT_EQ(json::parse(ext.out).at("recoveryType"), "Extensive");
    EXPECT_EQ(json::parse(ext.out).at("totalFolders"), 4); // and LostDir
}

TEST(CliMount, LsListsDepthFirstWithEveryField) {
    const auto r = Cli2("ls " + Quote(kDisk) + " --volume 2 -r --json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json entries = json::parse(r.out).at("entries");
    std::vector<std::string> paths;
    for (const auto& e : entries)
        paths.push_back(e.at("path"));
    EXPECT_EQ(paths, (std::vector<std::string>{"/home", "/home/alice", "/home/alice/latest",
                                               "/home/alice/report.txt", "/home/bob",
                                               "/home/bob/notes.txt"}));
    const json& report = entries[3];
    EXPECT_EQ(report.at("pathHex"), "2f686f6d652f616c6963652f7265706f72742e747874");
    EXPECT_EQ(report.at("name"), "report.txt");
    EXPECT_EQ(report.at("type"), "file");
    EXPECT_EQ(report.at("size"), 32);
    EXPECT_EQ(report.at("parentInode"), entries[1].at("inode"));
    EXPECT_GT(report.at("mtime").get<int64_t>(), 0);
    EXPECT_EQ(report.at("date").get<std::string>().size(), 11u);
    EXPECT_EQ(report.at("time").get<std::string>().size(), 8u);
    EXPECT_EQ(entries[0].at("type"), "folder");
    const auto ordered = nlohmann::ordered_json::parse(r.out).at("entries")[3];
    std::vector<std::string> keys;
    for (auto it = ordered.begin(); it != ordered.end(); ++it)
        keys.push_back(it.key());
    // The documented fields in their order, then those added since ("found").
    EXPECT_EQ(keys,
              (std::vector<std::string>{"path", "pathHex", "name", "type", "inode", "parentInode",
                                        "size", "mtime", "date", "time", "found"}));
    EXPECT_EQ(report.at("found"), "walk");
    // One folder, without -r; a file by its path; a path that is not there.
    const auto one = Cli2("ls " + Quote(kDisk) + " --volume 2 --json /home/alice");
    EXPECT_EQ(json::parse(one.out).at("entries").size(), 2u);
    const auto file = Cli2("ls " + Quote(kDisk) + " --volume 2 --json /home/bob/notes.txt");
    EXPECT_EQ(json::parse(file.out).at("entries")[0].at("size"), 41);
    const auto none = Cli2("ls " + Quote(kDisk) + " --volume 2 /home/carol");
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("/home/carol"), std::string::npos);
}

TEST(CliMount, FindGivesUpperCaseNamesAndBackslashPaths) {
    const auto r = Cli2("find " + Quote(kDisk) + " --volume 2 --json '*.txt'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json hits = json::parse(r.out).at("hits");
    ASSERT_EQ(hits.size(), 2u);
    // The window's fields first, as they always were; then what ls shows.
    EXPECT_EQ(nlohmann::ordered_json::parse(r.out).at("hits")[0].dump(),
              R"({"name":"REPORT.TXT","path":"\\home\\alice","size":32,)"
              R"("fullPath":"/home/alice/report.txt","pathHex":")" +
                  std::string("2f686f6d652f616c6963652f7265706f72742e747874") + R"("})");
    EXPECT_EQ(hits[1].at("path"), "\\home\\bob");
    const auto root = Cli2("find " + Quote(kDisk) + " --volume 1 --json passwd");
    EXPECT_EQ(json::parse(root.out).at("hits")[0].at("path"), "\\etc");
}

TEST(CliMount, RecoverWritesEverythingAndReportsIt) {
    TempDir out;
    const std::string to = out.File("new/dir");
    const auto r = Cli2("recover " + Quote(kDisk) + " --volume 2 --to " + Quote(to) + " --json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // Fields keep their order; new ones come after them.
    EXPECT_EQ(
        nlohmann::ordered_json::parse(r.out).dump(),
        R"({"filesWritten":3,"bytesWritten":73,"foldersCreated":3,"skipped":0,"incomplete":[],)"
        R"("warnings":[],"damaged":[],"renamed":[],"skippedItems":[],"stopped":false})");
    EXPECT_EQ(testing::Slurp(to + "/home/bob/notes.txt"),
              "TODO: back up the server before it dies.\n");
    EXPECT_EQ(fs::read_symlink(to + "/home/alice/latest"), "report.txt");
    // Again: what the destination holds meets the duplicate policy.
    const auto again =
        Cli2("recover " + Quote(kDisk) + " --volume 2 --to " + Quote(to) + " --json");
    const json skippedAgain = json::parse(again.out);
    EXPECT_EQ(skippedAgain.at("skipped"), 3);
    ASSERT_EQ(skippedAgain.at("skippedItems").size(), 3u);
    EXPECT_EQ(
        skippedAgain.at("skippedItems")[0],
        json::parse(R"({"path":"/home/alice/latest","reason":"already in the destination"})"));
    const auto renamed = Cli2("recover " + Quote(kDisk) + " --volume 2 --to " + Quote(to) +
                              " --duplicates rename --json /home/bob/notes.txt");
    EXPECT_EQ(json::parse(renamed.out).at("filesWritten"), 1);
    EXPECT_TRUE(fs::exists(to + "/notes (1).txt") || fs::exists(to + "/notes.txt"));
}

TEST(CliMount, FailuresAreOneClearLine) {
    TempDir out;
    struct Case {
        std::string args;
        int exit;
        std::string says;
    };
    const Case cases[] = {
        {"ls " + Quote(kDisk) + " --volume 9", 1, "no volume 9"},
        {"ls " + Quote(kDisk), 2, "--volume"},
        {"ls " + Quote(kDisk) + " --volume 1 --mode deep", 2, "deep"},
        {"recover " + Quote(kDisk) + " --volume 1 --to " + Quote(out.File("x")) + " /nope", 1,
         "no such path"},
        {"recover " + Quote(kDisk) + " --volume 1", 2, "--to"},
        {"info " + Quote(out.File("missing.img")) + " --volume 1", 1, "No such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = Cli2(c.args);
        EXPECT_EQ(r.exitCode, c.exit);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    // A destination the user may not write to.
    if (::geteuid() == 0) {
        const std::string locked = out.File("locked");
        fs::create_directory(locked);
        ::chmod(out.Path().c_str(), 0755);
        ::chmod(locked.c_str(), 0755);
        const auto r = RunCommand("setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                  std::string(TREVIK_CLI) + " recover " + Quote(kDisk) +
                                  " --volume 2 --to " + Quote(locked));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
    }
}

} // namespace
} // namespace trevik

namespace trevik {
namespace {

using testing::Quote;
using testing::RunCommand;
using testing::TempDir;
namespace fs = std::filesystem;

// Every command the CLI has, on one image, recovering into `out`.
std::vector<std::string> WholeFlow(const std::string& image, const std::string& out) {
    const std::string cli = TREVIK_CLI;
    return {cli + " disks --image " + Quote(image),
            cli + " volumes " + Quote(image),
            cli + " volumes " + Quote(image) + " --scan",
            cli + " info " + Quote(image) + " --volume 2 --mode extensive",
            cli + " ls " + Quote(image) + " --volume 1 -r",
            cli + " find " + Quote(image) + " --volume 2 txt",
            cli + " recover " + Quote(image) + " --volume 2 --to " + Quote(out)};
}

TEST(NeverWrites, TheWholeFlowWorksOnAnImageNobodyMayWrite) {
    TempDir dir;
    const bool root = ::geteuid() == 0;
    ::chmod(dir.Path().c_str(), 0755);
    const std::string image = dir.File("readonly.img");
    fs::copy_file(TREVIK_SAMPLE_DISK, image);
    ::chmod(image.c_str(), 0444);
    const std::string out = dir.File("out");
    fs::create_directory(out);
    if (root)
        ::chown(out.c_str(), 65534, 65534);
    // Without privileges a mode-0444 image cannot be opened for writing at all: any attempt
    // would fail the command. Root reads everything, so it drops to an unprivileged user.
    const std::string prefix = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    for (const auto& command : WholeFlow(image, out)) {
        SCOPED_TRACE(command);
        const auto r = RunCommand(prefix + command);
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_TRUE(fs::exists(out + "/home/bob/notes.txt"));
}

TEST(NeverWrites, NoCommandOpensTheImageForWriting) {
    ASSERT_TRUE(testing::HaveProgram("strace"))
        << "strace is needed: run the README's test command";
    TempDir dir;
    const std::string image = dir.File("watched.img");
    fs::copy_file(TREVIK_SAMPLE_DISK, image);
    const auto before = testing::Slurp(image);
    for (const auto& command : WholeFlow(image, dir.File("out"))) {
        SCOPED_TRACE(command);
        const std::string log = dir.File("trace");
        // LeakSanitizer cannot run under ptrace: the sanitizer build keeps its other checks.
        const auto r = RunCommand("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e "
                                  "trace=open,openat,openat2,creat,truncate -o " +
                                  Quote(log) + " " + command);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::istringstream in(testing::Slurp(log));
        std::string line;
        size_t opens = 0;
        while (std::getline(in, line)) {
            if (line.find("watched.img") == std::string::npos)
                continue;
            ++opens;
            EXPECT_NE(line.find("O_RDONLY"), std::string::npos) << line;
            for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND"}) {
                EXPECT_EQ(line.find(flag), std::string::npos) << line;
            }
            EXPECT_EQ(line.find("truncate("), std::string::npos) << line;
        }
        EXPECT_GT(opens, 0u);
    }
    EXPECT_TRUE(testing::Slurp(image) == before);
}

} // namespace
} // namespace trevik

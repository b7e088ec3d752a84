// trevik-cli copying out and listing on a real process: stop signals mid-file, names that
// try to forge output or drive the terminal, trees deep enough to exhaust memory.

#include "support/test_support.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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

// A labelled disk holding one volume built from `tree`.
void WriteDisk(const std::string& path, const TreeNode& tree, UfsParams p) {
    const uint32_t cylinderSectors = 16 * 64;
    const uint32_t cylinders = (p.sizeSectors + cylinderSectors - 1) / cylinderSectors;
    p.sizeSectors = cylinders * cylinderSectors;
    DiskImage disk(uint64_t{cylinders + 1} * cylinderSectors);
    {
        const UfsVolume vol = BuildUfs(tree, p);
        disk.PutVolume(0, vol);
    }
    LabelSpec spec;
    spec.cylinders = cylinders + 1;
    spec.slices = {{0, 2, 0, 0, p.sizeSectors}};
    disk.PutLabel(spec);
    disk.WriteTo(path);
}

constexpr uint64_t kBigSize = 128ull << 20;

// One big file between two small ones, so a signal can land in the middle of it.
struct BigDisk {
    TempDir dir;
    std::string image = dir.File("big.img");
    BigDisk() {
        UfsParams p;
        p.fragmentSize = 8192;
        p.sizeSectors = static_cast<uint32_t>((kBigSize >> 9) + 40000);
        WriteDisk(image,
                  Dir("", {File("a.txt", "first\n"), GeneratedFile("big.bin", kBigSize, 21),
                           File("z.txt", "last\n")}),
                  p);
    }
};

BigDisk& SharedBigDisk() {
    static BigDisk disk;
    return disk;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (out + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Starts a copy of the big disk into `to` and stops the process (SIGSTOP) as soon as the
// temporary of big.bin appears (a.txt is in place by then): the whole copy of big.bin is
// the margin the watch has. Returns the pid, or -1 when the copy outran the watch.
pid_t StartAndFreezeMidFile(const std::string& to, const std::string& out,
                            const std::string& image = SharedBigDisk().image) {
    fs::create_directories(to);
    const int watch = ::inotify_init1(IN_CLOEXEC);
    EXPECT_GE(::inotify_add_watch(watch, to.c_str(), IN_CREATE | IN_MOVED_TO), 0);
    const pid_t pid =
        Spawn({TREVIK_CLI, "recover", image, "--volume", "1", "--to", to, "--json"}, out);
    alignas(inotify_event) char buf[4096];
    bool firstInPlace = false;
    bool frozen = false;
    bool tooLate = false;
    while (!frozen && !tooLate) {
        struct pollfd p {
            watch, POLLIN, 0
        };
        if (::poll(&p, 1, 200) <= 0) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return -1; // it ended without the watch seeing big.bin begin
            continue;
        }
        const ssize_t n = ::read(watch, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n && !frozen && !tooLate;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            const std::string name = e->len > 0 ? e->name : "";
            if ((e->mask & IN_MOVED_TO) != 0 && name == "a.txt") {
                firstInPlace = true;
            } else if ((e->mask & IN_CREATE) != 0 && firstInPlace &&
                       name.rfind(".trevik-partial-", 0) == 0) {
                ::kill(pid, SIGSTOP);
                frozen = true;
            } else if ((e->mask & IN_MOVED_TO) != 0 && name != "a.txt") {
                tooLate = true; // big.bin is whole already
            }
        }
    }
    ::close(watch);
    bool partial = false;
    for (const auto& e : fs::directory_iterator(to))
        partial = partial || e.path().filename().string().rfind(".trevik-partial-", 0) == 0;
    if (!partial) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> Listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool HoldsTheBigFile(const std::string& path) {
    if (fs::file_size(path) != kBigSize)
        return false;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> got(1 << 20), want(1 << 20);
    for (uint64_t at = 0; at < kBigSize; at += got.size()) {
        in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size()));
        FillGenerated(21, at, want);
        if (got != want)
            return false;
    }
    return true;
}

TEST(CliInterrupt, AStopSignalMidFileLeavesOnlyWholeFilesAndExitsWithItsCode) {
    TempDir dir;
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        const std::string to = dir.File("to" + std::to_string(sig));
        const std::string out = dir.File("out" + std::to_string(sig));
        const pid_t pid = StartAndFreezeMidFile(to, out);
        ASSERT_GT(pid, 0) << "the copy finished before it could be interrupted";
        ::kill(pid, sig);
        ::kill(pid, SIGCONT);
        EXPECT_EQ(Wait(pid), 128 + sig);
        // The file written before is whole; the one in the middle is nowhere, under its
        // name or a temporary; nothing after it was started.
        EXPECT_EQ(Listing(to), std::vector<std::string>{"a.txt"}) << sig;
        EXPECT_EQ(testing::Slurp(to + "/a.txt"), "first\n");
        const json summary = json::parse(testing::Slurp(out));
        EXPECT_EQ(summary.at("stopped"), true);
        EXPECT_EQ(summary.at("filesWritten"), 1);
    }
}

TEST(CliInterrupt, AnImageCutShortUnderTheCopyEndsAsUnreadableSectorsNotACrash) {
    TempDir dir;
    const std::string image = dir.File("shrinking.img");
    fs::copy_file(SharedBigDisk().image, image);
    const std::string to = dir.File("to");
    const std::string out = dir.File("out");
    const pid_t pid = StartAndFreezeMidFile(to, out, image);
    ASSERT_GT(pid, 0) << "the copy finished before the image could be cut";
    fs::resize_file(image, 32u << 20); // big.bin runs on far past this
    ::kill(pid, SIGCONT);
    EXPECT_EQ(Wait(pid), 1); // not a signal: the reads past the new end simply fail
    const json summary = json::parse(testing::Slurp(out));
    EXPECT_EQ(summary.at("stopped"), false);
    const auto incomplete = summary.at("incomplete").get<std::vector<std::string>>();
    EXPECT_NE(std::find(incomplete.begin(), incomplete.end(), "/big.bin"), incomplete.end());
    // At the size the disk gives, every block either the disk's bytes or zeros where they
    // could not be read: the start (read before the cut) and the end (past it) included.
    ASSERT_EQ(fs::file_size(to + "/big.bin"), kBigSize);
    std::ifstream in(to + "/big.bin", std::ios::binary);
    std::vector<uint8_t> got(8192), want(8192);
    const std::vector<uint8_t> zeros(8192, 0);
    size_t data = 0, lost = 0;
    bool firstIsData = false, lastIsZero = false;
    for (uint64_t at = 0; at < kBigSize; at += got.size()) {
        ASSERT_TRUE(
            in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size())));
        FillGenerated(21, at, want);
        ASSERT_TRUE(got == want || got == zeros) << "garbage at " << at;
        (got == want ? data : lost) += 1;
        if (at == 0)
            firstIsData = got == want;
        lastIsZero = got == zeros;
    }
    EXPECT_TRUE(firstIsData);
    EXPECT_TRUE(lastIsZero);
    EXPECT_GT(lost, data);
    EXPECT_NE(testing::Slurp(out + ".err").find("incomplete"), std::string::npos);
}

TEST(CliInterrupt, AKilledRunLeavesOnlyATemporaryThatTheNextRunRemoves) {
    TempDir dir;
    const std::string to = dir.File("to");
    const pid_t pid = StartAndFreezeMidFile(to, dir.File("out"));
    ASSERT_GT(pid, 0) << "the copy finished before it could be interrupted";
    ::kill(pid, SIGKILL);
    EXPECT_EQ(Wait(pid), 128 + SIGKILL);
    const auto names = Listing(to);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].rfind(".trevik-partial-" + std::to_string(pid) + "-", 0), 0u);
    EXPECT_EQ(names[1], "a.txt");
    // Run again with the default policy: what is whole is kept, the rest is written.
    const auto again = Cli("recover " + Quote(SharedBigDisk().image) + " --volume 1 --to " +
                           Quote(to) + " --json");
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(json::parse(again.out).at("skipped"), 1);
    EXPECT_EQ(Listing(to), (std::vector<std::string>{"a.txt", "big.bin", "z.txt"}));
    EXPECT_TRUE(HoldsTheBigFile(to + "/big.bin"));
}

// Names that would forge a listing line or reach the terminal as control sequences.
TEST(CliNames, TextOutputEscapesWhatTheDiskSaysAndJsonStaysValid) {
    TempDir dir;
    const std::string image = dir.File("names.img");
    const std::string forged = "evil\nfile          999 01-Jan-2000 00:00:00  /forged";
    UfsParams p;
    p.sizeSectors = 8192;
    WriteDisk(image,
              Dir("", {File(forged, "x"), File("\x1b]0;owned\x07\x1b[31mred", "y"),
                       File("back\\slash", "z"),
                       File("c1-\x9b"
                            "2J",
                            "w")}),
              p);
    const auto ls = Cli("ls " + Quote(image) + " --volume 1");
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    EXPECT_EQ(std::count(ls.out.begin(), ls.out.end(), '\n'), 4);
    EXPECT_EQ(ls.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(ls.out.find('\x07'), std::string::npos);
    EXPECT_EQ(ls.out.find("\xC2\x9B"), std::string::npos);
    EXPECT_NE(ls.out.find("/evil\\nfile          999"), std::string::npos);
    EXPECT_NE(ls.out.find("/\\x1b]0;owned\\x07\\x1b[31mred"), std::string::npos);
    EXPECT_NE(ls.out.find("/back\\\\slash"), std::string::npos);
    EXPECT_NE(ls.out.find("/c1-\\x9b2J"), std::string::npos);

    const auto find = Cli("find " + Quote(image) + " --volume 1 '*'");
    EXPECT_EQ(std::count(find.out.begin(), find.out.end(), '\n'), 4);
    EXPECT_EQ(find.out.find('\x1b'), std::string::npos);

    // JSON gives the names as shown, exactly, and the disk's bytes in pathHex.
    const auto lsJson = Cli("ls " + Quote(image) + " --volume 1 --json");
    const json entries = json::parse(lsJson.out).at("entries");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].at("name"), forged) << lsJson.out;
    EXPECT_EQ(entries[3].at("name"), "c1-\xC2\x9B"
                                     "2J");
    EXPECT_EQ(entries[3].at("pathHex"), "2f63312d9b324a");
    const auto findJson = Cli("find " + Quote(image) + " --volume 1 --json 'C1*'");
    const json hit = json::parse(findJson.out).at("hits").at(0);
    EXPECT_EQ(hit.at("fullPath"), "/c1-\xC2\x9B"
                                  "2J");
    EXPECT_EQ(hit.at("pathHex"), "2f63312d9b324a");

    // The copy's own report is escaped too.
    const auto rec = Cli("recover " + Quote(image) + " --volume 1 --to " + Quote(dir.File("out")));
    ASSERT_EQ(rec.exitCode, 0) << rec.err;
    EXPECT_EQ(rec.out.find('\x1b'), std::string::npos);
    EXPECT_NE(rec.out.find("Renamed          /evil\\nfile          999 01-Jan-2000 00:00:00  "
                           "/forged -> evil\\nfile          999 01-Jan-2000 00:00:00  _forged"),
              std::string::npos)
        << rec.out;
    EXPECT_EQ(testing::Slurp(dir.File("out/evil\nfile          999 01-Jan-2000 00:00:00  _forged")),
              "x");
}

TEST(CliNames, RawNamesKeepsTheDisksBytes) {
    TempDir dir;
    const std::string image = dir.File("latin.img");
    UfsParams p;
    p.sizeSectors = 8192;
    WriteDisk(image, Dir("", {File("caf\xE9.txt", "latin")}), p);
    ASSERT_EQ(
        Cli("recover " + Quote(image) + " --volume 1 --to " + Quote(dir.File("shown"))).exitCode,
        0);
    EXPECT_EQ(testing::Slurp(dir.File("shown/caf\xC3\xA9.txt")), "latin");
    const auto raw = Cli("recover " + Quote(image) + " --volume 1 --raw-names --json --to " +
                         Quote(dir.File("raw")));
    ASSERT_EQ(raw.exitCode, 0) << raw.err;
    EXPECT_EQ(json::parse(raw.out).at("renamed").size(), 0u);
    EXPECT_EQ(testing::Slurp(dir.File("raw/caf\xE9.txt")), "latin");
}

// An entry whose name holds '/' is named on the command line by the path ls prints.
TEST(CliNames, ANameHoldingASlashIsFoundByThePathListed) {
    TempDir dir;
    const std::string image = dir.File("slash.img");
    UfsParams p;
    p.sizeSectors = 8192;
    WriteDisk(image,
              Dir("", {Dir("a", {Dir("b", {})}), Dir("a/b", {File("c", "deep")}),
                       File("x/y", "slashed")}),
              p);
    const auto ls = Cli("ls " + Quote(image) + " --volume 1 -r --json");
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    const json all = json::parse(ls.out).at("entries");
    auto at = [&](const std::string& path) {
        return std::find_if(all.begin(), all.end(),
                            [&](const json& e) { return e.at("path") == path; });
    };
    ASSERT_NE(at("/x/y"), all.end()) << ls.out;
    ASSERT_NE(at("/a/b/c"), all.end()) << ls.out;

    const auto one = Cli("ls " + Quote(image) + " --volume 1 --json /x/y");
    ASSERT_EQ(one.exitCode, 0) << one.err;
    const json entries = json::parse(one.out).at("entries");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].at("name"), "x/y");
    // "/a/b" reads as a folder "b" in "a" first; "c" is only in "a/b".
    const auto deep = Cli("ls " + Quote(image) + " --volume 1 --json /a/b/c");
    ASSERT_EQ(deep.exitCode, 0) << deep.err;
    EXPECT_EQ(json::parse(deep.out).at("entries").at(0).at("inode"), at("/a/b/c")->at("inode"));

    const auto rec = Cli("recover " + Quote(image) + " --volume 1 --to " + Quote(dir.File("out")) +
                         " /x/y /a/b/c");
    ASSERT_EQ(rec.exitCode, 0) << rec.err;
    EXPECT_EQ(testing::Slurp(dir.File("out/x_y")), "slashed");
    EXPECT_EQ(testing::Slurp(dir.File("out/c")), "deep");
    EXPECT_NE(Cli("ls " + Quote(image) + " --volume 1 /a/b/d").exitCode, 0);
}

// A chain of folders 20 000 deep: listing it prints some 400 MB of paths, and must not
// hold them.
TEST(CliListing, ADeepChainIsListedInBoundedMemory) {
    if (TREVIK_SANITIZED)
        GTEST_SKIP() << "a sanitized build reserves more address space than the limit";
    constexpr int kDepth = 20000;
    TempDir dir;
    const std::string image = dir.File("deep.img");
    {
        TreeNode chain = Dir("d", {File("leaf", "end")});
        for (int i = 1; i < kDepth; ++i) {
            TreeNode parent = Dir("d");
            parent.children.push_back(std::move(chain));
            chain = std::move(parent);
        }
        UfsParams p;
        p.sizeSectors = 120000;
        p.fragmentSize = 512;
        p.blockSize = 4096;
        TreeNode root = Dir("");
        root.children.push_back(std::move(chain));
        WriteDisk(image, root, p);
        // Taken apart from the bottom: the nesting is deeper than a recursive destructor
        // should go.
        std::vector<TreeNode> parts;
        parts.push_back(std::move(root));
        while (!parts.back().children.empty()) {
            TreeNode child = std::move(parts.back().children.back());
            parts.back().children.clear();
            parts.push_back(std::move(child));
        }
    }
    // 256 MiB of address space: the whole list of paths would need several times more.
    const auto r = RunCommand("bash -c " + Quote("set -o pipefail; ulimit -v 262144; " +
                                                 std::string(TREVIK_CLI) + " ls " + Quote(image) +
                                                 " --volume 1 -r | wc -l"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream counts(r.out);
    size_t lines = 0;
    counts >> lines;
    EXPECT_EQ(lines, size_t{kDepth} + 1);
}

TEST(CliScanRange, EveryCommandWithScanTakesStartAndEnd) {
    const std::string disk = TREVIK_SAMPLE_DISK;
    // Volume 2 of the sample disk starts at sector 32768: a scan from there finds it first.
    const auto ls = Cli("ls " + Quote(disk) + " --volume 1 --scan --start 32768 --json");
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    const auto label = Cli("ls " + Quote(disk) + " --volume 2 --json");
    EXPECT_EQ(json::parse(ls.out).at("entries"), json::parse(label.out).at("entries"));
    const auto bad = Cli("recover " + Quote(disk) + " --volume 1 --scan --start 9 --end 3 --to " +
                         Quote(TempDir().File("x")));
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("End sector should be bigger than start sector"), std::string::npos);
    const auto word = Cli("info " + Quote(disk) + " --volume 1 --scan --start ten");
    EXPECT_EQ(word.exitCode, 2);
    EXPECT_NE(word.err.find("Start sector value is not valid"), std::string::npos);
    const auto noScan = Cli("find " + Quote(disk) + " --volume 1 --start 5 x");
    EXPECT_EQ(noScan.exitCode, 2);
}

} // namespace
} // namespace trevik

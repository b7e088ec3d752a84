// trevik-cli mount: a NetBSD makefs volume shown read-only through FUSE, compared with what
// recover writes, with writes refused, unreadable ranges failing, hard links sharing an
// inode number, and an unmount that works whatever became of the image.

#include "disk_image.h"
#include "format/big_endian.h"
#include "format/ufs_format.h"
#include "support/test_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace trevik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::Must;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

bool FuseUsable() {
    return ::access("/dev/fuse", R_OK | W_OK) == 0 && testing::HaveProgram("fusermount3");
}

// A mount that is undone however the test ends.
struct Mount {
    std::string point;
    bool mounted = false;
    Mount(const std::string& image, const std::string& at, const std::string& extra = "")
        : point(at) {
        fs::create_directories(point);
        const auto r = RunCommand(std::string(TREVIK_CLI) + " mount " + Quote(image) +
                                  " --scan --volume 1 " + extra + " " + Quote(point));
        mounted = r.exitCode == 0;
        EXPECT_TRUE(mounted) << r.err;
    }
    bool Unmount() {
        if (!mounted)
            return true;
        mounted = RunCommand("fusermount3 -u " + Quote(point)).exitCode != 0;
        return !mounted;
    }
    ~Mount() {
        if (mounted)
            RunCommand("fusermount3 -uz " + Quote(point));
    }
};

class FuseMount : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FuseUsable())
            GTEST_SKIP() << "needs /dev/fuse and fusermount3 (the CI machine has both)";
        ASSERT_TRUE(testing::HaveProgram("makefs")) << "run the README's test command";
        const fs::path tree = dir_.Path() / "tree";
        fs::create_directories(tree / "docs" / "deep");
        std::ofstream(tree / "a.txt") << "alpha\n";
        std::ofstream(tree / "empty");
        std::ofstream(tree / "docs" / "deep" / "leaf.txt") << "leaf\n";
        std::ofstream(tree / "caf\xC3\xA9.txt") << "utf-8 name\n";
        {
            std::ofstream big(tree / "docs" / "big.bin", std::ios::binary);
            for (int i = 0; i < 2'000'000; ++i)
                big.put(static_cast<char>(i * 13 + i / 8192));
        }
        fs::create_hard_link(tree / "a.txt", tree / "docs" / "a-again.txt");
        fs::create_symlink("../a.txt", tree / "docs" / "link");
        image_ = dir_.File("v.img");
        Must("makefs -t ffs -B be -o version=1,bsize=8192,fsize=1024 -s 8m " + Quote(image_) + " " +
             Quote(tree.string()));
    }

    TempDir dir_;
    std::string image_;
};

TEST_F(FuseMount, TheMountedTreeIsWhatRecoverWritesAndWritesFailWithErofs) {
    const std::string out = dir_.File("out");
    const auto rec = RunCommand(std::string(TREVIK_CLI) + " recover " + Quote(image_) +
                                " --scan --volume 1 --to " + Quote(out));
    ASSERT_EQ(rec.exitCode, 0) << rec.err;
    Mount m(image_, dir_.File("mnt"));
    ASSERT_TRUE(m.mounted);
    // Same names, bytes and link targets (diff compares links, never follows them).
    const auto diff = RunCommand("diff -r --no-dereference " + Quote(out) + " " + Quote(m.point));
    EXPECT_EQ(diff.exitCode, 0) << diff.out << diff.err;
    // Same modification times and modes, item by item.
    // (Folders: their own sizes are the host's business; the destination's top folder is
    // not the volume's root.)
    const std::string listing = "find . -mindepth 1 \\( -type d -printf '%p d %m %T@\\n' \\) -o "
                                "\\( ! -type d -printf '%p %y %m %T@ %s %l\\n' \\) | sort";
    EXPECT_EQ(Must("cd " + Quote(m.point) + " && " + listing),
              Must("cd " + Quote(out) + " && " + listing));
    // Hard links: one inode number, two links.
    struct stat a {
    }, b{};
    ASSERT_EQ(::stat((m.point + "/a.txt").c_str(), &a), 0);
    ASSERT_EQ(::stat((m.point + "/docs/a-again.txt").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
    // Read-only, whatever is tried.
    errno = 0;
    EXPECT_LT(::open((m.point + "/new").c_str(), O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_EQ(errno, EROFS);
    errno = 0;
    EXPECT_LT(::open((m.point + "/a.txt").c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, EROFS);
    errno = 0;
    EXPECT_NE(::unlink((m.point + "/a.txt").c_str()), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(::mkdir((m.point + "/d").c_str(), 0755), 0);
    // statfs is the volume's.
    const std::string df = Must("stat -f -c '%S %b' " + Quote(m.point));
    EXPECT_EQ(df, "1024 8192\n");
    EXPECT_TRUE(m.Unmount());
}

// A volume's set-ID programs and sticky folders are shown with the modes a copy gives them
// (the bits only when asked), and the mount never honours them, whoever mounts it.
TEST_F(FuseMount, SetIdBitsAreShownAsACopyGivesThemAndNeverHonoured) {
    const fs::path tree = dir_.Path() / "setid";
    fs::create_directories(tree / "shared");
    std::ofstream(tree / "su") << "#!/bin/sh\nid -u\n";
    fs::permissions(tree / "su", static_cast<fs::perms>(04755));
    fs::permissions(tree / "shared", static_cast<fs::perms>(01777));
    const std::string image = dir_.File("setid.img");
    Must("makefs -t ffs -B be -o version=1,bsize=8192,fsize=1024 -s 4m " + Quote(image) + " " +
         Quote(tree.string()));
    const std::string modes = "find . -mindepth 1 -printf '%p %m\n' | sort";
    for (const std::string keep : {"", " --keep-setid"}) {
        const std::string out = dir_.File("setid-out" + std::to_string(keep.size()));
        const auto rec = RunCommand(std::string(TREVIK_CLI) + " recover " + Quote(image) +
                                    " --scan --volume 1 --to " + Quote(out) + keep);
        ASSERT_EQ(rec.exitCode, 0) << rec.err;
        Mount m(image, dir_.File("setid-mnt" + std::to_string(keep.size())), keep);
        ASSERT_TRUE(m.mounted);
        const std::string shown = Must("cd " + Quote(m.point) + " && " + modes);
        if (::geteuid() == 0) { // a copy keeps the bits only for root
            EXPECT_EQ(shown, Must("cd " + Quote(out) + " && " + modes));
        }
        EXPECT_EQ(shown, keep.empty() ? "./shared 777\n./su 755\n" : "./shared 1777\n./su 4755\n");
        // Mounted so that nothing of it runs set-ID or opens as a device.
        std::ifstream mounts("/proc/self/mounts");
        std::string line;
        bool found = false;
        while (std::getline(mounts, line)) {
            if (line.find(" " + m.point + " ") == std::string::npos)
                continue;
            found = true;
            EXPECT_NE(line.find("nosuid"), std::string::npos) << line;
            EXPECT_NE(line.find("nodev"), std::string::npos) << line;
        }
        EXPECT_TRUE(found);
        EXPECT_TRUE(m.Unmount());
    }
}

TEST_F(FuseMount, AReadOverAnUnreadableRangeFailsWithEioOrReadsZerosWhenAsked) {
    // A ddrescue map marking 8 sectors of big.bin's data bad.
    const auto report = dir_.File("r.xml");
    ASSERT_EQ(RunCommand(std::string(TREVIK_CLI) + " recover " + Quote(image_) +
                         " --scan --volume 1 --to " + Quote(dir_.File("o")) + " --report " +
                         Quote(report))
                  .exitCode,
              0);
    const std::string xml = testing::Slurp(report);
    const auto at = xml.find("<filename>docs/big.bin</filename>");
    ASSERT_NE(at, std::string::npos);
    const auto run = xml.find("img_offset=\"", at);
    const uint64_t img = std::stoull(xml.substr(run + 12));
    const uint64_t bad = img / 512 + 64; // 32 KiB into the file
    const std::string map = dir_.File("disk.map");
    std::ofstream(map) << "0x0 +\n0x0 " << std::hex << "0x" << bad * 512 << " +\n0x" << bad * 512
                       << " 0x" << 8 * 512 << " -\n0x" << (bad + 8) * 512 << " 0x10000000 +\n";
    {
        Mount m(image_, dir_.File("mnt"), "--badmap " + Quote(map));
        ASSERT_TRUE(m.mounted);
        const int fd = ::open((m.point + "/docs/big.bin").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        char buf[4096];
        EXPECT_EQ(::pread(fd, buf, sizeof buf, 0), 4096); // before the bad range: data
        errno = 0;
        EXPECT_LT(::pread(fd, buf, sizeof buf, 64 * 512), 0); // in it: an error, no padding
        EXPECT_EQ(errno, EIO);
        ::close(fd);
        // Other files read whole.
        EXPECT_EQ(testing::Slurp(m.point + "/docs/deep/leaf.txt"), "leaf\n");
        EXPECT_TRUE(m.Unmount());
    }
    {
        Mount m(image_, dir_.File("mnt2"), "--badmap " + Quote(map) + " --zero-fill");
        ASSERT_TRUE(m.mounted);
        const std::string whole = testing::Slurp(m.point + "/docs/big.bin");
        ASSERT_EQ(whole.size(), 2'000'000u);
        EXPECT_EQ(whole.substr(64 * 512 / 8192 * 8192, 8192).find_first_not_of('\0') !=
                      std::string::npos,
                  true); // the rest of that block is data: only its bad sectors are zeros
        EXPECT_EQ(whole.substr(64 * 512, 8 * 512), std::string(8 * 512, '\0'));
        EXPECT_EQ(whole[100], static_cast<char>(100 * 13));
        EXPECT_TRUE(m.Unmount());
    }
}

TEST_F(FuseMount, UnmountsCleanlyAfterTheImageBecameUnreadable) {
    Mount m(image_, dir_.File("mnt"));
    ASSERT_TRUE(m.mounted);
    EXPECT_EQ(testing::Slurp(m.point + "/a.txt"), "alpha\n");
    fs::resize_file(image_, 4096); // the image is cut short under the mount
    const int fd = ::open((m.point + "/docs/big.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[4096];
    errno = 0;
    EXPECT_LT(::pread(fd, buf, sizeof buf, 0), 0);
    EXPECT_EQ(errno, EIO);
    ::close(fd);
    EXPECT_TRUE(m.Unmount());
    EXPECT_TRUE(fs::is_empty(m.point));
}

TEST_F(FuseMount, DamagedInodesAreEmptyFilesThatFailToOpenAndExtensiveShowsLostDir) {
    using namespace imagebuilder;
    UfsParams p;
    p.sizeSectors = 40000;
    p.cylindersPerGroup = 8;
    UfsVolume vol = BuildUfs(Dir("", {Dir("docs", {Dir("inner", {File("kept.txt", "kept\n")})}),
                                      File("huge.txt", "h"), File("fine.txt", "fine\n")}),
                             p);
    // A size no Solaris file can have, and the folder entry of docs removed.
    WriteBe64(std::span<uint8_t>(vol.bytes).subspan(
                  vol.layout.InodeByteOffset(vol.Find("/huge.txt")->inode), 128),
              ufs::inode_field::kSize, ~uint64_t{0});
    vol.RemoveDirEntry("/", "docs");
    const std::string image = dir_.File("hostile.img");
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(vol.bytes.data()),
               static_cast<std::streamsize>(vol.bytes.size()));
    {
        Mount m(image, dir_.File("mnt"));
        ASSERT_TRUE(m.mounted);
        struct stat st {};
        ASSERT_EQ(::stat((m.point + "/huge.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0);
        errno = 0;
        EXPECT_LT(::open((m.point + "/huge.txt").c_str(), O_RDONLY), 0);
        EXPECT_EQ(errno, EIO);
        EXPECT_EQ(testing::Slurp(m.point + "/fine.txt"), "fine\n");
        EXPECT_FALSE(fs::exists(m.point + "/docs")); // Normal: its entry is gone
        EXPECT_TRUE(m.Unmount());
    }
    Mount m(image, dir_.File("mnt-extensive"), "--mode extensive");
    ASSERT_TRUE(m.mounted);
    // The folder comes back as Dir<inode> (no entry names it), its contents with their
    // names, beside LostDir: what ls lists in the same mode.
    const std::string listed = Must("cd " + Quote(m.point) + " && find . -mindepth 1 | sort");
    EXPECT_NE(listed.find("./LostDir\n"), std::string::npos) << listed;
    const std::string dirName = "Dir" + std::to_string(vol.Find("/docs")->inode);
    EXPECT_NE(listed.find("./" + dirName + "/inner/kept.txt"), std::string::npos) << listed;
    const auto ls = Must(std::string(TREVIK_CLI) + " ls " + Quote(image) +
                         " --scan --volume 1 --mode extensive -r --json");
    size_t entries = 0;
    const json listing = json::parse(ls);
    for (const auto& e : listing.at("entries")) {
        ++entries;
        EXPECT_TRUE(fs::exists(fs::symlink_status(m.point + e.at("path").get<std::string>())))
            << e.at("path");
    }
    EXPECT_EQ(entries, 6u);
    EXPECT_TRUE(m.Unmount());
}

bool IsMountPoint(const std::string& path) {
    const std::string canonical = fs::canonical(path).string();
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.find(" " + canonical + " ") != std::string::npos)
            return true;
    }
    return false;
}

TEST_F(FuseMount, AMapThatRepeatsABlockFailsOrEndsWhereRecoverEndsTheFile) {
    using namespace imagebuilder;
    UfsParams p;
    p.sizeSectors = 40000;
    UfsVolume vol =
        BuildUfs(Dir("", {GeneratedFile("repeat.bin", 50000, 7), File("ok.txt", "ok\n")}), p);
    // Every direct pointer names the file's first block.
    const BuiltNode* rep = vol.Find("/repeat.bin");
    const auto inode =
        std::span<uint8_t>(vol.bytes).subspan(vol.layout.InodeByteOffset(rep->inode), 128);
    for (uint32_t i = 1; i < ufs::kDirectBlocks; ++i)
        WriteBe32(inode, ufs::inode_field::kDirect + 4 * i, rep->dataFrags[0]);
    const std::string image = dir_.File("repeat.img");
    imagebuilder::WriteFile(image, vol.bytes);
    const std::string out = dir_.File("out");
    const auto rec = RunCommand(std::string(TREVIK_CLI) + " recover " + Quote(image) +
                                " --scan --volume 1 --to " + Quote(out));
    EXPECT_EQ(rec.exitCode, 1) << rec.err;
    EXPECT_NE(rec.out.find("Incomplete       /repeat.bin"), std::string::npos) << rec.out;
    const std::string written = testing::Slurp(out + "/repeat.bin");
    ASSERT_EQ(written.size(), 8192u); // its first block, and nothing of the repeats
    {
        Mount m(image, dir_.File("mnt"));
        ASSERT_TRUE(m.mounted);
        const int fd = ::open((m.point + "/repeat.bin").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::vector<char> buf(65536);
        EXPECT_EQ(::pread(fd, buf.data(), buf.size(), 0), 8192); // up to where it repeats
        EXPECT_EQ(std::string(buf.data(), 8192), written);
        for (const off_t at : {off_t{8192}, off_t{16384}, off_t{40000}}) {
            errno = 0;
            EXPECT_LT(::pread(fd, buf.data(), 4096, at), 0) << at; // never the block again
            EXPECT_EQ(errno, EIO);
        }
        ::close(fd);
        EXPECT_TRUE(m.Unmount());
    }
    // With --zero-fill a copy from the mount is the copy recover made.
    Mount m(image, dir_.File("mnt-zero"), "--zero-fill");
    ASSERT_TRUE(m.mounted);
    const std::string copied = dir_.File("copied");
    const auto cp = RunCommand("cp -a " + Quote(m.point) + " " + Quote(copied));
    EXPECT_EQ(cp.exitCode, 0) << cp.err;
    EXPECT_EQ(testing::Slurp(copied + "/repeat.bin"), written);
    EXPECT_EQ(testing::Slurp(copied + "/ok.txt"), "ok\n");
    EXPECT_TRUE(m.Unmount());
}

TEST_F(FuseMount, SameNamedEntriesOfTheLongestLengthAreShortenedAsRecoverShortensThem) {
    using namespace imagebuilder;
    const std::string longName(255, 'n');
    UfsParams p;
    p.sizeSectors = 40000;
    const UfsVolume vol =
        BuildUfs(Dir("", {Dir("d", {File(longName, "first\n"), File(longName, "second\n")})}), p);
    const std::string image = dir_.File("names.img");
    imagebuilder::WriteFile(image, vol.bytes);
    const std::string out = dir_.File("out");
    ASSERT_EQ(RunCommand(std::string(TREVIK_CLI) + " recover " + Quote(image) +
                         " --scan --volume 1 --to " + Quote(out))
                  .exitCode,
              0);
    Mount m(image, dir_.File("mnt"));
    ASSERT_TRUE(m.mounted);
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(m.point + "/d")) {
        EXPECT_LE(e.path().filename().string().size(), 255u);
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
    const std::string copied = dir_.File("copied");
    const auto cp = RunCommand("cp -a " + Quote(m.point) + " " + Quote(copied));
    EXPECT_EQ(cp.exitCode, 0) << cp.err;
    const auto diff = RunCommand("diff -r " + Quote(out) + " " + Quote(copied));
    EXPECT_EQ(diff.exitCode, 0) << diff.out << diff.err;
    EXPECT_TRUE(m.Unmount());
}

// The first stop signal to a mount in the foreground unmounts it and ends the process
// with 0: nothing is left behind as a dead mount.
TEST_F(FuseMount, TheFirstStopSignalUnmountsCleanly) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        const std::string point = dir_.File("sig" + std::to_string(sig));
        fs::create_directories(point);
        std::vector<std::string> args = {TREVIK_CLI, "mount", image_,         "--scan",
                                         "--volume", "1",     "--foreground", point};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        bool up = false;
        for (int i = 0; i < 500 && !up; ++i) {
            up = IsMountPoint(point);
            if (!up)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(up) << "the mount did not appear";
        EXPECT_EQ(testing::Slurp(point + "/a.txt"), "alpha\n");
        ASSERT_EQ(::kill(pid, sig), 0);
        int status = 0;
        pid_t ended = 0;
        for (int i = 0; i < 500 && ended == 0; ++i) {
            ended = ::waitpid(pid, &status, WNOHANG);
            if (ended == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (ended == 0) { // still serving: a failure, and nothing left running
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            RunCommand("fusermount3 -uz " + Quote(point));
            FAIL() << "the mount went on serving after the signal";
        }
        EXPECT_TRUE(WIFEXITED(status)) << "killed by " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_FALSE(IsMountPoint(point));
        if (IsMountPoint(point))
            RunCommand("fusermount3 -uz " + Quote(point));
        EXPECT_TRUE(fs::is_empty(point)); // not "Transport endpoint is not connected"
    }
}

TEST_F(FuseMount, ANonEmptyMountPointIsRefusedBeforeTheDiskIsRead) {
    const std::string point = dir_.File("busy");
    fs::create_directories(point);
    std::ofstream(point + "/mine.txt") << "mine\n";
    const auto r = RunCommand(std::string(TREVIK_CLI) + " mount " + Quote(image_) +
                              " --scan --volume 1 " + Quote(point));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not empty"), std::string::npos) << r.err;
    EXPECT_FALSE(IsMountPoint(point));
    EXPECT_EQ(testing::Slurp(point + "/mine.txt"), "mine\n");
}

} // namespace
} // namespace trevik

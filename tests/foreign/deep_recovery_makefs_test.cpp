// Extensive recovery of a NetBSD makefs volume whose root folder's data is destroyed: the
// top-level files come back under LostDir, with the inode numbers and contents The Sleuth
// Kit reads from the same inodes.

#include "support/test_support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::Must;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

TEST(MakefsDeepRecovery, TopLevelFilesOfADestroyedRootMatchTheSleuthKit) {
    for (const char* tool : {"makefs", "istat", "fls", "icat"})
        ASSERT_TRUE(testing::HaveProgram(tool)) << tool << ": run the README's test command";
    TempDir dir;
    const fs::path tree = dir.Path() / "tree";
    fs::create_directories(tree / "sub");
    std::ofstream(tree / "a.txt") << "alpha\n";
    std::ofstream(tree / "doc.pdf") << "%PDF-1.4 a report\n";
    std::ofstream(tree / "sub" / "in.txt") << "inner\n";
    {
        std::ofstream big(tree / "big.bin", std::ios::binary);
        for (int i = 0; i < 200000; ++i)
            big.put(static_cast<char>(i % 251));
    }
    const std::string image = dir.File("v.img");
    Must("makefs -t ffs -B be -o version=1,bsize=8192,fsize=1024 -s 8m " + Quote(image) + " " +
         Quote(tree.string()));
    // The inodes The Sleuth Kit sees at the top level, before the damage.
    std::map<std::string, std::string> inodeOf;
    std::istringstream fls(Must("fls -f ufs1 " + Quote(image)));
    for (std::string line; std::getline(fls, line);) {
        if (line.rfind("r/r ", 0) == 0) {
            const auto colon = line.find(':');
            inodeOf[line.substr(colon + 2)] = line.substr(4, colon - 4);
        }
    }
    ASSERT_EQ(inodeOf.size(), 3u);
    // The root's one directory fragment, zeroed.
    const std::string istat = Must("istat -f ufs1 " + Quote(image) + " 2");
    const auto at = istat.find("Direct Blocks:");
    ASSERT_NE(at, std::string::npos);
    const uint64_t frag = std::stoull(istat.substr(at + 15));
    Must("dd if=/dev/zero of=" + Quote(image) + " bs=1024 seek=" + std::to_string(frag) +
         " count=1 conv=notrunc status=none");

    const auto ls = testing::RunCli(
        TREVIK_CLI, "ls " + Quote(image) + " --volume 1 --scan --mode extensive -r --json");
    EXPECT_EQ(ls.exitCode, 1) << ls.err; // the root's loss is said
    const json j = json::parse(ls.out);
    std::map<std::string, std::string> listed;
    for (const auto& e : j.at("entries"))
        listed[e.at("path")] = e.at("found");
    const std::string to = dir.File("out");
    RunCommand(std::string(TREVIK_CLI) + " recover " + Quote(image) +
               " --volume 1 --scan --mode extensive --to " + Quote(to));
    for (const auto& [name, inode] : inodeOf) {
        SCOPED_TRACE(name);
        const std::string path = "/LostDir/File" + inode + (name == "doc.pdf" ? ".pdf" : "");
        ASSERT_TRUE(listed.count(path)) << path;
        EXPECT_EQ(listed[path], "orphan");
        const std::string truth = Must("icat -f ufs1 " + Quote(image) + " " + inode);
        EXPECT_TRUE(testing::Slurp(to + path) == truth);
    }
    bool inner = false;
    for (const auto& [path, found] : listed)
        inner |= path.size() > 7 && path.substr(path.size() - 7) == "/in.txt";
    EXPECT_TRUE(inner);
    bool warned = false;
    for (const auto& w : j.at("warnings"))
        warned |= w.at("kind") == "brokenDirectory" && w.at("path") == "/";
    EXPECT_TRUE(warned);
}

} // namespace
} // namespace trevik

// trevik-cli against NetBSD makefs volumes on a Sun-labelled disk, with The Sleuth Kit as
// the independent reader: the same files and folders, byte-identical contents.

#include "support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

constexpr uint64_t kCylinder = 255 * 63;
constexpr uint64_t kSliceCylinders = 8;
constexpr uint64_t kSlice = kSliceCylinders * kCylinder;
constexpr uint32_t kFragmentSizes[] = {1024, 2048, 4096, 8192};

std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

class MakefsDisk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"makefs", "sfdisk", "fls", "icat"}) {
            ASSERT_TRUE(testing::HaveProgram(tool))
                << tool << " is needed: run the README's test command";
        }
        dir_ = new TempDir();
        const fs::path tree = dir_->Path() / "tree";
        fs::create_directories(tree / "docs" / "deep" / "deeper");
        fs::create_directories(tree / "many");
        std::ofstream(tree / "a.txt") << "alpha\n";
        std::ofstream(tree / "empty");
        std::ofstream(tree / "docs" / "deep" / "deeper" / "leaf.txt") << "leaf\n";
        std::ofstream(tree / std::string(255, 'n')) << "long name\n";
        std::ofstream(tree / "caf\xE9.txt") << "latin-1 name\n";
        for (int i = 0; i < 300; ++i) {
            std::ofstream(tree / "many" / ("file-with-a-fairly-long-name-" + std::to_string(i)))
                << i;
        }
        {
            // Past the single indirect block at 8K blocks.
            std::ofstream big(tree / "docs" / "big.bin", std::ios::binary);
            std::mt19937 rng(3);
            for (int i = 0; i < 18 * 1024 * 1024 / 4; ++i) {
                const auto v = static_cast<uint32_t>(rng());
                big.write(reinterpret_cast<const char*>(&v), 4);
            }
        }
        fs::create_symlink("a.txt", tree / "short-link");
        fs::create_symlink("docs/deep/deeper/" + std::string(70, 'x') + "/target",
                           tree / "long-link");

        disk_ = dir_->File("disk.img");
        const uint64_t diskSectors = (5 * kSliceCylinders + 1) * kCylinder;
        Must("truncate -s " + std::to_string(diskSectors * 512) + " " + Quote(disk_));
        std::string script = "label: sun\\n\\n";
        for (int k = 0; k < 5; ++k) {
            if (k == 2) {
                script += "start=0, size=" + std::to_string(diskSectors) + ", type=5\\n";
            }
            if (k < 4) {
                script += "start=" + std::to_string(Start(k)) + ", size=" + std::to_string(kSlice) +
                          ", type=8\\n";
            }
        }
        Must("printf '" + script + "' | sfdisk --no-reread --no-tell-kernel " + Quote(disk_));
        const uint64_t bytes = kSlice * 512 / 8192 * 8192;
        for (int k = 0; k < 4; ++k) {
            const std::string vol = dir_->File("v" + std::to_string(k) + ".img");
            Must("makefs -t ffs -B be -o version=1,bsize=8192,fsize=" +
                 std::to_string(kFragmentSizes[k]) + " -s " + std::to_string(bytes) + " " +
                 Quote(vol) + " " + Quote(tree.string()));
            Must("dd if=" + Quote(vol) + " of=" + Quote(disk_) +
                 " bs=512 seek=" + std::to_string(Start(k)) + " conv=notrunc status=none");
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    // The volumes start at cylinder 1 so that the label in sector 0 stays whole.
    static uint64_t Start(int k) { return (1 + uint64_t(k) * kSliceCylinders) * kCylinder; }

    static void Must(const std::string& command) {
        const auto r = RunCommand(command);
        ASSERT_EQ(r.exitCode, 0) << command << "\n" << r.err;
    }

    static TempDir* dir_;
    static std::string disk_;
};

TempDir* MakefsDisk::dir_ = nullptr;
std::string MakefsDisk::disk_;

TEST_F(MakefsDisk, EveryFragmentSizeListsWhatFlsListsAndRecoversItByteForByte) {
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE("fragment size " + std::to_string(kFragmentSizes[k]));
        const std::string volume = " --volume " + std::to_string(k + 1);
        const auto ls = testing::RunCli(TREVIK_CLI, "ls " + Quote(disk_) + volume + " -r --json");
        ASSERT_EQ(ls.exitCode, 0) << ls.err;
        std::map<std::string, json> ours;
        const json listing = json::parse(ls.out);
        for (const auto& e : listing["entries"]) {
            ours[Unhex(e["pathHex"])] = e;
        }
        const auto fls =
            RunCommand("fls -r -p -u -f ufs1 -o " + std::to_string(Start(k)) + " " + Quote(disk_));
        ASSERT_EQ(fls.exitCode, 0) << fls.err;
        std::set<std::string> theirs;
        std::istringstream in(fls.out);
        std::string line;
        while (std::getline(in, line)) {
            const auto tab = line.find('\t');
            if (tab == std::string::npos || line.find("$Orphan") != std::string::npos)
                continue;
            theirs.insert("/" + line.substr(tab + 1));
        }
        EXPECT_EQ(ours.size(), theirs.size());
        for (const auto& p : theirs) {
            // The Sleuth Kit shows a name that is not UTF-8 its own way; ours keeps the bytes.
            if (p.find("caf") != std::string::npos)
                continue;
            EXPECT_TRUE(ours.count(p)) << p;
        }
        EXPECT_TRUE(ours.count("/caf\xE9.txt"));
        EXPECT_TRUE(ours.count("/" + std::string(255, 'n')));

        const std::string out = dir_->File("out" + std::to_string(k));
        const auto rec = testing::RunCli(TREVIK_CLI, "recover " + Quote(disk_) + volume + " --to " +
                                                         Quote(out) + " --json");
        ASSERT_EQ(rec.exitCode, 0) << rec.err;
        const json summary = json::parse(rec.out);
        EXPECT_EQ(summary["incomplete"].size(), 0u);
        size_t compared = 0;
        const fs::path tree = dir_->Path() / "tree";
        for (const auto& [path, e] : ours) {
            if (e["type"] != "file")
                continue;
            ++compared;
            // Written as shown: a name that is not UTF-8 arrives in UTF-8.
            const fs::path written = fs::path(out) / e["path"].get<std::string>().substr(1);
            if (fs::is_symlink(tree / path.substr(1))) {
                // The Sleuth Kit reads makefs' in-inode short links as zeros; the host's
                // own link is the reference.
                EXPECT_EQ(fs::read_symlink(written), fs::read_symlink(tree / path.substr(1)))
                    << path;
                continue;
            }
            std::ifstream f(written, std::ios::binary);
            const std::string got((std::istreambuf_iterator<char>(f)), {});
            if (path.rfind("/many/", 0) == 0) {
                std::ifstream h(tree / path.substr(1), std::ios::binary);
                EXPECT_EQ(got, std::string((std::istreambuf_iterator<char>(h)), {})) << path;
                continue;
            }
            const auto icat =
                RunCommand("icat -f ufs1 -o " + std::to_string(Start(k)) + " " + Quote(disk_) +
                           " " + std::to_string(e["inode"].get<uint32_t>()));
            EXPECT_TRUE(got == icat.out) << path << " differs";
        }
        EXPECT_EQ(compared, 308u);
    }
}

} // namespace
} // namespace trevik

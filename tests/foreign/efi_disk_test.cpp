// Disks with an EFI (GPT) label written by util-linux sfdisk with Solaris' partition type
// GUIDs, holding big-endian UFS volumes made by NetBSD makefs: neither tool shares a line
// of code with us, and The Sleuth Kit reads the volumes back independently.

#include "support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::Quote;
using testing::RunCommand;
using testing::TempDir;

constexpr const char* kSun = "-1DD2-11B2-99A6-080020736631";
constexpr uint64_t kVolumeSectors = 65536; // 32 MiB
constexpr uint64_t kDiskSectors = 4 * kVolumeSectors + 8192;

struct Partition {
    std::string type; // first field of the Sun GUID
    uint64_t start = 0, size = 0;
};

class EfiDisk : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"makefs", "sfdisk", "dd", "fls"}) {
            ASSERT_TRUE(testing::HaveProgram(tool))
                << tool << " is needed: run the README's test command";
        }
        fs::create_directories(dir_.Path() / "tree" / "sub");
        std::ofstream(dir_.Path() / "tree" / "a.txt") << "alpha\n";
        std::ofstream(dir_.Path() / "tree" / "sub" / "b.txt") << "beta\n";
        {
            std::ofstream big(dir_.Path() / "tree" / "big.bin", std::ios::binary);
            for (int i = 0; i < 300000; ++i)
                big.put(static_cast<char>(i * 7 + i / 251));
        }
        testing::Must("makefs -t ffs -B be -o version=1 -s " +
                      std::to_string(kVolumeSectors * 512) + " " + Quote(dir_.File("v.img")) + " " +
                      Quote(dir_.File("tree")));
        disk_ = dir_.File("disk.img");
    }

    // A disk labelled with `parts` in entry order, the UFS volume copied into each
    // partition whose index is in `withVolume`.
    void Label(uint64_t diskSectors, const std::vector<Partition>& parts,
               const std::vector<size_t>& withVolume) {
        fs::remove(disk_);
        testing::Must("truncate -s " + std::to_string(diskSectors * 512) + " " + Quote(disk_));
        std::string script = "label: gpt\\nfirst-lba: 34\\n\\n";
        for (const Partition& p : parts)
            script += "start=" + std::to_string(p.start) + ", size=" + std::to_string(p.size) +
                      ", type=" + p.type + kSun + "\\n";
        testing::Must("printf '" + script + "' | sfdisk --no-reread --no-tell-kernel " +
                      Quote(disk_));
        for (const size_t i : withVolume)
            testing::Must("dd if=" + Quote(dir_.File("v.img")) + " of=" + Quote(disk_) +
                          " bs=512 seek=" + std::to_string(parts[i].start) +
                          " conv=notrunc,sparse status=none");
    }

    // The layout Solaris gives a data disk, with a swap and a boot partition, a ZFS pool
    // in a usr partition, and the reserved partition at the end.
    void SolarisLayout() {
        Label(kDiskSectors,
              {{"6A82CB45", 256, 1024},                                 // boot
               {"6A85CF4D", 2048, kVolumeSectors},                      // root: UFS
               {"6A87C46F", 2048 + kVolumeSectors, 8192},               // swap
               {"6A898CC3", 2048 + 2 * kVolumeSectors, 8192},           // usr: a ZFS pool
               {"6A90BA39", 2048 + 3 * kVolumeSectors, kVolumeSectors}, // home: UFS
               {"6A945A3B", 2048 + 4 * kVolumeSectors, 2048}},          // reserved
              {1, 4});
        // The ZFS uberblock magic where a pool's first label keeps it (128 KiB in).
        testing::Must("printf '\\014\\261\\272\\000\\000\\000\\000\\000' | dd of=" + Quote(disk_) +
                      " bs=1 seek=" + std::to_string((2048 + 2 * kVolumeSectors) * 512 + 131072) +
                      " conv=notrunc status=none");
    }

    testing::CommandResult Cli(const std::string& args) {
        return testing::RunCli(TREVIK_CLI, args);
    }

    json Volumes(const std::string& extra = "") {
        const auto r = Cli("volumes " + Quote(disk_) + extra + " --json");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.exitCode == 0 ? json::parse(r.out)["volumes"] : json::array();
    }

    // Recovers volume `k` and compares every file with the tree it was made from.
    void RecoverAndCompare(int k) {
        const std::string out = dir_.File("out" + std::to_string(k));
        const auto r = Cli("recover " + Quote(disk_) + " --volume " + std::to_string(k) + " --to " +
                           Quote(out));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto diff = RunCommand("diff -r " + Quote(dir_.File("tree")) + " " + Quote(out));
        EXPECT_EQ(diff.exitCode, 0) << diff.out << diff.err;
    }

    void Corrupt(uint64_t byte) {
        testing::Must("printf 'X' | dd of=" + Quote(disk_) + " bs=1 seek=" + std::to_string(byte) +
                      " conv=notrunc status=none");
    }

    TempDir dir_;
    std::string disk_;
};

TEST_F(EfiDisk, ListsEveryPartitionInEntryOrderWithItsSolarisTag) {
    SolarisLayout();
    const json v = Volumes();
    ASSERT_EQ(v.size(), 6u);
    const char* tags[] = {"boot", "root", "swap", "usr", "home", "reserved"};
    const bool mountable[] = {false, true, false, false, true, false};
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(v[i]["name"], "Solaris Partition - " + std::to_string(i + 1));
        EXPECT_EQ(v[i]["label"], "efi");
        EXPECT_EQ(v[i]["tag"], tags[i]);
        EXPECT_EQ(v[i]["mountable"], mountable[i]);
    }
    EXPECT_EQ(v[1]["startSector"], 2048);
    EXPECT_EQ(v[1]["sizeSectors"], kVolumeSectors);
    EXPECT_EQ(v[1]["superblockSector"], 2048 + 16);
    EXPECT_EQ(v[1]["typeGuid"], std::string("6A85CF4D") + kSun);
    // ZFS shares the usr type: what the partition holds is said instead of a tag's promise.
    EXPECT_EQ(v[3]["content"], "a ZFS pool");
    EXPECT_TRUE(v[1]["content"].is_null());

    const auto text = Cli("volumes " + Quote(disk_));
    EXPECT_NE(text.out.find("Solaris Partition - 3 is a swap partition, which holds no file "
                            "system"),
              std::string::npos)
        << text.out;
}

TEST_F(EfiDisk, RecoversTheUfsPartitionsByteForByte) {
    SolarisLayout();
    RecoverAndCompare(2);
    RecoverAndCompare(5);
    // The Sleuth Kit, told where the partition starts, sees the same files.
    const auto fls = RunCommand("fls -r -p -f ufs1 -o 2048 " + Quote(disk_));
    EXPECT_NE(fls.out.find("sub/b.txt"), std::string::npos) << fls.err;
}

TEST_F(EfiDisk, PartitionsThatHoldNoUfsAreNotMounted) {
    SolarisLayout();
    for (const auto& [k, why] :
         std::vector<std::pair<int, std::string>>{{1, "is a boot partition"},
                                                  {3, "is a swap partition"},
                                                  {4, "holds a ZFS pool, not a Solaris UFS volume"},
                                                  {6, "is a reserved partition"}}) {
        SCOPED_TRACE(k);
        const auto r = Cli("ls " + Quote(disk_) + " --volume " + std::to_string(k));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST_F(EfiDisk, ADamagedPrimaryLabelIsReadFromItsBackup) {
    SolarisLayout();
    for (const auto& [where, why] : std::vector<std::pair<uint64_t, std::string>>{
             {512 + 40, "the header's CRC-32 is wrong"},                // the header
             {1024 + 200, "the partition entries' CRC-32 is wrong"}}) { // an entry
        SCOPED_TRACE(why);
        SolarisLayout();
        Corrupt(where);
        const auto r = Cli("volumes " + Quote(disk_) + " --json");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find("warning: the disk's EFI label is damaged (" + why +
                             "); its backup copy in the last sector was used"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(json::parse(r.out)["volumes"].size(), 6u);
        RecoverAndCompare(2);
    }
}

TEST_F(EfiDisk, BothCopiesDamagedLeaveTheScan) {
    SolarisLayout();
    Corrupt(512 + 40);
    Corrupt((kDiskSectors - 1) * 512 + 40);
    const auto r = Cli("volumes " + Quote(disk_));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("and so is its backup (the header's CRC-32 is wrong): --scan looks"),
              std::string::npos)
        << r.err;
    const json scanned = Volumes(" --scan");
    ASSERT_EQ(scanned.size(), 2u);
    EXPECT_EQ(scanned[0]["startSector"], 2048);
    EXPECT_EQ(scanned[0]["label"], "scan");
    EXPECT_TRUE(scanned[0]["tag"].is_null());
    EXPECT_EQ(scanned[1]["startSector"], 2048 + 3 * kVolumeSectors);
}

TEST_F(EfiDisk, AProtectiveMbrAloneIsNoLabel) {
    SolarisLayout();
    // Both headers gone: what remains is the MBR that protects the label.
    testing::Must("dd if=/dev/zero of=" + Quote(disk_) +
                  " bs=512 seek=1 count=1 conv=notrunc status=none");
    testing::Must("dd if=/dev/zero of=" + Quote(disk_) + " bs=512 seek=" +
                  std::to_string(kDiskSectors - 1) + " count=1 conv=notrunc status=none");
    const auto r = Cli("volumes " + Quote(disk_) + " --json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("PC (MBR) partition table"), std::string::npos) << r.err;
}

TEST_F(EfiDisk, APartitionPastTwoTerabytesIsFoundAndRecovered) {
    // Sector numbers past 2^32: the partition begins 2 TiB + 1 MiB into a sparse disk.
    const uint64_t start = (uint64_t{1} << 32) + 2048;
    const uint64_t disk = start + kVolumeSectors + 4096;
    Label(disk, {{"6A898CC3", start, kVolumeSectors}}, {0});
    const json v = Volumes();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]["startSector"], start);
    EXPECT_EQ(v[0]["superblockSector"], start + 16);
    EXPECT_EQ(v[0]["tag"], "usr");
    RecoverAndCompare(1);
    // A scan over the end of the disk finds it by its superblock.
    const json scanned = Volumes(" --scan --start " + std::to_string(start - 64));
    ASSERT_EQ(scanned.size(), 1u);
    EXPECT_EQ(scanned[0]["startSector"], start);
}

TEST_F(EfiDisk, PartitionsPastWhatTheTableHoldsAreCountedNotDropped) {
    std::vector<Partition> parts;
    for (uint64_t i = 0; i < 110; ++i)
        parts.push_back({"6A898CC3", 64 + i * 8, 8});
    Label(4096, parts, {});
    const auto r = Cli("volumes " + Quote(disk_) + " --json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(json::parse(r.out)["volumes"].size(), 100u);
    EXPECT_NE(r.err.find("10 more partition(s) of the EFI label are not listed"), std::string::npos)
        << r.err;
}

} // namespace
} // namespace trevik

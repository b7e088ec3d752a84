// trevik-cli used as a careless user or an attacker would: output paths that name the image
// it reads, maps of another disk, scans of unreadable disks, a destination that fills up,
// stdout on a full device, names XML cannot hold and file systems of other systems.

#include "disk_image.h"
#include "format/big_endian.h"
#include "support/test_support.h"
#include "ufs/names.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/mount.h>
#include <unistd.h>

namespace trevik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace imagebuilder;
using testing::Quote;
using testing::RunCommand;
using testing::Slurp;
using testing::TempDir;

testing::CommandResult Cli(const std::string& args) {
    return testing::RunCli(TREVIK_CLI, args);
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A copy of the sample disk (volume 2 holds /home/alice/report.txt) in a folder of its own.
struct SampleCopy {
    TempDir dir;
    std::string image = dir.File("disk.img");
    std::string original;
    SampleCopy() {
        fs::copy_file(TREVIK_SAMPLE_DISK, image);
        original = Slurp(image);
    }
    bool Intact() const { return Slurp(image) == original; }
};

TEST(CliSource, NoOutputOfAnyCommandLandsOnTheImageItReads) {
    SampleCopy s;
    const std::string img = Quote(s.image);
    fs::create_symlink(s.image, s.dir.File("link.img"));
    fs::create_hard_link(s.image, s.dir.File("hard.img"));
    struct Case {
        std::string args;
        std::string says;
    };
    const std::string to = Quote(s.dir.File("out"));
    const std::vector<Case> cases = {
        {"recover " + img + " --volume 2 --to " + to + " --report " + img, "the disk image"},
        {"recover " + img + " --volume 2 --to " + to + " --report " + Quote(s.dir.File("link.img")),
         "the disk image"},
        {"recover " + img + " --volume 2 --to " + to + " --report " + Quote(s.dir.File("hard.img")),
         "the disk image"},
        {"recover " + img + " --volume 2 --to " + to + " --save-badmap " + img, "the disk image"},
        {"volumes " + img + " --save-badmap " + Quote(s.dir.File("link.img")), "the disk image"},
        {"ls " + img + " --volume 2 --save-badmap " + Quote(s.dir.File("./hard.img")),
         "the disk image"},
        // A report inside the destination could be a file the same run recovers.
        {"recover " + img + " --volume 2 --to " + to + " --report " +
             Quote(s.dir.File("out/home/alice/report.txt")),
         "inside the destination"},
        {"recover " + img + " --volume 2 --to " + to + " --report " + Quote(s.dir.File("r.xml")) +
             " --save-badmap " + Quote(s.dir.File("r.xml")),
         "the same file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = Cli(c.args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(Has(r.err, "Refusing") || Has(r.err, c.says)) << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << r.err;
        EXPECT_TRUE(s.Intact());
        EXPECT_FALSE(fs::exists(s.dir.File("out"))) << "refused before any work";
        EXPECT_FALSE(fs::exists(s.dir.File("r.xml")));
    }
}

TEST(CliSource, OverwritingCopiesNeverReplaceTheImageUnderAnyName) {
    SampleCopy s;
    // The image inside the destination, under the name a recovered file takes.
    const std::string dest = s.dir.File("dest");
    fs::create_directories(dest + "/home/alice");
    const std::string inside = dest + "/home/alice/report.txt";
    fs::rename(s.image, inside);
    const auto refused = Cli("recover " + Quote(inside) + " --volume 2 --to " + Quote(dest) +
                             " --duplicates overwrite");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(Has(refused.err, "lies inside it")) << refused.err;
    EXPECT_EQ(Slurp(inside), s.original);
    EXPECT_FALSE(fs::exists(dest + "/home/bob"));
    // Read through another name, with a hard link in the destination: the copy goes on and
    // the recovered file takes a name of its own.
    fs::rename(inside, s.image);
    fs::create_hard_link(s.image, inside);
    const auto r = Cli("recover " + Quote(s.image) + " --volume 2 --to " + Quote(dest) +
                       " --duplicates overwrite --json");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(s.Intact());
    EXPECT_EQ(Slurp(inside), s.original);
    const json j = json::parse(r.out);
    ASSERT_EQ(j.at("renamed").size(), 1u) << r.out;
    EXPECT_EQ(j.at("renamed")[0].at("from"), "/home/alice/report.txt");
    EXPECT_EQ(Slurp(dest + "/home/alice/report (1).txt").substr(0, 16), "Quarterly report");
}

TEST(CliSource, EverySegmentOfASplitImageIsGuarded) {
    if (!testing::HaveProgram("split"))
        GTEST_SKIP() << "split is part of coreutils";
    SampleCopy s;
    const std::string prefix = s.dir.File("disk.");
    ASSERT_EQ(RunCommand("split -b 10M -d -a 3 --numeric-suffixes=1 " + Quote(s.image) + " " +
                         Quote(prefix))
                  .exitCode,
              0);
    const std::string second = Slurp(prefix + "002");
    const auto r = Cli("recover " + Quote(prefix + "001") + " --volume 2 --to " +
                       Quote(s.dir.File("out")) + " --report " + Quote(prefix + "002"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "the disk image being read")) << r.err;
    EXPECT_EQ(Slurp(prefix + "002"), second);
}

// ddrescue mapfiles: one "+" block of `bytes` bytes (all finished).
std::string FinishedMap(const TempDir& dir, uint64_t bytes, const std::string& extra = "") {
    const std::string path = dir.File("map-" + std::to_string(bytes));
    std::ofstream(path) << "0x0 +\n0x0 " << bytes << " +\n" << extra;
    return path;
}

TEST(CliMapfile, AMapThatDoesNotFitTheDiskIsWarnedAndWhatItMissesIsUnreadable) {
    SampleCopy s;
    const uint64_t disk = fs::file_size(s.image);
    // Half the disk: volume 2 lies mostly past it, never tried, so nothing there is read.
    auto r = Cli("recover " + Quote(s.image) + " --volume 2 --to " + Quote(s.dir.File("half")) +
                 " --badmap " + Quote(FinishedMap(s.dir, disk / 2)));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "the bad-sector map reaches " + std::to_string(disk / 2))) << r.err;
    EXPECT_TRUE(Has(r.err, "never tried")) << r.err;
    EXPECT_FALSE(fs::exists(s.dir.File("half/home/alice/report.txt")));
    // Twice the disk, with a bad block past its end: the block is ignored, the disk is read
    // whole, and the mismatch still reaches the exit code.
    const std::string bigger =
        FinishedMap(s.dir, disk * 2, std::to_string(disk + 4096) + " 512 -\n");
    r = Cli("recover " + Quote(s.image) + " --volume 2 --to " + Quote(s.dir.File("twice")) +
            " --badmap " + Quote(bigger) + " --json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "past the end is ignored")) << r.err;
    EXPECT_EQ(json::parse(r.out).at("incomplete").size(), 0u);
    EXPECT_EQ(Slurp(s.dir.File("twice/home/alice/report.txt")).substr(0, 16), "Quarterly report");
    // A map of exactly this disk says nothing.
    r = Cli("ls " + Quote(s.image) + " --volume 2 --badmap " + Quote(FinishedMap(s.dir, disk)));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(Has(r.err, "bad-sector map")) << r.err;
}

TEST(CliScan, AScanOfAnUnreadableDiskSaysSoAndFails) {
    SampleCopy s;
    const uint64_t disk = fs::file_size(s.image);
    const std::string bad = s.dir.File("bad.map");
    std::ofstream(bad) << "0x0 +\n0x0 " << disk << " -\n";
    const auto r = Cli("volumes " + Quote(s.image) + " --scan --badmap " + Quote(bad));
    EXPECT_EQ(r.exitCode, 1);
    const std::string sectors = std::to_string(disk / 512);
    EXPECT_TRUE(Has(r.err, sectors + " of the " + sectors + " sectors scanned could not be read"))
        << r.err;
    // Half of it unreadable: what was found is listed, and the run still fails.
    std::ofstream(bad) << "0x0 +\n0x0 " << disk / 2 << " +\n"
                       << disk / 2 << " " << disk / 2 << " -\n";
    const auto half = Cli("volumes " + Quote(s.image) + " --scan --badmap " + Quote(bad));
    EXPECT_EQ(half.exitCode, 1);
    EXPECT_TRUE(Has(half.out, "Solaris Partition - 1")) << half.out;
    EXPECT_TRUE(Has(half.err, "could not be read")) << half.err;
    // A readable disk scans without a word.
    const auto clean = Cli("volumes " + Quote(s.image) + " --scan");
    EXPECT_EQ(clean.exitCode, 0) << clean.err;
    EXPECT_TRUE(clean.err.empty()) << clean.err;
}

// A small tmpfs stands in for a full destination (mounting needs root, as in CI).
struct SmallTmpfs {
    std::string at;
    bool mounted = false;
    SmallTmpfs(const std::string& path, const char* options) : at(path) {
        fs::create_directories(at);
        mounted = ::mount("tmpfs", at.c_str(), "tmpfs", 0, options) == 0;
    }
    ~SmallTmpfs() {
        if (mounted)
            ::umount2(at.c_str(), MNT_DETACH);
    }
};

TEST(CliCopy, AFullDestinationListsTheUnwrittenFileAsNotWholeAndStops) {
    TempDir dir;
    UfsParams p;
    p.sizeSectors = 20000;
    WriteFile(
        dir.File("v.img"),
        BuildUfs(Dir("", {File("small.txt", "small\n"), GeneratedFile("big.bin", 3 << 20, 5)}), p)
            .bytes);
    SmallTmpfs small(dir.File("mnt"), "size=1m");
    if (!small.mounted)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string report = dir.File("r.xml");
    const auto r =
        Cli("recover " + Quote(dir.File("v.img")) + " --scan --volume 1 --to " + Quote(small.at) +
            " --report " + Quote(report) + " --jobs 1 --json /small.txt /big.bin");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "No space left on device")) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j.at("incomplete"), json::array({"/big.bin"}));
    ASSERT_EQ(j.at("skippedItems").size(), 1u);
    EXPECT_EQ(j.at("skippedItems")[0].at("path"), "/big.bin");
    EXPECT_TRUE(Has(j.at("skippedItems")[0].at("reason"), "No space left")) << j.dump();
    EXPECT_EQ(j.at("stopped"), true);
    EXPECT_EQ(j.at("filesWritten"), 1);
    const std::string xml = Slurp(report);
    const auto big = xml.find("<filename>big.bin</filename>");
    ASSERT_NE(big, std::string::npos) << xml;
    const std::string item = xml.substr(big, xml.find("</fileobject>", big) - big);
    EXPECT_TRUE(Has(item, "<trevik:status>skipped</trevik:status>")) << item;
    EXPECT_FALSE(Has(item, "hashdigest")) << item;
    EXPECT_TRUE(Has(xml, "stopped=\"1\"")) << xml;
    EXPECT_EQ(Slurp(small.at + "/small.txt"), "small\n");
    EXPECT_FALSE(fs::exists(small.at + "/big.bin"));
}

TEST(CliCopy, AReportThatCannotBeWrittenIsKnownBeforeTheCopy) {
    SampleCopy s;
    const std::string dest = s.dir.File("out");
    const auto r = Cli("recover " + Quote(s.image) + " --volume 2 --to " + Quote(dest) +
                       " --report " + Quote(s.dir.File("missing/folder/r.xml")));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "Cannot write")) << r.err;
    EXPECT_FALSE(fs::exists(dest + "/home")) << "nothing copied";
}

TEST(CliOutput, AFailedWriteToStandardOutputIsAFailure) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    const std::string img = Quote(TREVIK_SAMPLE_DISK);
    TempDir dir;
    for (const std::string& args :
         {"ls " + img + " --volume 2 -r --json", "ls " + img + " --volume 2 -r", "volumes " + img,
          "volumes " + img + " --json", "info " + img + " --volume 2 --json",
          "find " + img + " --volume 2 --json txt",
          "recover " + img + " --volume 2 --json --to " + Quote(dir.File("o"))}) {
        SCOPED_TRACE(args);
        const auto r = RunCommand(std::string(TREVIK_CLI) + " " + args + " > /dev/full");
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(Has(r.err, "cannot write the output")) << r.err;
    }
}

TEST(CliWords, ADiskWithoutALabelOrOfAnotherSystemIsNamedForWhatItIs) {
    TempDir dir;
    UfsParams p;
    p.sizeSectors = 20000;
    WriteFile(dir.File("slice.img"), BuildUfs(Dir("", {File("a.txt", "a")}), p).bytes);
    auto r = Cli("volumes " + Quote(dir.File("slice.img")));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "has no SPARC disk label; --scan")) << r.err;
    EXPECT_FALSE(Has(r.err, "Click Next")) << r.err;
    EXPECT_EQ(Cli("ls " + Quote(dir.File("slice.img")) + " --volume 1").exitCode, 1);

    struct Foreign {
        std::string make;
        std::string says;
    };
    std::vector<Foreign> foreign;
    if (testing::HaveProgram("makefs")) {
        fs::create_directories(dir.Path() / "tree");
        std::ofstream(dir.File("tree/f.txt")) << "f\n";
        foreign.push_back({"makefs -t ffs -B le -o version=2 -s 4m %s " + Quote(dir.File("tree")),
                           "a little-endian UFS2 volume"});
        foreign.push_back({"makefs -t ffs -B le -o version=1 -s 4m %s " + Quote(dir.File("tree")),
                           "a little-endian UFS1 volume"});
    }
    if (testing::HaveProgram("mkfs.ext4"))
        foreign.push_back({"truncate -s 8M %s && mkfs.ext4 -q -F %s", "ext2/ext3/ext4"});
    for (size_t k = 0; k < foreign.size(); ++k) {
        const std::string image = dir.File("foreign" + std::to_string(k));
        std::string cmd = foreign[k].make;
        for (size_t at; (at = cmd.find("%s")) != std::string::npos;)
            cmd.replace(at, 2, Quote(image));
        ASSERT_EQ(RunCommand(cmd).exitCode, 0) << cmd;
        for (const std::string scan : {"", " --scan"}) {
            SCOPED_TRACE(scan);
            r = Cli("volumes " + Quote(image) + scan);
            EXPECT_EQ(r.exitCode, scan.empty() ? 1 : 0); // a scan that found nothing completed
            EXPECT_TRUE(Has(r.err, foreign[k].says)) << r.err;
            EXPECT_TRUE(Has(r.err, "not a Solaris SPARC volume")) << r.err;
        }
    }
}

TEST(CliScanRange, SixtyFourBitSectorNumbersAreTakenAndOnesPastTheEndNamedSo) {
    TempDir dir;
    const std::string huge = dir.File("huge.img");
    // A sparse 3 TiB disk: sectors past 2^32 exist.
    ASSERT_EQ(RunCommand("truncate -s 3T " + Quote(huge)).exitCode, 0);
    auto r = Cli("volumes " + Quote(huge) + " --scan --start 4294967296 --end 4294967400");
    EXPECT_EQ(r.exitCode, 0) << r.err; // a completed scan, with nothing there
    EXPECT_TRUE(Has(r.out, "(no volumes found)")) << r.out;
    EXPECT_FALSE(Has(r.err, "not valid")) << r.err;
    r = Cli("volumes " + Quote(TREVIK_SAMPLE_DISK) + " --scan --end 65536000000");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r.err, "--end 65536000000 is past the end of the disk")) << r.err;
    r = Cli("volumes " + Quote(TREVIK_SAMPLE_DISK) + " --scan --end 99999999999999999999999");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Has(r.err, "End sector value is not valid")) << r.err;
}

TEST(CliReport, NamesXmlCannotHoldStillMakeAWellFormedReport) {
    if (!testing::HaveProgram("xmllint"))
        GTEST_SKIP() << "xmllint is needed: run the README's test command";
    TempDir dir;
    UfsParams p;
    p.sizeSectors = 20000;
    const std::string nonchar = "a\xEF\xBF\xBE"
                                "b\xEF\xBF\xBF.txt";
    const std::string control = "c\x01"
                                "d\x1b.txt";
    WriteFile(
        dir.File("v.img"),
        BuildUfs(Dir("", {File(nonchar, "1"), File(control, "2"), File("plain", "3")}), p).bytes);
    const std::string report = dir.File("r.xml");
    const auto r =
        Cli("recover " + Quote(dir.File("v.img")) + " --scan --volume 1 --raw-names --to " +
            Quote(dir.File("out")) + " --report " + Quote(report));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lint = RunCommand("xmllint --noout " + Quote(report));
    EXPECT_EQ(lint.exitCode, 0) << lint.err;
    const std::string xml = Slurp(report);
    EXPECT_FALSE(Has(xml, "\xEF\xBF\xBE")) << "no U+FFFE";
    EXPECT_FALSE(Has(xml, "\xEF\xBF\xBF")) << "no U+FFFF";
    // Each written name's bytes are there, and find the file.
    for (const std::string& name : {nonchar, control}) {
        const std::string hex = HexBytes(name);
        EXPECT_TRUE(Has(xml, "<trevik:written_as_hex>" + hex + "</trevik:written_as_hex>")) << hex;
        EXPECT_TRUE(fs::exists(dir.File("out/" + name)));
    }
}

TEST(CliWords, ASwapSliceIsNamedByItsTagAndNotMounted) {
    TempDir dir;
    UfsParams p;
    p.sizeSectors = 8192;
    const UfsVolume v = BuildUfs(Dir("", {File("a.txt", "alpha\n")}), p);
    LabelSpec label;
    label.cylinders = 16;                                    // of 16 heads x 64 sectors
    label.slices = {{0, 2, 0, 0, 8192}, {1, 3, 0, 8, 4096}}; // root, then swap
    DiskImage disk(16 * 1024);
    disk.PutVolume(0, v);
    disk.PutLabel(label);
    const std::string image = dir.File("disk.img");
    disk.WriteTo(image);
    const auto v2 = Cli("volumes " + Quote(image) + " --json");
    ASSERT_EQ(v2.exitCode, 0) << v2.err;
    const json vols = json::parse(v2.out)["volumes"];
    ASSERT_EQ(vols.size(), 2u);
    EXPECT_EQ(vols[0]["tag"], "root");
    EXPECT_EQ(vols[0]["mountable"], true);
    EXPECT_EQ(vols[1]["tag"], "swap");
    EXPECT_EQ(vols[1]["mountable"], false);
    const auto ls = Cli("ls " + Quote(image) + " --volume 2");
    EXPECT_EQ(ls.exitCode, 1);
    EXPECT_TRUE(Has(ls.err, "Solaris Partition - 2 is a swap slice and holds no UFS file system"))
        << ls.err;
    EXPECT_FALSE(Has(ls.err, "no UFS magic number")) << ls.err;
    // A slice tagged swap that holds a UFS volume after all mounts as it always did.
    label.slices = {{0, 3, 0, 0, 8192}};
    disk.PutLabel(label);
    disk.WriteTo(image);
    EXPECT_EQ(Cli("ls " + Quote(image) + " --volume 1").exitCode, 0);
}

} // namespace
} // namespace trevik

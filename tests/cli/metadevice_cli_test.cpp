// Solaris Volume Manager metadevices given by their layout in place of DEVICE: a
// concatenation, stripes of two interlaces, a RAID-5 set whole and with a column lost, and
// a mirror whose halves were written at different times. The components are written by
// the builder's own mapping; every file of the assembled volume must equal the volume's.

#include "disk_image.h"
#include "support/test_support.h"
#include "svm_builder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TreeNode Tree(uint32_t seed) {
    return Dir("",
               {File("a.txt", "alpha\n"), GeneratedFile("big.bin", 900000, seed),
                Dir("docs", {GeneratedFile("mid.bin", 70000, seed + 1),
                             GeneratedFile("sparse.bin", 2u << 20, seed + 2, {{65536, 1u << 20}})}),
                Symlink("link", "docs/mid.bin")});
}

UfsParams Params(int64_t time = 1199145600) {
    UfsParams p;
    p.sizeSectors = 24000;
    p.cylindersPerGroup = 4; // several groups, spread over every component
    p.time = time;
    return p;
}

class Metadevice : public ::testing::Test {
protected:
    void SetUp() override {
        volume_ = BuildUfs(Tree(1), Params());
        WriteFile(dir_.File("volume.img"), volume_.bytes);
        // The reference: the same volume recovered from its own image.
        const auto r = Cli("recover " + Quote(dir_.File("volume.img")) +
                           " --scan --volume 1 --to " + Quote(dir_.File("want")));
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    // Writes the components; returns their paths joined by commas.
    std::string Write(const std::vector<std::vector<uint8_t>>& parts, const std::string& stem) {
        std::string list;
        for (size_t i = 0; i < parts.size(); ++i) {
            const std::string path = dir_.File(stem + std::to_string(i) + ".img");
            WriteFile(path, parts[i]);
            list += (i == 0 ? "" : ",") + path;
        }
        return list;
    }

    // Recovers the one volume of the metadevice and compares it with the reference.
    testing::CommandResult RecoverAndCompare(const std::string& layout,
                                             const std::string& want = "want") {
        const std::string out = dir_.File("out" + std::to_string(++runs_));
        auto r = Cli("recover " + layout + " --volume 1 --to " + Quote(out));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const auto diff = RunCommand("diff -r " + Quote(dir_.File(want)) + " " + Quote(out));
        EXPECT_EQ(diff.exitCode, 0) << layout << "\n" << diff.out << diff.err;
        return r;
    }

    TempDir dir_;
    UfsVolume volume_;
    int runs_ = 0;
};

TEST_F(Metadevice, AConcatenationIsItsPartsInOrder) {
    for (const uint32_t start : {0u, 16u}) {
        SCOPED_TRACE(start);
        const std::string list =
            Write(SplitIntoComponents(volume_.bytes, {SvmKind::Concat, 3, 0, start}), "c");
        const std::string layout = "--concat " + Quote(list) +
                                   (start != 0 ? " --start-block " + std::to_string(start) : "");
        const auto v = Cli("volumes " + layout + " --json");
        ASSERT_EQ(v.exitCode, 0) << v.err;
        const json vols = json::parse(v.out)["volumes"];
        ASSERT_EQ(vols.size(), 1u);
        EXPECT_EQ(vols[0]["label"], "metadevice");
        EXPECT_EQ(vols[0]["startSector"], 0);
        RecoverAndCompare(layout);
    }
}

TEST_F(Metadevice, StripesOfSmallAndLargeInterlacesAreReassembled) {
    for (const auto& [blocks, text] :
         std::vector<std::pair<uint32_t, std::string>>{{16, "8k"}, {128, "65536"}}) {
        SCOPED_TRACE(blocks);
        const std::string list =
            Write(SplitIntoComponents(volume_.bytes, {SvmKind::Stripe, 3, blocks, 0}), "s");
        RecoverAndCompare("--stripe " + Quote(list) + " --interlace " + text);
        // The listing and the tree agree with the volume's own.
        const auto a =
            Cli("ls --stripe " + Quote(list) + " --interlace " + text + " --volume 1 -r --json");
        const auto b = Cli("ls " + Quote(dir_.File("volume.img")) + " --scan --volume 1 -r --json");
        ASSERT_EQ(a.exitCode, 0) << a.err;
        EXPECT_EQ(json::parse(a.out)["entries"], json::parse(b.out)["entries"]);
    }
}

TEST_F(Metadevice, ARaid5SetIsReadWholeOrRebuiltFromParityWithAColumnGone) {
    const auto parts = SplitIntoComponents(volume_.bytes, {SvmKind::Raid5, 4, 32, 0});
    const std::string list = Write(parts, "r");
    const auto whole = RecoverAndCompare("--raid5 " + Quote(list) + " --interlace 16k");
    EXPECT_FALSE(Has(whole.err, "rebuilt")) << whole.err;
    // Each column in turn lost: what it held comes back from the others, and it is said.
    for (size_t lost = 0; lost < 4; ++lost) {
        SCOPED_TRACE(lost);
        std::string degraded;
        for (size_t i = 0; i < 4; ++i)
            degraded +=
                (i == 0 ? "" : ",") +
                (i == lost ? std::string("missing") : dir_.File("r" + std::to_string(i) + ".img"));
        const auto r = RecoverAndCompare("--raid5 " + Quote(degraded) + " --interlace 16k");
        EXPECT_TRUE(Has(r.err, "RAID-5 column " + std::to_string(lost + 1) + " is missing"))
            << r.err;
        EXPECT_TRUE(Has(r.err, "segment(s) of 32 sectors were rebuilt from parity")) << r.err;
    }
    // Two columns cannot be rebuilt: refused before anything is read.
    const auto two = Cli("volumes --raid5 missing,missing," + Quote(dir_.File("r2.img")) + "," +
                         Quote(dir_.File("r3.img")) + " --interlace 16k");
    EXPECT_EQ(two.exitCode, 1);
    EXPECT_TRUE(Has(two.err, "only one component can be missing")) << two.err;
}

TEST_F(Metadevice, AMirrorIsReadFromItsFresherHalf) {
    // Half 2 stopped being written a day earlier and holds an older tree.
    const UfsVolume older =
        BuildUfs(Dir("", {File("a.txt", "stale\n")}), Params(1199145600 - 86400));
    const auto fresh = SplitIntoComponents(volume_.bytes, {SvmKind::Mirror, 1, 0, 0});
    const auto stale = SplitIntoComponents(older.bytes, {SvmKind::Mirror, 1, 0, 0});
    WriteFile(dir_.File("m0.img"), fresh[0]);
    WriteFile(dir_.File("m1.img"), stale[0]);
    for (const std::string& order : {dir_.File("m0.img") + "," + dir_.File("m1.img"),
                                     dir_.File("m1.img") + "," + dir_.File("m0.img")}) {
        SCOPED_TRACE(order);
        const auto r = RecoverAndCompare("--mirror " + Quote(order));
        EXPECT_TRUE(Has(r.err, "was last written at another time")) << r.err;
        EXPECT_TRUE(Has(r.err, "m1.img")) << r.err;
    }
    // A half alone is a volume of its own.
    const auto alone = RecoverAndCompare("--mirror " + Quote(dir_.File("m0.img") + ",missing"));
    EXPECT_TRUE(Has(alone.err, "mirror half 2 is missing")) << alone.err;
}

TEST_F(Metadevice, TheGuessRanksTheRightOrderAndInterlaceFirst) {
    const auto parts = SplitIntoComponents(volume_.bytes, {SvmKind::Stripe, 3, 16, 0});
    Write(parts, "g");
    const std::string a = dir_.File("g0.img"), b = dir_.File("g1.img"), c = dir_.File("g2.img");
    // Given out of order and without the interlace.
    const auto r = Cli("volumes --guess --stripe " + Quote(c + "," + a + "," + b) + " --json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json guesses = json::parse(r.out)["guesses"];
    ASSERT_FALSE(guesses.empty());
    EXPECT_EQ(guesses[0]["components"], json::array({a, b, c}));
    EXPECT_EQ(guesses[0]["interlaceBytes"], 8192);
    EXPECT_EQ(guesses[0]["headersFound"], guesses[0]["headersChecked"]);
    // Every other candidate finds fewer of the volume's group headers where they must be.
    for (size_t i = 1; i < guesses.size(); ++i)
        EXPECT_LT(guesses[i]["headersFound"], guesses[0]["headersFound"]) << guesses[i].dump();
    // What it proposes works as it stands.
    RecoverAndCompare(guesses[0]["options"].get<std::string>());
    // A wrong order mounted as given shows no volume at its start, and says what to try.
    const auto wrong = Cli("volumes --stripe " + Quote(b + "," + a + "," + c) + " --interlace 8k");
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_TRUE(Has(wrong.err, "volumes --guess")) << wrong.err;
}

TEST_F(Metadevice, AComponentWithReplicasIsNamedAndReadPastThem) {
    // Each component keeps a state database replica of 1024 blocks at block 16; its data
    // begins after it.
    constexpr uint32_t kStart = 16 + 1024;
    auto parts = SplitIntoComponents(volume_.bytes, {SvmKind::Stripe, 2, 32, kStart});
    const auto mb = ReplicaMasterBlock(1024, 1199145600);
    for (auto& p : parts)
        std::copy(mb.begin(), mb.end(), p.begin() + 16 * 512);
    const std::string list = Write(parts, "p");
    const auto label = Cli("volumes " + Quote(dir_.File("p0.img")));
    EXPECT_EQ(label.exitCode, 1);
    EXPECT_TRUE(Has(label.err, "holds a Solaris Volume Manager state database replica"))
        << label.err;
    EXPECT_TRUE(Has(label.err, "--start-block")) << label.err;
    RecoverAndCompare("--stripe " + Quote(list) + " --interlace 16k --start-block " +
                      std::to_string(kStart));
    // Without the start block the replica is taken for data: no volume at the start.
    const auto wrong = Cli("volumes --stripe " + Quote(list) + " --interlace 16k");
    EXPECT_EQ(wrong.exitCode, 1);
}

TEST_F(Metadevice, NoComponentIsEverWrittenTo) {
    const auto parts = SplitIntoComponents(volume_.bytes, {SvmKind::Raid5, 3, 32, 0});
    const std::string list = Write(parts, "w");
    const std::string layout = "--raid5 " + Quote(list) + " --interlace 16k --volume 1";
    const std::string before = testing::Slurp(dir_.File("w1.img"));
    // A report or bad-sector map naming any component is refused before anything is read.
    for (const std::string& option : {std::string("--report "), std::string("--save-badmap ")}) {
        SCOPED_TRACE(option);
        const auto r = Cli("recover " + layout + " --to " + Quote(dir_.File("o")) + " " + option +
                           Quote(dir_.File("w1.img")));
        EXPECT_NE(r.exitCode, 0);
        EXPECT_TRUE(Has(r.err, "being read")) << r.err;
    }
    EXPECT_TRUE(testing::Slurp(dir_.File("w1.img")) == before);
}

TEST_F(Metadevice, LayoutMistakesAreUsageErrors) {
    const std::string img = Quote(dir_.File("volume.img"));
    struct Row {
        std::string args;
        int exit;
        std::string says;
    };
    const Row rows[] = {
        {"volumes " + img + " --stripe " + img + "," + img + " --interlace 8k", 2,
         "stands in place of DEVICE"},
        {"volumes --stripe " + img + "," + img, 1, "needs its interlace"},
        {"volumes --stripe " + img + "," + img + " --interlace 1000", 2,
         "is not a size in whole 512-byte blocks"},
        {"volumes --stripe " + img + "," + img + " --interlace 8q", 2, "is not a size"},
        {"volumes --concat " + img + ",," + img, 2, "an empty component"},
        {"volumes --stripe " + img + ",missing --interlace 8k", 1, "cannot do without"},
        {"volumes --guess " + img, 2, "--guess needs a layout"},
        {"volumes", 2, "DEVICE is required"},
        {"volumes --concat " + img + " --mirror " + img, 2, "excludes"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args);
        const auto out = Cli(r.args);
        EXPECT_EQ(out.exitCode, r.exit) << out.err;
        EXPECT_TRUE(Has(out.err, r.says)) << out.err;
    }
}

// The disks of metadevices whose state database replicas they carry: opened together
// with --disk, the metadevices are listed by name and one is recovered by --metadevice.
class ReplicaDisks : public Metadevice {
protected:
    static constexpr uint32_t kStart = 16 + 1024;
    std::string DiskArgs(const std::vector<std::string>& paths) {
        std::string a;
        for (const auto& p : paths)
            a += " --disk " + Quote(p);
        return a;
    }
    std::vector<std::string> WriteWithReplica(std::vector<std::vector<uint8_t>> parts,
                                              const ReplicaSpec& spec, const std::string& stem) {
        const auto replica = ReplicaBytes(spec);
        std::vector<std::string> paths;
        for (size_t i = 0; i < parts.size(); ++i) {
            std::copy(replica.begin(), replica.end(), parts[i].begin() + 16 * 512);
            paths.push_back(dir_.File(stem + std::to_string(i) + ".img"));
            WriteFile(paths.back(), parts[i]);
        }
        return paths;
    }
    static ReplicaComponent Comp(int t) {
        return {"c2t" + std::to_string(t) + "d0s0", kStart, 1, {}};
    }
};

TEST_F(ReplicaDisks, AStripeAndARaid5SetAreListedByNameAndRecoveredByteExact) {
    auto stripe = SplitIntoComponents(volume_.bytes, {SvmKind::Stripe, 3, 16, kStart});
    const auto rowBlocks = static_cast<uint32_t>(3 * (stripe[0].size() / 512 - kStart));
    auto raid = SplitIntoComponents(volume_.bytes, {SvmKind::Raid5, 4, 32, kStart});
    const auto raidBlocks = static_cast<uint32_t>(3 * (raid[0].size() / 512 - kStart));
    ReplicaSpec spec;
    spec.units.push_back({SvmKind::Stripe,
                          10,
                          rowBlocks,
                          16,
                          {{Comp(1), Comp(2), Comp(3)}},
                          {rowBlocks},
                          {},
                          0xffffffff});
    ReplicaSpec raidSpec;
    raidSpec.units.push_back({SvmKind::Raid5,
                              30,
                              raidBlocks,
                              32,
                              {{Comp(4), Comp(5), Comp(6), Comp(7)}},
                              {},
                              {},
                              0xffffffff});
    const auto s = WriteWithReplica(stripe, spec, "s");
    const auto r = WriteWithReplica(raid, raidSpec, "r");

    // Listed: its name, shape, components and where each was found.
    const auto list = Cli("volumes" + DiskArgs({s[2], s[0], s[1]}));
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_TRUE(Has(list.out, "SVM d10: stripe of 3, ")) << list.out;
    EXPECT_TRUE(Has(list.out, "c2t2d0s0 (Okay)")) << list.out;
    EXPECT_TRUE(Has(list.out, "--metadevice d10 opens it")) << list.out;
    const auto js = Cli("volumes --json" + DiskArgs({s[2], s[0], s[1]}));
    const json j = json::parse(js.out);
    ASSERT_EQ(j["metadevices"].size(), 1u);
    EXPECT_EQ(j["metadevices"][0]["name"], "d10");
    EXPECT_EQ(j["metadevices"][0]["assembled"], true);
    EXPECT_EQ(j["metadevices"][0]["blocks"], rowBlocks);

    // Recovered, the disks in any order: the only metadevice needs no --metadevice.
    auto rec = RecoverAndCompare(DiskArgs({s[1], s[2], s[0]}));
    EXPECT_TRUE(Has(rec.err, "SVM d10: stripe of 3")) << rec.err;
    // Named by the user.
    RecoverAndCompare(" --disk c2t3d0=" + Quote(s[2]) + " --disk c2t1d0=" + Quote(s[0]) +
                      " --disk c2t2d0=" + Quote(s[1]) + " --metadevice d10");

    // RAID-5 with a column's disk lost: recovered whole, the column named, exit 1.
    const std::string out = dir_.File("raid-out");
    const auto lost =
        Cli("recover" + DiskArgs({r[3], r[0], r[2]}) + " --volume 1 --to " + Quote(out));
    EXPECT_EQ(lost.exitCode, 1) << lost.err;
    EXPECT_TRUE(Has(lost.err, "component c2t5d0s0 of d30 is not on the disks given")) << lost.err;
    EXPECT_EQ(RunCommand("diff -r " + Quote(dir_.File("want")) + " " + Quote(out)).exitCode, 0);
}

TEST_F(ReplicaDisks, ChoosingAmongMetadevicesAndDisksWithoutAReplica) {
    auto a = SplitIntoComponents(volume_.bytes, {SvmKind::Mirror, 1, 0, kStart});
    const auto blocks = static_cast<uint32_t>(volume_.bytes.size() / 512);
    ReplicaSpec spec;
    spec.units.push_back({SvmKind::Stripe, 1, blocks, 0, {{Comp(1)}}, {blocks}, {}, 0xffffffff});
    spec.units.push_back({SvmKind::Stripe, 2, blocks, 0, {{Comp(2)}}, {blocks}, {}, 0xffffffff});
    const auto d = WriteWithReplica({a[0], a[0]}, spec, "m");
    const auto which = Cli("recover" + DiskArgs(d) + " --volume 1 --to " + Quote(dir_.File("x")));
    EXPECT_EQ(which.exitCode, 1); // as for a volume the disk does not have
    EXPECT_TRUE(Has(which.err, "several metadevices (d1, d2); choose one with --metadevice"))
        << which.err;
    const auto unknown = Cli("ls" + DiskArgs(d) + " --metadevice d9 --volume 1");
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(Has(unknown.err, "no metadevice d9")) << unknown.err;
    RecoverAndCompare(DiskArgs(d) + " --metadevice d2");

    // Disks with no replica: said, and the layout options offered instead.
    const auto none = Cli("volumes --disk " + Quote(dir_.File("volume.img")));
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(Has(none.err, "no state database replica can be read on these disks")) << none.err;
    EXPECT_TRUE(Has(none.err, "--stripe")) << none.err;
    // --disk stands in place of DEVICE and takes no --guess.
    EXPECT_EQ(Cli("volumes " + Quote(d[0]) + DiskArgs(d)).exitCode, 2);
    EXPECT_EQ(Cli("volumes --guess" + DiskArgs(d)).exitCode, 2);
}

TEST_F(ReplicaDisks, LabelledDisksAreKnownByTheDeviceIdsTheyKeep) {
    // A RAID-5 set over three labelled disks, each with the replica on slice 7 and the
    // id the driver made up for it in its alternate cylinders.
    const auto parts = SplitIntoComponents(volume_.bytes, {SvmKind::Raid5, 3, 32, 0});
    const auto blocks = static_cast<uint32_t>(2 * (parts[0].size() / 512));
    const auto id = [](int t) {
        return EncodeDeviceId(3, "sd",
                              {0x80, 0x11, 0x22, 0x33, 0x47, 0, 0, static_cast<uint8_t>(t)});
    };
    ReplicaUnit u{SvmKind::Raid5, 40, blocks, 32, {{}}, {}, {}, 0xffffffff};
    for (int t = 1; t <= 3; ++t)
        u.rows[0].push_back({"c3t" + std::to_string(t) + "d0s0", 0, 1, id(t)});
    ReplicaSpec spec;
    spec.units.push_back(u);
    const auto replica = ReplicaBytes(spec);
    std::vector<std::string> paths;
    for (size_t i = 0; i < parts.size(); ++i) {
        paths.push_back(dir_.File("id" + std::to_string(i) + ".img"));
        WriteFile(paths.back(),
                  ComponentDisk(parts[i], replica, id(static_cast<int>(i) + 1)).bytes);
    }
    const auto js = Cli("volumes --json" + DiskArgs({paths[2], paths[0], paths[1]}));
    ASSERT_EQ(js.exitCode, 0) << js.err;
    const json m = json::parse(js.out)["metadevices"][0];
    EXPECT_EQ(m["guessed"], false);
    ASSERT_EQ(m["placements"].size(), 3u);
    for (const auto& p : m["placements"])
        EXPECT_TRUE(Has(p.get<std::string>(), ", slice 0, from sector 1152, by its device id"))
            << p;
    const auto rec = RecoverAndCompare(DiskArgs({paths[1], paths[2], paths[0]}));
    EXPECT_FALSE(Has(rec.err, "matched to the components by the file system")) << rec.err;
}

} // namespace
} // namespace trevik

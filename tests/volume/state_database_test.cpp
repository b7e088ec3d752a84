// Metadevices found from the state database replicas their components carry: the
// replica names each metadevice, its layout and its components; the images given are
// matched to the components (by the names the user gives, or by trying them), and the
// assembled metadevice holds the volume byte for byte. Damaged replicas are said, and a
// sound one elsewhere is used instead.

#include "format/device_id.h"
#include "format/sparc_label.h"
#include "support/engine_support.h"
#include "svm_builder.h"
#include "volume/state_database.h"

#include <cstring>
#include <fstream>

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::TempDir;

constexpr uint32_t kReplicaBlocks = 1024;
constexpr uint32_t kStart = 16 + kReplicaBlocks; // where each component's data begins

UfsParams Params(int64_t time = 1199145600) {
    UfsParams p;
    p.sizeSectors = 24000;
    p.cylindersPerGroup = 4;
    p.time = time;
    return p;
}

TreeNode Tree() {
    return Dir("", {GeneratedFile("big.bin", 900000, 5), File("a.txt", "alpha\n")});
}

struct Disks {
    TempDir dir;
    std::vector<std::string> paths;

    // Writes the components, each with `replica` at its block 16.
    void Write(std::vector<std::vector<uint8_t>> parts, const std::vector<uint8_t>& replica) {
        for (size_t i = 0; i < parts.size(); ++i) {
            auto& p = parts[i];
            if (!replica.empty())
                std::copy(replica.begin(), replica.end(), p.begin() + 16 * 512);
            paths.push_back(dir.File("disk" + std::to_string(i) + ".img"));
            WriteFile(paths.back(), p);
        }
    }
    std::vector<DiskSource> Sources(const std::vector<size_t>& order) const {
        std::vector<DiskSource> s;
        for (size_t i : order)
            s.push_back({paths[i], ""});
        return s;
    }
};

ReplicaComponent Comp(int target) {
    return {"c1t" + std::to_string(target) + "d0s0", kStart, 1, {}};
}

// The first `bytes` bytes of the metadevice the search put together.
std::vector<uint8_t> Assembled(const FoundMetadevice& m, size_t bytes) {
    EXPECT_TRUE(m.layout) << m.problem;
    if (!m.layout)
        return {};
    auto d = AssembledDevice::Open(*m.layout);
    EXPECT_TRUE(d) << d.error();
    if (!d)
        return {};
    std::vector<uint8_t> out(bytes);
    EXPECT_TRUE((*d)->ReadAt(0, out));
    return out;
}

TEST(StateDatabase, AStripeIsNamedAndItsComponentsFoundInAnyOrder) {
    const UfsVolume volume = BuildUfs(Tree(), Params());
    auto parts = SplitIntoComponents(volume.bytes, {SvmKind::Stripe, 3, 16, kStart});
    const auto rowBlocks = static_cast<uint32_t>(3 * (parts[0].size() / 512 - kStart));
    ReplicaSpec spec;
    spec.blocks = kReplicaBlocks;
    spec.units.push_back({SvmKind::Stripe,
                          10,
                          rowBlocks,
                          16,
                          {{Comp(1), Comp(2), Comp(3)}},
                          {rowBlocks},
                          {},
                          0xffffffff});
    Disks disks;
    disks.Write(parts, ReplicaBytes(spec));

    std::atomic<bool> stop{false};
    // Given in another order, unnamed: the order is found by the file system it shows.
    const MetadeviceSearch s = FindMetadevices(disks.Sources({2, 0, 1}), stop);
    EXPECT_TRUE(s.warnings.empty()) << s.warnings[0];
    ASSERT_EQ(s.found.size(), 1u);
    const FoundMetadevice& m = s.found[0];
    EXPECT_EQ(m.name, "d10");
    EXPECT_EQ(m.description.rfind("SVM d10: stripe of 3, ", 0), 0u) << m.description;
    EXPECT_EQ(m.components,
              (std::vector<std::string>{"c1t1d0s0 (Okay)", "c1t2d0s0 (Okay)", "c1t3d0s0 (Okay)"}));
    ASSERT_TRUE(m.layout) << m.problem;
    EXPECT_TRUE(m.guessed);
    EXPECT_EQ(m.layout->kind, LayoutKind::Stripe);
    EXPECT_EQ(m.layout->interlaceSectors, 16u);
    EXPECT_EQ(m.layout->components,
              (std::vector<std::string>{disks.paths[0], disks.paths[1], disks.paths[2]}));
    EXPECT_TRUE(Assembled(m, volume.bytes.size()) == volume.bytes);

    // Named by the user: taken as named, nothing guessed.
    std::vector<DiskSource> named = {
        {disks.paths[1], "c1t2d0"}, {disks.paths[2], "c1t3d0"}, {disks.paths[0], "c1t1d0"}};
    const MetadeviceSearch n = FindMetadevices(named, stop);
    ASSERT_EQ(n.found.size(), 1u);
    EXPECT_FALSE(n.found[0].guessed);
    EXPECT_TRUE(Assembled(n.found[0], volume.bytes.size()) == volume.bytes);
}

TEST(StateDatabase, AConcatenationTakesEachRowsLength) {
    const UfsVolume volume = BuildUfs(Tree(), Params());
    auto parts = SplitIntoComponents(volume.bytes, {SvmKind::Concat, 3, 0, kStart});
    ReplicaUnit u{SvmKind::Concat, 5, 0, 0, {}, {}, {}, 0xffffffff};
    for (size_t i = 0; i < parts.size(); ++i) {
        u.rows.push_back({Comp(static_cast<int>(i) + 1)});
        u.rowBlocks.push_back(static_cast<uint32_t>(parts[i].size() / 512 - kStart));
        u.blocks += u.rowBlocks.back();
        parts[i].resize(parts[i].size() + 64 * 512, 0xee); // more disk than the row uses
    }
    ReplicaSpec spec;
    spec.blocks = kReplicaBlocks;
    spec.units.push_back(u);
    Disks disks;
    disks.Write(parts, ReplicaBytes(spec));
    std::atomic<bool> stop{false};
    const MetadeviceSearch s = FindMetadevices(disks.Sources({1, 2, 0}), stop);
    ASSERT_EQ(s.found.size(), 1u);
    EXPECT_EQ(s.found[0].description.rfind("SVM d5: concatenation of 3", 0), 0u);
    EXPECT_TRUE(Assembled(s.found[0], volume.bytes.size()) == volume.bytes);
}

TEST(StateDatabase, AMirrorIsItsSubmirrorsAndTheFresherHalfIsRead) {
    const UfsVolume fresh = BuildUfs(Tree(), Params(1199145600));
    const UfsVolume stale = BuildUfs(Dir("", {File("old.txt", "old\n")}), Params(1199000000));
    auto a = SplitIntoComponents(stale.bytes, {SvmKind::Mirror, 1, 0, kStart});
    auto b = SplitIntoComponents(fresh.bytes, {SvmKind::Mirror, 1, 0, kStart});
    const auto blocks = static_cast<uint32_t>(fresh.bytes.size() / 512);
    ReplicaSpec spec;
    spec.blocks = kReplicaBlocks;
    spec.units.push_back({SvmKind::Mirror, 20, blocks, 0, {}, {}, {21, 22}, 0xffffffff});
    spec.units.push_back({SvmKind::Stripe, 21, blocks, 0, {{Comp(1)}}, {blocks}, {}, 20});
    spec.units.push_back({SvmKind::Stripe, 22, blocks, 0, {{Comp(2)}}, {blocks}, {}, 20});
    Disks disks;
    disks.Write({a[0], b[0]}, ReplicaBytes(spec));
    std::atomic<bool> stop{false};
    const MetadeviceSearch s = FindMetadevices(disks.Sources({0, 1}), stop);
    // The submirrors are part of their mirror, not metadevices of their own.
    ASSERT_EQ(s.found.size(), 1u);
    const FoundMetadevice& m = s.found[0];
    EXPECT_EQ(m.description.rfind("SVM d20: mirror of 2, ", 0), 0u) << m.description;
    EXPECT_EQ(m.components, (std::vector<std::string>{"d21 (Okay)", "d22 (Okay)"}));
    ASSERT_TRUE(m.layout);
    auto d = AssembledDevice::Open(*m.layout);
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)->Spec().components[(*d)->MirrorHalf()], disks.paths[1]);
    EXPECT_TRUE(Assembled(m, fresh.bytes.size()) == fresh.bytes);
}

TEST(StateDatabase, AMirrorOfStripesAndAConcatenationOfStripesArePutTogether) {
    const UfsVolume fresh = BuildUfs(Tree(), Params(1199145600));
    const UfsVolume stale = BuildUfs(Dir("", {File("old.txt", "old\n")}), Params(1199000000));
    // d40: a mirror of d41 (a stripe over two slices, an older copy) and d42 (another).
    auto a = SplitIntoComponents(stale.bytes, {SvmKind::Stripe, 2, 16, kStart});
    auto b = SplitIntoComponents(fresh.bytes, {SvmKind::Stripe, 2, 16, kStart});
    const auto row = static_cast<uint32_t>(2 * (a[0].size() / 512 - kStart));
    ReplicaSpec spec;
    spec.blocks = kReplicaBlocks;
    spec.units.push_back({SvmKind::Mirror, 40, row, 0, {}, {}, {41, 42}, 0xffffffff});
    spec.units.push_back({SvmKind::Stripe, 41, row, 16, {{Comp(1), Comp(2)}}, {row}, {}, 40});
    spec.units.push_back({SvmKind::Stripe, 42, row, 16, {{Comp(3), Comp(4)}}, {row}, {}, 40});
    Disks mirror;
    mirror.Write({a[0], a[1], b[0], b[1]}, ReplicaBytes(spec));
    std::atomic<bool> stop{false};
    // Unnamed, the halves' slices can be mixed and still show a file system: said.
    MetadeviceSearch s = FindMetadevices(mirror.Sources({3, 1, 0, 2}), stop);
    ASSERT_EQ(s.found.size(), 1u);
    EXPECT_EQ(s.found[0].description.rfind("SVM d40: mirror of 2, ", 0), 0u);
    ASSERT_EQ(s.warnings.size(), 1u);
    EXPECT_NE(s.warnings[0].find("name the disks"), std::string::npos) << s.warnings[0];
    // Named, the fresher half is read whole.
    s = FindMetadevices({{mirror.paths[3], "c1t4d0"},
                         {mirror.paths[1], "c1t2d0"},
                         {mirror.paths[0], "c1t1d0"},
                         {mirror.paths[2], "c1t3d0"}},
                        stop);
    ASSERT_EQ(s.found.size(), 1u);
    EXPECT_TRUE(s.warnings.empty());
    EXPECT_TRUE(Assembled(s.found[0], fresh.bytes.size()) == fresh.bytes);

    // d50: two rows, each a stripe of two, the second added when the first filled up.
    const size_t half = 2 * 16 * 512 * 200; // the first row: 200 lines of the interlace
    const std::vector<uint8_t> first(fresh.bytes.begin(), fresh.bytes.begin() + half);
    const std::vector<uint8_t> rest(fresh.bytes.begin() + half, fresh.bytes.end());
    auto r0 = SplitIntoComponents(first, {SvmKind::Stripe, 2, 16, kStart});
    auto r1 = SplitIntoComponents(rest, {SvmKind::Stripe, 2, 16, kStart});
    const auto b0 = static_cast<uint32_t>(half / 512);
    const auto b1 = static_cast<uint32_t>(2 * (r1[0].size() / 512 - kStart));
    ReplicaSpec concat;
    concat.blocks = kReplicaBlocks;
    concat.units.push_back({SvmKind::Stripe,
                            50,
                            b0 + b1,
                            16,
                            {{Comp(1), Comp(2)}, {Comp(3), Comp(4)}},
                            {b0, b1},
                            {},
                            0xffffffff});
    for (auto* p : {&r0[0], &r0[1]})
        p->resize(p->size() + 32 * 512, 0xee); // slices larger than the row uses
    Disks rows;
    rows.Write({r0[0], r0[1], r1[0], r1[1]}, ReplicaBytes(concat));
    s = FindMetadevices(rows.Sources({2, 0, 3, 1}), stop);
    ASSERT_EQ(s.found.size(), 1u);
    EXPECT_EQ(s.found[0].description.rfind("SVM d50: concatenation of 2, ", 0), 0u)
        << s.found[0].description;
    EXPECT_TRUE(Assembled(s.found[0], fresh.bytes.size()) == fresh.bytes);
}

TEST(StateDatabase, ARaid5SetWithAColumnGoneIsRebuiltAndTheColumnNamed) {
    const UfsVolume volume = BuildUfs(Tree(), Params());
    auto parts = SplitIntoComponents(volume.bytes, {SvmKind::Raid5, 4, 32, kStart});
    const auto blocks = static_cast<uint32_t>(3 * (parts[0].size() / 512 - kStart));
    ReplicaSpec spec;
    spec.blocks = kReplicaBlocks;
    spec.units.push_back({SvmKind::Raid5,
                          30,
                          blocks,
                          32,
                          {{Comp(1), Comp(2), Comp(3), Comp(4)}},
                          {},
                          {},
                          0xffffffff});
    Disks disks;
    disks.Write(parts, ReplicaBytes(spec));
    std::atomic<bool> stop{false};
    // Column c1t3d0s0's disk is lost.
    const MetadeviceSearch s = FindMetadevices(disks.Sources({3, 0, 1}), stop);
    ASSERT_EQ(s.found.size(), 1u);
    const FoundMetadevice& m = s.found[0];
    EXPECT_EQ(m.description.rfind("SVM d30: RAID-5 of 4, ", 0), 0u);
    EXPECT_EQ(m.missing, (std::vector<std::string>{"c1t3d0s0"}));
    ASSERT_TRUE(m.layout);
    EXPECT_EQ(m.layout->components[2], kMissingComponent);
    EXPECT_TRUE(Assembled(m, volume.bytes.size()) == volume.bytes);
}

TEST(StateDatabase, ADamagedReplicaIsSaidAndASoundOneElsewhereUsed) {
    const UfsVolume volume = BuildUfs(Tree(), Params());
    auto parts = SplitIntoComponents(volume.bytes, {SvmKind::Stripe, 2, 16, kStart});
    const auto rowBlocks = static_cast<uint32_t>(2 * (parts[0].size() / 512 - kStart));
    ReplicaSpec spec;
    spec.blocks = kReplicaBlocks;
    spec.units.push_back(
        {SvmKind::Stripe, 10, rowBlocks, 16, {{Comp(1), Comp(2)}}, {rowBlocks}, {}, 0xffffffff});
    const auto replica = ReplicaBytes(spec);
    Disks disks;
    disks.Write(parts, replica);
    // The stripe's record on the first disk loses a byte: its checksum no longer holds.
    // Logical block 5 (the record after the namespace's) lies at block 16 + 1 + 5.
    {
        std::fstream f(disks.paths[0], std::ios::in | std::ios::out | std::ios::binary);
        f.seekp((17 + 5) * 512 + 100);
        f.put('\x5a');
    }
    std::atomic<bool> stop{false};
    MetadeviceSearch s = FindMetadevices(disks.Sources({0, 1}), stop);
    ASSERT_EQ(s.found.size(), 1u);
    EXPECT_EQ(s.replica, disks.paths[1]);
    ASSERT_FALSE(s.warnings.empty());
    EXPECT_NE(s.warnings[0].find("checksum is wrong"), std::string::npos) << s.warnings[0];
    EXPECT_TRUE(Assembled(s.found[0], volume.bytes.size()) == volume.bytes);

    // Every replica damaged: nothing is listed, and each is said.
    {
        std::fstream f(disks.paths[1], std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(16 * 512 + 40); // the master block
        f.put('\x01');
    }
    s = FindMetadevices(disks.Sources({0, 1}), stop);
    EXPECT_TRUE(s.found.empty());
    ASSERT_EQ(s.warnings.size(), 2u);
    EXPECT_NE(s.warnings[1].find("master block's checksum is wrong"), std::string::npos)
        << s.warnings[1];
}

// The decoders on their own: the checksum as md_crc.c makes it, and structures whose
// counts and links are hostile, which must fail with a reason and no read outside.
TEST(StateDatabaseFormat, ChecksumsAndHostileStructures) {
    // A block of zeros with the checksum at 8: the seed shifted through 508 zero bytes.
    std::vector<uint8_t> zeros(512, 0);
    const uint32_t crc = svm::Checksum(zeros, 8);
    EXPECT_EQ(crc, svm::Checksum(zeros, 8, {}));
    zeros[300] = 1;
    EXPECT_NE(svm::Checksum(zeros, 8), crc);
    const svm::SkipArea skip[] = {{300, 4}};
    EXPECT_EQ(svm::Checksum(zeros, 8, skip), svm::Checksum(std::vector<uint8_t>(512, 0), 8, skip));

    ReplicaSpec spec;
    spec.blocks = 64;
    spec.units.push_back(
        {SvmKind::Stripe, 1, 100, 0, {{{"c0t0d0s0", 0, 1, {}}}}, {100}, {}, 0xffffffff});
    auto replica = ReplicaBytes(spec);
    const auto master = svm::DecodeMasterBlock({replica.data(), 512});
    ASSERT_TRUE(master);
    EXPECT_TRUE(master->checksumOk);
    EXPECT_EQ(master->firstBlock, 17u);
    EXPECT_EQ(master->blockCount, 63u);
    // The directory block is logical block 3: its entries' block count made huge.
    std::span<uint8_t> dir(replica.data() + 512 * 4, 512);
    auto good = svm::DecodeDirectoryBlock(dir);
    ASSERT_TRUE(good.value) << good.error;
    ASSERT_EQ(good.value->entries.size(), 2u);
    EXPECT_EQ(good.value->entries[0].type1, svm::kTypeNames);
    EXPECT_EQ(good.value->entries[1].flags, svm::kFlagStripe);
    dir[40 + 28] = 0x7f; // de32_blkcount of the first entry
    EXPECT_EQ(svm::DecodeDirectoryBlock(dir).error, "a directory block's checksum is wrong");
    const uint32_t fixed = svm::Checksum(dir, 8);
    for (int i = 0; i < 4; ++i)
        dir[8 + i] = static_cast<uint8_t>(fixed >> (24 - 8 * i));
    const auto bad = svm::DecodeDirectoryBlock(dir);
    EXPECT_FALSE(bad.value);
    EXPECT_NE(bad.error.find("blocks for a record"), std::string::npos) << bad.error;

    // A stripe unit whose row count or component offset points outside its record.
    std::vector<uint8_t> unit(200, 0);
    unit[11] = 1;  // MD_DEVICE
    unit[87] = 50; // 50 rows in 200 bytes
    EXPECT_FALSE(svm::DecodeStripeUnit(unit).value);
    unit[87] = 1;
    unit[91] = 250; // components past the end
    unit[99] = 1;
    EXPECT_FALSE(svm::DecodeStripeUnit(unit).value);
    // Names whose length runs past the record stop there.
    std::vector<uint8_t> names(64, 0);
    names[11] = 64;        // r_used_size
    names[24 + 24] = 0xff; // n_namlen of the first entry
    names[24 + 25] = 0xff;
    EXPECT_TRUE(svm::DecodeNames(names).empty());
}

TEST(StateDatabase, ADirectoryThatLinksBackOnItselfEndsWithAReason) {
    ReplicaSpec spec;
    spec.blocks = 64;
    spec.units.push_back(
        {SvmKind::Stripe, 1, 100, 0, {{{"c0t0d0s0", 0, 1, {}}}}, {100}, {}, 0xffffffff});
    auto replica = ReplicaBytes(spec);
    std::span<uint8_t> dir(replica.data() + 512 * 4, 512);
    dir[23] = 3; // db_nextblk: itself
    const uint32_t fixed = svm::Checksum(dir, 8);
    for (int i = 0; i < 4; ++i)
        dir[8 + i] = static_cast<uint8_t>(fixed >> (24 - 8 * i));
    std::vector<uint8_t> slice(16 * 512);
    slice.insert(slice.end(), replica.begin(), replica.end());
    MemoryBlockDevice device(slice, "slice");
    FaultyDevice counting(device);
    SectorReader reader(&counting, slice.size() / 512);
    const auto db = ReadStateDatabase(reader, 0);
    ASSERT_FALSE(db);
    EXPECT_EQ(db.error(), "its directory blocks run in a loop");
    EXPECT_LE(counting.Calls().size(), 16u);
}

} // namespace
} // namespace trevik

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::TempDir;

constexpr uint32_t kCylinder = kComponentDiskHeads * kComponentDiskSectors;

std::vector<uint8_t> MadeUpId(int disk) {
    // A fabricated id: the host id, the time it was made, a counter.
    std::vector<uint8_t> id = {0x83, 0x2f, 0x11, 0x07, 0x47, 0x7a, 0x10, 0x00,
                               0x00, 0x0c, 0x35, 0x00, 0x00, 0x00, 0x00, 0x00};
    id.back() = static_cast<uint8_t>(disk);
    return EncodeDeviceId(devid::kFabricated, "sd", id);
}

bool Says(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(StateDatabase, DisksAreMatchedToComponentsByTheDeviceIdsTheReplicaRecords) {
    const UfsVolume volume = BuildUfs(Tree(), Params());
    const auto parts = SplitIntoComponents(volume.bytes, {SvmKind::Stripe, 3, 16, 0});
    const auto rowBlocks = static_cast<uint32_t>(3 * (parts[0].size() / 512));
    ReplicaSpec spec;
    spec.blocks = kReplicaBlocks;
    std::vector<ReplicaComponent> row;
    for (int t = 1; t <= 3; ++t)
        row.push_back({"c1t" + std::to_string(t) + "d0s0", 0, 1, MadeUpId(t)});
    spec.units.push_back({SvmKind::Stripe, 10, rowBlocks, 16, {row}, {rowBlocks}, {}, 0xffffffff});
    const auto replica = ReplicaBytes(spec);
    TempDir dir;
    std::vector<std::string> paths;
    std::vector<ComponentDiskImage> disks;
    for (size_t i = 0; i < parts.size(); ++i) {
        disks.push_back(ComponentDisk(parts[i], replica, MadeUpId(int(i) + 1)));
        paths.push_back(dir.File("disk" + std::to_string(i) + ".img"));
        WriteFile(paths.back(), disks.back().bytes);
    }
    const auto sources = [&](std::vector<size_t> order) {
        std::vector<DiskSource> s;
        for (size_t i : order)
            s.push_back({paths[i], ""});
        return s;
    };
    std::atomic<bool> stop{false};

    // Unnamed and out of order: each disk is the one its id says, nothing is guessed.
    MetadeviceSearch s = FindMetadevices(sources({2, 0, 1}), stop);
    EXPECT_TRUE(s.warnings.empty()) << s.warnings[0];
    ASSERT_EQ(s.found.size(), 1u);
    ASSERT_TRUE(s.found[0].layout) << s.found[0].problem;
    EXPECT_FALSE(s.found[0].guessed);
    EXPECT_EQ(s.found[0].layout->components, paths);
    ASSERT_EQ(s.found[0].placements.size(), 3u);
    EXPECT_NE(
        s.found[0].placements[0].find(", slice 0, from sector " +
                                      std::to_string(kComponentDiskReplicaCylinders * kCylinder) +
                                      ", by its device id"),
        std::string::npos)
        << s.found[0].placements[0];
    EXPECT_TRUE(Assembled(s.found[0], volume.bytes.size()) == volume.bytes);

    // A disk whose id block is damaged is not taken for one: the others still are, and
    // the file system settles the rest.
    {
        std::fstream f(paths[1], std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(disks[1].idSector * 512 + 20));
        f.put('\x77');
    }
    s = FindMetadevices(sources({1, 2, 0}), stop);
    ASSERT_EQ(s.found.size(), 1u);
    ASSERT_EQ(s.found[0].placements.size(), 3u);
    EXPECT_EQ(s.found[0].placements[1].find("by its device id"), std::string::npos);
    EXPECT_NE(s.found[0].placements[2].find("by its device id"), std::string::npos);
    EXPECT_TRUE(Assembled(s.found[0], volume.bytes.size()) == volume.bytes);

    // A disk named as another is said; the user's name is still what is used.
    s = FindMetadevices({{paths[0], "c1t3d0"}, {paths[1], ""}, {paths[2], ""}}, stop);
    EXPECT_TRUE(Says(s.warnings, paths[0] + ", named c1t3d0, is not the disk the state "
                                            "database knows as c1t3d0"))
        << (s.warnings.empty() ? "" : s.warnings[0]);

    // Two copies of one disk (an image taken twice): the id cannot tell them apart, so
    // the search tries both and either reads the volume.
    const std::string copy = dir.File("copy-of-disk0.img");
    WriteFile(copy, disks[0].bytes);
    s = FindMetadevices({{paths[2], ""}, {copy, ""}, {paths[1], ""}, {paths[0], ""}}, stop);
    ASSERT_EQ(s.found.size(), 1u);
    EXPECT_TRUE(s.found[0].guessed);
    EXPECT_TRUE(Assembled(s.found[0], volume.bytes.size()) == volume.bytes);
}

// Metadevices of 1 TB and more keep their units in the layout with 64-bit block and
// device numbers: a stripe, a mirror of two halves (one older) and a RAID-5 set with a
// column gone are read from it as from the smaller one.
TEST(StateDatabase, TheLayoutOfMetadevicesOfATerabyteAndMoreIsRead) {
    const UfsVolume fresh = BuildUfs(Tree(), Params(1199145600));
    const UfsVolume stale = BuildUfs(Dir("", {File("old.txt", "old\n")}), Params(1199000000));
    std::atomic<bool> stop{false};
    const auto replicaOf = [](ReplicaUnit u, std::vector<ReplicaUnit> more = {}) {
        ReplicaSpec spec;
        spec.blocks = kReplicaBlocks;
        spec.large = true;
        spec.units.push_back(std::move(u));
        for (auto& m : more)
            spec.units.push_back(std::move(m));
        return ReplicaBytes(spec);
    };
    {
        auto parts = SplitIntoComponents(fresh.bytes, {SvmKind::Stripe, 3, 16, kStart});
        const uint64_t row = 3 * (parts[0].size() / 512 - kStart);
        Disks disks;
        disks.Write(parts, replicaOf({SvmKind::Stripe,
                                      10,
                                      row,
                                      16,
                                      {{Comp(1), Comp(2), Comp(3)}},
                                      {row},
                                      {},
                                      0xffffffff}));
        const MetadeviceSearch s = FindMetadevices(disks.Sources({1, 2, 0}), stop);
        EXPECT_TRUE(s.warnings.empty()) << s.warnings[0];
        ASSERT_EQ(s.found.size(), 1u);
        EXPECT_EQ(s.found[0].unit.blocks, row);
        EXPECT_EQ(s.found[0].layout->interlaceSectors, 16u);
        EXPECT_TRUE(Assembled(s.found[0], fresh.bytes.size()) == fresh.bytes);
    }
    {
        auto a = SplitIntoComponents(stale.bytes, {SvmKind::Mirror, 1, 0, kStart});
        auto b = SplitIntoComponents(fresh.bytes, {SvmKind::Mirror, 1, 0, kStart});
        const uint64_t blocks = fresh.bytes.size() / 512;
        Disks disks;
        disks.Write({a[0], b[0]},
                    replicaOf({SvmKind::Mirror, 20, blocks, 0, {}, {}, {21, 22}, 0xffffffff},
                              {{SvmKind::Stripe, 21, blocks, 0, {{Comp(1)}}, {blocks}, {}, 20},
                               {SvmKind::Stripe, 22, blocks, 0, {{Comp(2)}}, {blocks}, {}, 20}}));
        const MetadeviceSearch s = FindMetadevices(disks.Sources({1, 0}), stop);
        ASSERT_EQ(s.found.size(), 1u);
        EXPECT_EQ(s.found[0].components, (std::vector<std::string>{"d21 (Okay)", "d22 (Okay)"}));
        EXPECT_TRUE(Assembled(s.found[0], fresh.bytes.size()) == fresh.bytes);
    }
    {
        auto parts = SplitIntoComponents(fresh.bytes, {SvmKind::Raid5, 4, 32, kStart});
        const uint64_t blocks = 3 * (parts[0].size() / 512 - kStart);
        Disks disks;
        disks.Write(parts, replicaOf({SvmKind::Raid5,
                                      30,
                                      blocks,
                                      32,
                                      {{Comp(1), Comp(2), Comp(3), Comp(4)}},
                                      {},
                                      {},
                                      0xffffffff}));
        const MetadeviceSearch s = FindMetadevices(disks.Sources({3, 1, 0}), stop);
        ASSERT_EQ(s.found.size(), 1u);
        EXPECT_EQ(s.found[0].missing, (std::vector<std::string>{"c1t3d0s0"}));
        EXPECT_TRUE(Assembled(s.found[0], fresh.bytes.size()) == fresh.bytes);
    }
}

TEST(StateDatabaseFormat, NumbersPastFourGigablocksAreReadWhole) {
    // A 6 TB concatenation whose second row starts 3 TB into its slice: numbers that a
    // 32-bit field cannot hold.
    constexpr uint64_t kRow = 6'000'000'000, kOffset = 5'000'000'000;
    ReplicaSpec spec;
    spec.blocks = 64;
    spec.large = true;
    spec.units.push_back({SvmKind::Stripe,
                          7,
                          2 * kRow,
                          0,
                          {{{"c0t0d0s0", 0, 1, {}}}, {{"c0t1d0s0", kOffset, 1, {}}}},
                          {kRow, kRow},
                          {},
                          0xffffffff});
    const auto replica = ReplicaBytes(spec);
    std::vector<uint8_t> slice(16 * 512);
    slice.insert(slice.end(), replica.begin(), replica.end());
    MemoryBlockDevice device(slice, "slice");
    SectorReader reader(&device, slice.size() / 512);
    const auto db = ReadStateDatabase(reader, 0);
    ASSERT_TRUE(db) << db.error();
    ASSERT_EQ(db->units.size(), 1u);
    const svm::Unit& u = db->units[0];
    EXPECT_EQ(u.unitNumber, 7u);
    EXPECT_EQ(u.blocks, 2 * kRow);
    ASSERT_EQ(u.rows.size(), 2u);
    EXPECT_EQ(u.rows[1].blocks, kRow);
    EXPECT_EQ(u.rows[1].components[0].startBlock, kOffset);
    EXPECT_EQ(db->names.at(u.rows[1].components[0].key), "c0t1d0s0");
    EXPECT_TRUE(db->problems.empty()) << db->problems[0];
}

TEST(DeviceId, TheBlockOnTheDiskAndTheWaysAnIdIsWritten) {
    const auto id = MadeUpId(5);
    auto block = DeviceIdBlock(id);
    const auto read = devid::DecodeStoredDeviceId(block);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->raw, id);
    EXPECT_EQ(read->type, devid::kFabricated);
    EXPECT_EQ(devid::DeviceIdText(*read), "id1,sd@f832f1107477a1000000c350000000005");
    // A flipped bit, a length past the block, and a short buffer are no id.
    for (size_t at : {size_t{3 + 12}, size_t{200}}) {
        auto bad = block;
        bad[at] ^= 0x10;
        EXPECT_FALSE(devid::DecodeStoredDeviceId(bad)) << at;
    }
    auto longer = EncodeDeviceId(devid::kFabricated, "sd", std::vector<uint8_t>(600, 1));
    EXPECT_FALSE(devid::DecodeDeviceId(std::span(longer).first(300)));
    EXPECT_FALSE(devid::DecodeStoredDeviceId(std::span(block).first(100)));

    // A serial number is written as text; a world-wide name is compared with the one
    // Linux gives, whatever its case.
    const auto serial = devid::DecodeDeviceId(
        EncodeDeviceId(devid::kScsiSerial, "sd", {'S', 'E', 'A', 'G', 'A', 'T', 'E', ' ', 'X'}));
    ASSERT_TRUE(serial);
    EXPECT_EQ(devid::DeviceIdText(*serial), "id1,sd@SSEAGATE_X");
    const auto naa = devid::DecodeDeviceId(EncodeDeviceId(
        devid::kScsi3VpdNaa, "sd", {0x50, 0x00, 0xc5, 0x00, 0xa1, 0xb2, 0xc3, 0xd4}));
    ASSERT_TRUE(naa);
    EXPECT_TRUE(devid::SameDeviceAsWwid(*naa, "naa.5000C500A1B2C3D4\n"));
    EXPECT_FALSE(devid::SameDeviceAsWwid(*naa, "naa.5000c500a1b2c3d5"));
    EXPECT_FALSE(devid::SameDeviceAsWwid(*naa, "eui.5000c500a1b2c3d4"));
    EXPECT_FALSE(devid::SameDeviceAsWwid(*serial, "t10.SEAGATE X"));
    const auto t10 = devid::DecodeDeviceId(
        EncodeDeviceId(devid::kScsi3VpdT10, "sd", {'A', 'T', 'A', ' ', ' ', 'S', 'T', '1'}));
    ASSERT_TRUE(t10);
    EXPECT_TRUE(devid::SameDeviceAsWwid(*t10, "t10.ATA     ST1   "));

    // Where the label keeps it, and that a label with one alternate cylinder keeps none.
    SparcLabel l;
    l.heads = 4;
    l.sectorsPerTrack = 32;
    l.dataCylinders = 100;
    l.alternateCylinders = 2;
    EXPECT_EQ(DeviceIdSector(l), uint64_t{100 * 128 + 3 * 32 + 1});
    l.alternateCylinders = 1;
    EXPECT_FALSE(DeviceIdSector(l));
}

TEST(StateDatabaseFormat, NamespaceEntriesAreFoundPastTheirPaddingAndKeepTheirBytes) {
    // Two names: "ab" in a length of 4 (NUL-padded), then "xyz" filling its length of 3
    // with no NUL; each entry is padded to 4 bytes after its name.
    std::vector<uint8_t> rec(128, 0);
    rec[11] = 100;     // r_used_size
    rec[24 + 3] = 1;   // side
    rec[24 + 7] = 10;  // key
    rec[24 + 15] = 20; // minor
    rec[24 + 25] = 4;  // n_namlen
    rec[24 + 26] = 'a';
    rec[24 + 27] = 'b';
    const size_t second = 24 + 32; // (26 + 1 + 4 + 3) rounded down to 4
    rec[second + 7] = 11;
    rec[second + 15] = 21;
    rec[second + 25] = 3;
    std::memcpy(&rec[second + 26], "xyz", 3);
    const auto names = svm::DecodeNames(rec);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].side, 1u);
    EXPECT_EQ(names[0].key, 10u);
    EXPECT_EQ(names[0].minor, 20u);
    EXPECT_EQ(names[0].name, "ab");
    EXPECT_EQ(names[1].key, 11u);
    EXPECT_EQ(names[1].minor, 21u);
    EXPECT_EQ(names[1].name, "xyz");
    // A record that ends one byte into the second name holds only the first.
    rec[11] = static_cast<uint8_t>(second + 26 + 2);
    EXPECT_EQ(svm::DecodeNames(rec).size(), 1u);

    // A stored device id keeps exactly the bytes its size gives, NULs included.
    std::vector<uint8_t> ids(64, 0);
    ids[11] = 60;
    ids[24 + 3] = 7;  // key
    ids[24 + 13] = 5; // size
    const uint8_t id[] = {1, 0, 3, 0, 5};
    std::memcpy(&ids[24 + 14], id, sizeof id);
    ids[24 + 14 + 5] = 0xEE; // the padding after it is not part of it
    const auto stored = svm::DecodeDeviceIds(ids);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].key, 7u);
    EXPECT_EQ(stored[0].bytes, std::vector<uint8_t>(std::begin(id), std::end(id)));
}

TEST(StateDatabaseFormat, TheDeviceIdNamespaceIsBoundedByItsRecord) {
    // A used size past the record and an entry whose length runs past it end the list.
    std::vector<uint8_t> rec(64, 0);
    rec[11] = 200; // r_used_size: 200 in a record of 64
    rec[24 + 7] = 1;
    rec[24 + 15] = 9;
    rec[24 + 17] = 3; // a minor name of 3: fits
    EXPECT_EQ(svm::DecodeDeviceIdNames(rec).size(), 1u);
    rec[24 + 17] = 100; // runs past the record
    EXPECT_TRUE(svm::DecodeDeviceIdNames(rec).empty());
    std::vector<uint8_t> ids(40, 0);
    ids[11] = 40;
    ids[24 + 13] = 200;
    EXPECT_TRUE(svm::DecodeDeviceIds(ids).empty());
}

} // namespace
} // namespace trevik

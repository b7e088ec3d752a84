// A RAID-5 metadevice one of whose columns cannot be read in places: the volume on it is
// copied byte for byte, each failing segment rebuilt from the others once, and sectors
// that no column can give are unreadable as on a disk, named on their component.

#include "disk/assembled_device.h"
#include "support/engine_support.h"
#include "svm_builder.h"

namespace trevik {
namespace {

using namespace imagebuilder;
using testing::Slurp;
using testing::TempDir;

TreeNode Tree() {
    return Dir("", {GeneratedFile("big.bin", 600000, 3), File("a.txt", "alpha\n")});
}

struct Raid5 {
    UfsVolume volume = BuildUfs(Tree(), testing::VolumeParams());
    std::vector<MemoryBlockDevice> columns;
    std::vector<std::unique_ptr<FaultyDevice>> faulty;
    std::unique_ptr<AssembledDevice> device;

    Raid5() {
        for (auto& bytes : SplitIntoComponents(volume.bytes, {SvmKind::Raid5, 4, 16, 8}))
            columns.emplace_back(std::move(bytes), "column" + std::to_string(columns.size()));
        for (auto& c : columns)
            faulty.push_back(std::make_unique<FaultyDevice>(c));
    }
    void Open() {
        LayoutSpec spec;
        spec.kind = LayoutKind::Raid5;
        spec.components = {"0", "1", "2", "3"};
        spec.interlaceSectors = 16;
        spec.startSector = 8;
        auto d = AssembledDevice::Open(spec, [&](const std::string& p) {
            return Result<std::unique_ptr<BlockDevice>>(
                std::make_unique<ForwardingDevice>(*faulty[std::stoul(p)]));
        });
        ASSERT_TRUE(d) << d.error();
        device = d.Take();
    }

    // Lends a column to the metadevice, which owns what it opens.
    class ForwardingDevice final : public BlockDevice {
    public:
        explicit ForwardingDevice(BlockDevice& d) : d_(d) {}
        bool ReadAt(uint64_t o, std::span<uint8_t> out) override { return d_.ReadAt(o, out); }
        uint64_t SizeBytes() const override { return d_.SizeBytes(); }
        const std::string& Path() const override { return d_.Path(); }

    private:
        BlockDevice& d_;
    };
};

TEST(Raid5Metadevice, AColumnThatFailsInPlacesIsRebuiltFromTheOthers) {
    Raid5 r;
    // Column 1 fails over 200 sectors from its data start: data and parity segments.
    r.faulty[1]->AddBadRange(8 + 100, 200);
    r.Open();
    SectorReader reader(r.device.get(), r.device->SizeBytes() / 512, 2);
    std::atomic<bool> stop{false};
    auto mounted = MountVolume(reader, FirstVolumeAt(0, reader.TotalSectors()),
                               RecoveryMode::Normal, stop, nullptr);
    ASSERT_TRUE(mounted) << mounted.error();
    TempDir out;
    ExtractionControl control;
    const ExtractionSummary s = ExtractItems(*mounted, reader, {}, true, out.File("to"),
                                             DuplicatePolicy::Skip, control, nullptr);
    EXPECT_TRUE(s.Whole()) << s.error;
    EXPECT_TRUE(Slurp(out.File("to/big.bin")) ==
                testing::ExpectedBytes(Tree().children[0], 600000));
    EXPECT_EQ(reader.BadSectors().SectorCount(), 0u); // nothing lost
    EXPECT_GT(r.device->RebuiltSegments(), 0u);
    // At most the 200 failing sectors' segments (13 of 16 sectors each, 2 more at the ends).
    EXPECT_LE(r.device->RebuiltSegments(), 200u / 16 + 2);
}

TEST(Raid5Metadevice, WhatNoColumnCanGiveIsUnreadableAndNamedOnItsComponent) {
    Raid5 r;
    // The same line fails on two columns: parity cannot rebuild it.
    r.faulty[0]->AddBadRange(8 + 32, 16);
    r.faulty[2]->AddBadRange(8 + 32, 16);
    r.Open();
    SectorReader reader(r.device.get(), r.device->SizeBytes() / 512, 1);
    std::vector<uint8_t> buf(512 * 64);
    const ReadOutcome o = reader.Read(0, buf);
    EXPECT_TRUE(o.Whole()); // lines 0 and 1 are sound
    // Line 2 (metadevice segments 6, 7, 8): segment 8 is on column 0, segment 6 on column
    // 2, both failing; segment 7 is on column 3 and reads.
    std::vector<uint8_t> line(512 * 48);
    EXPECT_EQ(reader.Read(6 * 16, line).unreadable, 32u);
    EXPECT_TRUE(reader.BadSectors().Contains(6 * 16));
    EXPECT_TRUE(reader.BadSectors().Contains(8 * 16 + 15));
    EXPECT_FALSE(reader.BadSectors().Contains(7 * 16));
    const AssembledDevice::Place p = r.device->Locate(8 * 16 + 3);
    EXPECT_EQ(p.component, 0u);
    EXPECT_EQ(p.path, "0");
    EXPECT_EQ(p.sector, 8u + 32 + 3);
}

} // namespace
} // namespace trevik

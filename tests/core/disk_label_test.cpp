#include "disk_image.h"
#include "volume/disk_label.h"

#include <gtest/gtest.h>

namespace trevik {
namespace {

using imagebuilder::LabelSpec;
using imagebuilder::SliceSpec;

size_t ReadLabelOf(const std::array<uint8_t, 512>& sector, VolumeTable& table) {
    MemoryBlockDevice dev(std::vector<uint8_t>(sector.begin(), sector.end()));
    SectorReader reader(&dev, 1, 3);
    return ReadDiskLabel(reader, table);
}

struct LabelCase {
    const char* what;
    std::vector<SliceSpec> slices;
    // Expected volumes: start, size.
    std::vector<std::pair<uint32_t, uint32_t>> volumes;
};

TEST(ReadDiskLabel, ListsEveryUsedSliceButTheBackupSlice) {
    // 16 heads x 64 sectors: 1024 sectors a cylinder.
    const LabelCase cases[] = {
        {"boot disk: root at cylinder 0 is listed, backup slice 2 is not",
         {{0, 2, 0, 0, 40960}, {1, 3, 1, 40, 20480}, {2, 5, 0, 0, 204800}, {7, 8, 0, 60, 143360}},
         {{0, 40960}, {40960, 20480}, {61440, 143360}}},
        {"slices 3 and 5 alone become entries 1 and 2",
         {{3, 4, 0, 10, 1024}, {5, 0, 0, 20, 2048}},
         {{10240, 1024}, {20480, 2048}}},
        {"two slices with the same start are both listed",
         {{0, 2, 0, 5, 1024}, {1, 2, 0, 5, 1024}},
         {{5120, 1024}, {5120, 1024}}},
        {"empty slices are passed over", {{0, 2, 0, 5, 0}, {4, 0, 0, 0, 0}}, {}},
        {"an untagged whole-disk slice is listed (only tag 5 marks the backup)",
         {{2, 0, 0, 0, 204800}},
         {{0, 204800}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LabelSpec spec;
        spec.heads = 16;
        spec.sectorsPerTrack = 64;
        spec.cylinders = 200;
        spec.slices = c.slices;
        VolumeTable table;
        ASSERT_EQ(ReadLabelOf(imagebuilder::MakeSparcLabel(spec), table), c.volumes.size());
        for (size_t i = 0; i < c.volumes.size(); ++i) {
            EXPECT_EQ(table[i].name, "Solaris Partition - " + std::to_string(i + 1));
            EXPECT_EQ(table[i].startSector, c.volumes[i].first);
            EXPECT_EQ(table[i].sizeSectors, c.volumes[i].second);
            EXPECT_EQ(table[i].superblockSector, c.volumes[i].first + 16);
        }
    }
}

TEST(ReadDiskLabel, RefusesLabelsWithoutSanityOrGeometry) {
    LabelSpec spec;
    spec.cylinders = 100;
    spec.slices = {{0, 2, 0, 1, 1024}};
    VolumeTable table;

    auto noHeads = imagebuilder::MakeSparcLabel(spec);
    noHeads[436] = noHeads[437] = 0;
    EXPECT_EQ(ReadLabelOf(noHeads, table), 0u);

    auto noSectors = imagebuilder::MakeSparcLabel(spec);
    noSectors[438] = noSectors[439] = 0;
    EXPECT_EQ(ReadLabelOf(noSectors, table), 0u);

    auto badSanity = imagebuilder::MakeSparcLabel(spec);
    badSanity[191] ^= 1;
    EXPECT_EQ(ReadLabelOf(badSanity, table), 0u);

    // Neither the label magic nor its checksum is required.
    auto noMagic = imagebuilder::MakeSparcLabel(spec);
    noMagic[508] = noMagic[509] = noMagic[510] = 0;
    EXPECT_EQ(ReadLabelOf(noMagic, table), 1u);
}

TEST(ReadDiskLabel, EachRunStartsFromAnEmptyTable) {
    LabelSpec spec;
    spec.cylinders = 100;
    spec.slices = {{0, 2, 0, 1, 1024}};
    VolumeTable table;
    table.Append(1, 2, 3);
    table.Append(4, 5, 6);
    EXPECT_EQ(ReadLabelOf(imagebuilder::MakeSparcLabel(spec), table), 1u);
    EXPECT_EQ(table[0].name, "Solaris Partition - 1");
}

TEST(ReadDiskLabel, UnreadableSectorZeroCountsAsNoLabel) {
    SectorReader reader; // no device
    VolumeTable table;
    EXPECT_EQ(ReadDiskLabel(reader, table), 0u);
}

} // namespace
} // namespace trevik

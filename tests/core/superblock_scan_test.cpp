#include "disk_image.h"
#include "fault_device.h"
#include "support/test_support.h"
#include "volume/superblock_scan.h"

#include <gtest/gtest.h>

namespace trevik {
namespace {

using namespace imagebuilder;

struct Placed {
    uint64_t start;
    UfsVolume volume;
};

UfsVolume SmallVolume(uint32_t sectors, UfsParams p = {}) {
    p.sizeSectors = sectors;
    return BuildUfs(testing::SampleTree(), p);
}

MemoryBlockDevice DiskWith(uint64_t sectors, const std::vector<Placed>& volumes) {
    DiskImage disk(sectors);
    for (const auto& v : volumes)
        disk.PutVolume(v.start, v.volume);
    return MemoryBlockDevice(std::move(disk.bytes));
}

struct Recorder : ScanObserver {
    std::vector<ScanProgress> progress;
    std::vector<PartitionEntry> found;
    std::function<void()> onProgress;
    void OnScanProgress(const ScanProgress& p) override {
        progress.push_back(p);
        if (onProgress)
            onProgress();
    }
    void OnVolumeFound(const PartitionEntry& e, size_t) override { found.push_back(e); }
};

ScanOutcome Scan(BlockDevice& dev, uint32_t start, uint32_t end, VolumeTable& table,
                 uint32_t perRead = 60, ScanObserver* obs = nullptr) {
    SectorReader reader(&dev, dev.SizeBytes() / 512, 3);
    std::atomic<bool> stop{true}; // a stale stop request must not end a new scan
    return ScanForVolumes(reader, {start, end, perRead, std::chrono::milliseconds(0)}, table, stop,
                          obs);
}

TEST(ScanForVolumes, FindsEachVolumeOnceAtItsStart) {
    // Three groups each; the primary and every copy lie in the range.
    auto dev = DiskWith(60000, {{100, SmallVolume(20000)}, {30000, SmallVolume(24576)}});
    VolumeTable table;
    Recorder rec;
    EXPECT_EQ(Scan(dev, 0, 60000, table, 60, &rec), ScanOutcome::Completed);
    ASSERT_EQ(table.Count(), 2u);
    EXPECT_EQ(table[0].startSector, 100u);
    EXPECT_EQ(table[0].superblockSector, 116u);
    EXPECT_EQ(table[0].name, "Solaris Partition - 1");
    EXPECT_EQ(table[1].startSector, 30000u);
    EXPECT_EQ(table[1].name, "Solaris Partition - 2");
    // Size: groups x fragments per group x sectors per fragment.
    EXPECT_EQ(table[1].sizeSectors, 3u * 4096u * 2u);
    EXPECT_EQ(rec.found.size(), 2u);
}

TEST(ScanForVolumes, FindsAVolumeWhosePrimarySuperblockIsGoneThroughGroupOnesCopy) {
    struct Case {
        const char* what;
        UfsParams params;
    };
    UfsParams solaris;   // 8K/1K, nsect 32, ntrak 16: cgoffset 16
    UfsParams noStagger; // one track a cylinder: fs_cgmask all ones
    noStagger.tracksPerCylinder = 1;
    noStagger.cylindersPerGroup = 256;
    UfsParams frag2k;
    frag2k.fragmentSize = 2048;
    UfsParams frag8k;
    frag8k.fragmentSize = 8192;
    frag8k.sectorsPerTrack = 128;
    UfsParams frag512;
    frag512.fragmentSize = 512;
    frag512.blockSize = 4096;
    for (const Case& c : {Case{"solaris defaults", solaris}, Case{"no stagger", noStagger},
                          Case{"2K fragments", frag2k}, Case{"8K fragments", frag8k},
                          Case{"512-byte fragments", frag512}}) {
        SCOPED_TRACE(c.what);
        UfsVolume vol = SmallVolume(40000, c.params);
        ASSERT_GE(vol.layout.ncg, 2u);
        vol.ZeroPrimarySuperblock();
        const uint64_t copy = 5000 + vol.layout.CgSuperblockFrag(1) * vol.layout.nspf;
        auto dev = DiskWith(50000, {{5000, std::move(vol)}});
        VolumeTable table;
        Scan(dev, 0, 50000, table);
        ASSERT_EQ(table.Count(), 1u);
        EXPECT_EQ(table[0].startSector, 5000u);
        EXPECT_EQ(table[0].superblockSector, copy);
    }
}

TEST(ScanForVolumes, RangeMustHoldTheMagicsSector) {
    auto dev = DiskWith(30000, {{1000, SmallVolume(20000)}});
    VolumeTable table;
    // The magic lies in the superblock's third sector: 1016 + 2.
    Scan(dev, 1018, 1100, table);
    ASSERT_EQ(table.Count(), 1u);
    EXPECT_EQ(table[0].startSector, 1000u);
    Scan(dev, 1019, 1100, table);
    EXPECT_EQ(table.Count(), 0u);
}

TEST(ScanForVolumes, CopyOfGroupTwoOrLaterIsNoVolume) {
    UfsVolume vol = SmallVolume(30000);
    ASSERT_GE(vol.layout.ncg, 3u);
    vol.ZeroPrimarySuperblock();
    vol.ZeroFragments(static_cast<uint32_t>(vol.layout.CgSuperblockFrag(1)), 8);
    auto dev = DiskWith(40000, {{2000, std::move(vol)}});
    VolumeTable table;
    Scan(dev, 0, 40000, table);
    EXPECT_EQ(table.Count(), 0u);
}

TEST(ScanForVolumes, ProgressOfTwoRunsOverAHundredSectors) {
    auto dev = DiskWith(200, {});
    VolumeTable table;
    Recorder rec;
    Scan(dev, 0, 100, table, 60, &rec);
    ASSERT_EQ(rec.progress.size(), 2u);
    EXPECT_EQ(rec.progress[0].Line(), "Scanning sector 0 Of 100");
    EXPECT_EQ(rec.progress[0].percent, 0u);
    EXPECT_EQ(rec.progress[1].Line(), "Scanning sector 60 Of 100");
    EXPECT_EQ(rec.progress[1].currentSector, 60u);
    EXPECT_EQ(rec.progress[1].percent, 60u);
}

TEST(ScanForVolumes, ProgressIsCoalescedButTheLastRunIsAlwaysReported) {
    auto dev = DiskWith(100000, {});
    SectorReader reader(&dev, 100000, 3);
    VolumeTable table;
    Recorder rec;
    std::atomic<bool> stop{false};
    ScanForVolumes(reader, {0, 100000, 10, std::chrono::hours(1)}, table, stop, &rec);
    ASSERT_EQ(rec.progress.size(), 2u); // 10000 runs, two reports
    EXPECT_EQ(rec.progress.back().done, 99990u);
}

TEST(ScanForVolumes, StopDuringTheFirstRunEndsTheScan) {
    auto dev = DiskWith(60000, {{100, SmallVolume(20000)}});
    SectorReader reader(&dev, 60000, 3);
    VolumeTable table;
    Recorder rec;
    std::atomic<bool> stop{false};
    rec.onProgress = [&] { stop = true; };
    EXPECT_EQ(ScanForVolumes(reader, {0, 60000, 60, {}}, table, stop, &rec), ScanOutcome::Stopped);
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_EQ(rec.progress.size(), 1u);
}

TEST(ScanForVolumes, StopsAtNinetyNineVolumes) {
    UfsParams p;
    p.sizeSectors = 1024;
    const UfsVolume vol = BuildUfs(Dir(""), p);
    ASSERT_EQ(vol.layout.ncg, 1u);
    std::vector<Placed> many;
    for (int i = 0; i < 101; ++i)
        many.push_back({uint64_t(i) * 1024, vol});
    auto dev = DiskWith(101 * 1024, many);
    SectorReader reader(&dev, 101 * 1024, 3);
    VolumeTable table;
    std::atomic<bool> stop{false};
    EXPECT_EQ(ScanForVolumes(reader, {0, 101 * 1024, 60, {}}, table, stop),
              ScanOutcome::LimitReached);
    EXPECT_EQ(table.Count(), 99u);
    EXPECT_TRUE(stop.load());
    EXPECT_EQ(table[98].name, "Solaris Partition - 99");
    EXPECT_EQ(table[98].startSector, 98u * 1024u);
}

TEST(ScanForVolumes, UnreadableAreasAreSkippedAndTheRestIsFound) {
    auto mem = DiskWith(60000, {{100, SmallVolume(20000)}, {30000, SmallVolume(20000)}});
    FaultyDevice dev(mem);
    dev.AddBadRange(20000, 500);
    dev.AddBadRange(30016, 3); // the second volume's primary superblock
    VolumeTable table;
    // The end lies past the disk: the last runs fail and the scan still ends.
    EXPECT_EQ(Scan(dev, 0, 60100, table), ScanOutcome::Completed);
    ASSERT_EQ(table.Count(), 2u);
    EXPECT_EQ(table[0].startSector, 100u);
    EXPECT_EQ(table[1].startSector, 30000u); // through group 1's copy
    EXPECT_NE(table[1].superblockSector, 30016u);
}

TEST(ScanForVolumes, EmptyOrInvertedRangeScansNothing) {
    auto dev = DiskWith(100, {});
    VolumeTable table;
    table.Append(1, 2, 3);
    Recorder rec;
    EXPECT_EQ(Scan(dev, 50, 50, table, 60, &rec), ScanOutcome::Completed);
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_TRUE(rec.progress.empty());
}

} // namespace
} // namespace trevik

namespace trevik {
namespace {

// Attempts that touched sector s.
size_t AttemptsOn(const imagebuilder::FaultyDevice& dev, uint64_t s) {
    size_t n = 0;
    for (const auto& c : dev.Calls())
        n += c.offset / 512 <= s && s < (c.offset + c.length + 511) / 512 ? 1 : 0;
    return n;
}

TEST(ScanForVolumes, ReadsInBatchesAndABadSectorCostsNoMoreThanItsRetries) {
    auto mem = DiskWith(60000, {{100, SmallVolume(20000)}, {30000, SmallVolume(20000)}});
    imagebuilder::FaultyDevice dev(mem);
    dev.AddBadSector(12345);
    SectorReader reader(&dev, dev.SizeBytes() / 512, 2);
    std::atomic<bool> stop{false};
    VolumeTable table;
    Recorder rec;
    EXPECT_EQ(
        ScanForVolumes(reader, {0, 60000, 60, std::chrono::milliseconds(0)}, table, stop, &rec),
        ScanOutcome::Completed);
    EXPECT_EQ(table.Count(), 2u);
    // Progress still goes run by run.
    EXPECT_EQ(rec.progress.size(), (60000 + 59) / 60);
    // The sweep reads whole batches of runs; the one batch that failed is read again
    // sector by sector, the bad sector at most retries + 1 times in all.
    size_t sweeps = 0;
    for (const auto& c : dev.Calls())
        sweeps += c.length >= size_t{kScanBatchSectors / 60 * 60} * 512 ? 1 : 0;
    EXPECT_GE(sweeps, 60000u / kScanBatchSectors - 1);
    EXPECT_LT(dev.Calls().size(), 60000u / kScanBatchSectors + kScanBatchSectors + 64);
    EXPECT_LE(AttemptsOn(dev, 12345), 3u);
    EXPECT_TRUE(reader.KnownBad(12345));
    EXPECT_FALSE(reader.KnownBad(12344));
    EXPECT_FALSE(reader.KnownBad(12346));
}

} // namespace
} // namespace trevik

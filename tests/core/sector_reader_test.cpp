#include "disk/sector_reader.h"
#include "fault_device.h"

#include <gtest/gtest.h>
#include <numeric>

namespace trevik {
namespace {

using imagebuilder::FaultyDevice;

// 200 sectors, each filled with its own number's low byte.
MemoryBlockDevice NumberedDisk(uint64_t sectors = 200) {
    std::vector<uint8_t> bytes(sectors * 512);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i / 512 + 1);
    return MemoryBlockDevice(std::move(bytes));
}

size_t CallsAt(const FaultyDevice& dev, uint64_t sector) {
    size_t n = 0;
    for (const auto& c : dev.Calls()) {
        n += c.offset / 512 <= sector && sector < (c.offset + c.length) / 512 ? 1 : 0;
    }
    return n;
}

TEST(SectorReader, HealthyRunIsOneRequest) {
    auto disk = NumberedDisk();
    FaultyDevice dev(disk);
    SectorReader reader(&dev, 200, 3);
    std::vector<uint8_t> buf(60 * 512, 0xEE);
    EXPECT_TRUE(reader.Read(10, 60, buf.data()).Whole());
    ASSERT_EQ(dev.Calls().size(), 1u);
    EXPECT_EQ(buf[0], 11);
    EXPECT_EQ(buf[59 * 512], 70);
}

TEST(SectorReader, ABadSectorCostsItsRetriesOnceAndReadsAsZerosEverAfter) {
    auto disk = NumberedDisk();
    FaultyDevice dev(disk);
    dev.AddBadSector(30);
    SectorReader reader(&dev, 200, 3);
    std::vector<uint8_t> buf(60 * 512, 0xEE);
    const ReadOutcome r = reader.Read(10, 60, buf.data());
    EXPECT_EQ(r.unreadable, 1u);
    EXPECT_EQ(r.pastEnd, 0u);
    const auto calls = dev.Calls();
    // One whole-run request, then each sector alone at once: 59 good ones once, the bad one
    // three more times (retries + 1 attempts in all, the run's request being the first).
    ASSERT_EQ(calls.size(), 1u + 59u + 3u);
    EXPECT_EQ(calls[0].length, 60u * 512u);
    EXPECT_EQ(CallsAt(dev, 30), 4u);
    // The sectors around it are exact; the bad one reads as zeros, never as stale bytes.
    EXPECT_EQ(buf[19 * 512], 30);
    EXPECT_EQ(buf[21 * 512], 32);
    EXPECT_EQ(buf[20 * 512], 0);
    EXPECT_EQ(buf[20 * 512 + 511], 0);
    EXPECT_TRUE(reader.KnownBad(30));

    // Asked again, the run is read around the known bad sector, which costs nothing more.
    dev.ClearCalls();
    std::fill(buf.begin(), buf.end(), 0xEE);
    EXPECT_EQ(reader.Read(10, 60, buf.data()).unreadable, 1u);
    EXPECT_EQ(CallsAt(dev, 30), 0u);
    EXPECT_EQ(dev.Calls().size(), 2u); // [10, 30) and [31, 70)
    EXPECT_EQ(buf[20 * 512], 0);
    EXPECT_EQ(buf[21 * 512], 32);
}

TEST(SectorReader, RetryCountIsReadAtEachRead) {
    auto disk = NumberedDisk();
    FaultyDevice dev(disk);
    dev.AddBadSector(5);
    SectorReader reader(&dev, 200, 3);
    std::vector<uint8_t> buf(2 * 512);
    reader.SetBadSectorRetries(10);
    reader.Read(4, 2, buf.data());
    EXPECT_EQ(dev.Calls().size(), 1u + 1u + 10u);
    EXPECT_EQ(CallsAt(dev, 5), 11u);
}

TEST(SectorReader, SectorsPastTheEndAreUnreadableWithoutARead) {
    auto disk = NumberedDisk(100);
    FaultyDevice dev(disk);
    SectorReader reader(&dev, 100, 3);
    std::vector<uint8_t> buf(512, 0x5A);
    const ReadOutcome beyond = reader.Read(101, 1, buf.data());
    EXPECT_EQ(beyond.unreadable, 1u);
    EXPECT_EQ(beyond.pastEnd, 1u);
    EXPECT_TRUE(dev.Calls().empty());
    EXPECT_EQ(buf[0], 0);
    // A run that starts inside and passes the end delivers what lies inside, in one read.
    std::vector<uint8_t> run(4 * 512, 0x5A);
    const ReadOutcome r = reader.Read(98, 4, run.data());
    EXPECT_EQ(run[0], 99);
    EXPECT_EQ(run[512], 100);
    EXPECT_EQ(run[1024], 0);
    EXPECT_EQ(r.unreadable, 2u);
    EXPECT_EQ(r.pastEnd, 2u);
    EXPECT_EQ(dev.Calls().size(), 1u);
}

TEST(SectorReader, WithoutADeviceEverySectorIsUnreadableZeros) {
    SectorReader reader;
    std::vector<uint8_t> buf(512, 0x11);
    EXPECT_EQ(reader.Read(0, 1, buf.data()).unreadable, 1u);
    EXPECT_EQ(buf[0], 0);
    uint8_t b = 0x77;
    EXPECT_TRUE(reader.Read(5, 0, &b).Whole()); // nothing asked, nothing touched
    EXPECT_EQ(b, 0x77);
}

TEST(SectorReader, MappedSectorsAreNeverAskedFor) {
    auto disk = NumberedDisk();
    FaultyDevice dev(disk);
    SectorReader reader(&dev, 200, 3);
    reader.BadSectors().Add(40, 10); // as a rescue tool's map would name them
    std::vector<uint8_t> buf(100 * 512, 0xEE);
    const ReadOutcome r = reader.Read(0, 100, buf.data());
    EXPECT_EQ(r.unreadable, 10u);
    for (uint64_t s = 40; s < 50; ++s)
        EXPECT_EQ(CallsAt(dev, s), 0u) << s;
    EXPECT_EQ(buf[45 * 512], 0);
    EXPECT_EQ(buf[50 * 512], 51);
    // A new disk forgets the old one's bad sectors.
    reader.Reset(&dev, 200);
    EXPECT_FALSE(reader.KnownBad(45));
}

TEST(BadSectorMap, RangesMergeAndAnswerWithoutScanning) {
    BadSectorMap m;
    m.Add(10, 5);  // 10..14
    m.Add(15, 1);  // touches: 10..15
    m.Add(30, 10); // 30..39
    m.Add(12, 20); // bridges both: 10..39
    ASSERT_EQ(m.Ranges().size(), 1u);
    EXPECT_EQ(m.Ranges()[0].first, 10u);
    EXPECT_EQ(m.Ranges()[0].end, 40u);
    EXPECT_EQ(m.SectorCount(), 30u);
    m.Add(50, 2);
    EXPECT_EQ(m.NextBad(0, 100), 10u);
    EXPECT_EQ(m.NextBad(20, 100), 20u);
    EXPECT_EQ(m.NextBad(40, 100), 50u);
    EXPECT_EQ(m.NextBad(40, 45), 45u);
    EXPECT_EQ(m.BadRunEnd(25), 40u);
    EXPECT_EQ(m.BadRunEnd(45), 45u);
    EXPECT_FALSE(m.Contains(40));
    EXPECT_TRUE(m.Contains(51));
    m.Add(UINT64_MAX - 1, 10); // clamped, never wraps
    EXPECT_TRUE(m.Contains(UINT64_MAX - 1));
}

TEST(SectorReader, BoundIsTheTrueSizeNotAWrappedGeometryProduct) {
    // A disk past 2 TiB: sectors beyond 2^32 are still addressable.
    class Huge : public BlockDevice {
    public:
        bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
            for (auto& b : out)
                b = static_cast<uint8_t>(offset >> 40);
            return true;
        }
        uint64_t SizeBytes() const override { return (uint64_t{1} << 33) * 512; }
        const std::string& Path() const override { return path; }
        std::string path = "huge";
    } huge;
    SectorReader reader(&huge, uint64_t{1} << 33, 3);
    std::vector<uint8_t> buf(512, 0);
    EXPECT_TRUE(reader.Read((uint64_t{1} << 33) - 1, 1, buf.data()).Whole());
    EXPECT_EQ(buf[0], 0x03);
}

} // namespace
} // namespace trevik

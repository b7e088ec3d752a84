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

TEST(SectorReader, HealthyRunIsOneRequest) {
    auto disk = NumberedDisk();
    FaultyDevice dev(disk);
    SectorReader reader(&dev, 200, 3);
    std::vector<uint8_t> buf(60 * 512, 0xEE);
    EXPECT_EQ(reader.Read(10, 60, buf.data()), 1);
    ASSERT_EQ(dev.Calls().size(), 1u);
    EXPECT_EQ(buf[0], 11);
    EXPECT_EQ(buf[59 * 512], 70);
}

TEST(SectorReader, OneBadSectorInARunRetriesOnlyIt) {
    auto disk = NumberedDisk();
    FaultyDevice dev(disk);
    dev.AddBadSector(30);
    SectorReader reader(&dev, 200, 3);
    std::vector<uint8_t> buf(60 * 512, 0xEE);
    uint32_t unreadable = 0;
    EXPECT_EQ(reader.Read(10, 60, buf.data(), &unreadable), 1); // the last read succeeded
    EXPECT_EQ(unreadable, 1u);
    const auto calls = dev.Calls();
    // One whole-run request, 59 good single reads and 3 failed attempts on the bad one.
    ASSERT_EQ(calls.size(), 1u + 59u + 3u);
    EXPECT_EQ(calls[0].length, 60u * 512u);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](auto& c) { return !c.ok; }), 4);
    // The sectors around it are exact; the bad one keeps the buffer's earlier content.
    EXPECT_EQ(buf[19 * 512], 30);
    EXPECT_EQ(buf[21 * 512], 32);
    EXPECT_EQ(buf[20 * 512], 0xEE);
    EXPECT_EQ(buf[20 * 512 + 511], 0xEE);
}

TEST(SectorReader, BadLastSectorOfTheRunReportsFailure) {
    auto disk = NumberedDisk();
    FaultyDevice dev(disk);
    dev.AddBadSector(69);
    SectorReader reader(&dev, 200, 3);
    std::vector<uint8_t> buf(60 * 512, 0);
    EXPECT_EQ(reader.Read(10, 60, buf.data()), 0);
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
}

TEST(SectorReader, BoundAllowsTheSectorOnePastTheEndButNotBeyond) {
    auto disk = NumberedDisk(100);
    FaultyDevice dev(disk);
    SectorReader reader(&dev, 100, 3);
    std::vector<uint8_t> buf(512, 0x5A);
    EXPECT_EQ(reader.Read(101, 1, buf.data()), 0);
    EXPECT_TRUE(dev.Calls().empty()); // refused without a read
    EXPECT_EQ(buf[0], 0x5A);
    EXPECT_EQ(reader.Read(100, 1, buf.data()), 0); // attempted, fails past the end
    EXPECT_FALSE(dev.Calls().empty());
    EXPECT_EQ(buf[0], 0x5A);
    // A run that starts inside and passes the end delivers what lies inside.
    std::vector<uint8_t> run(4 * 512, 0x5A);
    uint32_t bad = 0;
    reader.Read(98, 4, run.data(), &bad);
    EXPECT_EQ(run[0], 99);
    EXPECT_EQ(run[512], 100);
    EXPECT_EQ(run[1024], 0x5A);
    EXPECT_EQ(bad, 2u);
}

TEST(SectorReader, ZeroCountSucceedsWithoutTouchingTheBuffer) {
    auto disk = NumberedDisk();
    FaultyDevice dev(disk);
    SectorReader reader(&dev, 200, 3);
    uint8_t b = 0x77;
    EXPECT_EQ(reader.Read(5, 0, &b), 1);
    EXPECT_EQ(b, 0x77);
}

TEST(SectorReader, WithoutADeviceEveryReadFailsAndLeavesTheBuffer) {
    SectorReader reader;
    std::vector<uint8_t> buf(512, 0x11);
    EXPECT_EQ(reader.Read(0, 1, buf.data()), 0);
    EXPECT_EQ(buf[0], 0x11);
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
    EXPECT_EQ(reader.Read((uint64_t{1} << 33) - 1, 1, buf.data()), 1);
    EXPECT_EQ(buf[0], 0x03);
}

} // namespace
} // namespace trevik

#include "disk/disk_table.h"
#include "support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>

namespace trevik {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;

// A fake /sys/block: each disk is a folder under devices/ with a link to it in block/, as
// the kernel lays it out.
class FakeSys {
public:
    FakeSys() { fs::create_directories(Block()); }
    fs::path Block() const { return dir_.Path() / "block"; }

    fs::path Add(const std::string& name, uint64_t sectors, const std::string& busPath,
                 const std::string& model = "") {
        const fs::path real = dir_.Path() / "devices" / busPath / "block" / name;
        fs::create_directories(real / "device");
        Write(real / "size", std::to_string(sectors));
        if (!model.empty())
            Write(real / "device" / "model", model);
        fs::create_symlink(real, Block() / name);
        return real;
    }
    static void Write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text << "\n";
    }
    DiskProbeRoots Roots() const { return {Block().string(), (dir_.Path() / "dev").string()}; }

private:
    TempDir dir_;
};

TEST(EnumerateDisks, ListsWholeDisksWithTheirModelTexts) {
    FakeSys sys;
    sys.Add("sda", 2000000, "pci0000:00/ata1", "ST3500418AS     ");
    sys.Add("sdb", 4000000, "pci0000:00/usb1/1-1/1-1:1.0", "Cruzer Blade");
    sys.Add("nvme0n1", 1000000, "pci0000:00/nvme0", "Samsung SSD 970");
    sys.Add("vda", 3000, "pci0000:00/virtio1");
    const DiskTable t = EnumerateDisks(sys.Roots());
    ASSERT_EQ(t.listedCount, 4);
    EXPECT_EQ(t.entries[0].devicePath, (fs::path(sys.Roots().dev) / "nvme0n1").string());
    EXPECT_EQ(t.entries[0].model, "Samsung SSD 970");
    EXPECT_EQ(t.entries[1].model, "ST3500418AS"); // trailing blanks of the product text trimmed
    EXPECT_EQ(t.entries[2].model, "USB Device");  // USB whatever the product text says
    EXPECT_EQ(t.entries[3].model, "Unknown");
    EXPECT_EQ(t.entries[1].totalSectors, 2000000u);
    // No geometry from the device: the conventional 255 x 63.
    EXPECT_EQ(t.entries[1].heads, 255u);
    EXPECT_EQ(t.entries[1].sectorsPerTrack, 63u);
    EXPECT_EQ(t.entries[1].cylinders, 2000000u / (255 * 63));
}

TEST(EnumerateDisks, LeavesOutPartitionsRamAndUnbackedLoopDevices) {
    FakeSys sys;
    sys.Add("sda", 1000, "ata1", "Disk");
    sys.Add("ram0", 1000, "virtual");
    sys.Add("loop0", 1000, "virtual");
    const fs::path backed = sys.Add("loop1", 1000, "virtual");
    FakeSys::Write(backed / "loop" / "backing_file", "/images/sol9.img");
    sys.Add("dm-0", 1000, "virtual");
    sys.Add("sr0", 1000, "ata2");
    sys.Add("nvme0n1p1", 1000, "nvme0"); // never a whole disk
    const DiskTable t = EnumerateDisks(sys.Roots());
    ASSERT_EQ(t.listedCount, 2);
    EXPECT_EQ(t.entries[0].model, "sol9.img");
    EXPECT_EQ(t.entries[1].model, "Disk");
}

TEST(EnumerateDisks, DriveWithoutMediumTakesASlotButIsNotListed) {
    FakeSys sys;
    sys.Add("sda", 0, "pci/usb1/1-2", "Card Reader");
    sys.Add("sdb", 5000, "ata1", "Disk");
    const DiskTable t = EnumerateDisks(sys.Roots());
    EXPECT_EQ(t.listedCount, 1);
    ASSERT_EQ(t.entries.size(), 2u);
    EXPECT_EQ(t.entries[0].model, "Disk"); // list index 0 is slot 0
    EXPECT_EQ(t.entries[1].model, "Media missing or not inserted");
    EXPECT_EQ(t.Listed(1), nullptr);
}

TEST(EnumerateDisks, OrdersNamesNaturally) {
    FakeSys sys;
    for (const char* n : {"sdaa", "sdb", "sda", "nvme0n10", "nvme0n2"})
        sys.Add(n, 100, "x", "m");
    const DiskTable t = EnumerateDisks(sys.Roots());
    std::vector<std::string> names;
    for (size_t k = 0; k < t.listedCount; ++k)
        names.push_back(fs::path(t.entries[k].devicePath).filename());
    EXPECT_EQ(names, (std::vector<std::string>{"nvme0n2", "nvme0n10", "sda", "sdb", "sdaa"}));
}

TEST(DiskTable, ImagesFollowThePhysicalDisksAndMissingOnesAreRefused) {
    FakeSys sys;
    sys.Add("sda", 0, "usb1/x", "Reader");
    sys.Add("sdb", 100, "ata", "Disk");
    DiskTable t = EnumerateDisks(sys.Roots());
    TempDir dir;
    const std::string img = dir.File("server.img");
    { std::ofstream create(img); }
    fs::resize_file(img, 2047 * 512);
    EXPECT_TRUE(AddImageDisk(t, img).ok());
    ASSERT_EQ(t.listedCount, 2);
    EXPECT_EQ(t.entries[1].model, "server.img");
    EXPECT_EQ(t.entries[1].totalSectors, 2047u);
    EXPECT_EQ(t.entries[2].model, "Media missing or not inserted");
    EXPECT_EQ(CapacityText(t.entries[1].totalSectors), "0 MB ( Approx )");
    const std::string err = AddImageDisk(t, dir.File("nope.img")).error();
    EXPECT_NE(err.find("nope.img"), std::string::npos);
    EXPECT_NE(err.find("No such file"), std::string::npos);
    EXPECT_FALSE(AddImageDisk(t, dir.Path().string()).ok()); // a folder is no disk
    EXPECT_EQ(t.listedCount, 2);
}

TEST(DiskTable, NamesCapacityAndScanEnd) {
    EXPECT_EQ(DiskItemName(0), "Storage Device0");
    EXPECT_EQ(CapacityText(2048), "1 MB ( Approx )");
    // The capacity follows the true size, past what 32 bits of sectors can count.
    EXPECT_EQ(CapacityText(uint64_t{6} << 30), "3145728 MB ( Approx )");
    EXPECT_EQ(DefaultScanEnd(uint64_t{6} << 30), uint64_t{6} << 30); // no 32-bit cap
    EXPECT_EQ(DefaultScanEnd(1000), 1000u);
}

} // namespace
} // namespace trevik

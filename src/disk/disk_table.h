#pragma once

// The disks the user can pick: this machine's whole-disk block devices, then the images
// and metadevices added by hand, each with its geometry and size.

#include "disk/assembled_device.h"
#include "format/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevik {

// One disk the user can recover from: a whole-disk block device of this machine or a
// disk image file the user named.
struct DiskEntry {
    std::string devicePath;
    std::string model;
    // The geometry the device or image gives: informational, it need not cover the disk.
    uint32_t cylinders = 0;
    uint32_t heads = 0;
    uint32_t sectorsPerTrack = 0;
    // The device's true size in 512-byte sectors: the read bound and the default end of
    // a scan.
    uint64_t totalSectors = 0;
    // What the image says of itself ("device" for this machine's disks; see ImageDetails).
    std::string format = "device";
    std::string storedMd5;
    std::string storedSha1;
    size_t files = 1; // segment files of the image
    // A metadevice put together from its components: opened by its layout, not its path.
    std::optional<LayoutSpec> layout;
    // Such a metadevice as its state database names it ("d10"); empty when given by hand.
    std::string metadevice;
};

inline constexpr const char* kModelUsb = "USB Device";
inline constexpr const char* kModelMediaMissing = "Media missing or not inserted";
inline constexpr const char* kModelUnknown = "Unknown";
inline constexpr uint32_t kDefaultHeads = 255;
inline constexpr uint32_t kDefaultSectorsPerTrack = 63;

// How the disk table is filled. Only `N` exists on this platform.
enum class PlatformMode : char { N = 'N' };

struct DiskTable {
    static constexpr size_t kSlots = 32;

    // Listed disks occupy slots 0 .. listedCount-1, so list index k is slot k; slots of
    // drives without a medium follow them.
    std::vector<DiskEntry> entries;
    uint16_t listedCount = 0;

    const DiskEntry* Listed(size_t k) const { return k < listedCount ? &entries[k] : nullptr; }
};

// "Storage Device" followed by k.
std::string DiskItemName(size_t k);
// totalSectors / 2048, followed by " MB ( Approx )".
std::string CapacityText(uint64_t totalSectors);
// The default scan end: the disk's size (sector numbers are 64-bit throughout: a
// multi-terabyte volume lies past the 32-bit limit).
uint64_t DefaultScanEnd(uint64_t totalSectors);

struct DiskProbeRoots {
    std::string sysBlock = "/sys/block";
    std::string dev = "/dev";
};

// Lists the machine's whole-disk block devices (sd*, vd*, hd*, xvd*, nvme*n*, mmcblk*,
// and loop devices backed by a file). Partitions, RAM disks and unbacked loop devices
// are left out.
DiskTable EnumerateDisks(const DiskProbeRoots& roots = {});

// Appends a disk image file as a further listed disk; the error says why it was not.
Status AddImageDisk(DiskTable& table, const std::string& path);
// Appends a metadevice assembled from its components as a further listed disk; the error
// says why it could not be put together.
// `description` (from the state database: "SVM d10: stripe of 3, 204 MB") and `name`
// ("d10") stand in for the layout's own description when given.
Status AddLayoutDisk(DiskTable& table, const LayoutSpec& layout,
                     const std::string& description = {}, const std::string& name = {});
// "SVM stripe of 3 components" and the like.
std::string LayoutDescription(const LayoutSpec& layout);

} // namespace trevik

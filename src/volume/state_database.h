#pragma once

// Reading a Solaris Volume Manager state database replica from a slice, and finding the
// metadevices it records among the disks opened together: each one's components are
// matched to the disks by their names (c1t1d0s0 is slice 0 of disk c1t1d0), each disk
// name to an image by the name the user gives it, by the device id the state database
// records for it (kept on the disk, or the world-wide name Linux knows a disk by) or,
// failing both, by trying the images in turn and keeping the assignment whose file system
// stands where it must.

#include "disk/assembled_device.h"
#include "disk/sector_reader.h"
#include "format/svm_mddb.h"

#include <atomic>
#include <map>
#include <string>
#include <vector>

namespace trevik {

struct StateDatabase {
    svm::MasterBlock master;
    uint32_t commitCount = 0;
    std::vector<svm::Unit> units;
    std::map<uint32_t, std::string> names; // namespace key -> device name
    // namespace key -> the device id recorded for it (impl_devid), where one is
    std::map<uint32_t, std::vector<uint8_t>> deviceIds;
    // What could not be read: a record with a wrong checksum, a unit not understood. The
    // rest was read.
    std::vector<std::string> problems;
};

// The replica whose master block stands at block 16 of the slice at `sliceStart`. The
// error says why none could be read (no master block, its checksum, the locator or
// directory blocks). Reads are bounded by the replica's size.
Result<StateDatabase> ReadStateDatabase(SectorReader& reader, uint64_t sliceStart);

// "d10".
std::string UnitName(uint32_t unit);

// A disk opened to find metadevices on: its path and, optionally, the disk name the
// state database knows it by ("c1t1d0"), as the user gives it.
struct DiskSource {
    std::string path;
    std::string diskName;
};

// Splits "c1t1d0=disk1.img" into a disk name and a path; a text without '=' before its
// first '/' is a path alone.
DiskSource ParseDiskSource(const std::string& text);

struct FoundMetadevice {
    std::string name;        // "d10"
    std::string description; // "SVM d10: stripe of 3, 204 MB"
    svm::Unit unit;
    // Each component as the state database names it, with its state: "c1t1d0s0 (Okay)".
    std::vector<std::string> components;
    std::vector<std::string> missing; // components not found on the disks given
    // How to open it: components are the images' paths, each with its own start.
    std::optional<LayoutSpec> layout;
    std::string problem; // why it cannot be put together (layout empty)
    // Where each component was found ("c1t1d0s0 on disk2.img, slice 0"), and whether the
    // assignment was guessed from the file system rather than named.
    std::vector<std::string> placements;
    bool guessed = false;
};

struct MetadeviceSearch {
    std::string replica; // where the state database was read: "disk1.img, slice 7"
    std::vector<FoundMetadevice> found;
    std::vector<std::string> warnings; // damaged replicas, unreadable records
};

// Reads the freshest readable replica on the disks and lists the metadevices it records
// that no other metadevice uses (a mirror's submirrors are part of their mirror). Opens
// each disk read-only. Polls `stop` between candidate assignments.
MetadeviceSearch FindMetadevices(const std::vector<DiskSource>& disks, std::atomic<bool>& stop);

} // namespace trevik

#pragma once

#include "ufs/mount.h"

#include <cstdint>
#include <string>

namespace trevik {

// The summary of the mounted volume that the Drive Information dialog shows.
struct DriveInformation {
    std::string volumeName;
    uint64_t volumeStart = 0;
    uint64_t volumeSize = 0;      // sectors
    uint32_t blockSize = 0;       // sectors per block
    uint64_t superBlockStart = 0; // the entry's superblock sector
    uint32_t totalFiles = 0;
    uint32_t totalFolders = 0;
    std::string recoveryType; // "Normal" or "Extensive"
    LogReport log;            // what was done with the volume's UFS log
    // The image read from, as it describes itself.
    std::string imageFormat;
    std::string storedMd5;
    std::string storedSha1;
};

inline DriveInformation MakeDriveInformation(const MountedVolume& v) {
    DriveInformation d;
    d.volumeName = v.entry.name;
    d.volumeStart = v.entry.startSector;
    d.volumeSize = v.entry.sizeSectors;
    d.blockSize = v.geometry.sectorsPerBlock;
    d.superBlockStart = v.entry.superblockSector;
    d.totalFiles = v.tree.FileCount();
    d.totalFolders = v.tree.FolderCount();
    d.recoveryType = v.mode == RecoveryMode::Extensive ? "Extensive" : "Normal";
    d.log = v.log;
    d.log.sectors.clear();
    return d;
}

} // namespace trevik

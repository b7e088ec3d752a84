#pragma once

#include <cstdint>
#include <string_view>

namespace trevik {

enum class RecoveryMode : uint16_t { Normal = 1, Extensive = 2 };

// The phases of a mount, in the order they run. Front ends give them their captions.
enum class MountPhase {
    SearchingGroups, // reading the superblock and locating the cylinder groups
    Mounting,        // the directory phase (Normal walk or Extensive inode scan)
    Finalizing,      // Extensive: naming the folders the scan found
    LostData,        // Extensive: gathering parentless folders under LostDir
    CreatingTree,    // indexing the recovered tree
};

// What a mount reports while it runs, on the mount's thread.
class MountObserver {
public:
    virtual ~MountObserver() = default;
    virtual void OnPhase(MountPhase /*phase*/) {}
    virtual void OnProgress(uint32_t /*percent*/) {}
    virtual void OnCurrentSector(uint64_t /*sector*/) {}
    // The directory phase can be stopped while this is true.
    virtual void OnStopAvailable(bool /*available*/) {}
    virtual void OnFolderAdded(uint32_t /*folderCount*/, std::string_view /*name*/) {}
    // Called for every fifth file.
    virtual void OnFileAdded(uint32_t /*fileCount*/, std::string_view /*name*/) {}
};

} // namespace trevik

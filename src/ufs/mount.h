#pragma once

#include "disk/sector_reader.h"
#include "format/result.h"
#include "format/volume_geometry.h"
#include "ufs/log_replay.h"
#include "ufs/mount_observer.h"
#include "ufs/recovered_tree.h"
#include "ufs/warnings.h"
#include "volume/partition_entry.h"

#include <atomic>
#include <optional>
#include <vector>

namespace trevik {

// A mounted volume: where it lies, its geometry and cylinder-group table, the tree its
// directory phase recovered and what it could not recover.
struct MountedVolume {
    PartitionEntry entry;
    RecoveryMode mode = RecoveryMode::Normal;
    VolumeGeometry geometry;
    // Entry g: the sector of cylinder group g's superblock copy (entry 0: the primary).
    std::vector<uint64_t> groupTable;
    uint64_t superblockUsed = 0; // the superblock the mount read its geometry from
    RecoveredTree tree;
    std::vector<Warning> warnings;
    // Entries whose inode could not be read, by the folder that names them (not in the
    // tree: nothing of them can be copied). None that the tree holds after all (a folder
    // rebuilt from its blocks).
    std::vector<UnreadableEntry> unreadableEntries;
    bool mounted = false;
    bool stopped = false; // the user stopped the directory phase: the listing is incomplete
    // The volume's UFS log: what was replayed, or why not, and where it lies.
    LogReport log;
    // What the replayed log changes, shown by every read of the volume; null when nothing
    // is replayed. Whoever reads the volume again later installs it in the reader.
    std::shared_ptr<const ReadOverlay> overlay;
};

// Searches backwards from `estimate` (at most the device's end) to just above
// previous + 64 for a superblock copy, first in steps of 512 sectors, then of 32. Empty
// when no copy is found or `stop` is set.
std::optional<uint64_t> FindSuperblockCopy(SectorReader& reader, uint64_t estimate,
                                           uint64_t previous,
                                           const std::atomic<bool>* stop = nullptr);

// Mounts a volume read-only and runs the directory phase of `mode`. A logging volume's log
// is replayed first (unless `applyLog` is false), in memory: the reader then shows the
// replayed volume (its overlay is installed there, and cleared when the mount fails). The
// error says why a volume cannot be mounted.
Result<MountedVolume> MountVolume(SectorReader& reader, const PartitionEntry& entry,
                                  RecoveryMode mode, std::atomic<bool>& stopRequested,
                                  MountObserver* observer, bool applyLog = true);

} // namespace trevik

#pragma once

#include "ufs/walk_context.h"

#include <atomic>
#include <vector>

namespace trevik {

// The directory phases of a mount, run in the order their mode lists them (see
// directory_phases.h): Normal walks the hierarchy from the root; Extensive scans every
// inode table for directories, then names them and gathers lost folders.
class DirectoryWalker {
public:
    DirectoryWalker(InodeAccess& access, RecoveredTree& tree, std::atomic<bool>& stopRequested,
                    MountObserver* observer)
        : walk_(access, tree, stopRequested, observer) {}

    // Runs the phases of `mode` in order. Stop ends the phase that runs (the next one
    // still runs, as the user asked only to cut this one short); the flag is cleared
    // before each phase and after the last.
    void Run(RecoveryMode mode);
    // Whether a stop cut a phase of the last Run short.
    bool WasStopped() const { return stopped_; }

    // Sectors that are never searched as data: the UFS log's, which hold stale copies of
    // directory chunks and inodes. Not owned; outlives the walk.
    void ExcludeLog(const LogReport* log) { walk_.log = log; }

    // The warnings gathered so far, with paths as the tree now names them.
    std::vector<Warning> TakeWarnings() { return walk_.warnings.Take(walk_.tree); }
    // Every entry met whose inode could not be read, in the order met.
    std::vector<UnreadableEntry> TakeUnreadableEntries() {
        return std::move(walk_.unreadableEntries);
    }

private:
    WalkContext walk_;
    bool stopped_ = false;
};

} // namespace trevik

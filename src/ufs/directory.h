#pragma once

#include "ufs/inode.h"
#include "ufs/mount_observer.h"
#include "ufs/recovered_tree.h"

#include <atomic>

namespace trevik {

// The directory phases of a mount: Normal walks the hierarchy from the root; Extensive
// scans every inode table for directories, then names them and gathers lost folders.
class DirectoryWalker {
public:
    DirectoryWalker(InodeAccess& access, RecoveredTree& tree, RecoveryMode mode,
                    std::atomic<bool>& stopRequested, MountObserver* observer)
        : access_(access), tree_(tree), mode_(mode), stop_(stopRequested), observer_(observer) {}

    // Parses `length` bytes of one directory block. The first block of a directory must
    // begin with the directory's own "." entry. Each 512-byte chunk is parsed on its own:
    // a damaged entry ends its chunk only, and entries with inode 0 are passed over.
    void ParseDirectoryBlock(uint64_t sector, uint32_t directoryInode, uint32_t length,
                             bool firstBlock);
    // Feeds every block of directory inode n, through all indirect levels, to the parser.
    void WalkDirectoryInode(uint32_t n);

    void NormalWalk();
    void ScanInodeTables();
    void ResolveFolderNames();
    void SearchLostData();
    // Folders still unreachable from the root (their parents form a cycle) go under
    // LostDir.
    void GatherUnreachable();

private:
    bool Stopped() const { return stop_.load(std::memory_order_relaxed); }
    void Progress(uint32_t percent);

    InodeAccess& access_;
    RecoveredTree& tree_;
    RecoveryMode mode_;
    std::atomic<bool>& stop_;
    MountObserver* observer_;
    std::vector<uint8_t> block_;
    uint32_t lastProgress_ = UINT32_MAX;
};

} // namespace trevik

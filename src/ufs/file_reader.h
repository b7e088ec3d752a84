#pragma once

#include "ufs/inode.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace trevik {

// Reads a file's contents through its whole block map: holes read as zeros, the last
// block trimmed to the size. A block that cannot be read (unreadable sectors, a damaged
// indirect block, a pointer outside the volume) reads as zeros and is reported.
class FileReader {
public:
    // Damaged: some sectors unreadable (zeros there); Lost: the block cannot be located.
    enum class BlockState { Data, Hole, Damaged, Lost };

    FileReader(InodeAccess& access, const Inode& inode)
        : access_(access), inode_(inode), map_(access, inode) {}

    uint64_t Size() const { return inode_.size; }
    uint64_t BlockCount() const;
    uint32_t BlockSize() const { return access_.Geometry().blockSize; }
    // Where block lbn begins in the file.
    uint64_t BlockOffset(uint64_t lbn) const {
        return trevik::BlockOffset(access_.Geometry(), lbn);
    }
    // Bytes of block lbn that belong to the file.
    uint32_t BlockLength(uint64_t lbn) const;
    // First block at or after lbn that may hold data (whole absent indirect ranges skipped).
    BlockMap::Next NextCandidate(uint64_t lbn) { return map_.SkipHole(lbn); }
    uint64_t Capacity() const { return map_.Capacity(); }
    // Fills out (BlockLength(lbn) bytes) with block lbn.
    BlockState ReadBlock(uint64_t lbn, std::span<uint8_t> out);
    // The first sector of the block the last ReadBlock read (Data or Damaged).
    uint64_t LastSector() const { return lastSector_; }
    // Whether the map was found to name a block twice, and where the file stops being
    // trustworthy then: the start of the block whose lookup found it.
    bool Repeated() const { return map_.Repeated(); }
    uint64_t TrustedEnd() const {
        return map_.Repeated() ? std::min(inode_.size, BlockOffset(map_.RepeatedAt()))
                               : inode_.size;
    }

private:
    InodeAccess& access_;
    Inode inode_;
    BlockMap map_;
    std::vector<uint8_t> buffer_;
    uint64_t lastSector_ = 0;
};

// How much of a file its block map can be trusted for: its size, or where the map first
// names a block it named before (a loop, or two pointers to one block). Walks the whole map
// (indirect blocks read, data blocks not), skipping absent ranges.
uint64_t TrustedLength(InodeAccess& access, const Inode& inode);

// A symbolic link's target: from its data block (as Solaris keeps it), or from inside the
// inode when it holds no blocks (the BSD short-link form). Empty when unreadable.
std::optional<std::string> ReadSymlinkTarget(InodeAccess& access, const Inode& inode);

} // namespace trevik

#pragma once

// Directory entries as UFS keeps them: records chained by their lengths inside 512-byte
// chunks that no entry crosses.

#include "format/big_endian.h"
#include "format/ufs_format.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace trevik {

struct DirEntry {
    uint32_t inode = 0;
    std::string_view name;
};

enum class ChunkState {
    Sound,
    Broken, // a record's length is zero, misaligned, too short for its name or runs past
            // the chunk: what follows in the chunk cannot be trusted
};

// Calls `onEntry(const DirEntry&)` for every entry of one chunk with a non-zero inode, in
// order, "." and ".." included; stops at the first broken record. `onEntry` returns false
// to stop early (the chunk then counts as sound).
template <typename OnEntry>
ChunkState ParseDirectoryChunk(std::span<const uint8_t> chunk, OnEntry&& onEntry) {
    using namespace ufs::dirent_field;
    const size_t end = chunk.size();
    size_t o = 0;
    while (o + ufs::kDirEntryHeader <= end) {
        const uint32_t inode = ReadBe32(chunk, o + kInode);
        const uint32_t reclen = ReadBe16(chunk, o + kReclen);
        const uint32_t namlen = chunk[o + kNamlen];
        if (reclen < ufs::kDirEntryHeader || reclen % 4 != 0 || o + reclen > end) {
            return ChunkState::Broken;
        }
        const size_t next = o + reclen;
        if (inode == 0) {
            o = next; // what a removal leaves at the head of a chunk
            continue;
        }
        if (inode == 0xFFFFFFFF || namlen == 0 || ufs::kDirEntryHeader + namlen > reclen ||
            o + kName + namlen >= end) {
            return ChunkState::Broken;
        }
        const std::string_view name(reinterpret_cast<const char*>(chunk.data()) + o + kName,
                                    namlen);
        if (!onEntry(DirEntry{inode, name})) {
            return ChunkState::Sound;
        }
        o = next;
    }
    return o == end ? ChunkState::Sound : ChunkState::Broken;
}

// Whether a directory block begins with the "." entry of directory `inode`.
inline bool StartsWithDot(std::span<const uint8_t> block, uint32_t inode) {
    using namespace ufs::dirent_field;
    return block.size() >= ufs::kDirEntryHeader + 4 && block[kName] == '.' &&
           ReadBe32(block, kInode) == inode;
}

// The inode a first block's ".." entry names (the second entry, 12 bytes in).
inline uint32_t DotDotInode(std::span<const uint8_t> block) {
    return ReadBe32(block, ufs::DirEntrySize(1) + ufs::dirent_field::kInode);
}

} // namespace trevik

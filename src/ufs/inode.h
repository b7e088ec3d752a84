#pragma once

// Inodes: one decoded from the inode table, where it lies, and the cached reads of the
// table's chunks that every walk and copy goes through.

#include "disk/sector_reader.h"
#include "format/ufs_format.h"
#include "format/volume_geometry.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <unordered_set>
#include <vector>

namespace trevik {

struct Inode {
    uint16_t mode = 0;
    uint16_t nlink = 0;
    uint64_t size = 0;
    int32_t modifiedTime = 0;
    uint32_t direct[ufs::kDirectBlocks] = {};
    uint32_t indirect[ufs::kIndirectLevels] = {};
    uint32_t blocks = 0; // sectors held
    uint32_t uid = 0;    // Solaris' 32-bit owner and group
    uint32_t gid = 0;

    uint16_t Type() const { return ufs::TypeOf(mode); }
    bool IsDirectory() const { return ufs::IsDirectoryMode(mode); }
    bool IsRegular() const { return ufs::IsRegularMode(mode); }
    bool IsSymlink() const { return ufs::IsSymlinkMode(mode); }
    // Whether a directory entry naming this inode names something: an inode with a time,
    // or one whose type bits are set.
    bool Live() const { return modifiedTime > 0 || Type() != 0; }
};

Inode DecodeInode(std::span<const uint8_t, ufs::kInodeSize> raw);

// What reading an inode gave.
enum class InodeStatus {
    Ok,
    Unreadable, // its inode-table sector cannot be read
    OutOfRange, // no inode of this volume has that number
};

struct InodeRead {
    InodeStatus status = InodeStatus::OutOfRange;
    Inode inode;
    uint64_t sector = 0; // the inode-table sector that holds it (when in range)

    bool Ok() const { return status == InodeStatus::Ok; }
};

// Finds and reads inodes of a mounted volume.
class InodeAccess {
public:
    InodeAccess(SectorReader& reader, const VolumeGeometry& geometry,
                const std::vector<uint64_t>& groupTable)
        : reader_(reader), g_(geometry), groups_(groupTable) {}

    // Start sector of group c's inode table: group 0's by the file system's rule, the
    // others from the superblock copy the group table found for them.
    uint64_t InodeTableSector(uint32_t group) const;
    // The inode-table sector that holds inode n; false when n is no inode of this volume.
    // An inode of a group past the end of the device has a sector, by the file system's
    // rule, that cannot be read.
    bool InodeSector(uint32_t n, uint64_t& sector) const;
    InodeRead ReadInode(uint32_t n);
    // Reads sectors of an inode table (`first` where a chunk begins, `count` whole chunks
    // or up to the table's end) as a scan wants them: chunks the cache holds from it, the
    // others from the disk, then kept, so that the inodes in them are not read again.
    ReadOutcome ReadTable(uint64_t first, uint32_t count, uint8_t* out);

    // Grows the cache for a walk over `inodes` inodes in use: room for about a quarter of
    // their chunks, from 8 MiB up to 32 MiB. A walk comes back to a chunk when it reaches
    // the next folder whose files share it, often a batch or two later; without the room,
    // the chunk has been pushed out and is read from the disk again. Before the first read.
    void SizeCacheFor(uint64_t inodes);

    SectorReader& Reader() { return reader_; }
    const VolumeGeometry& Geometry() const { return g_; }
    // Entry c: the sector of group c's superblock copy.
    const std::vector<uint64_t>& GroupTable() const { return groups_; }

private:
    // Recently read chunks of inode tables, in sets by chunk: directory entries
    // name neighbouring inodes, and a walk keeps returning to the same tables. A chunk
    // with unreadable sectors is kept with them marked, so they are never asked again.
    // The memory is taken as chunks arrive (never zero-filled up front).
    static constexpr uint32_t kChunkSectors = 16;
    struct ChunkTag {
        uint64_t first = UINT64_MAX;
        uint64_t used = 0; // when last asked for: the set's oldest goes first
        std::bitset<kChunkSectors> bad;
    };

    SectorReader& reader_;
    const VolumeGeometry& g_;
    const std::vector<uint64_t>& groups_;
    // Sets of four slots: chunks whose hashes meet share a set rather than push each other
    // out, as a walk back and forth over two groups' tables would in one slot.
    static constexpr uint32_t kWayBits = 2;
    static constexpr uint32_t kWays = 1u << kWayBits;
    static constexpr uint32_t kSlotBits = 10;     // 1024 chunks of 8 KiB: 8 MiB at most
    static constexpr uint32_t kMostSlotBits = 12; // 32 MiB, for the largest walks
    uint32_t slotBits_ = kSlotBits;
    std::vector<ChunkTag> tags_ = std::vector<ChunkTag>(size_t{1} << kSlotBits);
    uint64_t clock_ = 0;
    // The first slot of the set a chunk belongs to.
    size_t SetOf(uint64_t first) const {
        // Tables of different groups lie a group apart: hash, so that they do not collide.
        const uint32_t setBits = slotBits_ - kWayBits;
        return static_cast<size_t>(((first / kChunkSectors) * 0x9E3779B97F4A7C15ULL) >>
                                   (64 - setBits)) *
               kWays;
    }
    // The slot of set `set` holding the chunk that begins at `first`, or SIZE_MAX.
    size_t Find(size_t set, uint64_t first) const;
    size_t Find(uint64_t first) const { return Find(SetOf(first), first); }
    // The slot of set `set` a chunk is to be read into: the set's oldest.
    size_t Victim(size_t set) const;
    void Touch(size_t slot) { tags_[slot].used = ++clock_; }
    uint8_t* ChunkData(size_t slot);
    void Keep(uint64_t first, uint32_t count, const uint8_t* data, bool whole);
    // Names the chunk now in a slot, with the sectors of it the reader knows are bad.
    void Tag(ChunkTag& tag, uint64_t first, uint32_t count, bool whole) const;
    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t[], Free> chunks_; // allocated on first use, left unfilled
};

// Maps a file's logical blocks to fragments through its direct and single, double and
// triple indirect pointers. Indirect blocks are read once and kept while walking in order.
class BlockMap {
public:
    BlockMap(InodeAccess& access, const Inode& inode);

    // Where a logical block is: its first fragment (0 for a hole), or lost when it cannot
    // be located (an unreadable indirect block, a pointer outside the volume, a loop).
    struct Mapped {
        uint32_t frag = 0;
        bool lost = false;
    };
    Mapped Lookup(uint64_t lbn);
    // Logical blocks the map can address.
    uint64_t Capacity() const;
    // The first logical block at or after lbn that is not inside a range an absent or
    // unusable indirect block leaves empty; lbn itself when it may be mapped. Lost when the
    // range skipped hangs from a pointer outside the volume or an unreadable indirect block.
    struct Next {
        uint64_t lbn = 0;
        bool lost = false;
    };
    Next SkipHole(uint64_t lbn);

    // The first sector of an indirect block found unreadable, if any was.
    bool SawUnreadableIndirect() const { return unreadableIndirect_; }
    uint64_t UnreadableIndirectSector() const { return unreadableSector_; }
    // Whether the map named a block twice (a loop, or two pointers to one block): from
    // the second time on, nothing it yields can be trusted.
    bool Repeated() const { return looped_; }
    // The logical block whose lookup found the repeat: the file can be trusted up to it.
    uint64_t RepeatedAt() const { return loopLbn_; }

private:
    // An indirect block as read: its pointers, and which of its sectors were unreadable.
    struct Level {
        uint32_t frag = 0;
        bool loaded = false;
        std::vector<uint8_t> data;
        std::vector<bool> badSector;
    };
    Mapped Entry(int depth, uint32_t frag, uint64_t index);
    bool Usable(uint32_t frag) const;

    InodeAccess& access_;
    Inode inode_;
    Level cache_[ufs::kIndirectLevels]; // by depth below the inode
    // A sound map names each block once, indirect or data. One named twice means the map
    // loops or repeats itself (a block pointing at itself, two pointers to one block):
    // from there on everything is lost.
    bool FirstTime(uint32_t frag);
    std::vector<uint32_t> seenFew_; // the first few, searched in place
    std::unordered_set<uint32_t> seen_;
    bool looped_ = false;
    uint64_t loopLbn_ = UINT64_MAX;
    void NoteLoop(uint64_t lbn) {
        if (looped_ && loopLbn_ == UINT64_MAX)
            loopLbn_ = lbn;
    }
    uint64_t lastLbn_ = UINT64_MAX; // the last data block looked up, and where it was
    Mapped last_;
    bool unreadableIndirect_ = false;
    uint64_t unreadableSector_ = 0;
};

} // namespace trevik

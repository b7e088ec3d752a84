#pragma once

#include "disk/sector_reader.h"
#include "ufs/volume_geometry.h"

#include <array>
#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

namespace trevik {

struct Inode {
    uint16_t mode = 0;
    uint16_t nlink = 0;
    uint64_t size = 0;
    int32_t modifiedTime = 0;
    uint32_t ctimeUsec = 0;
    uint32_t direct[12] = {};
    uint32_t indirect[3] = {};
    uint32_t blocks = 0; // sectors held
    std::array<uint8_t, 128> raw{};

    uint16_t Type() const { return mode & 0xF000; }
    bool IsDirectory() const { return Type() == 0x4000; }
    bool IsRegular() const { return Type() == 0x8000; }
    bool IsSymlink() const { return Type() == 0xA000; }
};

struct InodeInfo {
    int32_t modifiedTime = 0;
    uint64_t size = 0;
    bool isDirectory = false;
    uint16_t mode = 0;
    bool located = false;
};

// Finds and reads inodes of a mounted volume.
class InodeAccess {
public:
    struct Location {
        uint64_t sector;
        uint32_t byteOffset;
    };

    InodeAccess(SectorReader& reader, uint64_t partitionStart, const VolumeGeometry& geometry,
                const std::vector<uint64_t>& groupTable)
        : reader_(reader), start_(partitionStart), g_(geometry), groups_(groupTable) {}

    // Start sector of group g's inode table: group 0's from the partition start, the
    // others from the superblock copy the group table found for them.
    uint64_t InodeTableSector(uint32_t group) const;
    std::optional<Location> LocateInode(uint32_t n) const;
    // Reads inode n; false when it cannot be located or its sector cannot be read.
    bool ReadInode(uint32_t n, Inode& out);
    InodeInfo ReadInodeInfo(uint32_t n);

    uint64_t FragmentSector(uint64_t frag) const { return start_ + frag * g_.sectorsPerFragment; }
    // True when `count` fragments from `frag` lie inside the volume.
    bool FragmentsInVolume(uint64_t frag, uint64_t count) const;

    SectorReader& Reader() { return reader_; }
    const VolumeGeometry& Geometry() const { return g_; }
    uint64_t PartitionStart() const { return start_; }

private:
    SectorReader& reader_;
    uint64_t start_;
    const VolumeGeometry& g_;
    const std::vector<uint64_t>& groups_;
    // Where inode n's 128 bytes are: in the chunk cache, or in `one` when its chunk holds
    // unreadable sectors. Null when unreadable.
    const uint8_t* InodeBytes(uint32_t n, std::array<uint8_t, 512>& one);

    // Recently read chunks of inode tables, direct-mapped by chunk: directory entries
    // name neighbouring inodes, and a walk keeps returning to the same tables.
    static constexpr size_t kChunks = 1024; // 8 MiB in all
    static constexpr uint32_t kChunkSectors = 16;
    std::vector<uint64_t> chunkFirst_ = std::vector<uint64_t>(kChunks, UINT64_MAX);
    std::vector<uint8_t> chunks_; // allocated on first use
};

Inode DecodeInode(std::span<const uint8_t, 128> raw);

// Maps a file's logical blocks to fragments through its direct and single, double and
// triple indirect pointers. Indirect blocks are read once and kept while walking in order.
class BlockMap {
public:
    BlockMap(InodeAccess& access, const Inode& inode);

    // First fragment of logical block lbn; 0 for a hole. `damaged` is set when the block
    // cannot be located (an unreadable indirect block or a pointer outside the volume).
    uint32_t Lookup(uint64_t lbn, bool* damaged);
    // Logical blocks the map can address.
    uint64_t Capacity() const;
    // The first logical block at or after lbn that is not inside a range an absent or
    // unusable indirect block leaves empty; lbn itself when it may be mapped. `damaged` is
    // set when the range skipped hangs from a pointer outside the volume or an unreadable
    // indirect block.
    uint64_t SkipHole(uint64_t lbn, bool* damaged = nullptr);

private:
    struct Level {
        uint32_t frag = 0;
        bool loaded = false;
        bool ok = false;
        std::vector<uint8_t> data;
    };
    uint32_t Entry(int level, uint32_t frag, uint64_t index, bool* damaged);

    InodeAccess& access_;
    Inode inode_;
    uint64_t nindir_;
    Level cache_[3]; // by depth below the inode: 0 = first indirect level read
    // A sound map reads each indirect block once, in order. One read twice means the map
    // loops (a block pointing at itself, two pointers to one block): the rest is lost.
    std::unordered_set<uint32_t> seen_;
    bool looped_ = false;
};

} // namespace trevik

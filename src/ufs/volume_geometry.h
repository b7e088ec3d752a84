#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace trevik {

// What a mount derives from the superblock.
struct VolumeGeometry {
    uint32_t sectorsPerFragment = 0;
    uint32_t sectorsPerBlock = 0;
    uint32_t groupCount = 0;
    uint32_t sectorsPerGroup = 0;
    uint32_t inodeBlockOffset = 0; // raw fs_iblkno, in fragments
    uint32_t inodesPerGroup = 0;
    uint64_t totalInodes = 0;
    uint32_t groupOffset = 0; // raw fs_cgoffset, in fragments

    // The file system's own layout rule.
    uint32_t fragmentSize = 0;
    uint32_t blockSize = 0;
    uint32_t fragsPerBlock = 0;
    uint32_t superblockOffset = 0;  // fs_sblkno, in fragments
    uint32_t groupHeaderOffset = 0; // fs_cblkno
    uint32_t groupMask = 0;         // fs_cgmask
    uint32_t fragsPerGroup = 0;
    uint32_t sizeFrags = 0; // fs_size
};

struct SuperblockDecode {
    std::optional<VolumeGeometry> geometry;
    std::string problem; // why the superblock cannot be used
};

// Decodes and checks a superblock (at least its first 1536 bytes): magic, fragment size
// (a power of two from 512 to 8192), 1, 2, 4 or 8 fragments a block, blocks up to 64 KiB,
// inodes per group a non-zero multiple of the inodes a block holds, non-zero group count
// and group size, and an inode table that lies inside its group.
SuperblockDecode DecodeSuperblock(std::span<const uint8_t> superblock);

} // namespace trevik

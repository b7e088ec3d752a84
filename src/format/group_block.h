#pragma once

// A cylinder-group block: its magic and index, the map of inodes in use and the map of
// free fragments, checked against the block's own bounds.

#include "format/big_endian.h"
#include "format/ufs_format.h"

#include <cstdint>
#include <span>

namespace trevik {

class GroupBlock {
public:
    // A view of the bytes read for group `index`; Valid() says whether they are its block.
    GroupBlock(std::span<const uint8_t> bytes, uint32_t index, uint32_t inodesPerGroup,
               uint32_t fragsPerGroup)
        : b_(bytes), ipg_(inodesPerGroup), fpg_(fragsPerGroup) {
        using namespace ufs::cg_field;
        const bool magic = ReadBe32(b_, kMagic) == ufs::kCgMagic && ReadBe32(b_, kCgx) == index;
        const uint64_t iused = ReadBe32(b_, kIusedoff);
        const uint64_t free = ReadBe32(b_, kFreeoff);
        valid_ = magic && iused + (ipg_ + 7) / 8 <= b_.size() && free + (fpg_ + 7) / 8 <= b_.size();
        iused_ = static_cast<size_t>(iused);
        free_ = static_cast<size_t>(free);
    }

    bool Valid() const { return valid_; }
    // Slot i of the group's inode table is in use.
    bool InodeUsed(uint32_t i) const { return Bit(iused_, i); }
    // Fragment f of the group (counted from the group's first fragment) is free.
    bool FragmentFree(uint32_t f) const { return Bit(free_, f); }

private:
    bool Bit(size_t map, uint32_t i) const {
        return valid_ && ((b_[map + i / 8] >> (i % 8)) & 1) != 0;
    }

    std::span<const uint8_t> b_;
    uint32_t ipg_;
    uint32_t fpg_;
    bool valid_ = false;
    size_t iused_ = 0;
    size_t free_ = 0;
};

// The extension a file's first bytes make certain: a few well-known magic numbers (PDF,
// gzip, ELF, JPEG, PNG, ZIP, tar); empty when none fits.
inline const char* ExtensionFromContent(std::span<const uint8_t> b) {
    auto starts = [&](std::initializer_list<uint8_t> magic) {
        if (b.size() < magic.size())
            return false;
        size_t i = 0;
        for (uint8_t m : magic) {
            if (b[i++] != m)
                return false;
        }
        return true;
    };
    if (starts({'%', 'P', 'D', 'F', '-'}))
        return ".pdf";
    if (starts({0x1F, 0x8B}))
        return ".gz";
    if (starts({0x7F, 'E', 'L', 'F'}))
        return ".elf";
    if (starts({0xFF, 0xD8, 0xFF}))
        return ".jpg";
    if (starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}))
        return ".png";
    if (starts({'P', 'K', 0x03, 0x04}))
        return ".zip";
    if (b.size() >= 262 && b[257] == 'u' && b[258] == 's' && b[259] == 't' && b[260] == 'a' &&
        b[261] == 'r')
        return ".tar";
    return "";
}

} // namespace trevik

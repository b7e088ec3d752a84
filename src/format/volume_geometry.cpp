#include "format/volume_geometry.h"

#include "format/big_endian.h"

#include <bit>

namespace trevik {

SuperblockFields ReadSuperblockFields(std::span<const uint8_t> s) {
    using namespace ufs::sb_field;
    SuperblockFields f;
    f.superblockOffset = ReadBe32(s, kSblkno);
    f.groupHeaderOffset = ReadBe32(s, kCblkno);
    f.inodeBlockOffset = ReadBe32(s, kIblkno);
    f.groupOffset = ReadBe32(s, kCgoffset);
    f.groupMask = ReadBe32(s, kCgmask);
    f.sizeFrags = ReadBe32(s, kSize);
    f.claimedGroups = ReadBe32(s, kNcg);
    f.fragmentSize = ReadBe32(s, kFsize);
    f.fragsPerBlock = ReadBe32(s, kFrag);
    f.inodesPerGroup = ReadBe32(s, kIpg);
    f.fragsPerGroup = ReadBe32(s, kFpg);
    return f;
}

Result<VolumeGeometry> DecodeSuperblock(std::span<const uint8_t> s) {
    using namespace ufs;
    using namespace ufs::sb_field;
    auto fail = [](std::string why) { return Error{std::move(why)}; };
    if (s.size() < kSuperblockReadSectors * kSectorSize || !IsUfsMagic(ReadBe32(s, kMagic))) {
        return fail("no UFS magic number");
    }
    VolumeGeometry g;
    static_cast<SuperblockFields&>(g) = ReadSuperblockFields(s);
    const uint32_t fsize = g.fragmentSize;
    const uint32_t frag = g.fragsPerBlock;
    const uint32_t ipg = g.inodesPerGroup;
    const uint32_t ncg = g.claimedGroups;
    const uint32_t fpg = g.fragsPerGroup;
    const bool mtb = ReadBe32(s, kMagic) == kMtbMagic;
    if (fsize < 512 || fsize > 8192 || !std::has_single_bit(fsize)) {
        return fail("fragment size " + std::to_string(fsize) + " is not 512 to 8192");
    }
    if (frag != 1 && frag != 2 && frag != 4 && frag != 8) {
        return fail("fragments per block " + std::to_string(frag) + " is not 1, 2, 4 or 8");
    }
    // A multi-terabyte volume is told by its magic and version, and never splits a block.
    // (The classic magic comes with version 0 or 2; a damaged version there is no reason to
    // give up a volume that is otherwise sound.)
    if (mtb && ReadBe32(s, kVersion) != kMtbVersion) {
        return fail("multi-terabyte UFS version " + std::to_string(ReadBe32(s, kVersion)) +
                    " is not 1");
    }
    if (mtb && frag != 1) {
        return fail("a multi-terabyte volume with " + std::to_string(frag) + " fragments a block");
    }
    const uint32_t bsize = fsize * frag;
    if (bsize > 65536) {
        return fail("block size above 64 KiB");
    }
    const uint32_t inopb = bsize / kInodeSize;
    if (ipg == 0 || ipg % inopb != 0) {
        return fail("inodes per group " + std::to_string(ipg) + " is not a multiple of " +
                    std::to_string(inopb));
    }
    if (ncg == 0 || fpg == 0) {
        return fail("no cylinder groups");
    }
    if (g.groupOffset >= fpg) {
        return fail("group stagger " + std::to_string(g.groupOffset) +
                    " is not below the group size");
    }
    // The last group may be short, never empty, and no group lies past the size.
    const uint64_t size = g.sizeFrags;
    if (size <= uint64_t{ncg - 1} * fpg || size > uint64_t{ncg} * fpg) {
        return fail("size " + std::to_string(size) + " does not fit " + std::to_string(ncg) +
                    " groups of " + std::to_string(fpg) + " fragments");
    }
    const uint64_t inodeFrags = uint64_t{ipg} * kInodeSize / fsize;
    if (uint64_t{g.inodeBlockOffset} + inodeFrags > fpg || g.superblockOffset >= fpg ||
        g.groupHeaderOffset >= fpg) {
        return fail("inode table outside its cylinder group");
    }
    if (uint64_t{ipg} * ncg > UINT32_MAX) {
        return fail("more inodes than 32-bit inode numbers can name");
    }
    g.sectorsPerFragment = fsize / kSectorSize;
    g.sectorsPerBlock = frag * g.sectorsPerFragment;
    g.groupCount = ncg;
    g.sectorsPerGroup =
        static_cast<uint32_t>(std::min<uint64_t>(uint64_t{fpg} * g.sectorsPerFragment, UINT32_MAX));
    g.totalInodes = uint64_t{ipg} * ncg;
    g.blockSize = bsize;
    g.multiTerabyte = mtb;
    g.countedFolders = ReadBe32(s, kCstotal);
    g.countedFreeInodes = ReadBe32(s, kCstotal + 8);
    return g;
}

} // namespace trevik

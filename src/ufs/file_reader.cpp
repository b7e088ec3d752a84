#include "ufs/file_reader.h"

#include "format/big_endian.h"

#include <algorithm>
#include <array>
#include <vector>

namespace trevik {

uint64_t FileReader::BlockCount() const {
    return BlocksFor(access_.Geometry(), inode_.size);
}

uint32_t FileReader::BlockLength(uint64_t lbn) const {
    return trevik::BlockLength(access_.Geometry(), inode_.size, lbn);
}

FileReader::BlockState FileReader::ReadBlock(uint64_t lbn, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), 0);
    if (lbn >= map_.Capacity()) {
        return BlockState::Lost; // past what the block map can address
    }
    const auto [frag, lost] = map_.Lookup(lbn);
    if (lost) {
        return BlockState::Lost;
    }
    if (frag == 0) {
        return BlockState::Hole;
    }
    const VolumeGeometry& g = access_.Geometry();
    if (!FragmentsInVolume(g, frag, FragmentsFor(g, out.size()))) {
        return BlockState::Lost;
    }
    buffer_.resize(size_t{SectorsFor(out.size())} * kSectorSize);
    lastSector_ = FragmentSector(g, frag);
    const ReadOutcome r = access_.Reader().Read(lastSector_, buffer_);
    std::copy_n(buffer_.begin(), out.size(), out.begin());
    return r.Whole() ? BlockState::Data : BlockState::Damaged;
}

uint64_t TrustedLength(InodeAccess& access, const Inode& inode) {
    const VolumeGeometry& g = access.Geometry();
    BlockMap map(access, inode);
    const uint64_t blocks = std::min(BlocksFor(g, inode.size), map.Capacity());
    for (uint64_t lbn = 0; lbn < blocks && !map.Repeated();) {
        const BlockMap::Next next = map.SkipHole(lbn);
        if (next.lbn != lbn) {
            lbn = next.lbn;
            continue;
        }
        map.Lookup(lbn);
        ++lbn;
    }
    return map.Repeated() ? std::min(inode.size, BlockOffset(g, map.RepeatedAt())) : inode.size;
}

std::optional<std::string> ReadSymlinkTarget(InodeAccess& access, const Inode& inode) {
    if (inode.blocks == 0 && inode.size <= ufs::kShortLinkBytes) {
        // The target stands where the block pointers would: their bytes, as on disk.
        std::array<uint8_t, ufs::kShortLinkBytes> bytes{};
        for (uint32_t i = 0; i < ufs::kDirectBlocks; ++i)
            WriteBe32(bytes, 4 * i, inode.direct[i]);
        for (uint32_t i = 0; i < ufs::kIndirectLevels; ++i)
            WriteBe32(bytes, 4 * (ufs::kDirectBlocks + i), inode.indirect[i]);
        return std::string(reinterpret_cast<const char*>(bytes.data()), inode.size);
    }
    if (inode.size > access.Geometry().blockSize || inode.size == 0) {
        return std::nullopt;
    }
    FileReader reader(access, inode);
    std::string target(inode.size, '\0');
    const auto state =
        reader.ReadBlock(0, {reinterpret_cast<uint8_t*>(target.data()), target.size()});
    if (state != FileReader::BlockState::Data) {
        return std::nullopt;
    }
    return target;
}

} // namespace trevik

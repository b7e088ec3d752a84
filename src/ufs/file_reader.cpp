#include "ufs/file_reader.h"

#include <algorithm>
#include <vector>

namespace trevik {

uint64_t FileReader::BlockCount() const {
    const uint64_t bsize = access_.Geometry().blockSize;
    return (inode_.size + bsize - 1) / bsize;
}

uint32_t FileReader::BlockLength(uint64_t lbn) const {
    const uint64_t bsize = access_.Geometry().blockSize;
    if (lbn * bsize >= inode_.size)
        return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(bsize, inode_.size - lbn * bsize));
}

FileReader::BlockState FileReader::ReadBlock(uint64_t lbn, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), 0);
    if (lbn >= map_.Capacity()) {
        return BlockState::Lost; // past what the block map can address
    }
    bool damaged = false;
    const uint32_t frag = map_.Lookup(lbn, &damaged);
    if (damaged) {
        return BlockState::Lost;
    }
    if (frag == 0) {
        return BlockState::Hole;
    }
    const VolumeGeometry& g = access_.Geometry();
    const uint64_t frags = (out.size() + g.fragmentSize - 1) / g.fragmentSize;
    if (!access_.FragmentsInVolume(frag, frags)) {
        return BlockState::Lost;
    }
    const uint32_t sectors = static_cast<uint32_t>((out.size() + 511) / 512);
    std::vector<uint8_t> buf(size_t{sectors} * 512, 0);
    uint32_t bad = 0;
    access_.Reader().Read(access_.FragmentSector(frag), sectors, buf.data(), &bad);
    if (bad != 0) {
        // Keep every readable sector, zero the others.
        for (uint32_t s = 0; s < sectors; ++s) {
            uint32_t b = 0;
            std::span<uint8_t> sec(buf.data() + s * 512, 512);
            std::fill(sec.begin(), sec.end(), 0);
            access_.Reader().Read(access_.FragmentSector(frag) + s, 1, sec.data(), &b);
            if (b != 0)
                std::fill(sec.begin(), sec.end(), 0);
        }
    }
    std::copy_n(buf.begin(), out.size(), out.begin());
    return bad != 0 ? BlockState::Damaged : BlockState::Data;
}

std::optional<std::string> ReadSymlinkTarget(InodeAccess& access, const Inode& inode) {
    constexpr uint64_t kShortLinkBytes = 60; // the block pointers' space in the inode
    if (inode.blocks == 0 && inode.size <= kShortLinkBytes) {
        return std::string(reinterpret_cast<const char*>(inode.raw.data()) + 40, inode.size);
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

#include "ufs/inode.h"

#include "ufs/big_endian.h"
#include "ufs/ufs_format.h"

#include <cstring>

namespace trevik {

Inode DecodeInode(std::span<const uint8_t, 128> raw) {
    using namespace ufs::ino;
    Inode in;
    std::memcpy(in.raw.data(), raw.data(), 128);
    in.mode = ReadBe16(raw, kMode);
    in.nlink = ReadBe16(raw, kNlink);
    in.size = ReadBe64(raw, kSize);
    in.modifiedTime = static_cast<int32_t>(ReadBe32(raw, kMtime));
    in.ctimeUsec = ReadBe32(raw, kCtimeUsec);
    for (uint32_t i = 0; i < 12; ++i)
        in.direct[i] = ReadBe32(raw, kDirect + 4 * i);
    for (uint32_t i = 0; i < 3; ++i)
        in.indirect[i] = ReadBe32(raw, kIndirect + 4 * i);
    in.blocks = ReadBe32(raw, kBlocks);
    return in;
}

uint64_t InodeAccess::InodeTableSector(uint32_t group) const {
    const uint64_t spf = g_.sectorsPerFragment;
    if (group == 0 || group >= groups_.size()) {
        return start_ + uint64_t{g_.inodeBlockOffset} * spf;
    }
    const uint64_t copy = groups_[group];
    const uint64_t back = uint64_t{g_.superblockOffset} * spf;
    if (copy < back) {
        return start_; // a table entry no real layout produces; reads fail their checks
    }
    return copy - back + uint64_t{g_.inodeBlockOffset} * spf;
}

std::optional<InodeAccess::Location> InodeAccess::LocateInode(uint32_t n) const {
    if (n < 2 || g_.inodesPerGroup == 0) {
        return std::nullopt;
    }
    const uint32_t g = n / g_.inodesPerGroup;
    if (g >= groups_.size()) {
        return std::nullopt;
    }
    const uint32_t slot = n - g * g_.inodesPerGroup;
    return Location{InodeTableSector(g) + slot / 4, (n % 4) * ufs::kInodeSize};
}

const uint8_t* InodeAccess::InodeBytes(uint32_t n, std::array<uint8_t, 512>& one) {
    const auto loc = LocateInode(n);
    if (!loc) {
        return nullptr;
    }
    const uint64_t table = InodeTableSector(n / g_.inodesPerGroup);
    const uint64_t tableSectors = g_.inodesPerGroup / 4;
    const uint64_t rel = loc->sector - table;
    const uint64_t chunkRel = rel / kChunkSectors * kChunkSectors;
    const uint64_t first = table + chunkRel;
    // Tables of different groups lie a group apart: hash, so that they do not collide.
    const size_t c = static_cast<size_t>(((first / kChunkSectors) * 0x9E3779B97F4A7C15ULL) >> 54) % kChunks;
    if (chunks_.empty()) {
        chunks_.resize(kChunks * kChunkSectors * 512);
    }
    uint8_t* chunk = chunks_.data() + c * kChunkSectors * 512;
    if (chunkFirst_[c] == first) {
        return chunk + (loc->sector - first) * 512 + loc->byteOffset;
    }
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kChunkSectors, tableSectors - chunkRel));
    uint32_t bad = 0;
    reader_.Read(first, count, chunk, &bad);
    if (bad == 0) {
        chunkFirst_[c] = first;
        return chunk + (loc->sector - first) * 512 + loc->byteOffset;
    }
    // Tell this sector apart from its unreadable neighbours; nothing stale is kept.
    chunkFirst_[c] = UINT64_MAX;
    one.fill(0);
    if (reader_.Read(loc->sector, 1, one.data(), &bad) != 1 || bad != 0) {
        return nullptr;
    }
    return one.data() + loc->byteOffset;
}

bool InodeAccess::ReadInode(uint32_t n, Inode& out) {
    std::array<uint8_t, 512> one;
    const uint8_t* raw = InodeBytes(n, one);
    if (raw == nullptr) {
        return false;
    }
    out = DecodeInode(std::span<const uint8_t, 128>(raw, 128));
    return true;
}

InodeInfo InodeAccess::ReadInodeInfo(uint32_t n) {
    InodeInfo info;
    std::array<uint8_t, 512> one;
    const uint8_t* raw = InodeBytes(n, one);
    if (raw == nullptr) {
        return info;
    }
    const std::span<const uint8_t> in(raw, 128);
    info.located = true;
    info.mode = ReadBe16(in, ufs::ino::kMode);
    info.size = ReadBe64(in, ufs::ino::kSize);
    info.modifiedTime = static_cast<int32_t>(ReadBe32(in, ufs::ino::kMtime));
    info.isDirectory = (info.mode & 0xF000) == 0x4000;
    return info;
}

bool InodeAccess::FragmentsInVolume(uint64_t frag, uint64_t count) const {
    const uint64_t limit =
        g_.sizeFrags != 0 ? g_.sizeFrags : uint64_t{g_.fragsPerGroup} * g_.groupCount;
    return frag < limit && count <= limit - frag;
}

BlockMap::BlockMap(InodeAccess& access, const Inode& inode)
    : access_(access), inode_(inode), nindir_(access.Geometry().blockSize / 4) {}

uint64_t BlockMap::Capacity() const {
    return 12 + nindir_ + nindir_ * nindir_ + nindir_ * nindir_ * nindir_;
}

uint32_t BlockMap::Entry(int depth, uint32_t frag, uint64_t index, bool* damaged) {
    if (frag == 0) {
        return 0;
    }
    const VolumeGeometry& g = access_.Geometry();
    if (!access_.FragmentsInVolume(frag, g.fragsPerBlock)) {
        *damaged = true;
        return 0;
    }
    Level& lv = cache_[depth];
    if (!lv.loaded || lv.frag != frag) {
        if (looped_ || !seen_.insert(frag).second) {
            looped_ = true;
            *damaged = true;
            return 0;
        }
        lv.frag = frag;
        lv.loaded = true;
        lv.data.assign(g.blockSize, 0);
        uint32_t bad = 0;
        access_.Reader().Read(access_.FragmentSector(frag), g.sectorsPerBlock, lv.data.data(),
                              &bad);
        lv.ok = bad == 0;
        if (!lv.ok) {
            // Keep what is readable: re-read sector by sector, zeroing the bad ones.
            for (uint32_t s = 0; s < g.sectorsPerBlock; ++s) {
                uint32_t b = 0;
                std::span<uint8_t> sec(lv.data.data() + s * 512, 512);
                std::fill(sec.begin(), sec.end(), 0);
                access_.Reader().Read(access_.FragmentSector(frag) + s, 1, sec.data(), &b);
                if (b != 0) {
                    std::fill(sec.begin(), sec.end(), 0xFF); // marks the sector unreadable
                }
            }
        }
    }
    const uint32_t v = ReadBe32(lv.data, index * 4);
    if (!lv.ok && v == 0xFFFFFFFF) {
        *damaged = true;
        return 0;
    }
    return v;
}

uint64_t BlockMap::SkipHole(uint64_t lbn, bool* damaged) {
    const uint64_t n = nindir_;
    bool ignored = false;
    bool* d = damaged != nullptr ? damaged : &ignored;
    if (looped_) {
        *d = true;
        return UINT64_MAX; // nothing after a loop can be trusted
    }
    // A pointer that is 0 leaves its whole range a hole; one that cannot be used (outside
    // the volume, unreadable, a loop) loses its whole range.
    auto usable = [&](uint32_t frag) { return frag != 0 && access_.FragmentsInVolume(frag, 1); };
    if (lbn < 12) {
        return lbn;
    }
    uint64_t rel = lbn - 12;
    uint64_t base = 12;
    if (rel < n) {
        if (!usable(inode_.indirect[0])) {
            *d = *d || inode_.indirect[0] != 0;
            return base + n;
        }
        return lbn;
    }
    rel -= n;
    base += n;
    if (rel < n * n) {
        if (!usable(inode_.indirect[1])) {
            *d = *d || inode_.indirect[1] != 0;
            return base + n * n;
        }
        bool bad = false;
        const uint32_t mid = Entry(0, inode_.indirect[1], rel / n, &bad);
        if (looped_) {
            *d = true;
            return UINT64_MAX;
        }
        if (!usable(mid)) {
            *d = *d || bad || mid != 0;
            return base + (rel / n + 1) * n;
        }
        return lbn;
    }
    rel -= n * n;
    base += n * n;
    if (rel < n * n * n) {
        if (!usable(inode_.indirect[2])) {
            *d = *d || inode_.indirect[2] != 0;
            return base + n * n * n;
        }
        bool bad = false;
        const uint32_t top = Entry(0, inode_.indirect[2], rel / (n * n), &bad);
        if (looped_) {
            *d = true;
            return UINT64_MAX;
        }
        if (!usable(top)) {
            *d = *d || bad || top != 0;
            return base + (rel / (n * n) + 1) * n * n;
        }
        const uint32_t mid = Entry(1, top, (rel / n) % n, &bad);
        if (looped_) {
            *d = true;
            return UINT64_MAX;
        }
        if (!usable(mid)) {
            *d = *d || bad || mid != 0;
            return base + (rel / n + 1) * n;
        }
        return lbn;
    }
    return lbn;
}

uint32_t BlockMap::Lookup(uint64_t lbn, bool* damaged) {
    bool local = false;
    bool* d = damaged != nullptr ? damaged : &local;
    if (looped_ && lbn >= 12) {
        *d = true;
        return 0;
    }
    const uint64_t n = nindir_;
    if (lbn < 12) {
        return inode_.direct[lbn];
    }
    lbn -= 12;
    if (lbn < n) {
        return Entry(0, inode_.indirect[0], lbn, d);
    }
    lbn -= n;
    if (lbn < n * n) {
        const uint32_t mid = Entry(0, inode_.indirect[1], lbn / n, d);
        return Entry(1, mid, lbn % n, d);
    }
    lbn -= n * n;
    if (lbn < n * n * n) {
        const uint32_t top = Entry(0, inode_.indirect[2], lbn / (n * n), d);
        const uint32_t mid = Entry(1, top, (lbn / n) % n, d);
        return Entry(2, mid, lbn % n, d);
    }
    return 0;
}

} // namespace trevik

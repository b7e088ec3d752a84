#include "ufs/inode.h"

#include "format/big_endian.h"

#include <algorithm>
#include <cstring>

namespace trevik {

Inode DecodeInode(std::span<const uint8_t, ufs::kInodeSize> raw) {
    using namespace ufs::inode_field;
    Inode in;
    std::memcpy(in.raw.data(), raw.data(), ufs::kInodeSize);
    in.mode = ReadBe16(raw, kMode);
    in.nlink = ReadBe16(raw, kNlink);
    in.size = ReadBe64(raw, kSize);
    in.modifiedTime = static_cast<int32_t>(ReadBe32(raw, kMtime));
    in.ctimeUsec = ReadBe32(raw, kCtimeUsec);
    for (uint32_t i = 0; i < ufs::kDirectBlocks; ++i)
        in.direct[i] = ReadBe32(raw, kDirect + 4 * i);
    for (uint32_t i = 0; i < ufs::kIndirectLevels; ++i)
        in.indirect[i] = ReadBe32(raw, kIndirect + 4 * i);
    in.blocks = ReadBe32(raw, kBlocks);
    return in;
}

uint64_t InodeAccess::InodeTableSector(uint32_t group) const {
    if (group == 0 || group >= groups_.size()) {
        return trevik::InodeTableSector(g_, 0);
    }
    return InodeTableFromCopy(g_, groups_[group]);
}

bool InodeAccess::InodeSector(uint32_t n, uint64_t& sector) const {
    if (n < ufs::kRootInode || g_.inodesPerGroup == 0) {
        return false;
    }
    const InodeSlot slot = InodeLocation(g_, n);
    if (slot.group >= groups_.size()) {
        return false;
    }
    sector = InodeTableSector(slot.group) + slot.sectorInTable;
    return true;
}

InodeRead InodeAccess::ReadInode(uint32_t n) {
    InodeRead out;
    if (!InodeSector(n, out.sector)) {
        return out;
    }
    const InodeSlot slot = InodeLocation(g_, n);
    const uint64_t table = InodeTableSector(slot.group);
    const uint64_t chunkRel = slot.sectorInTable / kChunkSectors * kChunkSectors;
    const uint64_t first = table + chunkRel;
    // Tables of different groups lie a group apart: hash, so that they do not collide.
    const size_t c =
        static_cast<size_t>(((first / kChunkSectors) * 0x9E3779B97F4A7C15ULL) >> 54) % kChunks;
    if (chunks_.empty()) {
        chunks_.resize(kChunks * kChunkSectors * kSectorSize);
    }
    uint8_t* chunk = chunks_.data() + c * kChunkSectors * kSectorSize;
    ChunkTag& tag = tags_[c];
    if (tag.first != first) {
        const auto count = static_cast<uint32_t>(
            std::min<uint64_t>(kChunkSectors, InodeTableSectors(g_) - chunkRel));
        const ReadOutcome r = reader_.Read(first, count, chunk);
        tag.first = first;
        tag.bad.reset();
        if (!r.Whole()) {
            for (uint32_t s = 0; s < count; ++s) {
                tag.bad[s] = reader_.KnownBad(first + s);
            }
        }
    }
    const uint64_t inChunk = out.sector - first;
    if (tag.bad[inChunk]) {
        out.status = InodeStatus::Unreadable;
        return out;
    }
    const uint8_t* raw = chunk + inChunk * kSectorSize + slot.byteInSector;
    out.inode = DecodeInode(std::span<const uint8_t, ufs::kInodeSize>(raw, ufs::kInodeSize));
    out.status = InodeStatus::Ok;
    return out;
}

BlockMap::BlockMap(InodeAccess& access, const Inode& inode)
    : access_(access), inode_(inode), nindir_(PointersPerBlock(access.Geometry())) {}

uint64_t BlockMap::Capacity() const {
    return BlockMapCapacity(access_.Geometry());
}

uint64_t BlockMap::Span(int levels, int depth) const {
    uint64_t span = 1;
    for (int i = depth; i < levels; ++i)
        span *= nindir_;
    return span;
}

BlockMap::Path BlockMap::PathOf(uint64_t lbn) const {
    if (lbn < ufs::kDirectBlocks) {
        return {0, lbn, 0};
    }
    uint64_t rel = lbn - ufs::kDirectBlocks;
    uint64_t base = ufs::kDirectBlocks;
    for (int levels = 1; levels <= static_cast<int>(ufs::kIndirectLevels); ++levels) {
        const uint64_t span = Span(levels, 0);
        if (rel < span) {
            return {levels, rel, base};
        }
        rel -= span;
        base += span;
    }
    return {-1, 0, base}; // past what the map can address
}

bool BlockMap::Usable(uint32_t frag) const {
    return frag != 0 && FragmentsInVolume(access_.Geometry(), frag, 1);
}

uint32_t BlockMap::Entry(int depth, uint32_t frag, uint64_t index, bool* damaged) {
    if (frag == 0) {
        return 0;
    }
    const VolumeGeometry& g = access_.Geometry();
    if (!FragmentsInVolume(g, frag, g.fragsPerBlock)) {
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
        lv.data.resize(g.blockSize);
        lv.badSector.assign(g.sectorsPerBlock, false);
        const uint64_t sector = FragmentSector(g, frag);
        const ReadOutcome r = access_.Reader().Read(sector, lv.data);
        if (!r.Whole()) {
            for (uint32_t s = 0; s < g.sectorsPerBlock; ++s) {
                lv.badSector[s] = access_.Reader().KnownBad(sector + s);
                if (lv.badSector[s] && !unreadableIndirect_) {
                    unreadableIndirect_ = true;
                    unreadableSector_ = sector + s;
                }
            }
        }
    }
    if (lv.badSector[index * 4 / kSectorSize]) {
        *damaged = true;
        return 0;
    }
    return ReadBe32(lv.data, index * 4);
}

uint64_t BlockMap::SkipHole(uint64_t lbn, bool* damaged) {
    bool ignored = false;
    bool* d = damaged != nullptr ? damaged : &ignored;
    if (looped_) {
        *d = true;
        return UINT64_MAX; // nothing after a loop can be trusted
    }
    const Path p = PathOf(lbn);
    if (p.levels <= 0) {
        return lbn;
    }
    // A pointer that is 0 leaves its whole range a hole; one that cannot be used (outside
    // the volume, unreadable, a loop) loses its whole range.
    uint32_t ptr = inode_.indirect[p.levels - 1];
    for (int depth = 0; depth < p.levels; ++depth) {
        const uint64_t span = Span(p.levels, depth);
        bool bad = false;
        if (depth > 0) {
            ptr = Entry(depth - 1, ptr, (p.rel / span) % nindir_, &bad);
            if (looped_) {
                *d = true;
                return UINT64_MAX;
            }
        }
        if (!Usable(ptr)) {
            *d = *d || bad || ptr != 0;
            return p.base + (p.rel / span + 1) * span;
        }
    }
    return lbn;
}

uint32_t BlockMap::Lookup(uint64_t lbn, bool* damaged) {
    bool local = false;
    bool* d = damaged != nullptr ? damaged : &local;
    const Path p = PathOf(lbn);
    if (p.levels == 0) {
        return inode_.direct[lbn];
    }
    if (looped_) {
        *d = true;
        return 0;
    }
    if (p.levels < 0) {
        return 0;
    }
    uint32_t ptr = inode_.indirect[p.levels - 1];
    for (int depth = 0; depth < p.levels; ++depth) {
        ptr = Entry(depth, ptr, (p.rel / Span(p.levels, depth + 1)) % nindir_, d);
    }
    return ptr;
}

} // namespace trevik

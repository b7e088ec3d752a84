#include "ufs/inode.h"

#include "format/big_endian.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/mman.h>

namespace trevik {

Inode DecodeInode(std::span<const uint8_t, ufs::kInodeSize> raw) {
    using namespace ufs::inode_field;
    Inode in;
    in.mode = ReadBe16(raw, kMode);
    in.nlink = ReadBe16(raw, kNlink);
    in.size = ReadBe64(raw, kSize);
    in.modifiedTime = static_cast<int32_t>(ReadBe32(raw, kMtime));
    for (uint32_t i = 0; i < ufs::kDirectBlocks; ++i)
        in.direct[i] = ReadBe32(raw, kDirect + 4 * i);
    for (uint32_t i = 0; i < ufs::kIndirectLevels; ++i)
        in.indirect[i] = ReadBe32(raw, kIndirect + 4 * i);
    in.blocks = ReadBe32(raw, kBlocks);
    in.uid = ReadBe32(raw, kUid);
    in.gid = ReadBe32(raw, kGid);
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
    if (slot.group < groups_.size()) {
        sector = InodeTableSector(slot.group) + slot.sectorInTable;
        return true;
    }
    if (slot.group < g_.claimedGroups) {
        sector = trevik::InodeTableSector(g_, slot.group) + slot.sectorInTable;
        return true;
    }
    return false;
}

InodeRead InodeAccess::ReadInode(uint32_t n) {
    InodeRead out;
    if (!InodeSector(n, out.sector)) {
        return out;
    }
    const InodeSlot slot = InodeLocation(g_, n);
    if (slot.group >= groups_.size()) {
        out.status = InodeStatus::Unreadable; // its group lies past the end of the device
        return out;
    }
    const uint64_t table = out.sector - slot.sectorInTable;
    const uint64_t chunkRel = slot.sectorInTable / kChunkSectors * kChunkSectors;
    const uint64_t first = table + chunkRel;
    const size_t set = SetOf(first);
    size_t c = Find(set, first);
    if (c == SIZE_MAX) {
        c = Victim(set);
        const auto count = static_cast<uint32_t>(
            std::min<uint64_t>(kChunkSectors, InodeTableSectors(g_) - chunkRel));
        Tag(tags_[c], first, count, reader_.Read(first, count, ChunkData(c)).Whole());
    }
    Touch(c);
    const uint8_t* chunk = ChunkData(c);
    const ChunkTag& tag = tags_[c];
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

void InodeAccess::Tag(ChunkTag& tag, uint64_t first, uint32_t count, bool whole) const {
    tag.first = first;
    tag.bad.reset();
    for (uint32_t s = 0; s < count && !whole; ++s) {
        tag.bad[s] = reader_.KnownBad(first + s);
    }
}

void InodeAccess::SizeCacheFor(uint64_t inodes) {
    if (chunks_)
        return;
    const uint64_t chunks = inodes / (kChunkSectors * ufs::kInodesPerSector);
    uint32_t bits = kSlotBits;
    while (bits < kMostSlotBits && (uint64_t{1} << bits) * 4 < chunks)
        ++bits;
    slotBits_ = bits;
    tags_.assign(size_t{1} << bits, ChunkTag{});
}

size_t InodeAccess::Find(size_t set, uint64_t first) const {
    for (size_t w = set; w < set + kWays; ++w) {
        if (tags_[w].first == first)
            return w;
    }
    return SIZE_MAX;
}

size_t InodeAccess::Victim(size_t set) const {
    size_t oldest = set;
    for (size_t w = set + 1; w < set + kWays; ++w) {
        if (tags_[w].used < tags_[oldest].used)
            oldest = w;
    }
    return oldest;
}

uint8_t* InodeAccess::ChunkData(size_t slot) {
    if (!chunks_) {
        const size_t bytes = tags_.size() * kChunkSectors * kSectorSize;
        // A grown cache fills whole: in huge pages, it costs a few faults, not thousands.
        constexpr size_t kHugePage = size_t{2} << 20;
        const bool grown = slotBits_ > kSlotBits;
        void* p = grown ? std::aligned_alloc(kHugePage, bytes) : std::malloc(bytes);
        if (p == nullptr)
            throw std::bad_alloc();
        if (grown)
            ::madvise(p, bytes, MADV_HUGEPAGE); // a hint: without it, ordinary pages
        chunks_.reset(static_cast<uint8_t*>(p));
    }
    return chunks_.get() + slot * kChunkSectors * kSectorSize;
}

ReadOutcome InodeAccess::ReadTable(uint64_t first, uint32_t count, uint8_t* out) {
    ReadOutcome total;
    uint32_t at = 0;
    while (at < count) {
        // A chunk the cache holds, or the run of chunks it does not, read at once.
        const size_t c = Find(first + at);
        const uint32_t n = std::min(kChunkSectors, count - at);
        if (c != SIZE_MAX) {
            Touch(c);
            std::memcpy(out + size_t{at} * kSectorSize, ChunkData(c), size_t{n} * kSectorSize);
            total.unreadable += static_cast<uint32_t>(tags_[c].bad.count());
            at += n;
            continue;
        }
        uint32_t end = at + n;
        while (end < count && Find(first + end) == SIZE_MAX)
            end += std::min(kChunkSectors, count - end);
        const ReadOutcome r = reader_.Read(first + at, end - at, out + size_t{at} * kSectorSize);
        total.unreadable += r.unreadable;
        total.pastEnd += r.pastEnd;
        Keep(first + at, end - at, out + size_t{at} * kSectorSize, r.Whole());
        at = end;
    }
    return total;
}

void InodeAccess::Keep(uint64_t first, uint32_t count, const uint8_t* data, bool whole) {
    for (uint32_t at = 0; at < count; at += kChunkSectors) {
        const uint32_t n = std::min(kChunkSectors, count - at);
        const size_t c = Victim(SetOf(first + at));
        std::memcpy(ChunkData(c), data + size_t{at} * kSectorSize, size_t{n} * kSectorSize);
        Tag(tags_[c], first + at, n, whole);
        Touch(c);
    }
}

BlockMap::BlockMap(InodeAccess& access, const Inode& inode) : access_(access), inode_(inode) {}

uint64_t BlockMap::Capacity() const {
    return BlockMapCapacity(access_.Geometry());
}

bool BlockMap::Usable(uint32_t frag) const {
    return frag != 0 && FragmentsInVolume(access_.Geometry(), frag, 1);
}

BlockMap::Mapped BlockMap::Entry(int depth, uint32_t frag, uint64_t index) {
    if (frag == 0) {
        return {};
    }
    const VolumeGeometry& g = access_.Geometry();
    if (!FragmentsInVolume(g, frag, g.fragsPerBlock)) {
        return {0, true};
    }
    Level& lv = cache_[depth];
    if (!lv.loaded || lv.frag != frag) {
        if (looped_ || !FirstTime(frag)) {
            looped_ = true;
            return {0, true};
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
    if (lv.badSector[IndirectSectorOf(index)]) {
        return {0, true};
    }
    return {ReadBe32(lv.data, index * 4), false};
}

BlockMap::Next BlockMap::SkipHole(uint64_t lbn) {
    if (looped_) {
        return {UINT64_MAX, true}; // nothing after a loop can be trusted
    }
    const VolumeGeometry& g = access_.Geometry();
    const IndirectPath p = IndirectPathOf(g, lbn);
    if (p.levels <= 0) {
        return {lbn, false};
    }
    // A pointer that is 0 leaves its whole range a hole; one that cannot be used (outside
    // the volume, unreadable, a loop) loses its whole range.
    Mapped ptr{inode_.indirect[p.levels - 1], false};
    for (int depth = 0; depth < p.levels; ++depth) {
        const uint64_t span = IndirectSpan(g, p.levels, depth);
        if (depth > 0) {
            ptr = Entry(depth - 1, ptr.frag, IndirectIndex(g, p, depth - 1));
            NoteLoop(lbn);
            if (looped_) {
                return {UINT64_MAX, true};
            }
        }
        if (!Usable(ptr.frag)) {
            return {p.base + (p.rel / span + 1) * span, ptr.lost || ptr.frag != 0};
        }
    }
    return {lbn, false};
}

bool BlockMap::FirstTime(uint32_t frag) {
    constexpr size_t kFew = 32;
    if (seen_.empty()) {
        if (std::find(seenFew_.begin(), seenFew_.end(), frag) != seenFew_.end()) {
            return false;
        }
        if (seenFew_.size() < kFew) {
            seenFew_.push_back(frag);
            return true;
        }
        seen_.insert(seenFew_.begin(), seenFew_.end());
    }
    return seen_.insert(frag).second;
}

BlockMap::Mapped BlockMap::Lookup(uint64_t lbn) {
    if (lbn == lastLbn_) {
        return last_;
    }
    Mapped m;
    const VolumeGeometry& g = access_.Geometry();
    const IndirectPath p = IndirectPathOf(g, lbn);
    if (looped_) {
        m = {0, true};
    } else if (p.levels == 0) {
        m = {inode_.direct[lbn], false};
    } else if (p.levels > 0) {
        m = {inode_.indirect[p.levels - 1], false};
        for (int depth = 0; depth < p.levels && !m.lost; ++depth) {
            m = Entry(depth, m.frag, IndirectIndex(g, p, depth));
        }
    }
    // A data block named before: the map repeats itself, and this block is not this file's.
    if (!m.lost && m.frag != 0 && !FirstTime(m.frag)) {
        looped_ = true;
        m = {0, true};
    }
    NoteLoop(lbn);
    lastLbn_ = lbn;
    last_ = m;
    return m;
}

} // namespace trevik

// The Normal mode's one phase: the hierarchy walked from the root, folder by folder in the
// order found, in batches: each batch's directory blocks are read ahead in address order,
// and the inodes its entries name are read in inode order.

#include "ufs/directory_phases.h"

#include <algorithm>

namespace trevik {
namespace {

// What the walk of a folder found and not yet walked needs of its inode, as its entry's
// read gave it, by folder index from `base` on: where its record begins in the pool
// (mode, size, blocks, then the block pointers a folder of that size uses), or kUnknown.
// Most folders need one pointer: a level of a hundred thousand folders waits in a few
// megabytes.
class FolderInodes {
public:
    void Keep(const VolumeGeometry& g, size_t folder, const Inode& in);
    // Folder i's inode as its entry gave it; false when the walk must read it.
    bool Known(size_t folder, Inode& out) const;
    // Folders before `end` are walked: their records go (in halves: linear overall).
    void DropBefore(size_t end);

private:
    static constexpr uint32_t kUnknown = UINT32_MAX;
    std::vector<uint32_t> at_;
    std::vector<uint32_t> pool_;
    size_t base_ = 0;
};

void FolderInodes::Keep(const VolumeGeometry& g, size_t folder, const Inode& in) {
    const size_t at = folder - base_;
    if (at_.size() <= at)
        at_.resize(at + 1, kUnknown);
    at_[at] = static_cast<uint32_t>(pool_.size());
    const uint64_t blocks = BlocksFor(g, WalkedSize(g, in));
    const auto direct = static_cast<uint32_t>(std::min<uint64_t>(blocks, ufs::kDirectBlocks));
    const uint32_t indirect = blocks > ufs::kDirectBlocks ? ufs::kIndirectLevels : 0;
    pool_.insert(pool_.end(), {in.mode, static_cast<uint32_t>(in.size),
                               static_cast<uint32_t>(in.size >> 32), in.blocks, direct, indirect});
    pool_.insert(pool_.end(), in.direct, in.direct + direct);
    pool_.insert(pool_.end(), in.indirect, in.indirect + indirect);
}

bool FolderInodes::Known(size_t folder, Inode& out) const {
    if (folder < base_ || folder - base_ >= at_.size() || at_[folder - base_] == kUnknown)
        return false;
    const uint32_t* r = pool_.data() + at_[folder - base_];
    out = Inode{};
    out.mode = static_cast<uint16_t>(r[0]);
    out.size = r[1] | uint64_t{r[2]} << 32;
    out.blocks = r[3];
    std::copy(r + 6, r + 6 + r[4], out.direct);
    std::copy(r + 6 + r[4], r + 6 + r[4] + r[5], out.indirect);
    return true;
}

void FolderInodes::DropBefore(size_t end) {
    const size_t walked = std::min(end - base_, at_.size());
    if (walked <= at_.size() / 2)
        return;
    size_t keepFrom = pool_.size();
    for (size_t k = walked; k < at_.size(); ++k) {
        if (at_[k] != kUnknown) {
            keepFrom = at_[k];
            break;
        }
    }
    at_.erase(at_.begin(), at_.begin() + static_cast<ptrdiff_t>(walked));
    for (uint32_t& at : at_) {
        if (at != kUnknown)
            at -= static_cast<uint32_t>(keepFrom);
    }
    pool_.erase(pool_.begin(), pool_.begin() + static_cast<ptrdiff_t>(keepFrom));
    base_ += walked;
}

class NormalWalk final : public DirectoryPhase, public FolderEntries {
public:
    void Run(WalkContext& walk) override;
    // A folder an entry names joins the tree, its inode kept for its walk, which comes next.
    void Folder(WalkContext& walk, std::string_view name, uint32_t inode, uint32_t parentInode,
                const Inode& in) override {
        if (walk.tree.AddFolderNode(name, inode, parentInode, in.modifiedTime, walk.found)) {
            inodes_.Keep(walk.access.Geometry(), walk.tree.FolderCount() - 1, in);
            walk.FolderAdded(name);
        }
    }

private:
    // Asks `ahead` for the direct blocks of folders [from, end), as many folders as about
    // 1 MiB of blocks holds; returns the end of those folders.
    size_t Plan(WalkContext& walk, DirectoryReadAhead& ahead, size_t from, size_t end);

    FolderInodes inodes_;
};

void NormalWalk::Run(WalkContext& walk) {
    walk.folders = this;
    RecoveredTree& tree = walk.tree;
    SectorReader& reader = walk.access.Reader();
    walk.ReserveForCountedEntries();
    walk.batch.Open();
    walk.WalkDirectoryInode(kRootInode);
    walk.Flush();
    uint64_t value = 0;
    uint32_t shown = 0;
    size_t i = 0;
    // The next batch's blocks are read while this one is parsed, when its folders are
    // already known: their blocks are the same, and read once either way.
    BackgroundReadAhead next;
    size_t nextFrom = SIZE_MAX;
    size_t nextEnd = 0;
    while (i < tree.Folders().size() && !walk.Stopped()) {
        size_t end;
        if (nextFrom == i) {
            next.Wait();
            std::swap(walk.readAhead, next.ReadAhead());
            end = nextEnd;
        } else {
            end = Plan(walk, walk.readAhead, i, tree.Folders().size());
            walk.readAhead.Read(reader);
        }
        nextFrom = SIZE_MAX;
        if (end < tree.Folders().size()) {
            nextEnd = Plan(walk, next.ReadAhead(), end, tree.Folders().size());
            nextFrom = end;
            next.Start(reader);
        }
        for (; i < end && !walk.Stopped(); ++i) {
            Inode in;
            const bool known = inodes_.Known(i, in);
            walk.WalkDirectoryInode(tree.Folders()[i].inode, known ? &in : nullptr);
            value += 100;
            const uint32_t pos =
                static_cast<uint32_t>(std::min<uint64_t>(99, value / (tree.FolderCount() + 1000)));
            shown = std::max(shown, pos);
            walk.Progress(shown);
        }
        inodes_.DropBefore(i);
        walk.Flush();
    }
    next.Wait();
    walk.batch.Close();
    walk.readAhead = {};
    inodes_ = {};
}

size_t NormalWalk::Plan(WalkContext& walk, DirectoryReadAhead& ahead, size_t from, size_t end) {
    constexpr size_t kBudget = size_t{1} << 20;
    const VolumeGeometry& g = walk.access.Geometry();
    ahead.Clear();
    size_t k = from;
    for (; k < end && (ahead.WantedBytes() < kBudget || k == from); ++k) {
        Inode in;
        if (!inodes_.Known(k, in))
            continue; // read when walked
        if (in.size == 0 || InodeIsDamaged(g, in.mode, in.size, in.blocks))
            continue;
        const uint64_t size = WalkedSize(g, in);
        const uint64_t blocks = std::min<uint64_t>(BlocksFor(g, size), ufs::kDirectBlocks);
        for (uint64_t lbn = 0; lbn < blocks; ++lbn) {
            const uint32_t length = std::min(BlockLength(g, size, lbn), g.blockSize);
            const uint32_t frag = in.direct[lbn];
            if (frag == 0 || !FragmentsInVolume(g, frag, FragmentsFor(g, length)))
                continue;
            ahead.Want(FragmentSector(g, frag), SectorsFor(length));
        }
    }
    return k;
}

} // namespace

std::unique_ptr<DirectoryPhase> MakeNormalWalk() {
    return std::make_unique<NormalWalk>();
}

} // namespace trevik

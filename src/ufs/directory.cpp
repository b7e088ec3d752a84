#include "ufs/directory.h"

#include "format/big_endian.h"
#include "format/directory_entry.h"
#include "format/group_block.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"

#include <algorithm>
#include <cstring>

namespace trevik {

void DirectoryWalker::Progress(uint32_t percent) {
    if (observer_ != nullptr && percent != lastProgress_) {
        lastProgress_ = percent;
        observer_->OnProgress(percent);
    }
}

void DirectoryWalker::Phase(MountPhase phase) {
    if (observer_ != nullptr) {
        observer_->OnPhase(phase);
    }
}

void DirectoryWalker::FolderAdded(std::string_view name) {
    if (observer_ != nullptr) {
        observer_->OnFolderAdded(tree_.FolderCount(), name);
    }
}

void DirectoryWalker::FileAdded(std::string_view name) {
    if (observer_ != nullptr && tree_.FileCount() % 5 == 0) {
        observer_->OnFileAdded(tree_.FileCount(), name);
    }
}

void DirectoryWalker::Warn(WarningKind kind, uint32_t folderInode, uint64_t sector) {
    Warning w;
    w.kind = kind;
    w.folderInode = folderInode;
    w.sector = sector;
    if (deferring_) {
        events_.push_back(kWarningEvent | static_cast<uint32_t>(pendingWarnings_.size()));
        pendingWarnings_.push_back(std::move(w));
        return;
    }
    warnings_.push_back(std::move(w));
}

void DirectoryWalker::NoteUnreadableTableSector(uint64_t sector, uint64_t firstInode) {
    if (lostInodeWarnings_.count(sector) != 0) {
        return;
    }
    Warning w;
    w.kind = WarningKind::UnreadableInodes;
    w.sector = sector;
    w.firstInode = static_cast<uint32_t>(firstInode);
    w.lastInode = static_cast<uint32_t>(firstInode + ufs::kInodesPerSector - 1);
    lostInodeWarnings_.emplace(sector, warnings_.size());
    warnings_.push_back(std::move(w));
}

void DirectoryWalker::NoteLostInode(uint64_t sector, uint32_t inode, uint32_t directoryInode,
                                    std::string_view name) {
    // Inode tables hold whole sectors of inodes, and every group begins with a whole one.
    NoteUnreadableTableSector(sector, inode - inode % ufs::kInodesPerSector);
    const size_t w = lostInodeWarnings_[sector];
    if (++warnings_[w].count <= kWarningNamesKept) {
        lostNames_.push_back({w, directoryInode, std::string(name)});
    }
}

void DirectoryWalker::Entry(std::string_view name, uint32_t inode, uint32_t directoryInode) {
    if (!deferring_) {
        AddEntry(name, inode, directoryInode, access_.ReadInode(inode));
        return;
    }
    events_.push_back(static_cast<uint32_t>(pending_.size()));
    pending_.push_back({static_cast<uint32_t>(pendingNames_.size()),
                        static_cast<uint32_t>(name.size()), inode, directoryInode});
    pendingNames_ += name;
}

void DirectoryWalker::Flush() {
    // (inode, entry) pairs, sorted: the inodes in table order, each read once.
    std::vector<uint64_t>& order = order_;
    order.resize(pending_.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = uint64_t{pending_[i].inode} << 32 | i;
    std::sort(order.begin(), order.end());
    std::vector<InodeRead>& reads = reads_;
    reads.resize(pending_.size());
    for (size_t k = 0; k < order.size(); ++k) {
        const auto entry = static_cast<uint32_t>(order[k]);
        const auto inode = static_cast<uint32_t>(order[k] >> 32);
        const auto previous = static_cast<uint32_t>(k > 0 ? order[k - 1] : 0);
        reads[entry] =
            k > 0 && order[k - 1] >> 32 == inode ? reads[previous] : access_.ReadInode(inode);
    }
    const bool was = deferring_;
    deferring_ = false;
    for (const uint32_t e : events_) {
        if ((e & kWarningEvent) != 0) {
            warnings_.push_back(std::move(pendingWarnings_[e & ~kWarningEvent]));
            continue;
        }
        const Pending& p = pending_[e];
        AddEntry(std::string_view(pendingNames_).substr(p.nameAt, p.nameLength), p.inode,
                 p.directoryInode, reads[e]);
    }
    deferring_ = was;
    pending_.clear();
    pendingNames_.clear();
    pendingWarnings_.clear();
    events_.clear();
}

void DirectoryWalker::AddEntry(std::string_view name, uint32_t inode, uint32_t directoryInode,
                               const InodeRead& r) {
    if (r.status == InodeStatus::Unreadable) {
        NoteLostInode(r.sector, inode, directoryInode, name);
        unreadableEntries_.push_back({directoryInode, inode, r.sector, std::string(name)});
        if (mode_ == RecoveryMode::Extensive) {
            unreadableNamed_.push_back({inode, directoryInode, std::string(name)});
        }
        return;
    }
    // An entry must name a live inode: one with a time, or one whose type bits are set.
    if (!r.Ok() || !r.inode.Live()) {
        return;
    }
    const Inode& in = r.inode;
    if (ufs::IsMetadataMode(in.mode)) {
        return; // ACLs and attribute folders belong to the file system, not to the user
    }
    if (InodeIsDamaged(access_.Geometry(), in.mode, in.size, in.blocks)) {
        // The name is data: listed, with nothing of what the inode claims.
        if (tree_.AddFileNode(name, inode, directoryInode, in.modifiedTime, 0, in.mode, true,
                              found_)) {
            FileAdded(name);
        }
        if (mode_ == RecoveryMode::Extensive && in.IsDirectory()) {
            unreadableNamed_.push_back({inode, directoryInode, std::string(name)});
        }
        return;
    }
    if (in.IsDirectory()) {
        if (mode_ == RecoveryMode::Normal) {
            if (tree_.AddFolderNode(name, inode, directoryInode, in.modifiedTime, found_)) {
                KeepInode(tree_.FolderCount() - 1, in); // its walk needs it next
                FolderAdded(name);
            }
        } else if (tree_.AddDirName(name, inode, directoryInode)) {
            FolderAdded(name);
        }
    } else if (tree_.AddFileNode(name, inode, directoryInode, in.modifiedTime, in.size, in.mode)) {
        FileAdded(name);
    }
}

bool DirectoryWalker::ParseChunk(std::span<const uint8_t> chunk, uint32_t directoryInode) {
    const ChunkState state = ParseDirectoryChunk(chunk, [&](const DirEntry& e) {
        if (Stopped()) {
            return false;
        }
        if (e.name != "." && e.name != "..") {
            Entry(e.name, e.inode, directoryInode);
        }
        if (pending_.size() >= kMaxPending) {
            Flush();
        }
        return true;
    });
    return state == ChunkState::Sound;
}

void DirectoryWalker::ParseDirectoryBlock(uint64_t sector, uint32_t directoryInode, uint32_t length,
                                          bool firstBlock) {
    if (observer_ != nullptr) {
        observer_->OnCurrentSector(sector);
    }
    length = std::min(length, access_.Geometry().blockSize);
    block_.resize(size_t{SectorsFor(length)} * kSectorSize);
    ReadOutcome read;
    if (!FromPrefetch(sector, block_, read)) {
        read = access_.Reader().Read(sector, block_);
    }
    if (mode_ == RecoveryMode::Extensive) {
        parsedBlocks_.insert(sector);
    }
    const std::span<const uint8_t> b(block_.data(), length);
    auto chunkBad = [&](uint32_t chunk) {
        return !read.Whole() && access_.Reader().KnownBad(sector + chunk / kSectorSize);
    };
    // Only the first block begins with "."; one that does not is no block of this folder.
    // Its first chunk unreadable, the rest of it is still the folder's best evidence.
    if (firstBlock && !chunkBad(0) && !StartsWithDot(b, directoryInode)) {
        Warn(WarningKind::BrokenDirectory, directoryInode, sector);
        return;
    }
    bool unreadableWarned = false;
    for (uint32_t chunk = 0; chunk < length && !Stopped(); chunk += ufs::kDirChunk) {
        const uint64_t chunkSector = sector + chunk / kSectorSize;
        if (chunkBad(chunk)) {
            if (!unreadableWarned) {
                Warn(WarningKind::UnreadableDirectory, directoryInode, chunkSector);
                unreadableWarned = true;
            }
            continue;
        }
        const uint32_t end = std::min(chunk + ufs::kDirChunk, length);
        if (!ParseChunk(b.subspan(chunk, end - chunk), directoryInode) && !Stopped()) {
            Warn(WarningKind::BrokenDirectory, directoryInode, chunkSector);
        }
    }
}

namespace {

// The bytes of a folder the walk reads: no more than its volume holds, whatever its inode
// says.
uint64_t WalkedSize(const VolumeGeometry& g, const Inode& in) {
    return std::min(in.size, std::max<uint64_t>(VolumeBytes(g), g.blockSize));
}

} // namespace

void DirectoryWalker::KeepInode(size_t folder, const Inode& in) {
    const size_t at = folder - walkBase_;
    if (walkAt_.size() <= at)
        walkAt_.resize(at + 1, kUnknown);
    walkAt_[at] = static_cast<uint32_t>(walkPool_.size());
    const VolumeGeometry& g = access_.Geometry();
    const uint64_t blocks = BlocksFor(g, WalkedSize(g, in));
    const auto direct = static_cast<uint32_t>(std::min<uint64_t>(blocks, ufs::kDirectBlocks));
    const uint32_t indirect = blocks > ufs::kDirectBlocks ? ufs::kIndirectLevels : 0;
    walkPool_.insert(walkPool_.end(),
                     {in.mode, static_cast<uint32_t>(in.size), static_cast<uint32_t>(in.size >> 32),
                      in.blocks, direct, indirect});
    walkPool_.insert(walkPool_.end(), in.direct, in.direct + direct);
    walkPool_.insert(walkPool_.end(), in.indirect, in.indirect + indirect);
}

bool DirectoryWalker::KnownInode(size_t folder, Inode& out) const {
    if (folder < walkBase_ || folder - walkBase_ >= walkAt_.size() ||
        walkAt_[folder - walkBase_] == kUnknown)
        return false;
    const uint32_t* r = walkPool_.data() + walkAt_[folder - walkBase_];
    out = Inode{};
    out.mode = static_cast<uint16_t>(r[0]);
    out.size = r[1] | uint64_t{r[2]} << 32;
    out.blocks = r[3];
    std::copy(r + 6, r + 6 + r[4], out.direct);
    std::copy(r + 6 + r[4], r + 6 + r[4] + r[5], out.indirect);
    return true;
}

void DirectoryWalker::WalkDirectoryInode(uint32_t n, const Inode* known) {
    InodeRead r;
    if (known != nullptr) {
        r.status = InodeStatus::Ok;
        r.inode = *known;
        access_.InodeSector(n, r.sector);
    } else {
        r = access_.ReadInode(n);
    }
    if (r.status == InodeStatus::Unreadable && n == kRootInode) {
        NoteLostInode(r.sector, n, kRootInode, "");
        return;
    }
    if (!r.Ok() || !r.inode.IsDirectory()) {
        return;
    }
    const Inode& in = r.inode;
    const VolumeGeometry& g = access_.Geometry();
    if (in.size == 0 || in.size % ufs::kDirChunk != 0 ||
        InodeIsDamaged(g, in.mode, in.size, in.blocks)) {
        Warn(WarningKind::BrokenDirectory, n, r.sector);
        return;
    }
    BlockMap map(access_, in);
    bool mapDamaged = false;
    const uint64_t size = WalkedSize(g, in);
    const uint64_t blocks = std::min(BlocksFor(g, size), map.Capacity());
    for (uint64_t lbn = 0; lbn < blocks && !Stopped();) {
        const BlockMap::Next next = map.SkipHole(lbn);
        mapDamaged |= next.lost && !map.SawUnreadableIndirect();
        if (next.lbn != lbn) {
            lbn = next.lbn;
            continue;
        }
        const BlockMap::Mapped block = map.Lookup(lbn);
        mapDamaged |= block.lost && !map.SawUnreadableIndirect();
        const uint32_t length = BlockLength(g, size, lbn);
        if (block.frag != 0 && FragmentsInVolume(g, block.frag, FragmentsFor(g, length))) {
            ParseDirectoryBlock(FragmentSector(g, block.frag), n, length, lbn == 0);
        } else if (block.frag != 0) {
            mapDamaged = true; // a block outside the volume
        }
        ++lbn;
    }
    if (mapDamaged || map.Repeated()) {
        Warn(WarningKind::DamagedBlockMap, n, r.sector);
    }
    if (map.SawUnreadableIndirect()) {
        Warn(WarningKind::UnreadableIndirect, n, map.UnreadableIndirectSector());
    }
}

// Folder by folder in the order found, in batches: each batch's directory blocks are read
// ahead in address order, and the inodes its entries name are read in inode order.
void DirectoryWalker::NormalWalk() {
    deferring_ = true;
    WalkDirectoryInode(kRootInode);
    Flush();
    uint64_t value = 0;
    uint32_t shown = 0;
    size_t i = 0;
    while (i < tree_.Folders().size() && !Stopped()) {
        const size_t end = Prefetch(i, tree_.Folders().size());
        for (; i < end && !Stopped(); ++i) {
            Inode in;
            const bool known = KnownInode(i, in);
            WalkDirectoryInode(tree_.Folders()[i].inode, known ? &in : nullptr);
            value += 100;
            const uint32_t pos =
                static_cast<uint32_t>(std::min<uint64_t>(99, value / (tree_.FolderCount() + 1000)));
            shown = std::max(shown, pos);
            Progress(shown);
        }
        // Folders walked no longer need their inodes (dropped in halves: linear overall).
        const size_t walked = std::min(i - walkBase_, walkAt_.size());
        if (walked > walkAt_.size() / 2) {
            size_t keepFrom = walkPool_.size();
            for (size_t k = walked; k < walkAt_.size(); ++k) {
                if (walkAt_[k] != kUnknown) {
                    keepFrom = walkAt_[k];
                    break;
                }
            }
            walkAt_.erase(walkAt_.begin(), walkAt_.begin() + static_cast<ptrdiff_t>(walked));
            for (uint32_t& at : walkAt_) {
                if (at != kUnknown)
                    at -= static_cast<uint32_t>(keepFrom);
            }
            walkPool_.erase(walkPool_.begin(),
                            walkPool_.begin() + static_cast<ptrdiff_t>(keepFrom));
            walkBase_ += walked;
        }
        Flush();
    }
    deferring_ = false;
    runs_.clear();
    prefetchBytes_ = {};
    walkAt_ = {};
    walkPool_ = {};
}

size_t DirectoryWalker::Prefetch(size_t from, size_t end) {
    constexpr size_t kBudget = size_t{1} << 20;
    constexpr uint32_t kMaxRun = 256; // sectors per read
    const VolumeGeometry& g = access_.Geometry();
    struct Want {
        uint64_t sector;
        uint32_t count;
    };
    std::vector<Want> wants;
    size_t bytes = 0;
    size_t k = from;
    for (; k < end && (bytes < kBudget || k == from); ++k) {
        Inode in;
        if (!KnownInode(k, in))
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
            wants.push_back({FragmentSector(g, frag), SectorsFor(length)});
            bytes += size_t{SectorsFor(length)} * kSectorSize;
        }
    }
    std::sort(wants.begin(), wants.end(),
              [](const Want& a, const Want& b) { return a.sector < b.sector; });
    runs_.clear();
    size_t total = 0;
    for (const Want& w : wants) {
        if (!runs_.empty()) {
            PrefetchRun& last = runs_.back();
            const uint64_t lastEnd = last.first + last.count;
            if (w.sector + w.count <= lastEnd)
                continue; // already in the run
            if (w.sector <= lastEnd && w.sector + w.count - last.first <= kMaxRun) {
                const auto grow = static_cast<uint32_t>(w.sector + w.count - lastEnd);
                last.count += grow;
                total += size_t{grow} * kSectorSize;
                continue;
            }
        }
        runs_.push_back({w.sector, w.count, total, true});
        total += size_t{w.count} * kSectorSize;
    }
    prefetchBytes_.resize(total);
    for (PrefetchRun& r : runs_) {
        r.whole = access_.Reader().Read(r.first, r.count, prefetchBytes_.data() + r.at).Whole();
    }
    return k;
}

bool DirectoryWalker::FromPrefetch(uint64_t sector, std::span<uint8_t> out, ReadOutcome& outcome) {
    const auto count = static_cast<uint32_t>(out.size() / kSectorSize);
    auto it = std::upper_bound(runs_.begin(), runs_.end(), sector,
                               [](uint64_t s, const PrefetchRun& r) { return s < r.first; });
    if (it == runs_.begin())
        return false;
    --it;
    if (sector + count > it->first + it->count)
        return false;
    std::memcpy(out.data(), prefetchBytes_.data() + it->at + (sector - it->first) * kSectorSize,
                out.size());
    outcome = {};
    if (!it->whole) {
        for (uint32_t s = 0; s < count; ++s)
            outcome.unreadable += access_.Reader().KnownBad(sector + s) ? 1 : 0;
    }
    return true;
}

void DirectoryWalker::ScanInodeTables() {
    const VolumeGeometry& g = access_.Geometry();
    const uint64_t total = std::max<uint64_t>(g.totalInodes, 1);
    constexpr uint32_t kRun = 64;
    std::vector<uint8_t> run(kRun * kSectorSize);
    std::vector<uint8_t> first(kSectorSize);
    const uint32_t sectors = InodeTableSectors(g);
    // The entries of the folders found wait in batches and are added with their inodes
    // read in inode order; the tables are read through the inode cache, so that chunks an
    // earlier batch read are not read again.
    deferring_ = true;
    for (uint32_t grp = 0; grp < g.groupCount && !Stopped(); ++grp) {
        uint64_t n = FirstInodeOfTableSector(g, grp, 0);
        uint64_t probe = 0;
        if (!access_.InodeSector(static_cast<uint32_t>(std::max<uint64_t>(n, 2)), probe)) {
            break; // groups past the end of the cylinder-group table
        }
        const uint64_t table = access_.InodeTableSector(grp);
        std::vector<uint8_t> cgBytes;
        const bool cgRead = ReadGroupBlock(grp, cgBytes);
        const GroupBlock cg(cgBytes, grp, g.inodesPerGroup, g.fragsPerGroup);
        const bool haveMap = cgRead && cg.Valid();
        for (uint32_t s = 0; s < sectors && !Stopped(); s += kRun) {
            const uint32_t count = std::min(kRun, sectors - s);
            const ReadOutcome read = access_.ReadTable(table + s, count, run.data());
            for (uint32_t k = 0; k < count * ufs::kInodesPerSector && !Stopped(); ++k, ++n) {
                if (k % ufs::kInodesPerSector == 0 && !read.Whole() &&
                    access_.Reader().KnownBad(table + s + k / ufs::kInodesPerSector)) {
                    Flush(); // what the entries queued so far lost is said first
                    NoteUnreadableTableSector(table + s + k / ufs::kInodesPerSector, n);
                }
                const auto raw = std::span<const uint8_t, ufs::kInodeSize>(
                    run.data() + size_t{k} * ufs::kInodeSize, ufs::kInodeSize);
                // Most inodes are no folders: their type alone says so.
                const uint16_t mode = ReadBe16(raw, ufs::inode_field::kMode);
                const bool folder = ufs::IsDirectoryMode(mode);
                if (n >= 2 && !folder && ufs::TypeOf(mode) == ufs::kTypeAttrDir) {
                    attrFolders_.push_back(static_cast<uint32_t>(n));
                } else if (n >= 2 && !folder && !ufs::IsMetadataMode(mode)) {
                    // In use by the group's map, or, without one, live and sound.
                    bool inUse = false;
                    if (haveMap) {
                        inUse = cg.InodeUsed(k + s * ufs::kInodesPerSector);
                    } else if (ufs::TypeOf(mode) != 0) {
                        const Inode any = DecodeInode(raw);
                        inUse = any.Live() && !InodeIsDamaged(g, any.mode, any.size, any.blocks);
                    }
                    if (inUse) {
                        fileCandidates_.push_back(static_cast<uint32_t>(n));
                    }
                }
                const Inode in = folder ? DecodeInode(raw) : Inode{};
                if (n >= 2 && folder && !InodeIsDamaged(g, in.mode, in.size, in.blocks)) {
                    const uint32_t db0 = in.direct[0];
                    if (db0 != 0 && FragmentsInVolume(g, db0, 1)) {
                        const uint64_t at = FragmentSector(g, db0);
                        const auto inode = static_cast<uint32_t>(n);
                        if (!access_.Reader().Read(at, first).Whole()) {
                            Warn(WarningKind::UnreadableDirectory, inode, at);
                        } else if (StartsWithDot(first, inode) && DotDotInode(first) >= 2) {
                            if (inode != kRootInode &&
                                tree_.AddFolderNode("Dir" + std::to_string(inode), inode,
                                                    DotDotInode(first), in.modifiedTime,
                                                    Found::InodeScan)) {
                                FolderAdded(tree_.FolderName(tree_.FolderCount() - 1));
                            }
                            rootWalked_ |= inode == kRootInode;
                            // The sector just tested begins the folder's first block.
                            runs_.assign(1, PrefetchRun{at, 1, 0, true});
                            prefetchBytes_ = first;
                            WalkDirectoryInode(inode);
                            runs_.clear();
                        }
                    }
                }
                if ((n + 1) % 100 == 0) {
                    Progress(static_cast<uint32_t>(std::min<uint64_t>(100, (n + 1) * 100 / total)));
                }
            }
        }
    }
}

void DirectoryWalker::ResolveFolderNames() {
    for (size_t i = 0; i < tree_.Folders().size(); ++i) {
        const FolderNode& f = tree_.Folders()[i];
        const DirNameRecord* rec = tree_.FindDirName(f.inode);
        if (rec == nullptr) {
            continue;
        }
        // Where an entry names it, a folder stands as the walk from the root finds it, even
        // when its ".." says otherwise.
        const bool parentKnown =
            rec->parentInode == kRootInode || tree_.FindFolder(rec->parentInode) >= 0;
        if (rec->parentInode == f.parentInode || parentKnown) {
            const std::string name(tree_.Name(rec->name));
            tree_.SetFolderParent(i, rec->parentInode);
            tree_.RenameFolder(i, name);
        }
    }
}

void DirectoryWalker::SearchLostData() {
    Progress(0);
    if (tree_.AddFolderNode(kLostDirName, kLostDirInode, kRootInode, 0, Found::InodeScan)) {
        FolderAdded(kLostDirName);
    }
    for (size_t k = 0; k < tree_.Folders().size() && !Stopped(); ++k) {
        Progress(static_cast<uint32_t>(std::min<uint64_t>(99, 100 * k / tree_.FolderCount())));
        const uint32_t parent = tree_.Folders()[k].parentInode;
        if (parent == kRootInode || tree_.FindFolder(parent) >= 0) {
            continue;
        }
        if (tree_.AddFolderNode("Dir" + std::to_string(parent), parent, kLostDirInode, 0,
                                Found::InodeScan)) {
            FolderAdded(tree_.FolderName(tree_.FolderCount() - 1));
        }
    }
}

void DirectoryWalker::GatherUnreachable() {
    tree_.BuildChildIndex();
    const auto& folders = tree_.Folders();
    std::vector<uint8_t> reached(folders.size(), 0);
    struct Mark final : SubtreeVisitor {
        std::vector<uint8_t>& reached;
        explicit Mark(std::vector<uint8_t>& r) : reached(r) {}
        bool EnterFolder(uint32_t folder, size_t) override {
            if (reached[folder]) {
                return false;
            }
            reached[folder] = 1;
            return true;
        }
    } mark(reached);
    tree_.WalkSubtree(kRootInode, WalkOrder::FoldersFirst, mark);
    bool moved = false;
    for (size_t i = 0; i < folders.size(); ++i) {
        if (reached[i])
            continue;
        if (tree_.FindFolder(kLostDirInode) < 0) {
            tree_.AddFolderNode(kLostDirName, kLostDirInode, kRootInode, 0);
            reached.push_back(1);
        }
        tree_.SetFolderParent(i, kLostDirInode);
        reached[i] = 1;
        tree_.WalkSubtree(folders[i].inode, WalkOrder::FoldersFirst, mark);
        moved = true;
    }
    if (moved) {
        tree_.BuildChildIndex();
    }
}

void DirectoryWalker::Run(RecoveryMode mode) {
    mode_ = mode;
    // A stop ends the phase it comes in; the phases after it still run.
    auto phase = [&](auto&& body) {
        stop_.store(false);
        body();
        stopped_ = stopped_ || stop_.load();
    };
    if (mode == RecoveryMode::Normal) {
        phase([&] { NormalWalk(); });
    } else {
        phase([&] {
            ScanInodeTables();
            Flush();
            deferring_ = false;
        });
        if (!rootWalked_) {
            // The root's first block failed its test: its other blocks still name entries,
            // and what it lost is still to be said.
            WalkDirectoryInode(kRootInode);
        }
        Phase(MountPhase::Finalizing);
        phase([&] { ResolveFolderNames(); });
        phase([&] { NamedFolders(); });
        Phase(MountPhase::LostData);
        phase([&] { SearchLostData(); });
        phase([&] { RebuildLostFolders(); });
        phase([&] { GatherOrphans(); });
        phase([&] { GatherUnreachable(); });
    }
    stop_.store(false);
}

std::vector<Warning> DirectoryWalker::TakeWarnings() {
    for (const LostName& n : lostNames_) {
        warnings_[n.warning].names.push_back(n.name.empty()
                                                 ? FolderItemPath(tree_, n.directoryInode)
                                                 : ChildPath(tree_, n.directoryInode, n.name));
    }
    lostNames_.clear();
    for (Warning& w : warnings_) {
        if (w.folderInode == 0 || !w.path.empty()) {
            continue;
        }
        if (w.folderInode == kRootInode || tree_.FindFolder(w.folderInode) >= 0) {
            w.path = FolderItemPath(tree_, w.folderInode);
        } else if (const DirNameRecord* named = tree_.FindDirName(w.folderInode)) {
            // A folder that never made it into the tree, known by the entry naming it.
            w.path = ChildPath(tree_, named->parentInode, tree_.Name(named->name));
        }
    }
    lostInodeWarnings_.clear();
    return std::exchange(warnings_, {});
}

} // namespace trevik

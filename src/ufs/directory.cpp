#include "ufs/directory.h"

#include "format/big_endian.h"
#include "format/directory_entry.h"
#include "format/group_block.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"

#include <algorithm>

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

void DirectoryWalker::AddEntry(std::string_view name, uint32_t inode, uint32_t directoryInode) {
    const InodeRead r = access_.ReadInode(inode);
    if (r.status == InodeStatus::Unreadable) {
        NoteLostInode(r.sector, inode, directoryInode, name);
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
            AddEntry(e.name, e.inode, directoryInode);
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
    const ReadOutcome read = access_.Reader().Read(sector, block_);
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

void DirectoryWalker::WalkDirectoryInode(uint32_t n) {
    const InodeRead r = access_.ReadInode(n);
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
    firstFileHere_ = tree_.FileCount();
    inodesHere_.clear();
    bool mapDamaged = false;
    // A folder is no bigger than its volume, whatever its inode says.
    const uint64_t size = std::min(in.size, std::max<uint64_t>(VolumeBytes(g), g.blockSize));
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

void DirectoryWalker::NormalWalk() {
    WalkDirectoryInode(kRootInode);
    uint64_t value = 0;
    uint32_t shown = 0;
    for (size_t i = 0; i < tree_.Folders().size() && !Stopped(); ++i) {
        WalkDirectoryInode(tree_.Folders()[i].inode);
        value += 100;
        const uint32_t pos =
            static_cast<uint32_t>(std::min<uint64_t>(99, value / (tree_.FolderCount() + 1000)));
        shown = std::max(shown, pos);
        Progress(shown);
    }
}

void DirectoryWalker::ScanInodeTables() {
    const VolumeGeometry& g = access_.Geometry();
    const uint64_t total = std::max<uint64_t>(g.totalInodes, 1);
    constexpr uint32_t kRun = 64;
    std::vector<uint8_t> run(kRun * kSectorSize);
    std::vector<uint8_t> first(kSectorSize);
    const uint32_t sectors = InodeTableSectors(g);
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
            const ReadOutcome read = access_.Reader().Read(table + s, count, run.data());
            for (uint32_t k = 0; k < count * ufs::kInodesPerSector && !Stopped(); ++k, ++n) {
                if (k % ufs::kInodesPerSector == 0 && !read.Whole() &&
                    access_.Reader().KnownBad(table + s + k / ufs::kInodesPerSector)) {
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
                            WalkDirectoryInode(inode);
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
    auto phase = [&](auto&& body) {
        stop_.store(false);
        body();
    };
    if (mode == RecoveryMode::Normal) {
        phase([&] { NormalWalk(); });
    } else {
        phase([&] { ScanInodeTables(); });
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
        const std::string folder = FolderPath(tree_, n.directoryInode, '/', true);
        std::string path = "/" + folder;
        if (!n.name.empty()) {
            path += (folder.empty() ? "" : "/") + DisplayName(n.name);
        }
        warnings_[n.warning].names.push_back(std::move(path));
    }
    lostNames_.clear();
    for (Warning& w : warnings_) {
        if (w.folderInode == 0 || !w.path.empty()) {
            continue;
        }
        if (w.folderInode == kRootInode || tree_.FindFolder(w.folderInode) >= 0) {
            w.path = "/" + FolderPath(tree_, w.folderInode, '/', true);
        } else if (const DirNameRecord* named = tree_.FindDirName(w.folderInode)) {
            // A folder that never made it into the tree, known by the entry naming it.
            const std::string parent = FolderPath(tree_, named->parentInode, '/', true);
            w.path =
                "/" + parent + (parent.empty() ? "" : "/") + DisplayName(tree_.Name(named->name));
        }
    }
    lostInodeWarnings_.clear();
    return std::exchange(warnings_, {});
}

} // namespace trevik

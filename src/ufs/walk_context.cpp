#include "ufs/walk_context.h"

#include "format/directory_entry.h"
#include "ufs/names.h"

#include <algorithm>

namespace trevik {

void WalkContext::Progress(uint32_t percent) {
    if (observer_ != nullptr && percent != lastProgress_) {
        lastProgress_ = percent;
        observer_->OnProgress(percent);
    }
}

void WalkContext::Phase(MountPhase phase) {
    if (observer_ != nullptr) {
        observer_->OnPhase(phase);
    }
}

void WalkContext::FolderAdded(std::string_view name) {
    if (observer_ != nullptr) {
        observer_->OnFolderAdded(tree.FolderCount(), name);
    }
}

void WalkContext::FileAdded(std::string_view name) {
    if (observer_ != nullptr && tree.FileCount() % 5 == 0) {
        observer_->OnFileAdded(tree.FileCount(), name);
    }
}

void WalkContext::Warn(WarningKind kind, uint32_t folderInode, uint64_t sector) {
    Warning w;
    w.kind = kind;
    w.folderInode = folderInode;
    w.sector = sector;
    if (batch.IsOpen()) {
        batch.AddWarning(std::move(w));
    } else {
        warnings.Add(std::move(w));
    }
}

void WalkContext::ReserveForCountedEntries() {
    constexpr uint64_t kMostReserved = uint64_t{1} << 22;
    constexpr uint64_t kNameBytesEach = 16;
    const VolumeGeometry& g = access.Geometry();
    const uint64_t used =
        g.countedFreeInodes <= g.totalInodes ? g.totalInodes - g.countedFreeInodes : 0;
    const uint64_t entries = std::min(used, kMostReserved);
    const uint64_t counted = std::min<uint64_t>(g.countedFolders, entries);
    tree.Reserve(entries - counted, counted, entries * kNameBytesEach);
    access.SizeCacheFor(used);
}

bool WalkContext::ReadGroupBlock(uint32_t c, std::vector<uint8_t>& out) {
    const VolumeGeometry& g = access.Geometry();
    const auto& table = access.GroupTable();
    const uint64_t sector =
        c == 0 || c >= table.size() ? GroupHeaderSector(g, c) : GroupHeaderFromCopy(g, table[c]);
    out.resize(g.blockSize);
    return access.Reader().Read(sector, out).Whole();
}

void WalkContext::Entry(std::string_view name, uint32_t inode, uint32_t directoryInode) {
    if (batch.IsOpen()) {
        batch.AddEntry(name, inode, directoryInode);
    } else {
        AddEntry(name, inode, directoryInode, access.ReadInode(inode));
    }
}

void WalkContext::AddEntry(std::string_view name, uint32_t inode, uint32_t directoryInode,
                           const InodeRead& r) {
    if (r.status == InodeStatus::Unreadable) {
        warnings.LostInode(r.sector, inode, directoryInode, name);
        unreadableEntries.push_back({directoryInode, inode, r.sector, std::string(name)});
        folders->LostFolder(inode, directoryInode, name);
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
    if (InodeIsDamaged(access.Geometry(), in.mode, in.size, in.blocks)) {
        // The name is data: listed, with nothing of what the inode claims.
        if (tree.AddFileNode(name, inode, directoryInode, in.modifiedTime, 0, in.mode, true,
                             found)) {
            FileAdded(name);
        }
        if (in.IsDirectory()) {
            folders->LostFolder(inode, directoryInode, name);
        }
        return;
    }
    if (in.IsDirectory()) {
        folders->Folder(*this, name, inode, directoryInode, in);
    } else if (tree.AddFileNode(name, inode, directoryInode, in.modifiedTime, in.size, in.mode)) {
        FileAdded(name);
    }
}

bool WalkContext::ParseChunk(std::span<const uint8_t> chunk, uint32_t directoryInode) {
    const ChunkState state = ParseDirectoryChunk(chunk, [&](const DirEntry& e) {
        if (Stopped()) {
            return false;
        }
        if (e.name != "." && e.name != "..") {
            Entry(e.name, e.inode, directoryInode);
        }
        if (batch.Full()) {
            Flush();
        }
        return true;
    });
    return state == ChunkState::Sound;
}

void WalkContext::ParseDirectoryBlock(uint64_t sector, uint32_t directoryInode, uint32_t length,
                                      bool firstBlock) {
    if (observer_ != nullptr) {
        observer_->OnCurrentSector(sector);
    }
    length = std::min(length, access.Geometry().blockSize);
    block_.resize(size_t{SectorsFor(length)} * kSectorSize);
    ReadOutcome read;
    if (!readAhead.Take(access.Reader(), sector, block_, read)) {
        read = access.Reader().Read(sector, block_);
    }
    folders->BlockParsed(sector);
    const std::span<const uint8_t> b(block_.data(), length);
    auto chunkBad = [&](uint32_t chunk) {
        return !read.Whole() && access.Reader().KnownBad(sector + chunk / kSectorSize);
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

uint64_t WalkedSize(const VolumeGeometry& g, const Inode& in) {
    return std::min(in.size, std::max<uint64_t>(VolumeBytes(g), g.blockSize));
}

void WalkContext::WalkDirectoryInode(uint32_t n, const Inode* known) {
    InodeRead r;
    if (known != nullptr) {
        r.status = InodeStatus::Ok;
        r.inode = *known;
        access.InodeSector(n, r.sector);
    } else {
        r = access.ReadInode(n);
    }
    if (r.status == InodeStatus::Unreadable && n == kRootInode) {
        warnings.LostInode(r.sector, n, kRootInode, "");
        return;
    }
    if (!r.Ok() || !r.inode.IsDirectory()) {
        return;
    }
    const Inode& in = r.inode;
    const VolumeGeometry& g = access.Geometry();
    if (in.size == 0 || in.size % ufs::kDirChunk != 0 ||
        InodeIsDamaged(g, in.mode, in.size, in.blocks)) {
        Warn(WarningKind::BrokenDirectory, n, r.sector);
        return;
    }
    BlockMap map(access, in);
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

} // namespace trevik

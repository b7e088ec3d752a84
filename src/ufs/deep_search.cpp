// The deeper phases of an Extensive mount: folders that only an entry names, folders
// rebuilt from their directory blocks when their inode is lost, and in-use files that no
// folder names.

#include "format/big_endian.h"
#include "format/directory_entry.h"
#include "format/group_block.h"
#include "ufs/directory_phases.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace trevik {
namespace {

// Folders rebuilt from loose blocks get inode numbers no volume uses, counted down from
// just below LostDir's.
constexpr uint32_t kFirstBlockFolderInode = kLostDirInode - 1;

// The directory blocks among the data that the rebuild keeps, at most this many bytes.
constexpr size_t kMaxRebuiltBytes = size_t{64} << 20;

class NamedFolders final : public DirectoryPhase {
public:
    void Run(WalkContext& walk) override;
};

class LostFolderRebuild final : public DirectoryPhase {
public:
    explicit LostFolderRebuild(ExtensiveFindings& findings) : findings_(findings) {}
    void Run(WalkContext& walk) override;

private:
    ExtensiveFindings& findings_;
};

class OrphanGathering final : public DirectoryPhase {
public:
    explicit OrphanGathering(ExtensiveFindings& findings) : findings_(findings) {}
    void Run(WalkContext& walk) override;

private:
    ExtensiveFindings& findings_;
};

void NamedFolders::Run(WalkContext& walk) {
    // Walking a folder names more: the list grows while it is read.
    for (size_t i = 0; i < walk.tree.DirNames().size() && !walk.Stopped(); ++i) {
        const DirNameRecord rec = walk.tree.DirNames()[i];
        if (walk.tree.FindFolder(rec.inode) >= 0 ||
            (rec.parentInode != kRootInode && walk.tree.FindFolder(rec.parentInode) < 0)) {
            continue;
        }
        const InodeRead r = walk.access.ReadInode(rec.inode);
        if (!r.Ok() || !r.inode.IsDirectory()) {
            continue;
        }
        const std::string name(walk.tree.Name(rec.name));
        if (walk.tree.AddFolderNode(name, rec.inode, rec.parentInode, r.inode.modifiedTime)) {
            walk.FolderAdded(name);
            walk.WalkDirectoryInode(rec.inode);
        }
    }
}

// Parses every entry of one rebuilt block into folder `owner`.
void ParseRebuiltBlock(WalkContext& walk, std::span<const uint8_t> block, uint32_t owner) {
    for (size_t chunk = 0; chunk + ufs::kDirChunk <= block.size(); chunk += ufs::kDirChunk) {
        if (!walk.ParseChunk(block.subspan(chunk, ufs::kDirChunk), owner)) {
            break; // the folder's blocks end here: a partial last block
        }
    }
}

void LostFolderRebuild::Run(WalkContext& walk) {
    const VolumeGeometry& g = walk.access.Geometry();
    // The folders to find: named by an entry (or the ".." of a recovered folder) while
    // their own inode cannot be read or is damaged.
    std::unordered_map<uint32_t, ExtensiveFindings::Referenced> lost;
    for (const ExtensiveFindings::Referenced& r : findings_.unreadableNamed) {
        // Not in the tree, or only as the stand-in the lost-data pass made for a parent.
        const int64_t f = walk.tree.FindFolder(r.inode);
        if (f < 0 || walk.tree.Folders()[static_cast<size_t>(f)].parentInode == kLostDirInode)
            lost.emplace(r.inode, r);
    }
    for (const FolderNode& f : walk.tree.Folders()) {
        const uint32_t parent = f.parentInode;
        if (parent == kRootInode || parent == kLostDirInode || lost.count(parent) != 0)
            continue;
        const int64_t p = walk.tree.FindFolder(parent);
        if (p >= 0 && walk.tree.Folders()[static_cast<size_t>(p)].found != Found::InodeScan)
            continue; // a folder of its own: read whole
        const InodeRead r = walk.access.ReadInode(parent);
        if (r.status == InodeStatus::Unreadable ||
            (r.Ok() && InodeIsDamaged(g, r.inode.mode, r.inode.size, r.inode.blocks))) {
            lost.emplace(parent, ExtensiveFindings::Referenced{parent, 0, ""});
        }
    }
    if (lost.empty()) {
        return; // nothing to find: no data block is read
    }
    // A lost folder the lost-data pass stood in for under LostDir goes where its entry
    // names it.
    for (const auto& [inode, ref] : lost) {
        const int64_t f = walk.tree.FindFolder(inode);
        const bool parentKnown =
            ref.parentInode == kRootInode || walk.tree.FindFolder(ref.parentInode) >= 0;
        if (f >= 0 && !ref.name.empty() && parentKnown) {
            walk.tree.SetFolderParent(static_cast<size_t>(f), ref.parentInode);
            walk.tree.RenameFolder(static_cast<size_t>(f), ref.name);
        }
    }

    // One pass over the allocated data, each block read once, in large sequential runs.
    struct Kept {
        uint64_t frag;
        std::vector<uint8_t> bytes;
    };
    std::vector<Kept> kept;
    size_t keptBytes = 0;
    bool limitWarned = false;
    constexpr uint32_t kRunBlocks = 64;
    std::vector<uint8_t> run(size_t{kRunBlocks} * g.blockSize);
    std::vector<uint8_t> cgBytes;
    const uint64_t volumeFrags = VolumeFragments(g);
    for (uint32_t c = 0; c < g.groupCount && !walk.Stopped(); ++c) {
        walk.Progress(static_cast<uint32_t>(uint64_t{c} * 100 / g.groupCount));
        const GroupBlock cg(walk.ReadGroupBlock(c, cgBytes) ? std::span<const uint8_t>(cgBytes)
                                                            : std::span<const uint8_t>(),
                            c, g.inodesPerGroup, g.fragsPerGroup);
        const uint64_t base = uint64_t{c} * g.fragsPerGroup;
        const uint64_t end = std::min<uint64_t>(base + g.fragsPerGroup, volumeFrags);
        // Block-aligned fragments in use (every block of a group whose map is lost).
        std::vector<uint64_t> blocks;
        for (uint64_t f = base; f + g.fragsPerBlock <= end; f += g.fragsPerBlock) {
            if (walk.log != nullptr && InLog(*walk.log, FragmentSector(g, f)))
                continue; // the log's own blocks: old copies of what it changed
            if (!cg.Valid() || !cg.FragmentFree(static_cast<uint32_t>(f - base)))
                blocks.push_back(f);
        }
        for (size_t i = 0; i < blocks.size() && !walk.Stopped();) {
            // A run of consecutive blocks.
            size_t j = i + 1;
            while (j < blocks.size() && j - i < kRunBlocks &&
                   blocks[j] == blocks[j - 1] + g.fragsPerBlock)
                ++j;
            const size_t count = j - i;
            const std::span<uint8_t> bytes(run.data(), count * g.blockSize);
            walk.access.Reader().Read(FragmentSector(g, blocks[i]), bytes);
            for (size_t k = 0; k < count; ++k) {
                const uint64_t frag = blocks[i + k];
                const auto block = bytes.subspan(k * g.blockSize, g.blockSize);
                // Small folders share blocks (each in its own fragments): a piece of a folder
                // runs from a chunk that begins with "." (or the block's first chunk) over the
                // sound chunks that follow it.
                size_t start = SIZE_MAX;
                bool live = false;
                auto close = [&](size_t stop) {
                    const uint64_t sector = FragmentSector(g, frag) + start;
                    const bool room =
                        start == SIZE_MAX ||
                        keptBytes + (stop - start) * ufs::kDirChunk <= kMaxRebuiltBytes;
                    if (!room && live && !limitWarned) {
                        walk.Warn(WarningKind::RebuildLimit, 0, sector);
                        limitWarned = true;
                    }
                    if (start != SIZE_MAX && live && findings_.parsedBlocks.count(sector) == 0 &&
                        room) {
                        const auto piece =
                            block.subspan(start * ufs::kDirChunk, (stop - start) * ufs::kDirChunk);
                        kept.push_back({frag + start * ufs::kDirChunk / g.fragmentSize,
                                        std::vector<uint8_t>(piece.begin(), piece.end())});
                        keptBytes += piece.size();
                    }
                    start = SIZE_MAX;
                    live = false;
                };
                const size_t chunks = block.size() / ufs::kDirChunk;
                for (size_t at = 0; at < chunks; ++at) {
                    const auto chunk = block.subspan(at * ufs::kDirChunk, ufs::kDirChunk);
                    bool any = false;
                    const ChunkState st = ParseDirectoryChunk(chunk, [&](const DirEntry&) {
                        any = true;
                        return true;
                    });
                    if (st != ChunkState::Sound) {
                        close(at);
                        continue;
                    }
                    const bool dot =
                        StartsWithDot(chunk, ReadBe32(chunk, ufs::dirent_field::kInode));
                    if (dot || start == SIZE_MAX) {
                        close(at);
                        start = at;
                    }
                    live = live || any;
                }
                close(chunks);
            }
            i = j;
        }
    }
    walk.Progress(100);

    // First blocks: they begin with the "." of a folder that is not in the tree. Of several,
    // the one whose ".." names the parent an entry gave it.
    std::map<uint32_t, size_t> first;
    for (size_t i = 0; i < kept.size(); ++i) {
        const auto& b = kept[i].bytes;
        if (b.size() < ufs::DirEntrySize(1) * 2 || b[ufs::dirent_field::kName] != '.' ||
            ReadBe16(b, ufs::dirent_field::kReclen) != ufs::DirEntrySize(1))
            continue;
        const uint32_t inode = ReadBe32(b, ufs::dirent_field::kInode);
        const auto it = lost.find(inode);
        if (!StartsWithDot(b, inode) || (walk.tree.FindFolder(inode) >= 0 && it == lost.end()))
            continue;
        const auto [at, inserted] = first.emplace(inode, i);
        if (!inserted && it != lost.end() && DotDotInode(b) == it->second.parentInode &&
            DotDotInode(kept[at->second].bytes) != it->second.parentInode) {
            at->second = i;
        }
    }
    walk.found = Found::DirBlocks;
    std::vector<uint8_t> used(kept.size(), 0);
    for (const auto& [inode, i] : first) {
        const auto it = lost.find(inode);
        const bool named = it != lost.end() && !it->second.name.empty();
        const uint32_t parent = named ? it->second.parentInode : DotDotInode(kept[i].bytes);
        const std::string name = named ? it->second.name : "Dir" + std::to_string(inode);
        if (walk.tree.AddFolderNode(name, inode, parent, 0, Found::DirBlocks)) {
            walk.FolderAdded(name);
        }
        ParseRebuiltBlock(walk, kept[i].bytes, inode);
        used[i] = 1;
    }
    // The other blocks: to the folder that the ".." of a sub-folder listed in them names,
    // else a folder of their own under LostDir.
    uint32_t nextBlockFolder = kFirstBlockFolderInode;
    for (size_t i = 0; i < kept.size() && !walk.Stopped(); ++i) {
        if (used[i])
            continue;
        uint32_t owner = 0;
        ParseDirectoryChunk(std::span<const uint8_t>(kept[i].bytes).first(ufs::kDirChunk),
                            [&](const DirEntry& e) {
                                const int64_t f = walk.tree.FindFolder(e.inode);
                                if (f >= 0 && e.name != "." && e.name != "..") {
                                    owner = walk.tree.Folders()[static_cast<size_t>(f)].parentInode;
                                    return false;
                                }
                                return true;
                            });
        if (owner == 0 || (owner != kRootInode && walk.tree.FindFolder(owner) < 0)) {
            while (walk.tree.FindFolder(nextBlockFolder) >= 0)
                --nextBlockFolder;
            owner = nextBlockFolder--;
            const std::string name = "DirBlock" + std::to_string(kept[i].frag);
            if (walk.tree.AddFolderNode(name, owner, kLostDirInode, 0, Found::DirBlocks)) {
                walk.FolderAdded(name);
            }
        }
        ParseRebuiltBlock(walk, kept[i].bytes, owner);
    }
    walk.found = Found::Walk;
    // Sub-folders the scan found get the names the rebuilt entries give them.
    NameFoldersByEntries(walk.tree);
}

void OrphanGathering::Run(WalkContext& walk) {
    const VolumeGeometry& g = walk.access.Geometry();
    // Every inode a recovered entry names, and the files of attribute folders.
    std::vector<bool> named(g.totalInodes + 1, false);
    auto mark = [&](uint32_t inode) {
        if (inode < named.size())
            named[inode] = true;
    };
    for (const FileNode& f : walk.tree.Files())
        mark(f.inode);
    for (const FolderNode& f : walk.tree.Folders())
        mark(f.inode);
    for (uint32_t attr : findings_.attrFolders) {
        const InodeRead r = walk.access.ReadInode(attr);
        if (!r.Ok() || InodeIsDamaged(g, r.inode.mode, r.inode.size, r.inode.blocks))
            continue;
        BlockMap map(walk.access, r.inode);
        const uint64_t blocks =
            std::min(BlocksFor(g, std::min(r.inode.size, VolumeBytes(g))), map.Capacity());
        std::vector<uint8_t> block(g.blockSize);
        for (uint64_t lbn = 0; lbn < blocks && !walk.Stopped(); ++lbn) {
            const BlockMap::Mapped m = map.Lookup(lbn);
            if (m.lost || m.frag == 0 || !FragmentsInVolume(g, m.frag, g.fragsPerBlock))
                break;
            walk.access.Reader().Read(FragmentSector(g, m.frag), block);
            for (size_t at = 0; at + ufs::kDirChunk <= block.size(); at += ufs::kDirChunk) {
                ParseDirectoryChunk(std::span<const uint8_t>(block).subspan(at, ufs::kDirChunk),
                                    [&](const DirEntry& e) {
                                        mark(e.inode);
                                        return true;
                                    });
            }
        }
    }
    std::vector<uint8_t> head(kSectorSize);
    walk.found = Found::Orphan;
    for (size_t i = 0; i < findings_.fileCandidates.size() && !walk.Stopped(); ++i) {
        const uint32_t n = findings_.fileCandidates[i];
        if (n < named.size() && named[n])
            continue;
        const InodeRead r = walk.access.ReadInode(n);
        if (!r.Ok())
            continue;
        const Inode& in = r.inode;
        if (in.IsDirectory() || ufs::IsMetadataMode(in.mode) ||
            InodeIsDamaged(g, in.mode, in.size, in.blocks))
            continue;
        std::string name = "File" + std::to_string(n);
        if (in.IsRegular() && in.size != 0 && in.direct[0] != 0 &&
            FragmentsInVolume(g, in.direct[0], 1) &&
            walk.access.Reader().Read(FragmentSector(g, in.direct[0]), head).Whole()) {
            name += ExtensionFromContent(std::span<const uint8_t>(head).first(
                static_cast<size_t>(std::min<uint64_t>(in.size, kSectorSize))));
        }
        if (walk.tree.AddFileNode(name, n, kLostDirInode, in.modifiedTime, in.size, in.mode, false,
                                  Found::Orphan)) {
            walk.FileAdded(name);
        }
    }
    walk.found = Found::Walk;
}

} // namespace

std::unique_ptr<DirectoryPhase> MakeNamedFolders() {
    return std::make_unique<NamedFolders>();
}

std::unique_ptr<DirectoryPhase> MakeLostFolderRebuild(ExtensiveFindings& findings) {
    return std::make_unique<LostFolderRebuild>(findings);
}

std::unique_ptr<DirectoryPhase> MakeOrphanGathering(ExtensiveFindings& findings) {
    return std::make_unique<OrphanGathering>(findings);
}

} // namespace trevik

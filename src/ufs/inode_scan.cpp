// The Extensive mode's first phase: every inode table scanned for folders and in-use files.

#include "format/big_endian.h"
#include "format/directory_entry.h"
#include "format/group_block.h"
#include "ufs/directory_phases.h"

#include <algorithm>

namespace trevik {
namespace {

class InodeTableScan final : public DirectoryPhase {
public:
    explicit InodeTableScan(ExtensiveFindings& findings) : findings_(findings) {}
    void Run(WalkContext& walk) override;

private:
    void Scan(WalkContext& walk);
    ExtensiveFindings& findings_;
};

void InodeTableScan::Run(WalkContext& walk) {
    walk.ReserveForCountedEntries();
    Scan(walk);
    walk.Flush();
    walk.batch.Close();
    if (!findings_.rootWalked) {
        // The root's first block failed its test: its other blocks still name entries,
        // and what it lost is still to be said.
        walk.WalkDirectoryInode(kRootInode);
    }
}

void InodeTableScan::Scan(WalkContext& walk) {
    InodeAccess& access = walk.access;
    RecoveredTree& tree = walk.tree;
    const VolumeGeometry& g = access.Geometry();
    const uint64_t total = std::max<uint64_t>(g.totalInodes, 1);
    constexpr uint32_t kRun = 64;
    std::vector<uint8_t> run(kRun * kSectorSize);
    std::vector<uint8_t> first(kSectorSize);
    const uint32_t sectors = InodeTableSectors(g);
    // The entries of the folders found wait in batches and are added with their inodes
    // read in inode order; the tables are read through the inode cache, so that chunks an
    // earlier batch read are not read again.
    walk.batch.Open();
    for (uint32_t grp = 0; grp < g.groupCount && !walk.Stopped(); ++grp) {
        uint64_t n = FirstInodeOfTableSector(g, grp, 0);
        uint64_t probe = 0;
        if (!access.InodeSector(static_cast<uint32_t>(std::max<uint64_t>(n, 2)), probe)) {
            break; // groups past the end of the cylinder-group table
        }
        const uint64_t table = access.InodeTableSector(grp);
        std::vector<uint8_t> cgBytes;
        const bool cgRead = walk.ReadGroupBlock(grp, cgBytes);
        const GroupBlock cg(cgBytes, grp, g.inodesPerGroup, g.fragsPerGroup);
        const bool haveMap = cgRead && cg.Valid();
        for (uint32_t s = 0; s < sectors && !walk.Stopped(); s += kRun) {
            const uint32_t count = std::min(kRun, sectors - s);
            const ReadOutcome read = access.ReadTable(table + s, count, run.data());
            for (uint32_t k = 0; k < count * ufs::kInodesPerSector && !walk.Stopped(); ++k, ++n) {
                if (k % ufs::kInodesPerSector == 0 && !read.Whole() &&
                    access.Reader().KnownBad(table + s + k / ufs::kInodesPerSector)) {
                    walk.Flush(); // what the entries queued so far lost is said first
                    walk.warnings.UnreadableTableSector(table + s + k / ufs::kInodesPerSector, n);
                }
                const auto raw = std::span<const uint8_t, ufs::kInodeSize>(
                    run.data() + size_t{k} * ufs::kInodeSize, ufs::kInodeSize);
                // Most inodes are no folders: their type alone says so.
                const uint16_t mode = ReadBe16(raw, ufs::inode_field::kMode);
                const bool folder = ufs::IsDirectoryMode(mode);
                if (n >= 2 && !folder && ufs::TypeOf(mode) == ufs::kTypeAttrDir) {
                    findings_.attrFolders.push_back(static_cast<uint32_t>(n));
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
                        findings_.fileCandidates.push_back(static_cast<uint32_t>(n));
                    }
                }
                const Inode in = folder ? DecodeInode(raw) : Inode{};
                if (n >= 2 && folder && !InodeIsDamaged(g, in.mode, in.size, in.blocks)) {
                    const uint32_t db0 = in.direct[0];
                    if (db0 != 0 && FragmentsInVolume(g, db0, 1)) {
                        const uint64_t at = FragmentSector(g, db0);
                        const auto inode = static_cast<uint32_t>(n);
                        if (!access.Reader().Read(at, first).Whole()) {
                            walk.Warn(WarningKind::UnreadableDirectory, inode, at);
                        } else if (StartsWithDot(first, inode) && DotDotInode(first) >= 2) {
                            if (inode != kRootInode &&
                                tree.AddFolderNode("Dir" + std::to_string(inode), inode,
                                                   DotDotInode(first), in.modifiedTime,
                                                   Found::InodeScan)) {
                                walk.FolderAdded(tree.FolderName(tree.FolderCount() - 1));
                            }
                            findings_.rootWalked |= inode == kRootInode;
                            // The sector just tested begins the folder's first block.
                            walk.readAhead.Hold(at, first);
                            walk.WalkDirectoryInode(inode);
                            walk.readAhead.Clear();
                        }
                    }
                }
                if ((n + 1) % 100 == 0) {
                    walk.Progress(
                        static_cast<uint32_t>(std::min<uint64_t>(100, (n + 1) * 100 / total)));
                }
            }
        }
    }
}

} // namespace

std::unique_ptr<DirectoryPhase> MakeInodeTableScan(ExtensiveFindings& findings) {
    return std::make_unique<InodeTableScan>(findings);
}

} // namespace trevik

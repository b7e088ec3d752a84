#include "ufs/walk_warnings.h"

#include "format/ufs_format.h"
#include "ufs/tree_paths.h"

#include <utility>

namespace trevik {

void WalkWarnings::UnreadableTableSector(uint64_t sector, uint64_t firstInode) {
    if (tableSectors_.count(sector) != 0) {
        return;
    }
    Warning w;
    w.kind = WarningKind::UnreadableInodes;
    w.sector = sector;
    w.firstInode = static_cast<uint32_t>(firstInode);
    w.lastInode = static_cast<uint32_t>(firstInode + ufs::kInodesPerSector - 1);
    tableSectors_.emplace(sector, warnings_.size());
    warnings_.push_back(std::move(w));
}

void WalkWarnings::LostInode(uint64_t sector, uint32_t inode, uint32_t directoryInode,
                             std::string_view name) {
    // Inode tables hold whole sectors of inodes, and every group begins with a whole one.
    UnreadableTableSector(sector, inode - inode % ufs::kInodesPerSector);
    const size_t w = tableSectors_[sector];
    if (++warnings_[w].count <= kWarningNamesKept) {
        lostNames_.push_back({w, directoryInode, std::string(name)});
    }
}

std::vector<Warning> WalkWarnings::Take(const RecoveredTree& tree) {
    for (const LostName& n : lostNames_) {
        warnings_[n.warning].names.push_back(n.name.empty()
                                                 ? FolderItemPath(tree, n.directoryInode)
                                                 : ChildPath(tree, n.directoryInode, n.name));
    }
    lostNames_.clear();
    for (Warning& w : warnings_) {
        if (w.folderInode == 0 || !w.path.empty()) {
            continue;
        }
        if (w.folderInode == kRootInode || tree.FindFolder(w.folderInode) >= 0) {
            w.path = FolderItemPath(tree, w.folderInode);
        } else if (const DirNameRecord* named = tree.FindDirName(w.folderInode)) {
            // A folder that never made it into the tree, known by the entry naming it.
            w.path = ChildPath(tree, named->parentInode, tree.Name(named->name));
        }
    }
    tableSectors_.clear();
    return std::exchange(warnings_, {});
}

} // namespace trevik

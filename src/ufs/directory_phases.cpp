#include "ufs/directory_phases.h"

#include <algorithm>

namespace trevik {

void ExtensiveFindings::Folder(WalkContext& walk, std::string_view name, uint32_t inode,
                               uint32_t parentInode, const Inode&) {
    if (walk.tree.AddDirName(name, inode, parentInode)) {
        walk.FolderAdded(name);
    }
}

void NameFoldersByEntries(RecoveredTree& tree) {
    for (size_t i = 0; i < tree.Folders().size(); ++i) {
        const FolderNode& f = tree.Folders()[i];
        const DirNameRecord* rec = tree.FindDirName(f.inode);
        if (rec == nullptr) {
            continue;
        }
        // Where an entry names it, a folder stands as the walk from the root finds it, even
        // when its ".." says otherwise.
        const bool parentKnown =
            rec->parentInode == kRootInode || tree.FindFolder(rec->parentInode) >= 0;
        if (rec->parentInode == f.parentInode || parentKnown) {
            const std::string name(tree.Name(rec->name));
            tree.SetFolderParent(i, rec->parentInode);
            tree.RenameFolder(i, name);
        }
    }
}

namespace {

class FolderNaming final : public DirectoryPhase {
public:
    std::optional<MountPhase> Begins() const override { return MountPhase::Finalizing; }
    void Run(WalkContext& walk) override { NameFoldersByEntries(walk.tree); }
};

// Folders whose parent the walk never found get a stand-in for it under LostDir.
class LostParents final : public DirectoryPhase {
public:
    std::optional<MountPhase> Begins() const override { return MountPhase::LostData; }
    void Run(WalkContext& walk) override {
        RecoveredTree& tree = walk.tree;
        walk.Progress(0);
        if (tree.AddFolderNode(kLostDirName, kLostDirInode, kRootInode, 0, Found::InodeScan)) {
            walk.FolderAdded(kLostDirName);
        }
        for (size_t k = 0; k < tree.Folders().size() && !walk.Stopped(); ++k) {
            walk.Progress(
                static_cast<uint32_t>(std::min<uint64_t>(99, 100 * k / tree.FolderCount())));
            const uint32_t parent = tree.Folders()[k].parentInode;
            if (parent == kRootInode || tree.FindFolder(parent) >= 0) {
                continue;
            }
            if (tree.AddFolderNode("Dir" + std::to_string(parent), parent, kLostDirInode, 0,
                                   Found::InodeScan)) {
                walk.FolderAdded(tree.FolderName(tree.FolderCount() - 1));
            }
        }
    }
};

// Folders still unreachable from the root (their parents form a cycle) go under LostDir.
class UnreachableFolders final : public DirectoryPhase {
public:
    void Run(WalkContext& walk) override {
        RecoveredTree& tree = walk.tree;
        tree.BuildChildIndex();
        const auto& folders = tree.Folders();
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
        tree.WalkSubtree(kRootInode, WalkOrder::FoldersFirst, mark);
        bool moved = false;
        for (size_t i = 0; i < folders.size(); ++i) {
            if (reached[i])
                continue;
            if (tree.FindFolder(kLostDirInode) < 0) {
                tree.AddFolderNode(kLostDirName, kLostDirInode, kRootInode, 0);
                reached.push_back(1);
            }
            tree.SetFolderParent(i, kLostDirInode);
            reached[i] = 1;
            tree.WalkSubtree(folders[i].inode, WalkOrder::FoldersFirst, mark);
            moved = true;
        }
        if (moved) {
            tree.BuildChildIndex();
        }
    }
};

} // namespace

std::vector<std::unique_ptr<DirectoryPhase>> PhasesOf(RecoveryMode mode,
                                                      ExtensiveFindings& findings) {
    std::vector<std::unique_ptr<DirectoryPhase>> phases;
    if (mode == RecoveryMode::Normal) {
        phases.push_back(MakeNormalWalk());
        return phases;
    }
    phases.push_back(MakeInodeTableScan(findings));
    phases.push_back(std::make_unique<FolderNaming>());
    phases.push_back(MakeNamedFolders());
    phases.push_back(std::make_unique<LostParents>());
    phases.push_back(MakeLostFolderRebuild(findings));
    phases.push_back(MakeOrphanGathering(findings));
    phases.push_back(std::make_unique<UnreachableFolders>());
    return phases;
}

} // namespace trevik

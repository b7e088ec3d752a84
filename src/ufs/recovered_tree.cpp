#include "ufs/recovered_tree.h"

#include <algorithm>

namespace trevik {

NameRef RecoveredTree::Store(std::string_view name) {
    if (name.size() > 255) {
        name = name.substr(0, 255);
    }
    NameRef ref{arena_.size(), static_cast<uint32_t>(name.size())};
    arena_.append(name);
    return ref;
}

bool RecoveredTree::AddFolderNode(std::string_view name, uint32_t inode, uint32_t parentInode,
                                  int32_t modifiedTime) {
    if (inode < 3) {
        return false;
    }
    const auto [it, inserted] =
        folderByInode_.try_emplace(inode, static_cast<uint32_t>(folders_.size()));
    if (!inserted) {
        return false;
    }
    FolderNode node;
    node.inode = inode;
    node.ordinal = static_cast<uint32_t>(folders_.size());
    node.parentInode = parentInode;
    node.modifiedTime = modifiedTime;
    node.name = Store(name);
    folders_.push_back(node);
    if (observer_ != nullptr) {
        observer_->OnFolderAdded(FolderCount(), name);
    }
    return true;
}

bool RecoveredTree::AddFileNode(std::string_view name, uint32_t inode, uint32_t parentInode,
                                int32_t modifiedTime, uint64_t size, uint16_t mode) {
    if (inode < 3) {
        return false;
    }
    FileNode node;
    node.parentInode = parentInode;
    node.inode = inode;
    node.ordinal = static_cast<uint32_t>(files_.size());
    node.modifiedTime = modifiedTime;
    node.size = size;
    node.mode = mode;
    node.name = Store(name);
    files_.push_back(node);
    if (observer_ != nullptr && files_.size() % 5 == 0) {
        observer_->OnFileAdded(FileCount(), name);
    }
    return true;
}

bool RecoveredTree::AddDirName(std::string_view name, uint32_t inode, uint32_t parentInode) {
    if (inode < 3) {
        return false;
    }
    const auto [it, inserted] =
        dirNameByInode_.try_emplace(inode, static_cast<uint32_t>(dirNames_.size()));
    if (!inserted) {
        return false;
    }
    dirNames_.push_back({inode, parentInode, Store(name)});
    if (observer_ != nullptr) {
        observer_->OnFolderAdded(FolderCount(), name);
    }
    return true;
}

void RecoveredTree::FreeRecoveredTree() {
    *this = RecoveredTree{};
}

int64_t RecoveredTree::FindFolder(uint32_t inode) const {
    const auto it = folderByInode_.find(inode);
    return it == folderByInode_.end() ? -1 : static_cast<int64_t>(it->second);
}

const DirNameRecord* RecoveredTree::FindDirName(uint32_t inode) const {
    const auto it = dirNameByInode_.find(inode);
    return it == dirNameByInode_.end() ? nullptr : &dirNames_[it->second];
}

void RecoveredTree::BuildChildIndex() {
    auto build = [](const auto& nodes, std::vector<Link>& links, std::vector<uint32_t>& index) {
        links.resize(nodes.size());
        for (uint32_t i = 0; i < nodes.size(); ++i) links[i] = {nodes[i].parentInode, i};
        std::stable_sort(links.begin(), links.end(),
                         [](const Link& a, const Link& b) { return a.parent < b.parent; });
        index.resize(links.size());
        for (size_t i = 0; i < links.size(); ++i) index[i] = links[i].index;
    };
    build(folders_, childFolderLinks_, childFolderIndex_);
    build(files_, childFileLinks_, childFileIndex_);
}

std::span<const uint32_t> RecoveredTree::Children(const std::vector<Link>& links,
                                                  const std::vector<uint32_t>& index,
                                                  uint32_t parent) {
    const auto lo = std::lower_bound(links.begin(), links.end(), parent,
                                     [](const Link& l, uint32_t p) { return l.parent < p; });
    auto hi = lo;
    while (hi != links.end() && hi->parent == parent) ++hi;
    return std::span<const uint32_t>(index).subspan(static_cast<size_t>(lo - links.begin()),
                                                    static_cast<size_t>(hi - lo));
}

std::span<const uint32_t> RecoveredTree::ChildFolders(uint32_t parentInode) const {
    return Children(childFolderLinks_, childFolderIndex_, parentInode);
}

std::span<const uint32_t> RecoveredTree::ChildFiles(uint32_t parentInode) const {
    return Children(childFileLinks_, childFileIndex_, parentInode);
}

size_t RecoveredTree::IndexBytes() const {
    constexpr size_t kHashEntry = 32; // node, key, value and bucket pointer
    return folders_.capacity() * sizeof(FolderNode) + files_.capacity() * sizeof(FileNode) +
           dirNames_.capacity() * sizeof(DirNameRecord) +
           (folderByInode_.size() + dirNameByInode_.size()) * kHashEntry +
           (childFolderLinks_.capacity() + childFileLinks_.capacity()) * sizeof(Link) +
           (childFolderIndex_.capacity() + childFileIndex_.capacity()) * sizeof(uint32_t);
}

} // namespace trevik

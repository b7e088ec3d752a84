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
    auto build = [](const auto& nodes, std::vector<uint32_t>& index,
                    std::unordered_map<uint32_t, Range>& ranges) {
        ranges.clear();
        for (const auto& n : nodes) {
            ++ranges[n.parentInode].count;
        }
        uint32_t next = 0;
        for (auto& [parent, r] : ranges) {
            r.first = next;
            next += r.count;
            r.count = 0;
        }
        index.assign(nodes.size(), 0);
        for (uint32_t i = 0; i < nodes.size(); ++i) {
            Range& r = ranges[nodes[i].parentInode];
            index[r.first + r.count++] = i;
        }
    };
    build(folders_, childFolderIndex_, childFolderRange_);
    build(files_, childFileIndex_, childFileRange_);
}

std::span<const uint32_t> RecoveredTree::ChildFolders(uint32_t parentInode) const {
    const auto it = childFolderRange_.find(parentInode);
    if (it == childFolderRange_.end())
        return {};
    return std::span<const uint32_t>(childFolderIndex_).subspan(it->second.first, it->second.count);
}

std::span<const uint32_t> RecoveredTree::ChildFiles(uint32_t parentInode) const {
    const auto it = childFileRange_.find(parentInode);
    if (it == childFileRange_.end())
        return {};
    return std::span<const uint32_t>(childFileIndex_).subspan(it->second.first, it->second.count);
}

size_t RecoveredTree::IndexBytes() const {
    constexpr size_t kHashEntry = 32; // node, key, value and bucket pointer
    return folders_.capacity() * sizeof(FolderNode) + files_.capacity() * sizeof(FileNode) +
           dirNames_.capacity() * sizeof(DirNameRecord) +
           (folderByInode_.size() + dirNameByInode_.size() + childFolderRange_.size() +
            childFileRange_.size()) *
               kHashEntry +
           (childFolderIndex_.capacity() + childFileIndex_.capacity()) * sizeof(uint32_t);
}

} // namespace trevik

#include "ufs/recovered_tree.h"

#include <algorithm>
#include <new>

namespace trevik {

NameRef RecoveredTree::Store(std::string_view name) {
    if (name.size() > 255) {
        name = name.substr(0, 255);
    }
    NameRef ref{arena_.size(), static_cast<uint32_t>(name.size())};
    arena_.append(name);
    return ref;
}

namespace {

// Gives inode its place `index` in a list keyed by inode; false when the inode cannot be a
// user's (0, 1 and the root are the file system's) or the list already holds it.
bool Claim(std::unordered_map<uint32_t, uint32_t>& byInode, uint32_t inode, size_t index) {
    return inode >= 3 && byInode.try_emplace(inode, static_cast<uint32_t>(index)).second;
}

} // namespace

bool RecoveredTree::AddFolderNode(std::string_view name, uint32_t inode, uint32_t parentInode,
                                  int32_t modifiedTime, Found found) {
    if (!Claim(folderByInode_, inode, folders_.size())) {
        return false;
    }
    folders_.push_back({.inode = inode,
                        .ordinal = static_cast<uint32_t>(folders_.size()),
                        .parentInode = parentInode,
                        .modifiedTime = modifiedTime,
                        .name = Store(name),
                        .found = found});
    return true;
}

bool RecoveredTree::AddFileNode(std::string_view name, uint32_t inode, uint32_t parentInode,
                                int32_t modifiedTime, uint64_t size, uint16_t mode, bool damaged,
                                Found found) {
    if (inode < 3) {
        return false;
    }
    files_.push_back({.parentInode = parentInode,
                      .inode = inode,
                      .ordinal = static_cast<uint32_t>(files_.size()),
                      .modifiedTime = modifiedTime,
                      .size = size,
                      .mode = mode,
                      .damaged = damaged,
                      .found = found,
                      .name = Store(name)});
    return true;
}

bool RecoveredTree::AddDirName(std::string_view name, uint32_t inode, uint32_t parentInode) {
    if (!Claim(dirNameByInode_, inode, dirNames_.size())) {
        return false;
    }
    dirNames_.push_back({inode, parentInode, Store(name)});
    return true;
}

void RecoveredTree::Reserve(size_t files, size_t folders, size_t nameBytes) {
    try {
        files_.reserve(files);
        folders_.reserve(folders);
        arena_.reserve(nameBytes);
    } catch (const std::bad_alloc&) {
        // Only a hint: the lists grow as they always could.
    }
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

int64_t RecoveredTree::ParentSlot(uint32_t parentInode) const {
    if (parentInode == kRootInode) {
        return 0;
    }
    const int64_t i = FindFolder(parentInode);
    return i < 0 ? -1 : i + 1;
}

// A counting sort by parent slot: linear, and stable, so list order is kept.
template <typename Node>
void RecoveredTree::BuildIndex(const std::vector<Node>& nodes, ChildIndex& index) const {
    const size_t slots = folders_.size() + 1;
    std::vector<int64_t> slotOf(nodes.size());
    index.start.assign(slots + 1, 0);
    for (size_t i = 0; i < nodes.size(); ++i) {
        slotOf[i] = ParentSlot(nodes[i].parentInode);
        if (slotOf[i] >= 0)
            ++index.start[static_cast<size_t>(slotOf[i]) + 1];
    }
    for (size_t s = 0; s < slots; ++s)
        index.start[s + 1] += index.start[s];
    index.nodes.assign(index.start[slots], 0);
    std::vector<uint32_t> fill(index.start.begin(), index.start.end() - 1);
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (slotOf[i] >= 0)
            index.nodes[fill[static_cast<size_t>(slotOf[i])]++] = static_cast<uint32_t>(i);
    }
}

void RecoveredTree::BuildChildIndex() {
    BuildIndex(folders_, childFolders_);
    BuildIndex(files_, childFiles_);
}

std::span<const uint32_t> RecoveredTree::Children(const ChildIndex& index,
                                                  uint32_t parentInode) const {
    const int64_t slot = ParentSlot(parentInode);
    if (slot < 0 || static_cast<size_t>(slot) + 1 >= index.start.size()) {
        return {};
    }
    const uint32_t first = index.start[static_cast<size_t>(slot)];
    const uint32_t last = index.start[static_cast<size_t>(slot) + 1];
    return std::span<const uint32_t>(index.nodes).subspan(first, last - first);
}

std::span<const uint32_t> RecoveredTree::ChildFolders(uint32_t parentInode) const {
    return Children(childFolders_, parentInode);
}

std::span<const uint32_t> RecoveredTree::ChildFiles(uint32_t parentInode) const {
    return Children(childFiles_, parentInode);
}

void RecoveredTree::WalkSubtree(uint32_t folderInode, WalkOrder order,
                                SubtreeVisitor& visitor) const {
    struct Frame {
        int64_t folder; // -1: the start folder
        uint32_t inode;
        size_t nextFolder = 0;
        bool filesDone = false;
    };
    std::vector<uint8_t> entered(folders_.size(), 0);
    std::vector<Frame> stack{{-1, folderInode}};
    auto visitFiles = [&](Frame& top) {
        top.filesDone = true;
        for (uint32_t f : ChildFiles(top.inode)) {
            if (visitor.Stopped())
                return;
            visitor.VisitFile(f, stack.size());
        }
    };
    while (!stack.empty() && !visitor.Stopped()) {
        Frame& top = stack.back();
        if (order == WalkOrder::FilesFirst && !top.filesDone) {
            visitFiles(top);
            continue;
        }
        const auto children = ChildFolders(top.inode);
        if (top.nextFolder < children.size()) {
            const uint32_t child = children[top.nextFolder++];
            if (entered[child]) {
                continue;
            }
            entered[child] = 1;
            const size_t depth = stack.size();
            if (visitor.EnterFolder(child, depth)) {
                stack.push_back({child, folders_[child].inode});
            }
            continue;
        }
        if (!top.filesDone) {
            visitFiles(top);
            continue;
        }
        const Frame done = top;
        stack.pop_back();
        if (done.folder >= 0) {
            visitor.LeaveFolder(static_cast<uint32_t>(done.folder), stack.size());
        }
    }
}

size_t RecoveredTree::IndexBytes() const {
    constexpr size_t kHashEntry = 32; // node, key, value and bucket pointer
    return folders_.capacity() * sizeof(FolderNode) + files_.capacity() * sizeof(FileNode) +
           dirNames_.capacity() * sizeof(DirNameRecord) +
           (folderByInode_.size() + dirNameByInode_.size()) * kHashEntry +
           (childFolders_.start.capacity() + childFolders_.nodes.capacity() +
            childFiles_.start.capacity() + childFiles_.nodes.capacity()) *
               sizeof(uint32_t);
}

} // namespace trevik

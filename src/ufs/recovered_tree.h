#pragma once

// What a mount finds: flat, append-only lists of folders and files whose parent relation
// is an inode number, in order of discovery. Names live in one arena; indexes (inode to
// folder, inode to name record, parent to children) keep every lookup O(1) or
// O(children) while giving the same first match as a scan from the head would.

#include "format/ufs_format.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace trevik {

using ufs::kRootInode;
inline constexpr uint32_t kLostDirInode = 16777207; // 0xFFFFF7
inline constexpr const char* kLostDirName = "LostDir";

// An entry whose inode could not be read: its name, in its folder, is all that is known of
// it (the inode-table sector that failed says why).
struct UnreadableEntry {
    uint32_t folderInode = 0;
    uint32_t inode = 0;
    uint64_t sector = 0;
    std::string name;
};

struct NameRef {
    uint64_t offset = 0;
    uint32_t length = 0;
};

// How a node was found: named by an entry of a folder walked from the root or found, found
// by the scan of the inode tables, an in-use file no folder names, or an entry of a
// folder rebuilt from its directory blocks.
enum class Found : uint8_t { Walk, InodeScan, Orphan, DirBlocks };

struct FolderNode {
    uint32_t inode = 0;
    uint32_t ordinal = 0;
    uint32_t parentInode = 0;
    int32_t modifiedTime = 0;
    NameRef name;
    Found found = Found::Walk;
};

struct FileNode {
    uint32_t parentInode = 0;
    uint32_t inode = 0;
    uint32_t ordinal = 0;
    int32_t modifiedTime = 0;
    uint64_t size = 0;    // the inode's whole 64-bit size
    uint16_t mode = 0;    // type and permissions, as the inode held them
    bool damaged = false; // its inode cannot be what it claims: listed, never copied
    Found found = Found::Walk;
    NameRef name;
};

struct DirNameRecord {
    uint32_t inode = 0;
    uint32_t parentInode = 0;
    NameRef name;
};

// How a subtree is visited: a folder's files before its sub-folders (the order a copy
// writes them), or its sub-folders (each with all it holds) before its files (the order a
// listing shows them).
enum class WalkOrder { FilesFirst, FoldersFirst };

// Receives a subtree walk's visits. Depth 1 is the start folder's children.
class SubtreeVisitor {
public:
    virtual ~SubtreeVisitor() = default;
    // On reaching folder i; false leaves it and what it holds unvisited (and not left).
    virtual bool EnterFolder(uint32_t /*folder*/, size_t /*depth*/) { return true; }
    virtual void LeaveFolder(uint32_t /*folder*/, size_t /*depth*/) {}
    virtual void VisitFile(uint32_t /*file*/, size_t /*depth*/) {}
    // Polled between visits: true ends the walk.
    virtual bool Stopped() { return false; }
};

class RecoveredTree {
public:
    // Appends a folder unless inode < 3 or a folder with that inode exists. True if added.
    bool AddFolderNode(std::string_view name, uint32_t inode, uint32_t parentInode,
                       int32_t modifiedTime, Found found = Found::Walk);
    // Appends a file unless inode < 3. The same inode may be listed many times.
    bool AddFileNode(std::string_view name, uint32_t inode, uint32_t parentInode,
                     int32_t modifiedTime, uint64_t size, uint16_t mode, bool damaged = false,
                     Found found = Found::Walk);
    // The names entries gave folder inodes, in the order first seen (Extensive).
    const std::vector<DirNameRecord>& DirNames() const { return dirNames_; }
    // Records the first name seen for a folder inode (inode >= 3).
    bool AddDirName(std::string_view name, uint32_t inode, uint32_t parentInode);

    void FreeRecoveredTree();

    // Makes room for about this many entries and name bytes before a walk adds them, so
    // that the lists are not copied as they grow. A hint: they grow past it as needed.
    void Reserve(size_t files, size_t folders, size_t nameBytes);

    // Builds the parent-to-children index. Call once the lists stop growing.
    void BuildChildIndex();

    const std::vector<FolderNode>& Folders() const { return folders_; }
    const std::vector<FileNode>& Files() const { return files_; }
    uint32_t FolderCount() const { return static_cast<uint32_t>(folders_.size()); }
    uint32_t FileCount() const { return static_cast<uint32_t>(files_.size()); }

    std::string_view Name(NameRef ref) const {
        return std::string_view(arena_).substr(ref.offset, ref.length);
    }
    std::string_view FolderName(size_t i) const { return Name(folders_[i].name); }
    std::string_view FileName(size_t i) const { return Name(files_[i].name); }

    // Folder index by inode, or -1.
    int64_t FindFolder(uint32_t inode) const;
    // Name record by inode, or null.
    const DirNameRecord* FindDirName(uint32_t inode) const;

    void RenameFolder(size_t i, std::string_view name) { folders_[i].name = Store(name); }
    void RenameFile(size_t i, std::string_view name) { files_[i].name = Store(name); }
    void SetFolderParent(size_t i, uint32_t parentInode) { folders_[i].parentInode = parentInode; }

    // Children of a folder inode, in list order (after BuildChildIndex).
    std::span<const uint32_t> ChildFolders(uint32_t parentInode) const;
    std::span<const uint32_t> ChildFiles(uint32_t parentInode) const;

    // Visits everything below folder inode `folderInode` (the root: kRootInode), depth first
    // with an explicit stack, so the disk cannot decide the depth of any recursion. Each
    // folder is entered once, even where damaged parent links would make it loop.
    void WalkSubtree(uint32_t folderInode, WalkOrder order, SubtreeVisitor& visitor) const;

    // Bytes held beyond the names, for the memory benchmark.
    size_t IndexBytes() const;
    size_t ArenaBytes() const { return arena_.capacity(); }

private:
    // Children grouped by parent slot (0: the root, i + 1: folder i), list order kept
    // within a parent; start[s] .. start[s + 1] are slot s's entries.
    struct ChildIndex {
        std::vector<uint32_t> start;
        std::vector<uint32_t> nodes;
    };
    int64_t ParentSlot(uint32_t parentInode) const;
    template <typename Node>
    void BuildIndex(const std::vector<Node>& nodes, ChildIndex& index) const;
    std::span<const uint32_t> Children(const ChildIndex& index, uint32_t parentInode) const;

    NameRef Store(std::string_view name);

    std::string arena_;
    std::vector<FolderNode> folders_;
    std::vector<FileNode> files_;
    std::vector<DirNameRecord> dirNames_;
    std::unordered_map<uint32_t, uint32_t> folderByInode_;
    std::unordered_map<uint32_t, uint32_t> dirNameByInode_;
    ChildIndex childFolders_;
    ChildIndex childFiles_;
};

} // namespace trevik

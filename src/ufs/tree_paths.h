#pragma once

// Where a name of the volume becomes a path, and a path a node again. Every path a front
// end, a report or a warning shows is made here: "/"-separated from the volume's root,
// each name as shown (DisplayName). A shown name may itself hold a '/'; ResolvePath still
// finds such an entry from the path that ListPath printed.

#include "ufs/recovered_tree.h"

#include <optional>
#include <string>
#include <string_view>

namespace trevik {

// Names of the folders from below the root down to `folderInode`, joined by `separator`
// (no leading or trailing separator; empty for the root). `display` gives the names as
// shown, else as the raw bytes found on disk.
std::string FolderPath(const RecoveredTree& tree, uint32_t folderInode, char separator,
                       bool display);

// "/" for the root, else "/a/b": the folder with this inode.
std::string FolderItemPath(const RecoveredTree& tree, uint32_t folderInode);
// "/a/b/name" ("/name" in the root): a name of the folder with inode `parentInode`, given
// as the bytes on disk.
std::string ChildPath(const RecoveredTree& tree, uint32_t parentInode, std::string_view rawName);
// The path of file `fileIndex` of the tree.
std::string FileItemPath(const RecoveredTree& tree, uint32_t fileIndex);

// A node reached by a path: the root, a folder or a file (its index in Folders() or Files()).
struct PathTarget {
    enum Kind { Root, Folder, File } kind = Root;
    uint32_t index = 0;
    bool operator==(const PathTarget&) const = default;
};

// The node a path of shown names leads to ("", "/" and runs of '/' are the root). Where
// names hold '/', every way of reading the path is tried, a name without one first and a
// folder before a file; the work is bounded by the path's length times the entries on
// the way, whatever the names.
std::optional<PathTarget> ResolvePath(const RecoveredTree& tree, std::string_view path);

} // namespace trevik

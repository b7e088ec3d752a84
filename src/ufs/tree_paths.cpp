#include "ufs/tree_paths.h"

#include "ufs/names.h"

#include <algorithm>
#include <vector>

namespace trevik {

std::string FolderPath(const RecoveredTree& tree, uint32_t folderInode, char separator,
                       bool display) {
    std::vector<std::string_view> parts;
    uint32_t inode = folderInode;
    // Bounded by the folder count: a parent chain that loops cannot spin forever.
    for (uint32_t steps = 0; inode != kRootInode && steps <= tree.FolderCount(); ++steps) {
        const int64_t i = tree.FindFolder(inode);
        if (i < 0)
            break;
        parts.push_back(tree.FolderName(static_cast<size_t>(i)));
        inode = tree.Folders()[static_cast<size_t>(i)].parentInode;
    }
    std::string out;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (!out.empty())
            out.push_back(separator);
        out += display ? DisplayName(*it) : std::string(*it);
    }
    return out;
}

} // namespace trevik

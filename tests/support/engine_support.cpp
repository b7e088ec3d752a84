#include "support/engine_support.h"

#include <fstream>

namespace trevik::testing {

std::map<std::string, Listed> ListAll(const RecoveredTree& tree) {
    std::map<std::string, Listed> out;
    for (size_t i = 0; i < tree.Folders().size(); ++i) {
        const auto& f = tree.Folders()[i];
        out["/" + FolderPath(tree, f.inode, '/', false)] = {true, 0, f.inode};
    }
    for (size_t i = 0; i < tree.Files().size(); ++i) {
        const auto& f = tree.Files()[i];
        std::string dir = FolderPath(tree, f.parentInode, '/', false);
        out[(dir.empty() ? "" : "/" + dir) + "/" + std::string(tree.FileName(i))] = {false, f.size,
                                                                                     f.inode};
    }
    return out;
}

std::map<std::string, Listed> Expected(const imagebuilder::UfsVolume& vol) {
    std::map<std::string, Listed> out;
    for (const auto& n : vol.nodes) {
        if (n.path == "/")
            continue;
        const bool folder = n.kind == imagebuilder::NodeKind::Directory;
        out[n.path] = {folder, folder ? 0 : n.size, n.inode};
    }
    return out;
}

} // namespace trevik::testing

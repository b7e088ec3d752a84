#pragma once

#include "ufs/recovered_tree.h"

#include <string>

namespace trevik {

// Names of the folders from below the root down to `folderInode`, joined by `separator`
// (no leading or trailing separator; empty for the root). `display` gives the names as
// shown, else as the raw bytes found on disk.
std::string FolderPath(const RecoveredTree& tree, uint32_t folderInode, char separator,
                       bool display);

} // namespace trevik

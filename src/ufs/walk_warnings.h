#pragma once

#include "ufs/recovered_tree.h"
#include "ufs/warnings.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace trevik {

// The warnings a directory walk gathers. Folders are named by inode while the walk runs;
// they get their paths at the end, when the tree knows where every folder stands.
class WalkWarnings {
public:
    void Add(Warning w) { warnings_.push_back(std::move(w)); }
    // An inode-table sector cannot be read: said once per sector, whoever meets it.
    void UnreadableTableSector(uint64_t sector, uint64_t firstInode);
    // An entry named an inode in an unreadable inode-table sector: counted on that sector's
    // warning, the first names of them kept. An empty name stands for the folder itself.
    void LostInode(uint64_t sector, uint32_t inode, uint32_t directoryInode, std::string_view name);
    // Every warning gathered, with paths as `tree` now names them; the list starts again.
    std::vector<Warning> Take(const RecoveredTree& tree);

private:
    std::vector<Warning> warnings_;
    std::map<uint64_t, size_t> tableSectors_; // inode-table sector -> its warning
    struct LostName {
        size_t warning;
        uint32_t directoryInode;
        std::string name;
    };
    std::vector<LostName> lostNames_;
};

} // namespace trevik

#pragma once

// What a mount or a copy could not recover whole, as values: each front end says it in
// its own words. Nothing that is lost may be lost without one of these (or an incomplete
// or damaged entry).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevik {

enum class WarningKind {
    UnreadableInodes,    // an inode-table sector cannot be read
    UnreadableDirectory, // a chunk of a folder's entries cannot be read
    BrokenDirectory,     // a chunk of a folder's entries holds no valid structure
    UnreadableIndirect,  // an indirect block of a folder's block map cannot be read
    PastEnd,             // the volume reaches past the end of the device
    CorrectedSuperblock, // the primary superblock is unusable; a copy was used
    DamagedBlockMap,     // a folder's block map points outside the volume, loops or repeats
    RebuildLimit,        // more loose directory blocks than a rebuild keeps: the rest are not read
    LogDamaged,          // the UFS log cannot be trusted (whole or from a point on)
    Stopped,             // the user stopped the search: only what was found by then is listed
};

struct Warning {
    WarningKind kind = WarningKind::UnreadableInodes;
    uint32_t folderInode = 0; // the folder concerned, when there is one
    std::string path;         // its path in the recovered tree ("/a/b"), once known
    std::optional<uint64_t> sector;
    uint32_t firstInode = 0; // the inodes concerned, when known (lastInode != 0)
    uint32_t lastInode = 0;
    uint64_t count = 0;             // sectors past the end; entries that named lost inodes
    std::vector<std::string> names; // paths of the first entries that named lost inodes
    uint64_t otherSector = 0;       // CorrectedSuperblock: the copy used
    std::string reason; // CorrectedSuperblock: why the primary was refused; LogDamaged: why
};

// Most names kept on one warning; `count` holds them all.
inline constexpr size_t kWarningNamesKept = 20;

} // namespace trevik

#pragma once

// The attributes an item of the recovered tree is given: by a copy, on what it writes, and
// by the read-only mount, on what it shows. One rule for both, so that a file has the same
// mode, owner and time wherever it is seen.

#include "ufs/inode.h"
#include "ufs/recovered_tree.h"

#include <cstdint>

namespace trevik {

// What the caller lets through of the inode.
struct AttributeRules {
    bool setid = false; // keep set-user-ID, set-group-ID and sticky bits
    bool owner = false; // give the disk's owner and group
};

struct ItemAttributes {
    uint32_t mode = 0; // file type and permission bits (the bits the rules leave)
    uint32_t uid = 0;
    uint32_t gid = 0;
    bool owner = false; // uid and gid are the disk's and are to be given
    int32_t mtime = 0;
    uint64_t size = 0;   // as listed
    uint64_t blocks = 0; // 512-byte blocks the inode says it holds (0 when unknown)

    uint32_t Permissions() const { return mode & 07777; }
};

// A file (or link, or special file) of the listing, with its inode as read now. A file
// whose inode cannot be read now is a plain file of the listed size, readable by all; a
// damaged one shows no contents.
ItemAttributes FileAttributes(const FileNode& node, const InodeRead& read, AttributeRules rules);

// A folder, listed with time `listedTime`. One whose inode is gone (or that the tree made)
// is open to all to read.
ItemAttributes FolderAttributes(const InodeRead& read, int32_t listedTime, AttributeRules rules);

} // namespace trevik

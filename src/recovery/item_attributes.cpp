#include "recovery/item_attributes.h"

#include "format/ufs_format.h"

namespace trevik {

namespace {

uint32_t Kept(uint16_t mode, AttributeRules rules) {
    return mode & (rules.setid ? 07777u : 0777u);
}

void Owner(ItemAttributes& a, const Inode& inode, AttributeRules rules) {
    a.uid = inode.uid;
    a.gid = inode.gid;
    a.owner = rules.owner;
}

} // namespace

ItemAttributes FileAttributes(const FileNode& node, const InodeRead& read, AttributeRules rules) {
    ItemAttributes a;
    a.size = node.size;
    a.mtime = node.modifiedTime;
    if (node.damaged) {
        a.mode = ufs::kTypeFile | 0444;
        a.size = 0;
        return a;
    }
    if (!read.Ok()) {
        a.mode = ufs::kTypeFile | 0644;
        return a;
    }
    const Inode& inode = read.inode;
    const uint32_t type = ufs::TypeOf(inode.mode) == 0 ? ufs::kTypeFile : ufs::TypeOf(inode.mode);
    a.mode = type | Kept(inode.mode, rules);
    a.mtime = inode.modifiedTime;
    a.blocks = inode.blocks;
    Owner(a, inode, rules);
    return a;
}

ItemAttributes FolderAttributes(const InodeRead& read, int32_t listedTime, AttributeRules rules) {
    ItemAttributes a;
    a.mode = ufs::kTypeDir | 0755;
    a.mtime = listedTime;
    if (read.Ok() && read.inode.IsDirectory()) {
        a.mode = ufs::kTypeDir | Kept(read.inode.mode, rules);
        Owner(a, read.inode, rules);
    }
    return a;
}

} // namespace trevik

#include "ufs/directory.h"

#include "ufs/big_endian.h"
#include "ufs/ufs_format.h"

#include <algorithm>

namespace trevik {

void DirectoryWalker::Progress(uint32_t percent) {
    if (observer_ != nullptr && percent != lastProgress_) {
        lastProgress_ = percent;
        observer_->OnProgress(percent);
    }
}

void DirectoryWalker::ParseDirectoryBlock(uint64_t sector, uint32_t directoryInode, uint32_t length,
                                          bool firstBlock) {
    if (observer_ != nullptr) {
        observer_->OnCurrentSector(sector);
    }
    const VolumeGeometry& g = access_.Geometry();
    length = std::min(length, g.blockSize);
    const uint32_t sectors = (length + 511) / 512;
    block_.resize(size_t{sectors} * 512);
    uint32_t bad = 0;
    access_.Reader().Read(sector, sectors, block_.data(), &bad);
    if (bad != 0) {
        // Unreadable sectors must read as zeros, which ends their chunks without an entry,
        // never as what the buffer held before.
        std::fill(block_.begin(), block_.end(), 0);
        access_.Reader().Read(sector, sectors, block_.data());
    }
    const std::span<const uint8_t> b(block_);

    if (firstBlock && (length < 12 || b[8] != '.' || ReadBe32(b, 0) != directoryInode)) {
        return;
    }
    for (uint32_t chunk = 0; chunk < length; chunk += ufs::kDirChunk) {
        const uint32_t end = std::min(chunk + ufs::kDirChunk, length);
        uint32_t o = chunk;
        while (o + 8 <= end) {
            if (Stopped()) {
                return;
            }
            const uint32_t inode = ReadBe32(b, o);
            const uint32_t reclen = ReadBe16(b, o + 4);
            const uint32_t namlen = b[o + 7]; // Solaris' 16-bit length and BSD's 8-bit one alike
            if (reclen < 8 || o + reclen > end) {
                break; // damaged: the rest of this chunk cannot be trusted
            }
            const uint32_t next = o + reclen;
            if (inode == 0) {
                o = next; // what a removal leaves at the head of a chunk
                continue;
            }
            if (inode == 0xFFFFFFFF || namlen == 0 || 8 + namlen > reclen ||
                o + 8 + namlen >= end) {
                break;
            }
            const std::string_view name(reinterpret_cast<const char*>(b.data()) + o + 8, namlen);
            o = next;
            if (name == "." || name == "..") {
                continue;
            }
            const InodeInfo info = access_.ReadInodeInfo(inode);
            // An entry must name a live inode: one with a time, or one whose type bits are set.
            if (!info.located || (info.modifiedTime <= 0 && (info.mode & 0xF000) == 0)) {
                continue;
            }
            if (info.isDirectory) {
                if (mode_ == RecoveryMode::Normal) {
                    tree_.AddFolderNode(name, inode, directoryInode, info.modifiedTime);
                } else {
                    tree_.AddDirName(name, inode, directoryInode);
                }
            } else {
                tree_.AddFileNode(name, inode, directoryInode, info.modifiedTime, info.size,
                                  info.mode);
            }
        }
    }
}

void DirectoryWalker::WalkDirectoryInode(uint32_t n) {
    Inode in;
    if (!access_.ReadInode(n, in) || !in.IsDirectory()) {
        return;
    }
    if (in.size == 0 || in.size % 512 != 0) {
        return;
    }
    const VolumeGeometry& g = access_.Geometry();
    BlockMap map(access_, in);
    const uint64_t volumeBytes = uint64_t{g.sizeFrags} * g.fragmentSize;
    const uint64_t size = std::min(in.size, std::max<uint64_t>(volumeBytes, g.blockSize));
    const uint64_t blocks = std::min((size + g.blockSize - 1) / g.blockSize, map.Capacity());
    for (uint64_t lbn = 0; lbn < blocks && !Stopped();) {
        const uint64_t skipTo = map.SkipHole(lbn);
        if (skipTo != lbn) {
            lbn = skipTo;
            continue;
        }
        const uint32_t frag = map.Lookup(lbn, nullptr);
        const uint64_t length = std::min<uint64_t>(size - lbn * g.blockSize, g.blockSize);
        const uint64_t frags = (length + g.fragmentSize - 1) / g.fragmentSize;
        if (frag != 0 && access_.FragmentsInVolume(frag, frags)) {
            ParseDirectoryBlock(access_.FragmentSector(frag), n, static_cast<uint32_t>(length),
                                lbn == 0);
        }
        ++lbn;
    }
}

void DirectoryWalker::NormalWalk() {
    stop_.store(false);
    WalkDirectoryInode(kRootInode);
    uint64_t value = 0;
    uint32_t shown = 0;
    for (size_t i = 0; i < tree_.Folders().size() && !Stopped(); ++i) {
        WalkDirectoryInode(tree_.Folders()[i].inode);
        value += 100;
        const uint32_t pos =
            static_cast<uint32_t>(std::min<uint64_t>(99, value / (tree_.FolderCount() + 1000)));
        shown = std::max(shown, pos);
        Progress(shown);
    }
}

void DirectoryWalker::ScanInodeTables() {
    const VolumeGeometry& g = access_.Geometry();
    const uint32_t groups = g.groupCount;
    const uint64_t total = std::max<uint64_t>(g.totalInodes, 1);
    constexpr uint32_t kRun = 64;
    std::vector<uint8_t> run(kRun * 512);
    std::vector<uint8_t> first(512);
    uint64_t n = 0;
    for (uint32_t grp = 0; grp < groups && !Stopped(); ++grp) {
        n = uint64_t{grp} * g.inodesPerGroup;
        const uint64_t table = access_.InodeTableSector(grp);
        const uint32_t sectors = g.inodesPerGroup / 4;
        if (!access_.LocateInode(static_cast<uint32_t>(std::max<uint64_t>(n, 2)))) {
            break; // groups past the end of the cylinder-group table
        }
        for (uint32_t s = 0; s < sectors && !Stopped(); s += kRun) {
            const uint32_t count = std::min(kRun, sectors - s);
            std::fill(run.begin(), run.end(), 0);
            access_.Reader().Read(table + s, count, run.data());
            for (uint32_t k = 0; k < count * 4 && !Stopped(); ++k, ++n) {
                const auto raw = std::span<const uint8_t, 128>(run.data() + k * 128, 128);
                const Inode in = DecodeInode(raw);
                if (n >= 2 && in.IsDirectory()) {
                    const uint32_t db0 = in.direct[0];
                    if (db0 != 0 && access_.FragmentsInVolume(db0, 1)) {
                        std::fill(first.begin(), first.end(), 0);
                        access_.Reader().Read(access_.FragmentSector(db0), 1, first.data());
                        const uint32_t dot = ReadBe32(first, 0);
                        const uint32_t dotdot = ReadBe32(first, 12);
                        if (first[8] == '.' && dot >= 2 && dot == n && dotdot >= 2) {
                            const auto inode = static_cast<uint32_t>(n);
                            if (inode != kRootInode) {
                                tree_.AddFolderNode("Dir" + std::to_string(inode), inode, dotdot,
                                                    in.modifiedTime);
                            }
                            WalkDirectoryInode(inode);
                        }
                    }
                }
                if ((n + 1) % 100 == 0) {
                    Progress(static_cast<uint32_t>(std::min<uint64_t>(100, (n + 1) * 100 / total)));
                }
            }
        }
    }
}

void DirectoryWalker::ResolveFolderNames() {
    if (observer_ != nullptr) {
        observer_->OnStatusText(kCaptionFinalizing);
    }
    for (size_t i = 0; i < tree_.Folders().size(); ++i) {
        const FolderNode& f = tree_.Folders()[i];
        const DirNameRecord* rec = tree_.FindDirName(f.inode);
        if (rec != nullptr && rec->parentInode == f.parentInode) {
            const std::string name(tree_.Name(rec->name));
            tree_.RenameFolder(i, name);
        }
    }
}

void DirectoryWalker::SearchLostData() {
    if (observer_ != nullptr) {
        observer_->OnStatusText(kCaptionLostData);
    }
    Progress(0);
    tree_.AddFolderNode(kLostDirName, kLostDirInode, kRootInode, 0);
    stop_.store(false);
    for (size_t k = 0; k < tree_.Folders().size() && !Stopped(); ++k) {
        Progress(static_cast<uint32_t>(std::min<uint64_t>(99, 100 * k / tree_.FolderCount())));
        const uint32_t parent = tree_.Folders()[k].parentInode;
        if (parent == kRootInode || tree_.FindFolder(parent) >= 0) {
            continue;
        }
        tree_.AddFolderNode("Dir" + std::to_string(parent), parent, kLostDirInode, 0);
    }
    stop_.store(false);
}

void DirectoryWalker::GatherUnreachable() {
    tree_.BuildChildIndex();
    const auto& folders = tree_.Folders();
    std::vector<uint8_t> reached(folders.size(), 0);
    std::vector<uint32_t> work;
    auto markFrom = [&](uint32_t inode) {
        work.push_back(inode);
        while (!work.empty()) {
            const uint32_t p = work.back();
            work.pop_back();
            for (uint32_t i : tree_.ChildFolders(p)) {
                if (!reached[i]) {
                    reached[i] = 1;
                    work.push_back(folders[i].inode);
                }
            }
        }
    };
    markFrom(kRootInode);
    bool moved = false;
    for (size_t i = 0; i < folders.size(); ++i) {
        if (reached[i])
            continue;
        if (tree_.FindFolder(kLostDirInode) < 0) {
            tree_.AddFolderNode(kLostDirName, kLostDirInode, kRootInode, 0);
            reached.push_back(1);
        }
        tree_.SetFolderParent(i, kLostDirInode);
        reached[i] = 1;
        markFrom(folders[i].inode);
        moved = true;
    }
    if (moved) {
        tree_.BuildChildIndex();
    }
}

} // namespace trevik

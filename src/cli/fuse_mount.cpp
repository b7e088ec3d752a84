#define FUSE_USE_VERSION 34

#include "cli/fuse_mount.h"

#include "format/sector.h"
#include "recovery/item_attributes.h"
#include "recovery/output_names.h"
#include "ufs/file_reader.h"
#include "ufs/inode.h"
#include "ufs/names.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <iostream>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unordered_map>
#include <vector>

namespace trevik::cli {
namespace {

constexpr double kForever = 86400.0 * 365;        // nothing here ever changes
constexpr uint64_t kIndexIno = uint64_t{1} << 32; // files whose inode a folder also claims
constexpr size_t kMostRead = 1 << 20;
constexpr size_t kNameMax = 255;

struct Entry {
    std::string name;
    uint64_t ino = 0;
    bool folder = false;
};

// One folder's entries under the names a copy would write (shown as ls shows them,
// without '/' or NUL, never "", "." or "..", at most 255 bytes, unique: a damaged folder may
// name two items alike and the later gets " (N)"), found by name in constant time.
struct Listing {
    std::vector<Entry> entries;
    std::unordered_map<std::string, size_t> byName;
};

class Volume {
public:
    Volume(Session& session, const MountedVolume& volume, bool zeroFill, bool keepSetid)
        : tree_(volume.tree), volume_(volume),
          access_(session.Reader(), volume.geometry, volume.groupTable),
          zeroFill_(zeroFill), rules_{keepSetid, true} {
        for (uint32_t f = 0; f < tree_.Files().size(); ++f) {
            const uint32_t inode = tree_.Files()[f].inode;
            fileOfInode_.try_emplace(inode, f);
            ++links_[inode];
        }
    }

    // The item an inode number here stands for.
    struct Item {
        enum Kind { None, Root, Folder, File } kind = None;
        uint32_t index = 0;
        uint32_t inode = 0;
    };
    Item Resolve(uint64_t ino) const {
        if (ino == FUSE_ROOT_ID)
            return {Item::Root, 0, kRootInode};
        if (ino >= kIndexIno) {
            const uint64_t f = ino - kIndexIno;
            return f < tree_.Files().size()
                       ? Item{Item::File, static_cast<uint32_t>(f), tree_.Files()[f].inode}
                       : Item{};
        }
        const auto inode = static_cast<uint32_t>(ino);
        if (const int64_t folder = tree_.FindFolder(inode); folder >= 0)
            return {Item::Folder, static_cast<uint32_t>(folder), inode};
        if (const auto it = fileOfInode_.find(inode); it != fileOfInode_.end())
            return {Item::File, it->second, inode};
        return {};
    }

    uint64_t FileIno(uint32_t file) const {
        const uint32_t inode = tree_.Files()[file].inode;
        return tree_.FindFolder(inode) >= 0 || inode == kRootInode ? kIndexIno + file : inode;
    }
    static uint64_t FolderIno(uint32_t inode) { return inode == kRootInode ? FUSE_ROOT_ID : inode; }

    const Listing& ListingOf(uint32_t folderInode) {
        auto [it, fresh] = listings_.try_emplace(folderInode);
        if (!fresh)
            return it->second;
        Listing& l = it->second;
        NameClaims names;
        names.nameMax = kNameMax;
        auto add = [&](std::string_view raw, uint64_t ino, bool folder) {
            std::string unique = names.RunName(BaseOutputName(DisplayName(raw), kNameMax));
            names.Claim(unique);
            l.byName.emplace(unique, l.entries.size());
            l.entries.push_back({std::move(unique), ino, folder});
        };
        for (const uint32_t f : tree_.ChildFolders(folderInode))
            add(tree_.FolderName(f), FolderIno(tree_.Folders()[f].inode), true);
        for (const uint32_t f : tree_.ChildFiles(folderInode))
            add(tree_.FileName(f), FileIno(f), false);
        return l;
    }

    bool Attributes(uint64_t ino, struct stat& st) {
        const Item item = Resolve(ino);
        if (item.kind == Item::None)
            return false;
        st = {};
        st.st_ino = ino;
        st.st_blksize = volume_.geometry.blockSize;
        ItemAttributes a;
        if (item.kind == Item::File) {
            const FileNode& n = tree_.Files()[item.index];
            a = FileAttributes(n, access_.ReadInode(n.inode), rules_);
            st.st_nlink = links_[n.inode];
        } else {
            InodeRead read;
            if (item.inode != kLostDirInode)
                read = access_.ReadInode(item.inode);
            // The root is no folder of the listing: its time is its inode's.
            int32_t listed = 0;
            if (item.kind == Item::Folder)
                listed = tree_.Folders()[item.index].modifiedTime;
            else if (read.Ok() && read.inode.IsDirectory())
                listed = read.inode.modifiedTime;
            a = FolderAttributes(read, listed, rules_);
            st.st_nlink = 2;
        }
        st.st_mode = a.mode;
        st.st_size = static_cast<off_t>(a.size);
        st.st_blocks = static_cast<blkcnt_t>(a.blocks);
        if (a.owner) {
            st.st_uid = a.uid;
            st.st_gid = a.gid;
        }
        st.st_mtim.tv_sec = a.mtime;
        st.st_atim = st.st_mtim;
        st.st_ctim = st.st_mtim;
        return true;
    }

    // Fills `out` with up to `size` bytes at `offset`; the error when nothing can be given.
    int Read(uint32_t file, uint64_t offset, size_t size, std::vector<char>& out) {
        const FileNode& n = tree_.Files()[file];
        const InodeRead r = access_.ReadInode(n.inode);
        if (!r.Ok())
            return EIO;
        FileReader reader(access_, r.inode);
        // Past the point where its map repeats itself nothing is the file's: it fails there,
        // or ends there with --zero-fill, as a copy ends it.
        const uint64_t trusted = TrustedLengthOf(file, r.inode);
        out.clear();
        if (offset >= trusted && offset < r.inode.size)
            return zeroFill_ ? 0 : EIO;
        const uint64_t end = std::min<uint64_t>(trusted, offset + size);
        std::vector<uint8_t> block(reader.BlockSize());
        const uint32_t bs = reader.BlockSize();
        for (uint64_t at = offset; at < end;) {
            const uint64_t lbn = at / bs; // whole blocks below the single-indirect level too
            const uint64_t start = reader.BlockOffset(lbn);
            const uint32_t len = reader.BlockLength(lbn);
            if (len == 0 || start + len <= at)
                break;
            const auto state = reader.ReadBlock(lbn, {block.data(), len});
            using State = FileReader::BlockState;
            if ((state == State::Damaged || state == State::Lost) && !zeroFill_) {
                // What came before the unreadable block is given; a read that starts in it
                // fails.
                return out.empty() ? EIO : 0;
            }
            const uint64_t from = at - start;
            const uint64_t take = std::min<uint64_t>(len - from, end - at);
            out.insert(out.end(), reinterpret_cast<const char*>(block.data()) + from,
                       reinterpret_cast<const char*>(block.data()) + from + take);
            at += take;
        }
        return 0;
    }

    uint64_t TrustedLengthOf(uint32_t file, const Inode& inode) {
        const auto [it, fresh] = trusted_.try_emplace(file, 0);
        if (fresh)
            it->second = TrustedLength(access_, inode);
        return it->second;
    }

    std::optional<std::string> LinkTarget(uint32_t file) {
        const InodeRead r = access_.ReadInode(tree_.Files()[file].inode);
        if (!r.Ok() || !r.inode.IsSymlink())
            return std::nullopt;
        return ReadSymlinkTarget(access_, r.inode);
    }

    const RecoveredTree& Tree() const { return tree_; }
    const MountedVolume& Mounted() const { return volume_; }

private:
    const RecoveredTree& tree_;
    const MountedVolume& volume_;
    InodeAccess access_;
    bool zeroFill_;
    // What a copy would give an item, set-ID bits as asked, with the disk's owner: the
    // mount is nosuid and nodev, so neither is honoured.
    const AttributeRules rules_;
    std::unordered_map<uint32_t, uint32_t> fileOfInode_;
    std::unordered_map<uint32_t, uint32_t> links_;
    std::unordered_map<uint32_t, Listing> listings_;
    std::unordered_map<uint32_t, uint64_t> trusted_; // by file: how far its map holds
};

Volume& Of(fuse_req_t req) {
    return *static_cast<Volume*>(fuse_req_userdata(req));
}

void ReplyEntry(fuse_req_t req, Volume& v, uint64_t ino) {
    fuse_entry_param e{};
    if (!v.Attributes(ino, e.attr)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    e.ino = ino;
    e.attr_timeout = kForever;
    e.entry_timeout = kForever;
    fuse_reply_entry(req, &e);
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    Volume& v = Of(req);
    const Volume::Item p = v.Resolve(parent);
    if (p.kind != Volume::Item::Root && p.kind != Volume::Item::Folder) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    const Listing& l = v.ListingOf(p.inode);
    const auto it = l.byName.find(name);
    if (it == l.byName.end()) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    ReplyEntry(req, v, l.entries[it->second].ino);
}

void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat st {};
    if (!Of(req).Attributes(ino, st)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_reply_attr(req, &st, kForever);
}

void ReadLink(fuse_req_t req, fuse_ino_t ino) {
    Volume& v = Of(req);
    const Volume::Item item = v.Resolve(ino);
    if (item.kind != Volume::Item::File) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    const auto target = v.LinkTarget(item.index);
    if (!target || target->find('\0') != std::string::npos) {
        fuse_reply_err(req, EIO);
        return;
    }
    fuse_reply_readlink(req, target->c_str());
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    Volume& v = Of(req);
    const Volume::Item item = v.Resolve(ino);
    if (item.kind != Volume::Item::File) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(req, EROFS);
        return;
    }
    if (v.Tree().Files()[item.index].damaged) {
        fuse_reply_err(req, EIO); // nothing its inode claims can be trusted
        return;
    }
    fi->fh = item.index;
    fi->direct_io = 1; // the reply is exactly what was read: no padding over a bad range
    fi->keep_cache = 0;
    fuse_reply_open(req, fi);
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    std::vector<char> data;
    const int err = Of(req).Read(static_cast<uint32_t>(fi->fh), static_cast<uint64_t>(offset),
                                 std::min(size, kMostRead), data);
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_buf(req, data.data(), data.size());
}

void OpenDir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const Volume::Item item = Of(req).Resolve(ino);
    if (item.kind != Volume::Item::Root && item.kind != Volume::Item::Folder) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    fi->fh = item.inode;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

void ReadDir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
    Volume& v = Of(req);
    const Listing& l = v.ListingOf(static_cast<uint32_t>(fi->fh));
    std::vector<char> buf(size);
    size_t used = 0;
    // Offsets: 1 ".", 2 "..", then entry k at k + 3.
    for (auto next = static_cast<uint64_t>(offset); next < l.entries.size() + 2; ++next) {
        struct stat st {};
        std::string name;
        if (next == 0) {
            name = ".";
            st.st_ino = ino;
            st.st_mode = S_IFDIR;
        } else if (next == 1) {
            name = "..";
            st.st_ino = FUSE_ROOT_ID;
            st.st_mode = S_IFDIR;
        } else {
            const Entry& e = l.entries[next - 2];
            name = e.name;
            st.st_ino = e.ino;
            st.st_mode = e.folder ? S_IFDIR : S_IFREG;
            if (!e.folder) {
                const Volume::Item item = v.Resolve(e.ino);
                if (item.kind == Volume::Item::File && !v.Tree().Files()[item.index].damaged) {
                    const uint16_t mode = v.Tree().Files()[item.index].mode;
                    if ((mode & S_IFMT) != 0)
                        st.st_mode = mode & S_IFMT;
                }
            }
        }
        const size_t n = fuse_add_direntry(req, buf.data() + used, size - used, name.c_str(), &st,
                                           static_cast<off_t>(next + 1));
        if (n > size - used)
            break;
        used += n;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void StatFs(fuse_req_t req, fuse_ino_t) {
    const Volume& v = Of(req);
    const VolumeGeometry& g = v.Mounted().geometry;
    struct statvfs s {};
    s.f_bsize = g.blockSize;
    s.f_frsize = g.fragmentSize;
    s.f_blocks = VolumeFragments(g);
    s.f_files = v.Tree().FileCount() + v.Tree().FolderCount() + 1;
    s.f_namemax = 255;
    s.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &s);
}

} // namespace

Status CheckMountpoint(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr)
        return Error{"cannot mount at " + path + ": " + std::strerror(errno)};
    bool empty = true;
    while (const dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    if (!empty)
        return Error{"cannot mount at " + path + ": it is not empty (mount on an empty folder)"};
    return Ok();
}

int ServeVolume(Session& session, const MountedVolume& volume, const ServeOptions& options) {
    Volume v(session, volume, options.zeroFill, options.keepSetid);
    fuse_lowlevel_ops ops{};
    ops.lookup = Lookup;
    ops.getattr = GetAttr;
    ops.readlink = ReadLink;
    ops.open = Open;
    ops.read = Read;
    ops.opendir = OpenDir;
    ops.readdir = ReadDir;
    ops.statfs = StatFs;
    // Read-only for the kernel too: every write fails with EROFS before it reaches us.
    std::string fsname = options.fsname; // a comma would start another option
    std::replace(fsname.begin(), fsname.end(), ',', '_');
    // Nothing on the disk is honoured as a set-ID program or a device node, whoever mounts
    // (libfuse's default too; said here so that it stays so).
    std::string mountOptions = "ro,nosuid,nodev,subtype=trevik,fsname=" + fsname;
    char program[] = "trevik-cli";
    char dashO[] = "-o";
    std::vector<char*> argv = {program, dashO, mountOptions.data()};
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, &v);
    fuse_opt_free_args(&args); // what the session added to them is ours to free
    if (se == nullptr) {
        std::cerr << "trevik-cli: cannot start the FUSE session\n";
        return 1;
    }
    int rc = 1;
    // The stop handlers that guard the mount's reading give way to the session's own, so
    // that the first SIGINT, SIGTERM or SIGHUP ends the loop and unmounts.
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, SIG_DFL);
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, options.mountpoint.c_str()) == 0) {
            std::cerr << "trevik-cli: mounted read-only at " << options.mountpoint
                      << "; unmount with fusermount3 -u " << options.mountpoint << "\n";
            fuse_daemonize(options.foreground ? 1 : 0);
            // The loop ends with the number of the signal that ended it: a clean stop.
            const int loop = fuse_session_loop(se);
            rc = loop == 0 || loop == SIGINT || loop == SIGTERM || loop == SIGHUP ? 0 : 1;
            fuse_session_unmount(se);
        } else {
            std::cerr << "trevik-cli: cannot mount at " << options.mountpoint
                      << " (is it an empty folder, and is /dev/fuse usable?)\n";
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    return rc;
}

} // namespace trevik::cli

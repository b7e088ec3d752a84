#include "recovery/extraction.h"

#include "format/unique_fd.h"
#include "ufs/file_reader.h"
#include "ufs/inode.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace trevik {

std::string SafeFileName(std::string_view raw) {
    std::string name(raw);
    for (char& c : name) {
        if (c == '/' || c == '\0')
            c = '_';
    }
    if (name.empty())
        return "_";
    if (name == "." || name == "..")
        return "_" + name;
    return name;
}

std::string OutputName(std::string_view raw, bool rawNames) {
    return SafeFileName(rawNames ? std::string(raw) : DisplayName(raw));
}

namespace {

// Backs `at` off to the start of the UTF-8 sequence it falls in.
size_t CharBoundary(const std::string& s, size_t at) {
    for (int back = 0; at > 0 && at < s.size() && back < 3; ++back) {
        if ((static_cast<uint8_t>(s[at]) & 0xC0) != 0x80)
            break;
        --at;
    }
    return at;
}

// stem + suffix + extension within `maxBytes`: the stem is cut, the extension kept while
// it is short enough to leave room for a name.
std::string Compose(const std::string& name, const std::string& suffix, size_t maxBytes) {
    const size_t dot = name.rfind('.');
    const size_t extAt = dot == std::string::npos || dot == 0 ? name.size() : dot;
    std::string stem = name.substr(0, extAt);
    std::string extension = name.substr(extAt);
    if (stem.size() + suffix.size() + extension.size() > maxBytes) {
        if (extension.size() + suffix.size() >= maxBytes / 2) {
            stem = name;
            extension.clear();
        }
        const size_t room = maxBytes > suffix.size() + extension.size()
                                ? maxBytes - suffix.size() - extension.size()
                                : 0;
        stem.resize(CharBoundary(stem, std::min(room, stem.size())));
    }
    return SafeFileName(stem + suffix + extension);
}

} // namespace

std::string FitName(const std::string& name, size_t maxBytes) {
    return name.size() <= maxBytes ? name : Compose(name, "", maxBytes);
}

std::string DuplicateName(const std::string& name, uint32_t k, size_t maxBytes) {
    return Compose(name, " (" + std::to_string(k) + ")", maxBytes);
}

size_t RemoveStaleTemporaries(int dirFd) {
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return 0;
    }
    const pid_t self = ::getpid();
    size_t removed = 0;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name(e->d_name);
        if (name.substr(0, kPartialPrefix.size()) != kPartialPrefix)
            continue;
        // The pid that wrote it, then "-<n>" and nothing else.
        size_t at = kPartialPrefix.size();
        uint64_t pid = 0;
        while (at < name.size() && name[at] >= '0' && name[at] <= '9' && pid < (1u << 30))
            pid = pid * 10 + static_cast<uint64_t>(name[at++] - '0');
        if (pid == 0 || pid >= (1u << 30) || at >= name.size() || name[at] != '-' ||
            static_cast<pid_t>(pid) == self)
            continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue; // that run may still be writing it
        // Never a folder: this run writes only files and links under such names.
        if (::unlinkat(dirFd, e->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

namespace {

constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr size_t kDefaultNameMax = 255;

// A destination that cannot take more ends the run; any other failure costs one item.
bool EndsRun(int err) {
    return err == ENOSPC || err == EDQUOT || err == EROFS || err == EIO;
}

struct timespec TimeOf(int32_t mtime) {
    struct timespec ts {};
    ts.tv_sec = mtime;
    return ts;
}

// The process's umask, read where the kernel shows it, without changing it.
mode_t CurrentUmask() {
    std::FILE* f = std::fopen("/proc/self/status", "re");
    if (f == nullptr)
        return 07777; // unknown: every mode is set explicitly
    char line[256];
    mode_t mask = 07777;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        unsigned v = 0;
        if (std::sscanf(line, "Umask: %o", &v) == 1) {
            mask = static_cast<mode_t>(v);
            break;
        }
    }
    std::fclose(f);
    return mask;
}

size_t NameMaxOf(int fd, size_t fallback) {
    const long v = ::fpathconf(fd, _PC_NAME_MAX);
    return v >= 14 && v <= 4096 ? static_cast<size_t>(v) : fallback;
}

// The attributes an item keeps from its inode.
struct Attributes {
    mode_t perm = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    int32_t mtime = 0;
    bool owner = false; // uid and gid are known
};

// A folder of the destination on the copy's path, from the destination down.
struct Frame {
    UniqueFd fd; // closed for deep frames and reopened from an ancestor when needed
    std::string name;
    Attributes attr;
    bool fresh = false;  // created by this run: nothing in it was there before
    bool isItem = false; // a folder of the volume (the destination itself is not)
    size_t nameMax = kDefaultNameMax;
    // Names this run gave in this folder, and the next " (N)" to try per name.
    std::unordered_set<std::string> claimed;
    std::unordered_map<std::string, uint32_t> nextSuffix;
};

// A temporary output on its way into place.
struct Output {
    UniqueFd fd;
    std::string temp;
};

// How copying a file's blocks ended, whether any part was unreadable or lost, and the
// system's error when writing failed.
struct Copied {
    enum End { Whole, Skipped, Stopped, Failed } end = Whole;
    bool damaged = false;
    int error = 0;
    uint64_t writtenEnd = 0; // where the last byte written ends: the file's size so far
};

class Extractor {
public:
    Extractor(const MountedVolume& v, SectorReader& r, const ExtractionOptions& o,
              ExtractionControl& c, ExtractionObserver* obs)
        : tree_(v.tree), access_(r, v.geometry, v.groupTable), opts_(o), control_(c),
          observer_(obs), root_(::geteuid() == 0), umask_(CurrentUmask()),
          pidTag_(std::string(kPartialPrefix) + std::to_string(::getpid()) + "-") {}

    ExtractionSummary Run(const std::vector<ExtractItem>& items, bool all,
                          const std::string& destination);

private:
    bool Stopping() {
        if (control_.stopSavingRequested.load()) {
            sum_.stopped = true;
        }
        return sum_.stopped || !sum_.error.empty();
    }
    // Records why the run cannot go on (the first reason only); the run then ends.
    void EndRun(const std::string& what, int err) {
        if (sum_.error.empty())
            sum_.error = what + ": " + std::strerror(err);
    }
    // An item that could not be written: the run ends only when the destination cannot
    // take more.
    void ItemFailed(const std::string& path, const std::string& what, int err) {
        if (EndsRun(err)) {
            EndRun(what + " " + path, err);
            return;
        }
        sum_.incomplete.push_back(path);
        sum_.skippedItems.push_back({path, what + ": " + std::strerror(err)});
    }
    void Skipped(const std::string& path, const char* reason) {
        sum_.skippedItems.push_back({path, reason});
    }

    void CountFolder(uint32_t inode);
    void CopyFolderTree(int64_t folder);
    int FrameFd(size_t k);
    bool PushFolder(uint32_t folder);
    void PopFolder();
    void ApplyFolderAttributes(size_t k);
    void CopyFile(uint32_t fileIndex);
    void PlaceItem(uint32_t fileIndex, const Inode& inode, bool lost);
    bool OpenTemp(int dirFd, Output& out, mode_t perm, uint32_t fileIndex);
    bool WriteRegular(int dirFd, Output& out, const Inode& inode, uint32_t fileIndex, bool lost,
                      bool& damaged);
    bool WriteLink(int dirFd, Output& out, const Inode& inode, uint32_t fileIndex);
    Copied CopyBlocks(int fd, const Inode& inode);
    bool MoveIntoPlace(int dirFd, Frame& frame, const Output& out, const std::string& base,
                       std::string& name, bool replace, uint32_t fileIndex);

    std::string ShownName(std::string_view raw) const {
        return opts_.rawNames ? std::string(raw) : DisplayName(raw);
    }
    // The first " (N)" name of `base` this run has not given in the frame.
    std::string RunName(Frame& f, const std::string& base);
    // The first " (N)" name of `base` neither given by this run nor in the folder.
    std::string FreeName(int dirFd, Frame& f, const std::string& base);
    mode_t Permissions(uint16_t mode) const {
        return static_cast<mode_t>(mode) & (opts_.keepSetid && root_ ? 07777 : 0777);
    }
    bool KeepOwner(const Attributes& a) const { return opts_.keepOwner && root_ && a.owner; }
    Attributes AttributesOf(const Inode& inode, bool known) const {
        return {static_cast<mode_t>(inode.mode & 07777), inode.uid, inode.gid, inode.modifiedTime,
                known};
    }

    std::string FilePath(uint32_t fileIndex) const {
        const std::string folder =
            FolderPath(tree_, tree_.Files()[fileIndex].parentInode, '/', true);
        return (folder.empty() ? "" : "/" + folder) + "/" + DisplayName(tree_.FileName(fileIndex));
    }
    std::string FolderItemPath(uint32_t folder) const {
        return "/" + FolderPath(tree_, tree_.Folders()[folder].inode, '/', true);
    }
    // Where `name` in the innermost frame lies below the destination.
    std::string DestPath(const std::string& name) const {
        std::string p;
        for (size_t k = 1; k < frames_.size(); ++k)
            p += frames_[k].name + "/";
        return p + name;
    }

    const RecoveredTree& tree_;
    InodeAccess access_;
    ExtractionOptions opts_;
    ExtractionControl& control_;
    ExtractionObserver* observer_;
    const bool root_;
    const mode_t umask_;
    const std::string pidTag_;
    ExtractionSummary sum_;
    ExtractionProgress progress_;
    std::vector<Frame> frames_;
    uint64_t tempCounter_ = 0;
};

void Extractor::CountFolder(uint32_t inode) {
    struct Count final : SubtreeVisitor {
        const RecoveredTree& tree;
        ExtractionProgress& progress;
        Count(const RecoveredTree& t, ExtractionProgress& p) : tree(t), progress(p) {}
        void VisitFile(uint32_t f, size_t) override {
            ++progress.filesTotal;
            progress.bytesTotal += tree.Files()[f].size;
        }
    } count(tree_, progress_);
    tree_.WalkSubtree(inode, WalkOrder::FilesFirst, count);
}

std::string Extractor::RunName(Frame& f, const std::string& base) {
    if (f.claimed.count(base) == 0)
        return base;
    uint32_t& k = f.nextSuffix[base];
    for (;;) {
        std::string candidate = DuplicateName(base, ++k, f.nameMax);
        if (f.claimed.count(candidate) == 0)
            return candidate;
    }
}

std::string Extractor::FreeName(int dirFd, Frame& f, const std::string& base) {
    uint32_t& k = f.nextSuffix[base];
    for (;;) {
        std::string candidate = DuplicateName(base, ++k, f.nameMax);
        struct stat st {};
        if (f.claimed.count(candidate) == 0 &&
            ::fstatat(dirFd, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return candidate;
    }
}

int Extractor::FrameFd(size_t k) {
    if (frames_[k].fd.Valid())
        return frames_[k].fd.Get();
    size_t j = k;
    while (!frames_[j].fd.Valid())
        --j;
    UniqueFd cur;
    int curFd = frames_[j].fd.Get();
    for (size_t m = j + 1; m <= k; ++m) {
        UniqueFd next(::openat(curFd, frames_[m].name.c_str(), kDirOpenFlags));
        if (!next.Valid()) {
            EndRun("Cannot reopen folder " + frames_[m].name, errno);
            return -1;
        }
        cur = std::move(next);
        curFd = cur.Get();
    }
    frames_[k].fd = std::move(cur);
    return frames_[k].fd.Get();
}

// Creates folder i inside the innermost frame (or goes into the folder of that name an
// earlier run left) and makes it the innermost. Deep trees keep a handle only every 64
// levels and reopen the others from there, so depth costs no handles. False when the
// folder cannot be made: its subtree is not copied, and the folder is reported.
bool Extractor::PushFolder(uint32_t folder) {
    constexpr size_t kKeepOpen = 64;
    const size_t k = frames_.size() - 1;
    const int fd = FrameFd(k);
    if (fd < 0)
        return false;
    Frame& parent = frames_[k];
    const std::string shown = ShownName(tree_.FolderName(folder));
    const std::string base = FitName(SafeFileName(shown), parent.nameMax);
    std::string name = RunName(parent, base);
    bool fresh = false;
    UniqueFd child;
    for (int attempt = 0; !child.Valid(); ++attempt) {
        fresh = ::mkdirat(fd, name.c_str(), 0700) == 0;
        if (!fresh && errno != EEXIST) {
            ItemFailed(FolderItemPath(folder), "Cannot create folder", errno);
            return false;
        }
        child.Reset(::openat(fd, name.c_str(), kDirOpenFlags));
        if (child.Valid())
            break;
        if ((errno != ENOTDIR && errno != ELOOP) || attempt > 1000) {
            ItemFailed(FolderItemPath(folder), "Cannot open folder", errno);
            return false;
        }
        name = FreeName(fd, parent, base); // a file or link holds the name
    }
    parent.claimed.insert(name);
    if (fresh) {
        ++sum_.foldersCreated;
    } else {
        // Left by an earlier run: filled again, so it must take new entries.
        struct stat st {};
        if (::fstat(child.Get(), &st) == 0 && (st.st_mode & 0700) != 0700)
            ::fchmod(child.Get(), (st.st_mode & 07777) | 0700);
        RemoveStaleTemporaries(child.Get());
    }
    if (name != shown)
        sum_.renamed.push_back({FolderItemPath(folder), DestPath(name)});

    Frame f;
    f.name = std::move(name);
    f.fresh = fresh;
    f.isItem = true;
    f.nameMax = NameMaxOf(child.Get(), parent.nameMax);
    const uint32_t inode = tree_.Folders()[folder].inode;
    InodeRead read;
    if (inode != kLostDirInode)
        read = access_.ReadInode(inode);
    if (read.Ok() && read.inode.IsDirectory()) {
        f.attr = AttributesOf(read.inode, true);
    } else {
        f.attr.perm = 0755; // a folder the tree made, or whose inode is gone
    }
    f.attr.mtime = tree_.Folders()[folder].modifiedTime;
    f.fd = std::move(child);
    if (k >= kKeepOpen && k % kKeepOpen != 0)
        frames_[k].fd.Reset();
    frames_.push_back(std::move(f));
    return true;
}

// Owner, then permissions (which a change of owner may clear), then the time, which the
// folder's contents no longer change.
void Extractor::ApplyFolderAttributes(size_t k) {
    const int fd = FrameFd(k);
    if (fd < 0)
        return;
    const Attributes& a = frames_[k].attr;
    if (KeepOwner(a))
        (void)::fchown(fd, a.uid, a.gid);
    ::fchmod(fd, Permissions(static_cast<uint16_t>(a.perm)));
    if (a.mtime > 0) {
        const struct timespec ts[2] = {TimeOf(a.mtime), TimeOf(a.mtime)};
        ::futimens(fd, ts);
    }
}

// Done with the innermost folder: its attributes are set last, so a read-only folder
// could still be filled.
void Extractor::PopFolder() {
    const size_t k = frames_.size() - 1;
    if (frames_[k].isItem)
        ApplyFolderAttributes(k);
    frames_.pop_back();
}

// Copies a folder (or, for -1, the whole volume into the destination itself) depth
// first, in listing order: a folder's sub-folders, then its files.
void Extractor::CopyFolderTree(int64_t folder) {
    uint32_t start = kRootInode;
    if (folder >= 0) {
        if (!PushFolder(static_cast<uint32_t>(folder)))
            return;
        start = tree_.Folders()[static_cast<size_t>(folder)].inode;
    }
    struct Copy final : SubtreeVisitor {
        Extractor& x;
        explicit Copy(Extractor& e) : x(e) {}
        bool EnterFolder(uint32_t f, size_t) override { return x.PushFolder(f); }
        void LeaveFolder(uint32_t, size_t) override { x.PopFolder(); }
        void VisitFile(uint32_t f, size_t) override { x.CopyFile(f); }
        bool Stopped() override { return x.Stopping(); }
    } copy(*this);
    tree_.WalkSubtree(start, WalkOrder::FoldersFirst, copy);
    // A stopped run still gives the folders it made their modes and times.
    while (frames_.size() > 1)
        PopFolder();
}

// Creates a temporary with the file's permissions (the handle writes whatever they say).
bool Extractor::OpenTemp(int dirFd, Output& out, mode_t perm, uint32_t fileIndex) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < 100; ++attempt) {
        out.temp = pidTag_ + std::to_string(++tempCounter_);
        out.fd.Reset(::openat(dirFd, out.temp.c_str(), kFlags, perm & 0777));
        if (out.fd.Valid())
            return true;
        if (errno != EEXIST) // else left by an earlier process of this pid: another number
            break;
    }
    const int err = errno;
    ItemFailed(FilePath(fileIndex), "Cannot write", err);
    return false;
}

// Writes the file's blocks: data where the map has it, holes left as holes, unreadable
// parts as zeros (marking the file damaged). A file holds at most as many blocks as its
// volume: a map that yields more is garbage.
Copied Extractor::CopyBlocks(int fd, const Inode& inode) {
    bool damaged = false;
    uint64_t writtenEnd = 0;
    FileReader reader(access_, inode);
    std::vector<uint8_t> block(reader.BlockSize());
    uint64_t blocks = reader.BlockCount();
    if (blocks > reader.Capacity()) {
        damaged = true; // more than the block map can address: the rest reads as zeros
        blocks = reader.Capacity();
    }
    const uint64_t volumeBlocks = VolumeBlocks(access_.Geometry()) + 1;
    uint64_t dataBlocks = 0;
    for (uint64_t lbn = 0; lbn < blocks;) {
        if (control_.skipFileRequested.exchange(false)) {
            return {Copied::Skipped, damaged, 0, writtenEnd};
        }
        if (Stopping()) {
            return {Copied::Stopped, damaged, 0, writtenEnd};
        }
        const BlockMap::Next candidate = reader.NextCandidate(lbn);
        const uint64_t next = std::min(candidate.lbn, blocks);
        damaged = damaged || candidate.lost;
        if (next != lbn) { // a whole absent indirect range: a hole in the output too
            progress_.bytesDone += reader.BlockOffset(next) - reader.BlockOffset(lbn);
            lbn = next;
            continue;
        }
        const uint32_t len = reader.BlockLength(lbn);
        const auto state = reader.ReadBlock(lbn, {block.data(), len});
        using State = FileReader::BlockState;
        damaged = damaged || state == State::Damaged || state == State::Lost;
        if (state == State::Data || state == State::Damaged) {
            if (++dataBlocks > volumeBlocks) {
                return {Copied::Whole, true, 0, writtenEnd};
            }
            size_t done = 0;
            const auto at = static_cast<off_t>(reader.BlockOffset(lbn));
            while (done < len) {
                const ssize_t n =
                    ::pwrite(fd, block.data() + done, len - done, at + static_cast<off_t>(done));
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    return {Copied::Failed, damaged, errno, writtenEnd};
                }
                done += static_cast<size_t>(n);
            }
            writtenEnd = reader.BlockOffset(lbn) + len;
        }
        progress_.bytesDone += len;
        if (observer_ != nullptr)
            observer_->OnProgress(progress_);
        ++lbn;
    }
    return {Copied::Whole, damaged, 0, writtenEnd};
}

// Writes a file under a temporary name and gives it its whole size (a file that ends in
// a hole gets it from the truncate), owner, permissions and time. False when it cannot be
// finished: the temporary is gone. `lost`: nothing of its contents can be located.
bool Extractor::WriteRegular(int dirFd, Output& out, const Inode& inode, uint32_t fileIndex,
                             bool lost, bool& damaged) {
    const mode_t perm = Permissions(inode.mode);
    if (!OpenTemp(dirFd, out, perm, fileIndex))
        return false;
    const Copied copied =
        lost ? Copied{Copied::Whole, true, 0, 0} : CopyBlocks(out.fd.Get(), inode);
    auto discard = [&] {
        out.fd.Reset();
        ::unlinkat(dirFd, out.temp.c_str(), 0);
    };
    if (copied.end != Copied::Whole) {
        discard();
        if (copied.end == Copied::Skipped) {
            ++sum_.skipped;
            Skipped(FilePath(fileIndex), "skipped on request");
        } else if (copied.end == Copied::Failed) {
            ItemFailed(FilePath(fileIndex), "Cannot write", copied.error);
        }
        return false;
    }
    int err = 0;
    if (copied.writtenEnd != inode.size) {
        if (inode.size > static_cast<uint64_t>(INT64_MAX)) {
            err = EFBIG; // a size no file here can have
        } else if (::ftruncate(out.fd.Get(), static_cast<off_t>(inode.size)) != 0) {
            err = errno;
        }
    }
    const Attributes a = AttributesOf(inode, true);
    const bool owned = err == 0 && KeepOwner(a);
    if (owned)
        (void)::fchown(out.fd.Get(), a.uid, a.gid);
    // Created with the permissions less the umask's bits; the rest, set-id bits and those
    // a change of owner cleared are set here.
    if (err == 0 && (owned || (perm & (umask_ | 07000)) != 0) && ::fchmod(out.fd.Get(), perm) != 0)
        err = errno;
    if (err == 0 && inode.modifiedTime > 0) {
        const struct timespec ts[2] = {TimeOf(inode.modifiedTime), TimeOf(inode.modifiedTime)};
        ::futimens(out.fd.Get(), ts);
    }
    if (err == 0 && out.fd.Close() != 0)
        err = errno;
    if (err != 0) {
        discard();
        ItemFailed(FilePath(fileIndex), "Cannot write", err);
        return false;
    }
    damaged = copied.damaged;
    return true;
}

// A link is recreated as a link under a temporary name and never followed; its target
// may say anything.
bool Extractor::WriteLink(int dirFd, Output& out, const Inode& inode, uint32_t fileIndex) {
    const auto target = ReadSymlinkTarget(access_, inode);
    if (!target) {
        sum_.incomplete.push_back(FilePath(fileIndex));
        Skipped(FilePath(fileIndex), "its target cannot be read");
        return false;
    }
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
        out.temp = pidTag_ + std::to_string(++tempCounter_);
        err = ::symlinkat(target->c_str(), dirFd, out.temp.c_str()) == 0 ? 0 : errno;
    }
    if (err != 0) {
        // An empty or overlong target cannot be a link here.
        ItemFailed(FilePath(fileIndex), "Cannot create link", err);
        return false;
    }
    const Attributes a = AttributesOf(inode, true);
    if (KeepOwner(a))
        (void)::fchownat(dirFd, out.temp.c_str(), a.uid, a.gid, AT_SYMLINK_NOFOLLOW);
    if (inode.modifiedTime > 0) {
        const struct timespec ts[2] = {TimeOf(inode.modifiedTime), TimeOf(inode.modifiedTime)};
        ::utimensat(dirFd, out.temp.c_str(), ts, AT_SYMLINK_NOFOLLOW);
    }
    return true;
}

// Renames a whole temporary to `name`: over an existing file only when told to replace
// it, else never over anything (a name taken meanwhile gives a " (N)" name).
bool Extractor::MoveIntoPlace(int dirFd, Frame& frame, const Output& out, const std::string& base,
                              std::string& name, bool replace, uint32_t fileIndex) {
    for (int attempt = 0;; ++attempt) {
        const int rc =
            replace ? ::renameat(dirFd, out.temp.c_str(), dirFd, name.c_str())
                    : ::renameat2(dirFd, out.temp.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
        if (rc == 0)
            return true;
        const int err = errno;
        if (err != EEXIST || replace || attempt > 1000) {
            ::unlinkat(dirFd, out.temp.c_str(), 0);
            ItemFailed(FilePath(fileIndex), "Cannot write", err);
            return false;
        }
        name = FreeName(dirFd, frame, base);
        frame.claimed.insert(name);
    }
}

// Writes one file or link into the innermost frame under the name it is shown with, or
// the name the duplicate rules give it.
void Extractor::PlaceItem(uint32_t fileIndex, const Inode& inode, bool lost) {
    const size_t k = frames_.size() - 1;
    const int dirFd = FrameFd(k);
    if (dirFd < 0)
        return;
    Frame& frame = frames_[k];
    const std::string shown = ShownName(tree_.FileName(fileIndex));
    const std::string base = FitName(SafeFileName(shown), frame.nameMax);
    std::string name = RunName(frame, base);
    bool replace = false;
    if (!frame.fresh) {
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (opts_.duplicates == DuplicatePolicy::Skip) {
                frame.claimed.insert(name);
                ++sum_.skipped;
                Skipped(FilePath(fileIndex), "already in the destination");
                return;
            }
            if (opts_.duplicates == DuplicatePolicy::Overwrite && !S_ISDIR(st.st_mode)) {
                replace = true;
            } else {
                name = FreeName(dirFd, frame, base);
            }
        }
    }
    frame.claimed.insert(name);
    Output out;
    bool damaged = false;
    const bool made = inode.IsSymlink() ? WriteLink(dirFd, out, inode, fileIndex)
                                        : WriteRegular(dirFd, out, inode, fileIndex, lost, damaged);
    if (!made || !MoveIntoPlace(dirFd, frame, out, base, name, replace, fileIndex))
        return;
    ++sum_.filesWritten;
    if (!inode.IsSymlink())
        sum_.bytesWritten += inode.size;
    if (damaged)
        sum_.incomplete.push_back(FilePath(fileIndex));
    if (name != shown)
        sum_.renamed.push_back({FilePath(fileIndex), DestPath(name)});
}

void Extractor::CopyFile(uint32_t fileIndex) {
    const FileNode& node = tree_.Files()[fileIndex];
    if (observer_ != nullptr) {
        progress_.path = FolderPath(tree_, node.parentInode, '/', true);
        progress_.name = DisplayName(tree_.FileName(fileIndex));
        observer_->OnFileStarted(progress_);
    }
    control_.skipFileRequested.store(false);
    const uint64_t bytesBefore = progress_.bytesDone;

    InodeRead read = access_.ReadInode(node.inode);
    const bool lost = !read.Ok();
    if (lost) {
        // Its inode cannot be read now: the file is written as zeros of the size the
        // listing showed, and reported incomplete.
        read.inode = Inode{};
        read.inode.mode = ufs::kTypeFile | 0644;
        read.inode.size = node.size;
        read.inode.modifiedTime = node.modifiedTime;
    }
    const Inode& inode = read.inode;
    if (node.damaged || ufs::IsMetadataMode(inode.mode) ||
        (!lost && InodeIsDamaged(access_.Geometry(), inode.mode, inode.size, inode.blocks))) {
        // Listed, never written: nothing of what such an inode claims can be trusted.
        sum_.damaged.push_back(FilePath(fileIndex));
    } else if (ufs::IsSpecialMode(inode.mode)) {
        ++sum_.specialsSkipped;
        Skipped(FilePath(fileIndex), "device file, FIFO or socket: not copied");
    } else {
        PlaceItem(fileIndex, inode, lost);
    }
    ++progress_.filesDone;
    progress_.bytesDone = bytesBefore + node.size;
    if (observer_ != nullptr)
        observer_->OnProgress(progress_);
}

ExtractionSummary Extractor::Run(const std::vector<ExtractItem>& items, bool all,
                                 const std::string& destination) {
    std::error_code ec;
    const bool existed = std::filesystem::exists(destination, ec);
    std::filesystem::create_directories(destination, ec);
    UniqueFd dest(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dest.Valid()) {
        EndRun("Cannot open destination " + destination, errno);
        return sum_;
    }
    if (::faccessat(dest.Get(), ".", W_OK, AT_EACCESS) != 0) {
        EndRun("Cannot write to destination " + destination, errno);
        return sum_;
    }
    if (existed)
        RemoveStaleTemporaries(dest.Get());
    Frame top;
    top.nameMax = NameMaxOf(dest.Get(), kDefaultNameMax);
    top.fd = std::move(dest);
    top.fresh = !existed;
    frames_.push_back(std::move(top));
    if (all) {
        CountFolder(kRootInode);
        CopyFolderTree(-1);
        return sum_;
    }
    for (const auto& it : items) {
        if (it.isFolder) {
            CountFolder(tree_.Folders()[it.index].inode);
        } else {
            ++progress_.filesTotal;
            progress_.bytesTotal += tree_.Files()[it.index].size;
        }
    }
    // The destination is one folder for all the chosen items: same-named ones from
    // different folders both arrive.
    for (const auto& it : items) {
        if (Stopping())
            break;
        if (it.isFolder) {
            CopyFolderTree(it.index);
        } else {
            CopyFile(it.index);
        }
    }
    return sum_;
}

} // namespace

ExtractionSummary ExtractItems(const MountedVolume& volume, SectorReader& reader,
                               const std::vector<ExtractItem>& items, bool all,
                               const std::string& destination, const ExtractionOptions& options,
                               ExtractionControl& control, ExtractionObserver* observer) {
    Extractor x(volume, reader, options, control, observer);
    return x.Run(items, all, destination);
}

} // namespace trevik

#include "recovery/extraction.h"

#include "format/unique_fd.h"
#include "ufs/file_reader.h"
#include "ufs/inode.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

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

std::string DuplicateName(const std::string& name, uint32_t k) {
    const auto dot = name.rfind('.');
    const std::string suffix = " (" + std::to_string(k) + ")";
    if (dot == std::string::npos || dot == 0)
        return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

namespace {

constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

void SetTimes(int fd, const char* name, int32_t mtime, bool nofollow) {
    if (mtime <= 0)
        return;
    struct timespec ts[2];
    ts[0].tv_sec = mtime;
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    if (name == nullptr) {
        ::futimens(fd, ts);
    } else {
        ::utimensat(fd, name, ts, nofollow ? AT_SYMLINK_NOFOLLOW : 0);
    }
}

// A folder of the destination on the copy's path, from the destination down.
struct Frame {
    UniqueFd fd; // closed for deep frames and reopened from an ancestor when needed
    std::string safeName;
    int32_t mtime = 0;
    bool fresh = false;  // created by this run: nothing in it can clash
    bool isItem = false; // a folder of the volume (the destination itself is not)
};

// An output file on its way into place: written under `temp`, renamed when whole.
struct Output {
    UniqueFd fd;
    std::string temp;
    bool direct = false; // `temp` is the final name already
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
    Extractor(const MountedVolume& v, SectorReader& r, DuplicatePolicy d, ExtractionControl& c,
              ExtractionObserver* o)
        : tree_(v.tree), access_(r, v.geometry, v.groupTable), dup_(d), control_(c), observer_(o) {}

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
    void CountFolder(uint32_t inode);
    void CopyFolderTree(int destFd, int64_t folder);
    int FrameFd(size_t k);
    bool PushFolder(uint32_t folder);
    void PopFolder();
    struct Made {
        UniqueFd fd; // invalid when the run had to end
        std::string name;
        bool fresh = false; // created now, not an existing folder reused
    };
    Made MakeFolder(int parentFd, const std::string& safeName);
    void CopyFile(int dirFd, uint32_t fileIndex, bool freshFolder);
    void CopyLink(int dirFd, uint32_t fileIndex, const Inode& inode, const std::string& name,
                  const struct stat* existing);
    bool WriteRegular(int dirFd, const std::string& finalName, const Inode& inode,
                      uint32_t fileIndex, bool direct, bool lost);
    bool OpenOutput(int dirFd, const std::string& finalName, mode_t perm, bool direct, Output& out);
    Copied CopyBlocks(int fd, const Inode& inode);
    bool FinishOutput(int dirFd, Output& out, const Inode& inode, uint64_t writtenEnd,
                      uint32_t fileIndex);
    bool PlaceOutput(int dirFd, const Output& out, const std::string& finalName,
                     uint32_t fileIndex);
    void Written(const Inode& inode, bool damaged, uint32_t fileIndex) {
        ++sum_.filesWritten;
        sum_.bytesWritten += inode.size;
        if (damaged)
            sum_.incomplete.push_back(FilePath(fileIndex));
    }
    std::string FreeName(int dirFd, const std::string& name);
    std::string FilePath(uint32_t fileIndex) const {
        const std::string folder =
            FolderPath(tree_, tree_.Files()[fileIndex].parentInode, '/', true);
        return (folder.empty() ? "" : "/" + folder) + "/" + DisplayName(tree_.FileName(fileIndex));
    }

    const RecoveredTree& tree_;
    InodeAccess access_;
    DuplicatePolicy dup_;
    ExtractionControl& control_;
    ExtractionObserver* observer_;
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

std::string Extractor::FreeName(int dirFd, const std::string& name) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return name;
    for (uint32_t k = 1;; ++k) {
        const std::string candidate = DuplicateName(name, k);
        if (::fstatat(dirFd, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return candidate;
    }
}

// Creates (or reuses) a folder and opens it without following links. A name held by
// something that is not a folder gets a new name.
Extractor::Made Extractor::MakeFolder(int parentFd, const std::string& safeName) {
    Made made;
    made.name = safeName;
    for (uint32_t k = 1; k < 100000; ++k) {
        made.fresh = false;
        if (::mkdirat(parentFd, made.name.c_str(), 0755) == 0) {
            ++sum_.foldersCreated;
            made.fresh = true;
        } else if (errno != EEXIST) {
            EndRun("Cannot create folder " + made.name, errno);
            return {};
        }
        made.fd.Reset(::openat(parentFd, made.name.c_str(), kDirOpenFlags));
        if (made.fd.Valid()) {
            return made;
        }
        if (errno != ENOTDIR && errno != ELOOP) {
            EndRun("Cannot open folder " + made.name, errno);
            return {};
        }
        made.name = DuplicateName(safeName, k);
    }
    EndRun("Cannot create folder " + safeName, EEXIST);
    return {};
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
        UniqueFd next(::openat(curFd, frames_[m].safeName.c_str(), kDirOpenFlags));
        if (!next.Valid()) {
            EndRun("Cannot reopen folder " + frames_[m].safeName, errno);
            return -1;
        }
        cur = std::move(next);
        curFd = cur.Get();
    }
    frames_[k].fd = std::move(cur);
    return frames_[k].fd.Get();
}

// Creates folder i inside the innermost frame and makes it the innermost. Deep trees
// keep a handle only every 64 levels and reopen the others from there, so depth costs
// no handles.
bool Extractor::PushFolder(uint32_t folder) {
    constexpr size_t kKeepOpen = 64;
    const size_t k = frames_.size() - 1;
    const int fd = FrameFd(k);
    if (fd < 0)
        return false;
    Made child = MakeFolder(fd, SafeFileName(tree_.FolderName(folder)));
    if (!child.fd.Valid())
        return false;
    if (k >= kKeepOpen && k % kKeepOpen != 0) {
        frames_[k].fd.Reset();
    }
    frames_.push_back({std::move(child.fd), std::move(child.name),
                       tree_.Folders()[folder].modifiedTime, child.fresh, true});
    return true;
}

// Done with the innermost folder: its time is set last, after its contents changed it.
void Extractor::PopFolder() {
    const size_t k = frames_.size() - 1;
    if (frames_[k].isItem) {
        const int fd = FrameFd(k);
        if (fd >= 0)
            SetTimes(fd, nullptr, frames_[k].mtime, false);
    }
    frames_.pop_back();
}

// Copies a folder (or, for -1, the whole volume into the destination itself) depth
// first: each folder's files, then its sub-folders.
void Extractor::CopyFolderTree(int destFd, int64_t folder) {
    frames_.clear();
    frames_.push_back({UniqueFd(::fcntl(destFd, F_DUPFD_CLOEXEC, 0)), "", 0, false, false});
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
        void VisitFile(uint32_t f, size_t) override {
            const size_t k = x.frames_.size() - 1;
            const int fd = x.FrameFd(k);
            if (fd >= 0)
                x.CopyFile(fd, f, x.frames_[k].fresh);
        }
        bool Stopped() override { return x.Stopping(); }
    } copy(*this);
    tree_.WalkSubtree(start, WalkOrder::FilesFirst, copy);
    if (folder >= 0 && !Stopping()) {
        PopFolder();
    }
    frames_.clear();
}

bool Extractor::OpenOutput(int dirFd, const std::string& finalName, mode_t perm, bool direct,
                           Output& out) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    if (direct) {
        out.fd.Reset(::openat(dirFd, finalName.c_str(), flags, perm));
        if (out.fd.Valid()) {
            out.temp = finalName;
            out.direct = true;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
        // The disk lists the name twice: the second goes the temporary way.
    }
    out.temp =
        ".trevik-partial-" + std::to_string(::getpid()) + "-" + std::to_string(++tempCounter_);
    out.direct = false;
    out.fd.Reset(::openat(dirFd, out.temp.c_str(), flags, perm));
    return out.fd.Valid();
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

// Gives the output its whole size (a file that ends in a hole gets it from the truncate)
// and its time, and closes it. False when the file cannot be finished: it is removed.
bool Extractor::FinishOutput(int dirFd, Output& out, const Inode& inode, uint64_t writtenEnd,
                             uint32_t fileIndex) {
    if (writtenEnd != inode.size &&
        (inode.size > static_cast<uint64_t>(INT64_MAX) ||
         ::ftruncate(out.fd.Get(), static_cast<off_t>(inode.size)) != 0)) {
        const int err = inode.size > static_cast<uint64_t>(INT64_MAX) ? EFBIG : errno;
        out.fd.Reset();
        ::unlinkat(dirFd, out.temp.c_str(), 0);
        if (err == EFBIG || err == EINVAL) {
            // A size no file here can have: this file cannot be written, the run goes on.
            sum_.incomplete.push_back(FilePath(fileIndex));
        } else {
            EndRun("Cannot write " + FilePath(fileIndex), err);
        }
        return false;
    }
    SetTimes(out.fd.Get(), nullptr, inode.modifiedTime, false);
    if (out.fd.Close() != 0) {
        const int err = errno;
        ::unlinkat(dirFd, out.temp.c_str(), 0);
        EndRun("Cannot write " + FilePath(fileIndex), err);
        return false;
    }
    return true;
}

// Moves a finished temporary into place: never over a folder; over an existing file only
// when told to overwrite; under a free " (k)" name when told to rename.
bool Extractor::PlaceOutput(int dirFd, const Output& out, const std::string& finalName,
                            uint32_t fileIndex) {
    std::string name = finalName;
    for (uint32_t k = 1;; ++k) {
        int rc;
        if (dup_ == DuplicatePolicy::Overwrite) {
            struct stat st {};
            const bool isDir = ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                               S_ISDIR(st.st_mode);
            rc = isDir ? (errno = EEXIST, -1)
                       : ::renameat(dirFd, out.temp.c_str(), dirFd, name.c_str());
        } else {
            rc = ::renameat2(dirFd, out.temp.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
        }
        if (rc == 0)
            return true;
        if (errno != EEXIST || dup_ == DuplicatePolicy::Skip) {
            const int err = errno;
            ::unlinkat(dirFd, out.temp.c_str(), 0);
            if (err == EEXIST) {
                ++sum_.skipped;
            } else {
                EndRun("Cannot write " + FilePath(fileIndex), err);
            }
            return false;
        }
        name = FreeName(dirFd, DuplicateName(finalName, k));
    }
}

// Writes a file under a name that is free (`direct`), or under a temporary name that
// replaces or joins the existing one only once the file is whole. Either way a file that
// fails half-way is removed. `lost`: nothing of its contents can be located.
bool Extractor::WriteRegular(int dirFd, const std::string& finalName, const Inode& inode,
                             uint32_t fileIndex, bool direct, bool lost) {
    const mode_t perm = (inode.mode & 0777) | 0600;
    Output out;
    if (!OpenOutput(dirFd, finalName, perm, direct, out)) {
        EndRun("Cannot write " + FilePath(fileIndex), errno);
        return false;
    }
    const Copied copied =
        lost ? Copied{Copied::Whole, true, 0, 0} : CopyBlocks(out.fd.Get(), inode);
    if (copied.end != Copied::Whole) {
        out.fd.Reset();
        ::unlinkat(dirFd, out.temp.c_str(), 0);
        if (copied.end == Copied::Skipped) {
            ++sum_.skipped;
        } else if (copied.end == Copied::Failed) {
            EndRun("Cannot write " + FilePath(fileIndex), copied.error);
        }
        return false;
    }
    if (!FinishOutput(dirFd, out, inode, copied.writtenEnd, fileIndex)) {
        return false;
    }
    if (!out.direct && !PlaceOutput(dirFd, out, finalName, fileIndex)) {
        return false;
    }
    Written(inode, copied.damaged, fileIndex);
    return true;
}

// A link is recreated as a link and never followed; its target may say anything.
void Extractor::CopyLink(int dirFd, uint32_t fileIndex, const Inode& inode, const std::string& name,
                         const struct stat* existing) {
    const auto target = ReadSymlinkTarget(access_, inode);
    if (!target) {
        sum_.incomplete.push_back(FilePath(fileIndex));
        return;
    }
    const std::string safe = SafeFileName(tree_.FileName(fileIndex));
    std::string linkName = name;
    if (existing != nullptr && dup_ == DuplicatePolicy::Overwrite) {
        if (S_ISDIR(existing->st_mode)) {
            linkName = FreeName(dirFd, safe);
        } else {
            ::unlinkat(dirFd, safe.c_str(), 0);
        }
    }
    int rc = ::symlinkat(target->c_str(), dirFd, linkName.c_str());
    if (rc != 0 && errno == EEXIST) { // the disk lists the name twice
        if (dup_ == DuplicatePolicy::Skip) {
            ++sum_.skipped;
            return;
        }
        linkName = FreeName(dirFd, safe);
        rc = ::symlinkat(target->c_str(), dirFd, linkName.c_str());
    }
    if (rc != 0) {
        // A destination that cannot take more ends the run; a link this one cannot be (an
        // empty or overlong target) costs only itself.
        const int err = errno;
        if (err == ENOSPC || err == EROFS || err == EDQUOT || err == EIO) {
            EndRun("Cannot create link " + FilePath(fileIndex), err);
        } else {
            sum_.incomplete.push_back(FilePath(fileIndex));
        }
        return;
    }
    SetTimes(dirFd, linkName.c_str(), inode.modifiedTime, true);
    ++sum_.filesWritten;
}

void Extractor::CopyFile(int dirFd, uint32_t fileIndex, bool freshFolder) {
    const FileNode& node = tree_.Files()[fileIndex];
    if (observer_ != nullptr) {
        progress_.path = FolderPath(tree_, node.parentInode, '/', true);
        progress_.name = DisplayName(tree_.FileName(fileIndex));
        observer_->OnFileStarted(progress_);
    }
    control_.skipFileRequested.store(false);
    const uint64_t bytesBefore = progress_.bytesDone;

    const std::string safe = SafeFileName(tree_.FileName(fileIndex));
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
        ++progress_.filesDone;
        if (observer_ != nullptr)
            observer_->OnProgress(progress_);
        return;
    }
    struct stat st {};
    const bool exists = !ufs::IsSpecialMode(inode.mode) && !freshFolder &&
                        ::fstatat(dirFd, safe.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (ufs::IsSpecialMode(inode.mode)) {
        ++sum_.specialsSkipped;
    } else if (exists && dup_ == DuplicatePolicy::Skip) {
        ++sum_.skipped;
    } else {
        const std::string name =
            exists && dup_ == DuplicatePolicy::Rename ? FreeName(dirFd, safe) : safe;
        if (inode.IsSymlink()) {
            CopyLink(dirFd, fileIndex, inode, name, exists ? &st : nullptr);
            if (!sum_.error.empty())
                return;
        } else {
            WriteRegular(dirFd, name, inode, fileIndex, !exists || dup_ == DuplicatePolicy::Rename,
                         lost);
        }
    }
    ++progress_.filesDone;
    progress_.bytesDone = bytesBefore + node.size;
    if (observer_ != nullptr)
        observer_->OnProgress(progress_);
}

ExtractionSummary Extractor::Run(const std::vector<ExtractItem>& items, bool all,
                                 const std::string& destination) {
    std::error_code ec;
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
    if (all) {
        CountFolder(kRootInode);
        CopyFolderTree(dest.Get(), -1);
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
    for (const auto& it : items) {
        if (Stopping())
            break;
        if (it.isFolder) {
            CopyFolderTree(dest.Get(), it.index);
        } else {
            CopyFile(dest.Get(), it.index, false);
        }
    }
    return sum_;
}

} // namespace

ExtractionSummary ExtractItems(const MountedVolume& volume, SectorReader& reader,
                               const std::vector<ExtractItem>& items, bool all,
                               const std::string& destination, DuplicatePolicy duplicates,
                               ExtractionControl& control, ExtractionObserver* observer) {
    Extractor x(volume, reader, duplicates, control, observer);
    return x.Run(items, all, destination);
}

} // namespace trevik

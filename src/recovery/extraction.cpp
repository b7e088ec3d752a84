#include "recovery/extraction.h"

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

struct Frame {
    int64_t folder = -1; // -1: the destination itself
    int fd = -1;
    std::string safeName;
    uint32_t inode = kRootInode;
    int32_t mtime = 0;
    size_t nextChild = 0;
    bool filesDone = false;
    bool fresh = false; // created by this run: nothing in it can clash
};

class Extractor {
public:
    Extractor(const MountedVolume& v, SectorReader& r, DuplicatePolicy d, ExtractionControl& c,
              ExtractionObserver* o)
        : tree_(v.tree), access_(r, v.entry.startSector, v.geometry, v.groupTable),
          dup_(d), control_(c), observer_(o) {}

    ExtractionSummary Run(const std::vector<ExtractItem>& items, bool all,
                          const std::string& destination);

private:
    bool Stopping() {
        if (control_.stopSavingRequested.load()) {
            sum_.stopped = true;
        }
        return sum_.stopped || !sum_.error.empty();
    }
    void Count(const std::vector<ExtractItem>& items);
    void CountFolder(uint32_t inode);
    void CopyFolderTree(int destFd, int64_t folder);
    int FrameFd(size_t k);
    int MakeFolder(int parentFd, const std::string& safeName, std::string* placed, bool* fresh);
    void CopyFile(int dirFd, uint32_t fileIndex, bool freshFolder);
    bool WriteRegular(int dirFd, const std::string& finalName, const Inode& inode,
                      uint32_t fileIndex, bool direct);
    std::string FreeName(int dirFd, const std::string& name);
    void Fatal(const std::string& what, int err) {
        if (sum_.error.empty())
            sum_.error = what + ": " + std::strerror(err);
    }
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
    uint64_t lastWrittenEnd_ = 0;
};

void Extractor::CountFolder(uint32_t inode) {
    std::vector<uint32_t> work{inode};
    while (!work.empty()) {
        const uint32_t p = work.back();
        work.pop_back();
        for (uint32_t f : tree_.ChildFiles(p)) {
            ++progress_.filesTotal;
            progress_.bytesTotal += tree_.Files()[f].size;
        }
        for (uint32_t d : tree_.ChildFolders(p))
            work.push_back(tree_.Folders()[d].inode);
    }
}

void Extractor::Count(const std::vector<ExtractItem>& items) {
    for (const auto& it : items) {
        if (it.isFolder) {
            CountFolder(tree_.Folders()[it.index].inode);
        } else {
            ++progress_.filesTotal;
            progress_.bytesTotal += tree_.Files()[it.index].size;
        }
    }
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
int Extractor::MakeFolder(int parentFd, const std::string& safeName, std::string* placed,
                          bool* fresh) {
    std::string name = safeName;
    for (uint32_t k = 1; k < 100000; ++k) {
        *fresh = false;
        if (::mkdirat(parentFd, name.c_str(), 0755) == 0) {
            ++sum_.foldersCreated;
            *fresh = true;
        } else if (errno != EEXIST) {
            Fatal("Cannot create folder " + name, errno);
            return -1;
        }
        const int fd =
            ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            *placed = name;
            return fd;
        }
        if (errno != ENOTDIR && errno != ELOOP) {
            Fatal("Cannot open folder " + name, errno);
            return -1;
        }
        name = DuplicateName(safeName, k);
    }
    Fatal("Cannot create folder " + safeName, EEXIST);
    return -1;
}

int Extractor::FrameFd(size_t k) {
    if (frames_[k].fd >= 0)
        return frames_[k].fd;
    size_t j = k;
    while (frames_[j].fd < 0)
        --j;
    int cur = frames_[j].fd;
    for (size_t m = j + 1; m <= k; ++m) {
        const int next = ::openat(cur, frames_[m].safeName.c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (cur != frames_[j].fd)
            ::close(cur);
        if (next < 0) {
            Fatal("Cannot reopen folder " + frames_[m].safeName, errno);
            return -1;
        }
        cur = next;
    }
    frames_[k].fd = cur;
    return cur;
}

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

// Walks a folder's subtree depth first with an explicit stack. Deep trees keep a handle
// only every 64 levels and reopen the others from there, so depth costs no handles.
void Extractor::CopyFolderTree(int destFd, int64_t folder) {
    constexpr size_t kKeepOpen = 64;
    frames_.clear();
    frames_.push_back({-1, destFd, "", kRootInode, 0, 0, false});
    if (folder >= 0) {
        const FolderNode& f = tree_.Folders()[static_cast<size_t>(folder)];
        std::string placed;
        bool fresh = false;
        const int fd = MakeFolder(
            destFd, SafeFileName(tree_.FolderName(static_cast<size_t>(folder))), &placed, &fresh);
        if (fd < 0)
            return;
        frames_.push_back({folder, fd, placed, f.inode, f.modifiedTime, 0, false, fresh});
    }
    const size_t base = frames_.size() - 1;
    while (frames_.size() > base && !Stopping()) {
        const size_t k = frames_.size() - 1;
        Frame& top = frames_[k];
        if (!top.filesDone) {
            const int fd = FrameFd(k);
            if (fd < 0)
                return;
            const bool fresh = top.fresh;
            for (uint32_t f : tree_.ChildFiles(top.inode)) {
                if (Stopping())
                    break;
                CopyFile(fd, f, fresh);
            }
            frames_[k].filesDone = true;
            continue;
        }
        const auto children = tree_.ChildFolders(top.inode);
        if (top.nextChild < children.size()) {
            const uint32_t child = children[top.nextChild++];
            const int fd = FrameFd(k);
            if (fd < 0)
                return;
            const FolderNode& c = tree_.Folders()[child];
            std::string placed;
            bool fresh = false;
            const int cfd = MakeFolder(fd, SafeFileName(tree_.FolderName(child)), &placed, &fresh);
            if (cfd < 0)
                return;
            if (k >= kKeepOpen && k % kKeepOpen != 0 && frames_[k].fd >= 0) {
                ::close(frames_[k].fd);
                frames_[k].fd = -1;
            }
            frames_.push_back({child, cfd, placed, c.inode, c.modifiedTime, 0, false, fresh});
            continue;
        }
        // Done with this folder: its time is set last, after its contents changed it.
        if (top.folder >= 0) {
            const int fd = FrameFd(k);
            if (fd >= 0) {
                SetTimes(fd, nullptr, top.mtime, false);
                ::close(fd);
            }
        }
        frames_.pop_back();
    }
    for (size_t k = 1; k < frames_.size(); ++k) {
        if (frames_[k].fd >= 0)
            ::close(frames_[k].fd);
    }
    frames_.clear();
}

// Writes a file under a name that is free (`direct`), or under a temporary name that
// replaces or joins the existing one only once the file is whole. Either way a file that
// fails half-way is removed.
bool Extractor::WriteRegular(int dirFd, const std::string& finalName, const Inode& inode,
                             uint32_t fileIndex, bool direct) {
    const mode_t perm = (inode.mode & 0777) | 0600;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    std::string temp = finalName;
    int fd = -1;
    if (direct) {
        fd = ::openat(dirFd, temp.c_str(), flags, perm);
        if (fd < 0 && errno == EEXIST) {
            direct = false; // the disk lists the name twice
        }
    }
    if (!direct) {
        temp = ".trevik-partial-" + std::to_string(::getpid()) + "-" + std::to_string(++tempCounter_);
        fd = ::openat(dirFd, temp.c_str(), flags, perm);
    }
    if (fd < 0) {
        Fatal("Cannot write " + FilePath(fileIndex), errno);
        return false;
    }
    auto abandon = [&] {
        ::close(fd);
        ::unlinkat(dirFd, temp.c_str(), 0);
    };
    FileReader reader(access_, inode);
    std::vector<uint8_t> block(reader.BlockSize());
    lastWrittenEnd_ = 0;
    bool damaged = false;
    uint64_t blocks = reader.BlockCount();
    if (blocks > reader.Capacity()) {
        damaged = true; // more than the block map can address: the rest reads as zeros
        blocks = reader.Capacity();
    }
    // A file holds at most as many blocks as its volume: a map that yields more is garbage.
    const VolumeGeometry& g = access_.Geometry();
    const uint64_t volumeBlocks = uint64_t{g.sizeFrags} / std::max<uint32_t>(g.fragsPerBlock, 1) + 1;
    uint64_t dataBlocks = 0;
    for (uint64_t lbn = 0; lbn < blocks;) {
        if (control_.skipFileRequested.exchange(false)) {
            abandon();
            ++sum_.skipped;
            return false;
        }
        if (Stopping()) {
            abandon();
            return false;
        }
        bool lost = false;
        const uint64_t next = std::min(reader.NextCandidate(lbn, &lost), blocks);
        damaged = damaged || lost;
        if (next != lbn) { // a whole absent indirect range: a hole in the output too
            progress_.bytesDone += (next - lbn) * reader.BlockSize();
            lbn = next;
            continue;
        }
        const uint32_t len = reader.BlockLength(lbn);
        const auto state = reader.ReadBlock(lbn, {block.data(), len});
        if (state == FileReader::BlockState::Damaged || state == FileReader::BlockState::Lost) {
            damaged = true;
        }
        if (state == FileReader::BlockState::Data || state == FileReader::BlockState::Damaged) {
            if (++dataBlocks > volumeBlocks) {
                damaged = true;
                break;
            }
            size_t done = 0;
            const off_t at = static_cast<off_t>(lbn * reader.BlockSize());
            while (done < len) {
                const ssize_t n =
                    ::pwrite(fd, block.data() + done, len - done, at + static_cast<off_t>(done));
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    const int err = errno;
                    abandon();
                    Fatal("Cannot write " + FilePath(fileIndex), err);
                    return false;
                }
                done += static_cast<size_t>(n);
            }
            lastWrittenEnd_ = lbn * reader.BlockSize() + len;
        }
        progress_.bytesDone += len;
        if (observer_ != nullptr)
            observer_->OnProgress(progress_);
        ++lbn;
    }
    // A file that ends in a hole gets its size from the truncate.
    if (lastWrittenEnd_ != inode.size &&
        (inode.size > static_cast<uint64_t>(INT64_MAX) ||
         ::ftruncate(fd, static_cast<off_t>(inode.size)) != 0)) {
        const int err = inode.size > static_cast<uint64_t>(INT64_MAX) ? EFBIG : errno;
        abandon();
        if (err == EFBIG || err == EINVAL) {
            // A size no file here can have: this file cannot be written, the run goes on.
            sum_.incomplete.push_back(FilePath(fileIndex));
            return false;
        }
        Fatal("Cannot write " + FilePath(fileIndex), err);
        return false;
    }
    SetTimes(fd, nullptr, inode.modifiedTime, false);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlinkat(dirFd, temp.c_str(), 0);
        Fatal("Cannot write " + FilePath(fileIndex), err);
        return false;
    }
    if (direct) {
        ++sum_.filesWritten;
        sum_.bytesWritten += inode.size;
        if (damaged) sum_.incomplete.push_back(FilePath(fileIndex));
        return true;
    }
    // Into place: never over a folder; over an existing file only when told to overwrite.
    std::string name = finalName;
    for (uint32_t k = 1;; ++k) {
        int rc;
        if (dup_ == DuplicatePolicy::Overwrite) {
            struct stat st {};
            const bool isDir = ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                               S_ISDIR(st.st_mode);
            rc =
                isDir ? (errno = EEXIST, -1) : ::renameat(dirFd, temp.c_str(), dirFd, name.c_str());
        } else {
            rc = ::renameat2(dirFd, temp.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
        }
        if (rc == 0)
            break;
        if (errno != EEXIST || dup_ == DuplicatePolicy::Skip) {
            const int err = errno;
            ::unlinkat(dirFd, temp.c_str(), 0);
            if (err == EEXIST) {
                ++sum_.skipped;
                return false;
            }
            Fatal("Cannot write " + FilePath(fileIndex), err);
            return false;
        }
        name = FreeName(dirFd, DuplicateName(finalName, k));
    }
    ++sum_.filesWritten;
    sum_.bytesWritten += inode.size;
    if (damaged)
        sum_.incomplete.push_back(FilePath(fileIndex));
    return true;
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
    auto finish = [&] {
        ++progress_.filesDone;
        progress_.bytesDone = bytesBefore + node.size;
        if (observer_ != nullptr)
            observer_->OnProgress(progress_);
    };

    const std::string safe = SafeFileName(tree_.FileName(fileIndex));
    Inode inode;
    if (!access_.ReadInode(node.inode, inode)) {
        // Nothing of the file can be read: write it empty-sized zeros and say so.
        inode = Inode{};
        inode.mode = 0x8000 | 0644;
        inode.size = node.size;
        inode.modifiedTime = node.modifiedTime;
        inode.blocks = 0;
        for (auto& d : inode.direct)
            d = 0xFFFFFFFF; // every block reads as damaged
        for (auto& d : inode.indirect)
            d = 0xFFFFFFFF;
    }
    const uint16_t type = inode.Type();
    if (type == 0x2000 || type == 0x6000 || type == 0x1000 || type == 0xC000) {
        ++sum_.specialsSkipped;
        finish();
        return;
    }
    struct stat st {};
    const bool exists =
        !freshFolder && ::fstatat(dirFd, safe.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && dup_ == DuplicatePolicy::Skip) {
        ++sum_.skipped;
        finish();
        return;
    }
    const std::string name =
        exists && dup_ == DuplicatePolicy::Rename ? FreeName(dirFd, safe) : safe;
    if (type == 0xA000) {
        const auto target = ReadSymlinkTarget(access_, inode);
        if (!target) {
            sum_.incomplete.push_back(FilePath(fileIndex));
            finish();
            return;
        }
        std::string linkName = name;
        if (exists && dup_ == DuplicatePolicy::Overwrite) {
            if (S_ISDIR(st.st_mode)) {
                linkName = FreeName(dirFd, safe);
            } else {
                ::unlinkat(dirFd, safe.c_str(), 0);
            }
        }
        // A link is recreated as a link and never followed; its target may say anything.
        int rc = ::symlinkat(target->c_str(), dirFd, linkName.c_str());
        if (rc != 0 && errno == EEXIST) { // the disk lists the name twice
            if (dup_ == DuplicatePolicy::Skip) {
                ++sum_.skipped;
                finish();
                return;
            }
            linkName = FreeName(dirFd, safe);
            rc = ::symlinkat(target->c_str(), dirFd, linkName.c_str());
        }
        if (rc != 0) {
            Fatal("Cannot create link " + FilePath(fileIndex), errno);
            return;
        }
        SetTimes(dirFd, linkName.c_str(), inode.modifiedTime, true);
        ++sum_.filesWritten;
        finish();
        return;
    }
    WriteRegular(dirFd, name, inode, fileIndex, !exists || dup_ == DuplicatePolicy::Rename);
    finish();
}

ExtractionSummary Extractor::Run(const std::vector<ExtractItem>& items, bool all,
                                 const std::string& destination) {
    std::error_code ec;
    std::filesystem::create_directories(destination, ec);
    const int destFd = ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (destFd < 0) {
        Fatal("Cannot open destination " + destination, errno);
        return sum_;
    }
    if (::faccessat(destFd, ".", W_OK, AT_EACCESS) != 0) {
        Fatal("Cannot write to destination " + destination, errno);
        ::close(destFd);
        return sum_;
    }
    if (all) {
        CountFolder(kRootInode);
        CopyFolderTree(destFd, -1);
    } else {
        Count(items);
        for (const auto& it : items) {
            if (Stopping())
                break;
            if (it.isFolder) {
                CopyFolderTree(destFd, it.index);
            } else {
                CopyFile(destFd, it.index, false);
            }
        }
    }
    ::close(destFd);
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

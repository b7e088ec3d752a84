#include "recovery/destination.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trevik {

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

SysError SysError::Last() {
    return {errno};
}

std::string SysError::Text() const {
    return std::strerror(code);
}

bool SysError::EndsRun() const {
    return code == ENOSPC || code == EDQUOT || code == EROFS || code == EIO;
}

mode_t CurrentUmask() {
    std::FILE* f = std::fopen("/proc/self/status", "re");
    if (f == nullptr)
        return 07777;
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

namespace {

constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Access and modification time both `mtime` (the disk keeps no other worth giving).
struct Times {
    explicit Times(int32_t mtime) { ts[0].tv_sec = ts[1].tv_sec = mtime; }
    struct timespec ts[2]{};
};

void SetTimes(int fd, int32_t mtime) {
    if (mtime > 0)
        ::futimens(fd, Times(mtime).ts);
}

} // namespace

UniqueFd OpenFolderAt(int dirFd, const std::string& name, SysError& error) {
    UniqueFd fd(::openat(dirFd, name.c_str(), kDirOpenFlags));
    error = fd.Valid() ? SysError{} : SysError::Last();
    return fd;
}

SysError MakeFolderAt(int dirFd, const std::string& name, bool& fresh) {
    fresh = ::mkdirat(dirFd, name.c_str(), 0700) == 0;
    return fresh || errno == EEXIST ? SysError{} : SysError::Last();
}

UniqueFd OpenDestination(const std::string& path, SysError& error) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    error = fd.Valid() ? SysError{} : SysError::Last();
    return fd;
}

SysError CheckWritable(int fd) {
    return ::faccessat(fd, ".", W_OK, AT_EACCESS) == 0 ? SysError{} : SysError::Last();
}

void PrepareForFilling(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 0700) != 0700)
        ::fchmod(fd, (st.st_mode & 07777) | 0700);
    RemoveStaleTemporaries(fd);
}

UniqueFd CreateTemporary(int dirFd, const std::function<std::string()>& nextName, mode_t perm,
                         std::string& temp, SysError& error) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < kMostAttempts; ++attempt) {
        temp = nextName();
        UniqueFd fd(::openat(dirFd, temp.c_str(), kFlags, perm & 0777));
        if (fd.Valid()) {
            error = {};
            return fd;
        }
        if (errno != EEXIST) // else left by an earlier process of this pid: another number
            break;
    }
    error = SysError::Last();
    return {};
}

SysError CreateLinkTemporary(int dirFd, const std::string& target,
                             const std::function<std::string()>& nextName, std::string& temp) {
    SysError err{EEXIST};
    for (int attempt = 0; attempt < kMostAttempts && err.code == EEXIST; ++attempt) {
        temp = nextName();
        err = ::symlinkat(target.c_str(), dirFd, temp.c_str()) == 0 ? SysError{} : SysError::Last();
    }
    return err;
}

SysError WriteAt(int fd, const uint8_t* data, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd, data + done, length - done,
                                   static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return SysError::Last();
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

SysError FinishFile(UniqueFd& fd, const FileFinish& f) {
    if (f.writtenEnd != f.size) {
        if (f.size > static_cast<uint64_t>(INT64_MAX))
            return {EFBIG}; // a size no file here can have
        if (::ftruncate(fd.Get(), static_cast<off_t>(f.size)) != 0)
            return SysError::Last();
    }
    if (f.setOwner)
        (void)::fchown(fd.Get(), f.uid, f.gid);
    // Created with the permissions less the umask's bits; the rest, set-id bits and those
    // a change of owner cleared are set here.
    if ((f.setOwner || f.setPerm) && ::fchmod(fd.Get(), f.perm) != 0)
        return SysError::Last();
    SetTimes(fd.Get(), f.mtime);
    if (fd.Close() != 0)
        return SysError::Last();
    return {};
}

void SetFolderAttributes(int fd, bool setOwner, uint32_t uid, uint32_t gid, mode_t perm,
                         int32_t mtime) {
    if (setOwner)
        (void)::fchown(fd, uid, gid);
    ::fchmod(fd, perm);
    SetTimes(fd, mtime);
}

void SetLinkAttributes(int dirFd, const std::string& name, bool setOwner, uint32_t uid,
                       uint32_t gid, int32_t mtime) {
    if (setOwner)
        (void)::fchownat(dirFd, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
    if (mtime > 0)
        ::utimensat(dirFd, name.c_str(), Times(mtime).ts, AT_SYMLINK_NOFOLLOW);
}

bool ExistsAt(int dirFd, const std::string& name, bool* isFolder, uint64_t* dev, uint64_t* ino) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (isFolder != nullptr)
        *isFolder = S_ISDIR(st.st_mode);
    if (dev != nullptr)
        *dev = st.st_dev;
    if (ino != nullptr)
        *ino = st.st_ino;
    return true;
}

SysError RenameInto(int dirFd, const std::string& temp, const std::string& name, bool replace) {
    const int rc = replace
                       ? ::renameat(dirFd, temp.c_str(), dirFd, name.c_str())
                       : ::renameat2(dirFd, temp.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
    return rc == 0 ? SysError{} : SysError::Last();
}

void Discard(int dirFd, const std::string& temp) {
    ::unlinkat(dirFd, temp.c_str(), 0);
}

} // namespace trevik

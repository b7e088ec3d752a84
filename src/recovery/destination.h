#pragma once

// The destination folder of a copy: the one place where the copy makes file-system calls.
// Every call here is relative to an open folder and never follows a symbolic link; every
// name taken is retried by one rule (kMostAttempts). Failures come back as SysError, a
// typed system error the copy turns into an item's outcome or the end of the run.

#include "format/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace trevik {

// The prefix of the temporary names files are written under:
// ".trevik-partial-<pid>-<n>".
inline constexpr std::string_view kPartialPrefix = ".trevik-partial-";

// Removes the temporaries of runs that are gone from one folder: never a live run's.
// Returns how many were removed.
size_t RemoveStaleTemporaries(int dirFd);

// How often a name that is taken is tried again under another: temporaries, " (N)" names
// and folders a file holds the name of.
inline constexpr int kMostAttempts = 1000;

// What the system said when a call failed (0: it did not fail).
struct SysError {
    int code = 0;
    explicit operator bool() const { return code != 0; }
    // The system's words for it.
    std::string Text() const;
    // A destination that cannot take more (full, over quota, read-only, failing) ends the
    // run; any other failure costs one item.
    bool EndsRun() const;
    static SysError Last();
};

// The process's umask, read where the kernel shows it, without changing it (07777 when it
// cannot be read: every mode is then set explicitly).
mode_t CurrentUmask();

// The longest name a folder takes, or `fallback` when the system does not say.
size_t NameMaxOf(int fd, size_t fallback);

// Opens the folder `name` inside `dirFd`, never through a link.
UniqueFd OpenFolderAt(int dirFd, const std::string& name, SysError& error);

// Makes the folder `name`; one already there is no failure. `fresh`: made now.
SysError MakeFolderAt(int dirFd, const std::string& name, bool& fresh);

// The folder the user chose to copy into (which may be reached through a link).
UniqueFd OpenDestination(const std::string& path, SysError& error);

// Whether this process may create entries in the folder.
SysError CheckWritable(int fd);

// A folder an earlier run left, about to be filled again: it must take new entries, and
// temporaries of dead runs are removed.
void PrepareForFilling(int fd);

// Creates a new file under a fresh temporary name from `nextName`, with `perm`.
UniqueFd CreateTemporary(int dirFd, const std::function<std::string()>& nextName, mode_t perm,
                         std::string& temp, SysError& error);

// Creates a link to `target` under a fresh temporary name from `nextName`.
SysError CreateLinkTemporary(int dirFd, const std::string& target,
                             const std::function<std::string()>& nextName, std::string& temp);

// Writes all of `data` at `offset`.
SysError WriteAt(int fd, const uint8_t* data, size_t length, uint64_t offset);

// What a file is given once its data is written: the last calls made on its handle.
struct FileFinish {
    uint64_t size = 0;       // its whole size (a file ending in a hole gets it here)
    uint64_t writtenEnd = 0; // where its data written so far ends
    bool setOwner = false;
    uint32_t uid = 0, gid = 0;
    mode_t perm = 0;
    bool setPerm = false; // the bits a creation leaves out (umask, set-id) must be set
    int32_t mtime = 0;    // 0: left alone
};
// Size, owner, then permissions (which a change of owner may clear), then the time; then
// closes the handle.
SysError FinishFile(UniqueFd& fd, const FileFinish& finish);

// Owner, then permissions, then the time, which the folder's contents no longer change.
void SetFolderAttributes(int fd, bool setOwner, uint32_t uid, uint32_t gid, mode_t perm,
                         int32_t mtime);

// Owner and time of a link, never of what it points at.
void SetLinkAttributes(int dirFd, const std::string& name, bool setOwner, uint32_t uid,
                       uint32_t gid, int32_t mtime);

// Whether `name` is in the folder; `isFolder` says whether it is a folder, `dev`/`ino`
// which file it is.
bool ExistsAt(int dirFd, const std::string& name, bool* isFolder = nullptr, uint64_t* dev = nullptr,
              uint64_t* ino = nullptr);

// Renames `temp` to `name`: over an existing file only with `replace`, else never over
// anything (EEXIST then).
SysError RenameInto(int dirFd, const std::string& temp, const std::string& name, bool replace);

// Removes a temporary that will not be finished.
void Discard(int dirFd, const std::string& temp);

} // namespace trevik

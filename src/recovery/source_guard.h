#pragma once

// What a run reads from must never be what it writes: a report, a saved map or a
// recovered file that lands on the disk image (or one of its segments) would destroy the
// evidence. The guard knows the files and the device a session reads, by device and inode
// number (so links and other names of the same file are caught), and answers before any
// work is done.

#include "disk/block_device.h"
#include "format/result.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace trevik {

// A file as the kernel knows it, whatever its name.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

class SourceGuard {
public:
    SourceGuard() = default;
    // The files (every segment of a split or EWF set) and the device the open disk is read
    // from.
    static SourceGuard Of(const BlockDevice& device);

    // An output file about to be created or replaced: refused when it is (or links to) a
    // file the source is read from, or lies inside `insideOf` (the destination of a copy
    // the same run writes, where a recovered file could take its name). `what` names the
    // option for the message ("the report").
    Status CheckOutputFile(const std::string& path, const std::string& what,
                           const std::string& insideOf = {}) const;
    // A copy's destination folder: refused when it lies on the block device read from, or,
    // when existing files may be replaced (`replaces`), holds a source file at any depth.
    Status CheckDestination(const std::string& folder, bool replaces) const;

    // Whether an existing file is one the source is read from.
    bool IsSource(const FileIdentity& id) const;
    const std::vector<FileIdentity>& Files() const { return files_; }

private:
    // Whether a path (existing or not) lies on a file system of the block device read, or
    // of one of its partitions.
    bool OnSourceDisk(const std::string& path) const;

    std::vector<FileIdentity> files_; // regular files (images, segments)
    std::vector<dev_t> blockDevices_; // st_rdev of a block device read
    std::vector<std::string> paths_;  // as opened, for messages and the folder test
};

// Whether `path` (existing or not) lies inside `folder` (existing), compared by the
// folders' identities, so that links and "..", relative and absolute spellings agree.
bool LiesInside(const std::string& path, const std::string& folder);

} // namespace trevik

#pragma once

#include "recovery/session.h"
#include "ufs/mount.h"

#include <string>

namespace trevik::cli {

struct ServeOptions {
    std::string mountpoint;
    std::string fsname;      // what mount(8) shows as the source
    bool foreground = false; // else the server goes to the background once mounted
    bool zeroFill = false;   // unreadable parts read as zeros instead of failing with EIO
    bool keepSetid = false;  // show set-user-ID, set-group-ID and sticky bits
};

// A mount point must be an existing, empty folder: nothing there is hidden by the mount.
Status CheckMountpoint(const std::string& path);

// Shows the recovered tree of `volume` read-only at the mount point through FUSE until it
// is unmounted (fusermount3 -u, or a stop signal in the foreground): the names and folders
// ls shows, with sizes, links, one inode number per inode, the volume's statfs, and the
// modes, owners and times a copy gives (set-ID bits only with `keepSetid`; the mount is
// nosuid and nodev). File data is read from the disk when asked (direct I/O, so an unreadable range
// fails with EIO rather than being padded), and damaged inodes are empty files that fail to
// open. Returns the exit code.
int ServeVolume(Session& session, const MountedVolume& volume, const ServeOptions& options);

} // namespace trevik::cli

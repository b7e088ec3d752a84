#pragma once

#include "disk_image.h"
#include "fault_device.h"
#include "recovery/extraction.h"
#include "support/test_support.h"
#include "ufs/mount.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <sys/resource.h>

namespace trevik::testing {

// A mount's outcome as the tests look at it: on refusal `out` is left as it was.
struct MountOutcome {
    bool ok = false;
    std::string message;
    std::vector<Warning> warnings;
};
inline MountOutcome MountInto(SectorReader& reader, const PartitionEntry& entry, RecoveryMode mode,
                              std::atomic<bool>& stop, MountObserver* observer,
                              MountedVolume& out) {
    auto r = MountVolume(reader, entry, mode, stop, observer);
    if (!r) {
        return {false, r.error(), {}};
    }
    out = r.Take();
    return {true, "", out.warnings};
}

// What the first `size` bytes of a built node read back as (holes as zeros).
inline std::string ExpectedBytes(const imagebuilder::TreeNode& n, uint64_t size) {
    std::string s(size, '\0');
    imagebuilder::ExpectedContent(n, 0, {reinterpret_cast<uint8_t*>(s.data()), s.size()});
    return s;
}

// While it lives, writes past `bytes` fail with EFBIG, as on a file system whose files
// cannot be that large.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : oldHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        struct rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    void (*oldHandler_)(int);
    struct rlimit saved_ {};
};

// How many warnings of one kind.
inline size_t CountKind(const std::vector<Warning>& warnings, WarningKind kind) {
    return static_cast<size_t>(std::count_if(warnings.begin(), warnings.end(),
                                             [&](const Warning& w) { return w.kind == kind; }));
}

// A volume placed on a disk image in memory, mounted through the real reader.
struct Fixture {
    static constexpr uint32_t kStart = 2048;

    explicit Fixture(imagebuilder::UfsVolume v, uint64_t extraSectors = 4096)
        : volume(std::move(v)), disk([&] {
              imagebuilder::DiskImage d(kStart + volume.bytes.size() / 512 + extraSectors);
              d.PutVolume(kStart, volume);
              return MemoryBlockDevice(std::move(d.bytes));
          }()),
          faulty(disk), reader(&faulty, disk.SizeBytes() / 512, 3) {
        entry.name = "Solaris Partition - 1";
        entry.startSector = kStart;
        entry.sizeSectors = static_cast<uint32_t>(volume.bytes.size() / 512);
        entry.superblockSector = kStart + 16;
    }

    MountOutcome Mount(RecoveryMode mode, MountObserver* observer = nullptr) {
        std::atomic<bool> stop{false};
        return MountInto(reader, entry, mode, stop, observer, mounted);
    }

    // Absolute sector of a fragment of the built volume.
    uint64_t FragSector(uint64_t frag) const { return kStart + frag * volume.layout.nspf; }

    imagebuilder::UfsVolume volume;
    MemoryBlockDevice disk;
    imagebuilder::FaultyDevice faulty;
    SectorReader reader;
    PartitionEntry entry;
    MountedVolume mounted;
};

// The volume most engine tests build: 40 000 sectors in groups of eight cylinders, several
// groups deep so that staggered groups and inode tables past group 0 are exercised.
inline imagebuilder::UfsParams VolumeParams(uint32_t fsize = 1024, uint32_t bsize = 8192) {
    imagebuilder::UfsParams p;
    p.sizeSectors = 40000;
    p.fragmentSize = fsize;
    p.blockSize = bsize;
    p.cylindersPerGroup = 8;
    return p;
}

// Every path of the recovered tree ("/a/b", raw bytes) with its kind and size.
struct Listed {
    bool folder;
    uint64_t size;
    uint32_t inode;
    bool operator==(const Listed&) const = default;
};
std::map<std::string, Listed> ListAll(const RecoveredTree& tree);

// Every path of a built tree, as the volume should list it.
std::map<std::string, Listed> Expected(const imagebuilder::UfsVolume& vol);

} // namespace trevik::testing

#pragma once

#include "recovery/recovery_settings.h"
#include "ufs/mount_observer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevik::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1; // a failure, or a result with losses (warnings)
inline constexpr int kExitUsage = 2;
// A command stopped by a signal exits with 128 + its number: 130 SIGINT, 143 SIGTERM,
// 129 SIGHUP.
inline constexpr int kExitSignalBase = 128;

struct DisksOptions {
    std::vector<std::string> images;
    bool json = false;
};

// How every command that reads a disk reads it.
// A metadevice given by its layout, in place of DEVICE: one of the lists, each a
// comma-separated list of component images or disks ("missing" for a lost one).
struct LayoutOptions {
    std::string concat, stripe, raid5, mirror;
    std::string interlace; // SIZE: bytes, with an optional k or m suffix
    uint64_t startBlock = 0;
    // The disks of a metadevice whose state database one of them keeps ("IMAGE" or
    // "c1t1d0=IMAGE"), and which of its metadevices to open.
    std::vector<std::string> disks;
    std::string metadevice;
    bool Given() const {
        return !concat.empty() || !stripe.empty() || !raid5.empty() || !mirror.empty() ||
               !disks.empty();
    }
};

struct ReadOptions : LayoutOptions {
    uint32_t sectorsPerRead = 60;
    uint16_t retries = 3;
    std::string badmap;     // a ddrescue mapfile: its unfinished areas are not read
    std::string saveBadmap; // where to write the bad sectors this run met
};

// The sectors a --scan covers, as typed.
struct ScanRangeOptions {
    std::optional<std::string> start;
    std::optional<std::string> end;
};

struct VolumesOptions : ReadOptions, ScanRangeOptions {
    std::string device;
    bool scan = false;
    bool json = false;
    bool guess = false; // try the component orders and interlaces of the layout given
};

int RunDisks(const DisksOptions& options);
int RunVolumes(const VolumesOptions& options);

struct VolumeCommandOptions : ReadOptions, ScanRangeOptions {
    std::string device;
    int volume = 0; // 1-based
    bool scan = false;
    RecoveryMode mode = RecoveryMode::Normal;
    bool replayLog = true; // false (--log ignore): see the volume without its UFS log
    bool json = false;
};

struct LsOptions : VolumeCommandOptions {
    bool recursive = false;
    std::string path = "/";
};

struct FindOptions : VolumeCommandOptions {
    std::string text;
};

struct RecoverOptions : VolumeCommandOptions {
    std::string to;
    DuplicatePolicy duplicates = DuplicatePolicy::Skip;
    std::vector<std::string> paths;
    bool rawNames = false;
    bool keepSetid = false;
    bool keepOwner = false;
    unsigned jobs = 0;       // 0: one per core, at most 8
    std::string report;      // a DFXML report of the copy, written there
    std::string commandLine; // as the report records it
};

struct MountOptions : VolumeCommandOptions {
    std::string mountpoint;
    bool foreground = false;
    bool zeroFill = false;
    bool keepSetid = false;
};

int RunInfo(const VolumeCommandOptions& options);
int RunMount(const MountOptions& options);
int RunLs(const LsOptions& options);
int RunFind(const FindOptions& options);
int RunRecover(const RecoverOptions& options);

} // namespace trevik::cli

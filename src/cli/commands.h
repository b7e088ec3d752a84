#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevik::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1; // a failure, or a result with losses (warnings)
inline constexpr int kExitUsage = 2;

struct DisksOptions {
    std::vector<std::string> images;
    bool json = false;
};

// How every command that reads a disk reads it.
struct ReadOptions {
    uint32_t sectorsPerRead = 60;
    uint16_t retries = 3;
    std::string badmap;     // a ddrescue mapfile: its unfinished areas are not read
    std::string saveBadmap; // where to write the bad sectors this run met
};

struct VolumesOptions : ReadOptions {
    std::string device;
    bool scan = false;
    std::optional<std::string> start;
    std::optional<std::string> end;
    bool json = false;
};

int RunDisks(const DisksOptions& options);
int RunVolumes(const VolumesOptions& options);

struct VolumeCommandOptions : ReadOptions {
    std::string device;
    int volume = 0; // 1-based
    bool scan = false;
    std::string mode = "normal";
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
    std::string duplicates = "skip";
    std::vector<std::string> paths;
};

int RunInfo(const VolumeCommandOptions& options);
int RunLs(const LsOptions& options);
int RunFind(const FindOptions& options);
int RunRecover(const RecoverOptions& options);

} // namespace trevik::cli

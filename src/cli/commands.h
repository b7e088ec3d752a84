#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevik::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct DisksOptions {
    std::vector<std::string> images;
    bool json = false;
};

struct VolumesOptions {
    std::string device;
    bool scan = false;
    std::optional<std::string> start;
    std::optional<std::string> end;
    uint32_t sectorsPerRead = 60;
    uint16_t retries = 3;
    bool json = false;
};

int RunDisks(const DisksOptions& options);
int RunVolumes(const VolumesOptions& options);

} // namespace trevik::cli

namespace trevik::cli {

struct VolumeCommandOptions {
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

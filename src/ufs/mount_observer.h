#pragma once

#include "ufs/recovered_tree.h"

#include <cstdint>
#include <string>

namespace trevik {

enum class RecoveryMode : uint16_t { Normal = 1, Extensive = 2 };

inline const char* RecoveryModeName(RecoveryMode m) {
    return m == RecoveryMode::Extensive ? "Extensive" : "Normal";
}

// What a mount reports while it runs, on the mount's thread.
class MountObserver : public TreeObserver {
public:
    virtual void OnStatusText(const std::string& /*caption*/) {}
    virtual void OnProgress(uint32_t /*percent*/) {}
    virtual void OnCurrentSector(uint64_t /*sector*/) {}
    // The directory phase can be stopped while this is true.
    virtual void OnStopAvailable(bool /*available*/) {}
};

inline constexpr const char* kCaptionSearching = "Searching data structures, please wait...";
inline constexpr const char* kCaptionMounting = "Mounting volume, please wait...";
inline constexpr const char* kCaptionFinalizing = "Please wait, finalizing recovery";
inline constexpr const char* kCaptionLostData = "Searching Lost Data ...";
inline constexpr const char* kCaptionCreatingTree = "Creating Tree Structure, Please wait";

} // namespace trevik

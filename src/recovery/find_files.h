#pragma once

#include "ufs/recovered_tree.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace trevik {

struct FindHit {
    uint32_t fileIndex = 0;
    std::string name; // upper-cased, as shown
    std::string path; // "\" and the folder path joined by backslashes
    uint64_t size = 0;
};

class FindObserver {
public:
    virtual ~FindObserver() = default;
    virtual void OnHit(const FindHit& hit, size_t foundCount) = 0;
};

// Lets the front end hold a running search while it asks whether to stop it.
class PauseGate {
public:
    void Pause();
    void Resume();
    // Blocks while paused.
    void WaitWhilePaused();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool paused_ = false;
};

// Matches every file name (upper-cased) against the upper-cased text with MatchWildcard,
// in file-list order. Returns the number of hits; stops at the next file once `stop` is
// set.
size_t FindFiles(const RecoveredTree& tree, std::string_view text, const std::atomic<bool>& stop,
                 PauseGate* gate, FindObserver& observer);

} // namespace trevik

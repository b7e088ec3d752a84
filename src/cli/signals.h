#pragma once

#include <atomic>

namespace trevik::cli {

// SIGINT, SIGTERM and SIGHUP ask the running work to stop, as the window's Stop does:
// every flag watched is set, the work ends at its next check and the command exits with
// 128 + the signal's number. A second signal has its default effect.
void CatchStopSignals();

// Sets a flag when a stop signal arrives (at once when one already has), for as long as
// it lives. At most a few flags are watched at a time.
class WatchStopFlag {
public:
    explicit WatchStopFlag(std::atomic<bool>& flag);
    ~WatchStopFlag();
    WatchStopFlag(const WatchStopFlag&) = delete;
    WatchStopFlag& operator=(const WatchStopFlag&) = delete;

private:
    std::atomic<bool>* flag_;
};

// The stop signal that arrived, or 0.
int CaughtSignal();

} // namespace trevik::cli

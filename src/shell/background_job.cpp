#include "shell/background_job.h"

#include <chrono>

namespace trevik::shell {

BackgroundJob::BackgroundJob(QObject* parent) : QObject(parent), bridge_(this) {}

BackgroundJob::~BackgroundJob() {
    Cancel();
}

bool BackgroundJob::Start(std::function<void()> work) {
    if (Running())
        return false;
    stop_ = false;
    ended_ = false;
    bridge_.SetHeld(false);
    thread_ = std::thread([this, work = std::move(work)] {
        work();
        ended_ = true;
        bridge_.Post([this] { Ended(); });
    });
    return true;
}

void BackgroundJob::Ended() {
    if (thread_.joinable())
        thread_.join();
    emit Finished();
}

void BackgroundJob::Wait() {
    if (thread_.joinable())
        thread_.join();
    bridge_.SetHeld(false);
    bridge_.Drain(); // ends with Ended(), which emits Finished
}

void BackgroundJob::Cancel() {
    // Set until the worker has returned: a worker may clear the flag between its phases.
    while (thread_.joinable() && !ended_.load()) {
        stop_ = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    bridge_.Discard();
}

} // namespace trevik::shell

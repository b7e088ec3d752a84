#include "recovery/copy_run.h"

#include <unistd.h>

namespace trevik::copying {

SharedRun::SharedRun(const MountedVolume& v, SectorReader& r, const ExtractionOptions& o,
                     ExtractionControl& c, ExtractionObserver* obs)
    : volume(v), reader(r), opts(o), control(c), observer(obs), root(::geteuid() == 0),
      umask(CurrentUmask()),
      pidTag_(std::string(kPartialPrefix) + std::to_string(::getpid()) + "-") {}

void SharedRun::FileStarted(const void* owner, std::string path, std::string name, uint64_t size) {
    // Without an observer nothing is shown and nobody presses Skip File: nothing to keep,
    // and no lock taken per file.
    if (observer == nullptr)
        return;
    std::lock_guard lock(progressMutex_);
    if (owner == shownOwner_) // its last file is done: a skip meant for that one lapses
        control.skipFileRequested.store(false);
    inFlight_[owner] = {std::move(path), std::move(name), size};
    ShowLargest();
    observer->OnFileStarted(progress_);
}

bool SharedRun::TakeSkip(const void* owner) {
    if (!control.skipFileRequested.load(std::memory_order_relaxed))
        return false;
    std::lock_guard lock(progressMutex_);
    if (owner != shownOwner_ && shownOwner_ != nullptr)
        return false;
    return control.skipFileRequested.exchange(false);
}

// Without an observer nobody reads the account: no lock taken per block.
void SharedRun::AddBytes(int64_t n, bool report) {
    if (observer == nullptr)
        return;
    std::lock_guard lock(progressMutex_);
    progress_.bytesDone = static_cast<uint64_t>(static_cast<int64_t>(progress_.bytesDone) + n);
    if (report)
        observer->OnProgress(progress_);
}

void SharedRun::FileDone(const void* owner, int64_t correction) {
    if (observer == nullptr)
        return;
    std::lock_guard lock(progressMutex_);
    inFlight_.erase(owner);
    ++progress_.filesDone;
    progress_.bytesDone =
        static_cast<uint64_t>(static_cast<int64_t>(progress_.bytesDone) + correction);
    if (owner == shownOwner_ && !inFlight_.empty())
        ShowLargest();
    observer->OnProgress(progress_);
}

void SharedRun::ShowLargest() {
    auto best = inFlight_.end();
    for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it)
        if (best == inFlight_.end() || it->second.size > best->second.size)
            best = it;
    if (best == inFlight_.end())
        return;
    shownOwner_ = best->first;
    progress_.path = best->second.path;
    progress_.name = best->second.name;
}

void SharedRun::Push(Task t) {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::move(t));
    }
    queueChanged_.notify_one();
}

void SharedRun::Close() {
    {
        std::lock_guard lock(queueMutex_);
        closed_ = true;
    }
    queueChanged_.notify_all();
}

std::optional<Task> SharedRun::Pop(bool wait) {
    std::unique_lock lock(queueMutex_);
    if (wait)
        queueChanged_.wait(lock, [&] { return closed_ || !queue_.empty(); });
    if (queue_.empty())
        return std::nullopt;
    Task t = std::move(queue_.front());
    queue_.pop_front();
    return t;
}

} // namespace trevik::copying

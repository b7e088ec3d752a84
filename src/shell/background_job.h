#pragma once

#include "shell/worker_bridge.h"

#include <QObject>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace trevik::shell {

// The one way the window runs work off its thread: a worker, its stop flag, the bridge that
// carries its updates to the user-interface thread in order (coalesced per key), and
// Finished once the worker has returned and every update it posted has been applied.
class BackgroundJob : public QObject {
    Q_OBJECT
public:
    explicit BackgroundJob(QObject* parent = nullptr);
    // Stops the worker, waits for it and drops what it still had to show.
    ~BackgroundJob() override;

    // Starts `work` on a new thread with the stop flag cleared; false while one runs.
    bool Start(std::function<void()> work);
    bool Running() const { return thread_.joinable(); }

    // Polled by the worker; set by RequestStop, cleared by Start.
    std::atomic<bool>& StopFlag() { return stop_; }
    void RequestStop() { stop_ = true; }

    // From the worker.
    void Post(std::function<void()> update) { bridge_.Post(std::move(update)); }
    void PostLatest(const std::string& key, std::function<void()> update) {
        bridge_.PostLatest(key, std::move(update));
    }

    // While held, updates wait (a question is on screen); releasing applies them at the
    // next refresh.
    void Hold(bool held) { bridge_.SetHeld(held); }
    // Waits for the worker to return, then applies its updates and emits Finished here.
    void Wait();
    // Stops and waits for the worker; its pending updates are dropped and Finished is not
    // emitted (what they refer to is being torn down).
    void Cancel();

signals:
    void Finished();

private:
    void Ended();

    WorkerBridge bridge_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
};

} // namespace trevik::shell

#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace trevik::shell {

// Carries a worker's updates to the user-interface thread in the order the worker made
// them. Updates posted under a key replace that key's earlier update still waiting, so
// the window applies at most one of each kind per refresh (a few dozen a second).
class WorkerBridge : public QObject {
    Q_OBJECT
public:
    explicit WorkerBridge(QObject* parent = nullptr);

    // From any thread.
    void Post(std::function<void()> update);
    void PostLatest(const std::string& key, std::function<void()> update);

    // On the user-interface thread: applies everything waiting now.
    void Drain();
    // While held, nothing is applied (a question is on screen); updates keep waiting.
    void SetHeld(bool held) { held_ = held; }
    // Drops everything waiting.
    void Discard();

private:
    struct Item {
        std::string key;
        std::function<void()> fn;
        bool alive = true;
    };
    std::mutex mutex_;
    std::vector<Item> queue_;
    std::unordered_map<std::string, size_t> lastOfKey_;
    QTimer timer_;
    bool held_ = false;
};

} // namespace trevik::shell

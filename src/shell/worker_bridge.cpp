#include "shell/worker_bridge.h"

namespace trevik::shell {

WorkerBridge::WorkerBridge(QObject* parent) : QObject(parent) {
    timer_.setInterval(30);
    connect(&timer_, &QTimer::timeout, this, &WorkerBridge::Drain);
    timer_.start();
}

void WorkerBridge::Post(std::function<void()> update) {
    std::lock_guard lock(mutex_);
    queue_.push_back({{}, std::move(update), true});
}

void WorkerBridge::PostLatest(const std::string& key, std::function<void()> update) {
    std::lock_guard lock(mutex_);
    const auto it = lastOfKey_.find(key);
    if (it != lastOfKey_.end()) {
        queue_[it->second].alive = false;
    }
    lastOfKey_[key] = queue_.size();
    queue_.push_back({key, std::move(update), true});
}

void WorkerBridge::Discard() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    lastOfKey_.clear();
}

void WorkerBridge::Drain() {
    if (held_) {
        return;
    }
    std::vector<Item> items;
    {
        std::lock_guard lock(mutex_);
        items.swap(queue_);
        lastOfKey_.clear();
    }
    for (auto& item : items) {
        if (item.alive) {
            item.fn();
        }
    }
}

} // namespace trevik::shell

#include "recovery/find_files.h"

#include "recovery/wildcard.h"
#include "ufs/names.h"
#include "ufs/tree_paths.h"

namespace trevik {

void PauseGate::Pause() {
    std::lock_guard lock(mutex_);
    paused_ = true;
}

void PauseGate::Resume() {
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
    }
    cv_.notify_all();
}

void PauseGate::WaitWhilePaused() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return !paused_; });
}

size_t FindFiles(const RecoveredTree& tree, std::string_view text, const std::atomic<bool>& stop,
                 PauseGate* gate, FindObserver& observer) {
    const std::string pattern = ToUpperName(text);
    size_t found = 0;
    const auto& files = tree.Files();
    for (size_t i = 0; i < files.size(); ++i) {
        if (gate != nullptr)
            gate->WaitWhilePaused();
        if (stop.load(std::memory_order_relaxed))
            break;
        const std::string upper = ToUpperName(tree.FileName(i));
        if (MatchWildcard(upper, pattern) != 1)
            continue;
        FindHit hit;
        hit.fileIndex = static_cast<uint32_t>(i);
        hit.name = DisplayName(upper);
        hit.path = "\\" + FolderPath(tree, files[i].parentInode, '\\', true);
        hit.size = files[i].size;
        observer.OnHit(hit, ++found);
    }
    return found;
}

} // namespace trevik

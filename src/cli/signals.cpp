#include "cli/signals.h"

#include <array>
#include <csignal>

namespace trevik::cli {
namespace {

constexpr size_t kMaxFlags = 8;
std::array<std::atomic<std::atomic<bool>*>, kMaxFlags> g_flags{};
std::atomic<int> g_signal{0};

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);

extern "C" void OnStopSignal(int sig) {
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
    for (auto& slot : g_flags) {
        if (std::atomic<bool>* flag = slot.load())
            flag->store(true);
    }
}

} // namespace

void CatchStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sa.sa_flags = SA_RESETHAND; // a second one ends the process
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

WatchStopFlag::WatchStopFlag(std::atomic<bool>& flag) : flag_(&flag) {
    for (auto& slot : g_flags) {
        std::atomic<bool>* empty = nullptr;
        if (slot.compare_exchange_strong(empty, flag_))
            break;
    }
    if (g_signal.load() != 0)
        flag.store(true);
}

WatchStopFlag::~WatchStopFlag() {
    for (auto& slot : g_flags) {
        std::atomic<bool>* mine = flag_;
        if (slot.compare_exchange_strong(mine, nullptr))
            break;
    }
}

int CaughtSignal() {
    return g_signal.load();
}

} // namespace trevik::cli

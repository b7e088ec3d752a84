#pragma once

// What the commands share for their output besides the JSON they stream (json_writer.h):
// a one-line progress display on stderr when stderr is a terminal.

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace trevik::cli {

// Redrawn at most every 100 ms unless forced; ends its line when done.
class ProgressLine {
public:
    ProgressLine() : enabled_(::isatty(STDERR_FILENO) == 1) {}
    ~ProgressLine() { Done(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void Show(const std::string& text, bool force = false) {
        if (!enabled_) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(100)) {
            return;
        }
        last_ = now;
        std::fprintf(stderr, "\r%-100s", text.substr(0, 100).c_str());
        std::fflush(stderr);
        drawn_ = true;
    }
    void Done() {
        if (drawn_) {
            std::fputs("\n", stderr);
        }
        drawn_ = false;
    }

private:
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

} // namespace trevik::cli

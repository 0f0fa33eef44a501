#include "tools/live/console.h"

#include <cstdio>

namespace orvex::live {

void Console::clearStatusLocked() {
    if (!statusShown_) return;
    std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
    statusShown_ = false;
}

void Console::line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearStatusLocked();
    std::fprintf(stderr, "orvex-live: %s\n", text.c_str());
    std::fflush(stderr);
    // The status comes back at once rather than at the next refresh.
    if (terminal_ && !lastStatus_.empty()) {
        std::fprintf(stdout, "%s", lastStatus_.c_str());
        std::fflush(stdout);
        statusShown_ = true;
    }
}

void Console::status(const std::string& text) {
    if (!terminal_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stdout, "\r%s\033[K", text.c_str());
    std::fflush(stdout);
    statusShown_ = true;
    lastStatus_ = text;
}

void Console::output(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearStatusLocked();
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

void Console::endStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (statusShown_) {
        std::fputs("\n", stdout);
        std::fflush(stdout);
    }
    statusShown_ = false;
    lastStatus_.clear();
}

}  // namespace orvex::live

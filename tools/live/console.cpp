#include "tools/live/console.h"

#include <cstdio>

namespace orvex::live {

namespace {
// The status as written: its first line from the start of the line, every line cleared to its
// end, the cursor left on the last one.
std::string statusText(const std::string& text, int& lines) {
    std::string out = "\r";
    lines = 1;
    for (char c : text) {
        if (c == '\n') {
            out += "\033[K\n";
            ++lines;
        } else {
            out += c;
        }
    }
    return out + "\033[K";
}

// Back to the start of the status's first line.
void rewind(int lines) {
    for (int i = 1; i < lines; ++i) std::fputs("\r\033[K\033[1A", stdout);
    std::fputs("\r\033[K", stdout);
}
}  // namespace

void Console::clearStatusLocked() {
    if (!statusShown_) return;
    rewind(statusLines_);
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
        std::fputs(statusText(lastStatus_, statusLines_).c_str(), stdout);
        std::fflush(stdout);
        statusShown_ = true;
    }
}

void Console::status(const std::string& text) {
    if (!terminal_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    // A shorter status than the last leaves no line of it behind.
    if (statusShown_) {
        for (int i = 1; i < statusLines_; ++i) std::fputs("\r\033[K\033[1A", stdout);
    }
    std::fputs(statusText(text, statusLines_).c_str(), stdout);
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

#pragma once
// Text for reports: printf-style formatting into a std::string, and JSON values.
#include <cstdarg>
#include <cstdio>
#include <string>

namespace orvex::tools {

inline std::string formatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string formatText(const char* fmt, ...) {
    char buf[1024];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    std::string out;
    if (n >= 0 && static_cast<std::size_t>(n) >= sizeof buf) {
        // Longer than the buffer (long paths in a report line): formatted again at its length.
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, again);
        out.resize(static_cast<std::size_t>(n));
    } else {
        out = n >= 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
    va_end(again);
    return out;
}

// `s` as a JSON string, quotes and escapes included.
std::string jsonString(const std::string& s);
// `v` with `decimals` decimals; non-finite values (the loudness of silence) become null.
std::string jsonNumber(double v, int decimals = 3);

}  // namespace orvex::tools

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
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// `s` as a JSON string, quotes and escapes included.
std::string jsonString(const std::string& s);
// `v` with `decimals` decimals; non-finite values (the loudness of silence) become null.
std::string jsonNumber(double v, int decimals = 3);

}  // namespace orvex::tools

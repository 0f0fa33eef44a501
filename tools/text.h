#pragma once
// printf-style formatting into a std::string, for the report lines of the command-line modes.
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

}  // namespace orvex::tools

#pragma once
// Bounded text copies into buffers the host provides.
#include <cstddef>

namespace orvex {

// Copies at most n characters of source, zero-fills the rest of the n bytes and stores a zero
// at text[n]: n + 1 bytes are written whatever the source's length.
inline void copyBounded(char* text, const char* source, std::size_t n) {
    std::size_t i = 0;
    for (; i < n && source[i] != '\0'; ++i) text[i] = source[i];
    for (; i < n; ++i) text[i] = '\0';
    text[n] = '\0';
}

}  // namespace orvex

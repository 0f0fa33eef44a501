#pragma once
// Forced into every unit of the fuzzing build. GCC's __builtin_shuffle (one vector and a mask,
// or two vectors and a mask) has no clang counterpart that takes a mask variable; these stand in
// for it lane by lane with the same result: lane i takes v[m[i]] of the one vector, or of the
// two vectors taken as one of twice the width.
#if defined(__clang__)
template <class V, class M>
inline V orvexCompatShuffle(V lo, V hi, M m) {
    constexpr int width = static_cast<int>(sizeof(V) / sizeof(lo[0]));
    V r = lo;
    for (int i = 0; i < width; ++i) {
        const int k = static_cast<int>(m[i]) & (2 * width - 1);
        r[i] = k < width ? lo[k] : hi[k - width];
    }
    return r;
}
template <class V, class M>
inline V orvexCompatShuffle(V v, M m) {
    constexpr int width = static_cast<int>(sizeof(V) / sizeof(v[0]));
    V r = v;
    for (int i = 0; i < width; ++i) r[i] = v[static_cast<int>(m[i]) & (width - 1)];
    return r;
}
#define __builtin_shuffle(...) orvexCompatShuffle(__VA_ARGS__)
#endif

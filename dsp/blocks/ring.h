#pragma once
// Delay lines and short registers.
//
// Every ring is a power of two long and addressed by the processor's one shared write index, an
// unsigned 32-bit counter that wraps: since every length divides 2^32, a masked read stays exact
// across the wrap.
#include "dsp/blocks/isa.h"
#include <cstddef>
#include <cstdint>

namespace orvex {
inline namespace ORVEX_ISA_NS {

using RingIndex = std::uint32_t;

template <std::size_t Length>
struct Ring {
    static_assert(Length > 0 && (Length & (Length - 1)) == 0, "ring length must be a power of two");
    static constexpr RingIndex kMask = static_cast<RingIndex>(Length - 1);

    float data[Length] = {};

    void write(RingIndex index, float v) { data[index & kMask] = v; }
    // The value written `delay` samples before `index` (0: the one written at `index`).
    float read(RingIndex index, RingIndex delay) const { return data[(index - delay) & kMask]; }
    void clear() {
        for (auto& v : data) v = 0.0f;
    }
};

// The last N values of a signal, newest first: at(0) is the value pushed in this sample.
template <std::size_t N>
struct ShiftRegister {
    float v[N] = {};

    void push(float x) {
        for (std::size_t i = N - 1; i > 0; --i) v[i] = v[i - 1];
        v[0] = x;
    }
    float at(std::size_t age) const { return v[age]; }
    float max() const {
        float m = v[0];
        for (std::size_t i = 1; i < N; ++i) m = v[i] > m ? v[i] : m;
        return m;
    }
    void clear() {
        for (auto& x : v) x = 0.0f;
    }
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

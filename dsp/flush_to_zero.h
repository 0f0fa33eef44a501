#pragma once
// Flush-to-zero for the duration of one block, as every front end runs the processor: the
// recursive sections would otherwise crawl through denormal values in their decaying tails, and
// the two plug-in formats must round those tails the same way to give the same bits. The
// caller's own setting comes back when the scope ends.
//
// The mode lives in the x86 MXCSR (flush-to-zero, bit 15; denormals-are-zero is left alone) or
// the 64-bit ARM FPCR (FZ, bit 24, which on ARM also reads denormal inputs as zero).
// floatControl() and setFloatControl() read and write that register for callers that keep a
// host's mode (the renderer, the tests).
#include <cstdint>

#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64) || defined(_M_IX86)
#include <xmmintrin.h>
#define ORVEX_HAVE_FLOAT_CONTROL 1
#define ORVEX_FLOAT_CONTROL_MXCSR 1
#elif defined(__aarch64__) && defined(__GNUC__)
#define ORVEX_HAVE_FLOAT_CONTROL 1
#define ORVEX_FLOAT_CONTROL_FPCR 1
#endif

namespace orvex {

#if defined(ORVEX_FLOAT_CONTROL_MXCSR)
using FloatControlWord = unsigned int;
inline constexpr FloatControlWord kFlushToZeroBit = 0x8000u;
inline FloatControlWord floatControl() { return _mm_getcsr(); }
inline void setFloatControl(FloatControlWord word) { _mm_setcsr(word); }
#elif defined(ORVEX_FLOAT_CONTROL_FPCR)
using FloatControlWord = std::uint64_t;
inline constexpr FloatControlWord kFlushToZeroBit = FloatControlWord{1} << 24;
inline FloatControlWord floatControl() {
    FloatControlWord word;
    asm volatile("mrs %0, fpcr" : "=r"(word) : : "memory");
    return word;
}
inline void setFloatControl(FloatControlWord word) { asm volatile("msr fpcr, %0" : : "r"(word) : "memory"); }
#endif

class FlushToZero {
public:
#ifdef ORVEX_HAVE_FLOAT_CONTROL
    FlushToZero() : fSaved(floatControl()) { setFloatControl(fSaved | kFlushToZeroBit); }
    ~FlushToZero() { setFloatControl(fSaved); }

private:
    FloatControlWord fSaved;
#else
    FlushToZero() {}
#endif
public:
    FlushToZero(const FlushToZero&) = delete;
    FlushToZero& operator=(const FlushToZero&) = delete;
};

}  // namespace orvex

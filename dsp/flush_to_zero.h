#pragma once
// Flush-to-zero for the duration of one block, as every front end runs the processor: the
// recursive sections would otherwise crawl through denormal values in their decaying tails, and
// the two plug-in formats must round those tails the same way to give the same bits. The
// caller's own setting comes back when the scope ends.
#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64) || defined(_M_IX86)
#include <xmmintrin.h>
#define ORVEX_HAVE_MXCSR 1
#endif

namespace orvex {

class FlushToZero {
public:
#ifdef ORVEX_HAVE_MXCSR
    FlushToZero() : fSaved(_mm_getcsr()) { _mm_setcsr(fSaved | 0x8000u); }
    ~FlushToZero() { _mm_setcsr(fSaved); }

private:
    unsigned int fSaved;
#else
    FlushToZero() {}
#endif
public:
    FlushToZero(const FlushToZero&) = delete;
    FlushToZero& operator=(const FlushToZero&) = delete;
};

}  // namespace orvex

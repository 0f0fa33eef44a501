#pragma once
// The copies of the chain routine, one per instruction set the build compiles the chain for.
#include "dsp/chain.h"

// The unit being compiled defines its own copy under these names.
#if !defined(ORVEX_CHAIN_KERNEL_NAME)
#define ORVEX_CHAIN_KERNEL_NAME kChainBase
#define ORVEX_CHAIN_KERNEL_PATH SimdPath::Sse2
#endif

namespace orvex::simd {
extern const ChainKernel kChainBase;
#if defined(ORVEX_SIMD_DISPATCH)
extern const ChainKernel kChainAvx2;
extern const ChainKernel kChainAvx512;
#endif
}  // namespace orvex::simd

// The chain routine; compiled once per instruction set (ORVEX_ISA_NS names the copy).
#include "dsp/chain.h"

#include "dsp/simd/chain_paths.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {
namespace {

void runChain(void* state, const float* x, float* outA, float* outB, int n, RingIndex index, ChainBuffers& b) {
    Chain& c = *static_cast<Chain*>(state);
    // Stage by stage over the sub-block: each stage reads only earlier stages' values of the
    // same samples and its own past, so this equals running the chain sample by sample.
    c.input.process(x, b.v, b.r, n, index);
    c.bands.process(b.v, b.r, b.y1, b.y2, n, index);
    c.expansion.process(b.y1, b.y2, b.zA, b.zB, n);
    c.output.process(b.zA, b.zB, outA, outB, n, index);
}

void runStage(void* state, int stage, const float* x, float* outA, float* outB, int n, RingIndex index,
              ChainBuffers& b) {
    Chain& c = *static_cast<Chain*>(state);
    switch (stage) {
        case 0: c.input.process(x, b.v, b.r, n, index); break;
        case 1: c.bands.process(b.v, b.r, b.y1, b.y2, n, index); break;
        case 2: c.expansion.process(b.y1, b.y2, b.zA, b.zB, n); break;
        default: c.output.process(b.zA, b.zB, outA, outB, n, index); break;
    }
}

}  // namespace
}  // namespace ORVEX_ISA_NS

namespace simd {
extern const ChainKernel ORVEX_CHAIN_KERNEL_NAME = {ORVEX_CHAIN_KERNEL_PATH, sizeof(Chain), runChain, runStage};
}  // namespace simd

}  // namespace orvex

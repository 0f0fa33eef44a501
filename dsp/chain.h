#pragma once
// The signal chain behind the processing frame: the four stages in order, and the routine that
// runs one sub-block through them. This unit is compiled once per instruction set; the frame
// picks the copy for the active path (chainKernel()).
#include <cstddef>

#include "dsp/blocks/isa.h"
#include "dsp/blocks/ring.h"
#include "dsp/blocks/vecmath.h"
#include "dsp/bandwidth_expansion.h"
#include "dsp/frame.h"
#include "dsp/input_stage.h"
#include "dsp/multiband.h"
#include "dsp/output_stage.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

struct Chain {
    InputStage input;
    MultibandSection bands;
    BandwidthExpansion expansion;
    OutputStage output;
};

// Every stage output of one sub-block.
struct ChainBuffers {
    alignas(64) float v[kSubBlock];
    alignas(64) float r[kSubBlock];
    alignas(64) float y1[kSubBlock];
    alignas(64) float y2[kSubBlock];
    alignas(64) float zA[kSubBlock];
    alignas(64) float zB[kSubBlock];
};

}  // namespace ORVEX_ISA_NS

// One copy of the chain routine. The state is the baseline Chain object: every copy is compiled
// from the same definitions, so the layout is the same (chainSize checks it).
struct ChainKernel {
    SimdPath path;
    std::size_t chainSize;
    // x: n <= kSubBlock admitted input samples at ring index `index`; outA/outB are written after
    // every sample of x was read, so they may alias it.
    void (*run)(void* chain, const float* x, float* outA, float* outB, int n, RingIndex index, ChainBuffers& b);
    // One stage alone, for measuring: 0 input stage (x to b.v, b.r), 1 multiband (to b.y1, b.y2),
    // 2 bandwidth expansion (to b.zA, b.zB), 3 output stage (to outA, outB).
    void (*runStage)(void* chain, int stage, const float* x, float* outA, float* outB, int n, RingIndex index,
                     ChainBuffers& b);
};

// The copy for the active path (vectorMath().path).
const ChainKernel& chainKernel();
// The copy compiled for a path (the baseline copy for paths without one of their own).
const ChainKernel& chainKernelFor(SimdPath path);

}  // namespace orvex

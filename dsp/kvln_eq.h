#pragma once
// The fixed station equaliser: five Butterworth crossovers (lowpass plus a scaled highpass of the
// same order and corner), then four peaking sections. It runs on every sample whether or not
// "Disable KVLN EQ" bypasses it, so switching it back in continues from live state.
//
// The whole equaliser runs as one wavefront (see wavefront.h): its sections form sixteen levels
// of two lanes, the lowpass branch in the even lane and the highpass branch in the odd one. A
// crossover is a first-order level followed by its second-order levels; the level after a
// crossover's last one takes low + g * high in both lanes; the peaking sections are the last four
// levels, run alike in both lanes. In step t level k works on sample t - k, so a span of n
// samples takes n + 15 steps in which all sixteen levels advance together, instead of thirty
// recursions waiting on one another. Every section computes what the step functions of
// sections.h compute, in the same order of operations.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

class KvlnEq {
public:
    static constexpr int kCrossovers = 5;
    static constexpr int kPeaks = 4;
    struct CrossoverDef {
        float cornerHz;
        int order;  // odd: one first-order section and (order - 1) / 2 second-order ones per branch
        float highGain;
    };
    // +16 dB, -25 dB, -3 dB, -3 dB, -8 dB above the corners, in the order they are applied.
    static constexpr CrossoverDef kCrossoverDefs[kCrossovers] = {
        {5000.0f, 7, 6.3095737f}, {3500.0f, 1, 0.056234132f}, {3600.0f, 5, 0.70794576f},
        {4600.0f, 3, 0.70794576f}, {2000.0f, 3, 0.39810717f},
    };
    static constexpr int kLevels = 16;  // 4 + 1 + 3 + 2 + 2 crossover levels, 4 peaks
    static constexpr int kLanes = 2 * kLevels;

    // The Butterworth dampings of a crossover of odd order 3, 5 or 7 (nullptr for order 1).
    static const float* dampings(int order);
    // Peaking section i (0..3) at this rate.
    static BiquadCoefs peak(const Rate& rate, int i);

    void setRate(const Rate& rate);
    void clear();
    // w: the noise reduction's output; v: the equalised signal, or w itself when bypassed.
    void process(const float* w, float* v, int n, bool bypass);

private:
    void run(const float* w, float* v, int n);

    // Per lane, in a row of sections. Second-order lanes: N, a1, a2, b0, b1, b2 and the recursion
    // memories q1, q2. First-order lanes hold y = ((cx x + cx1 x1) - k y1) g as b0 = cx,
    // b1 = cx1, a1 = k, N = g (cx = cx1 = 1 for the lowpass, cx = c and cx1 = -c for the
    // highpass) with x1 in q1 and y1 in q2. The inputs of a level that follows a crossover are
    // low + mix * high.
    wavefront::SectionRow<kLanes> row_;
    alignas(64) float mix_[kLanes] = {};
    alignas(64) int firstOrder_[kLanes] = {}, combines_[kLanes] = {};  // -1 where true
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

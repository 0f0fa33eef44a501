#include "dsp/kvln_eq.h"

#include "dsp/frame.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {

const float* oddDampings(int order) {
    switch (order) {
        case 3: return kButterworth3;
        case 5: return kButterworth5;
        case 7: return kButterworth7;
        default: return nullptr;
    }
}

struct CrossoverDef {
    float cornerHz;
    int order;
    float highGain;
};
// +16 dB, -25 dB, -3 dB, -3 dB, -8 dB above the corners, in the order they are applied.
constexpr CrossoverDef kCrossoverDefs[KvlnEq::kCrossovers] = {
    {5000.0f, 7, 6.3095737f}, {3500.0f, 1, 0.056234132f}, {3600.0f, 5, 0.70794576f},
    {4600.0f, 3, 0.70794576f}, {2000.0f, 3, 0.39810717f},
};

}  // namespace

void Crossover::design(const Rate& rate, float cornerHz, int order, float highGain) {
    const float c = 1.0f / prewarp(rate, cornerHz);
    fFirst = firstOrder(c);
    fSections = (order - 1) / 2;
    fHighGain = highGain;
    const float* d = oddDampings(order);
    fBranches.setCount(fSections);
    for (int i = 0; i < fSections; ++i) {
        fBranches.set(i, 0, butterworthLowpass(c, d[i]));
        fBranches.set(i, 1, butterworthHighpass(c, d[i]));
    }
}

void Crossover::clear() {
    fLowFirst = FirstOrderState{};
    fHighFirst = FirstOrderState{};
    fBranches.clear();
}

void Crossover::process(float* buf, int n) {
    float low[kSubBlock], high[kSubBlock];
    FirstOrderState ls = fLowFirst, hs = fHighFirst;
    for (int i = 0; i < n; ++i) {
        low[i] = stepLowpass(fFirst, ls, buf[i]);
        high[i] = stepHighpass(fFirst, hs, buf[i]);
    }
    fLowFirst = ls;
    fHighFirst = hs;
    fBranches.process(low, high, n);
    for (int i = 0; i < n; ++i) buf[i] = low[i] + fHighGain * high[i];
}

void KvlnEq::setRate(const Rate& rate) {
    for (int i = 0; i < kCrossovers; ++i) {
        const CrossoverDef& s = kCrossoverDefs[i];
        fCrossovers[i].design(rate, s.cornerHz, s.order, s.highGain);
    }
    fPeaks.set(0, peakingSection(rate, 4500.0f, 1000.0f, 2.5118864f, Peak::Cut));    // -8 dB
    fPeaks.set(1, peakingSection(rate, 7500.0f, 4000.0f, 1.7782794f, Peak::Cut));    // -5 dB
    fPeaks.set(2, peakingSection(rate, 3200.0f, 1000.0f, 1.7782794f, Peak::Boost));  // +5 dB
    fPeaks.set(3, peakingSection(rate, 50.0f, 50.0f, 1.9952623f, Peak::Boost));      // +6 dB
}

void KvlnEq::clear() {
    for (auto& x : fCrossovers) x.clear();
    fPeaks.clear();
}

void KvlnEq::process(const float* w, float* v, int n, bool bypass) {
    float eq[kSubBlock];
    while (n > 0) {
        const int m = n < kSubBlock ? n : kSubBlock;
        for (int i = 0; i < m; ++i) eq[i] = w[i];
        for (auto& x : fCrossovers) x.process(eq, m);
        fPeaks.process(eq, m);
        const float* out = bypass ? w : eq;
        for (int i = 0; i < m; ++i) v[i] = out[i];
        w += m;
        v += m;
        n -= m;
    }
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

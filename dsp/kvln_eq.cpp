#include "dsp/kvln_eq.h"

#include <cstring>
#include <utility>

#include "dsp/blocks/wavefront.h"
#include "dsp/frame.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

const float* KvlnEq::dampings(int order) {
    switch (order) {
        case 3: return kButterworth3;
        case 5: return kButterworth5;
        case 7: return kButterworth7;
        default: return nullptr;
    }
}

BiquadCoefs KvlnEq::peak(const Rate& rate, int i) {
    switch (i) {
        case 0: return peakingSection(rate, 4500.0f, 1000.0f, 2.5118864f, Peak::Cut);    // -8 dB
        case 1: return peakingSection(rate, 7500.0f, 4000.0f, 1.7782794f, Peak::Cut);    // -5 dB
        case 2: return peakingSection(rate, 3200.0f, 1000.0f, 1.7782794f, Peak::Boost);  // +5 dB
        default: return peakingSection(rate, 50.0f, 50.0f, 1.9952623f, Peak::Boost);     // +6 dB
    }
}

void KvlnEq::setRate(const Rate& rate) {
    int level = 0;
    auto setSection = [this](int lane, const BiquadCoefs& k) {
        row_.set(lane, k);
        firstOrder_[lane] = 0;
    };
    float mix = 0.0f;  // gain of the previous crossover's highpass branch
    for (int x = 0; x < kCrossovers; ++x) {
        const CrossoverDef& d = kCrossoverDefs[x];
        const float c = 1.0f / prewarp(rate, d.cornerHz);
        const FirstOrderCoefs f = firstOrder(c);
        for (int branch = 0; branch < 2; ++branch) {
            const int lane = 2 * level + branch;
            // {N, a1, a2, b0, b1, b2} = {g, k, 0, cx, cx1, 0}
            row_.set(lane, {f.g, f.k, 0.0f, branch == 0 ? 1.0f : f.c, branch == 0 ? 1.0f : -f.c, 0.0f});
            firstOrder_[lane] = -1;
            combines_[lane] = x > 0 ? -1 : 0;
            mix_[lane] = mix;
        }
        ++level;
        const float* damp = dampings(d.order);
        for (int s = 0; s < (d.order - 1) / 2; ++s, ++level) {
            setSection(2 * level, butterworthLowpass(c, damp[s]));
            setSection(2 * level + 1, butterworthHighpass(c, damp[s]));
            combines_[2 * level] = combines_[2 * level + 1] = 0;
        }
        mix = d.highGain;
    }
    for (int p = 0; p < kPeaks; ++p, ++level) {
        for (int branch = 0; branch < 2; ++branch) {
            const int lane = 2 * level + branch;
            setSection(lane, peak(rate, p));
            combines_[lane] = p == 0 ? -1 : 0;
            mix_[lane] = p == 0 ? mix : 0.0f;
        }
    }
}

void KvlnEq::clear() { row_.clear(); }

void KvlnEq::process(const float* w, float* v, int n, bool bypass) {
    float eq[kSubBlock];
    while (n > 0) {
        const int m = n < kSubBlock ? n : kSubBlock;
        run(w, eq, m);
        const float* out = bypass ? w : eq;
        for (int i = 0; i < m; ++i) v[i] = out[i];
        w += m;
        v += m;
        n -= m;
    }
}

namespace {

// Which levels are first-order sections and which take a crossover's output, from the table, so
// that vectors of lanes holding no such level skip that arithmetic.
struct LevelKinds {
    bool first[KvlnEq::kLevels] = {};
    bool combines[KvlnEq::kLevels] = {};
};
constexpr LevelKinds levelKinds() {
    LevelKinds k;
    int level = 0;
    for (int x = 0; x < KvlnEq::kCrossovers; ++x) {
        k.first[level] = true;
        k.combines[level] = x > 0;
        level += 1 + (KvlnEq::kCrossoverDefs[x].order - 1) / 2;
    }
    k.combines[level] = true;  // the first peaking section
    return k;
}
constexpr LevelKinds kKinds = levelKinds();
static_assert(kKinds.combines[KvlnEq::kLevels - KvlnEq::kPeaks], "crossover levels and peaks fill the row");

// Whether any (every) level in vector j of a row of vectors `width` lanes wide has the kind.
constexpr bool anyIn(const bool (&kind)[KvlnEq::kLevels], int j, int width) {
    for (int l = j * width; l < (j + 1) * width; l += 2)
        if (kind[l / 2]) return true;
    return false;
}
constexpr bool allIn(const bool (&kind)[KvlnEq::kLevels], int j, int width) {
    for (int l = j * width; l < (j + 1) * width; l += 2)
        if (!kind[l / 2]) return false;
    return true;
}

}  // namespace

void KvlnEq::run(const float* w, float* v, int n) {
    using namespace wavefront;
    constexpr int V = kLanes / kWidth;
    constexpr int kLastVector = (kLanes - 2) / kWidth, kLastLane = (kLanes - 2) % kWidth;
    // The lanes of a pair swapped, and which lane of its pair a lane is.
    constexpr Mask kSwap = []<int... l>(std::integer_sequence<int, l...>) {
        return Mask{(l ^ 1)...};
    }(std::make_integer_sequence<int, kWidth>{});
    const Mask even = (laneIndex(0) & 1) == 0;
    SectionVectors<V> k(row_);
    Vec(&N)[V] = k.N, (&a1)[V] = k.a1, (&a2)[V] = k.a2, (&b0)[V] = k.b0, (&b1)[V] = k.b1, (&b2)[V] = k.b2;
    Vec(&s1)[V] = k.s1, (&s2)[V] = k.s2;
    Vec mix[V], out[V];
    Mask first[V], combines[V], level[V];
    for (int j = 0; j < V; ++j) {
        const int at = j * kWidth;
        mix[j] = load(mix_ + at);
        std::memcpy(&first[j], firstOrder_ + at, sizeof first[j]);
        std::memcpy(&combines[j], combines_ + at, sizeof combines[j]);
        level[j] = laneIndex(at) >> 1;
        out[j] = Vec{};
    }
    const int steps = n + kLevels - 1;
    for (int t = 0; t < steps; ++t) {
        Vec feed{};
        if (t < n) feed[kWidth - 2] = feed[kWidth - 1] = w[t];
        Vec in[V];
        in[0] = shiftIn2(feed, out[0]);
        for (int j = 1; j < V; ++j) in[j] = shiftIn2(out[j - 1], out[j]);
        const bool full = t >= kLevels - 1 && t < n;
        // Vector by vector, with the kinds of its levels known when compiling.
        auto vector = [&]<int j>() {
            // After a crossover both lanes take its low + g * high.
            Vec x = in[j];
            if constexpr (anyIn(kKinds.combines, j, kWidth)) {
                const Vec swapped = __builtin_shuffle(in[j], kSwap);
                const Vec low = even ? in[j] : swapped, high = even ? swapped : in[j];
                x = combines[j] ? low + mix[j] * high : in[j];
            }
            Vec y, n1, n2;
            if constexpr (!anyIn(kKinds.first, j, kWidth)) {
                const Vec q = x - (a1[j] * s1[j] + a2[j] * s2[j]) * N[j];
                y = N[j] * (b0[j] * q + b1[j] * s1[j] + b2[j] * s2[j]);
                n1 = q;
                n2 = s1[j];
            } else if constexpr (allIn(kKinds.first, j, kWidth)) {
                y = ((b0[j] * x + b1[j] * s1[j]) - a1[j] * s2[j]) * N[j];
                n1 = x;
                n2 = y;
            } else {
                const Vec q = x - (a1[j] * s1[j] + a2[j] * s2[j]) * N[j];
                const Vec yb = N[j] * (b0[j] * q + b1[j] * s1[j] + b2[j] * s2[j]);
                const Vec yf = ((b0[j] * x + b1[j] * s1[j]) - a1[j] * s2[j]) * N[j];
                y = first[j] ? yf : yb;
                n1 = first[j] ? x : q;
                n2 = first[j] ? y : s1[j];
            }
            if (full) {
                s1[j] = n1;
                s2[j] = n2;
            } else {
                const Mask live = (level[j] <= t) & (level[j] > t - n);
                s1[j] = live ? n1 : s1[j];
                s2[j] = live ? n2 : s2[j];
            }
            out[j] = y;
        };
        [&]<int... j>(std::integer_sequence<int, j...>) {
            (vector.template operator()<j>(), ...);
        }(std::make_integer_sequence<int, V>{});
        if (t >= kLevels - 1) v[t - (kLevels - 1)] = out[kLastVector][kLastLane];
    }
    k.save(row_);
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

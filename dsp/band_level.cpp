#include "dsp/band_level.h"

#include <cmath>
#include <cstring>
#if defined(__AVX2__) || defined(__AVX512F__)
#include <immintrin.h>
#endif

#include "dsp/blocks/lane_pack.h"
#include "dsp/blocks/lanes.h"
#include "dsp/blocks/vecmath.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {
constexpr float kGateRelease[kLevelLanes] = {13.333333f, 16.666666f, 20.833334f, 26.041666f,
                                            32.552082f, 40.690105f, 50.86263f,  63.57829f,
                                            79.47286f,  99.34107f,  124.176346f, 155.22043f,
                                            155.22043f, 155.22043f, 155.22043f, 155.22043f};  // padding
constexpr float kDivisorFloor = 3.1622778e-05f;
constexpr float kLinkedShare = 0.7943282f;  // -2 dB of the linked slow level
constexpr float kBand2Scale = 0.050118722f;  // -26 dB

inline float maxOf(float a, float b) { return a > b ? a : b; }

// The partners each band is linked to: band 1 sees band 2, band 6 sees bands 5, 7 and 8, band 7
// sees bands 5, 6 and 8, band 12 sees band 11 (its own lane where it has none; its link gain is
// 0 there).
//
// Every band and its partners lie in one group of four lanes (bands 1..4, 5..8, 9..12), so at
// every vector width the partners of a vector's lanes come from shuffles of that vector alone:
// the largest of three picks per lane (the lane itself where it has fewer partners). Unlinked
// lanes pick their own level; their link gain of 0 leaves them their own slow level.
// (Patching the four lanes in memory would stall the vector load that follows.)
inline wavefront::Vec maxOf(wavefront::Vec a, wavefront::Vec b) { return a > b ? a : b; }
#if defined(__AVX512F__)
constexpr wavefront::Mask kLinkFrom[1][3] = {
    {{1, 1, 2, 3, 4, 4, 4, 7, 8, 9, 10, 10, 12, 13, 14, 15},
     {1, 1, 2, 3, 4, 6, 5, 7, 8, 9, 10, 10, 12, 13, 14, 15},
     {1, 1, 2, 3, 4, 7, 7, 7, 8, 9, 10, 10, 12, 13, 14, 15}}};
#elif defined(__AVX2__)
constexpr wavefront::Mask kLinkFrom[2][3] = {
    {{1, 1, 2, 3, 4, 4, 4, 7}, {1, 1, 2, 3, 4, 6, 5, 7}, {1, 1, 2, 3, 4, 7, 7, 7}},
    {{0, 1, 2, 2, 4, 5, 6, 7}, {0, 1, 2, 2, 4, 5, 6, 7}, {0, 1, 2, 2, 4, 5, 6, 7}}};
#else
constexpr wavefront::Mask kLinkFrom[3][3] = {{{1, 1, 2, 3}, {1, 1, 2, 3}, {1, 1, 2, 3}},
                                             {{0, 0, 0, 3}, {0, 2, 1, 3}, {0, 3, 3, 3}},
                                             {{0, 1, 2, 2}, {0, 1, 2, 2}, {0, 1, 2, 2}}};
#endif
static_assert(sizeof kLinkFrom / sizeof kLinkFrom[0] == kLevelRun / wavefront::kWidth);

inline wavefront::Vec linkPartners(wavefront::Vec s, const wavefront::Mask (&from)[3]) {
    return maxOf(maxOf(__builtin_shuffle(s, from[0]), __builtin_shuffle(s, from[1])), __builtin_shuffle(s, from[2]));
}
}  // namespace

void BandLevel::setSettings(const Settings& s) {
    settings_ = s;
    for (int b = 0; b < kLevelLanes; ++b) {
        gateGain_[b] = b < kBandCount ? s.gateGain[b] : 0.0f;
        threshold_[b] = b < kBandCount ? s.threshold[b] : 1.0f;
        linkGain_[b] = 0.0f;  // unlinked: its own slow level alone
    }
    linkGain_[0] = s.link2to1;
    linkGain_[5] = linkGain_[6] = s.link5678;
    linkGain_[11] = s.link11to12;
}

void BandLevel::setRate(const Rate& rate) {
    for (int b = 0; b < kLevelLanes; ++b) {
        eRelease_[b] = smoothing(rate, kGateRelease[b]);
        omRelease_[b] = 1.0f - eRelease_[b];
    }
    eGate_ = smoothing(rate, 33.333332f);
    omGate_ = 1.0f - eGate_;
    for (int b = 0; b < kBandCount; ++b) {
        levels_.configure(b, rate, 2.0f, 0.25f, 66.666664f);              // fast level
        levels_.configure(kBandCount + b, rate, 0.25f, 2.0f, 2.0f);       // slow level
    }
    for (int l = 2 * kBandCount; l < kLevelFollowLanes; ++l) levels_.configure(l, rate, 0.25f, 2.0f, 2.0f);  // padding
    levels_.setLiveLanes(kLevelFollowLanes, 2 * kBandCount);
}

void BandLevel::clear() {
    for (int b = 0; b < kLevelLanes; ++b) gatePeak_[b] = gateSmooth_[b] = gateLast_[b] = 0.0f;
    gateArg_ = noGateArg();
    window_.clear();
    levels_.clear();
    outputLines_.clear();
}

void BandLevel::process(const float (*env)[kBandCount], const float (*delayed)[kCellCount], int n,
                        RingIndex index0) {
    alignas(64) float padded[kBandBlock][kBandLanes] = {};
    for (int i = 0; i < n; ++i)
        for (int b = 0; b < kBandCount; ++b) padded[i][b] = env[i][b];
    process(padded, delayed, n, index0);
}

void BandLevel::process(const float (*envelope)[kBandLanes], const float (*delayed)[kCellCount], int n,
                        RingIndex index0) {
    using namespace wavefront;
    static_assert(kLevelRun % kWidth == 0, "whole vectors of lanes");
    if (n <= 0) return;
    const Settings& st = settings_;
    // Gate follower: instant attack, per-band release, then a 30 ms smoother. It depends on the
    // envelopes alone, so it runs over the whole block first and the arctangent law is applied
    // to all of it in one call (below). The state stays in registers for the block.
    {
        constexpr int V = kLevelRun / kWidth;
        Vec peak[V], smooth[V];
        for (int v = 0; v < V; ++v) {
            peak[v] = load(gatePeak_ + v * kWidth);
            smooth[v] = load(gateSmooth_ + v * kWidth);
        }
        for (int i = 0; i < n; ++i)
            for (int v = 0; v < V; ++v) {
                const int c = v * kWidth;
                Vec in = load(gateGain_ + c) * load(envelope[i] + c);
                in = in <= 1.0f ? in : broadcast(1.0f);
                in = reinterpret_cast<Vec>(reinterpret_cast<Mask>(in) & 0x7fffffff);  // |in|
                const Vec released = load(omRelease_ + c) * in + load(eRelease_ + c) * peak[v];
                peak[v] = in > released ? in : released;
                smooth[v] = eGate_ * smooth[v] + omGate_ * peak[v];
                store(gate_[i] + c, smooth[v]);
            }
        for (int v = 0; v < V; ++v) {
            store(gatePeak_ + v * kWidth, peak[v]);
            store(gateSmooth_ + v * kWidth, smooth[v]);
        }
    }
    // The arctangent only for bands whose smoothed value moved in this block: on a band above
    // the gate level the smoother rests at a fixed point, and the same argument gives the same
    // result (the vector maths is a function of its argument alone), so a band whose values all
    // equal its last one before the block keeps that one's result. The others are packed
    // together for one call.
    {
        constexpr int V = kLevelRun / kWidth;
        Mask moved[V], last[V];
        for (int v = 0; v < V; ++v) {
            moved[v] = Mask{};
            std::memcpy(&last[v], gateArg_.data() + v * kWidth, sizeof last[v]);
        }
        for (int i = 0; i < n; ++i)
            for (int v = 0; v < V; ++v) {
                Mask bits;
                std::memcpy(&bits, gate_[i] + v * kWidth, sizeof bits);
                moved[v] |= bits != last[v];
                last[v] = bits;
            }
        int list[kBandCount], count = 0;
        for (int b = 0; b < kBandCount; ++b) {
            if (moved[b / kWidth][b % kWidth] != 0) list[count++] = b;
            std::memcpy(&gateArg_[b], &gate_[n - 1][b], sizeof gateArg_[b]);
        }
        if (count > 0) {
            // With AVX2 and AVX-512 the moving bands of a row are packed and put back a vector
            // at a time (the same lanes in every row).
            alignas(64) float args[kBandBlock * kBandCount + 16] = {};
            unsigned taken = 0;
            for (int k = 0; k < count; ++k) taken |= 1u << list[k];
#if defined(__AVX512F__)
            static_assert(kLevelLanes == 16);
            const __mmask16 m = static_cast<__mmask16>(taken);
            for (int i = 0; i < n; ++i)
                _mm512_storeu_ps(args + i * count, _mm512_maskz_compress_ps(m, _mm512_loadu_ps(gate_[i])));
            vectorMath().atan(args, n * count);
            for (int i = 0; i < n; ++i)
                _mm512_storeu_ps(gate_[i], _mm512_mask_expand_ps(_mm512_loadu_ps(gate_[i]), m, _mm512_loadu_ps(args + i * count)));
#elif defined(__AVX2__)
            static_assert(kLevelLanes == 16);
            const unsigned m[2] = {taken & 0xffu, taken >> 8};
            const int lo = __builtin_popcount(m[0]);
            __m256i pack[2], unpack[2];
            __m256 use[2];
            const __m256i lanes = _mm256_set_epi32(128, 64, 32, 16, 8, 4, 2, 1);
            for (int h = 0; h < 2; ++h) {
                pack[h] = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLanePackTables.compress[m[h]]));
                unpack[h] = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLanePackTables.expand[m[h]]));
                use[h] = _mm256_castsi256_ps(
                    _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(m[h])), lanes), lanes));
            }
            // Each row's stores run past its values into the next row's place, which that row's
            // stores then overwrite (hence the spare room at the end).
            for (int i = 0; i < n; ++i) {
                float* at = args + i * count;
                _mm256_storeu_ps(at, _mm256_permutevar8x32_ps(_mm256_loadu_ps(gate_[i]), pack[0]));
                _mm256_storeu_ps(at + lo, _mm256_permutevar8x32_ps(_mm256_loadu_ps(gate_[i] + 8), pack[1]));
            }
            vectorMath().atan(args, n * count);
            for (int i = 0; i < n; ++i) {
                const float* at = args + i * count;
                for (int h = 0; h < 2; ++h) {
                    const __m256 got = _mm256_permutevar8x32_ps(_mm256_loadu_ps(at + (h == 0 ? 0 : lo)), unpack[h]);
                    _mm256_storeu_ps(gate_[i] + 8 * h, _mm256_blendv_ps(_mm256_loadu_ps(gate_[i] + 8 * h), got, use[h]));
                }
            }
#else
            (void)taken;
            for (int i = 0; i < n; ++i)
                for (int k = 0; k < count; ++k) args[i * count + k] = gate_[i][list[k]];
            vectorMath().atan(args, n * count);
            for (int i = 0; i < n; ++i)
                for (int k = 0; k < count; ++k) gate_[i][list[k]] = args[i * count + k];
#endif
        }
        for (int i = 0; i < n; ++i)
            for (int v = 0; v < V; ++v) {
                const int c = v * kWidth;
                store(gate_[i] + c, moved[v] ? load(gate_[i] + c) : load(gateLast_ + c));
            }
        for (int b = 0; b < kBandCount; ++b) gateLast_[b] = gate_[n - 1][b];
    }

    // Level window over the 44 newest envelopes, floored at the threshold; the fast level
    // follows the window maximum, the slow level the envelope itself. Both followers run over
    // the whole block at once.
    // The window's padding lanes reach into the slow lanes and are overwritten by them; the row
    // past them is zero (the last slow load of a row reads it on some widths).
    constexpr int kLevelRow = runLanes(kLevelFollowRun > kBandCount + kLevelRun ? kLevelFollowRun : kBandCount + kLevelRun);
    alignas(64) float lv[kBandBlock][kLevelRow];
    for (int i = 0; i < n; ++i) {
        const float* e = envelope[i];
        float* q = lv[i];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kLevelRun; ++b) q[b] = maxOf(threshold_[b], e[b]);
        window_.push(index0 + static_cast<RingIndex>(i), q, q);
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) q[kBandCount + b] = e[b];
        for (int l = 2 * kBandCount; l < kLevelRow; ++l) q[l] = 0.0f;
    }
    levels_.process(lv, lv, n);

    for (int i = 0; i < n; ++i) {
        const RingIndex index = index0 + static_cast<RingIndex>(i);
        const float* gamma = gate_[i];
        const float* fast = lv[i];
        const float* slow = lv[i] + kBandCount;

        // Links read the slow levels of this sample, all formed above. A linked band takes the
        // largest of its own slow level and its partners' scaled by the link gain; scaling by a
        // positive gain keeps the order, so the gain may go onto the partners' maximum.
        for (int c = 0; c < kLevelRun; c += kWidth) {
            const Vec s = load(slow + c);
            Vec linked = load(linkGain_ + c) * linkPartners(s, kLinkFrom[c / kWidth]);
            linked = s > linked ? s : linked;
            store(slow_[i] + c, s);
            store(linked_[i] + c, linked);
            const Vec f = load(fast + c);
            Vec div = kLinkedShare * linked;
            div = div > f ? div : f;
            div = div <= kDivisorFloor ? broadcast(kDivisorFloor) : div;
            store(divisor_[i] + c, div);
            store(gain_[i] + c, load(gamma + c) / div);
        }
        const float* beta = gain_[i];
        const float* s = delayed[i];
        float* l = levelled_[i];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) {
            l[b] = beta[b] * s[b];
            l[kBandCount + b] = beta[b] * s[kBandCount + b];
        }

        // Bands 1 and 2 go to the sums through their output lines.
        // (Read before the write: the line is exactly as long as the delay.)
        const float* old = outputLines_.delayed(index, kOutputDelay);
        lineOut_[i][0] = old[0];
        lineOut_[i][1] = old[1];
        float* slot = outputLines_.slot(index);
        slot[0] = st.band1Scale * (l[0] + l[kBandCount]);
        slot[1] = kBand2Scale * (l[1] + l[kBandCount + 1]);
    }
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

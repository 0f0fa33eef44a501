#include "dsp/band_width.h"

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
// Output scales of bands 3..12: -26 dB, odd bands inverted; band 11 at -32 dB, band 12 at -24 dB.
constexpr float kBandScale[kWidthLanes] = {-0.050118722f, 0.050118722f, -0.050118722f, 0.050118722f,
                                           -0.050118722f, 0.050118722f, -0.050118722f, 0.050118722f,
                                           -0.025118865f, 0.06309573f};  // padding lanes: 0
constexpr float kMagnitudeFloor = 1.5848931e-05f;  // -96 dB
constexpr float kLowFloor = 0.0031622776f;         // -50 dB: keeps the level ratio finite
constexpr float kWidthGain = 3.1622777f;           // +10 dB
constexpr float kWidthCeiling = 1.7f;

inline float maxOf(float a, float b) { return a > b ? a : b; }

// A square of kWidth rows of kWidth lanes turned over in registers (row s lane j to row j lane
// s): at each step h the off-diagonal h-by-h blocks trade places, from h = kWidth / 2 down to 1.
#if defined(__AVX512F__)
constexpr wavefront::Mask kTurnLo[4] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23},
    {0, 1, 2, 3, 16, 17, 18, 19, 8, 9, 10, 11, 24, 25, 26, 27},
    {0, 1, 16, 17, 4, 5, 20, 21, 8, 9, 24, 25, 12, 13, 28, 29},
    {0, 16, 2, 18, 4, 20, 6, 22, 8, 24, 10, 26, 12, 28, 14, 30}};
constexpr wavefront::Mask kTurnHi[4] = {
    {8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31},
    {4, 5, 6, 7, 20, 21, 22, 23, 12, 13, 14, 15, 28, 29, 30, 31},
    {2, 3, 18, 19, 6, 7, 22, 23, 10, 11, 26, 27, 14, 15, 30, 31},
    {1, 17, 3, 19, 5, 21, 7, 23, 9, 25, 11, 27, 13, 29, 15, 31}};
#elif defined(__AVX2__)
constexpr wavefront::Mask kTurnLo[3] = {
    {0, 1, 2, 3, 8, 9, 10, 11}, {0, 1, 8, 9, 4, 5, 12, 13}, {0, 8, 2, 10, 4, 12, 6, 14}};
constexpr wavefront::Mask kTurnHi[3] = {
    {4, 5, 6, 7, 12, 13, 14, 15}, {2, 3, 10, 11, 6, 7, 14, 15}, {1, 9, 3, 11, 5, 13, 7, 15}};
#else
constexpr wavefront::Mask kTurnLo[2] = {{0, 1, 4, 5}, {0, 4, 2, 6}};
constexpr wavefront::Mask kTurnHi[2] = {{2, 3, 6, 7}, {1, 5, 3, 7}};
#endif

inline void turnOver(wavefront::Vec (&r)[wavefront::kWidth]) {
    using namespace wavefront;
    int step = 0;
#pragma GCC unroll 16
    for (int h = kWidth / 2; h >= 1; h /= 2, ++step) {
#pragma GCC unroll 16
        for (int s = 0; s < kWidth; ++s) {
            if ((s & h) != 0) continue;
            const Vec lo = __builtin_shuffle(r[s], r[s + h], kTurnLo[step]);
            const Vec hi = __builtin_shuffle(r[s], r[s + h], kTurnHi[step]);
            r[s] = lo;
            r[s + h] = hi;
        }
    }
}
}  // namespace

void BandWidth::setRate(const Rate& rate) {
    ePeak_ = smoothing(rate, 2.5f);
    omPeak_ = 1.0f - ePeak_;
    eSmooth_ = smoothing(rate, 33.333332f);
    omSmooth_ = 1.0f - eSmooth_;
    lp10_ = firstOrder(1.0f / prewarp(rate, 10.0f));
    for (int l = 0; l < kChannelLanes; ++l) channel_.configure(l, rate, 16.666666f, 0.03f, 1000.0f);
    channel_.setLiveLanes(kChannelLanes, 2 * kWidthBands);
}

void BandWidth::clear() {
    quadrature_.clear();
    channel_.clear();
    sumLines_.clear();
    diffLines_.clear();
    for (int b = 0; b < kWidthLanes; ++b) {
        presPeak_[b] = presSmooth_[b] = presIn1_[b] = presence_[b] = 0.0f;
        hiPeak_[b] = hiSmooth_[b] = hiIn1_[b] = hiPresence_[b] = 0.0f;
        loPeak_[b] = loSmooth_[b] = 0.0f;
        widthIn1_[b] = widthSmooth_[b] = 0.0f;
    }
}

// The arguments are packed together for one call of the vector maths and the results put back;
// with AVX2 and AVX-512 a row's arguments are packed and put back a vector at a time.
#if defined(__AVX512F__)
void BandWidth::tangents(int n) {
    static_assert(kWidthLanes == 16);
    alignas(64) float packed[kBandBlock * kWidthBands + 16];
    __mmask16 taken[kBandBlock];
    const __m512 zero = _mm512_setzero_ps();
    int count = 0;
    for (int i = 0; i < n; ++i) {
        taken[i] = _mm512_cmp_ps_mask(_mm512_loadu_ps(ratio_[i]), zero, _CMP_GT_OQ) & ((1u << kWidthBands) - 1);
        _mm512_storeu_ps(packed + count, _mm512_maskz_compress_ps(taken[i], _mm512_loadu_ps(widthTap_[i])));
        count += __builtin_popcount(taken[i]);
    }
    vectorMath().tan(packed, count);
    count = 0;
    for (int i = 0; i < n; ++i) {
        _mm512_storeu_ps(widthTap_[i], _mm512_mask_expand_ps(_mm512_loadu_ps(widthTap_[i]), taken[i],
                                                             _mm512_loadu_ps(packed + count)));
        count += __builtin_popcount(taken[i]);
    }
}
#elif defined(__AVX2__)

void BandWidth::tangents(int n) {
    static_assert(kWidthLanes == 16 && kWidthBands > 8);
    constexpr int kValid[2] = {0xff, (1 << (kWidthBands - 8)) - 1};
    alignas(64) float packed[kBandBlock * kWidthBands + 8];
    unsigned char taken[kBandBlock][2];
    const __m256 zero = _mm256_setzero_ps();
    int count = 0;
    for (int i = 0; i < n; ++i)
        for (int h = 0; h < 2; ++h) {
            const int m = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(ratio_[i] + 8 * h), zero, _CMP_GT_OQ)) & kValid[h];
            taken[i][h] = static_cast<unsigned char>(m);
            const __m256i at = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLanePackTables.compress[m]));
            _mm256_storeu_ps(packed + count, _mm256_permutevar8x32_ps(_mm256_loadu_ps(widthTap_[i] + 8 * h), at));
            count += __builtin_popcount(static_cast<unsigned>(m));
        }
    for (int k = 0; k < 8; ++k) packed[count + k] = 0.0f;  // read past the end below, never used
    vectorMath().tan(packed, count);
    count = 0;
    for (int i = 0; i < n; ++i)
        for (int h = 0; h < 2; ++h) {
            const int m = taken[i][h];
            const __m256i from = _mm256_load_si256(reinterpret_cast<const __m256i*>(kLanePackTables.expand[m]));
            const __m256i lanes = _mm256_set_epi32(128, 64, 32, 16, 8, 4, 2, 1);
            const __m256 use = _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(m), lanes), lanes));
            const __m256 got = _mm256_permutevar8x32_ps(_mm256_loadu_ps(packed + count), from);
            _mm256_storeu_ps(widthTap_[i] + 8 * h, _mm256_blendv_ps(_mm256_loadu_ps(widthTap_[i] + 8 * h), got, use));
            count += __builtin_popcount(static_cast<unsigned>(m));
        }
}
#else
void BandWidth::tangents(int n) {
    float packed[kBandBlock * kWidthBands];
    int count = 0;
    for (int i = 0; i < n; ++i)
        for (int b = 0; b < kWidthBands; ++b)
            if (ratio_[i][b] > 0.0f) packed[count++] = widthTap_[i][b];
    vectorMath().tan(packed, count);
    count = 0;
    for (int i = 0; i < n; ++i)
        for (int b = 0; b < kWidthBands; ++b)
            if (ratio_[i][b] > 0.0f) widthTap_[i][b] = packed[count++];
}
#endif

void BandWidth::process(const float (*levelled)[kCellCount], const float (*lineOut)[2], int n,
                        RingIndex index0, float* y1, float* y2) {
    using namespace wavefront;
    const float g10 = lp10_.g, k10 = lp10_.k;
    // Detection runs over the whole block first, one stage at a time: it reads only the levelled
    // band signals, and the tangents of the width law are then taken for all of it in one call.
    // Each stage keeps its state in registers for the block; the padding lanes run on silence.
    // Rows long enough that the minus channel also loads as kWidthRun lanes from lane 10.
    constexpr int kChannelRow = runLanes(kChannelRun > kWidthBands + kWidthRun ? kChannelRun : kWidthBands + kWidthRun);
    alignas(64) float mag[kBandBlock][kChannelRow];
    for (int i = 0; i < n; ++i) {
        const float* lp = levelled[i] + kWidthFirstBand;
        const float* lm = levelled[i] + kBandCount + kWidthFirstBand;
        ORVEX_LANE_LOOP
        for (int b = 0; b < kWidthBands; ++b) {
            mag[i][b] = kBandScale[b] * lp[b];
            mag[i][kWidthBands + b] = kBandScale[b] * lm[b];
        }
        for (int l = 2 * kWidthBands; l < kChannelRow; ++l) mag[i][l] = 0.0f;
    }
    quadrature_.process(mag, mag, n);

    // Presence factor: saturates at 1 once the smoothed peak magnitude reaches 0.001. The
    // envelope floor lies above that, so it only ramps up after a clear.
    constexpr int V = kWidthRun / kWidth;  // the vectors go through the block together
    {
        Vec peak[V], smooth[V], in1[V], presence[V];
        for (int v = 0; v < V; ++v) {
            peak[v] = load(presPeak_ + v * kWidth);
            smooth[v] = load(presSmooth_ + v * kWidth);
            in1[v] = load(presIn1_ + v * kWidth);
            presence[v] = load(presence_ + v * kWidth);
        }
        for (int i = 0; i < n; ++i) {
            for (int v = 0; v < V; ++v) {
                const int c = v * kWidth;
                const Vec plus = load(mag[i] + c), minus = load(mag[i] + kWidthBands + c);
                Vec m = minus > plus ? minus : plus;
                m = m <= kMagnitudeFloor ? broadcast(kMagnitudeFloor) : m;
                const Vec released = omPeak_ * m + ePeak_ * peak[v];
                peak[v] = m > released ? m : released;
                smooth[v] = omSmooth_ * peak[v] + eSmooth_ * smooth[v];
                Vec u = 1000.0f * smooth[v];
                u = u >= 1.0f ? broadcast(1.0f) : u;
                presence[v] = (u + in1[v] - k10 * presence[v]) * g10;
                in1[v] = u;
                store(presenceTap_[i] + c, presence[v]);
            }
        }
        for (int v = 0; v < V; ++v) {
            store(presPeak_ + v * kWidth, peak[v]);
            store(presSmooth_ + v * kWidth, smooth[v]);
            store(presIn1_ + v * kWidth, in1[v]);
            store(presence_ + v * kWidth, presence[v]);
        }
    }

    // Channel levels, then their high and low paths.
    channel_.process(mag, mag, n);
    {
        Vec hiPeak[V], hiSmooth[V], hiIn1[V], hiPresence[V], loPeak[V], loSmooth[V];
        for (int v = 0; v < V; ++v) {
            const int c = v * kWidth;
            hiPeak[v] = load(hiPeak_ + c);
            hiSmooth[v] = load(hiSmooth_ + c);
            hiIn1[v] = load(hiIn1_ + c);
            hiPresence[v] = load(hiPresence_ + c);
            loPeak[v] = load(loPeak_ + c);
            loSmooth[v] = load(loSmooth_ + c);
        }
        for (int i = 0; i < n; ++i) {
            for (int v = 0; v < V; ++v) {
                const int c = v * kWidth;
                const Vec vp = load(mag[i] + c), vm = load(mag[i] + kWidthBands + c);
                Vec hi = vp > vm ? vp : vm;
                Vec lo = vp < vm ? vp : vm;
                hi = hi < kMagnitudeFloor ? broadcast(kMagnitudeFloor) : hi;
                lo = lo <= kLowFloor ? broadcast(kLowFloor) : lo;

                const Vec hiReleased = omPeak_ * hi + ePeak_ * hiPeak[v];
                hiPeak[v] = hi > hiReleased ? hi : hiReleased;
                hiSmooth[v] = omSmooth_ * hiPeak[v] + eSmooth_ * hiSmooth[v];
                Vec uh = 1000.0f * hiSmooth[v];
                uh = uh >= 1.0f ? broadcast(1.0f) : uh;
                hiPresence[v] = (uh + hiIn1[v] - k10 * hiPresence[v]) * g10;
                hiIn1[v] = uh;

                const Vec loReleased = omPeak_ * lo + ePeak_ * loPeak[v];
                loPeak[v] = lo > loReleased ? lo : loReleased;
                loSmooth[v] = omSmooth_ * loPeak[v] + eSmooth_ * loSmooth[v];

                const Vec rr = hiPresence[v] * hiSmooth[v] / loSmooth[v] - 1.1f;
                store(ratio_[i] + c, rr);
                // The tangent's argument until the width is formed.
                store(widthTap_[i] + c, rr > 0.0f ? rr : broadcast(0.0f));
            }
        }
        for (int v = 0; v < V; ++v) {
            const int c = v * kWidth;
            store(hiPeak_ + c, hiPeak[v]);
            store(hiSmooth_ + c, hiSmooth[v]);
            store(hiIn1_ + c, hiIn1[v]);
            store(hiPresence_ + c, hiPresence[v]);
            store(loPeak_ + c, loPeak[v]);
            store(loSmooth_ + c, loSmooth[v]);
        }
    }
    // Tangents only where the width law uses them (a ratio above zero); the others are
    // replaced by zero below whatever they hold.
    tangents(n);

    // Width factor, its compensation and the band parts: the width smoother's state stays in
    // registers for the block.
    alignas(64) float minusPart[kBandBlock][kWidthRun];  // C_b - D_b
    Vec widthIn1[V], widthSmooth[V];
    for (int v = 0; v < V; ++v) {
        widthIn1[v] = load(widthIn1_ + v * kWidth);
        widthSmooth[v] = load(widthSmooth_ + v * kWidth);
    }
    for (int i = 0; i < n; ++i) {
        const RingIndex index = index0 + static_cast<RingIndex>(i);
        const float* lp = levelled[i] + kWidthFirstBand;
        const float* lm = levelled[i] + kBandCount + kWidthFirstBand;

        // Sum and difference lines. Read before the new rows go in: the lines are exactly as long
        // as the delay (the rows read are the ones about to be overwritten).
        alignas(64) float sumOld[kWidthLanes], diffOld[kWidthLanes];
        std::memcpy(sumOld, sumLines_.delayed(index, kLineDelay), sizeof sumOld);
        std::memcpy(diffOld, diffLines_.delayed(index, kLineDelay), sizeof diffOld);
        {
            float* s = sumLines_.slot(index);
            float* d = diffLines_.slot(index);
            ORVEX_LANE_LOOP
            for (int b = 0; b < kWidthBands; ++b) {
                s[b] = lp[b] + lm[b];
                d[b] = lp[b] - lm[b];
            }
        }

        for (int v = 0; v < V; ++v) {
            const int l = v * kWidth;
            const Vec zero = broadcast(0.0f), ceiling = broadcast(kWidthCeiling);
            Vec t = load(ratio_[i] + l) > 0.0f ? load(widthTap_[i] + l) : zero;
            t = t > 0.0f ? t : zero;
            const Vec w = (t + widthIn1[v] - k10 * widthSmooth[v]) * g10;
            widthIn1[v] = t;
            widthSmooth[v] = w;
            Vec omega = kWidthGain * w;
            omega = omega > 0.0f ? omega : zero;
            omega = omega >= kWidthCeiling ? ceiling : omega;
            Vec room = kWidthCeiling - omega;
            room = room <= 0.0f ? zero : room;
            const Vec kappa = 1.0f + 0.414f * room;
            const Vec scale = load(kBandScale + l) * kappa;
            const Vec cv = scale * load(presenceTap_[i] + l) * load(sumOld + l);
            const Vec dv = scale * omega * load(diffOld + l);
            store(widthTap_[i] + l, omega);
            store(partTap_[i] + l, cv + dv);
            store(minusPart[i] + l, cv - dv);
        }
    }
    for (int v = 0; v < V; ++v) {
        store(widthIn1_ + v * kWidth, widthIn1[v]);
        store(widthSmooth_ + v * kWidth, widthSmooth[v]);
    }

    // Band sums: the first takes C_b + D_b, the second C_b - D_b of every band, bands in order so
    // that both sums round alike. kWidth samples at a time: their rows of parts are turned over
    // into a vector per band, which the sums of all of them take in one addition.
    int i = 0;
    for (; i + kWidth <= n; i += kWidth) {
        Vec a;
        for (int s = 0; s < kWidth; ++s) a[s] = lineOut[i + s][0] + lineOut[i + s][1];
        Vec bsum = a;
        for (int g = 0; g < kWidthBands; g += kWidth) {
            Vec plus[kWidth], minus[kWidth];
            for (int s = 0; s < kWidth; ++s) {
                plus[s] = load(partTap_[i + s] + g);
                minus[s] = load(minusPart[i + s] + g);
            }
            turnOver(plus);
            turnOver(minus);
            for (int b = 0; b < kWidth && g + b < kWidthBands; ++b) {
                a += plus[b];
                bsum += minus[b];
            }
        }
        store(y1 + i, a);
        store(y2 + i, bsum);
    }
    for (; i < n; ++i) {
        float a = lineOut[i][0] + lineOut[i][1];
        float bsum = a;
        for (int b = 0; b < kWidthBands; ++b) {
            a += partTap_[i][b];
            bsum += minusPart[i][b];
        }
        y1[i] = a;
        y2[i] = bsum;
    }
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

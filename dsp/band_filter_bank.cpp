#include "dsp/band_filter_bank.h"

#include <cmath>
#include <cstring>

#include "dsp/blocks/lanes.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {
constexpr float kDamping = 1.4142135f;

// Above this c = 1/t a highpass section switches to the difference form: a1 then has a rounding
// step of 1 or more against the margin 1/g + a1 + a2 = 4 that keeps its poles inside the circle.
constexpr float kDifferenceFormAbove = 2000.0f;

struct CornerCoefs {
    float c, g, a1, a2, invT2;
};

// One coefficient set per corner; both cells meeting at a corner copy the same values.
CornerCoefs cornerCoefs(const Rate& rate, float f) {
    const float t = prewarp(rate, f);  // corners at or above half the rate are held below it
    const float c = 1.0f / t;
    const float invT2 = 1.0f / (t * t);
    CornerCoefs k;
    k.c = c;
    k.g = 1.0f / ((c + kDamping) * c + 1.0f);
    k.a1 = 2.0f * (1.0f - invT2);
    k.a2 = (c - kDamping) * c + 1.0f;
    k.invT2 = invT2;
    return k;
}
}  // namespace

void BandFilterBank::setRate(const Rate& rate) {
    CornerCoefs corner[kBandCount + 1];
    for (int i = 0; i <= kBandCount; ++i) corner[i] = cornerCoefs(rate, kBandCorners[i]);
    for (int cell = 0; cell < kCellCount; ++cell) {  // padding lanes keep zero coefficients
        const int band = cell % kBandCount;
        const CornerCoefs& lo = corner[band];
        const CornerCoefs& hi = corner[band + 1];
        for (int s = 0; s < 4; ++s) {
            const CornerCoefs& k = s < 2 ? lo : hi;
            g_[s][cell] = k.g;
            a1_[s][cell] = k.a1;
            a2_[s][cell] = k.a2;
        }
        hpScale_[cell] = lo.invT2;
    }
    deltaCount_ = 0;
    for (int cell = 0; cell < kCellCount; ++cell) {
        const CornerCoefs& lo = corner[cell % kBandCount];
        deltaK1_[cell] = 4.0f * lo.g;
        deltaK2_[cell] = 2.0f * kDamping * lo.c * lo.g;
        if (lo.c > kDifferenceFormAbove) deltaLane_[deltaCount_++] = cell;
    }
}

void BandFilterBank::clear() {
    for (int s = 0; s < 4; ++s)
        for (int l = 0; l < kCellLanes; ++l) w1_[s][l] = w2_[s][l] = 0.0f;
    lines_.clear();
    quadrature_.clear();
}

namespace {
using namespace wavefront;

// The four sections of every cell over a block, all vectors of cells together sample by sample
// with the state in registers (the vectors are independent, so their recursions overlap). In the
// lanes of `delta` (all-ones) the two highpass sections run in the difference form; computing
// both forms and keeping one per lane gives each lane exactly what its own form computes.
template <bool WithDifferenceForm>
void runCells(const float (&g)[4][kCellLanes], const float (&a1)[4][kCellLanes],
              const float (&a2)[4][kCellLanes], const float* hpScale, const float* k1,
              const float* k2, const int* deltaRow, float (&w1)[4][kCellLanes],
              float (&w2)[4][kCellLanes], float (*x)[kCellRun], int n) {
    constexpr int V = kCellRun / kWidth;
    Vec s1[V][4], s2[V][4];
    for (int v = 0; v < V; ++v)
        for (int s = 0; s < 4; ++s) {
            s1[v][s] = load(w1[s] + v * kWidth);
            s2[v][s] = load(w2[s] + v * kWidth);
        }
    for (int i = 0; i < n; ++i) {
        for (int v = 0; v < V; ++v) {
            const int c = v * kWidth;
            const Vec hp = load(hpScale + c);
            Vec z = load(x[i] + c);
            for (int s = 0; s < 2; ++s) {
                const Vec gs = load(g[s] + c);
                const Vec w = z - gs * (load(a1[s] + c) * s1[v][s] + load(a2[s] + c) * s2[v][s]);
                Vec y = gs * (w - (s1[v][s] + s1[v][s]) + s2[v][s]) * hp;  // 2 s1, exactly
                Vec n1 = w, n2 = s1[v][s];
                if constexpr (WithDifferenceForm) {
                    Mask delta;
                    std::memcpy(&delta, deltaRow + c, sizeof delta);
                    const Vec d = s2[v][s] + (z - load(k1 + c) * s1[v][s] - load(k2 + c) * s2[v][s]);
                    const Vec yd = gs * (d - s2[v][s]) * hp;
                    const Vec sum = s1[v][s] + d;
                    y = delta ? yd : y;
                    n1 = delta ? sum : n1;
                    n2 = delta ? d : n2;
                }
                s2[v][s] = n2;
                s1[v][s] = n1;
                z = y;
            }
            for (int s = 2; s < 4; ++s) {
                const Vec gs = load(g[s] + c);
                const Vec w = z - gs * (load(a1[s] + c) * s1[v][s] + load(a2[s] + c) * s2[v][s]);
                z = gs * (w + (s1[v][s] + s1[v][s]) + s2[v][s]);
                s2[v][s] = s1[v][s];
                s1[v][s] = w;
            }
            store(x[i] + c, z);
        }
    }
    for (int v = 0; v < V; ++v)
        for (int s = 0; s < 4; ++s) {
            store(w1[s] + v * kWidth, s1[v][s]);
            store(w2[s] + v * kWidth, s2[v][s]);
        }
}
}  // namespace

void BandFilterBank::process(const float* v, const float* r, int n, RingIndex index0) {
    // Cells: every vector of cells through its four sections over the whole block.
    alignas(64) float x[kBandBlock][kCellRun];
    for (int i = 0; i < n; ++i) {
        const float p = v[i] + r[i];
        const float m = v[i] - r[i];
        for (int l = 0; l < kBandCount; ++l) {
            x[i][l] = p;
            x[i][kBandCount + l] = m;
        }
        for (int l = kCellCount; l < kCellRun; ++l) x[i][l] = 0.0f;
    }
    alignas(64) int deltaRow[kCellLanes] = {};
    for (int k = 0; k < deltaCount_; ++k) deltaRow[deltaLane_[k]] = -1;
    if (deltaCount_ > 0)
        runCells<true>(g_, a1_, a2_, hpScale_, deltaK1_, deltaK2_, deltaRow, w1_, w2_, x, n);
    else
        runCells<false>(g_, a1_, a2_, hpScale_, deltaK1_, deltaK2_, deltaRow, w1_, w2_, x, n);

    // Band lines: the look-ahead is longer than a block, so every read of this block sees
    // samples written before it. Each delayed row is read before the new row goes in: with the
    // line exactly as long as the look-ahead it is the same row.
    for (int i = 0; i < n; ++i) {
        const RingIndex index = index0 + static_cast<RingIndex>(i);
        // The cells are in the order of the lines' lanes.
        std::memcpy(delayed_[i], lines_.delayed(index, kLookAhead), sizeof delayed_[i]);
        std::memcpy(lines_.slot(index), x[i], sizeof delayed_[i]);
        std::memcpy(newest_[i], x[i], sizeof newest_[i]);
    }

    // Envelopes of the newest band signals; the band envelope is the louder channel's. The
    // square root keeps the order, so it is taken once per band, of the larger square.
    quadrature_.processSquares(x, x, n);
    for (int i = 0; i < n; ++i) {
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) {
            const float ep = x[i][b], em = x[i][kBandCount + b];
            env_[i][b] = std::sqrt(ep > em ? ep : em);
        }
    }
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

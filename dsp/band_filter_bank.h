#pragma once
// Band filter bank: the plus channel (v + r) and the minus channel (v - r) split into twelve
// bands each by identical band-pass cells, the band lines that give the level control its
// look-ahead, and the band envelopes.
//
// The 24 cells are lanes: lane b is band b + 1 of the plus channel, lane 12 + b the same band of
// the minus channel. Each cell is two Butterworth highpass sections at the band's lower corner
// followed by two Butterworth lowpass sections at its upper corner (a Linkwitz-Riley pair on
// each side). Adjacent bands share their corner and the same coefficient values for it.
#include "dsp/band_corners.h"
#include "dsp/blocks/isa.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/lane_ring.h"
#include "dsp/blocks/quadrature.h"
#include "dsp/blocks/ring.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

inline constexpr int kBandCount = 12;
inline constexpr int kCellCount = 2 * kBandCount;
inline constexpr int kBandBlock = 128;  // largest sub-block the multiband units take

// Lane rows are stored padded to whole groups of sixteen lanes, a whole number of vectors of every
// instruction set, so the state has the same layout in every copy of the chain (the frame sets it
// up through the baseline copy). Each copy runs only the vectors that hold a lane in use: the
// lanes in use rounded up to its own vector width.
inline constexpr int kLaneGroup = 16;
constexpr int storedLanes(int lanes) { return (lanes + kLaneGroup - 1) / kLaneGroup * kLaneGroup; }
constexpr int runLanes(int lanes) { return (lanes + wavefront::kWidth - 1) / wavefront::kWidth * wavefront::kWidth; }
static_assert(kLaneGroup % wavefront::kWidth == 0);

// Inside the bank the cells lie side by side in the order of the band lines (plus band b is lane
// b, minus band b lane 12 + b), then padding. The padding lanes run on silence and are never
// read. The band envelopes are twelve lanes padded the same way (the padding holds zero).
inline constexpr int kBandLanes = storedLanes(kBandCount);
inline constexpr int kBandRun = runLanes(kBandCount);
inline constexpr int kCellLanes = storedLanes(kCellCount);
inline constexpr int kCellRun = runLanes(kCellCount);

static_assert(sizeof(kBandCorners) / sizeof(kBandCorners[0]) == kBandCount + 1);

class BandFilterBank {
public:
    // Each sample reads its delayed row before writing its new one, so a line as long as the
    // delay is enough: the row read is the one about to be overwritten.
    static constexpr int kLineLength = 1024;
    static constexpr RingIndex kLookAhead = 1024;

    void setRate(const Rate& rate);
    void clear();

    // Runs n <= kBandBlock samples; sample i writes the band lines at index0 + i.
    void process(const float* v, const float* r, int n, RingIndex index0);

    // Results of the last process call, per sample i of that block:
    // the newest band signal of every cell,
    const float (&newest() const)[kBandBlock][kCellCount] { return newest_; }
    // the band signal kLookAhead samples old,
    const float (&delayed() const)[kBandBlock][kCellCount] { return delayed_; }
    // the band envelope max(E(plus), E(minus)) of every band (lanes 0..11 of kBandLanes).
    const float (&envelope() const)[kBandBlock][kBandLanes] { return env_; }

private:
    // Coefficients per section and cell: normaliser g, feedback a1 and a2, and for the two
    // highpass sections the output scale 1/t^2.
    alignas(64) float g_[4][kCellLanes] = {};
    alignas(64) float a1_[4][kCellLanes] = {};
    alignas(64) float a2_[4][kCellLanes] = {};
    alignas(64) float hpScale_[kCellLanes] = {};
    // Recursion memories w[n-1], w[n-2] per section and cell (w[n-1] and the difference
    // w[n-1] - w[n-2] for the highpass sections of cells in the difference form, below).
    alignas(64) float w1_[4][kCellLanes] = {};
    alignas(64) float w2_[4][kCellLanes] = {};

    // Cells whose lower corner is so far below the rate that the plain recursion cannot hold
    // its poles in single precision (the 10 Hz corner from about 64 kHz on: 1 + g*a1 + g*a2 =
    // 4g is then smaller than the rounding of the coefficients, and the section can run away).
    // Their highpass sections run in the difference form
    //   d[n] = d[n-1] + (x[n] - k1*w[n-1] - k2*d[n-1]),  w[n] = w[n-1] + d[n],
    //   y[n] = g*(d[n] - d[n-1])/t^2,   with k1 = 4g and k2 = 2*1.4142135*c*g,
    // the same transfer function with well-conditioned coefficients.
    alignas(64) float deltaK1_[kCellLanes] = {};
    alignas(64) float deltaK2_[kCellLanes] = {};
    int deltaLane_[kCellCount] = {};
    int deltaCount_ = 0;

    LaneRing<kCellCount, kLineLength> lines_;
    QuadratureBank<kCellLanes, kCellRun> quadrature_;

    alignas(16) float newest_[kBandBlock][kCellCount] = {};
    alignas(16) float delayed_[kBandBlock][kCellCount] = {};
    alignas(64) float env_[kBandBlock][kBandLanes] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

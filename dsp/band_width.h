#pragma once
// Width stage of bands 3 to 12 and the two band sums.
//
// Per band the stage measures the levelled plus and minus signals once more, forms the band's
// sum part (plus + minus, i.e. the levelled v) and difference part (plus - minus, the levelled
// r) 2048 samples later, and decides how much of the difference part goes into the sums: the
// first band sum takes it with a plus sign, the second with a minus sign. Bands 1 and 2 come in
// from their output lines and feed both sums alike.
//
// The ten bands are lanes (padded to kWidthLanes); the two channels' envelopes and followers are
// twice as many lanes (plus channel first, then minus channel, kChannelLanes).
#include "dsp/blocks/isa.h"
#include "dsp/band_filter_bank.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/follower.h"
#include "dsp/blocks/lane_ring.h"
#include "dsp/blocks/quadrature.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

inline constexpr int kWidthBands = 10;  // bands 3..12
inline constexpr int kWidthFirstBand = 2;  // lane of band 3 in the 12-band arrays
// The ten bands padded as in the filter bank: the padding lanes run on whatever they carry and
// never reach the sums.
inline constexpr int kWidthLanes = storedLanes(kWidthBands);
inline constexpr int kWidthRun = runLanes(kWidthBands);
// The two channels side by side: plus band b in lane b, minus band b in lane 10 + b.
inline constexpr int kChannelLanes = storedLanes(2 * kWidthBands);
inline constexpr int kChannelRun = runLanes(2 * kWidthBands);

class BandWidth {
public:
    // Read before write (as in the filter bank), so the lines are as long as the delay.
    static constexpr int kLineLength = 2048;
    static constexpr RingIndex kLineDelay = 2048;

    void setRate(const Rate& rate);
    void clear();

    // levelled: l_b,p | l_b,m of all twelve bands; lineOut: o_1, o_2 out of their lines. Writes
    // n samples of both band sums. Sample i writes the lines at index0 + i.
    void process(const float (*levelled)[kCellCount], const float (*lineOut)[2], int n,
                 RingIndex index0, float* y1, float* y2);

    // Results of the last process call, per sample of that block and band 3..12 (lanes 0..9).
    const float (&presence() const)[kBandBlock][kWidthLanes] { return presenceTap_; }
    const float (&width() const)[kBandBlock][kWidthLanes] { return widthTap_; }
    // The band's share of the first band sum, C_b + D_b.
    const float (&part() const)[kBandBlock][kWidthLanes] { return partTap_; }

private:
    // widthTap_[i][b] = tan(widthTap_[i][b]) wherever ratio_[i][b] > 0, for the n samples of
    // the block and the ten bands; the rest stay as they are.
    void tangents(int n);

    // Rate constants.
    float ePeak_ = 0.0f, omPeak_ = 0.0f;      // e(2.5): 0.4 s peak release
    float eSmooth_ = 0.0f, omSmooth_ = 0.0f;  // e(33.333332): 30 ms smoother
    FirstOrderCoefs lp10_{};                  // 10 Hz first-order lowpass

    QuadratureBank<kChannelLanes, kChannelRun> quadrature_;
    FollowerBank<kChannelLanes, kChannelRun> channel_;  // V_p | V_m
    // Rows of kWidthLanes, so a row loads as whole vectors; the padding lanes stay zero.
    LaneRing<kWidthLanes, kLineLength> sumLines_;
    LaneRing<kWidthLanes, kLineLength> diffLines_;

    // Presence path.
    alignas(16) float presPeak_[kWidthLanes] = {};
    alignas(16) float presSmooth_[kWidthLanes] = {};
    alignas(16) float presIn1_[kWidthLanes] = {};
    alignas(16) float presence_[kWidthLanes] = {};
    // High path.
    alignas(16) float hiPeak_[kWidthLanes] = {};
    alignas(16) float hiSmooth_[kWidthLanes] = {};
    alignas(16) float hiIn1_[kWidthLanes] = {};
    alignas(16) float hiPresence_[kWidthLanes] = {};
    // Low path.
    alignas(16) float loPeak_[kWidthLanes] = {};
    alignas(16) float loSmooth_[kWidthLanes] = {};
    // Width path.
    alignas(16) float widthIn1_[kWidthLanes] = {};
    alignas(16) float widthSmooth_[kWidthLanes] = {};

    alignas(16) float ratio_[kBandBlock][kWidthLanes] = {};  // level ratio less 1.1, per sample
    alignas(16) float presenceTap_[kBandBlock][kWidthLanes] = {};
    alignas(16) float widthTap_[kBandBlock][kWidthLanes] = {};
    alignas(16) float partTap_[kBandBlock][kWidthLanes] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

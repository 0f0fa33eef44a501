#pragma once
// Width stage of bands 3 to 12 and the two band sums.
//
// Per band the stage measures the levelled plus and minus signals once more, forms the band's
// sum part (plus + minus, i.e. the levelled v) and difference part (plus - minus, the levelled
// r) 2048 samples later, and decides how much of the difference part goes into the sums: the
// first band sum takes it with a plus sign, the second with a minus sign. Bands 1 and 2 come in
// from their output lines and feed both sums alike.
//
// The ten bands are lanes; the two channels' envelopes and followers are twenty lanes (0..9 plus
// channel, 10..19 minus channel).
#include "dsp/band_filter_bank.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/follower.h"
#include "dsp/blocks/lane_ring.h"
#include "dsp/blocks/quadrature.h"

namespace orvex {

inline constexpr int kWidthBands = 10;  // bands 3..12
inline constexpr int kWidthFirstBand = 2;  // lane of band 3 in the 12-band arrays

class BandWidth {
public:
    static constexpr int kLineLength = 4096;
    static constexpr RingIndex kLineDelay = 2048;

    void setRate(const Rate& rate);
    void clear();

    // levelled: l_b,p | l_b,m of all twelve bands; lineOut: o_1, o_2 out of their lines. Writes
    // n samples of both band sums. Sample i writes the lines at index0 + i.
    void process(const float (*levelled)[kCellCount], const float (*lineOut)[2], int n,
                 RingIndex index0, float* y1, float* y2);

    // Results of the last process call, per sample of that block and band 3..12.
    const float (&presence() const)[kBandBlock][kWidthBands] { return presenceTap_; }
    const float (&width() const)[kBandBlock][kWidthBands] { return widthTap_; }
    // The band's share of the first band sum, C_b + D_b.
    const float (&part() const)[kBandBlock][kWidthBands] { return partTap_; }

private:
    // Rate constants.
    float ePeak_ = 0.0f, omPeak_ = 0.0f;      // e(2.5): 0.4 s peak release
    float eSmooth_ = 0.0f, omSmooth_ = 0.0f;  // e(33.333332): 30 ms smoother
    FirstOrderCoefs lp10_{};                  // 10 Hz first-order lowpass

    QuadratureBank<2 * kWidthBands> quadrature_;
    FollowerBank<2 * kWidthBands> channel_;  // V_p | V_m
    LaneRing<kWidthBands, kLineLength> sumLines_;
    LaneRing<kWidthBands, kLineLength> diffLines_;

    // Presence path.
    alignas(16) float presPeak_[kWidthBands] = {};
    alignas(16) float presSmooth_[kWidthBands] = {};
    alignas(16) float presIn1_[kWidthBands] = {};
    alignas(16) float presence_[kWidthBands] = {};
    // High path.
    alignas(16) float hiPeak_[kWidthBands] = {};
    alignas(16) float hiSmooth_[kWidthBands] = {};
    alignas(16) float hiIn1_[kWidthBands] = {};
    alignas(16) float hiPresence_[kWidthBands] = {};
    // Low path.
    alignas(16) float loPeak_[kWidthBands] = {};
    alignas(16) float loSmooth_[kWidthBands] = {};
    // Width path.
    alignas(16) float widthIn1_[kWidthBands] = {};
    alignas(16) float widthSmooth_[kWidthBands] = {};

    alignas(16) float presenceTap_[kBandBlock][kWidthBands] = {};
    alignas(16) float widthTap_[kBandBlock][kWidthBands] = {};
    alignas(16) float partTap_[kBandBlock][kWidthBands] = {};
};

}  // namespace orvex

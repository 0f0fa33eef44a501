#pragma once
// Band level control: per band a noise gate with an arctangent law and a level normaliser that
// divides the band by its measured level, with gain linking between some neighbours.
//
// The level is measured on the newest band envelope while the gain scales the band signal 1024
// samples older, so the gain moves before the sound arrives. Bands 1 and 2 leave through output
// lines (2048 samples) straight to the band sums; bands 3 to 12 go on to the width stage.
// The twelve bands are lanes.
#include <array>
#include <cstdint>

#include "dsp/blocks/isa.h"
#include "dsp/band_filter_bank.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/follower.h"
#include "dsp/blocks/lane_ring.h"
#include "dsp/blocks/window_max.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

// The twelve bands padded as in the filter bank; the padding lanes run on whatever they carry
// and are never read.
inline constexpr int kLevelLanes = kBandLanes;
inline constexpr int kLevelRun = kBandRun;
// The fast and slow levels side by side: lanes 0..11 the fast ones, 12..23 the slow ones.
inline constexpr int kLevelFollowLanes = storedLanes(2 * kBandCount);
inline constexpr int kLevelFollowRun = runLanes(2 * kBandCount);

class BandLevel {
public:
    static constexpr int kOutputLineLength = 2048;  // read before write: as long as the delay
    static constexpr RingIndex kOutputDelay = 2048;
    static constexpr int kWindowLength = 64;
    static constexpr int kWindowWidth = 44;

    // Linear block-rate values.
    struct Settings {
        float gateGain[kBandCount];   // k_b
        float threshold[kBandCount];  // theta_b
        float link2to1 = 1.0f;        // band 2's slow level as seen by band 1
        float link5678 = 1.0f;        // bands 5..8 as seen by bands 6 and 7
        float link11to12 = 1.0f;      // band 11 as seen by band 12
        float band1Scale = -1.0f;     // output scale of band 1 (negative: inverted)
    };

    void setRate(const Rate& rate);
    void setSettings(const Settings& s);
    void clear();

    // env: band envelopes; delayed: band signals kLookAhead samples old (both from the filter
    // bank, per sample of the block). Sample i writes the rings at index0 + i.
    void process(const float (*env)[kBandLanes], const float (*delayed)[kCellCount], int n,
                 RingIndex index0);
    // The same from twelve envelopes per sample.
    void process(const float (*env)[kBandCount], const float (*delayed)[kCellCount], int n,
                 RingIndex index0);

    // Results of the last process call, per sample of that block.
    const float (&levelled() const)[kBandBlock][kCellCount] { return levelled_; }  // l_b,p | l_b,m
    const float (&lineOut() const)[kBandBlock][2] { return lineOut_; }  // o_1, o_2 out of their lines
    const float (&gate() const)[kBandBlock][kLevelLanes] { return gate_; }
    const float (&divisor() const)[kBandBlock][kLevelLanes] { return divisor_; }
    const float (&gain() const)[kBandBlock][kLevelLanes] { return gain_; }
    const float (&slowLevel() const)[kBandBlock][kLevelLanes] { return slow_; }
    const float (&linkedLevel() const)[kBandBlock][kLevelLanes] { return linked_; }

private:
    Settings settings_{};
    // The per-band settings over the padded lanes.
    alignas(64) float gateGain_[kLevelLanes] = {};
    alignas(64) float threshold_[kLevelLanes] = {};
    alignas(64) float linkGain_[kLevelLanes] = {};  // 0 on bands without a link

    // Rate constants.
    alignas(16) float eRelease_[kLevelLanes] = {};  // gate release e(rho_b)
    alignas(16) float omRelease_[kLevelLanes] = {};
    float eGate_ = 0.0f, omGate_ = 0.0f;  // gate smoother e(33.333332)

    // Gate follower state.
    alignas(16) float gatePeak_[kLevelLanes] = {};
    alignas(16) float gateSmooth_[kLevelLanes] = {};
    // The last argument of the gate law per band (its bits; a NaN before the first) and its
    // result.
    std::array<std::uint32_t, kLevelLanes> gateArg_ = noGateArg();
    alignas(16) float gateLast_[kLevelLanes] = {};
    static constexpr std::array<std::uint32_t, kLevelLanes> noGateArg() {
        std::array<std::uint32_t, kLevelLanes> a{};
        for (auto& x : a) x = 0x7fc00000u;
        return a;
    }

    WindowMaxBank<kLevelLanes, kWindowLength, kWindowWidth, kLevelRun> window_;
    // Lanes 0..11: fast levels of bands 1..12; lanes 12..23: slow levels.
    FollowerBank<kLevelFollowLanes, kLevelFollowRun> levels_;
    LaneRing<2, kOutputLineLength> outputLines_;

    alignas(16) float levelled_[kBandBlock][kCellCount] = {};
    alignas(16) float lineOut_[kBandBlock][2] = {};
    alignas(16) float gate_[kBandBlock][kLevelLanes] = {};
    alignas(16) float divisor_[kBandBlock][kLevelLanes] = {};
    alignas(16) float gain_[kBandBlock][kLevelLanes] = {};
    alignas(16) float slow_[kBandBlock][kLevelLanes] = {};
    alignas(16) float linked_[kBandBlock][kLevelLanes] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

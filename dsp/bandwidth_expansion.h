#pragma once
// Bandwidth expansion of the two channel signals.
//
// Each channel's top octave is softened by a fixed 5 kHz shelf, and a high band is synthesised
// from the part of the channel just below the lowpass corner: its analytic signal is squared,
// which doubles its frequency, then normalised by its own envelope, band-limited, limited and
// scaled by how much content the channel already has above the HF detection frequency.
//
// Both channels run through one routine as two lanes of the same banks: block-rate coefficients
// are shared, every memory is per channel. Per sample only arithmetic, comparisons and square
// roots run; every coefficient comes from setRate or setControls.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/lane_sections.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

class BandwidthExpansion {
public:
    static constexpr int kMaxBlock = 128;
    // z carries the shelved channel this many samples late.
    static constexpr int kShelfDelay = 2;

    // Raw control values: the input highpass corner, HF detection corner and lowpass corner in
    // Hz; the limiter threshold, detection gain and level in dB.
    struct Controls {
        float inputHpf = 4900.0f;
        float limiterThreshold = -60.0f;
        float hfDetectFreq = 8000.0f;
        float hfDetectGain = 28.0f;
        float level = -33.0f;
        float lowpass = 9700.0f;
    };

    // Rate constants; the control-dependent coefficients are redesigned for the new rate from
    // the last controls. Memories are left alone (clear() silences them).
    void setRate(const Rate& rate);
    // Block rate: gains and the control-dependent filters.
    void setControls(const Controls& c);
    void clear();
    // Channels A and B. Runs in sub-blocks of at most kMaxBlock samples; within each, every
    // input sample is read before any output is written, so z may be the u buffers.
    void process(const float* uA, const float* uB, float* zA, float* zB, int n);

private:
    void processBlock(const float* uA, const float* uB, float* zA, float* zB, int n);

    // History rows kept in front of each working buffer (the shift registers).
    static constexpr int kShelfHist = kShelfDelay;  // s[n-2]
    static constexpr int kQuadHist = 3;             // P[n-3], Q[n-2], P[n-1]
    static constexpr int kPeakHist = 4;             // 5-value maximum
    static constexpr int kMixHist = 6;              // reo[n-6], imo[n-6]

    Rate rate_{};
    Controls controls_{};

    // Rate constants.
    FirstOrderCoefs shelf_{};    // 5 kHz
    FirstOrderCoefs limLp_{};    // 500 Hz
    float e50_ = 0.0f, e50c_ = 0.0f;
    // Block-rate gains.
    float gLevel_ = 0.0f, gHF_ = 0.0f, gLim_ = 0.0f;

    // Shelf: lowpass and highpass per channel.
    FirstOrderLanes<2> shelfLp_, shelfHp_;
    // Elliptic highpasses on lanes {HF A, HF B, source A, source B}.
    BiquadLaneCascade<3, 4> inputHp_;
    // Twelfth-order lowpass of the source, lanes {A, B}.
    WavefrontLaneCascade<6, 2> sourceLp_;
    // Quadrature pairs over lanes {HF A, HF B, src A, src B}: branch P in columns 0..3 of the
    // working rows, branch Q in columns 4..7.
    AllPassLaneChain<4, 4> branchP_, branchQ_;
    // 100 Hz lowpass of the HF magnitude, lanes {A, B}.
    BiquadLaneCascade<1, 2> hfLp_;
    // Expansion envelope and its fourth-order lowpass, lanes {A, B}.
    float env_[2] = {};
    BiquadLaneCascade<2, 2> envLp_;
    // Band-limiting of the squared signal, lanes {re A, re B, im A, im B}: elliptic highpass
    // (three sections) and the peaking boost.
    WavefrontLaneCascade<4, 4> component_;
    // Limiter lowpass, lanes {A, B}.
    FirstOrderLanes<2> limiter_;

    // Working buffers; the first rows hold the previous samples.
    float shelfBuf_[kShelfHist + kMaxBlock][2] = {};
    float hpBuf_[kMaxBlock][4] = {};
    float quadBuf_[kQuadHist + kMaxBlock][8] = {};
    float hfBuf_[kMaxBlock][2] = {};
    float magBuf_[kPeakHist + kMaxBlock][2] = {};
    float envBuf_[kMaxBlock][2] = {};
    float compBuf_[kMixHist + kMaxBlock][4] = {};
    float limBuf_[kPeakHist + kMaxBlock][2] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

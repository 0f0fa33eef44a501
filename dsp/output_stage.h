#pragma once
// Output stage: the final 2 kHz shelf and the 40 Hz highpass of each channel, the 132-sample
// look-ahead delay, and the shared gain control and peak normaliser that hold both outputs at or
// below the ceiling.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/lane_sections.h"
#include "dsp/blocks/ring.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

// The per-channel filter path in front of the delay: final shelf, then two sixth-order elliptic
// highpasses at 40 Hz in series. Channels A and B are the two lanes of one bank.
class OutputFilter {
public:
    static constexpr int kMaxBlock = 128;
    static constexpr int kSections = 6;

    void setRate(const Rate& rate);
    void setShelf(float shelfDb);
    void clear();
    // Any n, in sub-blocks of at most kMaxBlock; within each, every input sample is read
    // before any output is written.
    void process(const float* zA, const float* zB, float* oA, float* oB, int n);
    void processBlock(const float* zA, const float* zB, float* oA, float* oB, int n);  // n <= kMaxBlock

    // The highpass sections in the order they run (both lanes hold the same design).
    BiquadCoefs section(int i) const;

private:
    FirstOrderCoefs shelf_{};  // 2 kHz
    float gShelf_ = 1.0f;
    FirstOrderLanes<2> lp_, hp_;
    WavefrontLaneCascade<kSections, 2> highpass_;
    float buf_[kMaxBlock][2] = {};
};

class OutputStage {
public:
    static constexpr int kMaxBlock = 128;
    static constexpr int kOutputDelay = 132;
    static constexpr float kCeiling = 0.8912509f;  // -1 dB
    static constexpr int kPeakWindow = 44;

    // dB values of "Final 2k HF Shelf" and "Output AGC Threshold".
    struct Controls {
        float finalShelf = -6.0f;
        float agcThreshold = -4.0f;
    };

    void setRate(const Rate& rate);
    void setControls(const Controls& c);
    void clear();
    // Sample i uses ring index index0 + i (wrapping). Runs in sub-blocks of at most kMaxBlock;
    // outA/outB may be the host buffers and may alias zA/zB, since within a sub-block every
    // input sample is read before any output is written.
    void process(const float* zA, const float* zB, float* outA, float* outB, int n, RingIndex index0);
    // The peak envelope after the last sample processed; the normaliser's gain is
    // kCeiling / peakEnvelope() (0 after clear, before any sample).
    float peakEnvelope() const { return env_; }

private:
    void processBlock(const float* zA, const float* zB, float* outA, float* outB, int n, RingIndex index0);

    OutputFilter filter_;
    float e20_ = 0.0f, e20c_ = 0.0f;
    float gAGC_ = 1.0f;

    Ring<256> delayA_, delayB_;
    // The peaks of the last kPeakWindow - 1 samples, then room for a sub-block's: the window
    // ending at any sample of the sub-block is contiguous.
    static constexpr int kPeakHistory = kPeakWindow - 1;
    alignas(64) float peaks_[kPeakHistory + kMaxBlock] = {};
    float thr_ = 0.0f;
    float env_ = 0.0f;
    float o_[kMaxBlock][2] = {};
    float oA_[kMaxBlock] = {}, oB_[kMaxBlock] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

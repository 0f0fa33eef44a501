#pragma once
// The multiband section: band filter bank, band level control, width stage and band sums.
//
// Takes the processed input v and the phase-rotated signal r, gives the two band sums Y1
// (channel A) and Y2 (channel B). Every band reaches the sums 3072 samples after its input:
// 1024 in the band lines and 2048 in the output, sum and difference lines.
//
// process runs stage by stage over a sub-block of at most kMaxBlock samples; each stage only
// reads what earlier stages produced for the same samples, and the look-ahead lines are longer
// than a sub-block, so the output does not depend on how a signal is split into blocks.
#include "dsp/blocks/isa.h"
#include "dsp/band_filter_bank.h"
#include "dsp/band_level.h"
#include "dsp/band_width.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/ring.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

class MultibandSection {
public:
    static constexpr int kMaxBlock = kBandBlock;
    static constexpr int kBandLookAhead = static_cast<int>(BandFilterBank::kLookAhead);
    static constexpr int kLineDelay = static_cast<int>(BandWidth::kLineDelay);

    // Raw control values in their own units, read once per block.
    struct Controls {
        float band1Level;      // "Band 1 Level dB"
        float band1GateTrim;   // "Band 1 Noisegate Gain Trim dB"
        float link2to1;        // "Band 2 -> 1 Gain Linking dB"
        float link11to12;      // "Bands 11 -> 12 Gain Linking dB"
        float link5678;        // "Bands 5678 Gain Linking dB"
        float masterGate;      // "Master Noisegate Gain"
        float band1Threshold;  // "Multiband EQ Band 1 Threshold"
        float masterThreshold; // "Multiband EQ Master Threshold"
        float gateScale;       // "Noisegate Gain Scale dB Per Band"
    };
    static Controls defaultControls() { return {8.0f, -15.0f, -6.0f, -10.0f, -3.0f, 40.0f, -20.0f, -35.0f, 0.7f}; }

    // Per-band values of one sample, for diagnosis.
    struct Taps {
        float env[kBandCount];       // band envelope
        float gate[kBandCount];      // gate factor
        float divisor[kBandCount];   // gain divisor
        float gain[kBandCount];      // band gain
        float presence[kBandCount];  // presence factor (bands 3..12; 0 for bands 1 and 2)
        float width[kBandCount];     // width factor (bands 3..12; 0 for bands 1 and 2)
        float part[kBandCount];      // the band's share of Y1: o_1, o_2, then C_b + D_b
    };

    // Rate constants; call clear() after a rate change to start from silence.
    void setRate(const Rate& rate);
    // Block-rate values from the controls (dB to linear).
    void setControls(const Controls& c) { level_.setSettings(levelSettings(c)); }
    static BandLevel::Settings levelSettings(const Controls& c);
    // All state and rings to zero; rate constants and controls stay.
    void clear();
    // Sample i uses ring index index0 + i (wrapping). Spans of up to kMaxBlock samples run as
    // one sub-block; longer ones are split. Nothing happens for n <= 0.
    void process(const float* v, const float* r, float* y1, float* y2, int n, RingIndex index0);

    // Taps of sample i of the last sub-block processed. Not for the audio path.
    Taps taps(int i) const;

    const BandFilterBank& filterBank() const { return bank_; }
    const BandLevel& level() const { return level_; }
    const BandWidth& width() const { return width_; }

private:
    BandFilterBank bank_;
    BandLevel level_;
    BandWidth width_;
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

#include "dsp/mydsp.h"

#include <cfloat>
#include <cmath>

namespace orvex {

namespace {

// Finite samples beyond +120 dBFS are held there so no filter memory can overflow; non-finite
// ones (NaN, infinities) would poison every recursive state for good, so they count as silence.
constexpr float kInputLimit = 1.0e6f;

inline float admit(float x) {
    const float a = std::fabs(x);
    if (a <= kInputLimit) return x;
    return a <= FLT_MAX ? std::copysign(kInputLimit, x) : 0.0f;
}

}  // namespace

void mydsp::declareControls(UI* collector) {
    collector->openColumnGroup(kProcessorName);
    for (int i = 0; i < ctl::kCount; ++i) {
        const ControlDef& c = kControlTable[i];
        float* zone = &fControls[i];
        for (int m = 0; m < c.metadataCount; ++m)
            collector->attachMetadata(zone, c.metadata[m].key, c.metadata[m].value);
        if (c.checkButton)
            collector->addCheckButton(c.label, zone);
        else
            collector->addHorizontalFader(c.label, zone, c.init, c.min, c.max, c.step);
    }
    collector->closeGroup();
}

void mydsp::declareMetadata(Meta* table) {
    table->declare("author", "Kolmar");
    table->declare("build_options", "single precision, strict IEEE arithmetic, no contraction");
    table->declare("category", "Dynamics");
    table->declare("copyright", "Kolmar");
    table->declare("description",
                   "Broadcast processor: band limit, look-ahead normaliser, noise reduction, "
                   "station equaliser, twelve-band levelling, bandwidth expansion, peak limit");
    table->declare("source_file", "Kolmar_VELDA-KT19h40.cpp");
    table->declare("library_path", "Kolmar_VELDA-KT19h40");
    table->declare("blocks_design_name", "Filter design");
    table->declare("blocks_design_version", "1.0");
    table->declare("blocks_sections_name", "Bilinear sections");
    table->declare("blocks_sections_version", "1.0");
    table->declare("blocks_allpass_name", "All-pass chains");
    table->declare("blocks_allpass_version", "1.0");
    table->declare("blocks_delay_name", "Ring delay lines");
    table->declare("blocks_delay_version", "1.0");
    table->declare("blocks_envelope_name", "Quadrature envelopes");
    table->declare("blocks_envelope_version", "1.0");
    table->declare("blocks_follower_name", "Level followers");
    table->declare("blocks_follower_version", "1.0");
    table->declare("blocks_math_name", "Single-precision maths");
    table->declare("blocks_math_version", "1.0");
    table->declare("name", kProcessorName);
    table->declare("Unique_ID", "q4t8");
    table->declare("version", "q4t8");
}

void mydsp::setupForRate(int rate) {
    computeRateConstants(rate);
    resetControls();
    clearState();
}

void mydsp::computeRateConstants(int rate) {
    fStoredRate = rate;
    fRate = makeRate(rate);
    fInput.setRate(fRate);
}

void mydsp::resetControls() {
    for (int i = 0; i < ctl::kCount; ++i) fControls[i] = kControlTable[i].init;
}

void mydsp::clearState() {
    fInput.clear();
    ringIndex = 0;
}

int mydsp::inputRateCode(int channel) {
    switch (channel) {
        case 0: return 1;
        case 1: return 0;  // declared but never read
        default: return -1;
    }
}

int mydsp::outputRateCode(int channel) { return channel == 0 || channel == 1 ? 1 : -1; }

void mydsp::compute(int count, float** inputs, float** outputs) {
    if (count <= 0) return;

    // Block rate: every control is read exactly once; a write during the call counts from the
    // next one.
    float cells[ctl::kCount];
    for (int i = 0; i < ctl::kCount; ++i) cells[i] = fControls[i];
    fInput.setControls(inputControlsFrom(cells));

    const float* in = inputs[0];
    float* outA = outputs[0];
    float* outB = outputs[1];

    alignas(32) float x[kSubBlock];
    alignas(32) float v[kSubBlock];
    alignas(32) float r[kSubBlock];
    for (int done = 0; done < count;) {
        const int n = count - done < kSubBlock ? count - done : kSubBlock;
        // The chunk is copied before anything is written, so outputs may alias the input.
        for (int i = 0; i < n; ++i) x[i] = admit(in[done + i]);

        fInput.process(x, v, r, n, ringIndex);

        if (fTap != nullptr) {
            for (int i = 0; i < n && fTap->written < fTap->capacity; ++i, ++fTap->written) {
                if (fTap->v != nullptr) fTap->v[fTap->written] = v[i];
                if (fTap->r != nullptr) fTap->r[fTap->written] = r[i];
            }
        }

        // Until the band section and the output stage are wired in, v and r go to the outputs.
        for (int i = 0; i < n; ++i) {
            outA[done + i] = v[i];
            outB[done + i] = r[i];
        }
        ringIndex += static_cast<RingIndex>(n);
        done += n;
    }
}

}  // namespace orvex

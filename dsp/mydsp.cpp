#include "dsp/mydsp.h"

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>

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

// Largest magnitude of p[0..n) and `peak`.
inline float blockPeak(const float* p, int n, float peak) {
    for (int i = 0; i < n; ++i) {
        const float a = std::fabs(p[i]);
        peak = a > peak ? a : peak;
    }
    return peak;
}

static_assert(kMeterBands == kBandCount, "one meter per band");

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
    fControlsApplied = false;
    fChain.input.setRate(fRate);
    fChain.bands.setRate(fRate);
    fChain.expansion.setRate(fRate);
    fChain.output.setRate(fRate);
}

void mydsp::resetControls() {
    // Cells are shared with the parameter path, which writes them from host threads.
    for (int i = 0; i < ctl::kCount; ++i)
        std::atomic_ref<float>(fControls[i]).store(kControlTable[i].init, std::memory_order_relaxed);
}

void mydsp::clearState() {
    fChain.input.clear();
    fChain.bands.clear();
    fChain.expansion.clear();
    fChain.output.clear();
    ringIndex = 0;
    fFrames = 0;
    MeterValues cleared{};
    cleared.outputGain = 1.0f;  // nothing held down yet
    fMeters.publish(cleared);
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
    for (int i = 0; i < ctl::kCount; ++i)
        cells[i] = std::atomic_ref<float>(fControls[i]).load(std::memory_order_relaxed);
    // The same bits give the same designs, so unchanged values need none.
    if (!fControlsApplied || std::memcmp(cells, fAppliedControls, sizeof cells) != 0) {
        fChain.input.setControls(inputControlsFrom(cells));
        fChain.bands.setControls({cells[ctl::kBand1LevelDb], cells[ctl::kBand1GateTrimDb], cells[ctl::kBand2To1LinkDb],
                                  cells[ctl::kBands11To12LinkDb], cells[ctl::kBands5678LinkDb], cells[ctl::kMasterGateGain],
                                  cells[ctl::kBand1Threshold], cells[ctl::kMasterThreshold], cells[ctl::kGateScalePerBand]});
        fChain.expansion.setControls({cells[ctl::kExpansionInputHpf], cells[ctl::kExpansionLimiterThreshold],
                                      cells[ctl::kExpansionHfDetectFreq], cells[ctl::kExpansionHfDetectGain],
                                      cells[ctl::kExpansionLevel], cells[ctl::kLowpassFilter]});
        fChain.output.setControls({cells[ctl::kFinalHfShelf], cells[ctl::kOutputAgcThreshold]});
        std::memcpy(fAppliedControls, cells, sizeof cells);
        fControlsApplied = true;
    }

    const float* in = inputs[0];
    float* outA = outputs[0];
    float* outB = outputs[1];

    // The copy of the chain for the active instruction-set path, fixed for the whole call.
    const ChainKernel& kernel = chainKernel();
    alignas(64) float x[kSubBlock];
    ChainBuffers stage;
    float inPeak = 0.0f, outPeak = 0.0f;
    int last = 0;  // length of the last sub-block
    for (int done = 0; done < count;) {
        const int n = count - done < kSubBlock ? count - done : kSubBlock;
        // The chunk is copied before anything is written, so outputs may alias the input.
        for (int i = 0; i < n; ++i) x[i] = admit(in[done + i]);
        kernel.run(&fChain, x, outA + done, outB + done, n, ringIndex, stage);
        inPeak = blockPeak(x, n, inPeak);
        outPeak = blockPeak(outB + done, n, blockPeak(outA + done, n, outPeak));
        last = n;
        const float *v = stage.v, *r = stage.r, *y1 = stage.y1, *y2 = stage.y2, *zA = stage.zA, *zB = stage.zB;

        if (fTap != nullptr) {
            for (int i = 0; i < n && fTap->written < fTap->capacity; ++i, ++fTap->written) {
                const std::size_t at = fTap->written;
                if (fTap->v != nullptr) fTap->v[at] = v[i];
                if (fTap->r != nullptr) fTap->r[at] = r[i];
                if (fTap->y1 != nullptr) fTap->y1[at] = y1[i];
                if (fTap->y2 != nullptr) fTap->y2[at] = y2[i];
                if (fTap->zA != nullptr) fTap->zA[at] = zA[i];
                if (fTap->zB != nullptr) fTap->zB[at] = zB[i];
            }
        }
        ringIndex += static_cast<RingIndex>(n);
        done += n;
    }

    // Meters: values the stages already hold for the block's last sample, copied out once. The
    // multiband section ran that sub-block as one piece (kSubBlock <= its largest), so its
    // per-sample results end at index last - 1.
    static_assert(kSubBlock <= MultibandSection::kMaxBlock, "the last sub-block is the section's last run");
    fFrames += static_cast<std::uint64_t>(count);
    MeterValues m;
    const BandLevel& level = fChain.bands.level();
    for (int b = 0; b < kMeterBands; ++b) {
        m.bandGain[b] = level.gain()[last - 1][b];
        m.bandGate[b] = level.gate()[last - 1][b];
    }
    const float env = fChain.output.peakEnvelope();
    m.outputGain = env > 0.0f ? OutputStage::kCeiling / env : 1.0f;
    m.inputPeak = inPeak;
    m.outputPeak = outPeak;
    m.frames = fFrames;
    fMeters.publish(m);
}

}  // namespace orvex

#pragma once
// The signal processor: its 20 control cells, metadata, rate constants, state and the
// processing frame that runs every stage over sub-blocks.
#include <cstddef>
#include <cstdint>

#include "dsp/blocks/design.h"
#include "dsp/blocks/ring.h"
#include "dsp/controls.h"
#include "dsp/dsp.h"
#include "dsp/frame.h"
#include "dsp/chain.h"
#include "dsp/meter_readout.h"

namespace orvex {

// Diagnosis hook: while attached, compute appends every sample's input-stage outputs to these
// buffers until `capacity` samples are stored. Owned by the caller; no allocation on the path.
struct StageTap {
    float* v = nullptr;
    float* r = nullptr;
    float* y1 = nullptr;  // band sums
    float* y2 = nullptr;
    float* zA = nullptr;  // bandwidth-expansion outputs
    float* zB = nullptr;
    std::size_t capacity = 0;
    std::size_t written = 0;
};

// Threads: compute runs on the audio thread; init, setupForRate, computeRateConstants and
// clearState are called by the host thread only while no compute runs on the same object; a
// control cell may be written at any time and is picked up at the next block.
class mydsp : public dsp {
public:
    // The programme's fixed delay through the chain, whatever the rate and the controls:
    // normaliser look-ahead and noise-reduction tap, band lines, output/sum/difference lines,
    // the shelf register of the expansion and the output delay. Filter group delays come on top.
    static constexpr int kChainLatency =
        static_cast<int>(InputStage::kLatency) + MultibandSection::kBandLookAhead + MultibandSection::kLineDelay +
        BandwidthExpansion::kShelfDelay + OutputStage::kOutputDelay;

    mydsp() = default;

    int inputCount() override { return 2; }
    int outputCount() override { return 2; }
    void declareControls(UI* collector) override;
    int storedRate() override { return fStoredRate; }
    void init(int rate) override { setupForRate(rate); }
    void setupForRate(int rate) override;
    void computeRateConstants(int rate) override;
    void resetControls() override;
    void clearState() override;
    dsp* clone() override { return new mydsp(); }
    void declareMetadata(Meta* table) override;
    // Audio thread. Reads inputs[0] only (inputs[1] is never touched); outputs may alias it.
    void compute(int count, float** inputs, float** outputs) override;
    void compute(double /*timestamp*/, int count, float** inputs, float** outputs) override {
        compute(count, inputs, outputs);
    }
    int inputRateCode(int channel) override;
    int outputRateCode(int channel) override;

    // The control cell at a parameter index (ctl::Index), or nullptr when out of range.
    float* control(int index) {
        return index >= 0 && index < ctl::kCount ? &fControls[index] : nullptr;
    }
    const Rate& workingRate() const { return fRate; }
    RingIndex currentRingIndex() const { return ringIndex; }
    void setRingIndexForTest(RingIndex index) { ringIndex = index; }
    void attachTap(StageTap* tap) { fTap = tap; }
    // The stages themselves, for measuring them one at a time. Not for the audio path.
    Chain& chain() { return fChain; }
    // The meters of the last block (see dsp/meter_readout.h). Any thread, at any time; never
    // waits for compute and compute never waits for it. False only when no consistent copy
    // could be taken.
    bool readMeters(MeterSnapshot& out) const { return fMeters.read(out); }

private:
    int fStoredRate = 0;
    Rate fRate;
    float fControls[ctl::kCount] = {};
    // The control values the stages were last set up from: the block-rate designs (filter
    // coefficients, dB to linear) are redone only when a value changes.
    float fAppliedControls[ctl::kCount] = {};
    bool fControlsApplied = false;
    // The one write index shared by every ring; wraps through the whole 32-bit range.
    RingIndex ringIndex = 0;
    Chain fChain;
    StageTap* fTap = nullptr;
    std::uint64_t fFrames = 0;  // since the last clearState
    MeterReadout fMeters;
};

}  // namespace orvex

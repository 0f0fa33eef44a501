#include "plugin/orvex.h"

#include "dsp/flush_to_zero.h"
#include "dsp/mydsp.h"
#include "plugin/meter_request.h"
#include "plugin/text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace orvex {

namespace {

constexpr VstInt32 kDefaultIdentifier = CCONST('O', 'R', 'V', 'E');

// Identifier from a non-empty "id" text: the first character unsigned, the next three signed,
// packed from the most significant byte down. Characters past the end of a shorter text count
// as zero instead of being read from beyond it.
VstInt32 identifierFromText(const char* text) {
    const std::size_t length = std::strlen(text);
    auto at = [&](std::size_t i) { return i < length ? text[i] : '\0'; };
    std::int64_t id = static_cast<std::int64_t>(static_cast<unsigned char>(at(0))) * (1 << 24) +
                      static_cast<std::int64_t>(static_cast<signed char>(at(1))) * (1 << 16) +
                      static_cast<std::int64_t>(static_cast<signed char>(at(2))) * (1 << 8) +
                      static_cast<std::int64_t>(static_cast<signed char>(at(3)));
    return static_cast<VstInt32>(static_cast<std::uint32_t>(id));
}

}  // namespace

const VstInt32 Orvex::kProcessingLatency = mydsp::kChainLatency;

Orvex::Orvex(audioMasterCallback audioMaster, dsp* processor, vstUI* collection)
    : AudioEffectX(audioMaster, 1, collection->size()),
      fDSP(processor),
      fUI(collection),
      fNumParams(collection->size()),
      fInputs(processor->inputCount()),
      fOutputs(processor->outputCount()) {
    fPending.reserve(kPendingCapacity);
    fVoices.resize(kVoiceCount);
    fPlaying.reserve(kVoiceCount);
    fVoicesToRelease.reserve(kVoiceCount);
    fFreeVoices.reserve(kVoiceCount);
    fFinished.reserve(kVoiceCount);
    std::strcpy(fProgramName, "Default");
    AudioEffect::setProgram(0);

    // The metadata table is fixed, so one temporary processor declares it once for all lookups.
    {
        std::unique_ptr<dsp> declaring(fDSP->clone());
        declaring->declareMetadata(&fMetadata);
    }

    if (audioMaster) {
        setNumInputs(fInputs);
        setNumOutputs(fOutputs);
        canProcessReplacing(true);
        if (fInputs < 1) {
            isSynth(true);
            if (fOutputs < 1)
                std::fputs("*** orvex: vsti: No signal inputs or outputs, and Orvex has no MIDI outputs!\n", stderr);
        }
        const char* id = getMetadata("id", "ORVEX");
        VstInt32 identifier = kDefaultIdentifier;
        if (id[0] != '\0') {
            identifier = identifierFromText(id);
        } else if (fUI->size() > 0) {
            identifier = kDefaultIdentifier + fUI->labelSum() % 128;
        }
        setUniqueID(identifier);
    }
    // The chain delays the programme by a fixed number of samples at every rate and setting;
    // reporting it lets hosts that compensate plug-in delay keep the track aligned.
    setInitialDelay(kProcessingLatency);

    const int rate = integerRate();
    for (int i = 0; i < kVoiceCount; ++i) {
        auto voice = std::make_unique<Voice>(fDSP->clone());
        voice->processor().computeRateConstants(rate);
        voice->processor().resetControls();
        voice->processor().clearState();
        voice->processor().declareControls(voice.get());
        fVoices[static_cast<std::size_t>(i)] = std::move(voice);
        fFreeVoices.push_back(i);
    }

    const std::size_t outputs = fOutputs > 0 ? static_cast<std::size_t>(fOutputs) : 0;
    fMixing.assign(outputs, std::vector<float>(static_cast<std::size_t>(fMixingLength), 0.0f));
    fMixingPointers.resize(outputs);
    for (std::size_t c = 0; c < outputs; ++c) fMixingPointers[c] = fMixing[c].data();
    fSegment.resize(outputs);

    fCurrentNote = 0;
    fCurrentVelocity = 0;
    fCurrentFrame = 0;

    fDSP->init(rate);
    for (auto& voice : fVoices) voice->processor().setupForRate(rate);
    fMeterSource = dynamic_cast<const mydsp*>(fDSP.get());
}

Orvex::~Orvex() {
    fMixingPointers.clear();
    fMixing.clear();
    for (auto& voice : fVoices) voice.reset();
    fUI.reset();
    fDSP.reset();
}

Orvex* Orvex::create(audioMasterCallback audioMaster, dsp* processor) {
    auto* collection = new vstUI();
    processor->declareControls(collection);
    return new Orvex(audioMaster, processor, collection);
}

const char* Orvex::getMetadata(const char* key, const char* defaultValue) const {
    const char* value = fMetadata.get(key);
    return value ? value : defaultValue;
}

int Orvex::integerRate() const {
    const float rate = const_cast<Orvex*>(this)->getSampleRate();
    // A rate that an int cannot hold is not a rate; keep the processors defined regardless.
    if (!(rate >= 1.0f)) return 1;
    if (rate >= 2147483520.0f) return 2147483520;
    return static_cast<int>(rate);
}

// Any thread: the snapshot is copied from the processor's readout, which never waits for and
// never holds up a block.
VstIntPtr Orvex::vendorSpecific(VstInt32 index, VstIntPtr value, void* ptr, float /*opt*/) {
    if (index != kMeterRequestIndex || value != kMeterRequestValue || ptr == nullptr || fMeterSource == nullptr)
        return 0;
    MeterSnapshot snapshot;
    if (!fMeterSource->readMeters(snapshot)) return 0;
    std::memcpy(ptr, &snapshot, sizeof snapshot);
    return static_cast<VstIntPtr>(sizeof(MeterSnapshot));
}

// ---- audio ----------------------------------------------------------------------------------

// Host thread, while suspended: re-initialises all eleven processors in place.
void Orvex::setSampleRate(float sampleRate) {
    AudioEffectX::setSampleRate(sampleRate);
    const int rate = integerRate();
    // Re-initialising resets the controls to their defaults; the values the host has set are
    // carried across so that a host that restores parameters before setting the rate keeps them.
    fUI->saveValues(fSavedValues);
    fDSP->init(rate);
    fUI->restoreValues(fSavedValues);
    for (auto& voice : fVoices) {
        voice->saveValues(fSavedValues);
        voice->processor().setupForRate(rate);
        voice->restoreValues(fSavedValues);
    }
}

// Audio thread. Effect mode is one floating-point mode switch and one call: no allocation.
void Orvex::processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) {
    FlushToZero ftz;
    const int frames = sampleFrames > 0 ? sampleFrames : 0;
    if (fInputs >= 1) {
        // Nothing plays note events here; dropping them keeps the queue bounded.
        fPending.clear();
        fPendingHead = 0;
        fDSP->compute(frames, inputs, outputs);
        return;
    }
    processInstrument(inputs, outputs, frames);
}

// ---- parameters -----------------------------------------------------------------------------

// Any host thread, also during a block: eleven relaxed atomic stores, no allocation.
void Orvex::setParameter(VstInt32 index, float value) {
    if (index < 0 || index >= fNumParams) return;
    fUI->at(index).setValue(value);
    for (auto& voice : fVoices) voice->at(index).setValue(value);
}

float Orvex::getParameter(VstInt32 index) {
    if (index < 0 || index >= fNumParams) return 0.0f;
    return fUI->at(index).getValue();
}

void Orvex::getParameterName(VstInt32 index, char* text) {
    if (!text) return;
    if (index >= 0 && index < fNumParams)
        fUI->at(index).getName(text);
    else
        std::strcpy(text, "IndexOut");
}

void Orvex::getParameterLabel(VstInt32 index, char* label) {
    if (!label) return;
    const char* unit = fUI->metadata(index, "unit");
    copyBounded(label, index >= 0 && index < fNumParams && unit ? unit : "", kVstMaxParamStrLen);
}

void Orvex::getParameterDisplay(VstInt32 index, char* text) {
    if (!text) return;
    if (index >= 0 && index < fNumParams)
        fUI->at(index).getDisplay(text);
    else
        std::strcpy(text, "IndexOut");
}

bool Orvex::getParameterProperties(VstInt32 index, VstParameterProperties* p) {
    if (!p || index < 0 || index >= fUI->size()) return false;
    if (index == fUI->gateIndex) p->flags |= kVstParameterIsSwitch;
    getParameterName(index, p->label);
    if (auto* slider = dynamic_cast<vstSlider*>(&fUI->at(index))) {
        auto truncated = [](float v) {
            if (std::isnan(v)) return 0;
            if (v >= 2147483648.0f) return 2147483647;
            if (v <= -2147483648.0f) return -2147483647 - 1;
            return static_cast<int>(v);
        };
        p->minInteger = truncated(slider->min());
        p->maxInteger = truncated(slider->max());
        p->stepInteger = truncated(slider->step());
    }
    return true;
}

}  // namespace orvex

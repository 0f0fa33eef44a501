#pragma once
// The effect the host sees: the main processor with its parameter collection, a pool of ten
// voices for processors without audio inputs, and the answers to the host's requests.
//
// Threads: the host constructs and destroys the object on one thread; it calls the parameter
// operations from any thread and processReplacing/processEvents from its audio thread.
// setSampleRate arrives only while the effect is suspended. Parameter writes are relaxed atomic
// stores into the processors' control cells, so they may overlap a block.
#include <memory>
#include <vector>

#include "dsp/dsp.h"
#include "host/audio_effect_x.h"
#include "plugin/parameters.h"

namespace orvex {

class mydsp;

// A note event waiting for the instrument path: note 0..127, velocity (0 releases), frame offset.
struct PendingNote {
    int note;
    int velocity;
    int frame;
};

// A sounding voice and the note it plays.
struct PlayingVoice {
    int note;
    int voice;
};

class Orvex : public AudioEffectX {
public:
    // The processor's fixed delay, reported to the host as the record's initialDelay.
    static const VstInt32 kProcessingLatency;

    static constexpr int kVoiceCount = 10;
    static constexpr int kInitialMixingLength = 1024;
    // Note events kept for one block when nothing plays them (processors with audio inputs);
    // reserved up front so that queueing on the audio thread never allocates.
    static constexpr std::size_t kPendingCapacity = 1024;

    // Takes ownership of the processor and of the collection it has declared its controls into.
    Orvex(audioMasterCallback audioMaster, dsp* processor, vstUI* collection);
    ~Orvex() override;

    // Builds the collection, lets the processor declare its controls into it and constructs the
    // effect. Takes ownership of the (zero-filled, uninitialised) processor.
    static Orvex* create(audioMasterCallback audioMaster, dsp* processor);

    // The processor's metadata value for `key`, or `defaultValue`; valid for the object's life.
    const char* getMetadata(const char* key, const char* defaultValue) const;

    // Audio (orvex.cpp, instrument.cpp)
    void setSampleRate(float sampleRate) override;
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;

    // Parameters (orvex.cpp)
    void setParameter(VstInt32 index, float value) override;
    float getParameter(VstInt32 index) override;
    void getParameterLabel(VstInt32 index, char* label) override;
    void getParameterDisplay(VstInt32 index, char* text) override;
    void getParameterName(VstInt32 index, char* text) override;
    bool getParameterProperties(VstInt32 index, VstParameterProperties* p) override;

    // Programs (identity.cpp)
    void setProgram(VstInt32 program) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    bool getProgramNameIndexed(VstInt32 category, VstInt32 index, char* text) override;

    // Pins and identity (identity.cpp)
    bool getInputProperties(VstInt32 index, VstPinProperties* properties) override;
    bool getOutputProperties(VstInt32 index, VstPinProperties* properties) override;
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    VstInt32 getVendorVersion() override;
    VstInt32 canDo(char* text) override;
    // The meters (plugin/meter_request.h); any thread.
    VstIntPtr vendorSpecific(VstInt32 index, VstIntPtr value, void* ptr, float opt) override;

    // MIDI (instrument.cpp, identity.cpp)
    VstInt32 getNumMidiInputChannels() override;
    VstInt32 getNumMidiOutputChannels() override;
    VstInt32 processEvents(VstEvents* events) override;
    VstInt32 getMidiProgramName(VstInt32 channel, MidiProgramName* midiProgramName) override;
    VstInt32 getCurrentMidiProgram(VstInt32 channel, MidiProgramName* currentProgram) override;
    VstInt32 getMidiProgramCategory(VstInt32 channel, MidiProgramCategory* category) override;

    // Read-only views for diagnostics and tests.
    dsp& mainProcessor() const { return *fDSP; }
    const vstUI& mainCollection() const { return *fUI; }
    Voice& voice(int i) const { return *fVoices[static_cast<std::size_t>(i)]; }
    const std::vector<PendingNote>& pendingNotes() const { return fPending; }
    std::size_t pendingCount() const { return fPending.size() - fPendingHead; }
    const std::vector<PlayingVoice>& playingVoices() const { return fPlaying; }
    const std::vector<int>& freeVoices() const { return fFreeVoices; }
    const std::vector<int>& voicesToRelease() const { return fVoicesToRelease; }
    int mixingLength() const { return fMixingLength; }
    bool instrumentMode() const { return fInputs < 1; }

private:
    int integerRate() const;
    void queueNote(int note, int velocity, int frame);
    void allNotesOff();
    void pitchBend(float bend);
    void processInstrument(float** inputs, float** outputs, int frames);
    void noteOn(float** inputs, float** outputs, int& segmentStart);
    void noteOff(float** inputs, float** outputs, int& segmentStart);
    void render(float** inputs, float** outputs, int from, int to);
    void renderVoices(float** inputs, float** outputs, int count);
    void writeProgramName(char* text) const;
    void fillMidiProgram(MidiProgramName* p) const;

    std::unique_ptr<dsp> fDSP;
    // The main processor's meters, when it has them.
    const mydsp* fMeterSource = nullptr;
    std::unique_ptr<vstUI> fUI;
    int fNumParams;
    int fInputs;
    int fOutputs;
    Meta fMetadata;

    int fCurrentNote = 0;
    int fCurrentVelocity = 0;
    int fCurrentFrame = 0;
    std::vector<PendingNote> fPending;
    std::size_t fPendingHead = 0;  // first event not yet applied

    char fProgramName[25] = {};

    std::vector<std::unique_ptr<Voice>> fVoices;
    std::vector<PlayingVoice> fPlaying;  // oldest first
    std::vector<int> fVoicesToRelease;
    std::vector<int> fFreeVoices;  // in order of reuse
    std::vector<PlayingVoice> fFinished;

    std::vector<std::vector<float>> fMixing;  // one buffer per output
    std::vector<float*> fMixingPointers;
    std::vector<float*> fSegment;
    int fMixingLength = kInitialMixingLength;

    // Control values carried across a sample-rate change.
    std::vector<float> fSavedValues;
};

}  // namespace orvex

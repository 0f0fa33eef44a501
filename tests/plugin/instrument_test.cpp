// The instrument path, driven with a small processor that has no audio inputs: note timing
// inside a block, voice stealing, events for later blocks, the output scale and voice release.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "plugin/orvex.h"

namespace orvex {
namespace {

// A voice whose level follows gate * gain while the gate is open and halves every sample after
// it closes. Output 0 is the level, output 1 the level scaled by the frequency.
class TestSynth : public dsp {
public:
    enum { kFreq, kGain, kGate, kPrevFreq, kPitchBend, kCount };

    int inputCount() override { return 0; }
    int outputCount() override { return 2; }
    void declareControls(UI* ui) override {
        ui->openColumnGroup("synth");
        ui->addHorizontalFader("freq", &fControls[kFreq], 440, 20, 20000, 1);
        ui->addHorizontalFader("gain", &fControls[kGain], 0, 0, 1, 0.01f);
        ui->addHorizontalFader("gate", &fControls[kGate], 0, 0, 1, 1);
        ui->addHorizontalFader("prevfreq", &fControls[kPrevFreq], 440, 20, 20000, 1);
        ui->addHorizontalFader("pitchbend", &fControls[kPitchBend], 0, -1, 1, 0.01f);
        ui->closeGroup();
    }
    int storedRate() override { return fRate; }
    void init(int rate) override { setupForRate(rate); }
    void setupForRate(int rate) override {
        computeRateConstants(rate);
        resetControls();
        clearState();
    }
    void computeRateConstants(int rate) override { fRate = rate; }
    void resetControls() override {
        fControls[kFreq] = 440;
        fControls[kGain] = 0;
        fControls[kGate] = 0;
        fControls[kPrevFreq] = 440;
        fControls[kPitchBend] = 0;
    }
    void clearState() override { fLevel = 0; }
    dsp* clone() override { return new TestSynth(); }
    void declareMetadata(Meta* table) override { table->declare("name", "synth"); }
    void compute(int count, float** /*inputs*/, float** outputs) override {
        ++fComputeCalls;
        const float gate = fControls[kGate], gain = fControls[kGain], freq = fControls[kFreq];
        for (int i = 0; i < count; ++i) {
            fLevel = gate > 0.5f ? gate * gain : fLevel * 0.5f;
            outputs[0][i] = fLevel;
            outputs[1][i] = fLevel * freq / 10000.0f;
        }
    }
    int inputRateCode(int) override { return -1; }
    int outputRateCode(int c) override { return c == 0 || c == 1 ? 1 : -1; }

    float fControls[kCount] = {};
    float fLevel = 0;
    int fRate = 0;
    int fComputeCalls = 0;
};

VstIntPtr VSTCALLBACK quietHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

float frequencyOf(int note) { return 440.0f * std::pow(2.0f, static_cast<float>(note - 69) * 0.083333336f); }

struct Events {
    std::vector<VstMidiEvent> midi;
    std::vector<char> storage;

    Events& add(int status, int data1, int data2, int frame) {
        VstMidiEvent e{};
        e.type = kVstMidiType;
        e.byteSize = sizeof(VstMidiEvent);
        e.deltaFrames = frame;
        e.midiData[0] = static_cast<char>(status);
        e.midiData[1] = static_cast<char>(data1);
        e.midiData[2] = static_cast<char>(data2);
        midi.push_back(e);
        return *this;
    }
    VstEvents* build() {
        storage.assign(sizeof(VstEvents) + midi.size() * sizeof(VstEvent*), 0);
        auto* events = reinterpret_cast<VstEvents*>(storage.data());
        events->numEvents = static_cast<VstInt32>(midi.size());
        for (std::size_t i = 0; i < midi.size(); ++i) events->events[i] = reinterpret_cast<VstEvent*>(&midi[i]);
        return events;
    }
};

class Instrument : public ::testing::Test {
protected:
    Instrument() : effect(Orvex::create(quietHost, new TestSynth())) {}
    ~Instrument() override { delete effect; }

    // Renders one block into fresh buffers.
    void block(int frames) {
        left.assign(static_cast<std::size_t>(frames), -99.0f);
        right.assign(static_cast<std::size_t>(frames), -99.0f);
        float* outs[2] = {left.data(), right.data()};
        effect->processReplacing(nullptr, outs, frames);
    }
    void send(Events& events) { EXPECT_EQ(effect->processEvents(events.build()), 1); }
    TestSynth& synth(int v) { return static_cast<TestSynth&>(effect->voice(v).processor()); }

    Orvex* effect;
    std::vector<float> left, right;
};

TEST_F(Instrument, IsFlaggedAsAnInstrument) {
    AEffect* record = effect->getAeffect();
    EXPECT_EQ(record->numInputs, 0);
    EXPECT_EQ(record->numOutputs, 2);
    EXPECT_EQ(record->flags, effFlagsCanReplacing | effFlagsIsSynth);
    EXPECT_EQ(record->dispatcher(record, effGetPlugCategory, 0, 0, nullptr, 0), kPlugCategSynth);
    EXPECT_EQ(effect->freeVoices(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    for (int v = 0; v < Orvex::kVoiceCount; ++v) {
        EXPECT_EQ(effect->voice(v).gateIndex, TestSynth::kGate);
        EXPECT_EQ(synth(v).storedRate(), 44100);
    }
}

TEST_F(Instrument, ANoteStartsAtItsFrameWithinTheBlock) {
    Events events;
    send(events.add(0x90, 60, 100, 10));
    block(64);
    const float level = 100.0f * 0.007874016f;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(left[static_cast<std::size_t>(i)], 0.0f) << i;
    for (int i = 10; i < 64; ++i) {
        ASSERT_EQ(left[static_cast<std::size_t>(i)], level * 0.31622776f) << i;
        ASSERT_EQ(right[static_cast<std::size_t>(i)], level * frequencyOf(60) / 10000.0f * 0.31622776f) << i;
    }
    ASSERT_EQ(effect->playingVoices().size(), 1u);
    EXPECT_EQ(effect->playingVoices()[0].note, 60);
    EXPECT_EQ(effect->playingVoices()[0].voice, 0);
    EXPECT_EQ(synth(0).fControls[TestSynth::kFreq], frequencyOf(60));
    EXPECT_EQ(synth(0).fControls[TestSynth::kGate], 1.0f);
    EXPECT_EQ(effect->pendingCount(), 0u);
}

TEST_F(Instrument, AnEventBeyondTheBlockLandsInTheNextOne) {
    Events events;
    send(events.add(0x90, 69, 127, 100));
    block(64);
    for (float s : left) ASSERT_EQ(s, 0.0f);
    ASSERT_EQ(effect->pendingCount(), 1u);
    EXPECT_EQ(effect->pendingNotes()[0].frame, 36);
    block(64);
    for (int i = 0; i < 36; ++i) ASSERT_EQ(left[static_cast<std::size_t>(i)], 0.0f) << i;
    for (int i = 36; i < 64; ++i) ASSERT_GT(left[static_cast<std::size_t>(i)], 0.3f) << i;
    EXPECT_EQ(effect->pendingCount(), 0u);
}

TEST_F(Instrument, AnEleventhNoteTakesOverTheOldestVoice) {
    Events events;
    for (int n = 0; n < 10; ++n) events.add(0x90, 60 + n, 100, n);
    send(events);
    block(64);
    EXPECT_TRUE(effect->freeVoices().empty());

    Events more;
    send(more.add(0x90, 80, 50, 5));
    block(64);
    const auto& playing = effect->playingVoices();
    ASSERT_EQ(playing.size(), 10u);
    EXPECT_EQ(playing.back().voice, 0);
    EXPECT_EQ(playing.back().note, 80);
    EXPECT_EQ(playing.front().voice, 1);
    EXPECT_EQ(synth(0).fControls[TestSynth::kPrevFreq], frequencyOf(60));
    EXPECT_EQ(synth(0).fControls[TestSynth::kFreq], frequencyOf(80));
    EXPECT_EQ(synth(0).fControls[TestSynth::kGain], 50 * 0.007874016f);
}

TEST_F(Instrument, TheOutputIsTheVoiceSumScaledDown) {
    Events events;
    send(events.add(0x90, 60, 127, 0).add(0x90, 64, 64, 0));
    block(32);
    const float first = 127 * 0.007874016f, second = 64 * 0.007874016f;
    for (float s : left) ASSERT_EQ(s, (0.0f + first + second) * 0.31622776f);
    for (float s : right) {
        const float expected = (0.0f + first * frequencyOf(60) / 10000.0f + second * frequencyOf(64) / 10000.0f);
        ASSERT_EQ(s, expected * 0.31622776f);
    }
}

TEST_F(Instrument, AReleasedVoiceIsFreedAfterOneSilentSegment) {
    Events on;
    send(on.add(0x90, 60, 100, 0));
    block(64);

    Events off;
    send(off.add(0x80, 60, 0, 0));
    block(64);  // the gate closes; the level decays but is still audible early in the block
    EXPECT_EQ(synth(0).fControls[TestSynth::kGate], 0.0f);
    EXPECT_GT(left[0], 1e-3f);
    EXPECT_EQ(effect->voicesToRelease(), std::vector<int>{0});
    EXPECT_EQ(effect->playingVoices().size(), 1u);

    block(64);  // silent throughout: the voice returns to the end of the free list
    EXPECT_TRUE(effect->playingVoices().empty());
    EXPECT_TRUE(effect->voicesToRelease().empty());
    EXPECT_EQ(effect->freeVoices(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
    EXPECT_EQ(synth(0).fControls[TestSynth::kPrevFreq], frequencyOf(60));
    for (float s : left) ASSERT_LE(std::fabs(s), 1e-6f);

    const int calls = synth(0).fComputeCalls;
    block(64);
    EXPECT_EQ(synth(0).fComputeCalls, calls);  // a free voice is not rendered
    for (float s : left) ASSERT_EQ(s, 0.0f);
}

TEST_F(Instrument, AVoiceThatIsSilentButNotReleasedKeepsPlaying) {
    Events on;
    send(on.add(0x90, 60, 100, 0));
    block(16);
    effect->voice(0).setControl(effect->voice(0).gainIndex, 0.0f);  // silent while the gate is open
    block(16);
    block(16);
    EXPECT_EQ(effect->playingVoices().size(), 1u);
    EXPECT_EQ(effect->freeVoices().size(), 9u);
}

TEST_F(Instrument, NoteOnWithVelocityZeroReleasesLikeNoteOff) {
    Events events;
    send(events.add(0x90, 60, 100, 0).add(0x91, 60, 0, 20));
    ASSERT_EQ(effect->pendingCount(), 2u);
    EXPECT_EQ(effect->pendingNotes()[1].velocity, 0);
    block(64);
    EXPECT_EQ(effect->voicesToRelease(), std::vector<int>{0});
    EXPECT_EQ(synth(0).fControls[TestSynth::kGate], 0.0f);
    EXPECT_GT(left[19], 0.2f);
    EXPECT_LT(left[40], 1e-5f);
}

TEST_F(Instrument, AllNotesOffClosesEveryGateAndReleasesEveryPlayingVoice) {
    Events on;
    send(on.add(0x90, 60, 100, 0).add(0x90, 62, 100, 0).add(0x90, 64, 100, 0));
    block(8);
    testing::internal::CaptureStderr();
    Events off;
    send(off.add(0xB0, 123, 0, 0));
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines, "=== Orvex vsti: CONTROL CHANGE (status 0xB0)!\n=== Orvex vsti: ALL NOTES OFF!\n");
    for (int v = 0; v < Orvex::kVoiceCount; ++v) EXPECT_EQ(synth(v).fControls[TestSynth::kGate], 0.0f);
    EXPECT_EQ(effect->voicesToRelease(), (std::vector<int>{0, 1, 2}));
    send(off);  // a second all-notes-off lists nobody twice
    EXPECT_EQ(effect->voicesToRelease(), (std::vector<int>{0, 1, 2}));
    block(64);
    block(64);
    EXPECT_TRUE(effect->playingVoices().empty());
    EXPECT_EQ(effect->freeVoices().size(), 10u);
}

TEST_F(Instrument, PitchBendReachesEveryVoiceButNotTheMainProcessor) {
    auto bend = [&](int lsb, int msb) {
        Events events;
        send(events.add(0xE3, lsb, msb, 0));
        return synth(9).fControls[TestSynth::kPitchBend];
    };
    EXPECT_EQ(bend(0, 0), -1.0f);
    EXPECT_EQ(bend(127, 127), 8191.0f / 8192.0f);
    EXPECT_EQ(bend(0, 64), 0.0f);
    bend(0, 0);
    for (int v = 0; v < Orvex::kVoiceCount; ++v) EXPECT_EQ(synth(v).fControls[TestSynth::kPitchBend], -1.0f);
    EXPECT_EQ(static_cast<TestSynth&>(effect->mainProcessor()).fControls[TestSynth::kPitchBend], 0.0f);
}

TEST_F(Instrument, MixingBuffersGrowForLargerBlocks) {
    Events events;
    send(events.add(0x90, 60, 127, 300));
    block(2000);  // segments of 300 and 1700 frames
    EXPECT_EQ(effect->mixingLength(), 1700);
    EXPECT_EQ(left[299], 0.0f);
    EXPECT_EQ(left[300], 127 * 0.007874016f * 0.31622776f);
    EXPECT_EQ(left[1999], 127 * 0.007874016f * 0.31622776f);
    block(100);
    EXPECT_EQ(effect->mixingLength(), 1700);  // never shrinks
}

TEST_F(Instrument, EventsKeepTheirOrderAcrossBlocks) {
    Events events;
    send(events.add(0x90, 60, 100, 10).add(0x90, 62, 100, 70).add(0x80, 60, 0, 130));
    block(64);
    ASSERT_EQ(effect->pendingCount(), 2u);
    EXPECT_EQ(effect->pendingNotes()[0].frame, 6);
    EXPECT_EQ(effect->pendingNotes()[1].frame, 66);
    block(64);
    ASSERT_EQ(effect->pendingCount(), 1u);
    EXPECT_EQ(effect->pendingNotes()[0].frame, 2);
    EXPECT_EQ(effect->playingVoices().size(), 2u);
    block(64);
    EXPECT_EQ(effect->voicesToRelease(), std::vector<int>{0});
}

TEST_F(Instrument, ASampleRateChangeKeepsTheVoiceControls) {
    Events on;
    send(on.add(0x90, 60, 100, 0));
    block(8);
    effect->setSampleRate(48000.0f);
    EXPECT_EQ(synth(0).storedRate(), 48000);
    EXPECT_EQ(synth(0).fLevel, 0.0f);  // state cleared
    EXPECT_EQ(synth(0).fControls[TestSynth::kGate], 1.0f);
    EXPECT_EQ(synth(0).fControls[TestSynth::kFreq], frequencyOf(60));
}

}  // namespace
}  // namespace orvex

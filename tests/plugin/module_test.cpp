// The built module driven the way a host drives it: loaded with the platform's loader (dlopen,
// or LoadLibrary in the Windows build, which runs under wine), entered through VSTPluginMain
// with a recording host callback, and used only through the AEffect record.
//
// The module is the one this build made (ORVEX_MODULE_FILE), or the one the environment
// variable ORVEX_MODULE_FILE names.
#include <gtest/gtest.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dsp/flush_to_zero.h"
#include "dsp/mydsp.h"
#include "host/vst2.h"
#include "plugin/parameters.h"
#include "tests/support/module_loader.h"
#include "tests/support/recording_host.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

using test::RecordingHost;

const char* modulePath() {
    const char* given = std::getenv("ORVEX_MODULE_FILE");
    return given && *given ? given : ORVEX_MODULE_FILE;
}

test::LoadedModule& module() {
    // Kept loaded for the life of the process, so that leak reports can still name its frames.
    static test::LoadedModule* loaded = [] {
        auto* m = new test::LoadedModule(modulePath());
        m->release();
        return m;
    }();
    return *loaded;
}

PluginEntryProc entryPoint() { return module().loaded() ? module().entry() : nullptr; }

// One effect instance seen through its record; closed with effClose at the end.
class Instance {
public:
    explicit Instance(audioMasterCallback callback = RecordingHost::callback()) {
        PluginEntryProc entry = entryPoint();
        if (entry) record = entry(callback);
    }
    ~Instance() {
        if (record) {
            EXPECT_EQ(call(effClose), 1);
        }
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    VstIntPtr call(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0) {
        return record->dispatcher(record, opcode, index, value, ptr, opt);
    }
    std::string text(VstInt32 opcode, VstInt32 index = 0, std::size_t size = 128) {
        std::vector<char> buffer(size, '#');
        call(opcode, index, 0, buffer.data());
        return buffer.data();
    }
    void set(VstInt32 index, float value) { record->setParameter(record, index, value); }
    float get(VstInt32 index) { return record->getParameter(record, index); }

    // Processes `input` in blocks of `block` frames; returns both outputs one after the other.
    std::vector<float> render(const std::vector<float>& input, int block = 256) {
        std::vector<float> second(input.size(), 0.0f), left(input.size()), right(input.size());
        for (std::size_t at = 0; at < input.size(); at += static_cast<std::size_t>(block)) {
            const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(block), input.size() - at));
            float* ins[2] = {const_cast<float*>(input.data()) + at, second.data() + at};
            float* outs[2] = {left.data() + at, right.data() + at};
            record->processReplacing(record, ins, outs, n);
        }
        left.insert(left.end(), right.begin(), right.end());
        return left;
    }

    AEffect* record = nullptr;
};

bool bitIdentical(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(ModuleEntry, TheRecordCarriesTheEffectsIdentity) {
    ASSERT_NE(entryPoint(), nullptr) << module().error();
    RecordingHost host;
    Instance effect;
    ASSERT_NE(effect.record, nullptr);
    const AEffect& r = *effect.record;
    EXPECT_EQ(r.magic, 0x56737450);
    EXPECT_EQ(r.numPrograms, 1);
    EXPECT_EQ(r.numParams, 20);
    EXPECT_EQ(r.numInputs, 2);
    EXPECT_EQ(r.numOutputs, 2);
    EXPECT_EQ(r.flags, 0x10);
    EXPECT_EQ(r.uniqueID, 0x4F525645);
    EXPECT_EQ(r.version, 1);
    EXPECT_EQ(r.ioRatio, 1.0f);
    EXPECT_EQ(r.initialDelay, mydsp::kChainLatency);
    EXPECT_EQ(r.realQualities, 0);
    EXPECT_EQ(r.offQualities, 0);
    EXPECT_EQ(r.resvd1, 0);
    EXPECT_EQ(r.resvd2, 0);
    EXPECT_EQ(r.user, nullptr);
    EXPECT_NE(r.object, nullptr);
    for (char c : r.future) EXPECT_EQ(c, 0);
    EXPECT_NE(r.processReplacing, nullptr);
    EXPECT_NE(r.processDoubleReplacing, nullptr);
    // Creating the instance asks only for the host's version.
    ASSERT_EQ(host.size(), 1u);
    EXPECT_EQ(host.calls()[0].opcode, audioMasterVersion);
    EXPECT_EQ(host.calls()[0].effect, nullptr);

    EXPECT_EQ(effect.call(effGetPlugCategory), kPlugCategUnknown);
    EXPECT_EQ(effect.call(effGetVstVersion), 2400);
    EXPECT_EQ(effect.call(effIdentify), 0x4E764566);
}

TEST(ModuleEntry, TheReportedLatencyIsWhereAClickComesOut) {
    Instance effect;
    ASSERT_NE(effect.record, nullptr);
    const int delay = effect.record->initialDelay;
    EXPECT_EQ(delay, 221 + 125 + 1024 + 2048 + 2 + 132);
    effect.call(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    effect.call(effMainsChanged, 0, 1);
    // A click in a quiet noise bed: the output's largest sample is the click, which arrives at
    // the reported delay plus the filters' short group delay, never earlier.
    const std::size_t at = 20000;
    std::vector<float> in = test::noise(48000, 21, 1e-3f);
    in[at] = 0.9f;
    const std::vector<float> out = effect.render(in, 512);
    const std::vector<float> left(out.begin(), out.begin() + static_cast<long>(in.size()));
    const std::size_t arrival = test::argMaxAbs(left);
    EXPECT_GE(arrival, at + static_cast<std::size_t>(delay));
    EXPECT_LT(arrival, at + static_cast<std::size_t>(delay) + 200);
}

TEST(ModuleEntry, AHostWithoutVersionOrCallbackGetsNothing) {
    ASSERT_NE(entryPoint(), nullptr);
    RecordingHost old(0);
    EXPECT_EQ(entryPoint()(RecordingHost::callback()), nullptr);
    EXPECT_EQ(old.size(), 1u);  // the version query, and nothing after it
    EXPECT_EQ(entryPoint()(nullptr), nullptr);
}

TEST(ModuleEntry, InstancesAreIndependent) {
    RecordingHost host;
    Instance a, b;
    ASSERT_NE(a.record, nullptr);
    ASSERT_NE(b.record, nullptr);
    EXPECT_NE(a.record, b.record);
    EXPECT_NE(a.record->object, b.record->object);
    a.set(5, 0.25f);
    EXPECT_EQ(a.get(5), 0.25f);
    EXPECT_EQ(b.get(5), 8700.0f / 14000.0f);
    a.call(effSetProgramName, 0, 0, const_cast<char*>("Mine"));
    EXPECT_EQ(a.text(effGetProgramName), "Mine");
    EXPECT_EQ(b.text(effGetProgramName), "Default");
}

#if defined(__GLIBC__)
// Bytes of heap in use, as glibc's allocator counts them (arena and mapped blocks).
std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}
#endif

// A host scanning its plug-in folder, or opening a session of many instances, waits for every
// instance to be built: each one stays under 50 ms and 8 MB of heap.
TEST(ModuleEntry, AnInstanceIsQuickToBuildAndSmall) {
    ASSERT_NE(entryPoint(), nullptr) << module().error();
    RecordingHost host;
    std::vector<double> milliseconds;
    for (int i = 0; i < 5; ++i) {
#if defined(__GLIBC__)
        const std::size_t before = heapInUse();
#endif
        const auto start = std::chrono::steady_clock::now();
        AEffect* record = entryPoint()(RecordingHost::callback());
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        ASSERT_NE(record, nullptr);
        milliseconds.push_back(took.count());
#if defined(__GLIBC__)
        // Zero under the sanitizers, whose allocator glibc does not see.
        const std::size_t after = heapInUse();
        if (after != before) {
            EXPECT_GT(after, before);
            EXPECT_LT(after - before, std::size_t{8} << 20);
        }
#endif
        EXPECT_EQ(record->dispatcher(record, effClose, 0, 0, nullptr, 0), 1);
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    // Instrumented or emulated code (ORVEX_EMULATED: the CI's qemu runs) is many times slower.
    // The fastest of the five: other work on a shared machine only ever adds time, and a build
    // that is really too slow is too slow every time.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    if (!std::getenv("ORVEX_EMULATED")) {
        EXPECT_LT(milliseconds[0], 50.0);
    }
#endif
}

TEST(ModuleEntry, CloseAnswersOneAndReleasesTheInstance) {
    RecordingHost host;
    for (int i = 0; i < 3; ++i) {
        PluginEntryProc entry = entryPoint();
        AEffect* record = entry(RecordingHost::callback());
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->dispatcher(record, effOpen, 0, 0, nullptr, 0), 0);
        EXPECT_EQ(record->dispatcher(record, effClose, 0, 0, nullptr, 0), 1);
    }
}

class ModuleParameters : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(effect.record, nullptr) << "module not loaded: " << module().error(); }

    RecordingHost host;
    Instance effect;
};

TEST_F(ModuleParameters, DefaultsReadBackNormalisedAndDisplayed) {
    EXPECT_EQ(effect.get(5), 8700.0f / 14000.0f);
    EXPECT_EQ(effect.text(effGetParamDisplay, 5), "9700");
    EXPECT_EQ(effect.text(effGetParamDisplay, 9), "0.7");
    EXPECT_EQ(effect.text(effGetParamDisplay, 10), "OFF");
    EXPECT_EQ(effect.text(effGetParamDisplay, 18), "300");
    EXPECT_EQ(effect.get(18), 1.0f);
    EXPECT_EQ(effect.get(10), 0.0f);
}

TEST_F(ModuleParameters, WritesMapOntoTheControlRange) {
    effect.set(5, 0.5f);
    EXPECT_EQ(effect.get(5), 0.5f);
    EXPECT_EQ(effect.text(effGetParamDisplay, 5), "8000");
    effect.set(0, 0.3f);
    EXPECT_EQ(effect.get(0), (24.0f * 0.3f) / 24.0f);
    EXPECT_EQ(effect.text(effGetParamDisplay, 0), "7");
    effect.set(10, 0.5f);
    EXPECT_EQ(effect.get(10), 0.0f);
    effect.set(10, 0.6f);
    EXPECT_EQ(effect.get(10), 1.0f);
    EXPECT_EQ(effect.text(effGetParamDisplay, 10), "ON");
    effect.set(9, 0.0f);
    EXPECT_EQ(effect.text(effGetParamDisplay, 9), "-6.0");
    effect.set(12, 2.0f);
    EXPECT_EQ(effect.get(12), 1.0f);
    EXPECT_EQ(effect.text(effGetParamDisplay, 12), "8000");
    effect.set(12, -1.0f);
    EXPECT_EQ(effect.text(effGetParamDisplay, 12), "2000");
    effect.set(12, std::nanf(""));
    EXPECT_EQ(effect.get(12), 0.0f);
}

TEST_F(ModuleParameters, NamesLabelsAndOutOfRangeAnswers) {
    EXPECT_EQ(effect.text(effGetParamName, 0), "Band 1 Level dB");
    EXPECT_EQ(effect.text(effGetParamName, 13), "Bandwidth Expansion Limiter Threshold");
    EXPECT_EQ(effect.text(effGetParamName, 19), "DNR LPF Disable");
    EXPECT_EQ(effect.text(effGetParamName, 20), "IndexOut");
    EXPECT_EQ(effect.text(effGetParamName, -1), "IndexOut");
    EXPECT_EQ(effect.text(effGetParamDisplay, 20), "IndexOut");
    EXPECT_EQ(effect.text(effGetParamDisplay, -1), "IndexOut");

    char label[16];
    std::memset(label, '#', sizeof label);
    effect.call(effGetParamLabel, 18, 0, label);
    EXPECT_STREQ(label, "x");
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(label[i], 0) << i;  // zero-filled to the bound
    EXPECT_EQ(label[9], '#');
    EXPECT_EQ(effect.text(effGetParamLabel, 0), "");
    EXPECT_EQ(effect.text(effGetParamLabel, 20), "");
    EXPECT_EQ(effect.text(effGetParamLabel, -1), "");

    const float before = effect.get(5);
    effect.set(20, 1.0f);
    effect.set(-1, 1.0f);
    EXPECT_EQ(effect.get(5), before);
    EXPECT_EQ(effect.get(20), 0.0f);
    EXPECT_EQ(effect.get(-1), 0.0f);
    EXPECT_EQ(effect.call(effCanBeAutomated, 3), 1);
    EXPECT_EQ(effect.call(effString2Parameter, 3, 0, const_cast<char*>("5")), 0);
}

TEST_F(ModuleParameters, PropertiesGiveTheNameAndTheIntegerRange) {
    VstParameterProperties p;
    std::memset(&p, 0x5A, sizeof p);
    const VstInt32 untouchedFlags = p.flags;
    EXPECT_EQ(effect.call(effGetParameterProperties, 12, 0, &p), 1);
    EXPECT_STREQ(p.label, "Bandwidth Expansion Input HPF");
    EXPECT_EQ(p.minInteger, 2000);
    EXPECT_EQ(p.maxInteger, 8000);
    EXPECT_EQ(p.stepInteger, 1);
    EXPECT_EQ(p.flags, untouchedFlags);  // no parameter is the gate
    EXPECT_EQ(p.categoryLabel[0], 0x5A);  // nothing else written

    EXPECT_EQ(effect.call(effGetParameterProperties, 9, 0, &p), 1);
    EXPECT_EQ(p.minInteger, -6);
    EXPECT_EQ(p.maxInteger, 6);
    EXPECT_EQ(p.stepInteger, 0);

    VstParameterProperties q;
    std::memset(&q, 0x5A, sizeof q);
    EXPECT_EQ(effect.call(effGetParameterProperties, 10, 0, &q), 1);
    EXPECT_STREQ(q.label, "Disable KVLN EQ");
    EXPECT_EQ(q.minInteger, 0x5A5A5A5A);  // a check button has no range to report

    std::memset(&q, 0x5A, sizeof q);
    EXPECT_EQ(effect.call(effGetParameterProperties, 20, 0, &q), 0);
    EXPECT_EQ(effect.call(effGetParameterProperties, -1, 0, &q), 0);
    EXPECT_EQ(q.label[0], 0x5A);
}

// Parameter values the host sets for the first blocks of a session.
void applySettings(Instance& effect) {
    effect.set(5, 0.2f);   // lowpass
    effect.set(0, 0.9f);   // band 1 level
    effect.set(10, 1.0f);  // station equaliser off
    effect.set(16, 1.0f);  // final shelf
    effect.set(17, 0.8f);  // expansion level
}

TEST_F(ModuleParameters, ASampleRateChangeClearsStateButKeepsEveryValue) {
    applySettings(effect);
    std::vector<float> before(20);
    for (int i = 0; i < 20; ++i) before[static_cast<std::size_t>(i)] = effect.get(i);
    effect.render(test::noise(4096, 7, 0.5f));

    effect.call(effSetSampleRate, 0, 0, nullptr, 96000.0f);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(effect.get(i), before[static_cast<std::size_t>(i)]) << i;
    const auto input = test::musicLike(96000.0, 8192, 3);
    const auto rendered = effect.render(input);

    // A fresh instance set up at the new rate with the same values renders the same bits: the
    // filter memory was cleared and the values were applied.
    Instance fresh;
    fresh.call(effSetSampleRate, 0, 0, nullptr, 96000.0f);
    applySettings(fresh);
    EXPECT_TRUE(bitIdentical(rendered, fresh.render(input)));

    Instance defaults;
    defaults.call(effSetSampleRate, 0, 0, nullptr, 96000.0f);
    EXPECT_FALSE(bitIdentical(rendered, defaults.render(input)));
}

TEST_F(ModuleParameters, SuspendAndResumeClearNothing) {
    const auto input = test::noise(8192, 11, 0.5f);
    const std::vector<float> first(input.begin(), input.begin() + 4096), second(input.begin() + 4096, input.end());

    effect.render(first);
    host.clear();
    effect.call(effMainsChanged, 0, 0);
    effect.call(effMainsChanged, 0, 1);
    ASSERT_EQ(host.count(audioMasterWantMidi), 1u);
    EXPECT_EQ(host.last(audioMasterWantMidi)->value, 1);
    const auto afterResume = effect.render(second);

    Instance straight;
    straight.render(first);
    EXPECT_TRUE(bitIdentical(afterResume, straight.render(second)));
    Instance cold;
    EXPECT_FALSE(bitIdentical(afterResume, cold.render(second)));
}

TEST_F(ModuleParameters, OneBlockIsOneComputeWithFlushToZero) {
    applySettings(effect);
    auto reference = std::make_unique<mydsp>();
    vstUI controls;
    reference->declareControls(&controls);
    reference->init(44100);
    for (int i : {5, 0, 10, 16, 17}) controls.at(i).setValue(effect.get(i));

    const auto input = test::musicLike(44100.0, 6000, 5);
    std::vector<float> silent(input.size(), 0.0f), left(input.size()), right(input.size());
#ifdef ORVEX_HAVE_FLOAT_CONTROL
    const FloatControlWord host = floatControl();
#endif
    std::optional<FlushToZero> flush(std::in_place);
    std::size_t at = 0;
    for (int n : {1, 64, 1000, 511, 4424}) {
        float* ins[2] = {const_cast<float*>(input.data()) + at, silent.data() + at};
        float* outs[2] = {left.data() + at, right.data() + at};
        reference->compute(n, ins, outs);
        at += static_cast<std::size_t>(n);
    }
    flush.reset();
    left.insert(left.end(), right.begin(), right.end());

    // The same split through the record.
    std::vector<float> l2(input.size()), r2(input.size());
    at = 0;
    for (int n : {1, 64, 1000, 511, 4424}) {
        float* ins[2] = {const_cast<float*>(input.data()) + at, silent.data() + at};
        float* outs[2] = {l2.data() + at, r2.data() + at};
        effect.record->processReplacing(effect.record, ins, outs, n);
        at += static_cast<std::size_t>(n);
    }
    l2.insert(l2.end(), r2.begin(), r2.end());
    EXPECT_TRUE(bitIdentical(left, l2));
#ifdef ORVEX_HAVE_FLOAT_CONTROL
    EXPECT_EQ(floatControl(), host);  // the host's floating-point mode comes back
#endif
    EXPECT_GT(test::rms(l2), 1e-4);
}

class ModuleMidi : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(effect.record, nullptr) << "module not loaded: " << module().error(); }
    VstIntPtr send(std::vector<VstMidiEvent> midi) {
        std::vector<char> storage(sizeof(VstEvents) + midi.size() * sizeof(VstEvent*));
        auto* events = reinterpret_cast<VstEvents*>(storage.data());
        events->numEvents = static_cast<VstInt32>(midi.size());
        for (std::size_t i = 0; i < midi.size(); ++i) events->events[i] = reinterpret_cast<VstEvent*>(&midi[i]);
        return effect.call(effProcessEvents, 0, 0, events);
    }
    static VstMidiEvent message(int status, int data1, int data2, int frame = 0) {
        VstMidiEvent e{};
        e.type = kVstMidiType;
        e.byteSize = sizeof e;
        e.deltaFrames = frame;
        e.midiData[0] = static_cast<char>(status);
        e.midiData[1] = static_cast<char>(data1);
        e.midiData[2] = static_cast<char>(data2);
        return e;
    }
    std::string linesFor(std::vector<VstMidiEvent> midi) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(send(std::move(midi)), 1);
        return testing::internal::GetCapturedStderr();
    }

    RecordingHost host;
    Instance effect;
};

TEST_F(ModuleMidi, ControlChangesWriteTheirDiagnostics) {
    const std::string cc = "=== Orvex vsti: CONTROL CHANGE (status 0xB0)!\n";
    const std::string off = "=== Orvex vsti: ALL NOTES OFF!\n";
    EXPECT_EQ(linesFor({message(0xB0, 123, 0)}), cc + off);
    EXPECT_EQ(linesFor({message(0xBF, 126, 5)}), cc + off);
    EXPECT_EQ(linesFor({message(0xB0, 7, 100)}), cc);
    EXPECT_EQ(linesFor({message(0xB0, 120, 0)}), cc);
}

TEST_F(ModuleMidi, OtherMessagesAreSilentAndChangeNoSound) {
    VstMidiEvent other = message(0x90, 60, 100);
    other.type = kVstSysExType;
    EXPECT_EQ(linesFor({message(0x90, 60, 100, 12), message(0x80, 60, 0, 20), message(0xE0, 0, 0),
                        message(0xA0, 1, 2), message(0xC0, 3, 0), message(0xD0, 4, 0), message(0xF0, 0, 0), other}),
              "");
    // Notes have no audible effect on a processor with inputs.
    const auto input = test::noise(2048, 3, 0.5f);
    const auto played = effect.render(input);
    Instance quiet;
    EXPECT_TRUE(bitIdentical(played, quiet.render(input)));
    EXPECT_EQ(effect.call(effProcessEvents, 0, 0, nullptr), 1);
}

TEST_F(ModuleMidi, MidiChannelsAndProgramQueries) {
    EXPECT_EQ(effect.call(effGetNumMidiInputChannels), 1);
    EXPECT_EQ(effect.call(effGetNumMidiOutputChannels), 0);

    MidiProgramName p;
    std::memset(&p, 0x33, sizeof p);
    p.thisProgramIndex = 0;
    EXPECT_EQ(effect.call(effGetMidiProgramName, 3, 0, &p), 1);
    EXPECT_STREQ(p.name, "Default");
    for (int i = 7; i <= 24; ++i) EXPECT_EQ(p.name[i], 0) << i;
    EXPECT_EQ(p.name[25], 0x33);
    EXPECT_EQ(p.midiProgram, 0);
    // "No bank" is the byte 0xFF, -1 as a signed char; plain char is unsigned on ARM.
    EXPECT_EQ(static_cast<signed char>(p.midiBankMsb), -1);
    EXPECT_EQ(static_cast<signed char>(p.midiBankLsb), -1);
    EXPECT_EQ(p.reserved, 0);
    EXPECT_EQ(p.parentCategoryIndex, -1);
    EXPECT_EQ(p.flags, 0);

    std::memset(&p, 0x33, sizeof p);
    p.thisProgramIndex = 1;
    EXPECT_EQ(effect.call(effGetMidiProgramName, 0, 0, &p), 0);
    EXPECT_EQ(p.name[0], 0x33);

    std::memset(&p, 0x33, sizeof p);
    EXPECT_EQ(effect.call(effGetCurrentMidiProgram, 15, 0, &p), 0);
    EXPECT_EQ(p.thisProgramIndex, 0);
    EXPECT_STREQ(p.name, "Default");
    EXPECT_EQ(effect.call(effGetCurrentMidiProgram, 16, 0, &p), -1);
    EXPECT_EQ(effect.call(effGetCurrentMidiProgram, -1, 0, &p), -1);
    EXPECT_EQ(effect.call(effGetCurrentMidiProgram, 0, 0, nullptr), -1);

    MidiProgramCategory c;
    std::memset(&c, 0x33, sizeof c);
    EXPECT_EQ(effect.call(effGetMidiProgramCategory, 0, 0, &c), 1);
    EXPECT_STREQ(c.name, "Orvex Patch");
    for (int i = 11; i <= 24; ++i) EXPECT_EQ(c.name[i], 0) << i;
    EXPECT_EQ(c.name[25], 0x33);
    EXPECT_EQ(c.thisCategoryIndex, 0x33333333);
    EXPECT_EQ(c.parentCategoryIndex, -1);
    EXPECT_EQ(c.flags, 0);
    EXPECT_EQ(effect.call(effHasMidiProgramsChanged), 0);
    EXPECT_EQ(effect.call(effGetMidiKeyName), 0);
}

TEST(ModulePrograms, OneProgramWithABoundedName) {
    RecordingHost host;
    Instance effect;
    ASSERT_NE(effect.record, nullptr);
    EXPECT_EQ(effect.text(effGetProgramName), "Default");
    EXPECT_EQ(effect.call(effGetProgram), 0);

    testing::internal::CaptureStderr();
    effect.call(effSetProgram, 0, 1);  // at the program count: not passed on
    effect.call(effSetProgram, 0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    effect.call(effSetProgram, 0, -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "*** Orvex vsti: setting program to -1 is OUT OF RANGE\n");
    EXPECT_EQ(effect.call(effGetProgram), 0);

    effect.call(effSetProgramName, 0, 0, const_cast<char*>("abcdefghijklmnopqrstuvwxyz0123"));
    char name[40];
    std::memset(name, '#', sizeof name);
    effect.call(effGetProgramName, 0, 0, name);
    EXPECT_STREQ(name, "abcdefghijklmnopqrstuvwx");
    EXPECT_EQ(name[25], '#');

    std::memset(name, '#', sizeof name);
    EXPECT_EQ(effect.call(effGetProgramNameIndexed, 1, 0, name), 0);
    EXPECT_EQ(name[0], '#');
    EXPECT_EQ(effect.call(effGetProgramNameIndexed, 0, 7, name), 1);
    EXPECT_STREQ(name, "abcdefghijklmnopqrstuvwx");
    EXPECT_EQ(effect.call(effGetProgramNameIndexed, -3, 0, name), 1);
}

TEST(ModuleIdentity, TextsPinsAndCapabilities) {
    RecordingHost host;
    Instance effect;
    ASSERT_NE(effect.record, nullptr);
    EXPECT_EQ(effect.call(effGetEffectName, 0, 0, std::vector<char>(64).data()), 1);
    EXPECT_EQ(effect.text(effGetEffectName), "Kolmar_VELDA-KT19h40");
    EXPECT_EQ(effect.text(effGetProductString), "Kolmar_VELDA-KT19h40");
    EXPECT_EQ(effect.text(effGetVendorString), "Kolmar");
    EXPECT_EQ(effect.call(effGetVendorVersion), 0);

    for (VstInt32 opcode : {effGetInputProperties, effGetOutputProperties}) {
        const bool input = opcode == effGetInputProperties;
        for (int index : {0, 1}) {
            VstPinProperties p;
            std::memset(&p, 0x44, sizeof p);
            EXPECT_EQ(effect.call(opcode, index, 0, &p), 1);
            const std::string n = std::to_string(index);
            EXPECT_EQ(std::string(p.label), (input ? "Tervo Orvex DSP input: " : "Tervo Orvex DSP output: ") + n);
            EXPECT_EQ(std::string(p.shortLabel), (input ? "In " : "Out ") + n);
            EXPECT_EQ(p.flags, kVstPinIsActive | kVstPinIsStereo);
            EXPECT_EQ(p.arrangementType, 0x44444444);
        }
        VstPinProperties p;
        std::memset(&p, 0x44, sizeof p);
        EXPECT_EQ(effect.call(opcode, 2, 0, &p), 0);
        EXPECT_EQ(effect.call(opcode, -1, 0, &p), 0);
        EXPECT_EQ(p.flags, 0x44444444);
    }

    auto can = [&](const char* text) { return effect.call(effCanDo, 0, 0, const_cast<char*>(text)); };
    EXPECT_EQ(can("receiveVstEvents"), 1);
    EXPECT_EQ(can("receiveVstMidiEvent"), 1);
    EXPECT_EQ(can("midiProgramNames"), 1);
    EXPECT_EQ(can("receivevstmidievent"), -1);
    EXPECT_EQ(can("sendVstMidiEvent"), -1);
    EXPECT_EQ(can(""), -1);
    EXPECT_EQ(can("receiveVstEvents "), -1);
}

}  // namespace
}  // namespace orvex

namespace orvex {
namespace {

// Two tones, one 30 dB below the other: 560 Hz in band 5 and 2800 Hz in band 9.
std::vector<float> twoTones(bool lowLoud, std::size_t n, double rate) {
    const auto low = test::sine(560.0, rate, n, lowLoud ? 0.5 : 0.016);
    const auto high = test::sine(2800.0, rate, n, lowLoud ? 0.016 : 0.5);
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = low[i] + high[i];
    return x;
}

MeterSnapshot meters(Instance& effect, VstIntPtr* answer = nullptr) {
    MeterSnapshot m{};
    const VstIntPtr a = effect.call(effVendorSpecific, CCONST('O', 'r', 'v', 'x'), CCONST('M', 't', 'r', 's'), &m);
    if (answer) *answer = a;
    return m;
}

// The meters over the record: the request answers with the snapshot's size and the last block's
// values; anything else is still answered 0.
TEST(ModuleMeters, TheVendorRequestGivesTheLastBlocksMeters) {
    Instance effect;
    ASSERT_NE(effect.record, nullptr);
    effect.call(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    effect.call(effMainsChanged, 0, 1);
    VstIntPtr answer = 0;
    EXPECT_EQ(meters(effect, &answer).frames, 0u);
    EXPECT_EQ(answer, static_cast<VstIntPtr>(sizeof(MeterSnapshot)));

    MeterSnapshot untouched{};
    untouched.frames = 77;
    EXPECT_EQ(effect.call(effVendorSpecific, CCONST('O', 'r', 'v', 'y'), CCONST('M', 't', 'r', 's'), &untouched), 0);
    EXPECT_EQ(effect.call(effVendorSpecific, CCONST('O', 'r', 'v', 'x'), CCONST('M', 't', 'r', 'x'), &untouched), 0);
    EXPECT_EQ(untouched.frames, 77u);
    EXPECT_EQ(effect.call(effVendorSpecific, CCONST('O', 'r', 'v', 'x'), CCONST('M', 't', 'r', 's'), nullptr), 0);

    const std::size_t n = 48000;
    const auto out = effect.render(twoTones(false, n, 48000.0), 500);
    const MeterSnapshot m = meters(effect, &answer);
    EXPECT_EQ(answer, static_cast<VstIntPtr>(sizeof(MeterSnapshot)));
    EXPECT_EQ(m.frames, n);
    EXPECT_NEAR(m.inputPeakDb, 20.0 * std::log10(0.516), 0.1);
    // The last block of each output channel.
    float peak = 0.0f;
    for (std::size_t i = n - 500; i < n; ++i) peak = std::max({peak, std::fabs(out[i]), std::fabs(out[n + i])});
    EXPECT_FLOAT_EQ(m.outputPeakDb, 20.0f * std::log10(peak));
    EXPECT_LE(m.outputPeakDb, -1.0f + 1e-4f);
    EXPECT_LE(m.outputGainDb, 4.0f);
    EXPECT_GT(m.outputGainDb, -40.0f);

    // The band the loud tone drives is held down harder than the one the quiet tone is in, and
    // the other way round when the tones trade levels.
    EXPECT_LT(m.bandGainDb[8] + 10.0f, m.bandGainDb[4]);
    Instance other;
    other.call(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    other.call(effMainsChanged, 0, 1);
    other.render(twoTones(true, n, 48000.0), 500);
    const MeterSnapshot swapped = meters(other);
    EXPECT_LT(swapped.bandGainDb[4] + 10.0f, swapped.bandGainDb[8]);
    // A gate factor is the arctangent of at most 1: never above pi/4 (-2.1 dB).
    for (int b = 0; b < kMeterBands; ++b) EXPECT_LE(m.bandGateDb[b], -2.09f) << "band " << b + 1;
}

}  // namespace
}  // namespace orvex

// A small VST 2.x plug-in built on our own record definitions, for testing the renderer as a host
// without the real processor. Compiled several times with TEST_PLUGIN_KIND selecting a variant:
//   0  a working gain and delay effect exporting VSTPluginMain (and a log for the tests)
//   1  the same effect exporting only the legacy entry name "main"
//   2  an entry that returns null
//   3  an entry that returns a record with a wrong magic number
//   4  an effect without outputs
//   5  a library without any entry point
//   6  the working effect, crashing (abort) on its third processing call
//   7  the working effect with the faults the validator looks for: it allocates in every
//      processing call, lets getParameter return whatever was set (NaN included), writes a
//      40-character effect name, writes past the parameter-properties structure, aborts on
//      effVendorSpecific, hangs in effIdle, lets a filter state decay into subnormal numbers
//      in silence, and adds a tiny offset from a counter shared by all instances
//   8  the working effect, slower than real time for short blocks: every processing call takes
//      at least 2 ms (for interrupting a batch in its middle)
// Instances may run on several threads at once (batches), so what they share is guarded.
// The legacy variant also chatters on standard output when opened, as some plug-ins do.
//
// The effect: out0[n] = g * in0[n - D], out1[n] = s * g * in1[n - D] with g from "Gain" (dB,
// -24..24, shown with one decimal), s = -1 when "Invert Right" is on, and D = kDelay samples,
// announced in initialDelay only once the effect is resumed (as plug-ins that settle their
// latency in resume do). "Colour" is a three-way choice that does nothing. A processing call
// outside resume, or with more frames than the block size, writes NaN so the host's fault shows.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "host/vst2.h"

#ifndef TEST_PLUGIN_KIND
#define TEST_PLUGIN_KIND 0
#endif

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kDelay = 37;
constexpr int kParams = 3;

struct TestEffect {
    AEffect record{};
    audioMasterCallback host = nullptr;
    float params[kParams] = {0.5f, 0.0f, 0.0f};
    float sampleRate = 44100.0f;
    int blockSize = 0;
    bool resumed = false;
    std::vector<float> history[2];
    std::size_t pos = 0;
    int calls = 0;
    float tail = 0.0f;  // kind 7: a one-pole state on output 1
};

// Kind 7: shared by every instance, which makes two instances differ.
std::atomic<unsigned> gSharedCounter{0};

// Everything the hosts did, across instances, for the tests to read back.
std::string gLog;
std::mutex gLogMutex;

void note(const std::string& s) {
    std::lock_guard<std::mutex> lock(gLogMutex);
    if (!gLog.empty()) gLog += ' ';
    gLog += s;
}

TestEffect* self(AEffect* e) { return static_cast<TestEffect*>(e->object); }

float gainDb(const TestEffect* t) { return -24.0f + 48.0f * t->params[0]; }
const char* colour(float v) { return v < 1.0f / 3.0f ? "Clean" : (v < 2.0f / 3.0f ? "Warm" : "Hot"); }

void copy(void* ptr, const char* text) { std::strcpy(static_cast<char*>(ptr), text); }

VstIntPtr dispatcher(AEffect* e, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    TestEffect* t = self(e);
    switch (opcode) {
        case effOpen:
            note("open");
            if (TEST_PLUGIN_KIND == 1) std::printf("legacy test plug-in opened\n");
            return 0;
        case effClose:
            note("close");
            delete t;
            return 0;
        case effSetSampleRate:
            t->sampleRate = opt;
            note("rate=" + std::to_string(static_cast<int>(opt)));
            return 0;
        case effSetBlockSize:
            t->blockSize = static_cast<int>(value);
            note("block=" + std::to_string(value));
            return 0;
        case effMainsChanged:
            note("mains=" + std::to_string(value));
            t->resumed = value != 0;
            if (t->resumed) {
                for (auto& h : t->history) h.assign(kDelay, 0.0f);
                t->pos = 0;
                // The latency is known only now; tell the host.
                e->initialDelay = kDelay;
                t->host(e, audioMasterIOChanged, 0, 0, nullptr, 0.0f);
                const VstIntPtr hostRate = t->host(e, audioMasterGetSampleRate, 0, 0, nullptr, 0.0f);
                note("hostrate=" + std::to_string(hostRate));
            }
            return 0;
        case effGetParamName:
            copy(ptr, index == 0 ? "Gain" : index == 1 ? "Invert Right" : index == 2 ? "Colour" : "");
            return 0;
        case effGetParamLabel: copy(ptr, index == 0 ? "dB" : ""); return 0;
        case effGetParamDisplay: {
            char buf[32] = "";
            if (index == 0) std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(gainDb(t)));
            if (index == 1) std::snprintf(buf, sizeof buf, "%s", t->params[1] > 0.5f ? "ON" : "OFF");
            if (index == 2) std::snprintf(buf, sizeof buf, "%s", colour(t->params[2]));
            copy(ptr, buf);
            return 0;
        }
        case effGetEffectName:
            copy(ptr, TEST_PLUGIN_KIND == 7 ? "Test Gain with a name far too long" : "Test Gain");
            return 1;
        case effGetParameterProperties:
            if (TEST_PLUGIN_KIND != 7) return 0;
            std::memset(ptr, 0, sizeof(VstParameterProperties) + 16);
            return 1;
        case effVendorSpecific:
            if (TEST_PLUGIN_KIND == 7) std::abort();
            return 0;
        case effIdle:
            if (TEST_PLUGIN_KIND == 7)
                for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
            return 0;
        case effGetVstVersion: return kVstVersion;
        default: return 0;
    }
}

void setParameter(AEffect* e, VstInt32 index, float value) {
    if (index >= 0 && index < kParams) self(e)->params[index] = value;
}

float getParameter(AEffect* e, VstInt32 index) {
    if (index < 0 || index >= kParams) return 0.0f;
    const float v = self(e)->params[index];
    if (TEST_PLUGIN_KIND == 7) return v;
    // Whatever the host set, the value read back is a normalised one.
    return v >= 0.0f ? (v <= 1.0f ? v : 1.0f) : 0.0f;
}

void processReplacing(AEffect* e, float** in, float** out, VstInt32 frames) {
    TestEffect* t = self(e);
    if (TEST_PLUGIN_KIND == 6 && ++t->calls == 3) std::abort();
    if (TEST_PLUGIN_KIND == 8) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const bool fault = !t->resumed || frames > t->blockSize;
    float g = std::pow(10.0f, gainDb(t) / 20.0f);
    if (!(g < 1e3f)) g = 1.0f;  // a gain from an out-of-range parameter value
    [[maybe_unused]] std::vector<float> scratch;
    if (TEST_PLUGIN_KIND == 7) scratch.assign(static_cast<std::size_t>(frames) + 1, 0.0f);
    const float sign[2] = {1.0f, t->params[1] > 0.5f ? -1.0f : 1.0f};
    for (VstInt32 i = 0; i < frames; ++i) {
        for (int c = 0; c < 2; ++c) {
            if (fault) {
                out[c][i] = NAN;
                continue;
            }
            const float delayed = t->history[c][t->pos];
            t->history[c][t->pos] = in[c][i];
            out[c][i] = sign[c] * g * delayed;
            if (TEST_PLUGIN_KIND == 7 && c == 1) {
                t->tail = 0.5f * t->tail + 0.5f * in[c][i];
                out[c][i] = t->tail;
            }
            if (TEST_PLUGIN_KIND == 7 && c == 0) out[c][i] += (gSharedCounter.load() & 1) ? 1e-3f : 0.0f;
        }
        if (!fault) t->pos = (t->pos + 1) % kDelay;
    }
    ++gSharedCounter;
}

[[maybe_unused]] AEffect* create(audioMasterCallback host) {
    const VstIntPtr version = host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f);
    note("version=" + std::to_string(version));
    if (version == 0) return nullptr;
    if (TEST_PLUGIN_KIND == 3) {
        // A host must not touch a record with a wrong magic, so it cannot close it either; a
        // static one keeps the leak checkers quiet.
        static AEffect bogus{};
        bogus.magic = CCONST('N', 'o', 'p', 'e');
        return &bogus;
    }
    auto* t = new TestEffect;
    t->host = host;
    AEffect& r = t->record;
    r.magic = kEffectMagic;
    r.dispatcher = dispatcher;
    r.setParameter = setParameter;
    r.getParameter = getParameter;
    r.processReplacing = processReplacing;
    r.numPrograms = 1;
    r.numParams = kParams;
    r.numInputs = 2;
    r.numOutputs = TEST_PLUGIN_KIND == 4 ? 0 : 2;
    r.flags = effFlagsCanReplacing;
    r.ioRatio = 1.0f;
    r.object = t;
    r.uniqueID = CCONST('T', 'g', 'a', 'n');
    r.version = 1;
    return &r;
}

}  // namespace

#if TEST_PLUGIN_KIND == 1
// The legacy entry name; C++ does not allow a function called main with this signature, so the
// symbol is named through the assembler.
TEST_EXPORT AEffect* legacyEntry(audioMasterCallback host) __asm__("main");
TEST_EXPORT AEffect* legacyEntry(audioMasterCallback host) { return create(host); }
#elif TEST_PLUGIN_KIND == 2
TEST_EXPORT AEffect* VSTPluginMain(audioMasterCallback host) {
    host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f);
    return nullptr;
}
#elif TEST_PLUGIN_KIND == 5
TEST_EXPORT int notAnEntry() { return 0; }
#else
TEST_EXPORT AEffect* VSTPluginMain(audioMasterCallback host) { return create(host); }
#endif

#if TEST_PLUGIN_KIND == 0
// For the in-process tests: what hosts did so far, and a fresh start.
TEST_EXPORT const char* testPluginLog() { return gLog.c_str(); }
TEST_EXPORT void testPluginClearLog() { gLog.clear(); }
#endif

// The effect object in-process: construction rules that need processors other than the shipped
// one, the real-time guarantees of the effect-mode audio path (no allocation, a bounded event
// queue, the floating-point mode), and parameter writes racing a running block.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "dsp/mydsp.h"
#include "plugin/meter_request.h"
#include "plugin/orvex.h"
#include "tests/support/signals.h"

// ---- allocation counting --------------------------------------------------------------------
// Every operator new of this executable and every malloc-family call of its own objects and
// static libraries (the adapter and the processor among them, through -Wl,--wrap) is counted.

namespace {
std::atomic<long> gAllocations{0};
}

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* p, std::size_t size);
void* __wrap_malloc(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __real_malloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __real_calloc(count, size);
}
void* __wrap_realloc(void* p, std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __real_realloc(p, size);
}
}

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

// The entry point, compiled into this test from the module's own source.
extern "C" AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster);

namespace orvex {
namespace {

VstIntPtr VSTCALLBACK versionZeroHost(AEffect*, VstInt32, VstInt32, VstIntPtr, void*, float) { return 0; }

TEST(EffectEntry, NothingIsCreatedForAHostWithoutVersionOrCallback) {
    const long before = gAllocations.load();
    AEffect* old = VSTPluginMain(versionZeroHost);
    AEffect* none = VSTPluginMain(nullptr);
    const long allocations = gAllocations.load() - before;
    EXPECT_EQ(old, nullptr);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(allocations, 0);
}

VstIntPtr VSTCALLBACK host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

std::unique_ptr<Orvex> makeEffect(dsp* processor, audioMasterCallback callback = host) {
    return std::unique_ptr<Orvex>(Orvex::create(callback, processor));
}

// A processor with chosen channels, controls and metadata, for the construction rules.
class ShapedDsp : public dsp {
public:
    ShapedDsp(int inputs, int outputs, std::vector<std::string> labels, std::vector<std::pair<std::string, std::string>> meta)
        : fInputs(inputs), fOutputs(outputs), fLabels(std::move(labels)), fMeta(std::move(meta)),
          fCells(fLabels.size(), 0.0f) {}
    int inputCount() override { return fInputs; }
    int outputCount() override { return fOutputs; }
    void declareControls(UI* ui) override {
        for (std::size_t i = 0; i < fLabels.size(); ++i) {
            if (!fUnit.empty()) ui->attachMetadata(&fCells[i], "unit", fUnit.c_str());
            ui->addHorizontalFader(fLabels[i].c_str(), &fCells[i], 0, 0, 1, 1);
        }
    }
    int storedRate() override { return fRate; }
    void init(int rate) override { setupForRate(rate); }
    void setupForRate(int rate) override { fRate = rate; }
    void computeRateConstants(int rate) override { fRate = rate; }
    void resetControls() override {}
    void clearState() override {}
    dsp* clone() override {
        auto* copy = new ShapedDsp(fInputs, fOutputs, fLabels, fMeta);
        copy->fUnit = fUnit;
        return copy;
    }
    void declareMetadata(Meta* table) override {
        for (auto& [key, value] : fMeta) table->declare(key.c_str(), value.c_str());
    }
    void compute(int count, float** inputs, float** outputs) override {
        fMxcsrInCompute = _mm_getcsr();
        for (int c = 0; c < fOutputs; ++c)
            for (int i = 0; i < count; ++i) outputs[c][i] = fInputs > 0 ? inputs[0][i] : 0.0f;
    }
    int inputRateCode(int) override { return 1; }
    int outputRateCode(int) override { return 1; }

    int fInputs, fOutputs;
    std::vector<std::string> fLabels;
    std::vector<std::pair<std::string, std::string>> fMeta;
    std::vector<float> fCells;
    std::string fUnit;
    int fRate = 0;
    unsigned int fMxcsrInCompute = 0;
};

// Labels whose characters sum to `sum` (built from 'd' = 100 and its negative counterpart).
std::vector<std::string> labelsSumming(int sum) {
    const char unit = sum >= 0 ? 'd' : static_cast<char>(-100);
    return {std::string(static_cast<std::size_t>(std::abs(sum) / 100), unit)};
}

TEST(EffectIdentifier, FollowsTheIdMetadataOrTheParameterNames) {
    EXPECT_EQ(makeEffect(new ShapedDsp(2, 2, {"a"}, {}))->getAeffect()->uniqueID, 0x4F525645);
    EXPECT_EQ(makeEffect(new ShapedDsp(2, 2, {"a"}, {{"id", "Abcd"}}))->getAeffect()->uniqueID, 0x41626364);
    // Characters after the first are signed bytes.
    EXPECT_EQ(makeEffect(new ShapedDsp(2, 2, {}, {{"id", "A\xC8zz"}}))->getAeffect()->uniqueID,
              0x41000000 - 56 * 65536 + 'z' * 256 + 'z');
    // A text shorter than four characters is not read past its end.
    EXPECT_EQ(makeEffect(new ShapedDsp(2, 2, {}, {{"id", "A"}}))->getAeffect()->uniqueID, 0x41000000);

    EXPECT_EQ(makeEffect(new ShapedDsp(2, 2, labelsSumming(300), {{"id", ""}}))->getAeffect()->uniqueID, 0x4F525645 + 44);
    EXPECT_EQ(makeEffect(new ShapedDsp(2, 2, labelsSumming(-300), {{"id", ""}}))->getAeffect()->uniqueID, 0x4F525645 - 44);
    EXPECT_EQ(makeEffect(new ShapedDsp(2, 2, {}, {{"id", ""}}))->getAeffect()->uniqueID, 0x4F525645);
}

TEST(EffectConstruction, WithoutCallbackTheRecordKeepsTheBaseValues) {
    auto effect = makeEffect(new ShapedDsp(2, 2, {"a", "b"}, {}), nullptr);
    const AEffect* r = effect->getAeffect();
    EXPECT_EQ(r->numInputs, 1);
    EXPECT_EQ(r->numOutputs, 2);
    EXPECT_EQ(r->uniqueID, 0x4E6F4566);
    EXPECT_EQ(r->numParams, 2);
    for (int v = 0; v < Orvex::kVoiceCount; ++v) EXPECT_EQ(effect->voice(v).size(), 2);
}

TEST(EffectConstruction, AProcessorWithoutChannelsIsReportedOnce) {
    testing::internal::CaptureStderr();
    auto silent = makeEffect(new ShapedDsp(0, 0, {}, {}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "*** orvex: vsti: No signal inputs or outputs, and Orvex has no MIDI outputs!\n");
    EXPECT_EQ(silent->getAeffect()->flags, effFlagsCanReplacing | effFlagsIsSynth);

    testing::internal::CaptureStderr();
    auto synth = makeEffect(new ShapedDsp(0, 1, {}, {}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(synth->getAeffect()->flags, effFlagsCanReplacing | effFlagsIsSynth);
}

TEST(EffectConstruction, IdentityFallsBackToDefaultsAndParsesTheVersion) {
    auto effect = makeEffect(new ShapedDsp(1, 3, {}, {{"version", "2.7beta"}}));
    char text[80];
    EXPECT_TRUE(effect->getEffectName(text));
    EXPECT_STREQ(text, "Effect Name goes here");
    EXPECT_TRUE(effect->getProductString(text));
    EXPECT_STREQ(text, "Product String goes here");
    EXPECT_TRUE(effect->getVendorString(text));
    EXPECT_STREQ(text, "Vendor String goes here");
    EXPECT_EQ(effect->getVendorVersion(), 2);

    VstPinProperties p{};
    EXPECT_TRUE(effect->getInputProperties(0, &p));
    EXPECT_EQ(p.flags, kVstPinIsActive);  // mono input: not stereo
    EXPECT_TRUE(effect->getOutputProperties(2, &p));
    EXPECT_EQ(p.flags, kVstPinIsActive);
    EXPECT_FALSE(effect->getOutputProperties(3, &p));

    const std::string longName(50, 'n');
    auto named = makeEffect(new ShapedDsp(1, 1, {}, {{"name", longName}, {"version", "-3.9"}}));
    std::memset(text, '#', sizeof text);
    named->getEffectName(text);
    EXPECT_EQ(std::string(text), longName.substr(0, 32));
    named->getProductString(text);
    EXPECT_EQ(std::string(text), longName);
    EXPECT_EQ(named->getVendorVersion(), -3);
}

TEST(EffectParameters, NamesAndLabelsStayWithinTheirBounds) {
    auto* processor = new ShapedDsp(2, 2, {std::string(100, 'N'), "short"}, {});
    processor->fUnit = "centimetres";
    auto effect = makeEffect(processor);
    char text[128];
    std::memset(text, '#', sizeof text);
    effect->getParameterName(0, text);
    EXPECT_EQ(std::string(text), std::string(63, 'N'));
    EXPECT_EQ(text[64], '#');

    VstParameterProperties p{};
    EXPECT_TRUE(effect->getParameterProperties(0, &p));
    EXPECT_EQ(std::string(p.label), std::string(63, 'N'));

    std::memset(text, '#', sizeof text);
    effect->getParameterLabel(1, text);
    EXPECT_EQ(std::string(text), "centimet");
    EXPECT_EQ(text[9], '#');

    effect->setParameter(1, 1.0f);
    for (int v = 0; v < Orvex::kVoiceCount; ++v) EXPECT_EQ(effect->voice(v).at(1).getPlainValue(), 1.0f) << v;
    EXPECT_EQ(processor->fCells[1], 1.0f);
}

TEST(EffectAudio, TheBlockRunsWithFlushToZeroAndRestoresTheHostMode) {
    auto* probe = new ShapedDsp(1, 1, {}, {});
    auto effect = makeEffect(probe);
    std::vector<float> in(16, 1.0f), out(16, 0.0f);
    float* ins[1] = {in.data()};
    float* outs[1] = {out.data()};
    const unsigned int host = _mm_getcsr();
    _mm_setcsr(host & ~0x8040u);  // flush-to-zero and denormals-are-zero both off
    effect->processReplacing(ins, outs, 16);
    const unsigned int after = _mm_getcsr();
    _mm_setcsr(host);
    EXPECT_EQ(probe->fMxcsrInCompute & 0x8000u, 0x8000u);
    EXPECT_EQ(probe->fMxcsrInCompute & 0x0040u, 0u);  // denormals-are-zero is left alone
    EXPECT_EQ(after, host & ~0x8040u);
    EXPECT_EQ(out[15], 1.0f);
    effect->processReplacing(ins, outs, -5);  // a negative count processes nothing
}

class EffectRealtime : public ::testing::Test {
protected:
    EffectRealtime() : effect(makeEffect(new mydsp())), input(test::musicLike(44100.0, 512, 9)) {}

    VstEvents* notes(int count, int firstFrame) {
        midi.assign(static_cast<std::size_t>(count), VstMidiEvent{});
        storage.assign(sizeof(VstEvents) + static_cast<std::size_t>(count) * sizeof(VstEvent*), 0);
        auto* events = reinterpret_cast<VstEvents*>(storage.data());
        events->numEvents = count;
        for (int i = 0; i < count; ++i) {
            VstMidiEvent& e = midi[static_cast<std::size_t>(i)];
            e.type = kVstMidiType;
            e.deltaFrames = firstFrame + i;
            e.midiData[0] = static_cast<char>(i % 2 ? 0x80 : 0x90);
            e.midiData[1] = static_cast<char>(i % 128);
            e.midiData[2] = 100;
            events->events[i] = reinterpret_cast<VstEvent*>(&e);
        }
        return events;
    }
    void block() {
        float* ins[2] = {input.data(), second.data()};
        float* outs[2] = {left.data(), right.data()};
        effect->processReplacing(ins, outs, 512);
    }

    std::unique_ptr<Orvex> effect;
    std::vector<float> input, second = std::vector<float>(512), left = std::vector<float>(512),
                              right = std::vector<float>(512);
    std::vector<VstMidiEvent> midi;
    std::vector<char> storage;
};

TEST_F(EffectRealtime, NoteEventsAreQueuedInArrivalOrder) {
    std::vector<VstMidiEvent> list(2, VstMidiEvent{});
    list[0].type = list[1].type = kVstMidiType;
    list[0].midiData[0] = static_cast<char>(0x90);
    list[0].midiData[1] = 60;
    list[0].midiData[2] = 100;
    list[0].deltaFrames = 12;
    list[1].midiData[0] = static_cast<char>(0x80);
    list[1].midiData[1] = static_cast<char>(60 | 0x80);  // the top bit is not part of the note
    list[1].midiData[2] = 64;
    list[1].deltaFrames = 30;
    std::vector<char> raw(sizeof(VstEvents) + 2 * sizeof(VstEvent*));
    auto* events = reinterpret_cast<VstEvents*>(raw.data());
    events->numEvents = 2;
    events->events[0] = reinterpret_cast<VstEvent*>(&list[0]);
    events->events[1] = reinterpret_cast<VstEvent*>(&list[1]);
    EXPECT_EQ(effect->processEvents(events), 1);
    ASSERT_EQ(effect->pendingCount(), 2u);
    const auto& q = effect->pendingNotes();
    EXPECT_EQ((std::vector<int>{q[0].note, q[0].velocity, q[0].frame}), (std::vector<int>{60, 100, 12}));
    EXPECT_EQ((std::vector<int>{q[1].note, q[1].velocity, q[1].frame}), (std::vector<int>{60, 0, 30}));
    block();
    EXPECT_EQ(effect->pendingCount(), 0u);
}

TEST_F(EffectRealtime, TheAudioPathNeverAllocates) {
    VstEvents* events = notes(5000, 0);
    block();  // anything lazily set up on first use happens here
    const long before = gAllocations.load();
    events->numEvents = 64;
    for (int b = 0; b < 50; ++b) {
        effect->processEvents(events);
        effect->setParameter(b % 20, static_cast<float>(b) / 50.0f);
        block();
    }
    // A burst far beyond one block's worth of events stays inside the reserved queue.
    events->numEvents = 5000;
    effect->processEvents(events);
    const std::size_t queued = effect->pendingCount();
    block();
    const long allocations = gAllocations.load() - before;
    EXPECT_EQ(allocations, 0);
    EXPECT_LE(queued, Orvex::kPendingCapacity);
    EXPECT_GT(queued, 0u);
    EXPECT_EQ(effect->pendingCount(), 0u);
    EXPECT_GE(effect->pendingNotes().capacity(), Orvex::kPendingCapacity);
}

// Meter requests through the dispatcher from a second thread while blocks run: every answer is
// a whole snapshot of a block that ran (frames a multiple of the block), in order. An answer of
// 0 (no consistent copy: the audio thread stalled inside a publish, as on a loaded machine under
// the thread sanitizer) may happen but stays rare.
TEST_F(EffectRealtime, MeterRequestsFromAnotherThreadWhileProcessing) {
    std::atomic<bool> running{true};
    std::atomic<long> answered{0}, unanswered{0}, wrong{0};
    std::thread reader([&] {
        MeterSnapshot m{};
        std::uint64_t last = 0;
        while (running.load(std::memory_order_relaxed)) {
            if (effect->dispatcher(effVendorSpecific, kMeterRequestIndex, kMeterRequestValue, &m, 0.0f) !=
                static_cast<VstIntPtr>(sizeof m)) {
                ++unanswered;
                continue;
            }
            if (m.frames % 512 != 0 || m.frames < last) ++wrong;
            last = m.frames;
            ++answered;
        }
    });
    for (int b = 0; b < 40; ++b) block();
    running = false;
    reader.join();
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(unanswered.load() * 100, answered.load());
    MeterSnapshot m{};
    ASSERT_EQ(effect->dispatcher(effVendorSpecific, kMeterRequestIndex, kMeterRequestValue, &m, 0.0f),
              static_cast<VstIntPtr>(sizeof m));
    EXPECT_EQ(m.frames, 40u * 512u);
}

// Parameter writes from a second thread while blocks run; the ThreadSanitizer build
// (ORVEX_SANITIZE=thread) checks that every control cell is accessed atomically.
TEST_F(EffectRealtime, ParameterWritesFromAnotherThreadWhileProcessing) {
    std::atomic<bool> running{true};
    std::thread writer([&] {
        int i = 0;
        while (running.load(std::memory_order_relaxed)) {
            effect->setParameter(i % 20, static_cast<float>(i % 101) / 100.0f);
            (void)effect->getParameter((i + 7) % 20);
            ++i;
        }
    });
    for (int b = 0; b < 40; ++b) block();
    running = false;
    writer.join();
    for (float s : left) ASSERT_TRUE(std::isfinite(s));
    for (int i = 0; i < 20; ++i) {
        const float main = effect->getParameter(i);
        for (int v = 0; v < Orvex::kVoiceCount; ++v) EXPECT_EQ(effect->voice(v).at(i).getValue(), main) << i << " " << v;
    }
}

}  // namespace
}  // namespace orvex

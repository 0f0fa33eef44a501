// The effect bases as a host sees them: the record, the dispatcher's answers, the entries.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "tests/host/probe_effect.h"
#include "tests/support/recording_host.h"

namespace orvex::test {
namespace {

VstIntPtr call(AEffect* e, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
               float opt = 0.0f) {
    return e->dispatcher(e, opcode, index, value, ptr, opt);
}

TEST(EffectRecord, FreshRecordCarriesTheBaseValues) {
    RecordingHost host;
    BareEffect effect(RecordingHost::callback(), 5, 7);
    const AEffect* e = effect.getAeffect();
    EXPECT_EQ(e->magic, 0x56737450);
    EXPECT_EQ(e->numPrograms, 5);
    EXPECT_EQ(e->numParams, 7);
    EXPECT_EQ(e->numInputs, 1);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, effFlagsCanReplacing);
    EXPECT_EQ(e->resvd1, 0);
    EXPECT_EQ(e->resvd2, 0);
    EXPECT_EQ(e->initialDelay, 0);
    EXPECT_EQ(e->realQualities, 0);
    EXPECT_EQ(e->offQualities, 0);
    EXPECT_EQ(e->ioRatio, 1.0f);
    EXPECT_EQ(e->object, static_cast<AudioEffect*>(&effect));
    EXPECT_EQ(e->user, nullptr);
    EXPECT_EQ(e->uniqueID, 0x4E6F4566);
    EXPECT_EQ(e->version, 1);
    for (char c : e->future) EXPECT_EQ(c, 0);
    EXPECT_TRUE(e->dispatcher && e->process && e->setParameter && e->getParameter && e->processReplacing &&
                e->processDoubleReplacing);
    EXPECT_EQ(effect.getSampleRate(), 44100.0f);
    EXPECT_EQ(effect.getBlockSize(), 1024);
    EXPECT_EQ(host.size(), 0u); // construction asks the host nothing
}

// Every opcode on a fresh base effect: its answer, what it writes into ptr, and that the record
// and the host see nothing of it.
TEST(EffectDispatcher, EveryOpcodeAnswersItsDefault) {
    enum Writes { kNothing, kEmptyText, kNullSlot };
    struct Row {
        VstIntPtr answer = 0;
        Writes writes = kNothing;
        VstIntPtr value = 0;
    };
    const std::map<VstInt32, Row> special = {
        {effGetProgramName, {0, kEmptyText}},
        {effGetParamLabel, {0, kEmptyText}},
        {effGetParamDisplay, {0, kEmptyText}},
        {effGetParamName, {0, kEmptyText}},
        {effSetBlockSize, {0, kNothing, 256}},
        {effIdentify, {0x4E764566}},
        {effCanBeAutomated, {1}},
        {effGetVstVersion, {2400}},
        {effGetCurrentMidiProgram, {-1}},
        {effGetSpeakerArrangement, {0, kNullSlot}},
        {effSetTotalSampleToProcess, {512, kNothing, 512}},
        {effSetBlockSizeAndSampleRate, {0, kNothing, 256}},
    };
    RecordingHost host;
    for (VstInt32 opcode = -1; opcode <= 90; ++opcode) {
        if (opcode == effClose) continue; // ends the object; tested on its own
        SCOPED_TRACE("opcode " + std::to_string(opcode));
        const auto found = special.find(opcode);
        const Row row = found == special.end() ? Row{} : found->second;

        BareEffect effect(RecordingHost::callback(), 1, 4);
        AEffect* e = effect.getAeffect();
        AEffect before;
        std::memcpy(&before, e, sizeof(AEffect));
        alignas(16) char scratch[4096];
        std::memset(scratch, 'x', sizeof scratch);
        const float opt = opcode == effSetSampleRate || opcode == effSetBlockSizeAndSampleRate ? 48000.0f : 0.0f;
        host.clear();

        EXPECT_EQ(call(e, opcode, 0, row.value, scratch, opt), row.answer);

        switch (row.writes) {
        case kNothing:
            EXPECT_EQ(scratch[0], 'x');
            break;
        case kEmptyText:
            EXPECT_EQ(scratch[0], 0);
            EXPECT_EQ(scratch[1], 'x');
            break;
        case kNullSlot: {
            void* slot;
            std::memcpy(&slot, scratch, sizeof slot);
            EXPECT_EQ(slot, nullptr);
            EXPECT_EQ(scratch[sizeof slot], 'x');
            break;
        }
        }
        EXPECT_EQ(std::memcmp(&before, e, sizeof(AEffect)), 0);
        EXPECT_EQ(host.size(), 0u);
        EXPECT_EQ(effect.getSampleRate(), opcode == effSetSampleRate ? 48000.0f : 44100.0f);
        EXPECT_EQ(effect.getBlockSize(), opcode == effSetBlockSize ? 256 : 1024);
        EXPECT_EQ(effect.getProgram(), 0);
    }
}

TEST(EffectDispatcher, GetSpeakerArrangementClearsBothSlots) {
    BareEffect effect(nullptr);
    VstSpeakerArrangement dummy{};
    VstSpeakerArrangement* input = &dummy;
    VstSpeakerArrangement* output = &dummy;
    EXPECT_EQ(call(effect.getAeffect(), effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(&input), &output),
              0);
    EXPECT_EQ(input, nullptr);
    EXPECT_EQ(output, nullptr);
}

TEST(EffectDispatcher, LifecycleReachesTheOperationsAndCloseEndsTheObject) {
    RecordingHost host;
    ProbeLog log;
    AEffect* e = (new ProbeEffect(RecordingHost::callback(), log))->getAeffect();
    EXPECT_EQ(log.alive, 1);

    EXPECT_EQ(call(e, effOpen), 0);
    EXPECT_EQ(call(e, effMainsChanged, 0, 5), 0);
    EXPECT_EQ(log.lastCanDo, "receiveVstMidiEvent");
    EXPECT_EQ(host.count(audioMasterWantMidi), 0u); // canDo answered 0 and it is no synth
    EXPECT_EQ(call(e, effMainsChanged, 0, 0), 0);

    log.canDoAnswer = 1;
    call(e, effMainsChanged, 0, 1);
    ASSERT_EQ(host.count(audioMasterWantMidi), 1u);
    EXPECT_EQ(host.last(audioMasterWantMidi)->value, 1);
    EXPECT_EQ(host.last(audioMasterWantMidi)->effect, e);

    EXPECT_EQ(call(e, effClose), 1);
    EXPECT_EQ(log.alive, 0);
    const std::vector<std::string> expected = {"open", "resume", "suspend", "resume", "close", "destroyed"};
    EXPECT_EQ(log.events, expected);
}

TEST(EffectDispatcher, SynthFlagAsksForEventsAndSetsTheCategory) {
    RecordingHost host;
    BareEffect effect(RecordingHost::callback());
    AEffect* e = effect.getAeffect();
    effect.isSynth(true);
    EXPECT_EQ(call(e, effGetPlugCategory), kPlugCategSynth);
    call(e, effMainsChanged, 0, 1);
    EXPECT_EQ(host.count(audioMasterWantMidi), 1u);

    effect.isSynth(false);
    EXPECT_EQ(call(e, effGetPlugCategory), kPlugCategUnknown);
    host.clear();
    call(e, effMainsChanged, 0, 1);
    EXPECT_EQ(host.count(audioMasterWantMidi), 0u);
}

TEST(EffectDispatcher, SetProgramOnlyBelowTheProgramCount) {
    ProbeLog log;
    ProbeEffect effect(nullptr, log, 3);
    AEffect* e = effect.getAeffect();
    call(e, effSetProgram, 0, 2);
    EXPECT_EQ(call(e, effGetProgram), 2);
    call(e, effSetProgram, 0, 3);
    call(e, effSetProgram, 0, 1000);
    EXPECT_EQ(call(e, effGetProgram), 2);
    call(e, effSetProgram, 0, -1); // no lower bound
    EXPECT_EQ(call(e, effGetProgram), -1);
    if constexpr (sizeof(VstIntPtr) == 8) {
        // Below the count as a 64-bit value, but 1 once cut to 32 bits: refused.
        call(e, effSetProgram, 0, static_cast<VstIntPtr>(INT64_MIN + 1));
    }
    const std::vector<std::string> expected = {"setProgram 2", "setProgram -1"};
    EXPECT_EQ(log.events, expected);
}

TEST(EffectDispatcher, ChunkOpcodesPassPresetFlagAndSize) {
    ProbeLog log;
    ProbeEffect effect(nullptr, log);
    AEffect* e = effect.getAeffect();
    void* data = nullptr;
    EXPECT_EQ(call(e, effGetChunk, 1, 0, &data), 3);
    EXPECT_EQ(data, effect.chunk_);
    EXPECT_EQ(call(e, effGetChunk, 0, 0, &data), 4);
    EXPECT_EQ(call(e, effSetChunk, 1, 16, effect.chunk_), 17);
    EXPECT_EQ(call(e, effSetChunk, 0, 8, &data), 9);
    const std::vector<std::string> expected = {"setChunk 16 preset same", "setChunk 8 bank other"};
    EXPECT_EQ(log.events, expected);
}

TEST(EffectEntries, RecordFunctionsReachTheObject) {
    ProbeLog log;
    ProbeEffect effect(nullptr, log);
    AEffect* e = effect.getAeffect();
    e->setParameter(e, 1, 0.5f);
    EXPECT_EQ(log.events.back(), "setParameter 1 0.500000");
    EXPECT_EQ(e->getParameter(e, 2), 0.5f);

    float in[3] = {1, 2, 3}, out0[3] = {9, 9, 9}, out1[3] = {1, 1, 1};
    float* ins[2] = {in, in};
    float* outs[2] = {out0, out1};
    e->processReplacing(e, ins, outs, 3);
    EXPECT_EQ(out0[2], 6.0f);
    e->process(e, ins, outs, 3);
    EXPECT_EQ(out1[2], 4.0f);

    double din[2] = {1.5, -2}, dout[2] = {0, 0};
    double* dins[1] = {din};
    double* douts[1] = {dout};
    e->processDoubleReplacing(e, dins, douts, 2);
    EXPECT_EQ(dout[0], -1.5);
    EXPECT_EQ(dout[1], 2.0);
}

TEST(EffectEntries, BaseOperationsLeaveBuffersAlone) {
    BareEffect effect(nullptr);
    AEffect* e = effect.getAeffect();
    EXPECT_EQ(e->getParameter(e, 0), 0.0f);
    e->setParameter(e, 0, 1.0f);
    float buf[2] = {0.5f, 0.25f};
    float* bufs[2] = {buf, buf};
    e->process(e, bufs, bufs, 2);
    double dbuf[2] = {0.5, 0.25};
    double* dbufs[2] = {dbuf, dbuf};
    e->processDoubleReplacing(e, dbufs, dbufs, 2);
    EXPECT_EQ(buf[0], 0.5f);
    EXPECT_EQ(dbuf[1], 0.25);
}

TEST(EffectFlags, EachSetterTogglesOnlyItsBit) {
    BareEffect effect(nullptr);
    struct Row {
        const char* name;
        std::function<void(bool)> set;
        VstInt32 bit;
    };
    const Row rows[] = {
        {"canProcessReplacing", [&](bool s) { effect.canProcessReplacing(s); }, 0x10},
        {"canDoubleReplacing", [&](bool s) { effect.canDoubleReplacing(s); }, 0x1000},
        {"programsAreChunks", [&](bool s) { effect.programsAreChunks(s); }, 0x20},
        {"hasVu", [&](bool s) { effect.hasVu(s); }, 0x4},
        {"hasClip", [&](bool s) { effect.hasClip(s); }, 0x2},
        {"canMono", [&](bool s) { effect.canMono(s); }, 0x8},
        {"isSynth", [&](bool s) { effect.isSynth(s); }, 0x100},
        {"noTail", [&](bool s) { effect.noTail(s); }, 0x200},
        {"setIsAsync", [&](bool s) { effect.setIsAsync(s); }, 0x400},
        {"hasExternalBuffer", [&](bool s) { effect.hasExternalBuffer(s); }, 0x800},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (VstInt32 others : {0, ~0}) {
            effect.getAeffect()->flags = others & ~row.bit;
            row.set(true);
            EXPECT_EQ(effect.flags(), (others & ~row.bit) | row.bit);
            row.set(false);
            EXPECT_EQ(effect.flags(), others & ~row.bit);
        }
    }
}

struct EditorLog {
    std::vector<std::string> events;
    bool destroyed = false;
};

class TestEditor : public AEffEditor {
public:
    explicit TestEditor(EditorLog& log) : log_(log) {}
    ~TestEditor() override { log_.destroyed = true; }
    bool getRect(ERect** rect) override {
        *rect = &rect_;
        return true;
    }
    bool open(void* window) override {
        log_.events.push_back(window ? "open window" : "open null");
        return true;
    }
    void close() override { log_.events.push_back("close"); }
    void idle() override { log_.events.push_back("idle"); }
    bool onKeyDown(VstKeyCode& k) override { return key("down", k); }
    bool onKeyUp(VstKeyCode& k) override { return key("up", k); }
    bool setKnobMode(VstInt32 mode) override {
        log_.events.push_back("knob " + std::to_string(mode));
        return true;
    }
    ERect rect_{1, 2, 3, 4};

private:
    bool key(const char* what, const VstKeyCode& k) {
        log_.events.push_back(std::string(what) + " " + std::to_string(k.character) + " " + std::to_string(k.virt) +
                              " " + std::to_string(k.modifier));
        return true;
    }
    EditorLog& log_;
};

TEST(EffectEditor, AttachedEditorServesTheEditorOpcodesAndDiesWithTheEffect) {
    EditorLog log;
    {
        BareEffect effect(nullptr);
        auto* editor = new TestEditor(log);
        effect.editor = editor;
        AEffect* e = effect.getAeffect();
        ERect* rect = nullptr;
        EXPECT_EQ(call(e, effEditGetRect, 0, 0, &rect), 1);
        EXPECT_EQ(rect, &editor->rect_);
        int window = 0;
        EXPECT_EQ(call(e, effEditOpen, 0, 0, &window), 1);
        EXPECT_EQ(call(e, effEditIdle), 0);
        EXPECT_EQ(call(e, effEditKeyDown, 'a', 0x1234, nullptr, 3.7f), 1);
        EXPECT_EQ(call(e, effEditKeyUp, 'b', 7, nullptr, 258.0f), 1);
        EXPECT_EQ(call(e, effEditKeyDown, 'c', 1, nullptr, 1e30f), 1); // out of range modifier: none
        EXPECT_EQ(call(e, effSetEditKnobMode, 0, 2), 1);
        EXPECT_EQ(call(e, effEditClose), 0);
        EXPECT_FALSE(log.destroyed);
    }
    EXPECT_TRUE(log.destroyed);
    const std::vector<std::string> expected = {"open window", "idle",     "down 97 52 3", "up 98 7 2",
                                               "down 99 1 0", "knob 2", "close"};
    EXPECT_EQ(log.events, expected);
}

} // namespace
} // namespace orvex::test

// Requests the bases send to the host: what goes through the callback, what comes back, and
// what each request answers when there is no callback at all.
#include <gtest/gtest.h>

#include <functional>

#include "tests/host/probe_effect.h"
#include "tests/support/recording_host.h"

namespace orvex::test {
namespace {

int gMarker[4];
void* const kPtr = &gMarker[0];
const VstIntPtr kPtrAnswer = reinterpret_cast<VstIntPtr>(&gMarker[1]);
char gText[] = "sendVstEvents";

template <typename T>
VstIntPtr asAnswer(T* p) {
    return reinterpret_cast<VstIntPtr>(p);
}

struct Request {
    const char* name;
    std::function<VstIntPtr(BareEffect&)> run;
    VstInt32 opcode;
    VstInt32 index;
    VstIntPtr value;
    void* ptr;
    float opt;
    VstIntPtr hostAnswer; // what the recording host answers
    VstIntPtr withHost;   // what the request then returns
    VstIntPtr withoutHost;
};

std::vector<Request> requests() {
    auto* audioFile = static_cast<VstAudioFile*>(kPtr);
    auto* task = static_cast<VstOfflineTask*>(kPtr);
    auto* select = static_cast<VstFileSelect*>(kPtr);
    return {
        {"setParameterAutomated", [](BareEffect& e) { e.setParameterAutomated(3, 0.75f); return VstIntPtr{0}; },
         audioMasterAutomate, 3, 0, nullptr, 0.75f, 0, 0, 0},
        {"getMasterVersion", [](BareEffect& e) { return VstIntPtr{e.getMasterVersion()}; }, audioMasterVersion, 0, 0,
         nullptr, 0, 2300, 2300, 1},
        {"getCurrentUniqueId", [](BareEffect& e) { return VstIntPtr{e.getCurrentUniqueId()}; }, audioMasterCurrentId,
         0, 0, nullptr, 0, 0x41424344, 0x41424344, 0},
        {"masterIdle", [](BareEffect& e) { e.masterIdle(); return VstIntPtr{0}; }, audioMasterIdle, 0, 0, nullptr, 0,
         1, 0, 0},
        {"isInputConnected", [](BareEffect& e) { return VstIntPtr{e.isInputConnected(1)}; }, audioMasterPinConnected,
         1, 0, nullptr, 0, 1, 0, 1},
        {"isOutputConnected", [](BareEffect& e) { return VstIntPtr{e.isOutputConnected(0)}; },
         audioMasterPinConnected, 0, 1, nullptr, 0, 1, 0, 1},
        {"wantEvents", [](BareEffect& e) { e.wantEvents(1); return VstIntPtr{0}; }, audioMasterWantMidi, 0, 1,
         nullptr, 0, 1, 0, 0},
        {"getTimeInfo", [](BareEffect& e) { return asAnswer(e.getTimeInfo(kVstTempoValid)); }, audioMasterGetTime, 0,
         kVstTempoValid, nullptr, 0, kPtrAnswer, kPtrAnswer, 0},
        {"sendVstEventsToHost", [](BareEffect& e) { return VstIntPtr{e.sendVstEventsToHost(static_cast<VstEvents*>(kPtr))}; },
         audioMasterProcessEvents, 0, 0, kPtr, 0, 1, 1, 0},
        {"tempoAt", [](BareEffect& e) { return VstIntPtr{e.tempoAt(100)}; }, audioMasterTempoAt, 0, 100, nullptr, 0,
         1200000, 1200000, 0},
        {"getNumAutomatableParameters", [](BareEffect& e) { return VstIntPtr{e.getNumAutomatableParameters()}; },
         audioMasterGetNumAutomatableParameters, 0, 0, nullptr, 0, 5, 5, 0},
        {"getParameterQuantization", [](BareEffect& e) { return VstIntPtr{e.getParameterQuantization()}; },
         audioMasterGetParameterQuantization, 0, 0, nullptr, 0, 3, 3, 0},
        {"ioChanged", [](BareEffect& e) { return VstIntPtr{e.ioChanged()}; }, audioMasterIOChanged, 0, 0, nullptr, 0,
         7, 1, 0},
        {"needIdle", [](BareEffect& e) { return VstIntPtr{e.needIdle()}; }, audioMasterNeedIdle, 0, 0, nullptr, 0, 1,
         1, 0},
        {"sizeWindow", [](BareEffect& e) { return VstIntPtr{e.sizeWindow(640, 480)}; }, audioMasterSizeWindow, 640,
         480, nullptr, 0, 1, 1, 0},
        {"updateSampleRate", [](BareEffect& e) { return static_cast<VstIntPtr>(e.updateSampleRate()); },
         audioMasterGetSampleRate, 0, 0, nullptr, 0, 48000, 48000, 44100},
        {"updateBlockSize", [](BareEffect& e) { return VstIntPtr{e.updateBlockSize()}; }, audioMasterGetBlockSize, 0,
         0, nullptr, 0, 512, 512, 1024},
        {"getInputLatency", [](BareEffect& e) { return VstIntPtr{e.getInputLatency()}; }, audioMasterGetInputLatency,
         0, 0, nullptr, 0, 64, 64, 0},
        {"getOutputLatency", [](BareEffect& e) { return VstIntPtr{e.getOutputLatency()}; },
         audioMasterGetOutputLatency, 0, 0, nullptr, 0, 128, 128, 0},
        {"getPreviousPlug", [](BareEffect& e) { return asAnswer(e.getPreviousPlug()); }, audioMasterGetPreviousPlug, 0,
         0, nullptr, 0, kPtrAnswer, kPtrAnswer, 0},
        {"getNextPlug", [](BareEffect& e) { return asAnswer(e.getNextPlug()); }, audioMasterGetNextPlug, 0, 0, nullptr,
         0, kPtrAnswer, kPtrAnswer, 0},
        {"willProcessReplacing", [](BareEffect& e) { return VstIntPtr{e.willProcessReplacing()}; },
         audioMasterWillReplaceOrAccumulate, 0, 0, nullptr, 0, 1, 1, 0},
        {"getCurrentProcessLevel", [](BareEffect& e) { return VstIntPtr{e.getCurrentProcessLevel()}; },
         audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0, kVstProcessLevelRealtime, kVstProcessLevelRealtime, 0},
        {"getAutomationState", [](BareEffect& e) { return VstIntPtr{e.getAutomationState()}; },
         audioMasterGetAutomationState, 0, 0, nullptr, 0, kVstAutomationReadWrite, kVstAutomationReadWrite, 0},
        {"offlineStart", [=](BareEffect& e) { return VstIntPtr{e.offlineStart(audioFile, 3, 2)}; },
         audioMasterOfflineStart, 2, 3, kPtr, 0, 1, 1, 0},
        {"offlineRead", [=](BareEffect& e) { return VstIntPtr{e.offlineRead(task, kVstOfflinePeaks, false)}; },
         audioMasterOfflineRead, 0, kVstOfflinePeaks, kPtr, 0, 1, 1, 0},
        {"offlineWrite", [=](BareEffect& e) { return VstIntPtr{e.offlineWrite(task, kVstOfflineMarker)}; },
         audioMasterOfflineWrite, 0, kVstOfflineMarker, kPtr, 0, 1, 1, 0},
        {"offlineGetCurrentPass", [](BareEffect& e) { return VstIntPtr{e.offlineGetCurrentPass()}; },
         audioMasterOfflineGetCurrentPass, 0, 0, nullptr, 0, 2, 1, 0},
        {"offlineGetCurrentMetaPass", [](BareEffect& e) { return VstIntPtr{e.offlineGetCurrentMetaPass()}; },
         audioMasterOfflineGetCurrentMetaPass, 0, 0, nullptr, 0, 1, 1, 0},
        {"setOutputSamplerate", [](BareEffect& e) { e.setOutputSamplerate(96000.0f); return VstIntPtr{0}; },
         audioMasterSetOutputSampleRate, 0, 0, nullptr, 96000.0f, 1, 0, 0},
        {"getOutputSpeakerArrangement", [](BareEffect& e) { return asAnswer(e.getOutputSpeakerArrangement()); },
         audioMasterGetOutputSpeakerArrangement, 0, 0, nullptr, 0, kPtrAnswer, kPtrAnswer, 0},
        {"getHostVendorString", [](BareEffect& e) { return VstIntPtr{e.getHostVendorString(gText)}; },
         audioMasterGetVendorString, 0, 0, gText, 0, 1, 1, 0},
        {"getHostProductString", [](BareEffect& e) { return VstIntPtr{e.getHostProductString(gText)}; },
         audioMasterGetProductString, 0, 0, gText, 0, 1, 1, 0},
        {"getHostVendorVersion", [](BareEffect& e) { return VstIntPtr{e.getHostVendorVersion()}; },
         audioMasterGetVendorVersion, 0, 0, nullptr, 0, 1000, 1000, 0},
        {"hostVendorSpecific", [](BareEffect& e) { return e.hostVendorSpecific(1, 2, kPtr, 0.5f); },
         audioMasterVendorSpecific, 1, 2, kPtr, 0.5f, 9, 9, 0},
        {"canHostDo", [](BareEffect& e) { return VstIntPtr{e.canHostDo(gText)}; }, audioMasterCanDo, 0, 0, gText, 0,
         -1, 1, 0},
        {"getHostLanguage", [](BareEffect& e) { return VstIntPtr{e.getHostLanguage()}; }, audioMasterGetLanguage, 0, 0,
         nullptr, 0, kVstLangGerman, kVstLangGerman, 0},
        {"openWindow", [](BareEffect& e) { return asAnswer(e.openWindow(kPtr)); }, audioMasterOpenWindow, 0, 0, kPtr,
         0, kPtrAnswer, kPtrAnswer, 0},
        {"closeWindow", [](BareEffect& e) { return VstIntPtr{e.closeWindow(kPtr)}; }, audioMasterCloseWindow, 0, 0,
         kPtr, 0, 1, 1, 0},
        {"getDirectory", [](BareEffect& e) { return asAnswer(e.getDirectory()); }, audioMasterGetDirectory, 0, 0,
         nullptr, 0, kPtrAnswer, kPtrAnswer, 0},
        {"updateDisplay", [](BareEffect& e) { return VstIntPtr{e.updateDisplay()}; }, audioMasterUpdateDisplay, 0, 0,
         nullptr, 0, 1, 1, 0},
        {"beginEdit", [](BareEffect& e) { return VstIntPtr{e.beginEdit(4)}; }, audioMasterBeginEdit, 4, 0, nullptr, 0,
         1, 1, 0},
        {"endEdit", [](BareEffect& e) { return VstIntPtr{e.endEdit(4)}; }, audioMasterEndEdit, 4, 0, nullptr, 0, 1, 1,
         0},
        {"openFileSelector", [=](BareEffect& e) { return VstIntPtr{e.openFileSelector(select)}; },
         audioMasterOpenFileSelector, 0, 0, kPtr, 0, 1, 1, 0},
        {"closeFileSelector", [=](BareEffect& e) { return VstIntPtr{e.closeFileSelector(select)}; },
         audioMasterCloseFileSelector, 0, 0, kPtr, 0, 1, 1, 0},
        {"getChunkFile", [](BareEffect& e) { return VstIntPtr{e.getChunkFile(kPtr)}; }, audioMasterGetChunkFile, 0, 0,
         kPtr, 0, 1, 1, 0},
        {"getInputSpeakerArrangement", [](BareEffect& e) { return asAnswer(e.getInputSpeakerArrangement()); },
         audioMasterGetInputSpeakerArrangement, 0, 0, nullptr, 0, kPtrAnswer, kPtrAnswer, 0},
    };
}

TEST(HostRequests, EachSendsOneCallAndReturnsTheHostAnswer) {
    for (const auto& r : requests()) {
        SCOPED_TRACE(r.name);
        RecordingHost host;
        host.answer(r.opcode, r.hostAnswer);
        BareEffect effect(RecordingHost::callback());
        EXPECT_EQ(r.run(effect), r.withHost);
        const auto calls = host.calls();
        ASSERT_EQ(calls.size(), 1u);
        const HostCall& c = calls[0];
        EXPECT_EQ(c.effect, effect.getAeffect());
        EXPECT_EQ(c.opcode, r.opcode);
        EXPECT_EQ(c.index, r.index);
        EXPECT_EQ(c.value, r.value);
        EXPECT_EQ(c.ptr, r.ptr);
        EXPECT_EQ(c.opt, r.opt);
    }
}

TEST(HostRequests, EachAnswersItsFallbackWithoutACallback) {
    for (const auto& r : requests()) {
        SCOPED_TRACE(r.name);
        BareEffect effect(nullptr);
        EXPECT_EQ(r.run(effect), r.withoutHost);
    }
}

TEST(HostRequests, AnswersThatAreReinterpreted) {
    RecordingHost host;
    BareEffect effect(RecordingHost::callback());
    host.answer(audioMasterVersion, 0);
    EXPECT_EQ(effect.getMasterVersion(), 1); // a host predating the query is version 1
    host.answer(audioMasterPinConnected, 0);
    EXPECT_TRUE(effect.isInputConnected(0));
    EXPECT_TRUE(effect.isOutputConnected(1));
    host.answer(audioMasterProcessEvents, 2);
    EXPECT_FALSE(effect.sendVstEventsToHost(nullptr)); // only exactly 1 means taken
}

TEST(HostRequests, RateAndSizeUpdatesKeepTheStoredValueOnNonPositiveAnswers) {
    RecordingHost host;
    BareEffect effect(RecordingHost::callback());
    host.answer(audioMasterGetSampleRate, 48000);
    host.answer(audioMasterGetBlockSize, 256);
    EXPECT_EQ(effect.updateSampleRate(), 48000.0);
    EXPECT_EQ(effect.getSampleRate(), 48000.0f);
    EXPECT_EQ(effect.updateBlockSize(), 256);
    EXPECT_EQ(effect.getBlockSize(), 256);
    for (VstIntPtr answer : {VstIntPtr{0}, VstIntPtr{-96000}}) {
        host.answer(audioMasterGetSampleRate, answer);
        host.answer(audioMasterGetBlockSize, answer);
        EXPECT_EQ(effect.updateSampleRate(), 48000.0);
        EXPECT_EQ(effect.updateBlockSize(), 256);
    }
    EXPECT_EQ(effect.getSampleRate(), 48000.0f);
    EXPECT_EQ(effect.getBlockSize(), 256);

    effect.setBlockSizeAndSampleRate(64, 22050.0f);
    EXPECT_EQ(effect.getBlockSize(), 64);
    EXPECT_EQ(effect.getSampleRate(), 22050.0f);
}

TEST(HostRequests, NullFileOrChunkArgumentIsNotSent) {
    RecordingHost host;
    for (VstInt32 op : {audioMasterOpenFileSelector, audioMasterCloseFileSelector, audioMasterGetChunkFile})
        host.answer(op, 1);
    BareEffect effect(RecordingHost::callback());
    EXPECT_FALSE(effect.openFileSelector(nullptr));
    EXPECT_FALSE(effect.closeFileSelector(nullptr));
    EXPECT_FALSE(effect.getChunkFile(nullptr));
    EXPECT_EQ(host.size(), 0u);
}

TEST(HostRequests, AutomationSetsTheParameterBeforeTellingTheHost) {
    ProbeLog log;
    {
        RecordingHost host;
        host.handle(audioMasterAutomate, [&](const HostCall&) {
            log.events.push_back("host told");
            return VstIntPtr{0};
        });
        ProbeEffect effect(RecordingHost::callback(), log);
        effect.setParameterAutomated(1, 0.5f);
    }
    {
        ProbeEffect effect(nullptr, log);
        effect.setParameterAutomated(0, 1.0f);
    }
    const std::vector<std::string> expected = {"setParameter 1 0.500000", "host told", "destroyed",
                                               "setParameter 0 1.000000", "destroyed"};
    EXPECT_EQ(log.events, expected);
}

} // namespace
} // namespace orvex::test

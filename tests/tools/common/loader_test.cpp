// Loading plug-in libraries and driving an instance, with the test plug-ins built beside these
// tests: the order of the host's opcodes, the callback's answers, and every way a library can
// fail to give us an effect.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <fstream>
#include <string>

#include "tests/tools/tool_test_support.h"
#include "tools/common/vst_loader.h"

using namespace orvex::tools;

namespace {

std::string errorLoading(const std::string& path) {
    try {
        PluginLibrary lib(path);
        PluginInstance instance(lib, 48000.0, 256);
    } catch (const PluginError& e) {
        return e.what();
    }
    return "(no error)";
}

// The log the good test plug-in keeps of what hosts did to it.
struct PluginLog {
    void* handle = dlopen(TEST_PLUGIN_GOOD, RTLD_NOW | RTLD_LOCAL);
    ~PluginLog() {
        if (handle) dlclose(handle);
    }
    std::string read() const {
        auto fn = reinterpret_cast<const char* (*)()>(dlsym(handle, "testPluginLog"));
        return fn ? fn() : "(no log)";
    }
    void clear() const {
        if (auto fn = reinterpret_cast<void (*)()>(dlsym(handle, "testPluginClearLog"))) fn();
    }
};

TEST(PluginLoader, DrivesTheInstanceInHostOrder) {
    PluginLog log;
    ASSERT_NE(log.handle, nullptr);
    log.clear();
    {
        PluginLibrary lib(TEST_PLUGIN_GOOD);
        EXPECT_EQ(lib.entryName(), "VSTPluginMain");
        PluginInstance instance(lib, 48000.0, 256);
        EXPECT_EQ(instance.effectName(), "Test Gain");
        EXPECT_EQ(instance.initialDelay(), 0);
        instance.resume();
        EXPECT_EQ(instance.initialDelay(), 37);  // settled in resume, announced by IOChanged
        EXPECT_TRUE(instance.host().ioChanged);
        float in0[256] = {1.0f}, in1[256] = {}, out0[256], out1[256];
        float* in[] = {in0, in1};
        float* out[] = {out0, out1};
        instance.process(in, out, 256);
        EXPECT_EQ(out0[37], 1.0f);  // unit gain at the 0.5 default, 37 samples late
        EXPECT_EQ(out0[0], 0.0f);
        EXPECT_EQ(instance.host().samplePos, 256.0);
    }
    EXPECT_EQ(log.read(), "version=2400 open rate=48000 block=256 mains=1 hostrate=48000 mains=0 close");
}

TEST(PluginLoader, APlugInWithoutMetersAnswersNoMeters) {
    PluginLibrary lib(TEST_PLUGIN_GOOD);
    PluginInstance instance(lib, 48000.0, 256);
    orvex::MeterSnapshot m{};
    m.frames = 5;
    EXPECT_FALSE(instance.readMeters(m));
    EXPECT_EQ(m.frames, 5u);  // untouched
}

TEST(PluginLoader, HostCallbackAnswers) {
    HostState state;
    state.rate = 96000.0;
    state.blockSize = 128;
    state.samplePos = 96000.0;  // one second in
    AEffect record{};
    record.resvd1 = reinterpret_cast<VstIntPtr>(&state);
    EXPECT_EQ(hostCallback(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f), 2400);
    EXPECT_EQ(hostCallback(&record, audioMasterGetSampleRate, 0, 0, nullptr, 0.0f), 96000);
    EXPECT_EQ(hostCallback(&record, audioMasterGetBlockSize, 0, 0, nullptr, 0.0f), 128);
    auto* time = reinterpret_cast<VstTimeInfo*>(hostCallback(&record, audioMasterGetTime, 0, 0, nullptr, 0.0f));
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(time->samplePos, 96000.0);
    EXPECT_EQ(time->sampleRate, 96000.0);
    EXPECT_EQ(time->ppqPos, 2.0);  // 120 beats per minute
    EXPECT_TRUE(time->flags & kVstTempoValid);
    char vendor[kVstMaxVendorStrLen + 1] = {};
    EXPECT_EQ(hostCallback(&record, audioMasterGetVendorString, 0, 0, vendor, 0.0f), 1);
    EXPECT_STREQ(vendor, "Orvex");
    char canDo[] = "sendVstTimeInfo";
    EXPECT_EQ(hostCallback(&record, audioMasterCanDo, 0, 0, canDo, 0.0f), 1);
    char cannot[] = "openFileSelector";
    EXPECT_EQ(hostCallback(&record, audioMasterCanDo, 0, 0, cannot, 0.0f), 0);
    EXPECT_EQ(hostCallback(&record, audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0.0f), kVstProcessLevelUser);
    EXPECT_EQ(hostCallback(&record, 9999, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(state.requests.size(), 8u);  // the version query came without a record
}

TEST(PluginLoader, LegacyEntryNameAndParameters) {
    PluginLibrary lib(TEST_PLUGIN_LEGACY);
    EXPECT_EQ(lib.entryName(), "main");
    PluginInstance instance(lib, 44100.0, 64);
    ASSERT_EQ(instance.parameterCount(), 3);
    EXPECT_EQ(instance.parameterName(0), "Gain");
    EXPECT_EQ(instance.parameterLabel(0), "dB");
    instance.setParameter(0, 0.75f);
    EXPECT_EQ(instance.getParameter(0), 0.75f);
    EXPECT_EQ(instance.parameterDisplay(0), "12.0");
}

TEST(PluginLoader, EveryBrokenLibraryIsNamed) {
    orvex::test::TempDir dir;
    EXPECT_NE(errorLoading(dir.file("absent.so")).find("No such file"), std::string::npos);
    std::ofstream(dir.file("text.so")) << "not a library\n";
    EXPECT_NE(errorLoading(dir.file("text.so")).find("cannot load plug-in"), std::string::npos);
    EXPECT_NE(errorLoading(TEST_PLUGIN_NOENTRY).find("exports neither VSTPluginMain nor main"), std::string::npos);
    EXPECT_NE(errorLoading(TEST_PLUGIN_NULL).find("returned null"), std::string::npos);
    EXPECT_NE(errorLoading(TEST_PLUGIN_BADMAGIC).find("wrong magic"), std::string::npos);
    EXPECT_NE(errorLoading(TEST_PLUGIN_NOOUTPUTS).find("has no audio outputs"), std::string::npos);
}

}  // namespace

#pragma once
// Loading a VST 2.x plug-in library and driving one instance through its AEffect record, the
// way a host does: entry point, effOpen, sample rate and block size, effMainsChanged around the
// processing, effClose. The host callback answers the requests a plug-in may send.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "dsp/meter_readout.h"
#include "host/vst2.h"
#include "tools/common/params.h"

namespace orvex::tools {

// A library that does not load, lacks an entry point, or yields no usable effect.
class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The loaded library, kept loaded for the object's life (dlopen, or LoadLibrary on Windows).
class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    PluginEntryProc entry() const { return entry_; }
    // "VSTPluginMain", or "main" for libraries that export only the legacy name.
    const std::string& entryName() const { return entryName_; }
    const std::string& path() const { return path_; }
    const std::string& directory() const { return directory_; }

private:
    void unload();

    std::string path_;
    std::string directory_;
    void* handle_ = nullptr;
    PluginEntryProc entry_ = nullptr;
    std::string entryName_;
};

// What the host tells the plug-in about itself, and what it noticed of the plug-in's requests.
struct HostState {
    double rate = 44100.0;
    int blockSize = 512;
    double samplePos = 0.0;  // frames processed so far
    bool processing = false;
    std::string pluginDirectory;
    VstTimeInfo time{};
    static constexpr std::size_t kRequestLog = 1024;
    std::vector<VstInt32> requests;  // the first kRequestLog opcodes the plug-in sent, in order
    bool ioChanged = false;
    // A live host (orvex-live): the plug-in is told that its processing thread runs in real time,
    // and its requests are no longer logged (the log would allocate on that thread, and other
    // threads call the plug-in meanwhile). Set once, before the first block.
    bool realtime = false;
    std::string product = "orvex-render";  // what audioMasterGetProductString answers
};

// The host callback handed to every instance.
VstIntPtr VSTCALLBACK hostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                   void* ptr, float opt);

class PluginInstance {
public:
    // Creates the instance, checks the record and sends effOpen, the sample rate and the block
    // size. Throws PluginError for a null record, a wrong magic or a plug-in without outputs.
    PluginInstance(const PluginLibrary& library, double rate, int blockSize);
    // Suspends when still resumed, then effClose.
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    AEffect* effect() const { return effect_; }
    const HostState& host() const { return host_; }
    HostState& host() { return host_; }
    int inputs() const { return effect_->numInputs; }
    int outputs() const { return effect_->numOutputs; }
    int parameterCount() const { return effect_->numParams; }
    // The latency the record reports now; read it after resume, when plug-ins settle it.
    int initialDelay() const { return effect_->initialDelay; }

    std::string effectName();
    std::string vendor();
    std::string product();

    // While suspended only: effSetSampleRate / effSetBlockSize, and what the host then answers.
    void setSampleRate(double rate);
    void setBlockSize(int frames);

    // effMainsChanged 1 / 0.
    void resume();
    void suspend();
    bool resumed() const { return resumed_; }

    // One block: `inputs()` input and `outputs()` output buffers of `frames` samples each.
    void process(float** in, float** out, int frames);

    float getParameter(int index);
    void setParameter(int index, float value);
    std::string parameterName(int index);
    std::string parameterLabel(int index);
    std::string parameterDisplay(int index);

    // The plug-in's meters of its last block (plugin/meter_request.h): true when it answered
    // the request with a whole snapshot, false for a plug-in that does not have them. Any
    // thread; the plug-in answers without waiting for its processing.
    bool readMeters(orvex::MeterSnapshot& out);

    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f);

private:
    std::string text(VstInt32 opcode, VstInt32 index, std::size_t size);

    HostState host_;
    AEffect* effect_ = nullptr;
    bool resumed_ = false;
};

// The parameter mapping's view of an instance.
class InstanceParameters : public ParameterAccess {
public:
    explicit InstanceParameters(PluginInstance& instance) : instance_(instance) {}
    int count() override { return instance_.parameterCount(); }
    std::string name(int index) override { return instance_.parameterName(index); }
    std::string label(int index) override { return instance_.parameterLabel(index); }
    std::string display(int index) override { return instance_.parameterDisplay(index); }
    float get(int index) override { return instance_.getParameter(index); }
    void set(int index, float normalised) override { instance_.setParameter(index, normalised); }

private:
    PluginInstance& instance_;
};

}  // namespace orvex::tools

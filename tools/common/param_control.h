#pragma once
// Parameters of a playing instance, by name or index and in their own units, for a program that
// changes them while audio runs (orvex-live: --set at start, OSC later). A request is resolved
// on a probe instance of its own, since resolving moves the probed parameter; only the
// resulting normalised value is written to the playing instance, through setParameter.
//
// Threads: one thread at a time calls in (the caller serialises); the playing instance is only
// written through setParameter and read through getParameter and its display text, which VST
// 2.x plug-ins accept from any thread while another one processes.
#include <memory>
#include <string>
#include <vector>

#include "tools/common/params.h"
#include "tools/common/vst_loader.h"

namespace orvex::tools {

// A parameter's state as a remote user sees it.
struct ParameterReading {
    int index = 0;
    std::string name;
    std::string label;    // unit
    float normalised = 0.0f;
    std::string display;  // the plug-in's text for the current value
};

class ParameterControl {
public:
    // Builds the probe at `rate` and reads every parameter from it.
    ParameterControl(const PluginLibrary& library, PluginInstance& target, double rate, int blockSize);
    ~ParameterControl();
    ParameterControl(const ParameterControl&) = delete;
    ParameterControl& operator=(const ParameterControl&) = delete;

    // A new probe for a new rate: ranges may follow the rate (a corner frequency below half of it).
    void setRate(double rate);

    const std::vector<ParameterInfo>& parameters() const { return params_; }

    // "NAME=VALUE" or "INDEX=VALUE", VALUE in the parameter's own units (--set). Throws
    // ParameterError and leaves the playing instance untouched when the request cannot be met.
    ParameterReading set(const std::string& request);
    // KEY is a name or an index; VALUE in the parameter's own units.
    ParameterReading set(const std::string& key, const std::string& value);
    // "INDEX=X", X normalised (--set-normalised).
    ParameterReading setNormalised(const std::string& request);

    ParameterReading read(const std::string& key);
    ParameterReading read(int index);

private:
    ParameterReading apply(const Assignment& a);

    const PluginLibrary& library_;
    PluginInstance& target_;
    int blockSize_;
    std::unique_ptr<PluginInstance> probe_;
    std::unique_ptr<InstanceParameters> probeAccess_;
    std::vector<ParameterInfo> params_;
};

}  // namespace orvex::tools

#pragma once
// What the LV2 plug-in offers a host, in one place for the adapter and the program that writes
// its description: the URI, the port numbering, the control list as the processor declares it,
// and the port symbols derived from the control labels.
//
// Port numbers: the 20 controls first, at their VST parameter index, so every host lists them in
// the same order as the VST plug-in; then the audio ports and the latency report, and after
// each plug-in's last audio port its meters. Numbers already given never move, since hosts keep
// them.
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/controls.h"
#include "dsp/dsp.h"
#include "dsp/meter_readout.h"

namespace orvex::lv2 {

// Stable from now on: hosts keep them in their sessions and presets, users type them.
inline constexpr const char* kPluginUri = "urn:orvex:processor";
// The same processor behind two inputs mixed to mono, for hosts that give a plug-in as many
// inputs as outputs (GStreamer makes elements of no other kind) and for stereo programmes.
inline constexpr const char* kStereoInPluginUri = "urn:orvex:processor-stereo-in";

enum Port : std::uint32_t {
    kFirstControl = 0,
    kAudioIn = ctl::kCount,  // the left input of the stereo-input plug-in
    kAudioOutA,
    kAudioOutB,
    kLatency,
    kPortCount,
};
// The stereo-input plug-in has every port above at the same number and its right input after
// them. The meters follow each plug-in's last port (meterPort).
inline constexpr std::uint32_t kAudioInRight = kPortCount;
inline constexpr std::uint32_t kStereoInPortCount = kPortCount + 1;

enum class Input { Mono, Stereo };

// The meters, control outputs written at every run with the values of the run's last sample:
// the level control's gain of each band, the output stage's gain, the output peak of the run.
enum Meter : std::uint32_t {
    kMeterBandGain = 0,  // bands 1..12
    kMeterOutputGain = kMeterBands,
    kMeterOutputPeak,
    kMeterCount,
};
// The port number of a meter: after the plug-in's last audio port.
constexpr std::uint32_t meterPort(Input input, std::uint32_t meter) {
    return (input == Input::Stereo ? kStereoInPortCount : kPortCount) + meter;
}
constexpr std::uint32_t portCount(Input input) { return meterPort(input, kMeterCount); }

// The ranges the description declares and the adapter holds the values to (dB, dBFS): a band
// is lifted by up to some 40 dB in quiet passages and a closed gate takes it far down; the
// output stage lifts by at most the distance from its threshold to the ceiling and holds
// peaks down by as much as the programme is too hot.
struct MeterRange {
    float min, max;
};
inline constexpr MeterRange kBandGainRange = {-60.0f, 60.0f};
inline constexpr MeterRange kOutputGainRange = {-60.0f, 20.0f};
inline constexpr MeterRange kOutputPeakRange = {-90.0f, 0.0f};

// Units a control can carry in the description.
enum class Unit { None, Db, Hz, Declared };

// One control as the processor declares it through UI, with what LV2 needs on top.
struct ControlPort {
    std::string label;  // the VST parameter name, exactly
    std::string symbol;
    bool toggle = false;
    float init = 0.0f, min = 0.0f, max = 1.0f, step = 0.0f;
    Unit unit = Unit::None;
    std::string declaredUnit;  // the control's own "unit" metadata (Unit::Declared)
    float* zone = nullptr;
};

// A UI that records the controls a processor declares, in declaration order (= port number).
// Allocates: use it at set-up time only.
class ControlCollector : public UI {
public:
    void openTabGroup(const char*) override {}
    void openRowGroup(const char*) override {}
    void openColumnGroup(const char*) override {}
    void closeGroup() override {}

    void addButton(const char* label, float* zone) override { addSwitch(label, zone); }
    void addCheckButton(const char* label, float* zone) override { addSwitch(label, zone); }
    void addVerticalFader(const char* label, float* zone, float init, float min, float max, float step) override {
        addSlider(label, zone, init, min, max, step);
    }
    void addHorizontalFader(const char* label, float* zone, float init, float min, float max, float step) override {
        addSlider(label, zone, init, min, max, step);
    }
    void addNumberBox(const char* label, float* zone, float init, float min, float max, float step) override {
        addSlider(label, zone, init, min, max, step);
    }
    // Meters become control outputs in a later version of the description; none are declared yet.
    void addHorizontalMeter(const char*, float*, float, float) override {}
    void addVerticalMeter(const char*, float*, float, float) override {}
    void addSoundSlot(const char*, const char*, void**) override {}
    void attachMetadata(float* zone, const char* key, const char* value) override;

    const std::vector<ControlPort>& controls() const { return fControls; }

private:
    void addSwitch(const char* label, float* zone);
    void addSlider(const char* label, float* zone, float init, float min, float max, float step);
    ControlPort& add(const char* label, float* zone);

    struct PendingMetadata {
        float* zone;
        std::string key, value;
    };
    std::vector<PendingMetadata> fMetadata;
    std::vector<ControlPort> fControls;
};

// A stable lower-case LV2 symbol for a control label: "->" reads "to", every other run of
// characters outside [a-z0-9] becomes one underscore, none at either end, and a leading digit
// gets an underscore in front ("Band 2 -> 1 Gain Linking dB" -> "band_2_to_1_gain_linking_db").
std::string symbolFor(const std::string& label);

// True for a valid LV2 symbol: [A-Za-z_][A-Za-z0-9_]*.
bool isValidSymbol(const std::string& symbol);

// The unit of a control in the description. The control table carries only the labels and
// ranges, so the decibel and hertz controls are named here, one case per control: adding a
// control to ctl::Index without a case here is a compiler warning.
Unit unitOf(ctl::Index index);

}  // namespace orvex::lv2

#pragma once
// The processor's 20 controls: their indices (the host parameter index), labels, defaults,
// ranges, steps and the key/value metadata attached to each, in declaration order.
namespace orvex {

namespace ctl {
// Position of each control in the declaration order; also its host parameter index.
enum Index : int {
    kBand1LevelDb = 0,
    kBand1GateTrimDb = 1,
    kBand2To1LinkDb = 2,
    kBands11To12LinkDb = 3,
    kBands5678LinkDb = 4,
    kLowpassFilter = 5,
    kMasterGateGain = 6,
    kBand1Threshold = 7,
    kMasterThreshold = 8,
    kGateScalePerBand = 9,
    kDisableKvlnEq = 10,
    kOutputAgcThreshold = 11,
    kExpansionInputHpf = 12,
    kExpansionLimiterThreshold = 13,
    kExpansionHfDetectFreq = 14,
    kExpansionHfDetectGain = 15,
    kFinalHfShelf = 16,
    kExpansionLevel = 17,
    kDnrSensitivity = 18,
    kDnrDisable = 19,
    kCount = 20,
};
}  // namespace ctl

struct ControlMetadata {
    const char* key;
    const char* value;
};

struct ControlDef {
    const char* label;
    bool checkButton;  // check buttons have no range; their cell holds 0 or 1
    float init, min, max, step;
    int metadataCount;
    ControlMetadata metadata[2];
};

inline constexpr const char* kProcessorName = "Kolmar_VELDA-KT19h40";

inline constexpr ControlDef kControlTable[ctl::kCount] = {
    {"Band 1 Level dB", false, 8.0f, 0.0f, 24.0f, 1.0f, 0, {}},
    {"Band 1 Noisegate Gain Trim dB", false, -15.0f, -90.0f, 50.0f, 1.0f, 0, {}},
    {"Band 2 -> 1 Gain Linking dB", false, -6.0f, -24.0f, 0.0f, 1.0f, 0, {}},
    {"Bands 11 -> 12 Gain Linking dB", false, -10.0f, -24.0f, 0.0f, 1.0f, 0, {}},
    {"Bands 5678 Gain Linking dB", false, -3.0f, -24.0f, 0.0f, 1.0f, 0, {}},
    {"Lowpass Filter", false, 9700.0f, 1000.0f, 15000.0f, 100.0f, 0, {}},
    {"Master Noisegate Gain", false, 40.0f, 0.0f, 90.0f, 1.0f, 0, {}},
    {"Multiband EQ Band 1 Threshold", false, -20.0f, -70.0f, 0.0f, 1.0f, 0, {}},
    {"Multiband EQ Master Threshold", false, -35.0f, -70.0f, 0.0f, 1.0f, 0, {}},
    {"Noisegate Gain Scale dB Per Band", false, 0.7f, -6.0f, 6.0f, 0.1f, 0, {}},
    {"Disable KVLN EQ", true, 0.0f, 0.0f, 0.0f, 0.0f, 1, {{"controls", "00"}}},
    {"Output AGC Threshold", false, -4.0f, -12.0f, 3.0f, 1.0f, 1, {{"controls", "90"}}},
    {"Bandwidth Expansion Input HPF", false, 4900.0f, 2000.0f, 8000.0f, 1.0f, 1, {{"controls", "94"}}},
    {"Bandwidth Expansion Limiter Threshold", false, -60.0f, -96.0f, 20.0f, 1.0f, 1, {{"controls", "95"}}},
    {"Bandwidth Expansion HF Detection Freq", false, 8000.0f, 5000.0f, 10000.0f, 100.0f, 1, {{"controls", "97"}}},
    {"Bandwidth Expansion HF Detection Gain", false, 28.0f, 0.0f, 50.0f, 1.0f, 1, {{"controls", "98"}}},
    {"Final 2k HF Shelf", false, -6.0f, -12.0f, 0.0f, 1.0f, 1, {{"controls", "999"}}},
    {"Bandwidth Expansion Level", false, -33.0f, -96.0f, 24.0f, 1.0f, 1, {{"controls", "99"}}},
    {"DNR Sensitivity", false, 300.0f, 10.0f, 300.0f, 1.0f, 2, {{"da", ""}, {"unit", "x"}}},
    {"DNR LPF Disable", true, 0.0f, 0.0f, 0.0f, 0.0f, 1, {{"sa", ""}}},
};

}  // namespace orvex

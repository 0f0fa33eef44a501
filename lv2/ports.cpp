#include "lv2/ports.h"

#include <algorithm>

namespace orvex::lv2 {

void ControlCollector::attachMetadata(float* zone, const char* key, const char* value) {
    fMetadata.push_back({zone, key ? key : "", value ? value : ""});
}

ControlPort& ControlCollector::add(const char* label, float* zone) {
    ControlPort& c = fControls.emplace_back();
    c.label = label ? label : "";
    c.symbol = symbolFor(c.label);
    c.zone = zone;
    const int position = static_cast<int>(fControls.size()) - 1;
    c.unit = position < ctl::kCount ? unitOf(static_cast<ctl::Index>(position)) : Unit::None;
    // Metadata arrive before the control they describe; a later "unit" replaces an earlier one.
    for (const auto& m : fMetadata) {
        if (m.zone != zone || m.key != "unit") continue;
        c.unit = Unit::Declared;
        c.declaredUnit = m.value;
    }
    return c;
}

void ControlCollector::addSwitch(const char* label, float* zone) {
    ControlPort& c = add(label, zone);
    // A switch's cell holds 0 or 1 and starts off.
    c.toggle = true;
    c.init = 0.0f;
    c.min = 0.0f;
    c.max = 1.0f;
    c.step = 1.0f;
}

void ControlCollector::addSlider(const char* label, float* zone, float init, float min, float max, float step) {
    ControlPort& c = add(label, zone);
    c.init = init;
    c.min = std::min(min, max);
    c.max = std::max(min, max);
    c.step = step;
}

std::string symbolFor(const std::string& label) {
    std::string spaced;
    for (std::size_t i = 0; i < label.size(); ++i) {
        if (label.compare(i, 2, "->") == 0) {
            spaced += " to ";
            ++i;
        } else {
            spaced += label[i];
        }
    }
    std::string symbol;
    bool gap = false;
    for (char ch : spaced) {
        const char c = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            if (gap && !symbol.empty()) symbol += '_';
            symbol += c;
            gap = false;
        } else {
            gap = true;
        }
    }
    if (symbol.empty()) return "_";
    if (symbol[0] >= '0' && symbol[0] <= '9') symbol.insert(0, 1, '_');
    return symbol;
}

bool isValidSymbol(const std::string& symbol) {
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (symbol.empty() || !letter(symbol[0])) return false;
    return std::all_of(symbol.begin(), symbol.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

Unit unitOf(ctl::Index index) {
    switch (index) {
        case ctl::kBand1LevelDb:
        case ctl::kBand1GateTrimDb:
        case ctl::kBand2To1LinkDb:
        case ctl::kBands11To12LinkDb:
        case ctl::kBands5678LinkDb:
        case ctl::kMasterGateGain:
        case ctl::kBand1Threshold:
        case ctl::kMasterThreshold:
        case ctl::kGateScalePerBand:
        case ctl::kOutputAgcThreshold:
        case ctl::kExpansionLimiterThreshold:
        case ctl::kExpansionHfDetectGain:
        case ctl::kFinalHfShelf:
        case ctl::kExpansionLevel:
            return Unit::Db;
        case ctl::kLowpassFilter:
        case ctl::kExpansionInputHpf:
        case ctl::kExpansionHfDetectFreq:
            return Unit::Hz;
        case ctl::kDisableKvlnEq:
        case ctl::kDnrSensitivity:  // a factor; it declares its own unit text
        case ctl::kDnrDisable:
        case ctl::kCount:
            return Unit::None;
    }
    return Unit::None;
}

}  // namespace orvex::lv2

#include "plugin/parameters.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orvex {

namespace {

// Size of the text buffers the parameter objects write (name or display plus terminator).
constexpr std::size_t kTextBuffer = kMaxParameterNameLength + 1;

// Truncation toward zero that stays defined for values an int cannot hold.
int truncatedInt(float v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0f) return INT_MAX;
    if (v <= -2147483648.0f) return INT_MIN;
    return static_cast<int>(v);
}

}  // namespace

// ---- vstUIObject ----------------------------------------------------------------------------

vstUIObject::vstUIObject(const char* label, float* zone) : fLabel(label ? label : ""), fZone(zone) {}

void vstUIObject::getName(char* text) {
    std::size_t n = std::min<std::size_t>(fLabel.size(), kMaxParameterNameLength);
    std::memcpy(text, fLabel.data(), n);
    text[n] = '\0';
}

void vstUIObject::setValue(double normalised) { setPlainValue(normalised); }

void vstUIObject::setPlainValue(double value) {
    float v = static_cast<float>(value);
    // Written so that a value that is not a number ends at the upper bound.
    float z = v < 0.0f ? 0.0f : (v <= 1.0f ? v : 1.0f);
    storeCell(fZone, z);
}

float vstUIObject::getValue() { return loadCell(fZone); }

float vstUIObject::getPlainValue() { return loadCell(fZone); }

void vstUIObject::getDisplay(char* text) {
    std::snprintf(text, kTextBuffer, "%f", static_cast<double>(loadCell(fZone)));
}

int vstUIObject::labelSum() {
    int sum = 0;
    for (char c : fLabel) sum += static_cast<signed char>(c);
    return sum;
}

// ---- vstSlider ------------------------------------------------------------------------------

vstSlider::vstSlider(const char* label, float* zone, float init, float min, float max, float step)
    : vstUIObject(label, zone), fInit(init), fMin(min), fMax(max), fStep(step), fPrecision(precisionOf(step)) {}

int vstSlider::precisionOf(float step) {
    // A float of magnitude 2^23 or more has no fraction bits left, so it is whole.
    auto whole = [](float s) { return std::fabs(s) >= 8388608.0f || s == std::floor(s); };
    int precision = 0;
    float s = step;
    while (precision < 6 && !whole(s)) {
        s = s * 10.0f;
        ++precision;
    }
    return precision;
}

float vstSlider::limited(float v) const {
    if (v < fMin || std::isnan(v)) return fMin;
    return v < fMax ? v : fMax;
}

void vstSlider::setValue(double normalised) {
    float x = static_cast<float>(normalised);
    float v = (fMax - fMin) * x + fMin;
    storeCell(fZone, limited(v));
}

void vstSlider::setPlainValue(double value) { storeCell(fZone, limited(static_cast<float>(value))); }

float vstSlider::getValue() { return (loadCell(fZone) - fMin) / (fMax - fMin); }

void vstSlider::getDisplay(char* text) {
    float z = loadCell(fZone);
    if (fPrecision > 0)
        std::snprintf(text, kTextBuffer, "%.*f", fPrecision, static_cast<double>(z));
    else
        std::snprintf(text, kTextBuffer, "%d", truncatedInt(z));
}

// ---- switches -------------------------------------------------------------------------------

namespace {
void switchDisplay(const float* zone, char* text) {
    std::snprintf(text, kTextBuffer, "%s", loadCell(zone) > 0.5f ? "ON" : "OFF");
}
}  // namespace

void vstButton::setValue(double normalised) { storeCell(fZone, normalised > 0.5 ? 1.0f : 0.0f); }
void vstButton::getDisplay(char* text) { switchDisplay(fZone, text); }

void vstCheckButton::setValue(double normalised) { storeCell(fZone, normalised > 0.5 ? 1.0f : 0.0f); }
void vstCheckButton::getDisplay(char* text) { switchDisplay(fZone, text); }

// ---- vstUI ----------------------------------------------------------------------------------

void vstUI::addButton(const char* label, float* zone) {
    fUITable.push_back(std::make_unique<vstButton>(label, zone));
    if (label && std::strcmp(label, "gate") == 0) gateIndex = size() - 1;
}

void vstUI::addCheckButton(const char* label, float* zone) {
    fUITable.push_back(std::make_unique<vstCheckButton>(label, zone));
}

void vstUI::addSlider(const char* label, float* zone, float init, float min, float max, float step) {
    fUITable.push_back(std::make_unique<vstSlider>(label, zone, init, min, max, step));
    if (!label) return;
    const int position = size() - 1;
    struct Recognised {
        const char* label;
        int* index;
    };
    const Recognised names[] = {
        {"gain", &gainIndex}, {"gate", &gateIndex}, {"freq", &freqIndex},
        {"prevfreq", &prevFreqIndex}, {"pitchbend", &pitchBendIndex},
    };
    for (const auto& name : names)
        if (std::strcmp(label, name.label) == 0) *name.index = position;
}

void vstUI::addVerticalFader(const char* label, float* zone, float init, float min, float max, float step) {
    addSlider(label, zone, init, min, max, step);
}
void vstUI::addHorizontalFader(const char* label, float* zone, float init, float min, float max, float step) {
    addSlider(label, zone, init, min, max, step);
}
void vstUI::addNumberBox(const char* label, float* zone, float init, float min, float max, float step) {
    addSlider(label, zone, init, min, max, step);
}

void vstUI::attachMetadata(float* zone, const char* key, const char* value) {
    controlMetadata[zone][key ? key : ""] = value ? value : "";
}

vstUIObject& vstUI::at(int index) const {
    if (!(index >= 0 && index < size())) {
        std::fprintf(stderr, "Kolmar_VELDA-KT19h40: Assertion `%s' failed (index %d).\n",
                     "index < (VstInt32)fUITable.size()", index);
        std::abort();
    }
    return *fUITable[static_cast<std::size_t>(index)];
}

const char* vstUI::metadata(int index, const char* key) const {
    if (!designates(index)) return nullptr;
    auto control = controlMetadata.find(fUITable[static_cast<std::size_t>(index)]->zone());
    if (control == controlMetadata.end()) return nullptr;
    auto entry = control->second.find(key);
    return entry == control->second.end() ? nullptr : entry->second;
}

int vstUI::labelSum() const {
    int sum = 0;
    for (const auto& object : fUITable) sum += object->labelSum();
    return sum;
}

void vstUI::saveValues(std::vector<float>& values) const {
    values.resize(fUITable.size());
    for (std::size_t i = 0; i < fUITable.size(); ++i) values[i] = loadCell(fUITable[i]->zone());
}

void vstUI::restoreValues(const std::vector<float>& values) {
    const std::size_t n = std::min(values.size(), fUITable.size());
    for (std::size_t i = 0; i < n; ++i) storeCell(fUITable[i]->zone(), values[i]);
}

}  // namespace orvex

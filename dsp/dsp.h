#pragma once
// The processor's abstract interface, the control-declaration protocol and the metadata table.
//
// The plug-in reaches the signal processor only through `dsp`, and the processor declares its
// controls only through `UI`. Labels, keys and values are string constants that live for the
// life of the program; a zone is a pointer to a control cell inside the processor.
#include <map>
#include <string>

namespace orvex {

template <typename Real>
class UIReal {
public:
    virtual ~UIReal() = default;

    virtual void openTabGroup(const char* label) = 0;
    virtual void openRowGroup(const char* label) = 0;
    virtual void openColumnGroup(const char* label) = 0;
    virtual void closeGroup() = 0;

    virtual void addButton(const char* label, Real* zone) = 0;
    virtual void addCheckButton(const char* label, Real* zone) = 0;
    virtual void addVerticalFader(const char* label, Real* zone, Real init, Real min, Real max, Real step) = 0;
    virtual void addHorizontalFader(const char* label, Real* zone, Real init, Real min, Real max, Real step) = 0;
    virtual void addNumberBox(const char* label, Real* zone, Real init, Real min, Real max, Real step) = 0;

    virtual void addHorizontalMeter(const char* label, Real* zone, Real min, Real max) = 0;
    virtual void addVerticalMeter(const char* label, Real* zone, Real min, Real max) = 0;

    // Sound files are not used by this processor; the slot type stays opaque.
    virtual void addSoundSlot(const char* label, const char* fileName, void** soundSlot) = 0;

    // Attaches a key/value pair to the control with this zone; issued before that control is added.
    virtual void attachMetadata(Real* zone, const char* key, const char* value) = 0;
};

class UI : public UIReal<float> {};

// Key/value metadata; a later declaration of a key replaces the earlier value.
struct Meta {
    std::map<std::string, std::string> entries;

    void declare(const char* key, const char* value) { entries[key] = value; }
    const char* get(const char* key) const {
        auto it = entries.find(key);
        return it == entries.end() ? nullptr : it->second.c_str();
    }
    std::size_t size() const { return entries.size(); }
};

class dsp {
public:
    virtual ~dsp() = default;
    virtual int inputCount() = 0;
    virtual int outputCount() = 0;
    virtual void declareControls(UI* collector) = 0;
    virtual int storedRate() = 0;
    virtual void init(int rate) = 0;
    virtual void setupForRate(int rate) = 0;
    virtual void computeRateConstants(int rate) = 0;
    virtual void resetControls() = 0;
    virtual void clearState() = 0;
    virtual dsp* clone() = 0;
    virtual void declareMetadata(Meta* table) = 0;
    virtual void compute(int count, float** inputs, float** outputs) = 0;
    // The time stamp is ignored; it forwards to the plain form through the virtual table.
    virtual void compute(double /*timestamp*/, int count, float** inputs, float** outputs) {
        compute(count, inputs, outputs);
    }
    virtual int inputRateCode(int channel) = 0;
    virtual int outputRateCode(int channel) = 0;
};

}  // namespace orvex

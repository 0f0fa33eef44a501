#pragma once
// The plug-in's parameter collection: one object per declared control, addressed by its position.
//
// A processor declares its controls through `UI`; `vstUI` turns each button, check button and
// slider into a parameter object that knows the control's label and its cell, converts between the
// host's normalised 0..1 values and the control's own range, and formats the value for display.
// The collection also keeps the per-control metadata and the positions of the conventional voice
// controls ("gate", "freq", "gain", "prevfreq", "pitchbend").
//
// Threads: the host may write a parameter from any thread while the audio thread runs the
// processor, so every cell access goes through a relaxed atomic float access. The processor reads
// its cells the same way once per block; a change is picked up by the next block.
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dsp/dsp.h"

namespace orvex {

// Longest parameter name handed to the host, not counting the terminating zero.
inline constexpr int kMaxParameterNameLength = 63;

// Relaxed atomic access to a control cell, shared with the processor's once-per-block read.
inline float loadCell(const float* zone) {
    return std::atomic_ref<float>(*const_cast<float*>(zone)).load(std::memory_order_relaxed);
}
inline void storeCell(float* zone, float value) {
    std::atomic_ref<float>(*zone).store(value, std::memory_order_relaxed);
}

class vstUIObject {
public:
    vstUIObject(const char* label, float* zone);
    virtual ~vstUIObject() = default;

    // Copies the label, cut to kMaxParameterNameLength characters, with its terminating zero.
    virtual void getName(char* text);
    virtual void setValue(double normalised);
    virtual void setPlainValue(double value);
    virtual float getValue();
    virtual float getPlainValue();
    virtual void getDisplay(char* text);
    virtual int labelSum();

    const std::string& label() const { return fLabel; }
    float* zone() const { return fZone; }

protected:
    std::string fLabel;
    float* fZone;
};

class vstSlider : public vstUIObject {
public:
    vstSlider(const char* label, float* zone, float init, float min, float max, float step);

    void setValue(double normalised) override;
    void setPlainValue(double value) override;
    float getValue() override;
    void getDisplay(char* text) override;

    float defaultValue() const { return fInit; }
    float min() const { return fMin; }
    float max() const { return fMax; }
    float step() const { return fStep; }
    int precision() const { return fPrecision; }

    // Decimals shown for a step: multiply by ten until whole, at most six times.
    static int precisionOf(float step);

private:
    float limited(float v) const;

    float fInit;
    float fMin;
    float fMax;
    float fStep;
    int fPrecision;
};

// A momentary switch: on above 0.5, shown as "ON"/"OFF".
class vstButton : public vstUIObject {
public:
    using vstUIObject::vstUIObject;
    void setValue(double normalised) override;
    void getDisplay(char* text) override;
};

// A latching switch; behaves like the button towards the host.
class vstCheckButton : public vstUIObject {
public:
    using vstUIObject::vstUIObject;
    void setValue(double normalised) override;
    void getDisplay(char* text) override;
};

class vstUI : public UI {
public:
    vstUI() = default;
    vstUI(const vstUI&) = delete;
    vstUI& operator=(const vstUI&) = delete;
    ~vstUI() override = default;

    void openTabGroup(const char*) override {}
    void openRowGroup(const char*) override {}
    void openColumnGroup(const char*) override {}
    void closeGroup() override {}

    void addButton(const char* label, float* zone) override;
    void addCheckButton(const char* label, float* zone) override;
    void addVerticalFader(const char* label, float* zone, float init, float min, float max, float step) override;
    void addHorizontalFader(const char* label, float* zone, float init, float min, float max, float step) override;
    void addNumberBox(const char* label, float* zone, float init, float min, float max, float step) override;

    void addHorizontalMeter(const char*, float*, float, float) override {}
    void addVerticalMeter(const char*, float*, float, float) override {}
    void addSoundSlot(const char*, const char*, void**) override {}

    void attachMetadata(float* zone, const char* key, const char* value) override;

    int size() const { return static_cast<int>(fUITable.size()); }
    // The object at a position; a position outside the table is a programming error and stops
    // the process with a diagnostic.
    vstUIObject& at(int index) const;
    bool designates(int index) const { return index >= 0 && index < size(); }

    // Metadata value under `key` for the control at `index`, or null.
    const char* metadata(int index, const char* key) const;

    // Sum of labelSum over every object.
    int labelSum() const;

    // Plain values of every cell in table order, and their restoration (no range mapping).
    void saveValues(std::vector<float>& values) const;
    void restoreValues(const std::vector<float>& values);

    std::vector<std::unique_ptr<vstUIObject>> fUITable;
    std::map<const float*, std::map<std::string, const char*>> controlMetadata;
    int freqIndex = -1;
    int gainIndex = -1;
    int gateIndex = -1;
    int prevFreqIndex = -1;
    int pitchBendIndex = -1;

private:
    void addSlider(const char* label, float* zone, float init, float min, float max, float step);
};

// A collection that carries its own processor; the processor declares its controls into it.
class Voice : public vstUI {
public:
    // Takes ownership of a zero-filled processor; the caller initialises it and then lets it
    // declare its controls into this voice.
    explicit Voice(dsp* processor) : fProcessor(processor) {}
    dsp& processor() { return *fProcessor; }

    // Sets the control at a voice-control position; skipped when the voice has no such control.
    void setControl(int index, float value) {
        if (designates(index)) at(index).setPlainValue(value);
    }

private:
    std::unique_ptr<dsp> fProcessor;
};

}  // namespace orvex

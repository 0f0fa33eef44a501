#pragma once
// Small effects for driving the bases through their record.
#include <string>
#include <vector>

#include "host/audio_effect_x.h"

namespace orvex::test {

// Overrides nothing but the one pure operation, so every answer is the base default.
class BareEffect : public AudioEffectX {
public:
    explicit BareEffect(audioMasterCallback master, VstInt32 programs = 1, VstInt32 params = 4)
        : AudioEffectX(master, programs, params) {}
    void processReplacing(float**, float**, VstInt32) override {}

    // Reach the protected helpers and fields from the tests.
    using AudioEffect::editor;
    VstInt32 flags() const { return cEffect.flags; }
};

// What a ProbeEffect saw; it outlives the effect, which effClose deletes.
struct ProbeLog {
    std::vector<std::string> events;
    int alive = 0;
    VstInt32 canDoAnswer = 0;
    std::string lastCanDo;
};

// Records the virtual operations the dispatcher and the record entries reach.
class ProbeEffect : public AudioEffectX {
public:
    ProbeEffect(audioMasterCallback master, ProbeLog& log, VstInt32 programs = 3)
        : AudioEffectX(master, programs, 2), log_(log) {
        ++log_.alive;
    }
    ~ProbeEffect() override {
        --log_.alive;
        log_.events.push_back("destroyed");
    }

    void open() override { log_.events.push_back("open"); }
    void close() override { log_.events.push_back("close"); }
    void suspend() override { log_.events.push_back("suspend"); }
    void resume() override {
        log_.events.push_back("resume");
        AudioEffectX::resume();
    }
    void setProgram(VstInt32 program) override {
        log_.events.push_back("setProgram " + std::to_string(program));
        AudioEffectX::setProgram(program);
    }
    void setParameter(VstInt32 index, float value) override {
        log_.events.push_back("setParameter " + std::to_string(index) + " " + std::to_string(value));
    }
    float getParameter(VstInt32 index) override { return 0.25f * static_cast<float>(index); }
    VstInt32 canDo(char* text) override {
        log_.lastCanDo = text;
        return log_.canDoAnswer;
    }
    VstInt32 getChunk(void** data, bool isPreset) override {
        *data = chunk_;
        return isPreset ? 3 : 4;
    }
    VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset) override {
        log_.events.push_back("setChunk " + std::to_string(byteSize) + (isPreset ? " preset" : " bank") +
                              (data == chunk_ ? " same" : " other"));
        return byteSize + 1;
    }
    // Output 0 = input 0 * 2 (replacing); output 1 += input 0 (accumulating).
    void processReplacing(float** inputs, float** outputs, VstInt32 frames) override {
        for (VstInt32 i = 0; i < frames; ++i) outputs[0][i] = 2.0f * inputs[0][i];
    }
    void process(float** inputs, float** outputs, VstInt32 frames) override {
        for (VstInt32 i = 0; i < frames; ++i) outputs[1][i] += inputs[0][i];
    }
    void processDoubleReplacing(double** inputs, double** outputs, VstInt32 frames) override {
        for (VstInt32 i = 0; i < frames; ++i) outputs[0][i] = -inputs[0][i];
    }

    char chunk_[4] = {1, 2, 3, 4};

private:
    ProbeLog& log_;
};

} // namespace orvex::test

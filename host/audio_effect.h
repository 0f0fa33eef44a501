#pragma once
// The effect base: owns the record the host holds, turns the host's numbered requests into
// virtual calls, wraps the basic requests sent back to the host, and gives every request a
// neutral default answer that a derived effect replaces where it has something to say.
//
// Threading: the host calls the dispatcher and the parameter entries from its own threads and
// the process entries from its audio thread. The base takes no lock; it only stores and reads
// plain fields (sample rate, block size, current program), which the host must not change
// through the dispatcher while a block is being processed.

#include "host/vst2.h"

class AudioEffect;

// Editor window interface. No effect of ours attaches one; the base only forwards the editor
// opcodes when one is present and answers 0 otherwise.
class AEffEditor {
public:
    explicit AEffEditor(AudioEffect* effect = nullptr) : effect(effect) {}
    virtual ~AEffEditor() = default;

    virtual bool getRect(ERect** rect) {
        if (rect) *rect = nullptr;
        return false;
    }
    virtual bool open(void* parentWindow) {
        systemWindow = parentWindow;
        return false;
    }
    virtual void close() { systemWindow = nullptr; }
    virtual void idle() {}
    virtual bool onKeyDown(VstKeyCode& /*keyCode*/) { return false; }
    virtual bool onKeyUp(VstKeyCode& /*keyCode*/) { return false; }
    virtual bool setKnobMode(VstInt32 /*mode*/) { return false; }

    AudioEffect* getEffect() const { return effect; }

protected:
    AudioEffect* effect;
    void* systemWindow = nullptr;
};

class AudioEffect {
public:
    AudioEffect(audioMasterCallback audioMaster, VstInt32 numPrograms, VstInt32 numParams);
    virtual ~AudioEffect();

    AudioEffect(const AudioEffect&) = delete;
    AudioEffect& operator=(const AudioEffect&) = delete;

    // Opcodes 0..24 (effOpen .. effSetChunk); anything else answers 0.
    virtual VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);

    virtual void open() {}
    virtual void close() {}
    virtual void suspend() {}
    virtual void resume() {}

    virtual void setSampleRate(float newSampleRate) { sampleRate = newSampleRate; }
    virtual void setBlockSize(VstInt32 newBlockSize) { blockSize = newBlockSize; }

    // Audio thread.
    virtual void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) = 0;
    virtual void processDoubleReplacing(double** /*inputs*/, double** /*outputs*/, VstInt32 /*sampleFrames*/) {}

    virtual void setParameter(VstInt32 /*index*/, float /*value*/) {}
    virtual float getParameter(VstInt32 /*index*/) { return 0.0f; }
    // Sets the parameter, then tells the host it changed (so it can record automation).
    virtual void setParameterAutomated(VstInt32 index, float value);

    virtual VstInt32 getProgram() { return curProgram; }
    virtual void setProgram(VstInt32 program) { curProgram = program; }
    virtual void setProgramName(char* /*name*/) {}
    virtual void getProgramName(char* name) { writeEmpty(name); }

    virtual void getParameterLabel(VstInt32 /*index*/, char* label) { writeEmpty(label); }
    virtual void getParameterDisplay(VstInt32 /*index*/, char* text) { writeEmpty(text); }
    virtual void getParameterName(VstInt32 /*index*/, char* text) { writeEmpty(text); }

    virtual VstInt32 getChunk(void** /*data*/, bool /*isPreset*/ = false) { return 0; }
    virtual VstInt32 setChunk(void* /*data*/, VstInt32 /*byteSize*/, bool /*isPreset*/ = false) { return 0; }

    virtual void setUniqueID(VstInt32 iD) { cEffect.uniqueID = iD; }
    virtual void setNumInputs(VstInt32 inputs) { cEffect.numInputs = inputs; }
    virtual void setNumOutputs(VstInt32 outputs) { cEffect.numOutputs = outputs; }
    virtual void canProcessReplacing(bool state = true) { setFlag(effFlagsCanReplacing, state); }
    virtual void canDoubleReplacing(bool state = true) { setFlag(effFlagsCanDoubleReplacing, state); }
    virtual void programsAreChunks(bool state = true) { setFlag(effFlagsProgramChunks, state); }
    virtual void setInitialDelay(VstInt32 delay) { cEffect.initialDelay = delay; }

    virtual AEffEditor* getEditor() { return editor; }
    virtual AEffect* getAeffect() { return &cEffect; }
    virtual float getSampleRate() { return sampleRate; }
    virtual VstInt32 getBlockSize() { return blockSize; }

    // Host requests. Each answers a fixed value when there is no host callback.
    virtual VstInt32 getMasterVersion();   // never 0: a host answering 0 counts as version 1
    virtual VstInt32 getCurrentUniqueId(); // 0 without a host
    virtual void masterIdle();

    // Text formatting. Each writes at most maxLen characters and a terminating zero at
    // text[maxLen], so text must hold maxLen + 1 bytes. A negative maxLen writes nothing.
    virtual void dB2string(float value, char* text, VstInt32 maxLen);
    virtual void Hz2string(float samples, char* text, VstInt32 maxLen);
    virtual void ms2string(float samples, char* text, VstInt32 maxLen);
    virtual void float2string(float value, char* text, VstInt32 maxLen);
    virtual void int2string(VstInt32 value, char* text, VstInt32 maxLen);

    // Accumulating process, superseded by processReplacing.
    virtual void process(float** /*inputs*/, float** /*outputs*/, VstInt32 /*sampleFrames*/) {}
    virtual float getVu() { return 0.0f; }
    virtual void hasVu(bool state = true) { setFlag(effFlagsHasVu, state); }
    virtual void hasClip(bool state = true) { setFlag(effFlagsHasClip, state); }
    virtual void canMono(bool state = true) { setFlag(effFlagsCanMono, state); }
    virtual void setRealQualities(VstInt32 qualities) { cEffect.realQualities = qualities; }
    virtual void setOffQualities(VstInt32 qualities) { cEffect.offQualities = qualities; }
    virtual bool isInputConnected(VstInt32 input);   // true unless the host says otherwise
    virtual bool isOutputConnected(VstInt32 output); // true unless the host says otherwise

protected:
    void setFlag(VstInt32 bit, bool state) {
        if (state)
            cEffect.flags |= bit;
        else
            cEffect.flags &= ~bit;
    }
    // Calls the host with this effect's record; answers `missing` when there is no callback.
    VstIntPtr callHost(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f, VstIntPtr missing = 0);
    // Bounded copy of at most maxLen characters of src, zero-filled, then text[maxLen] = 0.
    static void copyText(char* text, const char* src, VstInt32 maxLen);
    static void writeEmpty(char* text) {
        if (text) *text = 0;
    }

    audioMasterCallback audioMaster;
    AEffEditor* editor = nullptr;
    float sampleRate = 44100.0f;
    VstInt32 blockSize = 1024;
    VstInt32 numPrograms;
    VstInt32 numParams;
    VstInt32 curProgram = 0;
    AEffect cEffect;

private:
    // The six functions placed in the record; each reaches the object through `object`.
    static VstIntPtr VSTCALLBACK entryDispatcher(AEffect* e, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                                 void* ptr, float opt);
    static void VSTCALLBACK entryProcess(AEffect* e, float** inputs, float** outputs, VstInt32 sampleFrames);
    static void VSTCALLBACK entrySetParameter(AEffect* e, VstInt32 index, float value);
    static float VSTCALLBACK entryGetParameter(AEffect* e, VstInt32 index);
    static void VSTCALLBACK entryProcessReplacing(AEffect* e, float** inputs, float** outputs,
                                                  VstInt32 sampleFrames);
    static void VSTCALLBACK entryProcessDoubleReplacing(AEffect* e, double** inputs, double** outputs,
                                                        VstInt32 sampleFrames);
};

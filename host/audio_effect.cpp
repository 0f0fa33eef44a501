#include "host/audio_effect.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kNumberTextSize = 16; // scratch for the at most 8-character number texts

void copyLiteral(char* out, const char* text) {
    std::strncpy(out, text, kNumberTextSize - 1);
    out[kNumberTextSize - 1] = 0;
}

// Appends the decimal digits of `magnitude` (no leading zeros; nothing for 0) at out[at], within
// the scratch text. The callers' range checks keep the digits to 8; the bound here says so to the
// compiler, which cannot follow them through the float conversion.
std::size_t appendDigits(char* out, std::size_t at, std::uint64_t magnitude) {
    char reversed[24];
    std::size_t n = 0;
    while (magnitude > 0) {
        reversed[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    }
    while (n > 0 && at < kNumberTextSize - 1) out[at++] = reversed[--n];
    out[at] = 0;
    return at;
}

// Fixed-point text of 8 characters counting sign and point: integer digits, ".", then
// truncated fraction digits until 8 characters are used. Values whose integer digits leave no
// room for the point are written as the signed integer digits alone (still 8 characters at
// most), values with more integer digits than fit as "Huge!" / "-Huge!", and NaN as "NaN", so
// the text is always at most 8 characters long and always terminated.
void formatFixed8(float value, char* out) {
    constexpr std::size_t kWidth = 8;
    if (std::isnan(value)) {
        copyLiteral(out, "NaN");
        return;
    }
    const bool negative = value < 0.0f;
    const double magnitude = std::fabs(static_cast<double>(value));
    if (magnitude > (negative ? 9999999.0 : 99999999.0)) {
        copyLiteral(out, negative ? "-Huge!" : "Huge!");
        return;
    }
    std::size_t len = 0;
    if (negative) out[len++] = '-';
    const double integral = std::floor(magnitude);
    const std::size_t signLen = len;
    len = appendDigits(out, len, static_cast<std::uint64_t>(integral));
    if (len == signLen) { // an integer part of 0 still shows its digit
        out[len++] = '0';
        out[len] = 0;
    }
    if (len >= kWidth) return; // no room for the point
    out[len++] = '.';
    // Exact in double: a float's fraction has at most 24 significant bits and each step adds
    // fewer than 4, well inside the 53 available.
    double fraction = magnitude - integral;
    while (len < kWidth) {
        fraction *= 10.0;
        const double digit = std::floor(fraction);
        fraction -= digit;
        out[len++] = static_cast<char>('0' + static_cast<int>(digit));
    }
    out[len] = 0;
}

// Signed decimal digits; 100000000 and more is "Huge!", below -99999999 "-Huge!", so the text
// never exceeds 8 characters.
void formatInt(VstInt32 value, char* out) {
    if (value >= 100000000) {
        copyLiteral(out, "Huge!");
        return;
    }
    if (value < -99999999) {
        copyLiteral(out, "-Huge!");
        return;
    }
    if (value == 0) {
        copyLiteral(out, "0");
        return;
    }
    std::size_t len = 0;
    std::int64_t wide = value;
    if (wide < 0) {
        out[len++] = '-';
        wide = -wide;
    }
    appendDigits(out, len, static_cast<std::uint64_t>(wide));
}

} // namespace

AudioEffect::AudioEffect(audioMasterCallback master, VstInt32 programCount, VstInt32 paramCount)
    : audioMaster(master), numPrograms(programCount), numParams(paramCount) {
    std::memset(&cEffect, 0, sizeof(cEffect));
    cEffect.magic = kEffectMagic;
    cEffect.dispatcher = entryDispatcher;
    cEffect.process = entryProcess;
    cEffect.setParameter = entrySetParameter;
    cEffect.getParameter = entryGetParameter;
    cEffect.numPrograms = programCount;
    cEffect.numParams = paramCount;
    cEffect.numInputs = 1;
    cEffect.numOutputs = 2;
    cEffect.flags = effFlagsCanReplacing;
    cEffect.ioRatio = 1.0f;
    cEffect.object = this;
    cEffect.uniqueID = CCONST('N', 'o', 'E', 'f');
    cEffect.version = 1;
    cEffect.processReplacing = entryProcessReplacing;
    cEffect.processDoubleReplacing = entryProcessDoubleReplacing;
}

AudioEffect::~AudioEffect() {
    delete editor;
}

VstIntPtr AudioEffect::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    switch (opcode) {
    case effOpen:
        open();
        return 0;
    case effClose:
        close();
        return 0;
    case effSetProgram:
        // The program count bounds the value from above only. A value that does not fit the
        // 32-bit program number is refused, so truncation cannot turn it into a valid-looking
        // number at or above the count.
        if (value < numPrograms && value >= INT32_MIN) setProgram(static_cast<VstInt32>(value));
        return 0;
    case effGetProgram:
        return getProgram();
    case effSetProgramName:
        setProgramName(static_cast<char*>(ptr));
        return 0;
    case effGetProgramName:
        getProgramName(static_cast<char*>(ptr));
        return 0;
    case effGetParamLabel:
        getParameterLabel(index, static_cast<char*>(ptr));
        return 0;
    case effGetParamDisplay:
        getParameterDisplay(index, static_cast<char*>(ptr));
        return 0;
    case effGetParamName:
        getParameterName(index, static_cast<char*>(ptr));
        return 0;
    case effSetSampleRate:
        setSampleRate(opt);
        return 0;
    case effSetBlockSize:
        setBlockSize(static_cast<VstInt32>(value));
        return 0;
    case effMainsChanged:
        if (value)
            resume();
        else
            suspend();
        return 0;
    case effEditGetRect:
        return editor && editor->getRect(static_cast<ERect**>(ptr)) ? 1 : 0;
    case effEditOpen:
        return editor && editor->open(ptr) ? 1 : 0;
    case effEditClose:
        if (editor) editor->close();
        return 0;
    case effEditIdle:
        if (editor) editor->idle();
        return 0;
    case effIdentify:
        return CCONST('N', 'v', 'E', 'f');
    case effGetChunk:
        return getChunk(static_cast<void**>(ptr), index != 0);
    case effSetChunk:
        return setChunk(ptr, static_cast<VstInt32>(value), index != 0);
    default: // effGetVu, the remaining editor opcodes and anything unknown
        return 0;
    }
}

// --- entries placed in the record ------------------------------------------------------------

VstIntPtr VSTCALLBACK AudioEffect::entryDispatcher(AEffect* e, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                                   void* ptr, float opt) {
    auto* self = static_cast<AudioEffect*>(e->object);
    if (opcode == effClose) {
        self->dispatcher(opcode, index, value, ptr, opt);
        delete self; // the record lives inside the object and is gone with it
        return 1;
    }
    return self->dispatcher(opcode, index, value, ptr, opt);
}

void VSTCALLBACK AudioEffect::entryProcess(AEffect* e, float** inputs, float** outputs, VstInt32 sampleFrames) {
    static_cast<AudioEffect*>(e->object)->process(inputs, outputs, sampleFrames);
}

void VSTCALLBACK AudioEffect::entrySetParameter(AEffect* e, VstInt32 index, float value) {
    static_cast<AudioEffect*>(e->object)->setParameter(index, value);
}

float VSTCALLBACK AudioEffect::entryGetParameter(AEffect* e, VstInt32 index) {
    return static_cast<AudioEffect*>(e->object)->getParameter(index);
}

void VSTCALLBACK AudioEffect::entryProcessReplacing(AEffect* e, float** inputs, float** outputs,
                                                    VstInt32 sampleFrames) {
    static_cast<AudioEffect*>(e->object)->processReplacing(inputs, outputs, sampleFrames);
}

void VSTCALLBACK AudioEffect::entryProcessDoubleReplacing(AEffect* e, double** inputs, double** outputs,
                                                          VstInt32 sampleFrames) {
    static_cast<AudioEffect*>(e->object)->processDoubleReplacing(inputs, outputs, sampleFrames);
}

// --- host requests ---------------------------------------------------------------------------

VstIntPtr AudioEffect::callHost(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt,
                                VstIntPtr missing) {
    if (!audioMaster) return missing;
    return audioMaster(&cEffect, opcode, index, value, ptr, opt);
}

void AudioEffect::setParameterAutomated(VstInt32 index, float value) {
    setParameter(index, value);
    callHost(audioMasterAutomate, index, 0, nullptr, value);
}

VstInt32 AudioEffect::getMasterVersion() {
    const VstIntPtr version = callHost(audioMasterVersion, 0, 0, nullptr, 0.0f, 1);
    return version == 0 ? 1 : static_cast<VstInt32>(version);
}

VstInt32 AudioEffect::getCurrentUniqueId() {
    return static_cast<VstInt32>(callHost(audioMasterCurrentId));
}

void AudioEffect::masterIdle() {
    callHost(audioMasterIdle);
}

bool AudioEffect::isInputConnected(VstInt32 input) {
    return callHost(audioMasterPinConnected, input, 0) == 0;
}

bool AudioEffect::isOutputConnected(VstInt32 output) {
    return callHost(audioMasterPinConnected, output, 1) == 0;
}

// --- text formatting -------------------------------------------------------------------------

void AudioEffect::copyText(char* text, const char* src, VstInt32 maxLen) {
    if (!text || maxLen < 0) return;
    std::strncpy(text, src, static_cast<std::size_t>(maxLen));
    text[maxLen] = 0;
}

void AudioEffect::dB2string(float value, char* text, VstInt32 maxLen) {
    if (value <= 0.0f) {
        copyText(text, "-oo", maxLen);
        return;
    }
    float2string(20.0f * std::log10(value), text, maxLen);
}

void AudioEffect::Hz2string(float samples, char* text, VstInt32 maxLen) {
    float2string(samples == 0.0f ? 0.0f : getSampleRate() / samples, text, maxLen);
}

void AudioEffect::ms2string(float samples, char* text, VstInt32 maxLen) {
    float2string(samples * 1000.0f / getSampleRate(), text, maxLen);
}

void AudioEffect::float2string(float value, char* text, VstInt32 maxLen) {
    char buffer[kNumberTextSize];
    formatFixed8(value, buffer);
    copyText(text, buffer, maxLen);
}

void AudioEffect::int2string(VstInt32 value, char* text, VstInt32 maxLen) {
    char buffer[kNumberTextSize];
    formatInt(value, buffer);
    copyText(text, buffer, maxLen);
}

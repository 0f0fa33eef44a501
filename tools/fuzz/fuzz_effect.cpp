// libFuzzer harness: the effect driven through its record as a host would, by a program read
// from the fuzzer's bytes: opcodes with fuzzed arguments and well-formed buffers, parameter
// writes and reads with arbitrary floats, event lists, processing calls of fuzzed lengths,
// suspend and resume. Built with AddressSanitizer and UndefinedBehaviorSanitizer; besides what
// they catch, the harness stops on
//   - a text written past its bound, or a structure written past its end,
//   - a processing call that writes past its frames or leaves outputs unwritten,
//   - getParameter outside 0..1 for a valid index,
//   - non-finite output while the sample rate is one a host would set.
//
// Built twice: orvex_fuzz_effect runs everything; orvex_fuzz_control (ORVEX_FUZZ_CONTROL_ONLY)
// leaves out the processing calls, which dominate the time per input under the sanitizers, and
// so tries the dispatcher, parameter and event paths far more often; it also keeps one instance
// for the whole run and leaves out the sample-rate changes (each one re-initialises eleven
// processors, as slow as creating the effect).
//
// One instance lives across inputs: creating one costs more than a hundred typical inputs take
// to run. An input whose first byte is 0xFF starts from a fresh instance (as does effClose
// inside an input); to replay a finding from a fresh instance, set that byte.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/vst2.h"

#ifndef ORVEX_FUZZ_CONTROL_ONLY
#define ORVEX_FUZZ_CONTROL_ONLY 0
#endif

extern "C" AEffect* VSTPluginMain(audioMasterCallback audioMaster);

namespace {

VstIntPtr VSTCALLBACK host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    switch (opcode) {
        case audioMasterVersion: return kVstVersion;
        case audioMasterGetSampleRate: return 48000;
        case audioMasterGetBlockSize: return 4096;
        default: return 0;
    }
}

[[noreturn]] void fault(const char* what, int a = 0, int b = 0) {
    std::fprintf(stderr, "fuzz_effect: %s (%d, %d)\n", what, a, b);
    std::abort();
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ >= end_; }
    std::uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return v;
    }
    float rawFloat() {
        const std::uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    // Mostly ordinary values, sometimes any bit pattern.
    float value() {
        const std::uint8_t kind = byte();
        if (kind < 160) return static_cast<float>(kind) / 159.0f;
        return rawFloat();
    }
    VstInt32 index(int params) {
        const std::uint8_t kind = byte();
        if (kind < 200) return static_cast<VstInt32>(kind % (params + 2)) - 1;  // -1..params
        return static_cast<VstInt32>(u32());
    }
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    const std::uint8_t* here() const { return p_; }
    void skip(std::size_t n) { p_ += n < remaining() ? n : remaining(); }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

constexpr std::size_t kMaxFrames = 4096;
constexpr std::size_t kGuard = 16;
constexpr unsigned char kCanary = 0xA5;

struct Harness {
    AEffect* effect = nullptr;
    float rate = 44100.0f;
    bool saneRate = true;
    std::vector<float> in[2], out[2];

    Harness() {
        for (auto& b : in) b.assign(kMaxFrames + kGuard, 0.0f);
        for (auto& b : out) b.assign(kMaxFrames + kGuard, 0.0f);
    }
    VstIntPtr dispatch(VstInt32 op, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
        return effect->dispatcher(effect, op, index, value, ptr, opt);
    }
    void open() {
        effect = VSTPluginMain(host);
        if (!effect || effect->magic != kEffectMagic) fault("no effect");
        dispatch(effOpen, 0, 0, nullptr, 0.0f);
        setRate(48000.0f);
        dispatch(effSetBlockSize, 0, kMaxFrames, nullptr, 0.0f);
        dispatch(effMainsChanged, 0, 1, nullptr, 0.0f);
    }
    void close() {
        if (!effect) return;
        if (dispatch(effClose, 0, 0, nullptr, 0.0f) != 1) fault("effClose did not answer 1");
        effect = nullptr;
    }
    void setRate(float r) {
        dispatch(effSetSampleRate, 0, 0, nullptr, r);
        rate = r;
        saneRate = r >= 8000.0f && r <= 768000.0f;
    }
};

Harness* gHarness = nullptr;

std::size_t textBound(int opcode) {
    switch (opcode) {
        case effGetProgramName:
        case effGetProgramNameIndexed: return kVstMaxProgNameLen;
        case effGetParamLabel:
        case effGetParamDisplay: return kVstMaxParamStrLen;
        case effGetParamName: return 63;  // parameter names longer than 8 are common; hosts allow 64
        case effGetEffectName: return kVstMaxEffectNameLen;
        case effGetVendorString:
        case effGetProductString:
        case effShellGetNextPlugin: return kVstMaxProductStrLen;
        case effGetErrorText: return 255;
        default: return 0;
    }
}

std::size_t structSize(int opcode) {
    switch (opcode) {
        case effEditGetRect:
        case effGetChunk: return sizeof(void*);
        case effGetInputProperties:
        case effGetOutputProperties: return sizeof(VstPinProperties);
        case effGetParameterProperties: return sizeof(VstParameterProperties);
        case effGetMidiProgramName:
        case effGetCurrentMidiProgram: return sizeof(MidiProgramName);
        case effGetMidiProgramCategory: return sizeof(MidiProgramCategory);
        case effGetMidiKeyName: return sizeof(MidiKeyName);
        case effBeginLoadBank:
        case effBeginLoadProgram: return sizeof(VstPatchChunkInfo);
        case effOfflineNotify: return sizeof(VstAudioFile);
        case effOfflinePrepare:
        case effOfflineRun: return sizeof(VstOfflineTask);
        case effEditDraw: return sizeof(ERect);
        default: return 0;
    }
}

void events(Harness& h, Reader& r) {
    const int count = r.byte() % 17;
    std::vector<VstMidiEvent> midi(static_cast<std::size_t>(count));
    std::vector<VstMidiSysexEvent> sysex(static_cast<std::size_t>(count));
    std::vector<std::uint8_t> dump(64);
    std::vector<VstEvent*> pointers(static_cast<std::size_t>(count) + 2);
    for (int i = 0; i < count; ++i) {
        const std::uint8_t kind = r.byte();
        if (kind % 8 == 7) {
            VstMidiSysexEvent& s = sysex[static_cast<std::size_t>(i)];
            s = {};
            s.type = kVstSysExType;
            s.byteSize = sizeof s;
            s.deltaFrames = static_cast<VstInt32>(r.byte());
            s.dumpBytes = r.byte() % 65;
            s.sysexDump = reinterpret_cast<char*>(dump.data());
            pointers[static_cast<std::size_t>(i)] = reinterpret_cast<VstEvent*>(&s);
        } else {
            VstMidiEvent& m = midi[static_cast<std::size_t>(i)];
            m = {};
            m.type = kind % 8 == 6 ? static_cast<VstInt32>(r.byte()) : kVstMidiType;
            m.byteSize = sizeof m;
            m.deltaFrames = kind & 0x80 ? static_cast<VstInt32>(r.u32()) : r.byte();
            for (int b = 0; b < 4; ++b) m.midiData[b] = static_cast<char>(r.byte());
            pointers[static_cast<std::size_t>(i)] = reinterpret_cast<VstEvent*>(&m);
        }
    }
    // VstEvents ends in a two-pointer array that hosts extend.
    std::vector<std::uint8_t> storage(sizeof(VstEvents) + pointers.size() * sizeof(VstEvent*));
    auto* list = reinterpret_cast<VstEvents*>(storage.data());
    list->numEvents = count;
    list->reserved = 0;
    std::memcpy(list->events, pointers.data(), pointers.size() * sizeof(VstEvent*));
    h.dispatch(effProcessEvents, 0, 0, list, 0.0f);
}

void dispatchFuzzed(Harness& h, Reader& r) {
    const int opcode = r.byte() & 0x7F;
    const int params = h.effect->numParams;
    const VstInt32 index = r.index(params);
    const std::uint8_t valueKind = r.byte();
    const VstIntPtr value = valueKind < 128 ? static_cast<VstIntPtr>(valueKind) - 8
                                            : static_cast<VstIntPtr>(static_cast<VstInt32>(r.u32()));
    const std::uint8_t optKind = r.byte();
    const float opt = optKind < 200 ? static_cast<float>(optKind) * 1000.0f : r.rawFloat();

    static std::vector<unsigned char> buf(8192);
    switch (opcode) {
        case effClose:
            // Closing and creating again is slow; one in sixteen picks of the opcode does it.
            if (r.byte() % 16 == 0 && !ORVEX_FUZZ_CONTROL_ONLY) {
                h.close();
                h.open();
            }
            return;
        case effEditOpen: return;  // would need a window
        case effProcessEvents: events(h, r); return;
        case effSetSampleRate:
            // Re-initialises eleven processors: as slow as creating the effect; one in eight
            // picks does it.
            if (r.byte() % 8 == 0 && !ORVEX_FUZZ_CONTROL_ONLY) h.setRate(opt);
            return;
        case effSetBlockSize:
            // The buffers hold kMaxFrames; a host announcing less and passing more is covered
            // by the processing command.
            h.dispatch(opcode, index, value, nullptr, opt);
            return;
        case effSetSpeakerArrangement: {
            VstSpeakerArrangement a{}, b{};
            a.numChannels = r.byte() % 9;
            b.numChannels = r.byte() % 9;
            a.type = static_cast<VstInt32>(r.byte()) - 2;
            h.dispatch(opcode, index, reinterpret_cast<VstIntPtr>(&a), &b, opt);
            return;
        }
        case effGetSpeakerArrangement: {
            VstSpeakerArrangement* slots[2] = {nullptr, nullptr};
            h.dispatch(opcode, index, reinterpret_cast<VstIntPtr>(&slots[0]), &slots[1], opt);
            return;
        }
        case effSetChunk: {
            const std::size_t n = r.remaining() < 256 ? r.remaining() : 256;
            std::memcpy(buf.data(), r.here(), n);
            r.skip(n);
            h.dispatch(opcode, index, static_cast<VstIntPtr>(n), buf.data(), opt);
            return;
        }
        case effProcessVarIo: {
            float* ins[2] = {h.in[0].data(), h.in[1].data()};
            float* outs[2] = {h.out[0].data(), h.out[1].data()};
            VstInt32 a = 0, b = 0;
            VstVariableIo io{ins, outs, 64, 64, &a, &b};
            h.dispatch(opcode, index, 1, &io, opt);
            return;
        }
        case effOfflineNotify:
        case effOfflinePrepare:
        case effOfflineRun: {
            std::memset(buf.data(), 0, structSize(opcode));
            h.dispatch(opcode, index, 1, buf.data(), opt);
            return;
        }
        case effSetProgramName:
        case effCanDo:
        case effString2Parameter: {
            // A zero-terminated text from the input, up to 300 characters.
            std::size_t n = r.byte() + (r.byte() % 2) * 45;
            if (n > r.remaining()) n = r.remaining();
            std::memcpy(buf.data(), r.here(), n);
            buf[n] = 0;
            r.skip(n);
            h.dispatch(opcode, index, value, buf.data(), opt);
            return;
        }
        default: break;
    }
    if (const std::size_t bound = textBound(opcode)) {
        std::memset(buf.data(), kCanary, buf.size());
        h.dispatch(opcode, index, value, buf.data(), opt);
        for (std::size_t i = bound + 1; i < buf.size(); ++i)
            if (buf[i] != kCanary) fault("text written past its bound", opcode, static_cast<int>(i));
        return;
    }
    if (const std::size_t size = structSize(opcode)) {
        std::memset(buf.data(), 0, size);
        std::memset(buf.data() + size, kCanary, buf.size() - size);
        if (opcode == effGetMidiProgramName || opcode == effGetMidiKeyName) {
            const VstInt32 program = static_cast<VstInt32>(r.byte()) - 1;
            std::memcpy(buf.data(), &program, sizeof program);
        }
        h.dispatch(opcode, index, value, buf.data(), opt);
        for (std::size_t i = size; i < buf.size(); ++i)
            if (buf[i] != kCanary) fault("structure written past its end", opcode, static_cast<int>(i));
        return;
    }
    std::memset(buf.data(), 0, buf.size());
    h.dispatch(opcode, index, value, buf.data(), opt);
}

void process(Harness& h, Reader& r) {
    const std::uint8_t kind = r.byte();
    // Mostly short blocks (the processor under the sanitizers runs near real time, and the
    // number of inputs tried per second is what finds faults); now and then up to kMaxFrames.
    std::size_t frames = kind < 250 ? r.byte() % 33 : (static_cast<std::size_t>(r.u32()) % (kMaxFrames + 1));
    const std::uint8_t signal = r.byte();
    const float gain = signal & 0x80 ? 1.0f : static_cast<float>(signal & 0x7F) / 127.0f;
    std::uint32_t noise = static_cast<std::uint32_t>(r.byte()) * 2654435761u + 1u;
    for (std::size_t i = 0; i < frames; ++i) {
        noise = noise * 1664525u + 1013904223u;
        float x;
        switch (signal & 3) {
            case 0: x = 0.0f; break;
            case 1: x = (static_cast<float>(noise >> 8) / 8388608.0f - 1.0f) * gain; break;
            case 2: x = (i / 24) % 2 ? gain : -gain; break;
            default: x = gain * std::sin(0.05f * static_cast<float>(i)); break;
        }
        h.in[0][i] = x;
        h.in[1][i] = x;
    }
    const float poison = std::nanf("0x5ead");
    for (auto& b : h.out) std::fill(b.begin(), b.end(), poison);
    float* ins[2] = {h.in[0].data(), h.in[1].data()};
    float* outs[2] = {h.out[0].data(), h.out[1].data()};
    h.effect->processReplacing(h.effect, ins, outs, static_cast<VstInt32>(frames));
    for (int c = 0; c < 2; ++c) {
        for (std::size_t i = frames; i < h.out[c].size(); ++i) {
            std::uint32_t a, b;
            std::memcpy(&a, &h.out[c][i], 4);
            std::memcpy(&b, &poison, 4);
            if (a != b) fault("processReplacing wrote past its frames", c, static_cast<int>(i));
        }
        if (!h.saneRate) continue;
        for (std::size_t i = 0; i < frames; ++i)
            if (!std::isfinite(h.out[c][i])) fault("non-finite or unwritten output", c, static_cast<int>(i));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!gHarness) {
        gHarness = new Harness;
        gHarness->open();
    }
    Harness& h = *gHarness;
    Reader r(data, size);
    if (r.byte() == 0xFF && !ORVEX_FUZZ_CONTROL_ONLY) {
        h.close();
        h.open();
    }
    int commands = 0;
    while (!r.done() && commands++ < 64) {
        const std::uint8_t op = r.byte() % 8;
        switch (op) {
            case 0:
            case 1: dispatchFuzzed(h, r); break;
            case 2: {
                const VstInt32 index = r.index(h.effect->numParams);
                h.effect->setParameter(h.effect, index, r.value());
                break;
            }
            case 3: {
                const VstInt32 index = r.index(h.effect->numParams);
                const float v = h.effect->getParameter(h.effect, index);
                if (index >= 0 && index < h.effect->numParams && !(v >= 0.0f && v <= 1.0f))
                    fault("getParameter outside 0..1", index);
                break;
            }
            case 4:
            case 5:
#if ORVEX_FUZZ_CONTROL_ONLY
                r.skip(3);
#else
                process(h, r);
#endif
                break;
            case 6: events(h, r); break;
            case 7:
                h.dispatch(effMainsChanged, 0, r.byte() & 1, nullptr, 0.0f);
                break;
        }
    }
    // The next input starts from a resumed instance at a rate hosts use.
    if (!h.saneRate) h.setRate(48000.0f);
    h.dispatch(effMainsChanged, 0, 1, nullptr, 0.0f);
    return 0;
}

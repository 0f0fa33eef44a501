// orvex_probe: drives a built Orvex module (Orvex.so or Orvex.dll) through its exported entry
// point and the AEffect record only, as a host on that platform would, so that each platform
// build can be checked and its output compared with the others.
//
//   orvex_probe check   MODULE                    record, identity, parameters, audio; exit 1 on a failure
//   orvex_probe params  MODULE [OUT.txt]          the parameter list with displays at several values
//   orvex_probe signal  OUT.f32 [SECONDS] [RATE] [programme|tone]
//                                                 a deterministic mono test signal: programme-like
//                                                 material, or a steady 1 kHz tone at -20 dBFS
//   orvex_probe render  MODULE IN.f32 OUT.f32 [--rate HZ] [--set INDEX=VALUE]...
//                                                 processes IN (mono float32) in uneven blocks and
//                                                 writes both outputs interleaved (float32)
//   orvex_probe compare A.f32 B.f32 TOLERANCE [--rms TOLERANCE] [--from SAMPLE]
//                                                 largest sample difference (and the rms of the
//                                                 differences) from SAMPLE on; exit 1 above either
//
// Raw float files are little-endian float32 without a header. compare also takes float32 WAV
// files (as orvex-render --format float writes them) and compares their interleaved samples. The program uses the C library
// only (no test framework), so the same source builds for Linux, 32-bit Linux and, with
// MinGW-w64, for Windows, where it runs under wine.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dsp/flush_to_zero.h"
#include "host/vst2.h"
#include "tests/support/module_loader.h"

namespace {

using orvex::test::LoadedModule;

constexpr VstInt32 kUniqueId = 0x4F525645;  // 'ORVE'
constexpr VstInt32 kParameterCount = 20;
constexpr float kCeiling = 0.8912509f;  // -1 dBFS, the limiter's output bound

// ---- a minimal host ---------------------------------------------------------------------

VstIntPtr hostVersion = kVstVersion;
int hostCalls = 0;
VstInt32 firstHostOpcode = -1;

VstIntPtr VSTCALLBACK hostCallback(AEffect* /*effect*/, VstInt32 opcode, VstInt32 /*index*/, VstIntPtr /*value*/,
                                   void* /*ptr*/, float /*opt*/) {
    if (hostCalls++ == 0) firstHostOpcode = opcode;
    if (opcode == audioMasterVersion) return hostVersion;
    return 0;
}

// One effect instance reached through its record; closed when it goes away.
class Instance {
public:
    Instance(PluginEntryProc entry, double rate, VstInt32 block) {
        if (!entry) return;
        record = entry(&hostCallback);
        if (!record) return;
        call(effOpen);
        call(effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
        call(effSetBlockSize, 0, block);
        call(effMainsChanged, 0, 1);
    }
    ~Instance() {
        if (record) call(effClose);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    VstIntPtr call(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f) {
        return record->dispatcher(record, opcode, index, value, ptr, opt);
    }
    // A text answer written into a buffer pre-filled with a marker, so that a missing
    // terminator or a write past `bound` shows.
    std::string text(VstInt32 opcode, VstInt32 index, std::size_t bound, bool* overrun = nullptr) {
        std::vector<char> buffer(bound + 64, '#');
        call(opcode, index, 0, buffer.data());
        const void* nul = std::memchr(buffer.data(), 0, bound + 1);
        if (overrun) *overrun = nul == nullptr || buffer[bound + 1] != '#';
        return nul ? std::string(buffer.data()) : std::string(buffer.data(), bound + 1);
    }

    // Processes a mono programme (second input silent) in blocks cycling through `blocks`.
    // Returns the two outputs interleaved.
    std::vector<float> render(const std::vector<float>& input, const std::vector<int>& blocks) {
        const std::size_t n = input.size();
        std::vector<float> in(input), silent(n, 0.0f), left(n, 0.0f), right(n, 0.0f);
        std::size_t at = 0, k = 0;
        while (at < n) {
            const std::size_t size = std::min<std::size_t>(static_cast<std::size_t>(blocks[k++ % blocks.size()]), n - at);
            float* ins[2] = {in.data() + at, silent.data() + at};
            float* outs[2] = {left.data() + at, right.data() + at};
            record->processReplacing(record, ins, outs, static_cast<VstInt32>(size));
            at += size;
        }
        std::vector<float> out(2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            out[2 * i] = left[i];
            out[2 * i + 1] = right[i];
        }
        return out;
    }

    AEffect* record = nullptr;
};

// Block pattern of the renders: a host's usual block, single frames, odd sizes, the largest.
const std::vector<int> kBlockPattern = {512, 1, 64, 1000, 333, 4096, 17, 256};
constexpr VstInt32 kMaxBlock = 4096;

// ---- checks -----------------------------------------------------------------------------

int passed = 0;
int failed = 0;

void expect(bool ok, const char* what, const std::string& detail = {}) {
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAILED: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
}

std::string show(long long v) { return std::to_string(v); }

// Fields of the record read at the byte offsets hosts compile in, for this pointer size, so a
// layout that disagrees with what hosts expect fails here even when our own header agrees.
template <typename T>
T fieldAt(const AEffect* record, std::size_t offset) {
    T value;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(record) + offset, sizeof value);
    return value;
}

struct Offsets {
    std::size_t numPrograms, numParams, numInputs, numOutputs, flags, initialDelay, ioRatio, object, uniqueID,
        version, processReplacing, future, size;
};
constexpr Offsets kOffsets = sizeof(void*) == 8 ? Offsets{40, 44, 48, 52, 56, 80, 92, 96, 112, 116, 120, 136, 192}
                                                : Offsets{20, 24, 28, 32, 36, 48, 60, 64, 72, 76, 80, 88, 144};

double peakOf(const std::vector<float>& x, std::size_t from = 0) {
    double p = 0.0;
    for (std::size_t i = from; i < x.size(); ++i) p = std::max(p, static_cast<double>(std::fabs(x[i])));
    return p;
}
double rmsOf(const std::vector<float>& x, std::size_t from = 0) {
    double s = 0.0;
    for (std::size_t i = from; i < x.size(); ++i) s += static_cast<double>(x[i]) * x[i];
    return x.size() > from ? std::sqrt(s / static_cast<double>(x.size() - from)) : 0.0;
}
bool allFinite(const std::vector<float>& x) {
    for (float v : x)
        if (!std::isfinite(v)) return false;
    return true;
}

std::vector<float> programme(std::size_t n, double rate, std::uint32_t seed);
int usage();

#if defined(_WIN32) && defined(__i386__)
// Calls the cdecl function `fn` with `count` 32-bit argument words the way a 32-bit Windows host
// may: with the stack pointer aligned to 4 bytes only, here exactly 4 bytes off the 16-byte
// alignment GCC assumes. Code that spills SSE registers to an aligned stack slot without
// realigning the stack faults in such a call.
std::uint32_t callOnMisalignedStack(const void* fn, const std::uint32_t* args, std::uint32_t count) {
    // After the padding and the arguments the call instruction sees esp = 12 (mod 16), so the
    // callee starts at 8 (mod 16) instead of 12.
    std::uint32_t pad = (4u - 4u * count) & 15u;
    std::uint32_t result;
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "andl $-16, %%esp\n\t"
        "subl %%edx, %%esp\n\t"
        "1:\n\t"
        "testl %%ecx, %%ecx\n\t"
        "jz 2f\n\t"
        "pushl -4(%%edi,%%ecx,4)\n\t"
        "decl %%ecx\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "call *%%ebx\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result), "+c"(count), "+d"(pad)
        : "D"(args), "b"(fn)
        : "esi", "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
    return result;
}

std::uint32_t word(const void* p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

// Resumes and processes `input` through calls on a misaligned stack only.
std::vector<float> renderOnMisalignedStack(AEffect* record, const std::vector<float>& input) {
    const std::uint32_t suspend[6] = {word(record), effMainsChanged, 0, 0, 0, 0};
    const std::uint32_t resume[6] = {word(record), effMainsChanged, 0, 1, 0, 0};
    callOnMisalignedStack(reinterpret_cast<const void*>(record->dispatcher), suspend, 6);
    callOnMisalignedStack(reinterpret_cast<const void*>(record->dispatcher), resume, 6);
    const std::size_t n = input.size();
    std::vector<float> in(input), silent(n, 0.0f), left(n, 0.0f), right(n, 0.0f);
    for (std::size_t at = 0; at < n; at += 512) {
        const std::size_t size = std::min<std::size_t>(512, n - at);
        float* ins[2] = {in.data() + at, silent.data() + at};
        float* outs[2] = {left.data() + at, right.data() + at};
        const std::uint32_t args[4] = {word(record), word(ins), word(outs), static_cast<std::uint32_t>(size)};
        callOnMisalignedStack(reinterpret_cast<const void*>(record->processReplacing), args, 4);
    }
    std::vector<float> out(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
    }
    return out;
}
#endif

int check(const std::string& path) {
    LoadedModule module(path);
    expect(module.loaded(), "module loads", module.error());
    if (!module.loaded()) return 1;
    const PluginEntryProc entry = module.entry();
    expect(entry != nullptr, "VSTPluginMain is exported", module.error());
    if (!entry) return 1;

    // Hosts without a callback, or too old to answer the version query, get no instance.
    expect(entry(nullptr) == nullptr, "no instance without a host callback");
    hostVersion = 0;
    expect(entry(&hostCallback) == nullptr, "no instance for a host that answers version 0");
    hostVersion = kVstVersion;

    {
        hostCalls = 0;
        AEffect* record = entry(&hostCallback);
        expect(record != nullptr, "VSTPluginMain returns a record");
        if (!record) return 1;
        // The callback crossed the boundary with the right convention and arguments.
        expect(hostCalls >= 1 && firstHostOpcode == audioMasterVersion, "the entry asks the host for its version first",
               show(firstHostOpcode));
        const Offsets& o = kOffsets;
        expect(sizeof(AEffect) == o.size, "record size for this pointer size", show(sizeof(AEffect)));
        expect(fieldAt<VstInt32>(record, 0) == 0x56737450, "magic is 'VstP'", show(fieldAt<VstInt32>(record, 0)));
        expect(fieldAt<VstInt32>(record, o.numPrograms) == 1, "one program");
        expect(fieldAt<VstInt32>(record, o.numParams) == kParameterCount, "20 parameters",
               show(fieldAt<VstInt32>(record, o.numParams)));
        expect(fieldAt<VstInt32>(record, o.numInputs) == 2, "two inputs", show(fieldAt<VstInt32>(record, o.numInputs)));
        expect(fieldAt<VstInt32>(record, o.numOutputs) == 2, "two outputs",
               show(fieldAt<VstInt32>(record, o.numOutputs)));
        expect(fieldAt<VstInt32>(record, o.flags) == effFlagsCanReplacing, "flags: replacing processing only",
               show(fieldAt<VstInt32>(record, o.flags)));
        const VstInt32 delay = fieldAt<VstInt32>(record, o.initialDelay);
        expect(delay >= 0 && delay < 44100, "reported latency below a second", show(delay));
        expect(fieldAt<float>(record, o.ioRatio) == 1.0f, "ioRatio 1");
        expect(fieldAt<void*>(record, o.object) != nullptr, "object set");
        expect(fieldAt<VstInt32>(record, o.uniqueID) == kUniqueId, "unique id 'ORVE'",
               show(fieldAt<VstInt32>(record, o.uniqueID)));
        expect(fieldAt<VstInt32>(record, o.version) == 1, "version 1");
        expect(fieldAt<void*>(record, o.processReplacing) != nullptr, "processReplacing set");
        bool futureZero = true;
        for (std::size_t i = 0; i < 56; ++i) futureZero = futureZero && fieldAt<char>(record, o.future + i) == 0;
        expect(futureZero, "reserved tail is zero");
        expect(record->dispatcher(record, effClose, 0, 0, nullptr, 0.0f) == 1, "effClose answers 1");
    }

    Instance effect(entry, 44100.0, kMaxBlock);
    if (!effect.record) return 1;
    expect(effect.call(effGetVstVersion) == kVstVersion, "VST version 2400");
    bool overrun = false;
    const std::string name = effect.text(effGetEffectName, 0, kVstMaxEffectNameLen, &overrun);
    expect(!name.empty() && !overrun, "effect name within its bound", name);
    const std::string vendor = effect.text(effGetVendorString, 0, kVstMaxVendorStrLen, &overrun);
    expect(!vendor.empty() && !overrun, "vendor text within its bound", vendor);
    const std::string product = effect.text(effGetProductString, 0, kVstMaxProductStrLen, &overrun);
    expect(!overrun, "product text within its bound", product);

    for (VstInt32 i = 0; i < kParameterCount; ++i) {
        const std::string n = effect.text(effGetParamName, i, kVstMaxParamStrLen * 8, &overrun);
        expect(!n.empty() && !overrun, "parameter name", show(i) + " '" + n + "'");
        const std::string d = effect.text(effGetParamDisplay, i, kVstMaxParamStrLen * 8, &overrun);
        expect(!d.empty() && !overrun, "parameter display", show(i) + " '" + d + "'");
        const float v = effect.record->getParameter(effect.record, i);
        expect(v >= 0.0f && v <= 1.0f, "normalised default in [0, 1]", show(i));
    }
    expect(effect.text(effGetParamName, kParameterCount, 64) == "IndexOut", "name past the last parameter");
    effect.record->setParameter(effect.record, 5, 0.5f);
    expect(effect.record->getParameter(effect.record, 5) == 0.5f, "a written value reads back");
    effect.record->setParameter(effect.record, 5, 8700.0f / 14000.0f);

    // Audio: the same programme through two fresh instances, once in the host's usual blocks
    // and once in the uneven pattern, must give the same bits; the output is finite, audible
    // and never above the limiter's ceiling.
    const std::vector<float> input = programme(3 * 44100, 44100.0, 5);
    std::vector<float> even, uneven;
    {
        Instance a(entry, 44100.0, kMaxBlock);
        even = a.render(input, {512});
    }
#ifdef ORVEX_HAVE_FLOAT_CONTROL
    const orvex::FloatControlWord control = orvex::floatControl();
#endif
    uneven = effect.render(input, kBlockPattern);
#ifdef ORVEX_HAVE_FLOAT_CONTROL
    expect(orvex::floatControl() == control, "the host's floating-point control word is restored");
#endif
    expect(even.size() == uneven.size() && std::memcmp(even.data(), uneven.data(), even.size() * sizeof(float)) == 0,
           "output does not depend on the block split");
    expect(allFinite(uneven), "output is finite");
    const double peak = peakOf(uneven);
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", peak);
    expect(peak <= kCeiling, "output peak at most -1 dBFS", text);
    const double level = rmsOf(uneven, 44100);
    std::snprintf(text, sizeof text, "%.3g", level);
    expect(level > 0.01, "programme is audible at the output", text);

#if defined(_WIN32) && defined(__i386__)
    {
        // The same programme entered through calls on a 4-byte aligned stack: it must neither
        // fault nor change a bit.
        Instance aligned(entry, 44100.0, kMaxBlock), misaligned(entry, 44100.0, kMaxBlock);
        aligned.call(effMainsChanged, 0, 0);
        aligned.call(effMainsChanged, 0, 1);
        const std::vector<float> expected = aligned.render(input, {512});
        const std::vector<float> got = renderOnMisalignedStack(misaligned.record, input);
        expect(got.size() == expected.size() &&
                   std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)) == 0,
               "calls on a 4-byte aligned stack give the same output");
    }
#endif

    std::vector<float> quiet(44100, 0.0f);
    Instance silentRun(entry, 44100.0, kMaxBlock);
    const std::vector<float> fromSilence = silentRun.render(quiet, kBlockPattern);
    std::snprintf(text, sizeof text, "%.3g", peakOf(fromSilence));
    expect(allFinite(fromSilence) && peakOf(fromSilence) < 1e-3, "silence stays quiet", text);

    std::printf("%s: %s | %s | %s, %d-bit\n", path.c_str(), name.c_str(), vendor.c_str(), product.c_str(),
                static_cast<int>(8 * sizeof(void*)));
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

// ---- parameter list ---------------------------------------------------------------------

std::string hexBits(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    char text[16];
    std::snprintf(text, sizeof text, "%08" PRIx32, bits);
    return text;
}

int params(const std::string& path, const std::string& outPath) {
    LoadedModule module(path);
    if (!module.loaded() || !module.entry()) {
        std::fprintf(stderr, "%s\n", module.error().c_str());
        return 1;
    }
    Instance effect(module.entry(), 44100.0, kMaxBlock);
    if (!effect.record) return 1;
    // The record's fixed fields first, then per parameter: index, name, label, default value
    // (bits) and display, then the displays at a few normalised values, which exercises each
    // platform's number formatting.
    const AEffect& r = *effect.record;
    std::string out = "record\t" + std::to_string(r.numPrograms) + "\t" + std::to_string(r.numParams) + "\t" +
                      std::to_string(r.numInputs) + "\t" + std::to_string(r.numOutputs) + "\t" +
                      std::to_string(r.flags) + "\t" + std::to_string(r.initialDelay) + "\t" +
                      std::to_string(r.uniqueID) + "\t" + std::to_string(r.version) + "\n";
    for (VstInt32 i = 0; i < kParameterCount; ++i) {
        const float saved = effect.record->getParameter(effect.record, i);
        std::vector<std::string> fields = {std::to_string(i), effect.text(effGetParamName, i, 64),
                                           effect.text(effGetParamLabel, i, 64), hexBits(saved),
                                           effect.text(effGetParamDisplay, i, 64)};
        for (float v : {0.0f, 0.137f, 0.5f, 0.731f, 1.0f}) {
            effect.record->setParameter(effect.record, i, v);
            fields.push_back(effect.text(effGetParamDisplay, i, 64));
        }
        effect.record->setParameter(effect.record, i, saved);
        for (std::size_t f = 0; f < fields.size(); ++f) {
            if (f) out.push_back('\t');
            out.append(fields[f]);
        }
        out.push_back('\n');
    }
    std::fputs(out.c_str(), stdout);
    if (!outPath.empty()) {
        std::FILE* f = std::fopen(outPath.c_str(), "wb");
        if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size()) {
            std::fprintf(stderr, "cannot write %s\n", outPath.c_str());
            if (f) std::fclose(f);
            return 1;
        }
        std::fclose(f);
    }
    return 0;
}

// ---- signals and files ------------------------------------------------------------------

// Programme-like test material: speech-like noise bursts, tones with note envelopes over a bass
// line, a loud passage well above the limiter's ceiling, a quiet passage and pauses. Fully
// determined by the seed, so every platform can be fed the same file.
std::vector<float> programme(std::size_t n, double rate, std::uint32_t seed) {
    std::vector<float> x(n, 0.0f);
    std::uint32_t state = seed * 2654435761u + 1u;
    auto uniform = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 8388608.0 - 1.0;
    };
    const double pi = 3.14159265358979323846;
    double lowpassed = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double section = std::fmod(t, 6.0);
        double v = 0.0;
        if (section < 1.5) {
            // Noise bursts at a syllable rate, low-passed to a voice-like spectrum.
            lowpassed += 0.15 * (uniform() - lowpassed);
            const double syllable = std::sin(pi * std::fmod(t * 4.0, 1.0));
            v = 0.5 * lowpassed * syllable * syllable;
        } else if (section < 3.5) {
            const double notes[] = {220.0, 277.18, 329.63, 440.0, 554.37, 659.26, 880.0, 1318.5};
            const double at = std::fmod(t * 3.0, 1.0);
            const double f = notes[static_cast<std::size_t>(t * 3.0) % 8];
            v = 0.3 * std::exp(-3.0 * at) * (std::sin(2 * pi * f * t) + 0.3 * std::sin(4 * pi * f * t)) +
                0.25 * std::sin(2 * pi * 55.0 * t) + 0.02 * uniform();
        } else if (section < 4.0) {
            v = 0.0;
        } else if (section < 5.2) {
            // Loud: a full-scale chord with clipped noise, far above the ceiling.
            v = 0.5 * std::sin(2 * pi * 110.0 * t) + 0.35 * std::sin(2 * pi * 1760.0 * t) + 0.3 * uniform();
            v = std::max(-1.0, std::min(1.0, v));
        } else {
            v = 0.003 * std::sin(2 * pi * 1000.0 * t) + 0.001 * uniform();
        }
        x[i] = static_cast<float>(v);
    }
    return x;
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The samples of a float32 WAV file held in `bytes`; false for any other WAV encoding.
bool wavFloats(const std::vector<unsigned char>& bytes, std::vector<float>& x) {
    std::size_t at = 12;
    bool isFloat = false;
    while (at + 8 <= bytes.size()) {
        const unsigned char* chunk = bytes.data() + at;
        const std::size_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && at + 8 + size <= bytes.size()) {
            const unsigned tag = chunk[8] | chunk[9] << 8, bits = chunk[22] | chunk[23] << 8;
            const unsigned sub = size >= 40 ? static_cast<unsigned>(chunk[32] | chunk[33] << 8) : 0;
            isFloat = bits == 32 && (tag == 3 || (tag == 0xFFFE && sub == 3));
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!isFloat) return false;
            const std::size_t n = std::min(size, bytes.size() - at - 8) / 4;
            x.assign(n, 0.0f);
            std::memcpy(x.data(), chunk + 8, n * 4);
            return true;
        }
        at += 8 + size + (size & 1);
    }
    return false;
}

bool readFloats(const std::string& path, std::vector<float>& x) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<unsigned char> bytes;
    unsigned char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.insert(bytes.end(), buffer, buffer + n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return false;
    if (bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 && std::memcmp(bytes.data() + 8, "WAVE", 4) == 0)
        return wavFloats(bytes, x);
    if (bytes.size() % 4 != 0) return false;
    x.assign(bytes.size() / 4, 0.0f);
    std::memcpy(x.data(), bytes.data(), bytes.size());
    return true;
}

bool writeFloats(const std::string& path, const std::vector<float>& x) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(x.data(), 4, x.size(), f) == x.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<float> tone(std::size_t n, double rate) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = static_cast<float>(0.1 * std::sin(2.0 * 3.14159265358979323846 * 1000.0 * static_cast<double>(i) / rate));
    return x;
}

int signal(const std::string& outPath, double seconds, double rate, const std::string& kind) {
    if (!(seconds > 0) || !(rate > 0) || (kind != "programme" && kind != "tone")) return usage();
    const auto n = static_cast<std::size_t>(seconds * rate);
    if (!writeFloats(outPath, kind == "tone" ? tone(n, rate) : programme(n, rate, 1))) {
        std::fprintf(stderr, "cannot write %s\n", outPath.c_str());
        return 1;
    }
    return 0;
}

int render(const std::string& path, const std::string& inPath, const std::string& outPath, double rate,
           const std::vector<std::pair<int, float>>& settings) {
    std::vector<float> input;
    if (!readFloats(inPath, input)) {
        std::fprintf(stderr, "cannot read %s\n", inPath.c_str());
        return 1;
    }
    LoadedModule module(path);
    if (!module.loaded() || !module.entry()) {
        std::fprintf(stderr, "%s\n", module.error().c_str());
        return 1;
    }
    Instance effect(module.entry(), rate, kMaxBlock);
    if (!effect.record) return 1;
    for (const auto& [index, value] : settings) effect.record->setParameter(effect.record, index, value);
    const std::vector<float> out = effect.render(input, kBlockPattern);
    if (!writeFloats(outPath, out)) {
        std::fprintf(stderr, "cannot write %s\n", outPath.c_str());
        return 1;
    }
    std::printf("rendered %zu frames at %.0f Hz: peak %.6f, rms %.6f\n", input.size(), rate, peakOf(out), rmsOf(out));
    return 0;
}

int compare(const std::string& aPath, const std::string& bPath, double tolerance, double rmsTolerance,
            std::size_t from) {
    std::vector<float> a, b;
    if (!readFloats(aPath, a) || !readFloats(bPath, b)) {
        std::fprintf(stderr, "cannot read %s or %s\n", aPath.c_str(), bPath.c_str());
        return 1;
    }
    if (a.size() != b.size() || a.size() <= from) {
        std::printf("FAILED: %s has %zu samples, %s has %zu (compared from %zu)\n", aPath.c_str(), a.size(),
                    bPath.c_str(), b.size(), from);
        return 1;
    }
    double largest = 0.0, sum = 0.0;
    std::size_t at = 0, identical = 0;
    bool finite = true;
    for (std::size_t i = from; i < a.size(); ++i) {
        finite = finite && std::isfinite(a[i]) && std::isfinite(b[i]);
        const double d = std::fabs(static_cast<double>(a[i]) - b[i]);
        if (d > largest || std::isnan(d)) {
            largest = d;
            at = i;
        }
        sum += d * d;
        identical += std::memcmp(&a[i], &b[i], sizeof(float)) == 0;
    }
    const std::size_t count = a.size() - from;
    const double rmsDiff = std::sqrt(sum / static_cast<double>(count));
    std::printf("%zu samples from %zu, %zu bit-identical; largest difference %.3g (%.1f dB) at sample %zu, rms %.3g\n",
                count, from, identical, largest, 20.0 * std::log10(std::max(largest, 1e-30)), at, rmsDiff);
    bool ok = finite;
    if (!finite) std::printf("FAILED: a sample is not finite\n");
    if (largest > tolerance) {
        std::printf("FAILED: largest difference above %.3g\n", tolerance);
        ok = false;
    }
    if (rmsTolerance >= 0 && rmsDiff > rmsTolerance) {
        std::printf("FAILED: rms difference above %.3g\n", rmsTolerance);
        ok = false;
    }
    return ok ? 0 : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: orvex_probe check MODULE\n"
                 "       orvex_probe params MODULE [OUT.txt]\n"
                 "       orvex_probe signal OUT.f32 [SECONDS] [RATE] [programme|tone]\n"
                 "       orvex_probe render MODULE IN.f32 OUT.f32 [--rate HZ] [--set INDEX=VALUE]...\n"
                 "       orvex_probe compare A.f32 B.f32 TOLERANCE [--rms TOLERANCE] [--from SAMPLE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage();
    const std::string& command = args[0];
    if (command == "check" && args.size() == 2) return check(args[1]);
    if (command == "params" && (args.size() == 2 || args.size() == 3))
        return params(args[1], args.size() == 3 ? args[2] : std::string());
    if (command == "signal" && args.size() >= 2 && args.size() <= 5)
        return signal(args[1], args.size() > 2 ? std::atof(args[2].c_str()) : 6.0,
                      args.size() > 3 ? std::atof(args[3].c_str()) : 44100.0, args.size() > 4 ? args[4] : "programme");
    if (command == "render" && args.size() >= 4) {
        double rate = 44100.0;
        std::vector<std::pair<int, float>> settings;
        for (std::size_t i = 4; i < args.size(); ++i) {
            if (args[i] == "--rate" && i + 1 < args.size()) {
                rate = std::atof(args[++i].c_str());
            } else if (args[i] == "--set" && i + 1 < args.size()) {
                const std::string& s = args[++i];
                const std::size_t eq = s.find('=');
                if (eq == std::string::npos) return usage();
                settings.emplace_back(std::atoi(s.substr(0, eq).c_str()),
                                      static_cast<float>(std::atof(s.substr(eq + 1).c_str())));
            } else {
                return usage();
            }
        }
        if (!(rate > 0)) return usage();
        return render(args[1], args[2], args[3], rate, settings);
    }
    if (command == "compare" && args.size() >= 4) {
        double rmsTolerance = -1.0;
        std::size_t from = 0;
        for (std::size_t i = 4; i < args.size(); ++i) {
            if (args[i] == "--rms" && i + 1 < args.size()) {
                rmsTolerance = std::atof(args[++i].c_str());
            } else if (args[i] == "--from" && i + 1 < args.size()) {
                from = static_cast<std::size_t>(std::strtoull(args[++i].c_str(), nullptr, 10));
            } else {
                return usage();
            }
        }
        return compare(args[1], args[2], std::atof(args[3].c_str()), rmsTolerance, from);
    }
    return usage();
}

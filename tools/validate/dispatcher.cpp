// The validator's "dispatcher" group: every opcode of the dispatcher with edge-case arguments.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

namespace {

enum class ArgKind {
    Plain,         // no pointer meaning: ptr gets a zeroed scratch buffer
    TextOut,       // ptr is a text buffer the plug-in fills
    TextIn,        // ptr is a text the plug-in reads
    Struct,        // ptr is a structure of `size` bytes
    Skip,
};

struct OpcodeShape {
    ArgKind kind = ArgKind::Plain;
    std::size_t size = 0;         // TextOut: bound; Struct: size
    std::size_t lenient = 0;      // TextOut: the bound hosts commonly allow
    const char* why = "";         // Skip: the reason
};

OpcodeShape shapeOf(int opcode, bool hasEditor) {
    switch (opcode) {
        case effClose: return {ArgKind::Skip, 0, 0, "closes and destroys the instance; every instance here ends with it"};
        case effEditOpen: return {ArgKind::Skip, 0, 0, "needs a host window"};
        case effEditGetRect:
        case effEditClose:
        case effEditDraw:
        case effEditMouse:
        case effEditKey:
        case effEditIdle:
        case effEditTop:
        case effEditSleep:
        case effEditKeyDown:
        case effEditKeyUp:
        case effSetEditKnobMode:
            if (hasEditor) return {ArgKind::Skip, 0, 0, "needs an open editor window"};
            if (opcode == effEditGetRect) return {ArgKind::Struct, sizeof(ERect*)};
            if (opcode == effEditDraw) return {ArgKind::Struct, sizeof(ERect)};
            return {};
        case effSetProgramName: return {ArgKind::TextIn};
        case effCanDo: return {ArgKind::TextIn};
        case effString2Parameter: return {ArgKind::TextIn};
        case effGetProgramName:
        case effGetProgramNameIndexed: return {ArgKind::TextOut, kVstMaxProgNameLen, kVstMaxProgNameLen};
        case effGetParamLabel:
        case effGetParamDisplay:
        case effGetParamName: return {ArgKind::TextOut, kVstMaxParamStrLen, 64};
        case effGetEffectName: return {ArgKind::TextOut, kVstMaxEffectNameLen, kVstMaxEffectNameLen};
        case effGetVendorString: return {ArgKind::TextOut, kVstMaxVendorStrLen, kVstMaxVendorStrLen};
        case effGetProductString: return {ArgKind::TextOut, kVstMaxProductStrLen, kVstMaxProductStrLen};
        case effShellGetNextPlugin: return {ArgKind::TextOut, kVstMaxProductStrLen, kVstMaxProductStrLen};
        case effGetErrorText: return {ArgKind::TextOut, 255, 255};
        case effGetChunk: return {ArgKind::Struct, sizeof(void*)};
        case effGetInputProperties:
        case effGetOutputProperties: return {ArgKind::Struct, sizeof(VstPinProperties)};
        case effGetParameterProperties: return {ArgKind::Struct, sizeof(VstParameterProperties)};
        case effGetMidiProgramName:
        case effGetCurrentMidiProgram: return {ArgKind::Struct, sizeof(MidiProgramName)};
        case effGetMidiProgramCategory: return {ArgKind::Struct, sizeof(MidiProgramCategory)};
        case effGetMidiKeyName: return {ArgKind::Struct, sizeof(MidiKeyName)};
        case effBeginLoadBank:
        case effBeginLoadProgram: return {ArgKind::Struct, sizeof(VstPatchChunkInfo)};
        case effOfflineNotify: return {ArgKind::Struct, sizeof(VstAudioFile)};
        case effOfflinePrepare:
        case effOfflineRun: return {ArgKind::Struct, sizeof(VstOfflineTask)};
        default: return {};
    }
}

struct EdgeArgs {
    VstInt32 index;
    VstIntPtr value;
    float opt;
};

std::vector<EdgeArgs> edgeArguments(int params, bool full) {
    const std::vector<VstInt32> indexes = {0, 1, -1, params, INT32_MAX, INT32_MIN};
    const std::vector<VstIntPtr> values = {0, 1, -1, 0x7FFFFFFF};
    const std::vector<float> opts = {0.0f, 1.0f, std::numeric_limits<float>::quiet_NaN()};
    std::vector<EdgeArgs> out;
    if (full) {
        for (auto i : indexes)
            for (auto v : values)
                for (auto o : opts) out.push_back({i, v, o});
    } else {
        for (std::size_t k = 0; k < indexes.size() + 2; ++k)
            out.push_back({indexes[k % indexes.size()], values[k % values.size()], opts[k % opts.size()]});
    }
    return out;
}

// Calls `opcode` with edge-case arguments and well-formed buffers; returns problems found.
void sweepOpcode(Context& ctx, Rig& rig, int opcode, const OpcodeShape& shape) {
    PluginInstance& inst = rig.instance;
    const int params = inst.parameterCount();
    std::vector<unsigned char> buf(kScratch);
    CheckStatus worst = CheckStatus::Pass;
    std::string problem;
    std::string answers;
    auto note = [&](CheckStatus s, const std::string& why) {
        if (s == CheckStatus::Fail && worst != CheckStatus::Fail) {
            worst = s;
            problem = why;
        } else if (s == CheckStatus::Warn && worst == CheckStatus::Pass) {
            worst = s;
            problem = why;
        }
    };
    auto remember = [&](VstIntPtr r) {
        const std::string t = std::to_string(static_cast<long long>(r));
        if (answers.size() < 60 && answers.find(" " + t + ",") == std::string::npos) answers += " " + t + ",";
    };
    int calls = 0;
    auto call = [&](VstInt32 index, VstIntPtr value, void* ptr, float opt) {
        ++calls;
        const VstIntPtr r = inst.dispatch(opcode, index, value, ptr, opt);
        remember(r);
        return r;
    };

    std::vector<EdgeArgs> args = edgeArguments(params, ctx.limits.fullDispatcherProduct);
    switch (opcode) {
        case effSetSampleRate:
            args.clear();
            for (float rate : {0.0f, -1.0f, 1.0f, 8000.0f, 384000.0f, std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()})
                args.push_back({0, 0, rate});
            break;
        case effSetBlockSize:
            args.clear();
            for (VstIntPtr b : {0, -1, 1, 7, 65536}) args.push_back({0, b, 0.0f});
            break;
        case effSetChunk:
            args.clear();
            for (VstIntPtr size : {0, 16, 4096})
                for (VstInt32 isPreset : {0, 1}) args.push_back({isPreset, size, 0.0f});
            break;
        case effOfflineNotify:
        case effOfflinePrepare:
        case effOfflineRun:
        case effProcessVarIo:
            // value counts the structures behind ptr: one.
            for (auto& a : args) a.value = 1;
            break;
        default: break;
    }

    if (opcode == effProcessEvents) {
        // Well-formed lists: empty, and one with every kind of event a host sends, frame
        // offsets at both ends of the block.
        VstMidiEvent midi[6]{};
        const unsigned char bytes[6][3] = {{0x90, 60, 100}, {0x90, 61, 0}, {0x80, 60, 64},
                                           {0xB0, 123, 0},  {0xE0, 127, 127}, {0xF8, 0, 0}};
        char dump[6] = {static_cast<char>(0xF0), 0x7E, 0x7F, 0x09, 0x01, static_cast<char>(0xF7)};
        VstMidiSysexEvent sysex{};
        sysex.type = kVstSysExType;
        sysex.byteSize = sizeof(VstMidiSysexEvent);
        sysex.dumpBytes = sizeof dump;
        sysex.sysexDump = dump;
        VstEvent other{};
        other.type = 99;
        other.byteSize = sizeof(VstEvent);
        struct {
            VstInt32 numEvents;
            VstIntPtr reserved;
            VstEvent* events[8];
        } list{};
        for (int i = 0; i < 6; ++i) {
            midi[i].type = kVstMidiType;
            midi[i].byteSize = sizeof(VstMidiEvent);
            midi[i].deltaFrames = i == 5 ? 511 : i * 50;
            for (int b = 0; b < 3; ++b) midi[i].midiData[b] = static_cast<char>(bytes[i][b]);
            list.events[i] = reinterpret_cast<VstEvent*>(&midi[i]);
        }
        list.events[6] = reinterpret_cast<VstEvent*>(&sysex);
        list.events[7] = &other;
        SampleStats stats;
        Generator gen(Signal::Noise, 48000, 1 << 30, 25);
        std::vector<float> source;
        for (int n : {0, 8, 8, 1}) {
            list.numEvents = n;
            for (const auto& a : args) {
                call(a.index, a.value, &list, a.opt);
                generate(gen, source, 512);
                rig.process(source.data(), 512, stats);
            }
        }
        if (!stats.clean()) note(CheckStatus::Fail, "output after events: " + stats.text());
    } else if (opcode == effSetSpeakerArrangement || opcode == effGetSpeakerArrangement) {
        for (const auto& a : args) {
            if (opcode == effSetSpeakerArrangement) {
                VstSpeakerArrangement in{}, out{};
                in.type = kSpeakerArrStereo;
                in.numChannels = 2;
                in.speakers[0].type = kSpeakerL;
                in.speakers[1].type = kSpeakerR;
                out = in;
                call(a.index, reinterpret_cast<VstIntPtr>(&in), &out, a.opt);
            } else {
                VstSpeakerArrangement* slots[2] = {nullptr, nullptr};
                call(a.index, reinterpret_cast<VstIntPtr>(&slots[0]), &slots[1], a.opt);
                for (auto* s : slots)
                    if (s && (s->numChannels < 0 || s->numChannels > 64))
                        note(CheckStatus::Fail, formatText("answered an arrangement of %d channels", s->numChannels));
            }
        }
    } else if (opcode == effProcessVarIo) {
        Buffers in(inst.inputs(), 512), out(inst.outputs(), 512);
        VstInt32 inDone = 0, outDone = 0;
        for (const auto& a : args) {
            VstVariableIo io{in.pointers(), out.pointers(), 512, 512, &inDone, &outDone};
            call(a.index, a.value, &io, a.opt);
        }
    } else {
        for (const auto& a : args) {
            switch (shape.kind) {
                case ArgKind::TextOut: {
                    std::fill(buf.begin(), buf.end(), kTextCanary);
                    call(a.index, a.value, buf.data(), a.opt);
                    const TextVerdict v = judgeText(inspectText(buf), shape.size, shape.lenient);
                    if (v.status != CheckStatus::Pass) note(v.status, formatText("index %d: ", a.index) + v.why);
                    break;
                }
                case ArgKind::TextIn: {
                    const std::string longText(300, 'x');
                    const char* texts[] = {"", "0.5", "receiveVstMidiEvent", "plugAsChannelInsert", longText.c_str()};
                    for (const char* t : texts) {
                        std::fill(buf.begin(), buf.end(), 0);
                        std::strcpy(reinterpret_cast<char*>(buf.data()), t);
                        call(a.index, a.value, buf.data(), a.opt);
                    }
                    break;
                }
                case ArgKind::Struct: {
                    std::fill(buf.begin(), buf.end(), kTextCanary);
                    std::fill(buf.begin(), buf.begin() + static_cast<long>(shape.size), 0);
                    if (opcode == effGetMidiProgramName || opcode == effGetMidiKeyName) {
                        // The structure says which program it asks about: a valid one and not.
                        const VstInt32 program = a.index == 0 || a.index == 1 ? 0 : a.index;
                        std::memcpy(buf.data(), &program, sizeof program);
                    }
                    call(a.index, a.value, buf.data(), a.opt);
                    for (std::size_t i = shape.size; i < buf.size(); ++i)
                        if (buf[i] != kTextCanary) {
                            note(CheckStatus::Fail, formatText("index %d: wrote at byte %zu past a %zu-byte structure",
                                                           a.index, i, shape.size));
                            break;
                        }
                    break;
                }
                case ArgKind::Plain:
                case ArgKind::Skip:
                    std::fill(buf.begin(), buf.end(), 0);
                    call(a.index, a.value, buf.data(), a.opt);
                    break;
            }
        }
    }

    // Whatever the arguments did, a host that sets the instance up again gets sound.
    inst.dispatch(effMainsChanged, 0, 0);
    inst.dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    inst.dispatch(effSetBlockSize, 0, 512);
    inst.dispatch(effSetProgram, 0, 0);
    inst.dispatch(effMainsChanged, 0, 1);
    Generator gen(Signal::Noise, 48000, 1 << 30, static_cast<std::uint64_t>(opcode));
    std::vector<float> source;
    SampleStats stats;
    for (int k = 0; k < 4; ++k) {
        generate(gen, source, 512);
        rig.process(source.data(), 512, stats);
    }
    if (!stats.clean()) note(CheckStatus::Fail, "output afterwards: " + stats.text());
    if (!answers.empty()) answers.pop_back();
    std::string detail = formatText("%d calls, answers%s", calls, answers.c_str());
    if (!problem.empty()) detail += "; " + problem;
    ctx.result(worst, detail);
}

}  // namespace

void runDispatcher(Context& ctx) {
    // One instance for the whole sweep, as a host keeps one; a crash restarts with the next
    // opcode in a new child. What the plug-in prints about odd requests would bury the report,
    // so a child sends its standard error to /dev/null (in-process runs and sanitizer builds
    // keep it, for the sanitizers' reports).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool kKeepStderr = true;
#else
    constexpr bool kKeepStderr = false;
#endif
    if (ctx.options.isolate && !kKeepStderr) {
        if (FILE* null = std::fopen("/dev/null", "w")) {
            ::dup2(::fileno(null), STDERR_FILENO);
            std::fclose(null);
        }
    }
    std::unique_ptr<Rig> rig;
    for (int opcode = 0; opcode < 128; ++opcode) {
        if (!ctx.begin(opcode, formatText("opcode %d", opcode))) continue;
        if (!rig) rig = std::make_unique<Rig>(ctx.library, 48000, 512, 512);
        const OpcodeShape shape = shapeOf(opcode, rig->instance.effect()->flags & effFlagsHasEditor);
        if (shape.kind == ArgKind::Skip) {
            ctx.skip(shape.why);
            continue;
        }
        sweepOpcode(ctx, *rig, opcode, shape);
    }
}

}  // namespace orvex::tools::validation

#include "tools/common/vst_loader.h"

#include "plugin/meter_request.h"

#include <sys/stat.h>
#if defined(_WIN32)
#include "tools/common/windows_error.h"
#else
#include <dlfcn.h>
#include <link.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orvex::tools {
namespace {

// The host state of the instance being created: the entry point calls back before the record
// exists, so the state cannot come from the record yet.
thread_local HostState* tCreating = nullptr;

// Set on the thread that processes for a live host: the plug-in asks which thread it is on.
thread_local bool tAudioThread = false;

HostState* stateFor(AEffect* effect) {
    // While the entry point runs, the record's host field is not ours yet (whatever the plug-in
    // left there), so the state of the instance being created answers.
    if (tCreating) return tCreating;
    return effect ? reinterpret_cast<HostState*>(effect->resvd1) : nullptr;
}

#if defined(_WIN32)
std::wstring widen(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}

std::string lastErrorText() { return windowsErrorText(); }

std::string fullPath(const std::string& path) {
    char full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full, n) : path;
}
#else
std::string realPath(const std::string& path) {
    char* r = ::realpath(path.c_str(), nullptr);
    std::string s = r ? std::string(r) : path;
    std::free(r);
    return s;
}
#endif

void copyText(void* ptr, const char* text, std::size_t bound) {
    if (!ptr) return;
    std::strncpy(static_cast<char*>(ptr), text, bound);
    static_cast<char*>(ptr)[bound] = '\0';
}

bool hostCanDo(const char* what) {
    // What this host offers: transport information and plug-in controlled parameters.
    static const char* const kYes[] = {"sendVstTimeInfo", "supplyIdle", "reportConnectionChanges",
                                       "acceptIOChanges"};
    for (const char* yes : kYes)
        if (std::strcmp(what, yes) == 0) return true;
    return false;
}

void fillTime(HostState& s) {
    VstTimeInfo& t = s.time;
    t = VstTimeInfo{};
    t.samplePos = s.samplePos;
    t.sampleRate = s.rate;
    t.tempo = 120.0;
    t.ppqPos = s.samplePos / s.rate * t.tempo / 60.0;
    t.barStartPos = 4.0 * static_cast<double>(static_cast<long long>(t.ppqPos / 4.0));
    t.timeSigNumerator = 4;
    t.timeSigDenominator = 4;
    t.flags = kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid |
              (s.processing || s.realtime ? kVstTransportPlaying : 0);
}

}  // namespace

VstIntPtr VSTCALLBACK hostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                   void* ptr, float opt) {
    (void)index;
    (void)value;
    (void)opt;
    HostState* s = stateFor(effect);
    if (s && !s->realtime && s->requests.size() < HostState::kRequestLog) s->requests.push_back(opcode);
    switch (opcode) {
        case audioMasterVersion: return kVstVersion;
        case audioMasterCurrentId: return effect ? effect->uniqueID : 0;
        case audioMasterWantMidi: return 1;
        case audioMasterGetTime:
            if (!s) return 0;
            fillTime(*s);
            return reinterpret_cast<VstIntPtr>(&s->time);
        case audioMasterIOChanged:
            if (s) s->ioChanged = true;
            return 1;
        case audioMasterGetSampleRate: return s ? static_cast<VstIntPtr>(s->rate) : 44100;
        case audioMasterGetBlockSize: return s ? s->blockSize : 512;
        case audioMasterGetInputLatency:
        case audioMasterGetOutputLatency: return 0;
        case audioMasterGetCurrentProcessLevel:
            if (s && s->realtime) return tAudioThread ? kVstProcessLevelRealtime : kVstProcessLevelUser;
            // Files are rendered, not played: blocks come as fast as the plug-in takes them.
            return s && s->processing ? kVstProcessLevelOffline : kVstProcessLevelUser;
        case audioMasterGetAutomationState: return kVstAutomationOff;
        case audioMasterGetVendorString: copyText(ptr, "Orvex", kVstMaxVendorStrLen); return 1;
        case audioMasterGetProductString:
            copyText(ptr, s ? s->product.c_str() : "orvex-render", kVstMaxProductStrLen);
            return 1;
        case audioMasterGetVendorVersion: return 1000;
        case audioMasterCanDo: return ptr && hostCanDo(static_cast<const char*>(ptr)) ? 1 : 0;
        case audioMasterGetLanguage: return kVstLangEnglish;
        case audioMasterGetDirectory:
            return s ? reinterpret_cast<VstIntPtr>(s->pluginDirectory.c_str()) : 0;
        case audioMasterUpdateDisplay: return 1;
        case audioMasterAutomate:      // parameter changes from the plug-in: nothing to record
        case audioMasterBeginEdit:
        case audioMasterEndEdit:
        case audioMasterIdle:
        case audioMasterProcessEvents:  // MIDI out of the plug-in goes nowhere
        default: return 0;
    }
}

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw PluginError("cannot load plug-in \"" + path + "\": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw PluginError("cannot load plug-in \"" + path + "\": it is a directory");
#if defined(_WIN32)
    // A full path with the altered search order: the DLLs the plug-in imports are looked for in
    // its own folder first, as hosts load plug-ins from their VST folder.
    const std::string resolved = fullPath(path);
    handle_ = reinterpret_cast<void*>(LoadLibraryExW(widen(resolved).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!handle_) throw PluginError("cannot load plug-in \"" + path + "\": " + lastErrorText());
    const auto slash = resolved.find_last_of("/\\");
    directory_ = slash == std::string::npos ? "." : resolved.substr(0, slash);
    // GetProcAddress looks in the library's own export table only.
    auto ownSymbol = [&](const char* name) -> void* {
        return reinterpret_cast<void*>(
            reinterpret_cast<std::uintptr_t>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name)));
    };
#else
    // A name without a slash would send dlopen searching the library path instead.
    const std::string open = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = ::dlopen(open.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = ::dlerror();
        throw PluginError("cannot load plug-in \"" + path + "\": " + (why ? why : "not a loadable library"));
    }
    const std::string resolved = realPath(open);
    const auto slash = resolved.find_last_of('/');
    directory_ = slash == std::string::npos ? "." : resolved.substr(0, slash);

    // Only a symbol defined by this library counts: dlsym also searches the libraries it
    // depends on, and "main" might otherwise be found somewhere else.
    auto ownSymbol = [&](const char* name) -> void* {
        void* sym = ::dlsym(handle_, name);
        if (!sym) return nullptr;
        Dl_info info{};
        struct link_map* map = nullptr;
        if (::dladdr(sym, &info) == 0 || ::dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
        return reinterpret_cast<ElfW(Addr)>(info.dli_fbase) == map->l_addr || realPath(info.dli_fname) == resolved
                   ? sym
                   : nullptr;
    };
#endif
    for (const char* name : {"VSTPluginMain", "main"}) {
        if (void* sym = ownSymbol(name)) {
            entry_ = reinterpret_cast<PluginEntryProc>(sym);
            entryName_ = name;
            break;
        }
    }
    if (!entry_) {
        unload();
        throw PluginError("\"" + path + "\" is not a VST 2.x plug-in: it exports neither VSTPluginMain nor main");
    }
}

PluginLibrary::~PluginLibrary() { unload(); }

void PluginLibrary::unload() {
    if (!handle_) return;
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    ::dlclose(handle_);
#endif
    handle_ = nullptr;
}

PluginInstance::PluginInstance(const PluginLibrary& library, double rate, int blockSize) {
    host_.rate = rate;
    host_.blockSize = blockSize;
    host_.pluginDirectory = library.directory();
    tCreating = &host_;
    AEffect* effect = library.entry()(hostCallback);
    tCreating = nullptr;
    const std::string where = "plug-in \"" + library.path() + "\"";
    if (!effect) throw PluginError(where + " failed to create an effect (" + library.entryName() + " returned null)");
    if (effect->magic != kEffectMagic) throw PluginError(where + " returned a record with a wrong magic number");
    effect->resvd1 = reinterpret_cast<VstIntPtr>(&host_);
    effect_ = effect;
    dispatch(effOpen);
    if (effect_->numOutputs <= 0) {
        dispatch(effClose);
        effect_ = nullptr;
        throw PluginError(where + " has no audio outputs");
    }
    if (!effect_->processReplacing && !effect_->process) {
        dispatch(effClose);
        effect_ = nullptr;
        throw PluginError(where + " offers no audio processing function");
    }
    dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
    dispatch(effSetBlockSize, 0, blockSize);
}

PluginInstance::~PluginInstance() {
    if (!effect_) return;
    if (resumed_) suspend();
    dispatch(effClose);
}

VstIntPtr PluginInstance::dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

bool PluginInstance::readMeters(orvex::MeterSnapshot& out) {
    orvex::MeterSnapshot snapshot{};
    if (dispatch(effVendorSpecific, kMeterRequestIndex, kMeterRequestValue, &snapshot) !=
        static_cast<VstIntPtr>(sizeof snapshot))
        return false;
    out = snapshot;
    return true;
}

std::string PluginInstance::text(VstInt32 opcode, VstInt32 index, std::size_t size) {
    // Many plug-ins write past the nominal bounds (parameter names longer than 8 characters are
    // common), so the buffer is generous and the result is cut at the first zero.
    std::vector<char> buf(size + 256, '\0');
    dispatch(opcode, index, 0, buf.data());
    buf.back() = '\0';
    return std::string(buf.data());
}

std::string PluginInstance::effectName() { return text(effGetEffectName, 0, kVstMaxEffectNameLen); }
std::string PluginInstance::vendor() { return text(effGetVendorString, 0, kVstMaxVendorStrLen); }
std::string PluginInstance::product() { return text(effGetProductString, 0, kVstMaxProductStrLen); }

void PluginInstance::setSampleRate(double rate) {
    host_.rate = rate;
    dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
}

void PluginInstance::setBlockSize(int frames) {
    host_.blockSize = frames;
    dispatch(effSetBlockSize, 0, frames);
}

void PluginInstance::resume() {
    dispatch(effMainsChanged, 0, 1);
    resumed_ = true;
}

void PluginInstance::suspend() {
    dispatch(effMainsChanged, 0, 0);
    resumed_ = false;
}

void PluginInstance::process(float** in, float** out, int frames) {
    // A live host calls this from its audio thread while other threads ask the plug-in things;
    // the flag that tells a render's processing apart from its setup is for offline hosts only.
    const bool live = host_.realtime;
    if (live) tAudioThread = true;
    else host_.processing = true;
    if (effect_->processReplacing && (effect_->flags & effFlagsCanReplacing)) {
        effect_->processReplacing(effect_, in, out, frames);
    } else if (effect_->process) {
        // The accumulating form adds into the outputs.
        for (int c = 0; c < effect_->numOutputs; ++c) std::memset(out[c], 0, sizeof(float) * static_cast<std::size_t>(frames));
        effect_->process(effect_, in, out, frames);
    } else {
        effect_->processReplacing(effect_, in, out, frames);
    }
    host_.samplePos += frames;
    if (!live) host_.processing = false;
}

float PluginInstance::getParameter(int index) { return effect_->getParameter(effect_, index); }
void PluginInstance::setParameter(int index, float value) { effect_->setParameter(effect_, index, value); }
std::string PluginInstance::parameterName(int index) { return text(effGetParamName, index, kVstMaxParamStrLen); }
std::string PluginInstance::parameterLabel(int index) { return text(effGetParamLabel, index, kVstMaxParamStrLen); }
std::string PluginInstance::parameterDisplay(int index) { return text(effGetParamDisplay, index, kVstMaxParamStrLen); }

}  // namespace orvex::tools

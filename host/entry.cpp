// The library's entry: the exported VSTPluginMain, the factory that assembles one effect
// instance, and the load notification that records the module handle.
//
// Threads: VSTPluginMain may run on any host thread, once per instance; instances share nothing
// but the module handle, which is written once while the library loads.
#include "dsp/mydsp.h"
#include "host/vst2.h"
#include "plugin/orvex.h"

#if defined(_WIN32)
#include <windows.h>
#define ORVEX_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#define ORVEX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
// The module handle the loader gave us: the instance handle on Windows, the load address of the
// shared object elsewhere.
void* gModuleHandle = nullptr;
}  // namespace

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
    // Runs under the loader lock: record the handle and nothing else.
    gModuleHandle = instance;
    return TRUE;
}
#else
// Stands in for the Windows load notification: runs once when the shared object is loaded.
__attribute__((constructor)) static void onLibraryLoad() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&onLibraryLoad), &info) != 0) gModuleHandle = info.dli_fbase;
}
#endif

// Creates the processor zero-filled, its empty collection, lets it declare its controls and
// hands both to the effect, which initialises them.
AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
    return orvex::Orvex::create(audioMaster, new orvex::mydsp());
}

ORVEX_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster) {
    // A host that passes no callback cannot be answered; create nothing for it.
    if (!audioMaster) return nullptr;
    if (audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
    AudioEffect* effect = createEffectInstance(audioMaster);
    if (!effect) return nullptr;
    return effect->getAeffect();
}

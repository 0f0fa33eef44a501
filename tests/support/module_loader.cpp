#include "tests/support/module_loader.h"

#include <cstdint>

#if defined(_WIN32)
#include "tools/common/windows_error.h"
#else
#include <dlfcn.h>
#endif

namespace orvex::test {

namespace {

#if defined(_WIN32)
std::string lastErrorText() { return windowsErrorText(); }

std::wstring widen(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}
#else
std::string lastErrorText() {
    const char* text = dlerror();
    return text ? text : "unknown error";
}
#endif

}  // namespace

LoadedModule::LoadedModule(const std::string& path) : path_(path) {
#if defined(_WIN32)
    // Altered search path: the module's own folder is searched for the DLLs it imports, as
    // hosts load plug-ins from their VST folder.
    handle_ = reinterpret_cast<void*>(LoadLibraryExW(widen(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (!handle_) error_ = "cannot load " + path + ": " + lastErrorText();
}

LoadedModule::~LoadedModule() {
    if (!handle_ || keep_) return;
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

void* LoadedModule::symbol(const char* name) {
    if (!handle_) return nullptr;
#if defined(_WIN32)
    // GetProcAddress hands back a generic function pointer; pass it on as an address.
    void* address = reinterpret_cast<void*>(
        reinterpret_cast<std::uintptr_t>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name)));
#else
    dlerror();
    void* address = dlsym(handle_, name);
#endif
    if (!address) error_ = std::string("no symbol ") + name + " in " + path_ + ": " + lastErrorText();
    return address;
}

PluginEntryProc LoadedModule::entry() {
    return reinterpret_cast<PluginEntryProc>(symbol("VSTPluginMain"));
}

}  // namespace orvex::test

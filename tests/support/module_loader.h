#pragma once
// Loads a plug-in module the way a host does on each platform: LoadLibrary/GetProcAddress on
// Windows, dlopen/dlsym elsewhere. Tests that drive the built module through its entry point use
// this instead of calling the platform loader themselves, so they build unchanged for Windows.
#include <string>

#include "host/vst2.h"

namespace orvex::test {

class LoadedModule {
public:
    // Loads the module at `path` (UTF-8). Check loaded(); error() says why it failed.
    explicit LoadedModule(const std::string& path);
    // Unloads the module unless release() was called.
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

    // The address of an exported symbol, or null (error() then names the symbol and the reason).
    void* symbol(const char* name);
    // The VST 2.x entry point, VSTPluginMain; null when the module does not export it.
    PluginEntryProc entry();

    // Keeps the module mapped after this object goes away (for records that outlive it, and so
    // that leak reports can still name its frames).
    void release() { keep_ = true; }

private:
    void* handle_ = nullptr;
    bool keep_ = false;
    std::string path_;
    std::string error_;
};

}  // namespace orvex::test

#include "tools/common/plugin_path.h"

#include <sys/stat.h>
#if defined(_WIN32)
#include "tools/common/windows_api.h"
#else
#include <unistd.h>
#endif

#include <climits>
#include <vector>

#include "tools/common/vst_loader.h"

namespace orvex::tools {
namespace {

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string executableDirectory() {
#if defined(_WIN32)
    std::vector<char> buf(32768, '\0');
    const DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) return ".";
    std::string path(buf.data(), n);
    const auto slash = path.find_last_of("/\\");
#else
    std::vector<char> buf(PATH_MAX + 1, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), PATH_MAX);
    if (n <= 0) return ".";
    std::string path(buf.data(), static_cast<std::size_t>(n));
    const auto slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string defaultPluginPath(const std::string& fileName, const char* buildPath) {
    const std::string dir = executableDirectory();
    std::vector<std::string> candidates = {dir + "/" + fileName, dir + "/../lib/vst/" + fileName,
                                           dir + "/../lib/orvex/" + fileName};
    if (buildPath) candidates.push_back(buildPath);
    for (const auto& c : candidates)
        if (isFile(c)) return c;
    throw PluginError("cannot find the Orvex plug-in " + fileName + " beside " + dir + "; give one with --plugin PATH");
}

}  // namespace orvex::tools

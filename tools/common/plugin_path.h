#pragma once
// Where a program finds the plug-in it runs when none is named: beside the program (a copy or
// an install), in the install tree's library directory, or where the build put it.
#include <string>

namespace orvex::tools {

// The directory of the running program ("." when it cannot be told).
std::string executableDirectory();

// The first of DIR/fileName, DIR/../lib/vst/fileName, DIR/../lib/orvex/fileName and `buildPath`
// (may be null) that is a file, DIR being the program's directory. Throws PluginError saying
// where it looked.
std::string defaultPluginPath(const std::string& fileName, const char* buildPath);

}  // namespace orvex::tools

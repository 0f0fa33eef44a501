#pragma once
// orvex-live's command line.
#include <optional>
#include <string>
#include <vector>

#include "tools/common/audio_file.h"

namespace orvex::live {

struct LiveSetting {
    bool normalised = false;  // --set-normalised rather than --set
    std::string text;         // NAME=VALUE or INDEX=VALUE
};

struct LiveOptions {
    std::string pluginPath;
    bool pluginGiven = false;
    std::string clientName = "orvex";
    std::string serverName;
    std::vector<std::string> inPorts;
    std::vector<std::string> outPorts;  // none or two
    double retrySeconds = 1.0;
    bool noWait = false;
    std::vector<LiveSetting> settings;
    bool listParams = false;
    int oscPort = -1;  // -1: no OSC; 0: any free port
    double oscLeaseSeconds = 30.0;  // a meter subscription not renewed for this long is dropped
    bool meter = false;
    double meterInterval = 10.0;
    std::string recordPath;
    std::optional<tools::SampleFormat> recordFormat;
    double recordBufferSeconds = 10.0;
    bool countAllocations = false;
    bool verbose = false;
    bool help = false;
};

// Throws tools::UsageError for anything malformed.
LiveOptions parseOptions(const std::vector<std::string>& args);

// The recording's container from FILE's extension: WAV or FLAC, the types a recording that may
// be cut short at any moment can be closed validly from; any other name throws FileError.
tools::Container recordingContainer(const std::string& path);

extern const char* const kHelp;

}  // namespace orvex::live

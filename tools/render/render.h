#pragma once
// Rendering an audio file through a VST 2.x plug-in: the input file's channel (or the mix of
// two) feeds the plug-in's inputs, its first two outputs become a stereo file, and both ends are
// measured for the report.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/audio_file.h"
#include "tools/common/loudness.h"
#include "tools/common/params.h"
#include "tools/common/usage_error.h"

namespace orvex::tools {

// How a stereo input becomes the plug-in's mono programme.
enum class InputMode { Mix, Left, Right };

struct RenderTrace;
InputMode parseInputMode(const std::string& text);  // throws UsageError naming the choices
const char* inputModeName(InputMode mode);

struct Setting {
    bool normalised = false;  // --set-normalised rather than --set
    std::string text;         // NAME=VALUE or INDEX=VALUE
};

struct RenderOptions {
    std::string pluginPath;
    std::string inputPath;
    std::string outputPath;
    int blockSize = 512;
    InputMode input = InputMode::Mix;
    std::optional<SampleFormat> format;  // default: 24-bit for integer inputs, float otherwise
    EncoderSettings encoder;             // MP3, Opus and Vorbis outputs
    bool replaceOutput = true;           // false: an existing output is an error, left as it is
    bool keepLatency = false;
    std::vector<Setting> settings;       // applied in this order
    // Called now and then with the fraction done (0..1); may be empty.
    std::function<void(double)> progress;
    // Polled between blocks; returning true abandons the render (no output is left).
    std::function<bool()> cancelled;
    // Gather what the picture of the render shows (RenderReport::trace). The audio is the same
    // either way.
    bool trace = false;
};

struct AppliedSetting {
    int index = 0;
    std::string name;
    float normalised = 0.0f;
    std::string display;  // read back from the rendering instance
    bool exact = true;
    bool atDefault = false;  // the value a fresh instance has
};

struct RenderReport {
    std::string pluginPath;
    std::string pluginName;
    std::string entryName;
    int pluginInputs = 0;
    int pluginOutputs = 0;
    int latency = 0;                 // initialDelay reported by the plug-in
    bool latencyCompensated = true;

    std::string inputPath, outputPath;
    std::string inputFormat, outputFormat;
    int rate = 0;
    int inputChannels = 0;
    std::int64_t frames = 0;         // input length; the output has as many frames
    InputMode inputMode = InputMode::Mix;
    int blockSize = 0;

    LoudnessReport inputLoudness{};
    LoudnessReport outputLoudness{};
    double processingSeconds = 0.0;  // inside the plug-in's processing calls only
    std::int64_t processedFrames = 0;
    double realtimeFactor() const;   // seconds of audio per second of processing

    std::vector<AppliedSetting> settings;

    std::shared_ptr<const RenderTrace> trace;  // with RenderOptions::trace
    std::string plotPath;                      // the picture drawn from it, once written
};

RenderReport render(const RenderOptions& options);
// The same with the plug-in library already loaded (options.pluginPath is not used): several
// threads may render with one library at once, each through an instance of its own.
class PluginLibrary;
class PluginInstance;
RenderReport render(const RenderOptions& options, const PluginLibrary& library);

// The sample format an output of `type` gets: `requested` if given, else 24-bit for an input of
// integer samples and float for others, narrowed to what the type holds.
SampleFormat outputSampleFormat(const FileType& type, std::optional<SampleFormat> requested, bool integerInput);

// Resolves `settings` on a scratch instance (probing moves its parameters) and applies the
// resulting normalised values to `target`. Throws ParameterError for a setting the plug-in
// cannot take.
std::vector<AppliedSetting> applySettings(const PluginLibrary& library, PluginInstance& target,
                                          const std::vector<Setting>& settings, double rate, int block);

// The parameters of a fresh instance, probed on an instance of their own.
std::vector<ParameterInfo> listParameters(const std::string& pluginPath, double rate, int blockSize);

}  // namespace orvex::tools

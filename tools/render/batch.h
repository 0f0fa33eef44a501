#pragma once
// Batch rendering: every audio file among the inputs (files, and folders walked recursively)
// rendered into an output folder that repeats their relative paths, on several worker threads,
// largest file first. Each file is rendered exactly as a one-file render would render it (a
// fresh plug-in instance, the same options), so the outputs do not depend on the number of
// workers. A file that fails is reported on its row and the batch goes on.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/common/audio_file.h"
#include "tools/render/render.h"

namespace orvex::tools {

class PluginLibrary;

struct BatchOptions {
    // Plug-in, block size, input mode, sample format, encoder, settings and latency handling, as
    // for one file; the paths, progress and cancellation of `render` are the batch's own.
    RenderOptions render;
    std::vector<std::string> inputs;  // files and folders
    std::string outDir;
    FileType type;                    // of every output, and its extension
    int jobs = 1;
    bool overwrite = false;
    // Not empty: a picture of every render in this folder, under the input's relative path
    // with the extension .png.
    std::string plotDir;
    // Polled between blocks by every worker; true stops them all (the files under way leave
    // nothing behind, those not started are listed as such).
    std::function<bool()> cancelled;
};

enum class FileStatus { Waiting, Running, Done, Failed, Interrupted };
const char* fileStatusName(FileStatus status);  // "waiting", "running", "done", "failed", "interrupted"

struct BatchFile {
    std::string input;     // the path as found
    std::string relative;  // below its input folder (a file named on the command line: its name)
    std::string output;
    std::string plot;         // with BatchOptions::plotDir
    std::int64_t frames = 0;  // from the header, for the order and the progress
    int rate = 0;
    FileStatus status = FileStatus::Waiting;
    std::string error;        // Failed, Interrupted: the one-line reason
    RenderReport report;      // Done
    double seconds = 0.0;     // wall-clock time of the whole file: decoding, plug-in, encoding
    double audioSeconds() const { return rate > 0 ? static_cast<double>(frames) / rate : 0.0; }
};

struct BatchPlan {
    std::vector<BatchFile> files;       // in the order they are handed out: longest first
    std::vector<std::string> skipped;   // files among the folders that are not audio
};

// Walks the inputs and opens every file found: audio files become rows; other files in folders
// are skipped, and so are hidden files and folders (names starting with a dot) and the output
// folder where it lies inside an input folder. A file with an audio extension that does not
// open, and any file named on the command line that does not, becomes a failed row with the
// reason; so does a row whose output (or picture) exists already, unless `overwrite`. Throws UsageError,
// before anything is written, when two inputs would be written to the same output, an output
// would be its own input, or the output folder is an input folder.
BatchPlan planBatch(const BatchOptions& options);

// Checks the plug-in and the settings once, before the workers start (a plug-in that does not
// load or a setting it rejects would fail every file alike). Throws PluginError or
// ParameterError.
void checkBatchPlugin(const BatchOptions& options, const PluginLibrary& library);

// What the progress display shows; counts are of the plan's rows.
struct BatchProgress {
    int total = 0, done = 0, failed = 0;
    double audioSeconds = 0.0, audioSecondsDone = 0.0;
    double elapsed = 0.0;
    std::vector<std::string> current;  // relative names of the files under way
};

// Renders the plan's waiting rows on `options.jobs` threads, the caller's thread calling
// `tick` a few times a second with the progress until every worker has finished. Returns the
// wall-clock seconds of the whole run.
double runBatch(const BatchOptions& options, const PluginLibrary& library, BatchPlan& plan,
                const std::function<void(const BatchProgress&)>& tick);

}  // namespace orvex::tools

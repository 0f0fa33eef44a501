// orvex-render: runs Orvex (or any VST 2.x plug-in) over an audio file without a DAW and reports
// the loudness of both ends.
#include <sys/stat.h>
#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#include "tools/common/windows_api.h"
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#if defined(__linux__)
#include <sched.h>
#include <sys/ioctl.h>
#endif

#include "tools/common/alloc_counter.h"
#include "tools/common/arg_cursor.h"
#include "tools/common/audio_file.h"
#include "tools/common/params.h"
#include "tools/common/plugin_path.h"
#include "tools/common/vst_loader.h"
#include "tools/render/batch.h"
#include "tools/render/batch_report.h"
#include "tools/render/demo.h"
#include "tools/render/plot.h"
#include "tools/render/plot_trace.h"
#include "tools/render/render.h"
#include "tools/render/report.h"
#include "tools/render/soak.h"
#include "tools/validate/validate.h"

// The validator isolates every group of checks in a child process (fork), which Windows does
// not have; the Windows build renders, lists parameters and soaks, but does not validate.
#if defined(_WIN32)
#define ORVEX_RENDER_VALIDATOR 0
#else
#define ORVEX_RENDER_VALIDATOR 1
#endif

using namespace orvex::tools;

namespace {

const char* const kHelp = R"(Usage:
  orvex-render [OPTIONS] INPUT OUTPUT     render INPUT through the plug-in into OUTPUT
  orvex-render [OPTIONS] INPUT... --out-dir DIR
                                          render every audio file among the INPUTs (files and
                                          folders) into DIR, on every core
  orvex-render --demo [DIR] [OPTIONS]     synthesise a 30-second programme, render it, report
  orvex-render --list-params [--plugin PATH]
  orvex-render --validate [--plugin PATH] [--seed N] [--quick] [--max-peak X]
  orvex-render --soak [--plugin PATH] [--minutes N] [--max-peak X]

INPUT is an audio file libsndfile reads (WAV, FLAC, AIFF, Ogg Vorbis and Opus, MP3, CAF, W64,
...), mono or stereo; its sample rate is the plug-in's rate. OUTPUT holds the plug-in's two
outputs as stereo, as long as the input; its type follows its extension: .wav, .flac, .mp3,
.opus, .ogg (Vorbis), .aiff, .caf, .w64, .rf64, .au and the other types libsndfile writes.
It is written to a temporary file first, so a failed run leaves nothing behind. Every input of
the plug-in receives the mono programme (Orvex reads only its first input).

Batches (--out-dir): folders are walked recursively; the files libsndfile opens are rendered,
other files are skipped and counted (hidden files and folders too; a file with an audio
extension that does not open is a failed row). Each output keeps its input's path below the
folder given (a file given by name: its name) with the extension of the output type, and is
exactly what a one-file render of that input gives. Files are handed to the workers longest
first. A file that cannot be read or written fails on its row with the reason and the rest go
on. An existing output is left alone (its row fails) unless --overwrite; two inputs that would
be written to the same output are refused before anything runs. Ctrl-C or SIGTERM stops the
workers at the next block, removes their unfinished files, keeps the finished ones and prints
the table so far. On a terminal a progress line shows files and audio done, elapsed and
remaining time and the files under way. The table gives, per file, duration, input and output
integrated loudness (LUFS), loudness range (LU) and true peak (dBTP), the speed (seconds of
audio per second of the file's whole render: decoding, plug-in, encoding), the status, and the
totals.

Options:
  --plugin PATH           VST 2.x plug-in library to load (default: the Orvex plug-in installed
                          beside this program)
  --block N               samples per processing call (default 512)
  --input mix|left|right  what a stereo input feeds the plug-in: (L+R)/2 (default), L or R
  --format 16|24|float    output samples: 16- or 24-bit integer or 32-bit float (default 24-bit
                          for integer inputs, float for float and lossy inputs; FLAC is integer
                          only)
  --format TYPE           the output type: wav, flac, mp3, opus, ogg (Vorbis), aiff, caf, ...;
                          for batches (default wav); a one-file OUTPUT's extension must agree.
                          --format may be given once for each of the two kinds
  --bitrate KBPS          MP3: constant bitrate, 8 to 320 (default 192; LAME takes the nearest
                          bitrate the sample rate's MPEG version has); Opus: 6 to 512 (default
                          128)
  --quality Q             MP3: variable bitrate of LAME's quality Q, 0 (best) to 9; Vorbis: 0
                          to 10 (best; default 6)
  --keep-latency          write the raw output stream instead of dropping the plug-in's reported
                          latency from its start
  --set NAME=VALUE        set a parameter in its own units as the plug-in displays it, e.g.
                          --set "Lowpass Filter=12000" or --set "Disable KVLN EQ=on"; NAME may
                          be the parameter's index (--set 5=12000); may be repeated
  --set-normalised INDEX=X
                          set a parameter to the normalised value X (0..1); may be repeated
  --out-dir DIR           render a batch into DIR (created if missing)
  --jobs N                batches: files rendered at once, each by a plug-in instance of its
                          own (default: the number of cores, at most 64)
  --overwrite             batches: replace existing outputs (and pictures)
  --plot FILE             draw a picture of the render into FILE (.png or .svg, 1600 x 900):
                          input and output momentary loudness and the output's true peak over
                          time, and the gain of Orvex's 12 bands as a heat map
  --plot-dir DIR          batches: one picture per file in DIR, under the input's relative path
                          with the extension .png
  --list-params           print every parameter: index, name, unit, range, default, display
  --demo [DIR]            write DIR/demo-in.wav (speech, music, a loud transient, near-silence;
                          48 kHz), render it to DIR/demo-out.wav (DIR defaults to .)
  --validate              run the plug-in through the situations hosts create (every sample rate
                          and block size with noise, sweeps, silence and square waves; automation
                          with out-of-range values; odd calls; two instances; allocations inside
                          processing; a second thread; every opcode with edge-case arguments;
                          denormal timing) and print one line per check; exit status 1 on any FAIL
  --seed N                the validator's random seed (default 1); the same seed, the same run
  --quick                 the reduced validation for CI (well under 20 s for Orvex)
  --max-peak X            validation and soak: output samples must stay at or below X
                          (0.8912509 for Orvex)
  --groups A,B            validate only these groups (identity, matrix, automation, edges,
                          determinism, parameters, allocations, threads, dispatcher, denormals)
  --strict                validation: warnings count as failures
  --no-fork               validation: run the checks in this process (for valgrind and the
                          thread sanitizer); a crashing plug-in then ends the run
  --soak                  render a long programme (speech and music, silences between) in one go,
                          faster than real time, and check that the output stays finite and within
                          the bound, that it dies away in silence and that it does not drift
  --minutes N             length of the soak (default 60)
  --json                  print the report (the batch table, the parameter list) as one JSON
                          document
  --quiet                 no progress display (it appears only when stderr is a terminal anyway)
  -h, --help              this text

Pictures (--plot, --plot-dir): the title names the input file and the controls set away from
their defaults. The upper panel shows the momentary loudness (400 ms, LUFS) of input and output
every 100 ms and the output's true peak (dBTP, the highest in each 100 ms); the lower one the
gain each band's gate and level control apply together (dB, the mean over each 100 ms), band 1
(lowest) at the bottom, darker for less gain. A plug-in without Orvex's meter readout gets the
upper panel only. A picture that cannot be written is an error (exit status 1; in a batch, a
failed row), but the audio written stays.

The report gives, for input and output, integrated loudness (LUFS), loudness range (LU), true
peak (dBTP) and sample peak (dBFS), and the real-time factor of the processing alone (seconds
of audio processed per second spent inside the plug-in).

Lossy outputs and their encoder delay: MP3 encoding delays the sound by 1105 samples (LAME's
576 and the decoder's 529) and pads the end to whole frames; Opus delays it by 312 samples at
48 kHz (its pre-skip). The renderer does not trim audio: both delays are recorded in the file
(the LAME header of the MP3, the Opus header), and decoders that honour them (libsndfile,
ffmpeg, gapless players; every Opus decoder) give back exactly the input's length and timing.
An MP3 decoder that ignores the LAME header plays the 1105 samples (23 ms at 48 kHz) of
silence first and the padding last. Vorbis files carry no such delay. Opus takes 8, 12, 16,
24 and 48 kHz only and MP3 8 to 48 kHz: other rates fail on their row (the renderer does not
resample).

Exit status: 0 on success, 1 when a file or the plug-in fails (batches: when any file failed or
the batch was interrupted; with --validate and --soak, when a check fails), 2 for a malformed
command line (and for a batch whose outputs would collide).
)";

// The report goes here: the original standard output. Standard output itself is pointed at
// standard error while plug-ins are loaded, so that what a plug-in prints cannot corrupt a
// report a script reads (--json).
FILE* gReport = stdout;

// Set by the signal handler, read by the batch's workers: a lock-free atomic is both
// async-signal-safe and visible across threads (a volatile sig_atomic_t is only the first).
std::atomic<int> gInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

void writeStderr(const char* text) {
#if defined(_WIN32)
    const int ignored = ::_write(2, text, static_cast<unsigned>(std::strlen(text)));
#else
    const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
#endif
    (void)ignored;
}

// First interrupt: stop between blocks and clean up. A second one, or a crash (in a plug-in,
// most likely): remove the temporary output now and die of the signal.
void onInterrupt(int sig) {
    if (!gInterrupted.load()) {
        gInterrupted.store(1);
#if defined(_WIN32)
        std::signal(sig, onInterrupt);  // Windows resets a handler to the default once it has run
#endif
        return;
    }
    removeTemporaryFilesNow();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// What a crash says: a batch keeps the outputs it finished.
const char* gFatalMessage = "orvex-render: fatal signal during the render; no output written\n";

void onFatal(int sig) {
    removeTemporaryFilesNow();
    writeStderr(gFatalMessage);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void installSignalHandlers() {
#if defined(_WIN32)
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    for (int sig : {SIGSEGV, SIGILL, SIGFPE, SIGABRT}) std::signal(sig, onFatal);
#else
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = onFatal;
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) sigaction(sig, &sa, nullptr);
#endif
}

void separateReportFromStdout() {
    std::fflush(stdout);
    const int fd = ::dup(STDOUT_FILENO);
    if (fd < 0) return;
    FILE* report = ::fdopen(fd, "w");
    if (!report) {
        ::close(fd);
        return;
    }
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fclose(report);
        return;
    }
    gReport = report;
}

struct Command {
    RenderOptions render;
    bool pluginGiven = false;
    bool demo = false;
    std::string demoDir = ".";
    bool listParams = false;
    bool json = false;
    bool quiet = false;
    bool help = false;
    bool validate = false;
    ValidateOptions validation;
    bool strict = false;
    bool soak = false;
    double soakMinutes = 60.0;
    std::optional<float> maxPeak;
    // Batches, and the output type.
    std::optional<std::string> outDir;
    std::vector<std::string> inputs;
    std::optional<FileType> type;
    std::optional<int> jobs;
    bool overwrite = false;
    // Pictures: one render's, or a batch's folder of them.
    std::optional<std::string> plot;
    std::optional<std::string> plotDir;
};

int parseBlock(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 1 || v > 65536)
        throw UsageError("--block takes a whole number of samples from 1 to 65536, not \"" + text + "\"");
    return static_cast<int>(v);
}

std::uint64_t parseSeed(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0)
        throw UsageError("--seed takes a whole number, not \"" + text + "\"");
    return v;
}

float parsePositive(const std::string& option, const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v > 0.0) || !std::isfinite(v))
        throw UsageError(option + " takes a positive number, not \"" + text + "\"");
    return static_cast<float>(v);
}

int parseWhole(const std::string& option, const std::string& text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high)
        throw UsageError(option + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not \"" + text + "\"");
    return static_cast<int>(v);
}

double parseNumber(const std::string& option, const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v)) throw UsageError(option + " takes a number, not \"" + text + "\"");
    return v;
}

// --format names a sample format or an output type; each may be given once.
void parseFormat(Command& c, const std::string& text) {
    std::optional<SampleFormat> sample;
    try {
        sample = parseSampleFormat(text);
    } catch (const FileError&) {
    }
    if (sample) {
        c.render.format = sample;
        return;
    }
    try {
        c.type = fileTypeNamed(text);
    } catch (const FileError&) {
        throw UsageError("unknown --format \"" + text + "\"; choose 16, 24 or float for the samples, or an output type: " +
                         fileTypeNames());
    }
}

// How many files a batch renders at once by default: the processors this process may run on.
int defaultJobs() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return std::min(CPU_COUNT(&set), 64);
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(std::min(n, 64u));
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ','))
        if (!item.empty()) out.push_back(item);
    return out;
}

Command parse(int argc, char** argv) {
    Command c;
    std::vector<std::string> positional;
    orvex::tools::ArgCursor cur{std::vector<std::string>(argv + 1, argv + argc)};
    while (cur.next()) {
        const std::string& arg = cur.name();
        auto value = [&] { return cur.value(); };
        if (arg == "-h" || arg == "--help") c.help = true;
        else if (arg == "--plugin") { c.render.pluginPath = value(); c.pluginGiven = true; }
        else if (arg == "--block") c.render.blockSize = parseBlock(value());
        else if (arg == "--input") c.render.input = parseInputMode(value());
        else if (arg == "--format") parseFormat(c, value());
        else if (arg == "--bitrate") c.render.encoder.bitrateKbps = parseWhole(arg, value(), 1, 10000);
        else if (arg == "--quality") c.render.encoder.quality = parseNumber(arg, value());
        else if (arg == "--out-dir") c.outDir = value();
        else if (arg == "--jobs" || arg == "-j") c.jobs = parseWhole("--jobs", value(), 1, 64);
        else if (arg == "--overwrite") { cur.flag(); c.overwrite = true; }
        else if (arg == "--plot") c.plot = value();
        else if (arg == "--plot-dir") c.plotDir = value();
        else if (arg == "--keep-latency") { cur.flag(); c.render.keepLatency = true; }
        else if (arg == "--set") c.render.settings.push_back({false, value()});
        else if (arg == "--set-normalised" || arg == "--set-normalized") c.render.settings.push_back({true, value()});
        else if (arg == "--list-params") { cur.flag(); c.listParams = true; }
        else if (arg == "--json") { cur.flag(); c.json = true; }
        else if (arg == "--validate") { cur.flag(); c.validate = true; }
        else if (arg == "--soak") { cur.flag(); c.soak = true; }
        else if (arg == "--quick") { cur.flag(); c.validation.quick = true; }
        else if (arg == "--strict") { cur.flag(); c.strict = true; }
        else if (arg == "--no-fork") { cur.flag(); c.validation.isolate = false; }
        else if (arg == "--seed") c.validation.seed = parseSeed(value());
        else if (arg == "--max-peak") c.maxPeak = parsePositive(arg, value());
        else if (arg == "--minutes") c.soakMinutes = parsePositive(arg, value());
        else if (arg == "--groups") c.validation.groups = splitList(value());
        else if (arg == "--quiet" || arg == "-q") { cur.flag(); c.quiet = true; }
        else if (arg == "--demo") {
            c.demo = true;
            std::string dir;
            if (cur.takeOptionalValue(dir)) c.demoDir = dir;
        }
        else if (arg == "--") {
            const auto rest = cur.rest();
            positional.insert(positional.end(), rest.begin(), rest.end());
            break;
        }
        else if (arg.size() > 1 && arg[0] == '-') throw UsageError("unknown option " + arg + "; see --help");
        else positional.push_back(arg);
    }
    if (c.help) return c;
    const int modes = (c.demo ? 1 : 0) + (c.listParams ? 1 : 0) + (c.validate ? 1 : 0) + (c.soak ? 1 : 0);
    if (modes > 1) throw UsageError("--demo, --list-params, --validate and --soak do not go together");
    if ((c.demo || c.listParams || c.validate || c.soak) && c.outDir)
        throw UsageError("--out-dir renders a batch; it does not go with --demo, --list-params, --validate or --soak");
    if ((c.listParams || c.validate || c.soak) && (c.plot || c.plotDir))
        throw UsageError("--plot and --plot-dir draw renders; they do not go with --list-params, --validate or --soak");
    if (c.plot && c.outDir) throw UsageError("--plot draws one render; a batch takes --plot-dir DIR (one picture per file)");
    if (c.plotDir && !c.outDir) throw UsageError("--plot-dir goes with --out-dir (a batch); one render takes --plot FILE");
    if ((c.plot || c.plotDir) && !plotsSupported()) throw UsageError(plotsUnsupportedReason());
    if (c.plot) plotFormatForPath(*c.plot);
    if (c.plotDir && c.plotDir->empty()) throw UsageError("--plot-dir needs a folder");
    if (c.demo || c.listParams || c.validate || c.soak) {
        if (!positional.empty()) throw UsageError("unexpected argument \"" + positional[0] + "\"; see --help");
    } else if (c.outDir) {
        if (positional.empty()) throw UsageError("give the INPUT files and folders of the batch; see --help");
        if (c.outDir->empty()) throw UsageError("--out-dir needs a folder");
        c.inputs = positional;
        if (!c.type) c.type = FileType(Container::Wav);
    } else {
        if (positional.size() != 2)
            throw UsageError(positional.size() < 2 ? "give an INPUT and an OUTPUT file (or --demo); see --help"
                                                   : "too many arguments: \"" + positional[2] + "\"; see --help");
        if (c.jobs) throw UsageError("--jobs goes with --out-dir (a batch); one file is rendered by one instance");
        c.render.inputPath = positional[0];
        c.render.outputPath = positional[1];
    }
    // The output type against the sample format and the encoder settings, before any work.
    const bool rendering = !(c.listParams || c.validate || c.soak);
    if (rendering && !c.demo) {
        // A one-file OUTPUT of a type nobody writes fails as it always has (status 1).
        const FileType type = c.outDir ? *c.type : fileTypeForPath(c.render.outputPath);
        if (!c.outDir && c.type && !(*c.type == type))
            throw UsageError("--format " + c.type->extension + " asks for " + c.type->name + ", but \"" + c.render.outputPath +
                             "\" is named as " + type.name + "; name the output ." + c.type->extension);
        if (type.encoded() && c.render.format)
            throw UsageError(type.name + " is encoded: --format " + (*c.render.format == SampleFormat::Float32 ? std::string("float")
                             : std::string(*c.render.format == SampleFormat::Pcm16 ? "16" : "24")) +
                             " does not apply; set it with --bitrate or --quality");
        if (c.outDir && c.render.format && !typeHolds(type, *c.render.format))
            throw UsageError(type.name + " files do not hold " + sampleFormatName(*c.render.format) + " samples");
        try {
            checkEncoderSettings(type, c.render.encoder);
        } catch (const FileError& e) {
            throw UsageError(e.what());
        }
    } else if (c.type || c.render.encoder.bitrateKbps || c.render.encoder.quality) {
        if (c.demo) throw UsageError("the demo writes WAV files; --format TYPE, --bitrate and --quality do not apply");
    }
    return c;
}

class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { finish(); }
    void operator()(double fraction) {
        const int percent = static_cast<int>(fraction * 100.0 + 0.5);
        if (!enabled_ || percent == percent_) return;
        percent_ = percent;
        constexpr int kWidth = 40;
        const int filled = static_cast<int>(fraction * kWidth + 0.5);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.resize(kWidth, '-');
        std::fprintf(stderr, "\rrendering [%s] %3d%%", bar.c_str(), percent);
        std::fflush(stderr);
        shown_ = true;
    }
    void finish() {
        if (shown_) std::fprintf(stderr, "\r%60s\r", "");
        shown_ = false;
    }

private:
    bool enabled_;
    bool shown_ = false;
    int percent_ = -1;
};

void ensureDirectory(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw FileError("\"" + dir + "\" is not a directory");
        return;
    }
#if defined(_WIN32)
    if (::_mkdir(dir.c_str()) != 0)
#else
    if (::mkdir(dir.c_str(), 0777) != 0)
#endif
        throw FileError("cannot create the directory \"" + dir + "\": " + std::strerror(errno));
}

int terminalWidth() {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return info.srWindow.Right - info.srWindow.Left + 1;
#elif defined(TIOCGWINSZ)
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    return 80;
}

int runBatchCommand(Command& c) {
    BatchOptions b;
    b.render = c.render;
    b.inputs = c.inputs;
    b.outDir = *c.outDir;
    b.type = *c.type;
    b.jobs = c.jobs.value_or(defaultJobs());
    b.overwrite = c.overwrite;
    b.plotDir = c.plotDir.value_or("");
    b.cancelled = [] { return gInterrupted != 0; };

    // Everything that can be refused is refused before anything is written: colliding outputs,
    // a plug-in that does not load, a setting it does not take.
    BatchPlan plan = planBatch(b);
    std::size_t rows = 0;
    for (const BatchFile& f : plan.files) rows += f.status == FileStatus::Waiting || f.status == FileStatus::Failed;
    if (rows == 0)
        throw FileError("no audio files among the inputs" +
                        (plan.skipped.empty() ? std::string()
                                              : " (" + std::to_string(plan.skipped.size()) +
                                                    (plan.skipped.size() == 1 ? " other file skipped)" : " other files skipped)")));
    PluginLibrary library(b.render.pluginPath);
    checkBatchPlugin(b, library);
    std::error_code ec;
    std::filesystem::create_directories(b.outDir, ec);
    if (ec) throw FileError("cannot create the output folder \"" + b.outDir + "\": " + ec.message());

    gFatalMessage = "orvex-render: fatal signal during the batch; the unfinished outputs were removed, the finished ones kept\n";
    const bool show = !c.quiet && ::isatty(STDERR_FILENO);
    bool shown = false;
    const double seconds = runBatch(b, library, plan, [&](const BatchProgress& p) {
        if (!show) return;
        std::fprintf(stderr, "\r%s\033[K", progressLine(p, terminalWidth()).c_str());
        std::fflush(stderr);
        shown = true;
    });
    if (shown) std::fputs("\r\033[K", stderr);
    const BatchSummary summary{b, plan, seconds, gInterrupted != 0};
    if (c.json) std::fprintf(gReport, "%s\n", batchJson(summary).c_str());
    else std::fputs(batchTable(summary).c_str(), gReport);
    const BatchCounts counts = countRows(plan);
    return counts.failed || counts.interrupted || counts.notStarted || summary.interrupted ? 1 : 0;
}

int run(Command& c) {
    if (c.help) {
        std::fputs(kHelp, gReport);
#if !ORVEX_TOOLS_WITH_SNDFILE
        // The help above describes the full program; this build lacks the library behind it.
        std::fputs("\nThis build has no libsndfile: it reads .wav files only (integer and float samples) and\n"
                   "writes .wav files only (16-bit, 24-bit or float), whatever is said above of other types.\n",
                   gReport);
#endif
        return 0;
    }
    if (!c.pluginGiven) {
#ifdef ORVEX_PLUGIN_BUILD_PATH
        c.render.pluginPath = defaultPluginPath(ORVEX_PLUGIN_FILE_NAME, ORVEX_PLUGIN_BUILD_PATH);
#else
        c.render.pluginPath = defaultPluginPath(ORVEX_PLUGIN_FILE_NAME, nullptr);
#endif
    }

    if (c.validate) {
#if !ORVEX_RENDER_VALIDATOR
        throw UsageError("--validate is not part of the Windows build (it runs each group of checks in a "
                         "child process of its own); validate with the Linux build");
#else
        c.validation.pluginPath = c.render.pluginPath;
        c.validation.maxPeak = c.maxPeak;
        c.validation.allocations = interposedAllocationProbe();
        std::fprintf(gReport, "validating %s (seed %llu%s)\n", c.render.pluginPath.c_str(),
                     static_cast<unsigned long long>(c.validation.seed), c.validation.quick ? ", quick" : "");
        std::fflush(gReport);
        const ValidationSummary s = validate(c.validation, [](const CheckResult& r) {
            std::fprintf(gReport, "%s\n", formatCheck(r).c_str());
            std::fflush(gReport);
        });
        const bool ok = s.failed == 0 && (!c.strict || s.warnings == 0);
        std::fprintf(gReport, "%s: %d checks, %d passed, %d warnings, %d failed, %d skipped in %.1f s\n",
                     ok ? "VALID" : "INVALID", s.total(), s.passed, s.warnings, s.failed, s.skipped, s.seconds);
        return ok ? 0 : 1;
#endif
    }

    if (c.soak) {
        SoakOptions o;
        o.pluginPath = c.render.pluginPath;
        o.minutes = c.soakMinutes;
        o.maxPeak = c.maxPeak;
        const SoakReport r = soak(o, [](const std::string& line) {
            std::fprintf(gReport, "%s\n", line.c_str());
            std::fflush(gReport);
        });
        return r.ok ? 0 : 1;
    }

    if (c.listParams) {
        const auto params = listParameters(c.render.pluginPath, 48000.0, c.render.blockSize);
        if (c.json) printParamsJson(gReport, params);
        else std::fputs(formatParameterTable(params).c_str(), gReport);
        return 0;
    }

    if (c.outDir) return runBatchCommand(c);

    if (c.demo) {
        ensureDirectory(c.demoDir);
        c.render.inputPath = c.demoDir + "/demo-in.wav";
        c.render.outputPath = c.demoDir + "/demo-out.wav";
        const std::vector<float> programme = synthesiseDemo(kDemoRate);
        AudioWriter demoIn(c.render.inputPath, Container::Wav, SampleFormat::Pcm24, kDemoRate, 1);
        demoIn.write(programme.data(), programme.size());
        demoIn.commit();
    }

    ProgressBar bar(!c.quiet && ::isatty(STDERR_FILENO));
    c.render.progress = [&bar](double f) { bar(f); };
    c.render.cancelled = [] { return gInterrupted != 0; };
    c.render.trace = c.plot.has_value();
    RenderReport report = render(c.render);
    bar.finish();
    // The audio is written by now and stays whatever becomes of the picture; the report comes
    // first, the picture's error after it.
    std::string plotError;
    if (c.plot) {
        try {
            writePlot(*c.plot, report, *report.trace);
            report.plotPath = *c.plot;
        } catch (const std::exception& e) {
            plotError = e.what();
        }
    }
    if (c.json) printJson(gReport, report);
    else printText(gReport, report);
    if (!plotError.empty()) throw FileError(plotError + " (the audio output \"" + report.outputPath + "\" was written)");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    installSignalHandlers();
    separateReportFromStdout();
    try {
        Command c = parse(argc, argv);
        const int status = run(c);
        if (std::fflush(gReport) != 0) throw FileError(std::string("cannot write the report: ") + std::strerror(errno));
        return status;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "orvex-render: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvex-render: %s\n", e.what());
        return 1;
    }
}

#include "tools/live/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "tools/common/usage_error.h"

namespace orvex::live {

using tools::UsageError;

const char* const kHelp = R"(Usage: orvex-live [OPTIONS]

Runs Orvex (or another VST 2.x effect) live as a JACK client with one input port, "in", and two
output ports, "out_L" and "out_R" (e.g. orvex:in, orvex:out_L). Each JACK period goes through the
plug-in at JACK's rate and period length; the outputs report the plug-in's latency to JACK. When
the server goes away, orvex-live says so, tries again until it is back, registers again and
restores its connections. SIGINT or SIGTERM ends it with a summary.

Options:
  --plugin PATH           VST 2.x plug-in library (default: the Orvex plug-in installed beside
                          this program)
  --name NAME             JACK client name (default orvex)
  --server NAME           JACK server (default: $JACK_DEFAULT_SERVER, else "default")
  --in PORT               connect PORT (a port that sends audio, named as jack_lsp prints it,
                          e.g. system:capture_1) to orvex:in; may be repeated (JACK mixes them)
  --out LEFT,RIGHT        connect orvex:out_L and orvex:out_R to these ports, e.g.
                          system:playback_1,system:playback_2
                          Without --in and --out nothing is connected. A port that does not
                          exist at start is an error; after a server restart it is waited for.
  --retry SECONDS         how often to look for a server or a port that is away (default 1)
  --no-wait               exit with status 1 when no server is running at start
  --set NAME=VALUE        set a parameter in its own units, e.g. --set "Lowpass Filter=12000";
                          NAME may be the parameter's index; may be repeated
  --set-normalised INDEX=X
                          set a parameter to the normalised value X (0..1); may be repeated
  --list-params           print every parameter (index, name, unit, range, default) and exit
  --osc PORT              remote control over OSC on UDP PORT (0: any free port, printed at start):
                          /orvex/set NAME|INDEX VALUE, /orvex/get NAME|INDEX, /orvex/list;
                          /orvex/meters/subscribe [PORT [SECONDS]] sends /orvex/meters to the
                          sender (at PORT) ten times a second (or every SECONDS) until
                          /orvex/meters/unsubscribe [PORT]; at most 8 subscribers
  --osc-lease SECONDS     a meter subscriber that has not subscribed again for SECONDS is
                          dropped (default 30), as is one whose messages cannot be sent
  --meter                 loudness meters: input and output momentary and short-term loudness
                          (LUFS), true-peak hold (dBTP), xruns and JACK's DSP load, and the
                          plug-in's band gains (twelve bars) and output-stage gain; a status
                          ten times a second on a terminal, otherwise a line every interval
  --meter-interval SECONDS
                          the meter line for logs: every SECONDS (default 10)
  --record FILE           record the processed output into FILE (.wav or .flac); it is written
                          under a hidden name beside FILE and takes its name at the end
  --format 24|float       recorded samples: 24-bit integer (default) or 32-bit float (WAV only);
                          16 is accepted too
  --record-buffer SECONDS how long the disk may stall before recorded frames are dropped
                          (default 10)
  --count-allocations     count heap allocations inside the process callback (reported at exit)
  --verbose               let libjack's own messages through
  -h, --help              this text

Exit status: 0 after SIGINT or SIGTERM, 1 when the plug-in, JACK, the recording or the OSC port
fails, 2 for a malformed command line.
)";

namespace {

double parseSeconds(const std::string& option, const std::string& text, double max) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || !(v > 0.0) || v > max)
        throw UsageError(option + " takes a number of seconds above 0 and up to " + std::to_string(static_cast<int>(max)) +
                         ", not \"" + text + "\"");
    return v;
}

int parsePort(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > 65535)
        throw UsageError("--osc takes a UDP port number from 0 to 65535, not \"" + text + "\"");
    return static_cast<int>(v);
}

std::vector<std::string> splitPorts(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ',')) out.push_back(item);
    if (!text.empty() && text.back() == ',') out.push_back("");
    return out;
}

}  // namespace

tools::Container recordingContainer(const std::string& path) {
    const tools::FileType type = tools::fileTypeForPath(path);
    if (type.container != tools::Container::Wav && type.container != tools::Container::Flac)
        throw tools::FileError("--record writes WAV or FLAC files (.wav, .flac), not " + type.name + ": \"" + path +
                               "\"");
    return type.container;
}

LiveOptions parseOptions(const std::vector<std::string>& args) {
    LiveOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string inlineValue;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInline = true;
            }
        }
        auto value = [&]() -> std::string {
            if (hasInline) return inlineValue;
            if (i + 1 >= args.size()) throw UsageError(arg + " needs a value; see --help");
            return args[++i];
        };
        auto flag = [&]() {
            if (hasInline) throw UsageError(arg + " takes no value; see --help");
        };
        if (arg == "-h" || arg == "--help") o.help = true;
        else if (arg == "--plugin") {
            o.pluginPath = value();
            o.pluginGiven = true;
        } else if (arg == "--name") {
            o.clientName = value();
            if (o.clientName.empty() || o.clientName.find(':') != std::string::npos)
                throw UsageError("--name takes a JACK client name without ':'");
        } else if (arg == "--server") {
            o.serverName = value();
            if (o.serverName.empty()) throw UsageError("--server takes a server name");
        } else if (arg == "--in") {
            const std::string port = value();
            if (port.find(':') == std::string::npos)
                throw UsageError("--in takes a JACK port as jack_lsp prints it (client:port), not \"" + port + "\"");
            o.inPorts.push_back(port);
        } else if (arg == "--out") {
            const auto ports = splitPorts(value());
            if (ports.size() != 2 || ports[0].find(':') == std::string::npos || ports[1].find(':') == std::string::npos)
                throw UsageError("--out takes two JACK ports separated by a comma, as jack_lsp prints them "
                                 "(e.g. system:playback_1,system:playback_2)");
            if (!o.outPorts.empty()) throw UsageError("--out given twice");
            o.outPorts = ports;
        } else if (arg == "--retry") o.retrySeconds = parseSeconds(arg, value(), 3600.0);
        else if (arg == "--no-wait") { flag(); o.noWait = true; }
        else if (arg == "--set") o.settings.push_back({false, value()});
        else if (arg == "--set-normalised" || arg == "--set-normalized") o.settings.push_back({true, value()});
        else if (arg == "--list-params") { flag(); o.listParams = true; }
        else if (arg == "--osc") o.oscPort = parsePort(value());
        else if (arg == "--osc-lease") o.oscLeaseSeconds = parseSeconds(arg, value(), 86400.0);
        else if (arg == "--meter") { flag(); o.meter = true; }
        else if (arg == "--meter-interval") o.meterInterval = parseSeconds(arg, value(), 86400.0);
        else if (arg == "--record") {
            o.recordPath = value();
            if (o.recordPath.empty()) throw UsageError("--record takes a file name");
        } else if (arg == "--format") {
            try {
                o.recordFormat = tools::parseSampleFormat(value());
            } catch (const tools::FileError& e) {
                throw UsageError(e.what());
            }
        } else if (arg == "--record-buffer") o.recordBufferSeconds = parseSeconds(arg, value(), 600.0);
        else if (arg == "--count-allocations") { flag(); o.countAllocations = true; }
        else if (arg == "--verbose" || arg == "-v") { flag(); o.verbose = true; }
        else if (arg.size() > 1 && arg[0] == '-') throw UsageError("unknown option " + arg + "; see --help");
        else throw UsageError("unexpected argument \"" + arg + "\"; orvex-live takes options only, see --help");
    }
    if (o.help) return o;
    if (o.recordFormat && o.recordPath.empty()) throw UsageError("--format applies to --record; give --record FILE");
    if (!o.recordPath.empty()) {
        try {
            const tools::Container c = recordingContainer(o.recordPath);
            if (c == tools::Container::Flac && o.recordFormat == tools::SampleFormat::Float32)
                throw UsageError("FLAC holds integer samples only; use --format 24 for \"" + o.recordPath + "\"");
        } catch (const tools::FileError& e) {
            throw UsageError(e.what());
        }
    }
    return o;
}

}  // namespace orvex::live

// orvex-live: Orvex (or any VST 2.x effect) on air as a JACK client, for months: waits for its
// server, follows it through restarts, meters, records and takes remote control.
//
// The main thread runs the loop below: it opens and reopens the client, retries connections,
// samples the DSP load and waits for SIGINT/SIGTERM (blocked in every thread, taken here with
// sigtimedwait, so no handler runs inside a JACK or liblo thread).
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/alloc_counter.h"
#include "tools/common/audio_file.h"
#include "tools/common/param_control.h"
#include "tools/common/plugin_path.h"
#include "tools/common/text.h"
#include "tools/common/usage_error.h"
#include "tools/common/vst_loader.h"
#include "tools/live/console.h"
#include "tools/live/engine.h"
#include "tools/live/meter.h"
#include "tools/live/options.h"
#include "tools/live/osc.h"
#include "tools/live/recorder.h"

#if defined(__SANITIZE_THREAD__)
// libjack is not built with the thread sanitizer, and its lock-free ring hands data from writer
// to reader through plain loads and stores of its indexes that the sanitizer cannot see as the
// synchronisation they are.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "race:jack_ringbuffer_read\nrace:jack_ringbuffer_write\n";
}
#endif

using namespace orvex;
using namespace orvex::live;

namespace {

// The rate and period the plug-in is set up with before a server is found; it follows JACK's
// as soon as one is.
constexpr double kInitialRate = 48000.0;
constexpr int kInitialBlock = 256;
constexpr int kMeterRingFrames = 1 << 17;  // ~2.7 s at 48 kHz: the meter thread reads ten times a second

std::string clockText(double seconds) {
    const long long s = static_cast<long long>(seconds);
    return tools::formatText("%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
}

void checkRecordDirectory(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (::access(dir.c_str(), W_OK) != 0)
        throw tools::FileError("cannot record into \"" + path + "\": " + dir + ": " + std::strerror(errno));
}

// Waits up to `seconds` for SIGINT or SIGTERM.
bool stopRequested(const sigset_t& stopSignals, double seconds) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - static_cast<double>(t.tv_sec)) * 1e9);
    return sigtimedwait(&stopSignals, nullptr, &t) > 0;
}

int run(LiveOptions& o, const sigset_t& stopSignals) {
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (!o.pluginGiven) {
#ifdef ORVEX_PLUGIN_BUILD_PATH
        o.pluginPath = tools::defaultPluginPath(ORVEX_PLUGIN_FILE_NAME, ORVEX_PLUGIN_BUILD_PATH);
#else
        o.pluginPath = tools::defaultPluginPath(ORVEX_PLUGIN_FILE_NAME, nullptr);
#endif
    }
    const bool terminal = o.meter && ::isatty(STDOUT_FILENO);
    Console console(terminal);

    tools::PluginLibrary library(o.pluginPath);
    tools::PluginInstance plugin(library, kInitialRate, kInitialBlock);
    plugin.host().realtime = true;
    plugin.host().product = "orvex-live";
    std::mutex pluginMutex;
    tools::ParameterControl control(library, plugin, kInitialRate, kInitialBlock);
    if (o.listParams) {
        std::fputs(tools::formatParameterTable(control.parameters()).c_str(), stdout);
        return 0;
    }
    for (const LiveSetting& s : o.settings) {
        const tools::ParameterReading r = s.normalised ? control.setNormalised(s.text) : control.set(s.text);
        console.line("set " + r.name + " = " + r.display + (r.label.empty() ? "" : " " + r.label));
    }
    if (!o.recordPath.empty()) checkRecordDirectory(o.recordPath);

    EngineSetup setup;
    setup.clientName = o.clientName;
    setup.serverName = o.serverName;
    setup.inPorts = o.inPorts;
    setup.outPorts = o.outPorts;
    setup.verbose = o.verbose;
    if (o.countAllocations) {
        setup.allocationProbe = tools::interposedAllocationProbe();
        if (!setup.allocationProbe)
            console.line("--count-allocations: this build cannot count allocations (sanitizer build); not counted");
    }
    // The rings and the recorder outlive the engine, whose process callback writes into them
    // until it is closed (also when an error ends the program).
    std::unique_ptr<AudioRing> meterRing;
    std::unique_ptr<Recorder> recorder;
    Engine engine(plugin, pluginMutex, setup, console);

    // The OSC server outlives the meter thread, which sends its subscribers the meters.
    std::unique_ptr<OscControl> osc;
    if (o.oscPort >= 0) {
        osc = std::make_unique<OscControl>(o.oscPort, control, pluginMutex, console, o.oscLeaseSeconds);
        console.line("OSC control on UDP port " + std::to_string(osc->port()));
    }
    std::unique_ptr<MeterThread> meter;
    if (o.meter || osc) {
        meterRing = std::make_unique<AudioRing>(3, kMeterRingFrames);
        engine.setMeterRing(meterRing.get());
        meter = std::make_unique<MeterThread>(*meterRing, engine, console);
        // The plug-in answers from any thread without waiting for its block; the mutex keeps
        // the request apart from the main and OSC threads' calls, for plug-ins that need that.
        meter->setPluginMeters([&plugin, &pluginMutex](orvex::MeterSnapshot& m) {
            std::lock_guard<std::mutex> lock(pluginMutex);
            return plugin.readMeters(m);
        });
        if (o.meter) meter->addSink(MeterText(console, terminal, o.meterInterval));
        if (osc) meter->addSink([target = osc.get()](const live::MeterSnapshot& s) { target->publish(s); });
    }
    console.line("running " + plugin.effectName() + " (" + library.path() + ")");
    if (meter) meter->start();

    bool everOnAir = false, waiting = false;
    int controlRate = static_cast<int>(kInitialRate);
    int reconnections = 0;
    auto nextAttempt = std::chrono::steady_clock::now();
    std::uint64_t droppedReported = 0;
    auto dropReportDue = std::chrono::steady_clock::now();
    const auto retry = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(o.retrySeconds));
    const auto started = std::chrono::steady_clock::now();

    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (!engine.isOpen() && now >= nextAttempt) {
            if (engine.open(!everOnAir)) {
                if (engine.rate() != controlRate) {
                    // Ranges may follow the rate (a corner below half of it): requests are resolved
                    // at the rate the plug-in now runs at.
                    std::lock_guard<std::mutex> lock(pluginMutex);
                    control.setRate(engine.rate());
                    controlRate = engine.rate();
                }
                if (!everOnAir && !o.recordPath.empty()) {
                    const tools::Container container = recordingContainer(o.recordPath);
                    const tools::SampleFormat format = o.recordFormat.value_or(tools::SampleFormat::Pcm24);
                    recorder = std::make_unique<Recorder>(o.recordPath, container, format, engine.rate(),
                                                          o.recordBufferSeconds, console);
                    engine.setRecorderRing(&recorder->ring(), engine.rate());
                }
                // A first start is strict about the ports it was given; after a server restart the
                // other clients may not be back yet, so their ports are waited for.
                if (engine.start(!everOnAir)) {
                    const long long first = engine.waitFirstPeriod(2.0);
                    console.line(tools::formatText(
                        "%s on %s as \"%s\": %d Hz, %d frames a period, latency %d frames%s",
                        everOnAir ? "back on air" : "on air", engine.serverLabel().c_str(), o.clientName.c_str(),
                        engine.rate(), engine.bufferSize(), engine.latency(),
                        first >= 0 ? tools::formatText("; first period at JACK frame %lld", first).c_str() : ""));
                    if (everOnAir) ++reconnections;
                    everOnAir = true;
                    waiting = false;
                } else {
                    nextAttempt = now + retry;
                }
            } else {
                if (o.noWait && !everOnAir)
                    throw LiveError("no " + engine.serverLabel() + " is running (and --no-wait is given)");
                if (!waiting)
                    console.line(tools::formatText("waiting for %s; trying every %g s", engine.serverLabel().c_str(),
                                                   o.retrySeconds));
                waiting = true;
                nextAttempt = now + retry;
            }
        }
        if (engine.isOpen()) {
            if (engine.needsReopen()) {
                if (engine.serverGone()) {
                    console.line(engine.serverLabel() + " went away (" + engine.goneReason() + "); trying again every " +
                                 tools::formatText("%g", o.retrySeconds) + " s");
                    nextAttempt = std::chrono::steady_clock::now() + retry;
                } else {
                    console.line(engine.serverLabel() + " changed its sample rate; registering again");
                    nextAttempt = std::chrono::steady_clock::now();
                }
                engine.close();
                waiting = true;
            } else {
                engine.tick(o.retrySeconds);
            }
        }
        if (recorder && engine.recordDropped() > droppedReported && now >= dropReportDue) {
            droppedReported = engine.recordDropped();
            console.line(tools::formatText("recording: the writer is behind; %llu frames dropped so far",
                                           static_cast<unsigned long long>(droppedReported)));
            dropReportDue = now + std::chrono::seconds(10);
        }
        if (stopRequested(stopSignals, 0.1)) break;
    }

    engine.close();
    if (meter) meter->stop();
    console.endStatus();
    const std::uint64_t changes = osc ? osc->changes() : 0, rejected = osc ? osc->rejected() : 0;
    osc.reset();
    bool recordingOk = true;
    const double ran = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string summary = tools::formatText(
        "stopped after %s: on air %s (%.1f s, periods %llu); xruns %llu; reconnections %d", clockText(ran).c_str(),
        clockText(engine.secondsOnAir()).c_str(), engine.secondsOnAir(),
        static_cast<unsigned long long>(engine.periods()), static_cast<unsigned long long>(engine.xruns()),
        reconnections);
    if (recorder) {
        recordingOk = recorder->finish();
        summary += tools::formatText("; recording %llu frames written, %llu dropped (%s%s)",
                                     static_cast<unsigned long long>(recorder->framesWritten()),
                                     static_cast<unsigned long long>(engine.recordDropped() + recorder->framesDiscarded()),
                                     recorder->path().c_str(), recordingOk ? "" : ", failed");
    }
    summary += tools::formatText("; parameter changes %llu received, %llu rejected",
                                 static_cast<unsigned long long>(changes + rejected),
                                 static_cast<unsigned long long>(rejected));
    summary += tools::formatText("; DSP load mean %.1f%%, max %.1f%%", engine.meanDspLoad(),
                                 static_cast<double>(engine.maxDspLoad()));
    if (setup.allocationProbe)
        summary += tools::formatText("; heap allocations in the process callback %llu",
                                     static_cast<unsigned long long>(engine.allocations()));
    console.line(summary);
    return recordingOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask and the signals wait for
    // the main loop.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    try {
        LiveOptions o = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
        return run(o, stopSignals);
    } catch (const tools::UsageError& e) {
        std::fprintf(stderr, "orvex-live: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvex-live: %s\n", e.what());
        return 1;
    }
}

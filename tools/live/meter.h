#pragma once
// Live meters: the meter thread drains the meter ring (input, left, right as the process
// callback saw them), measures loudness with libebur128, reads the plug-in's own meters (band
// gains, output-stage gain) and about ten times a second hands a snapshot to its sinks: the
// status line on a terminal, a log line every --meter-interval seconds otherwise, and the OSC
// meter subscribers.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dsp/meter_readout.h"
#include "tools/live/console.h"
#include "tools/live/engine.h"
#include "tools/live/ring.h"

namespace orvex::live {

struct MeterSnapshot {
    double seconds = 0.0;  // since the program started
    bool onAir = false;
    // LUFS (-inf for silence) and the true peak (linear) of the audio since the last snapshot.
    double inMomentary = 0.0, inShortTerm = 0.0, inPeak = 0.0;
    double outMomentary = 0.0, outShortTerm = 0.0, outPeak = 0.0;
    std::uint64_t xruns = 0;
    float dspLoad = 0.0f;  // percent, as JACK reports it
    std::uint64_t recordDropped = 0;
    // The plug-in's own meters at the last block before the snapshot, when it has them (Orvex
    // does): the level control's gain of each band and the output stage's gain, dB.
    bool bands = false;
    float bandGainDb[kMeterBands] = {};
    float outputGainDb = 0.0f;
};

class MeterThread {
public:
    using Sink = std::function<void(const MeterSnapshot&)>;
    // Reads the plug-in's meters; false when it has none.
    using PluginMeters = std::function<bool(orvex::MeterSnapshot&)>;
    static constexpr double kRefreshSeconds = 0.1;

    MeterThread(AudioRing& ring, const Engine& engine, Console& console);
    ~MeterThread();
    MeterThread(const MeterThread&) = delete;
    MeterThread& operator=(const MeterThread&) = delete;

    void addSink(Sink sink);  // before start()
    void setPluginMeters(PluginMeters read) { pluginMeters_ = std::move(read); }  // before start()
    void start();
    void stop();

private:
    void run();

    AudioRing& ring_;
    const Engine& engine_;
    Console& console_;
    std::vector<Sink> sinks_;
    PluginMeters pluginMeters_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

// The meters as text: a status line held on a terminal (true peaks held for three seconds),
// or a line for logs every `interval` seconds (true peaks held over the interval).
class MeterText {
public:
    MeterText(Console& console, bool terminal, double interval);
    void operator()(const MeterSnapshot& s);

    static std::string format(const MeterSnapshot& s, double inPeakHeld, double outPeakHeld);
    // The plug-in's meters in one row, empty when it has none: on a terminal twelve bars (a
    // block character per band) and the output stage's gain; for logs the numbers.
    static std::string bandRow(const MeterSnapshot& s);
    static std::string bandNumbers(const MeterSnapshot& s);
    // The range of gains the bars span (dB).
    static constexpr float kBarFloorDb = -24.0f, kBarTopDb = 32.0f;

private:
    Console& console_;
    bool terminal_;
    double interval_;
    double nextLog_;
    std::vector<double> inPeaks_, outPeaks_;  // recent snapshots' peaks (terminal)
    std::size_t at_ = 0;
    double inHeld_ = 0.0, outHeld_ = 0.0;     // since the last log line
};

}  // namespace orvex::live

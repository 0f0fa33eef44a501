#include "tools/live/meter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>

#include "tools/common/running_loudness.h"
#include "tools/common/text.h"

namespace orvex::live {
namespace {

constexpr std::size_t kChunk = 4096;
constexpr double kTerminalHoldSeconds = 3.0;

std::string lufsText(double v) { return std::isfinite(v) ? tools::formatText("%5.1f", v) : " -inf"; }

std::string peakText(double linear) {
    return linear > 0.0 ? tools::formatText("%5.1f", 20.0 * std::log10(linear)) : " -inf";
}

}  // namespace

MeterThread::MeterThread(AudioRing& ring, const Engine& engine, Console& console)
    : ring_(ring), engine_(engine), console_(console) {}

MeterThread::~MeterThread() { stop(); }

void MeterThread::addSink(Sink sink) { sinks_.push_back(std::move(sink)); }

void MeterThread::start() { thread_ = std::thread([this] { run(); }); }

void MeterThread::stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

void MeterThread::run() {
    using clock = std::chrono::steady_clock;
    const auto started = clock::now();
    const auto period = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(kRefreshSeconds));
    auto next = started + period;
    std::vector<float> frames(kChunk * 3), in(kChunk), out(kChunk * 2);
    std::unique_ptr<tools::RunningLoudness> inMeter, outMeter;
    const double silence = -std::numeric_limits<double>::infinity();
    try {
        for (;;) {
            // A plain sleep rather than a condition variable: stopping waits at most one refresh.
            std::this_thread::sleep_until(next);
            if (stopping_.load()) return;
            next += period;
            if (next < clock::now()) next = clock::now() + period;

            const int rate = engine_.rate();
            if (rate > 0 && (!inMeter || inMeter->rate() != rate)) {
                inMeter = std::make_unique<tools::RunningLoudness>(1, rate);
                outMeter = std::make_unique<tools::RunningLoudness>(2, rate);
            }
            for (std::size_t n; (n = ring_.read(frames.data(), kChunk)) > 0;) {
                if (!inMeter) continue;
                for (std::size_t i = 0; i < n; ++i) {
                    in[i] = frames[3 * i];
                    out[2 * i] = frames[3 * i + 1];
                    out[2 * i + 1] = frames[3 * i + 2];
                }
                inMeter->add(in.data(), n);
                outMeter->add(out.data(), n);
            }

            MeterSnapshot s;
            s.seconds = std::chrono::duration<double>(clock::now() - started).count();
            s.onAir = engine_.onAir();
            s.inMomentary = inMeter ? inMeter->momentaryLufs() : silence;
            s.inShortTerm = inMeter ? inMeter->shortTermLufs() : silence;
            s.inPeak = inMeter ? inMeter->takeTruePeak() : 0.0;
            s.outMomentary = outMeter ? outMeter->momentaryLufs() : silence;
            s.outShortTerm = outMeter ? outMeter->shortTermLufs() : silence;
            s.outPeak = outMeter ? outMeter->takeTruePeak() : 0.0;
            s.xruns = engine_.xruns();
            s.dspLoad = engine_.dspLoad();
            s.recordDropped = engine_.recordDropped();
            orvex::MeterSnapshot own;
            if (s.onAir && pluginMeters_ && pluginMeters_(own)) {
                s.bands = true;
                std::copy(own.bandGainDb, own.bandGainDb + kMeterBands, s.bandGainDb);
                s.outputGainDb = own.outputGainDb;
            }
            for (const Sink& sink : sinks_) sink(s);
        }
    } catch (const std::exception& e) {
        console_.line(std::string("meters stopped: ") + e.what());
    }
}

MeterText::MeterText(Console& console, bool terminal, double interval)
    : console_(console),
      terminal_(terminal),
      interval_(interval),
      nextLog_(interval),
      inPeaks_(static_cast<std::size_t>(kTerminalHoldSeconds / MeterThread::kRefreshSeconds + 0.5), 0.0),
      outPeaks_(inPeaks_.size(), 0.0) {}

std::string MeterText::format(const MeterSnapshot& s, double inPeakHeld, double outPeakHeld) {
    if (!s.onAir)
        return tools::formatText("off air: waiting for the JACK server | xruns %llu",
                                 static_cast<unsigned long long>(s.xruns));
    return "in M " + lufsText(s.inMomentary) + " S " + lufsText(s.inShortTerm) + " LUFS TP " + peakText(inPeakHeld) +
           " dBTP | out M " + lufsText(s.outMomentary) + " S " + lufsText(s.outShortTerm) + " LUFS TP " +
           peakText(outPeakHeld) +
           tools::formatText(" dBTP | xruns %llu | DSP %5.1f%%", static_cast<unsigned long long>(s.xruns),
                             static_cast<double>(s.dspLoad));
}

std::string MeterText::bandRow(const MeterSnapshot& s) {
    if (!s.onAir || !s.bands) return {};
    // Eighths of a character cell, lowest first: the bar of a band rises with its gain.
    static const char* const kBars[] = {"\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588"};
    std::string row = "band gain ";
    for (float g : s.bandGainDb) {
        const float step = (kBarTopDb - kBarFloorDb) / 7.0f;
        const float level = std::round((std::clamp(g, kBarFloorDb, kBarTopDb) - kBarFloorDb) / step);
        row += kBars[static_cast<int>(level)];
    }
    return row + tools::formatText(" %+.0f\u2026%+.0f dB | output gain %+5.1f dB", static_cast<double>(kBarFloorDb),
                                   static_cast<double>(kBarTopDb), static_cast<double>(s.outputGainDb));
}

std::string MeterText::bandNumbers(const MeterSnapshot& s) {
    if (!s.onAir || !s.bands) return {};
    std::string row = "band gain dB";
    for (float g : s.bandGainDb) row += tools::formatText(" %+.1f", static_cast<double>(g));
    return row + tools::formatText(" | output gain %+.1f dB", static_cast<double>(s.outputGainDb));
}

void MeterText::operator()(const MeterSnapshot& s) {
    if (terminal_) {
        inPeaks_[at_] = s.inPeak;
        outPeaks_[at_] = s.outPeak;
        at_ = (at_ + 1) % inPeaks_.size();
        const std::string bands = bandRow(s);
        console_.status(format(s, *std::max_element(inPeaks_.begin(), inPeaks_.end()),
                               *std::max_element(outPeaks_.begin(), outPeaks_.end())) +
                        (bands.empty() ? "" : "\n" + bands));
        return;
    }
    inHeld_ = std::max(inHeld_, s.inPeak);
    outHeld_ = std::max(outHeld_, s.outPeak);
    if (s.seconds + 0.5 * MeterThread::kRefreshSeconds < nextLog_) return;
    nextLog_ += interval_;
    if (nextLog_ <= s.seconds) nextLog_ = s.seconds + interval_;
    const std::string bands = bandNumbers(s);
    console_.output("meter: " + format(s, inHeld_, outHeld_) + (bands.empty() ? "" : " | " + bands));
    inHeld_ = outHeld_ = 0.0;
}

}  // namespace orvex::live

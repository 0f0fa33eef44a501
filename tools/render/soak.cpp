#include "tools/render/soak.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <limits>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

#include "tools/render/demo.h"
#include "tools/common/text.h"
#include "tools/common/vst_loader.h"

namespace orvex::tools {
namespace {


double db(double ratio) { return ratio > 0.0 ? 20.0 * std::log10(ratio) : -std::numeric_limits<double>::infinity(); }

std::string dbText(double v) { return std::isfinite(v) ? formatText("%.1f dB", v) : std::string("-inf dB (identical)"); }

}  // namespace

SoakReport soak(const SoakOptions& o, const std::function<void(const std::string&)>& say) {
    SoakReport r;
    const int rate = static_cast<int>(o.rate);
    const std::size_t silence = static_cast<std::size_t>(20 * rate);
    const std::size_t programmeLength = static_cast<std::size_t>(40 * rate);
    const std::vector<float> demo = synthesiseDemo(rate);
    std::vector<float> cycleInput(silence + programmeLength, 0.0f);
    for (std::size_t i = 0; i < programmeLength; ++i) cycleInput[silence + i] = demo[i % demo.size()];
    const std::size_t cycleLength = cycleInput.size();
    const int cycles = std::max(1, static_cast<int>(std::lround(o.minutes * 60.0 / (static_cast<double>(cycleLength) / rate))));

    PluginLibrary library(o.pluginPath);
    PluginInstance instance(library, o.rate, o.blockSize);
    instance.resume();
    const int ins = std::max(instance.inputs(), 1), outs = instance.outputs();
    std::vector<std::vector<float>> in(static_cast<std::size_t>(ins), std::vector<float>(static_cast<std::size_t>(o.blockSize)));
    std::vector<std::vector<float>> out(static_cast<std::size_t>(outs), std::vector<float>(static_cast<std::size_t>(o.blockSize)));
    std::vector<float*> inPtr, outPtr;
    for (auto& b : in) inPtr.push_back(b.data());
    for (auto& b : out) outPtr.push_back(b.data());

    // The programme part of the first two cycles, for comparison with every later one.
    std::vector<std::vector<float>> first(static_cast<std::size_t>(outs)), second(static_cast<std::size_t>(outs));
    // The previous cycle's programme part, and the one being rendered.
    std::vector<std::vector<float>> previous(static_cast<std::size_t>(outs)), current(static_cast<std::size_t>(outs));
    double firstStep = -INFINITY;  // difference between cycles 3 and 2
    say(formatText("soak: %s, %d cycles of 20 s silence + 40 s programme (%.0f min) at %d Hz, block %d", o.pluginPath.c_str(),
             cycles, cycles * static_cast<double>(cycleLength) / rate / 60.0, rate, o.blockSize));
    double programmeEnergy = 0.0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        double diffFirst = 0.0, diffSecond = 0.0, diffPrevious = 0.0, energy = 0.0;
        for (auto& c : current) c.clear();
        float tail = 0.0f;
        for (std::size_t pos = 0; pos < cycleLength; pos += static_cast<std::size_t>(o.blockSize)) {
            const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(o.blockSize), cycleLength - pos));
            for (auto& b : in) std::copy(cycleInput.begin() + static_cast<long>(pos), cycleInput.begin() + static_cast<long>(pos) + n, b.begin());
            const auto t0 = std::chrono::steady_clock::now();
            instance.process(inPtr.data(), outPtr.data(), n);
            r.processingSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            for (int c = 0; c < outs; ++c) {
                const auto& y = out[static_cast<std::size_t>(c)];
                for (int i = 0; i < n; ++i) {
                    const float v = y[static_cast<std::size_t>(i)];
                    const std::size_t at = pos + static_cast<std::size_t>(i);
                    if (std::isnan(v)) { ++r.nan; continue; }
                    if (std::isinf(v)) { ++r.inf; continue; }
                    if (std::fpclassify(v) == FP_SUBNORMAL) ++r.subnormal;
                    r.peak = std::max(r.peak, std::fabs(v));
                    if (at + static_cast<std::size_t>(rate) >= silence && at < silence) tail = std::max(tail, std::fabs(v));
                    if (at < silence) continue;
                    const std::size_t k = at - silence;
                    energy += static_cast<double>(v) * v;
                    if (cycle == 0) first[static_cast<std::size_t>(c)].push_back(v);
                    else {
                        const double d = static_cast<double>(v) - first[static_cast<std::size_t>(c)][k];
                        diffFirst += d * d;
                    }
                    current[static_cast<std::size_t>(c)].push_back(v);
                    if (cycle > 0) {
                        const double d = static_cast<double>(v) - previous[static_cast<std::size_t>(c)][k];
                        diffPrevious += d * d;
                    }
                    if (cycle == 1) second[static_cast<std::size_t>(c)].push_back(v);
                    else if (cycle > 1) {
                        const double d = static_cast<double>(v) - second[static_cast<std::size_t>(c)][k];
                        diffSecond += d * d;
                    }
                }
            }
        }
        if (cycle == 0) programmeEnergy = energy;
        r.worstSilenceTail = std::max(r.worstSilenceTail, tail);
        const double ref = std::max(programmeEnergy, 1e-30);
        const double dFirst = cycle > 0 ? 0.5 * db(diffFirst / ref) : -INFINITY;
        const double dSecond = cycle > 1 ? 0.5 * db(diffSecond / ref) : -INFINITY;
        const double dPrevious = cycle > 0 ? 0.5 * db(diffPrevious / ref) : -INFINITY;
        std::swap(previous, current);
        r.freshDb = std::max(r.freshDb, dFirst);
        r.driftDb = std::max(r.driftDb, dSecond);
        if (cycle == 2) firstStep = dPrevious;
        r.lastStepDb = dPrevious;
        r.cycles = cycle + 1;
        if (cycle < 4 || (cycle + 1) % 10 == 0 || cycle + 1 == cycles)
            say(formatText("  cycle %3d: peak so far %.7f, silence tail %.3g (%.1f dBFS); difference from cycle 1 %s, from cycle 2 %s, "
                     "from the previous cycle %s",
                     cycle + 1, static_cast<double>(r.peak), static_cast<double>(tail), db(tail),
                     cycle > 0 ? dbText(dFirst).c_str() : "-", cycle > 1 ? dbText(dSecond).c_str() : "-",
                     cycle > 0 ? dbText(dPrevious).c_str() : "-"));
    }
    r.firstStepDb = firstStep;
    r.seconds = static_cast<double>(cycles) * static_cast<double>(cycleLength) / rate;
    const bool finite = r.nan == 0 && r.inf == 0 && r.subnormal == 0;
    const bool bounded = !o.maxPeak || r.peak <= *o.maxPeak;
    const bool quiet = r.worstSilenceTail < 1e-5f;  // -100 dBFS
    // Identical input every cycle: the output either repeats or settles towards repeating. It
    // drifts when the cycle-to-cycle difference grows, or when cycles wander further than -60 dB
    // from the second one.
    const bool steady = cycles < 4 || (r.lastStepDb <= r.firstStepDb + 1.0 && r.driftDb < -60.0);
    r.ok = finite && bounded && quiet && steady;
    say(formatText("%s  finite: %" PRIu64 " NaN, %" PRIu64 " inf, %" PRIu64 " subnormal", finite ? "PASS" : "FAIL", r.nan, r.inf, r.subnormal));
    if (o.maxPeak)
        say(formatText("%s  bound: peak %.7f, bound %.7f", bounded ? "PASS" : "FAIL", static_cast<double>(r.peak),
                 static_cast<double>(*o.maxPeak)));
    else
        say(formatText("SKIP  bound: peak %.7f, no --max-peak given", static_cast<double>(r.peak)));
    say(formatText("%s  dies away: the last second of every silence peaks at %.3g (%.1f dBFS; limit -100 dBFS)", quiet ? "PASS" : "FAIL",
             static_cast<double>(r.worstSilenceTail), db(r.worstSilenceTail)));
    say(formatText("%s  no drift: cycles 3..%d differ from cycle 2 by at most %s of the programme level (limit -60 dB); "
             "from one cycle to the next %s at cycle 3, %s at the end (must not grow)",
             steady ? "PASS" : "FAIL", cycles, dbText(r.driftDb).c_str(), dbText(r.firstStepDb).c_str(),
             dbText(r.lastStepDb).c_str()));
    say(formatText("INFO  after 20 s of silence the state %s a fresh instance's: cycles differ from the first by at most %s",
             std::isfinite(r.freshDb) && r.freshDb > -100.0 ? "is not" : "matches", dbText(r.freshDb).c_str()));
    say(formatText("%s: %.1f min of audio in %.1f s of processing (%.1fx real time)", r.ok ? "SOAK PASSED" : "SOAK FAILED", r.seconds / 60.0,
             r.processingSeconds, r.processingSeconds > 0 ? r.seconds / r.processingSeconds : 0.0));
    return r;
}

}  // namespace orvex::tools

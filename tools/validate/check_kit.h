#pragma once
// What the validator's check groups share: the seeded random numbers, the test signals, buffers
// with guard zones, sample statistics, the per-run limits, the context a group reports through,
// an instance ready to process, and the inspection of text buffers a plug-in writes into.
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tools/common/text.h"
#include "tools/common/vst_loader.h"
#include "tools/validate/validate.h"

namespace orvex::tools::validation {

// ---- small helpers ---------------------------------------------------------------------------

// SplitMix64: small, and the same numbers everywhere for the same seed.
class Random {
public:
    explicit Random(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
    float bipolar() { return static_cast<float>(2.0 * uniform() - 1.0); }
    int below(int n) { return n <= 0 ? 0 : static_cast<int>(next() % static_cast<std::uint64_t>(n)); }

private:
    std::uint64_t s_;
};

std::uint64_t mix(std::uint64_t seed, std::uint64_t salt);

std::uint64_t hashText(const std::string& s);

std::string valueText(float v);

// The special values hosts (or broken automation) may hand to setParameter.
const std::vector<float>& specialParameterValues();

float randomParameterValue(Random& r);

// ---- signals and buffers ---------------------------------------------------------------------

enum class Signal { Noise, Sweep, LoudThenSilence, Square };
constexpr Signal kSignals[] = {Signal::Noise, Signal::Sweep, Signal::LoudThenSilence, Signal::Square};

const char* signalName(Signal s);

// The test signal, generated sample by sample so that any block pattern reads the same samples.
class Generator {
public:
    Generator(Signal signal, double rate, std::int64_t length, std::uint64_t seed)
        : signal_(signal), rate_(rate), length_(length), random_(seed) {}

    float next() {
        const std::int64_t n = pos_++;
        switch (signal_) {
            case Signal::Noise: return 0.7f * random_.bipolar();
            case Signal::Sweep: {
                // Logarithmic sweep from 20 Hz to 0.45 of the rate over the length, at -1 dBFS.
                const double f0 = 20.0, f1 = 0.45 * rate_;
                const double t = static_cast<double>(n) / rate_;
                const double duration = static_cast<double>(length_) / rate_;
                const double k = std::log(f1 / f0);
                const double phase = 2.0 * M_PI * f0 * duration / k * (std::exp(t / duration * k) - 1.0);
                return static_cast<float>(0.891 * std::sin(phase));
            }
            case Signal::LoudThenSilence:
                // The first third full-scale noise and a full-scale click, then digital silence.
                if (n < length_ / 3) return n % 997 == 0 ? 1.0f : random_.bipolar();
                return 0.0f;
            case Signal::Square: {
                // 60 Hz for the first half, 3 kHz for the second, both at full scale.
                const double f = n < length_ / 2 ? 60.0 : 3000.0;
                const double cycles = static_cast<double>(n) * f / rate_;
                return cycles - std::floor(cycles) < 0.5 ? 1.0f : -1.0f;
            }
        }
        return 0.0f;
    }

private:
    Signal signal_;
    double rate_;
    std::int64_t length_;
    std::int64_t pos_ = 0;
    Random random_;
};

// A quiet NaN with a payload no arithmetic produces: marks samples nobody wrote.
constexpr std::uint32_t kCanaryBits = 0x7FC0DEADu;
constexpr std::size_t kGuard = 64;

inline bool isCanary(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits == kCanaryBits;
}

inline float canary() {
    float v;
    std::memcpy(&v, &kCanaryBits, sizeof v);
    return v;
}

// Per-channel buffers with guard zones after the frames handed to the plug-in.
class Buffers {
public:
    Buffers(int channels, std::size_t capacity) : capacity_(capacity) {
        const int n = std::max(channels, 1);
        data_.assign(static_cast<std::size_t>(n), std::vector<float>(capacity + kGuard));
        for (auto& d : data_) pointers_.push_back(d.data());
    }
    float** pointers() { return pointers_.data(); }
    float* channel(int c) { return data_[static_cast<std::size_t>(c)].data(); }
    int channels() const { return static_cast<int>(data_.size()); }
    std::size_t capacity() const { return capacity_; }
    // Marks everything from `from` on, the guard included, as not written.
    void poison(std::size_t from) {
        for (auto& d : data_) std::fill(d.begin() + static_cast<long>(from), d.end(), canary());
    }
    // True when something was written at or after `from`.
    bool touchedFrom(std::size_t from) const {
        for (const auto& d : data_)
            for (std::size_t i = from; i < d.size(); ++i)
                if (!isCanary(d[i])) return true;
        return false;
    }

private:
    std::size_t capacity_;
    std::vector<std::vector<float>> data_;
    std::vector<float*> pointers_;
};

struct SampleStats {
    std::uint64_t samples = 0, nan = 0, inf = 0, subnormal = 0, unwritten = 0;
    float peak = 0.0f;
    bool overrun = false;  // something was written past the frames of a call

    void add(const float* x, std::size_t n) {
        samples += n;
        for (std::size_t i = 0; i < n; ++i) {
            const float v = x[i];
            if (isCanary(v)) {
                ++unwritten;
            } else if (std::isnan(v)) {
                ++nan;
            } else if (std::isinf(v)) {
                ++inf;
            } else {
                if (std::fpclassify(v) == FP_SUBNORMAL) ++subnormal;
                peak = std::max(peak, std::fabs(v));
            }
        }
    }
    bool clean() const { return nan == 0 && inf == 0 && subnormal == 0 && unwritten == 0 && !overrun; }
    std::string text() const {
        std::string s = formatText("%" PRIu64 " NaN, %" PRIu64 " inf, %" PRIu64 " subnormal", nan, inf, subnormal);
        if (unwritten) s += formatText(", %" PRIu64 " samples left unwritten", unwritten);
        if (overrun) s += ", wrote past the end of the block";
        s += formatText(", peak %.7f", static_cast<double>(peak));
        return s;
    }
};

// ---- the run's plumbing ----------------------------------------------------------------------

struct Limits {
    double cellSeconds;
    std::vector<double> rates;
    std::vector<int> blocks;  // 0 stands for the random pattern
    double automationSeconds;
    std::vector<double> automationRates;
    int allocationBlocks;
    int threadBlocks;
    double denormalLoudSeconds, denormalQuietSeconds;
    bool fullDispatcherProduct;
    int roundTripSteps;
};

Limits limitsFor(bool quick);

// Where a group's checks go: in a child, through the pipe to the parent; in process, straight
// to the report.
class Context {
public:
    Context(const ValidateOptions& options, const PluginLibrary& library, std::string group, int start,
            std::function<void(const std::string&)> send)
        : options(options), library(library), limits(limitsFor(options.quick)), group_(std::move(group)),
          start_(start), send_(std::move(send)) {}

    const ValidateOptions& options;
    const PluginLibrary& library;
    const Limits limits;

    // Announces check number `id`; false when an earlier (crashed) run already did it.
    bool begin(int id, const std::string& name) {
        if (id < start_) return false;
        current_ = name;
        if (options.isolate) ::alarm(static_cast<unsigned>(options.timeoutSeconds));
        send_("B\t" + std::to_string(id) + "\t" + clean(name) + "\n");
        return true;
    }
    void result(CheckStatus status, const std::string& detail) {
        send_(std::string("R\t") + statusText(status) + "\t" + clean(current_) + "\t" + clean(detail) + "\n");
    }
    void pass(const std::string& detail) { result(CheckStatus::Pass, detail); }
    void fail(const std::string& detail) { result(CheckStatus::Fail, detail); }
    void warn(const std::string& detail) { result(CheckStatus::Warn, detail); }
    void skip(const std::string& detail) { result(CheckStatus::Skip, detail); }
    // PASS when the condition holds, FAIL otherwise, with the same detail.
    void expect(bool ok, const std::string& detail) { result(ok ? CheckStatus::Pass : CheckStatus::Fail, detail); }

    std::uint64_t seedFor(const std::string& what) const { return mix(options.seed, hashText(group_ + "/" + what)); }
    bool peakOk(float peak) const { return !options.maxPeak || peak <= *options.maxPeak; }
    std::string peakText(float peak) const {
        if (!options.maxPeak) return "";
        return peakOk(peak) ? formatText(" (bound %.7f)", static_cast<double>(*options.maxPeak))
                            : formatText(" ABOVE the bound %.7f", static_cast<double>(*options.maxPeak));
    }

private:
    static std::string clean(std::string s) {
        for (char& c : s)
            if (c == '\t' || c == '\n' || c == '\r') c = ' ';
        return s;
    }
    std::string group_;
    int start_;
    std::function<void(const std::string&)> send_;
    std::string current_;
};

// An instance resumed and ready, with buffers for blocks of up to `capacity` frames.
struct Rig {
    Rig(const PluginLibrary& library, double rate, int announcedBlock, std::size_t capacity)
        : instance(library, rate, announcedBlock),
          in(instance.inputs(), capacity),
          out(instance.outputs(), capacity) {
        instance.resume();
    }

    // Processes `frames` samples of `source` (one value per frame, fed to every input) and
    // accumulates the outputs' statistics.
    void process(const float* source, int frames, SampleStats& stats) {
        const auto n = static_cast<std::size_t>(frames);
        for (int c = 0; c < in.channels(); ++c) {
            std::copy(source, source + n, in.channel(c));
            std::fill(in.channel(c) + n, in.channel(c) + in.capacity() + kGuard, 0.0f);
        }
        out.poison(0);
        instance.process(in.pointers(), out.pointers(), frames);
        for (int c = 0; c < instance.outputs(); ++c) stats.add(out.channel(c), n);
        if (out.touchedFrom(n)) stats.overrun = true;
    }

    PluginInstance instance;
    Buffers in, out;
};

void generate(Generator& g, std::vector<float>& block, int frames);

// ---- text buffers ----------------------------------------------------------------------------

constexpr unsigned char kTextCanary = 0xA5;
constexpr std::size_t kScratch = 4096;

// What a text opcode did to a canary-filled buffer.
struct TextWrite {
    std::size_t extent = 0;       // bytes from the start up to the last one written
    std::size_t terminator = SIZE_MAX;  // position of the first zero
    std::string text;
};

TextWrite inspectText(const std::vector<unsigned char>& buf);

// Judges a text written for a buffer of `bound` characters plus the terminating zero. Parameter
// texts have a nominal bound of 8 that many plug-ins and hosts treat as 64: beyond the first is
// a warning, beyond the second a failure.
struct TextVerdict {
    CheckStatus status = CheckStatus::Pass;
    std::string why;
};

TextVerdict judgeText(const TextWrite& w, std::size_t bound, std::size_t lenientBound);

}  // namespace orvex::tools::validation

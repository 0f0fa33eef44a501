#include "tools/validate/validate.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>

#include "tools/common/text.h"
#include "tools/common/usage_error.h"
#include "tools/common/vst_loader.h"

namespace orvex::tools {
namespace {

using Clock = std::chrono::steady_clock;

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

std::uint64_t mix(std::uint64_t seed, std::uint64_t salt) {
    Random r(seed ^ (salt * 0xD1B54A32D192ED03ull));
    return r.next();
}

std::uint64_t hashText(const std::string& s) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

std::string valueText(float v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "+inf" : "-inf";
    return formatText("%.9g", static_cast<double>(v));
}

// The special values hosts (or broken automation) may hand to setParameter.
const std::vector<float>& specialParameterValues() {
    static const std::vector<float> values = {
        std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
        -1.0f, -0.5f, 1.5f, 2.0f, 1e30f, -1e30f, std::numeric_limits<float>::max(),
        -std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(), -0.0f,
        0.0f, 1.0f, std::nextafter(1.0f, 2.0f), std::nextafter(0.0f, -1.0f)};
    return values;
}

float randomParameterValue(Random& r) {
    const int kind = r.below(100);
    if (kind < 60) return static_cast<float>(r.uniform());
    if (kind < 70) return r.below(2) ? 1.0f : 0.0f;
    if (kind < 80) return static_cast<float>((r.uniform() - 0.5) * 4.0);  // -2..2
    const auto& special = specialParameterValues();
    return special[static_cast<std::size_t>(r.below(static_cast<int>(special.size())))];
}

// ---- signals and buffers ---------------------------------------------------------------------

enum class Signal { Noise, Sweep, LoudThenSilence, Square };
constexpr Signal kSignals[] = {Signal::Noise, Signal::Sweep, Signal::LoudThenSilence, Signal::Square};

const char* signalName(Signal s) {
    switch (s) {
        case Signal::Noise: return "noise";
        case Signal::Sweep: return "sine sweep";
        case Signal::LoudThenSilence: return "silence after loud";
        case Signal::Square: return "full-scale square";
    }
    return "?";
}

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

bool isCanary(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits == kCanaryBits;
}

float canary() {
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

Limits limitsFor(bool quick) {
    if (quick)
        return {0.25, {22050, 48000, 192000}, {1, 64, 4096, 0}, 2.0, {48000}, 200, 500, 1.0, 4.0, false, 4};
    return {2.0, {22050, 44100, 48000, 88200, 96000, 192000}, {1, 16, 64, 512, 1024, 4096, 0}, 20.0,
            {44100, 96000}, 2000, 5000, 2.0, 60.0, true, 20};
}

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

void generate(Generator& g, std::vector<float>& block, int frames) {
    block.resize(static_cast<std::size_t>(std::max(frames, 0)));
    for (auto& v : block) v = g.next();
}

// ---- identity --------------------------------------------------------------------------------

void runIdentity(Context& ctx) {
    if (!ctx.begin(0, "record")) return;
    Rig rig(ctx.library, 48000, 512, 512);
    const AEffect* e = rig.instance.effect();
    std::string detail = formatText("\"%s\" by \"%s\", %d in / %d out, %d parameters, %d programs, flags 0x%x, id 0x%08x",
                                rig.instance.effectName().c_str(), rig.instance.vendor().c_str(), e->numInputs,
                                e->numOutputs, e->numParams, e->numPrograms, static_cast<unsigned>(e->flags),
                                static_cast<unsigned>(e->uniqueID));
    std::vector<std::string> problems;
    if (e->numInputs < 0 || e->numOutputs < 1 || e->numParams < 0 || e->numPrograms < 0)
        problems.push_back("impossible channel, parameter or program counts");
    if (e->initialDelay < 0) problems.push_back("negative initialDelay");
    if (!e->processReplacing) problems.push_back("no processReplacing");
    if (!problems.empty()) {
        std::string all;
        for (const auto& p : problems) all += (all.empty() ? "" : "; ") + p;
        ctx.fail(detail + ": " + all);
    } else if (!(e->flags & effFlagsCanReplacing)) {
        ctx.warn(detail + ": effFlagsCanReplacing is not set");
    } else {
        ctx.pass(detail + formatText(", latency %d", e->initialDelay));
    }
}

// ---- the matrix ------------------------------------------------------------------------------

void runMatrix(Context& ctx) {
    int id = 0;
    for (double rate : ctx.limits.rates) {
        for (int block : ctx.limits.blocks) {
            for (Signal signal : kSignals) {
                const std::string blockText = block == 0 ? "random blocks 0..4096" : "block " + std::to_string(block);
                const std::string name = formatText("%.0f Hz, %s, %s", rate, blockText.c_str(), signalName(signal));
                if (!ctx.begin(id++, name)) continue;
                const int announced = block == 0 ? 4096 : block;
                const auto length = static_cast<std::int64_t>(ctx.limits.cellSeconds * rate);
                Rig rig(ctx.library, rate, announced, static_cast<std::size_t>(announced));
                Generator gen(signal, rate, length, ctx.seedFor(name));
                Random sizes(ctx.seedFor(name + "/sizes"));
                std::vector<float> source;
                SampleStats stats;
                std::int64_t done = 0;
                while (done < length) {
                    int frames = block;
                    if (block == 0) frames = sizes.below(20) == 0 ? 0 : sizes.below(4097);
                    frames = static_cast<int>(std::min<std::int64_t>(frames, length - done));
                    generate(gen, source, frames);
                    rig.process(source.data(), frames, stats);
                    done += frames;
                }
                ctx.expect(stats.clean() && ctx.peakOk(stats.peak), stats.text() + ctx.peakText(stats.peak));
            }
        }
    }
}

// ---- automation ------------------------------------------------------------------------------

void runAutomation(Context& ctx) {
    int id = 0;
    // Every parameter with every special value, one block after each.
    if (ctx.begin(id++, "special values through setParameter")) {
        Rig rig(ctx.library, 48000, 512, 512);
        const int params = rig.instance.parameterCount();
        Generator gen(Signal::Noise, 48000, 1 << 30, ctx.seedFor("special"));
        std::vector<float> source;
        SampleStats stats;
        std::string bad;
        int calls = 0;
        for (int p = 0; p < params; ++p) {
            for (float v : specialParameterValues()) {
                rig.instance.setParameter(p, v);
                ++calls;
                const float r = rig.instance.getParameter(p);
                if (!(r >= 0.0f && r <= 1.0f) && bad.empty())
                    bad = formatText("setParameter(%d, %s) then getParameter(%d) = %s", p, valueText(v).c_str(), p,
                                 valueText(r).c_str());
                generate(gen, source, 64);
                rig.process(source.data(), 64, stats);
            }
        }
        // Indexes the plug-in does not have must be ignored.
        for (int p : {-1, params, params + 1, INT_MAX, INT_MIN}) {
            rig.instance.setParameter(p, 0.5f);
            (void)rig.instance.getParameter(p);
        }
        generate(gen, source, 512);
        rig.process(source.data(), 512, stats);
        const std::string detail = formatText("%d calls; ", calls) + stats.text();
        if (!bad.empty()) ctx.fail(bad + "; " + detail);
        else ctx.expect(stats.clean() && ctx.peakOk(stats.peak), detail + ctx.peakText(stats.peak));
    }
    for (double rate : ctx.limits.automationRates) {
        for (Signal signal : {Signal::Noise, Signal::Square}) {
            const std::string name = formatText("random automation every 32 samples, %.0f Hz, %s", rate, signalName(signal));
            if (!ctx.begin(id++, name)) continue;
            Rig rig(ctx.library, rate, 512, 32);
            const int params = rig.instance.parameterCount();
            const auto length = static_cast<std::int64_t>(ctx.limits.automationSeconds * rate);
            Generator gen(signal, rate, length, ctx.seedFor(name));
            Random r(ctx.seedFor(name + "/values"));
            std::vector<float> source;
            SampleStats stats;
            std::string bad;
            std::uint64_t sets = 0;
            for (std::int64_t done = 0; done < length; done += 32) {
                const int changes = params > 0 ? 1 + r.below(3) : 0;
                for (int k = 0; k < changes; ++k) {
                    const int p = r.below(params);
                    const float v = randomParameterValue(r);
                    rig.instance.setParameter(p, v);
                    ++sets;
                    const float back = rig.instance.getParameter(p);
                    if (!(back >= 0.0f && back <= 1.0f) && bad.empty())
                        bad = formatText("setParameter(%d, %s) then getParameter(%d) = %s", p, valueText(v).c_str(), p,
                                     valueText(back).c_str());
                }
                generate(gen, source, 32);
                rig.process(source.data(), 32, stats);
            }
            const std::string detail = formatText("%" PRIu64 " changes; ", sets) + stats.text();
            if (!bad.empty()) ctx.fail(bad + "; " + detail);
            else ctx.expect(stats.clean() && ctx.peakOk(stats.peak), detail + ctx.peakText(stats.peak));
        }
    }
}

// ---- calls hosts make that plug-ins do not always expect -------------------------------------

void runEdges(Context& ctx) {
    int id = 0;
    const double rate = 48000;
    if (ctx.begin(id++, "blocks of 4096 after effSetBlockSize 512")) {
        Rig rig(ctx.library, rate, 512, 4096);
        Generator gen(Signal::Noise, rate, 1 << 30, ctx.seedFor("oversized"));
        std::vector<float> source;
        SampleStats stats;
        for (int k = 0; k < 8; ++k) {
            generate(gen, source, 4096);
            rig.process(source.data(), 4096, stats);
        }
        ctx.expect(stats.clean() && ctx.peakOk(stats.peak), stats.text() + ctx.peakText(stats.peak));
    }
    if (ctx.begin(id++, "processReplacing with 0 frames")) {
        // A 0-frame call between blocks must write nothing and change nothing.
        Rig a(ctx.library, rate, 512, 512), b(ctx.library, rate, 512, 512);
        Generator ga(Signal::Noise, rate, 1 << 30, ctx.seedFor("zero")), gb(Signal::Noise, rate, 1 << 30, ctx.seedFor("zero"));
        std::vector<float> sa, sb;
        SampleStats stats, other, zero;
        bool wrote = false, differs = false;
        for (int k = 0; k < 48; ++k) {
            a.process(nullptr, 0, zero);
            if (a.out.touchedFrom(0)) wrote = true;
            generate(ga, sa, 512);
            generate(gb, sb, 512);
            a.process(sa.data(), 512, stats);
            b.process(sb.data(), 512, other);
            for (int c = 0; c < a.instance.outputs(); ++c)
                if (std::memcmp(a.out.channel(c), b.out.channel(c), 512 * sizeof(float)) != 0) differs = true;
        }
        if (wrote) ctx.fail("a 0-frame call wrote into the output buffers");
        else if (!stats.clean()) ctx.fail(stats.text());
        else if (differs) ctx.warn("0-frame calls changed the output of the blocks that followed; " + stats.text());
        else ctx.pass("nothing written, output identical to a run without them; " + stats.text());
    }
    if (ctx.begin(id++, "sample-rate change without suspend")) {
        Rig rig(ctx.library, 44100, 512, 512);
        Generator gen(Signal::Noise, 44100, 1 << 30, ctx.seedFor("rate"));
        std::vector<float> source;
        SampleStats stats;
        for (float newRate : {96000.0f, 22050.0f, 44100.0f}) {
            for (int k = 0; k < 24; ++k) {
                generate(gen, source, 512);
                rig.process(source.data(), 512, stats);
            }
            rig.instance.dispatch(effSetSampleRate, 0, 0, nullptr, newRate);
        }
        for (int k = 0; k < 24; ++k) {
            generate(gen, source, 512);
            rig.process(source.data(), 512, stats);
        }
        ctx.expect(stats.clean() && ctx.peakOk(stats.peak), "44100 -> 96000 -> 22050 -> 44100 Hz while resumed; " +
                                                                stats.text() + ctx.peakText(stats.peak));
    }
    if (ctx.begin(id++, "suspend and resume mid-stream")) {
        Rig rig(ctx.library, rate, 512, 512);
        Generator gen(Signal::Square, rate, static_cast<std::int64_t>(rate), ctx.seedFor("suspend"));
        std::vector<float> source;
        SampleStats stats;
        for (int round = 0; round < 6; ++round) {
            for (int k = 0; k < 8; ++k) {
                generate(gen, source, 512);
                rig.process(source.data(), 512, stats);
            }
            rig.instance.suspend();
            if (round == 2) rig.instance.dispatch(effSetBlockSize, 0, 1024);  // set up anew while suspended
            rig.instance.resume();
            if (round == 4) rig.instance.resume();  // resumed twice in a row
        }
        ctx.expect(stats.clean() && ctx.peakOk(stats.peak), stats.text() + ctx.peakText(stats.peak));
    }
}

// ---- determinism -----------------------------------------------------------------------------

void runDeterminism(Context& ctx) {
    const double rate = 48000;
    const int frames = static_cast<int>(rate * (ctx.options.quick ? 1.0 : 4.0));
    std::vector<float> input(static_cast<std::size_t>(frames));
    {
        Generator noise(Signal::Noise, rate, frames, ctx.seedFor("input"));
        Generator sweep(Signal::Sweep, rate, frames, 0);
        for (int i = 0; i < frames; ++i) input[static_cast<std::size_t>(i)] = i < frames / 2 ? noise.next() : sweep.next();
    }
    // Renders the input with the given block sizes (cycled); `instances` run interleaved.
    auto render = [&](Rig& rig, const std::vector<int>& sizes, std::size_t& at, std::vector<std::vector<float>>& out,
                      SampleStats& stats, int& pos) {
        const int n = std::min(sizes[at++ % sizes.size()], frames - pos);
        rig.process(input.data() + pos, n, stats);
        for (int c = 0; c < rig.instance.outputs(); ++c)
            out[static_cast<std::size_t>(c)].insert(out[static_cast<std::size_t>(c)].end(), rig.out.channel(c),
                                                    rig.out.channel(c) + n);
        pos += n;
    };
    auto firstDifference = [](const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b) {
        for (std::size_t c = 0; c < a.size(); ++c)
            for (std::size_t i = 0; i < a[c].size() && i < b[c].size(); ++i)
                if (std::memcmp(&a[c][i], &b[c][i], sizeof(float)) != 0)
                    return formatText("output %zu differs first at sample %zu (%.9g vs %.9g)", c, i,
                                  static_cast<double>(a[c][i]), static_cast<double>(b[c][i]));
        return std::string();
    };
    if (ctx.begin(0, "two instances, same input, interleaved")) {
        Rig a(ctx.library, rate, 512, 512), b(ctx.library, rate, 512, 512);
        std::vector<std::vector<float>> oa(static_cast<std::size_t>(a.instance.outputs())), ob(oa.size());
        SampleStats sa, sb;
        std::size_t ia = 0, ib = 0;
        int pa = 0, pb = 0;
        while (pa < frames) {
            render(a, {512}, ia, oa, sa, pa);
            render(b, {512}, ib, ob, sb, pb);
        }
        const std::string diff = firstDifference(oa, ob);
        if (!diff.empty()) ctx.fail(diff);
        else ctx.expect(sa.clean(), formatText("%d samples identical; ", frames) + sa.text());
    }
    if (ctx.begin(1, "same output however the input is split into blocks")) {
        Rig a(ctx.library, rate, 4096, 4096), b(ctx.library, rate, 4096, 4096);
        Random r(ctx.seedFor("split"));
        std::vector<int> sizes;
        for (int k = 0; k < 257; ++k) sizes.push_back(r.below(8) == 0 ? r.below(4) : r.below(4097));
        std::vector<std::vector<float>> oa(static_cast<std::size_t>(a.instance.outputs())), ob(oa.size());
        SampleStats sa, sb;
        std::size_t ia = 0, ib = 0;
        int pa = 0, pb = 0;
        while (pa < frames) render(a, {512}, ia, oa, sa, pa);
        while (pb < frames) render(b, sizes, ib, ob, sb, pb);
        const std::string diff = firstDifference(oa, ob);
        if (!diff.empty()) ctx.warn("blocks of 512 against random sizes 0..4096: " + diff);
        else ctx.pass("blocks of 512 and random sizes 0..4096 give identical output");
    }
}

// ---- text buffers ----------------------------------------------------------------------------

constexpr unsigned char kTextCanary = 0xA5;
constexpr std::size_t kScratch = 4096;

// What a text opcode did to a canary-filled buffer.
struct TextWrite {
    std::size_t extent = 0;       // bytes from the start up to the last one written
    std::size_t terminator = SIZE_MAX;  // position of the first zero
    std::string text;
};

TextWrite inspectText(const std::vector<unsigned char>& buf) {
    TextWrite w;
    for (std::size_t i = buf.size(); i > 0; --i)
        if (buf[i - 1] != kTextCanary) {
            w.extent = i;
            break;
        }
    for (std::size_t i = 0; i < buf.size(); ++i)
        if (buf[i] == 0) {
            w.terminator = i;
            break;
        }
    if (w.terminator != SIZE_MAX) w.text.assign(reinterpret_cast<const char*>(buf.data()), w.terminator);
    return w;
}

// Judges a text written for a buffer of `bound` characters plus the terminating zero. Parameter
// texts have a nominal bound of 8 that many plug-ins and hosts treat as 64: beyond the first is
// a warning, beyond the second a failure.
struct TextVerdict {
    CheckStatus status = CheckStatus::Pass;
    std::string why;
};

TextVerdict judgeText(const TextWrite& w, std::size_t bound, std::size_t lenientBound) {
    TextVerdict v;
    auto describe = [&] {
        return formatText("wrote %zu bytes, \"%s\", where the bound is %zu + 1", w.extent, w.text.substr(0, 80).c_str(), bound);
    };
    if (w.extent == 0) return v;  // nothing written: an empty answer left as the host set it
    if (w.extent > lenientBound + 1 || w.terminator == SIZE_MAX || w.terminator > lenientBound) {
        v.status = CheckStatus::Fail;
        v.why = w.terminator == SIZE_MAX ? formatText("wrote %zu bytes without a terminating zero", w.extent) : describe();
    } else if (w.extent > bound + 1 || w.terminator > bound) {
        v.status = CheckStatus::Warn;
        v.why = describe();
    }
    return v;
}

// ---- parameters ------------------------------------------------------------------------------

std::string queryText(PluginInstance& instance, VstInt32 opcode, VstInt32 index, TextWrite& w) {
    std::vector<unsigned char> buf(kScratch, kTextCanary);
    instance.dispatch(opcode, index, 0, buf.data());
    w = inspectText(buf);
    return w.text;
}

void runParameters(Context& ctx) {
    Rig rig(ctx.library, 48000, 512, 512);
    PluginInstance& inst = rig.instance;
    const int params = inst.parameterCount();
    if (params == 0 && ctx.begin(0, "parameters")) {
        ctx.skip("the plug-in has no parameters");
        return;
    }
    std::vector<std::string> names;
    for (int p = 0; p < params; ++p) {
        TextWrite w;
        names.push_back(queryText(inst, effGetParamName, p, w));
    }
    for (int p = 0; p < params; ++p) {
        const std::string& name = names[static_cast<std::size_t>(p)];
        if (!ctx.begin(p, formatText("parameter %d \"%s\"", p, name.c_str()))) continue;
        std::vector<std::string> faults, notes;
        // Texts: within their bounds.
        struct Query {
            VstInt32 opcode;
            const char* what;
        };
        CheckStatus worst = CheckStatus::Pass;
        for (Query q : {Query{effGetParamName, "name"}, Query{effGetParamLabel, "label"}, Query{effGetParamDisplay, "display"}}) {
            TextWrite w;
            queryText(inst, q.opcode, p, w);
            const TextVerdict v = judgeText(w, kVstMaxParamStrLen, 64);
            if (v.status == CheckStatus::Fail) faults.push_back(std::string(q.what) + " " + v.why);
            if (v.status == CheckStatus::Warn) {
                notes.push_back(std::string(q.what) + " " + v.why);
                worst = CheckStatus::Warn;
            }
        }
        if (name.empty()) notes.push_back("empty name");
        if (std::count(names.begin(), names.end(), name) > 1) notes.push_back("name shared with another parameter");
        if (!notes.empty()) worst = CheckStatus::Warn;
        // Round trip: set, read back, set what was read: the value and the display must hold.
        const float original = inst.getParameter(p);
        int exact = 0;
        std::string lowText, highText;
        const int steps = ctx.limits.roundTripSteps;
        for (int k = 0; k <= steps; ++k) {
            const float v = static_cast<float>(k) / static_cast<float>(steps);
            inst.setParameter(p, v);
            const float back = inst.getParameter(p);
            TextWrite w;
            const std::string shown = queryText(inst, effGetParamDisplay, p, w);
            if (k == 0) lowText = shown;
            if (k == steps) highText = shown;
            if (!(back >= 0.0f && back <= 1.0f)) {
                faults.push_back(formatText("set %s, read back %s", valueText(v).c_str(), valueText(back).c_str()));
                break;
            }
            if (back == v) ++exact;
            inst.setParameter(p, back);
            const float again = inst.getParameter(p);
            const std::string shownAgain = queryText(inst, effGetParamDisplay, p, w);
            if (again != back || shownAgain != shown) {
                faults.push_back(formatText("set %s -> %s (\"%s\"), set again -> %s (\"%s\")", valueText(v).c_str(),
                                        valueText(back).c_str(), shown.c_str(), valueText(again).c_str(),
                                        shownAgain.c_str()));
                break;
            }
        }
        inst.setParameter(p, original);
        if (inst.getParameter(p) != original)
            faults.push_back(formatText("default %s does not read back", valueText(original).c_str()));
        std::string detail = formatText("%d of %d values read back exactly, display \"%s\" .. \"%s\"", exact, steps + 1,
                                    lowText.c_str(), highText.c_str());
        for (const auto& n : notes) detail += "; " + n;
        for (const auto& f : faults) detail += "; " + f;
        ctx.result(faults.empty() ? worst : CheckStatus::Fail, detail);
    }
}

// ---- allocations -----------------------------------------------------------------------------

void runAllocations(Context& ctx) {
    const AllocationProbe* probe = ctx.options.allocations;
    const char* names[] = {"heap allocations inside processReplacing",
                           "heap allocations inside processReplacing with automation",
                           "heap allocations inside setParameter", "heap allocations inside effProcessEvents"};
    if (!probe) {
        for (int id = 0; id < 4; ++id)
            if (ctx.begin(id, names[id])) ctx.skip("this build cannot interpose the allocator (sanitizer build)");
        return;
    }
    Rig rig(ctx.library, 48000, 512, 512);
    const int params = rig.instance.parameterCount();
    Generator gen(Signal::Noise, 48000, 1 << 30, ctx.seedFor("alloc"));
    Random r(ctx.seedFor("alloc/values"));
    std::vector<float> source, silence(512, 0.0f);
    SampleStats stats;
    // Warm-up: first blocks may settle lazily; the host's real-time use starts after them.
    for (int k = 0; k < 8; ++k) {
        generate(gen, source, 512);
        rig.process(source.data(), 512, stats);
    }
    auto countedBlocks = [&](bool automate) {
        AllocationCount total;
        for (int k = 0; k < ctx.limits.allocationBlocks; ++k) {
            const int frames = 1 + r.below(512);
            if (automate && params > 0) rig.instance.setParameter(r.below(params), static_cast<float>(r.uniform()));
            if (k % 5 == 4) source.assign(static_cast<std::size_t>(frames), 0.0f);
            else generate(gen, source, frames);
            probe->begin();
            rig.process(source.data(), frames, stats);
            const AllocationCount c = probe->end();
            total.allocations += c.allocations;
            total.releases += c.releases;
        }
        return total;
    };
    // Rig::process also copies and scans buffers inside the count, none of which allocates.
    for (int id = 0; id < 2; ++id) {
        if (!ctx.begin(id, names[id])) continue;
        const AllocationCount c = countedBlocks(id == 1);
        ctx.expect(c.allocations == 0 && c.releases == 0,
                   formatText("%d blocks: %" PRIu64 " allocations, %" PRIu64 " releases", ctx.limits.allocationBlocks,
                          c.allocations, c.releases));
    }
    if (ctx.begin(2, names[2])) {
        AllocationCount total;
        int calls = 0;
        for (int k = 0; k < 20 && params > 0; ++k)
            for (int p = 0; p < params; ++p) {
                probe->begin();
                rig.instance.setParameter(p, static_cast<float>(r.uniform()));
                const AllocationCount c = probe->end();
                total.allocations += c.allocations;
                ++calls;
            }
        const std::string detail = formatText("%d calls: %" PRIu64 " allocations", calls, total.allocations);
        if (total.allocations) ctx.warn(detail + " (hosts may automate from the audio thread)");
        else ctx.pass(detail);
    }
    if (ctx.begin(3, names[3])) {
        // Note on, note off, all notes off, a controller, pitch bend: what a sequencer sends.
        VstMidiEvent midi[5]{};
        const unsigned char bytes[5][3] = {{0x90, 60, 100}, {0x80, 60, 0}, {0xB0, 7, 100}, {0xE0, 0, 64}, {0xB0, 123, 0}};
        struct {
            VstInt32 numEvents;
            VstIntPtr reserved;
            VstEvent* events[5];
        } list{5, 0, {}};
        for (int i = 0; i < 5; ++i) {
            midi[i].type = kVstMidiType;
            midi[i].byteSize = sizeof(VstMidiEvent);
            midi[i].deltaFrames = i * 64;
            for (int b = 0; b < 3; ++b) midi[i].midiData[b] = static_cast<char>(bytes[i][b]);
            list.events[i] = reinterpret_cast<VstEvent*>(&midi[i]);
        }
        AllocationCount total;
        // Diagnostic lines that a plug-in writes for controllers would flood the report.
        const int saved = ::dup(STDERR_FILENO);
        FILE* null = std::fopen("/dev/null", "w");
        if (null) ::dup2(::fileno(null), STDERR_FILENO);
        for (int k = 0; k < 50; ++k) {
            probe->begin();
            rig.instance.dispatch(effProcessEvents, 0, 0, &list);
            const AllocationCount c = probe->end();
            total.allocations += c.allocations;
            generate(gen, source, 512);
            rig.process(source.data(), 512, stats);
        }
        if (saved >= 0) {
            ::dup2(saved, STDERR_FILENO);
            ::close(saved);
        }
        if (null) std::fclose(null);
        const std::string detail = formatText("50 event lists of 5 events: %" PRIu64 " allocations", total.allocations);
        if (total.allocations) ctx.warn(detail + " (events arrive on the audio thread)");
        else ctx.pass(detail);
    }
}

// ---- threads ---------------------------------------------------------------------------------

void runThreads(Context& ctx) {
    if (!ctx.begin(0, formatText("setParameter and parameter texts from other threads during %d blocks",
                             ctx.limits.threadBlocks)))
        return;
    Rig rig(ctx.library, 48000, 512, 512);
    PluginInstance& inst = rig.instance;
    const int params = inst.parameterCount();
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> sets{0}, texts{0}, outOfRange{0};
    std::atomic<int> started{0};
    std::thread writer([&] {
        Random r(ctx.seedFor("writer"));
        started.fetch_add(1);
        while (!stop.load(std::memory_order_relaxed)) {
            if (params == 0) {
                std::this_thread::yield();
                continue;
            }
            // Values in 0..1 (out-of-range values have checks of their own), now and then an
            // index the plug-in lacks.
            const int p = r.below(params + 2) - 1;
            inst.setParameter(p, static_cast<float>(r.uniform()));
            const float back = inst.getParameter(p);
            if (p >= 0 && p < params && !(back >= 0.0f && back <= 1.0f)) outOfRange.fetch_add(1);
            sets.fetch_add(1, std::memory_order_relaxed);
        }
    });
    // What a host's user interface does meanwhile: read the parameter texts.
    std::thread reader([&] {
        Random r(ctx.seedFor("reader"));
        std::vector<char> buf(kScratch);
        started.fetch_add(1);
        while (!stop.load(std::memory_order_relaxed)) {
            if (params == 0) {
                std::this_thread::yield();
                continue;
            }
            const int p = r.below(params);
            inst.dispatch(effGetParamDisplay, p, 0, buf.data());
            inst.dispatch(effGetParamName, p, 0, buf.data());
            texts.fetch_add(1, std::memory_order_relaxed);
        }
    });
    while (started.load() < 2) std::this_thread::yield();
    Generator gen(Signal::Noise, 48000, 1 << 30, ctx.seedFor("audio"));
    std::vector<float> source;
    SampleStats stats;
    for (int k = 0; k < ctx.limits.threadBlocks; ++k) {
        generate(gen, source, 512);
        rig.process(source.data(), 512, stats);
    }
    stop = true;
    writer.join();
    reader.join();
    const std::string detail = formatText("%" PRIu64 " setParameter, %" PRIu64 " text reads; ", sets.load(), texts.load()) +
                               stats.text() + ctx.peakText(stats.peak);
    if (outOfRange.load()) ctx.fail(formatText("getParameter out of 0..1 %" PRIu64 " times; ", outOfRange.load()) + detail);
    else ctx.expect(stats.clean() && ctx.peakOk(stats.peak), detail);
}

// ---- the dispatcher --------------------------------------------------------------------------

enum class ArgKind {
    Plain,         // no pointer meaning: ptr gets a zeroed scratch buffer
    TextOut,       // ptr is a text buffer the plug-in fills
    TextIn,        // ptr is a text the plug-in reads
    Struct,        // ptr is a structure of `size` bytes
    Skip,
};

struct OpcodeShape {
    ArgKind kind = ArgKind::Plain;
    std::size_t size = 0;         // TextOut: bound; Struct: size
    std::size_t lenient = 0;      // TextOut: the bound hosts commonly allow
    const char* why = "";         // Skip: the reason
};

OpcodeShape shapeOf(int opcode, bool hasEditor) {
    switch (opcode) {
        case effClose: return {ArgKind::Skip, 0, 0, "closes and destroys the instance; every instance here ends with it"};
        case effEditOpen: return {ArgKind::Skip, 0, 0, "needs a host window"};
        case effEditGetRect:
        case effEditClose:
        case effEditDraw:
        case effEditMouse:
        case effEditKey:
        case effEditIdle:
        case effEditTop:
        case effEditSleep:
        case effEditKeyDown:
        case effEditKeyUp:
        case effSetEditKnobMode:
            if (hasEditor) return {ArgKind::Skip, 0, 0, "needs an open editor window"};
            if (opcode == effEditGetRect) return {ArgKind::Struct, sizeof(ERect*)};
            if (opcode == effEditDraw) return {ArgKind::Struct, sizeof(ERect)};
            return {};
        case effSetProgramName: return {ArgKind::TextIn};
        case effCanDo: return {ArgKind::TextIn};
        case effString2Parameter: return {ArgKind::TextIn};
        case effGetProgramName:
        case effGetProgramNameIndexed: return {ArgKind::TextOut, kVstMaxProgNameLen, kVstMaxProgNameLen};
        case effGetParamLabel:
        case effGetParamDisplay:
        case effGetParamName: return {ArgKind::TextOut, kVstMaxParamStrLen, 64};
        case effGetEffectName: return {ArgKind::TextOut, kVstMaxEffectNameLen, kVstMaxEffectNameLen};
        case effGetVendorString: return {ArgKind::TextOut, kVstMaxVendorStrLen, kVstMaxVendorStrLen};
        case effGetProductString: return {ArgKind::TextOut, kVstMaxProductStrLen, kVstMaxProductStrLen};
        case effShellGetNextPlugin: return {ArgKind::TextOut, kVstMaxProductStrLen, kVstMaxProductStrLen};
        case effGetErrorText: return {ArgKind::TextOut, 255, 255};
        case effGetChunk: return {ArgKind::Struct, sizeof(void*)};
        case effGetInputProperties:
        case effGetOutputProperties: return {ArgKind::Struct, sizeof(VstPinProperties)};
        case effGetParameterProperties: return {ArgKind::Struct, sizeof(VstParameterProperties)};
        case effGetMidiProgramName:
        case effGetCurrentMidiProgram: return {ArgKind::Struct, sizeof(MidiProgramName)};
        case effGetMidiProgramCategory: return {ArgKind::Struct, sizeof(MidiProgramCategory)};
        case effGetMidiKeyName: return {ArgKind::Struct, sizeof(MidiKeyName)};
        case effBeginLoadBank:
        case effBeginLoadProgram: return {ArgKind::Struct, sizeof(VstPatchChunkInfo)};
        case effOfflineNotify: return {ArgKind::Struct, sizeof(VstAudioFile)};
        case effOfflinePrepare:
        case effOfflineRun: return {ArgKind::Struct, sizeof(VstOfflineTask)};
        default: return {};
    }
}

struct EdgeArgs {
    VstInt32 index;
    VstIntPtr value;
    float opt;
};

std::vector<EdgeArgs> edgeArguments(int params, bool full) {
    const std::vector<VstInt32> indexes = {0, 1, -1, params, INT32_MAX, INT32_MIN};
    const std::vector<VstIntPtr> values = {0, 1, -1, 0x7FFFFFFF};
    const std::vector<float> opts = {0.0f, 1.0f, std::numeric_limits<float>::quiet_NaN()};
    std::vector<EdgeArgs> out;
    if (full) {
        for (auto i : indexes)
            for (auto v : values)
                for (auto o : opts) out.push_back({i, v, o});
    } else {
        for (std::size_t k = 0; k < indexes.size() + 2; ++k)
            out.push_back({indexes[k % indexes.size()], values[k % values.size()], opts[k % opts.size()]});
    }
    return out;
}

// Calls `opcode` with edge-case arguments and well-formed buffers; returns problems found.
void sweepOpcode(Context& ctx, Rig& rig, int opcode, const OpcodeShape& shape) {
    PluginInstance& inst = rig.instance;
    const int params = inst.parameterCount();
    std::vector<unsigned char> buf(kScratch);
    CheckStatus worst = CheckStatus::Pass;
    std::string problem;
    std::string answers;
    auto note = [&](CheckStatus s, const std::string& why) {
        if (s == CheckStatus::Fail && worst != CheckStatus::Fail) {
            worst = s;
            problem = why;
        } else if (s == CheckStatus::Warn && worst == CheckStatus::Pass) {
            worst = s;
            problem = why;
        }
    };
    auto remember = [&](VstIntPtr r) {
        const std::string t = std::to_string(static_cast<long long>(r));
        if (answers.size() < 60 && answers.find(" " + t + ",") == std::string::npos) answers += " " + t + ",";
    };
    int calls = 0;
    auto call = [&](VstInt32 index, VstIntPtr value, void* ptr, float opt) {
        ++calls;
        const VstIntPtr r = inst.dispatch(opcode, index, value, ptr, opt);
        remember(r);
        return r;
    };

    std::vector<EdgeArgs> args = edgeArguments(params, ctx.limits.fullDispatcherProduct);
    switch (opcode) {
        case effSetSampleRate:
            args.clear();
            for (float rate : {0.0f, -1.0f, 1.0f, 8000.0f, 384000.0f, std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()})
                args.push_back({0, 0, rate});
            break;
        case effSetBlockSize:
            args.clear();
            for (VstIntPtr b : {0, -1, 1, 7, 65536}) args.push_back({0, b, 0.0f});
            break;
        case effSetChunk:
            args.clear();
            for (VstIntPtr size : {0, 16, 4096})
                for (VstInt32 isPreset : {0, 1}) args.push_back({isPreset, size, 0.0f});
            break;
        case effOfflineNotify:
        case effOfflinePrepare:
        case effOfflineRun:
        case effProcessVarIo:
            // value counts the structures behind ptr: one.
            for (auto& a : args) a.value = 1;
            break;
        default: break;
    }

    if (opcode == effProcessEvents) {
        // Well-formed lists: empty, and one with every kind of event a host sends, frame
        // offsets at both ends of the block.
        VstMidiEvent midi[6]{};
        const unsigned char bytes[6][3] = {{0x90, 60, 100}, {0x90, 61, 0}, {0x80, 60, 64},
                                           {0xB0, 123, 0},  {0xE0, 127, 127}, {0xF8, 0, 0}};
        char dump[6] = {static_cast<char>(0xF0), 0x7E, 0x7F, 0x09, 0x01, static_cast<char>(0xF7)};
        VstMidiSysexEvent sysex{};
        sysex.type = kVstSysExType;
        sysex.byteSize = sizeof(VstMidiSysexEvent);
        sysex.dumpBytes = sizeof dump;
        sysex.sysexDump = dump;
        VstEvent other{};
        other.type = 99;
        other.byteSize = sizeof(VstEvent);
        struct {
            VstInt32 numEvents;
            VstIntPtr reserved;
            VstEvent* events[8];
        } list{};
        for (int i = 0; i < 6; ++i) {
            midi[i].type = kVstMidiType;
            midi[i].byteSize = sizeof(VstMidiEvent);
            midi[i].deltaFrames = i == 5 ? 511 : i * 50;
            for (int b = 0; b < 3; ++b) midi[i].midiData[b] = static_cast<char>(bytes[i][b]);
            list.events[i] = reinterpret_cast<VstEvent*>(&midi[i]);
        }
        list.events[6] = reinterpret_cast<VstEvent*>(&sysex);
        list.events[7] = &other;
        SampleStats stats;
        Generator gen(Signal::Noise, 48000, 1 << 30, 25);
        std::vector<float> source;
        for (int n : {0, 8, 8, 1}) {
            list.numEvents = n;
            for (const auto& a : args) {
                call(a.index, a.value, &list, a.opt);
                generate(gen, source, 512);
                rig.process(source.data(), 512, stats);
            }
        }
        if (!stats.clean()) note(CheckStatus::Fail, "output after events: " + stats.text());
    } else if (opcode == effSetSpeakerArrangement || opcode == effGetSpeakerArrangement) {
        for (const auto& a : args) {
            if (opcode == effSetSpeakerArrangement) {
                VstSpeakerArrangement in{}, out{};
                in.type = kSpeakerArrStereo;
                in.numChannels = 2;
                in.speakers[0].type = kSpeakerL;
                in.speakers[1].type = kSpeakerR;
                out = in;
                call(a.index, reinterpret_cast<VstIntPtr>(&in), &out, a.opt);
            } else {
                VstSpeakerArrangement* slots[2] = {nullptr, nullptr};
                call(a.index, reinterpret_cast<VstIntPtr>(&slots[0]), &slots[1], a.opt);
                for (auto* s : slots)
                    if (s && (s->numChannels < 0 || s->numChannels > 64))
                        note(CheckStatus::Fail, formatText("answered an arrangement of %d channels", s->numChannels));
            }
        }
    } else if (opcode == effProcessVarIo) {
        Buffers in(inst.inputs(), 512), out(inst.outputs(), 512);
        VstInt32 inDone = 0, outDone = 0;
        for (const auto& a : args) {
            VstVariableIo io{in.pointers(), out.pointers(), 512, 512, &inDone, &outDone};
            call(a.index, a.value, &io, a.opt);
        }
    } else {
        for (const auto& a : args) {
            switch (shape.kind) {
                case ArgKind::TextOut: {
                    std::fill(buf.begin(), buf.end(), kTextCanary);
                    call(a.index, a.value, buf.data(), a.opt);
                    const TextVerdict v = judgeText(inspectText(buf), shape.size, shape.lenient);
                    if (v.status != CheckStatus::Pass) note(v.status, formatText("index %d: ", a.index) + v.why);
                    break;
                }
                case ArgKind::TextIn: {
                    const std::string longText(300, 'x');
                    const char* texts[] = {"", "0.5", "receiveVstMidiEvent", "plugAsChannelInsert", longText.c_str()};
                    for (const char* t : texts) {
                        std::fill(buf.begin(), buf.end(), 0);
                        std::strcpy(reinterpret_cast<char*>(buf.data()), t);
                        call(a.index, a.value, buf.data(), a.opt);
                    }
                    break;
                }
                case ArgKind::Struct: {
                    std::fill(buf.begin(), buf.end(), kTextCanary);
                    std::fill(buf.begin(), buf.begin() + static_cast<long>(shape.size), 0);
                    if (opcode == effGetMidiProgramName || opcode == effGetMidiKeyName) {
                        // The structure says which program it asks about: a valid one and not.
                        const VstInt32 program = a.index == 0 || a.index == 1 ? 0 : a.index;
                        std::memcpy(buf.data(), &program, sizeof program);
                    }
                    call(a.index, a.value, buf.data(), a.opt);
                    for (std::size_t i = shape.size; i < buf.size(); ++i)
                        if (buf[i] != kTextCanary) {
                            note(CheckStatus::Fail, formatText("index %d: wrote at byte %zu past a %zu-byte structure",
                                                           a.index, i, shape.size));
                            break;
                        }
                    break;
                }
                case ArgKind::Plain:
                case ArgKind::Skip:
                    std::fill(buf.begin(), buf.end(), 0);
                    call(a.index, a.value, buf.data(), a.opt);
                    break;
            }
        }
    }

    // Whatever the arguments did, a host that sets the instance up again gets sound.
    inst.dispatch(effMainsChanged, 0, 0);
    inst.dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    inst.dispatch(effSetBlockSize, 0, 512);
    inst.dispatch(effSetProgram, 0, 0);
    inst.dispatch(effMainsChanged, 0, 1);
    Generator gen(Signal::Noise, 48000, 1 << 30, static_cast<std::uint64_t>(opcode));
    std::vector<float> source;
    SampleStats stats;
    for (int k = 0; k < 4; ++k) {
        generate(gen, source, 512);
        rig.process(source.data(), 512, stats);
    }
    if (!stats.clean()) note(CheckStatus::Fail, "output afterwards: " + stats.text());
    if (!answers.empty()) answers.pop_back();
    std::string detail = formatText("%d calls, answers%s", calls, answers.c_str());
    if (!problem.empty()) detail += "; " + problem;
    ctx.result(worst, detail);
}

void runDispatcher(Context& ctx) {
    // One instance for the whole sweep, as a host keeps one; a crash restarts with the next
    // opcode in a new child. What the plug-in prints about odd requests would bury the report,
    // so a child sends its standard error to /dev/null (in-process runs and sanitizer builds
    // keep it, for the sanitizers' reports).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool kKeepStderr = true;
#else
    constexpr bool kKeepStderr = false;
#endif
    if (ctx.options.isolate && !kKeepStderr) {
        if (FILE* null = std::fopen("/dev/null", "w")) {
            ::dup2(::fileno(null), STDERR_FILENO);
            std::fclose(null);
        }
    }
    std::unique_ptr<Rig> rig;
    for (int opcode = 0; opcode < 128; ++opcode) {
        if (!ctx.begin(opcode, formatText("opcode %d", opcode))) continue;
        if (!rig) rig = std::make_unique<Rig>(ctx.library, 48000, 512, 512);
        const OpcodeShape shape = shapeOf(opcode, rig->instance.effect()->flags & effFlagsHasEditor);
        if (shape.kind == ArgKind::Skip) {
            ctx.skip(shape.why);
            continue;
        }
        sweepOpcode(ctx, *rig, opcode, shape);
    }
}

// ---- denormals -------------------------------------------------------------------------------

// CPU time of this thread: unlike the wall clock it does not count the time other processes
// had the processor, so a shared machine does not pass for a slow path.
double threadSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void runDenormals(Context& ctx) {
    if (!ctx.begin(0, formatText("%.0f s loud, %.0f s of silence, %.0f s of -120 dBFS noise, block 512 at 48 kHz",
                             ctx.limits.denormalLoudSeconds, ctx.limits.denormalQuietSeconds,
                             ctx.limits.denormalQuietSeconds)))
        return;
    const double rate = 48000;
    Rig rig(ctx.library, rate, 512, 512);
    Random r(ctx.seedFor("denormal"));
    std::vector<float> source(512);
    struct Segment {
        const char* name;
        double seconds;
        float level;  // 0: silence
        std::vector<double> times;
        SampleStats stats;
    };
    Segment segments[] = {{"loud", ctx.limits.denormalLoudSeconds, 1.0f, {}, {}},
                          {"silence", ctx.limits.denormalQuietSeconds, 0.0f, {}, {}},
                          {"-120 dBFS", ctx.limits.denormalQuietSeconds, 1e-6f, {}, {}}};
    for (auto& s : segments) {
        const int blocks = static_cast<int>(s.seconds * rate / 512);
        s.times.reserve(static_cast<std::size_t>(blocks));
        for (int k = 0; k < blocks; ++k) {
            for (auto& v : source) v = s.level * r.bipolar();
            const double t0 = threadSeconds();
            rig.process(source.data(), 512, s.stats);
            s.times.push_back(threadSeconds() - t0);
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    auto percentile = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
    };
    const double loudMedian = median(segments[0].times);
    std::string detail;
    bool slow = false, dirty = false;
    for (const auto& s : segments) {
        const double m = median(s.times);
        const double worst = *std::max_element(s.times.begin(), s.times.end());
        const double p99 = percentile(s.times, 0.99);
        detail += formatText("%s%s: median %.1f us CPU (%.2f of loud), p99/median %.2f, worst/median %.1f, %" PRIu64 " subnormal",
                         detail.empty() ? "" : "; ", s.name, m * 1e6, loudMedian > 0 ? m / loudMedian : 0.0,
                         m > 0 ? p99 / m : 0.0, m > 0 ? worst / m : 0.0, s.stats.subnormal);
        // A slow path shows as a sustained rise of the typical block in the quiet parts (the
        // loud part's slow blocks are the first ones, with cold caches).
        if (&s != &segments[0]) {
            if (loudMedian > 0 && m > 2.0 * loudMedian) slow = true;
            if (m > 0 && p99 > 4.0 * m) slow = true;
        }
        if (!s.stats.clean()) dirty = true;
    }
    ctx.expect(!slow && !dirty, detail);
}

// ---- running groups --------------------------------------------------------------------------

using GroupFunction = void (*)(Context&);

struct Group {
    const char* name;
    GroupFunction run;
};

const Group kGroups[] = {{"identity", runIdentity},       {"matrix", runMatrix},
                         {"automation", runAutomation},   {"edges", runEdges},
                         {"determinism", runDeterminism}, {"parameters", runParameters},
                         {"allocations", runAllocations}, {"threads", runThreads},
                         {"dispatcher", runDispatcher},   {"denormals", runDenormals}};

CheckStatus parseStatus(const std::string& s) {
    if (s == "PASS") return CheckStatus::Pass;
    if (s == "WARN") return CheckStatus::Warn;
    if (s == "SKIP") return CheckStatus::Skip;
    return CheckStatus::Fail;
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const auto tab = line.find('\t', from);
        parts.push_back(line.substr(from, tab - from));
        if (tab == std::string::npos) break;
        from = tab + 1;
    }
    return parts;
}

std::string signalText(int sig) {
    const char* name = sig == SIGALRM ? "timed out" : strsignal(sig);
    return formatText("%s (signal %d)", name ? name : "signal", sig);
}

// Runs one group in a child process, restarting after the check that crashed.
void runIsolated(const ValidateOptions& options, const PluginLibrary& library, const Group& group,
                 const std::function<void(const CheckResult&)>& emit) {
    int start = 0;
    for (;;) {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("cannot create a pipe for the validator");
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid < 0) throw std::runtime_error("cannot fork the validator");
        if (pid == 0) {
            ::close(fds[0]);
            const int out = fds[1];
            auto send = [out](const std::string& line) {
                const char* p = line.data();
                std::size_t left = line.size();
                while (left > 0) {
                    const ssize_t n = ::write(out, p, left);
                    if (n <= 0) ::_exit(3);
                    p += n;
                    left -= static_cast<std::size_t>(n);
                }
            };
            int status = 0;
            try {
                Context ctx(options, library, group.name, start, send);
                group.run(ctx);
            } catch (const std::exception& e) {
                send(std::string("E\t") + e.what() + "\n");
                status = 2;
            }
            std::fflush(nullptr);
            ::_exit(status);
        }
        ::close(fds[1]);
        std::string pending, current;
        int currentId = -1;
        bool currentReported = true;
        char chunk[4096];
        std::string error;
        for (;;) {
            const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            pending.append(chunk, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                const auto parts = splitTabs(line);
                if (parts[0] == "B" && parts.size() >= 3) {
                    currentId = std::stoi(parts[1]);
                    current = parts[2];
                    currentReported = false;
                } else if (parts[0] == "R" && parts.size() >= 4) {
                    emit({parseStatus(parts[1]), group.name, parts[2], parts[3]});
                    currentReported = true;
                } else if (parts[0] == "E" && parts.size() >= 2) {
                    error = parts[1];
                }
            }
        }
        ::close(fds[0]);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        const bool crashed = WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
        if (!crashed) return;
        const std::string why = WIFSIGNALED(status) ? "crashed: " + signalText(WTERMSIG(status))
                                                    : error.empty() ? formatText("child exited with status %d", WEXITSTATUS(status))
                                                                    : "stopped: " + error;
        if (currentId < 0 || currentReported) {
            emit({CheckStatus::Fail, group.name, current.empty() ? "setting up" : current, why});
            return;
        }
        emit({CheckStatus::Fail, group.name, current, why});
        start = currentId + 1;
    }
}

void runInProcess(const ValidateOptions& options, const PluginLibrary& library, const Group& group,
                  const std::function<void(const CheckResult&)>& emit) {
    std::string pending;
    auto send = [&](const std::string& line) {
        const auto parts = splitTabs(line.substr(0, line.size() - 1));
        if (parts[0] == "R" && parts.size() >= 4) emit({parseStatus(parts[1]), group.name, parts[2], parts[3]});
    };
    try {
        Context ctx(options, library, group.name, 0, send);
        group.run(ctx);
    } catch (const std::exception& e) {
        emit({CheckStatus::Fail, group.name, "group", std::string("stopped: ") + e.what()});
    }
}

}  // namespace

const char* statusText(CheckStatus status) {
    switch (status) {
        case CheckStatus::Pass: return "PASS";
        case CheckStatus::Warn: return "WARN";
        case CheckStatus::Fail: return "FAIL";
        case CheckStatus::Skip: return "SKIP";
    }
    return "?";
}

const std::vector<std::string>& validationGroups() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const auto& g : kGroups) n.push_back(g.name);
        return n;
    }();
    return names;
}

std::string formatCheck(const CheckResult& r) {
    return std::string(statusText(r.status)) + "  " + r.group + "  " + r.name + (r.detail.empty() ? "" : ": " + r.detail);
}

ValidationSummary validate(const ValidateOptions& options, const std::function<void(const CheckResult&)>& report) {
    for (const auto& g : options.groups)
        if (std::find(validationGroups().begin(), validationGroups().end(), g) == validationGroups().end()) {
            std::string all;
            for (const auto& n : validationGroups()) all += (all.empty() ? "" : ", ") + n;
            throw UsageError("unknown check group \"" + g + "\"; the groups are " + all);
        }
    const auto t0 = Clock::now();
    PluginLibrary library(options.pluginPath);
    ValidationSummary summary;
    auto emit = [&](const CheckResult& r) {
        switch (r.status) {
            case CheckStatus::Pass: ++summary.passed; break;
            case CheckStatus::Warn: ++summary.warnings; break;
            case CheckStatus::Fail: ++summary.failed; break;
            case CheckStatus::Skip: ++summary.skipped; break;
        }
        report(r);
    };
    for (const auto& group : kGroups) {
        if (!options.groups.empty() &&
            std::find(options.groups.begin(), options.groups.end(), group.name) == options.groups.end())
            continue;
        if (options.isolate) runIsolated(options, library, group, emit);
        else runInProcess(options, library, group, emit);
    }
    summary.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return summary;
}

}  // namespace orvex::tools

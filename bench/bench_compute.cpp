// Throughput of the whole processing frame on a music-like programme, per instruction-set path,
// and of each stage of the chain alone. The real-time factor counter is seconds of audio
// processed per second of CPU time; run with repetitions and read the "max" aggregate (the
// fastest repetition), which is the least disturbed by other load on the machine.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "dsp/blocks/vecmath.h"
#include "dsp/chain.h"
#include "dsp/mydsp.h"

namespace {

// Notes with decaying envelopes over a bass line, with short noise bursts: enough movement that
// the normaliser, noise reduction and level followers do real work.
std::vector<float> programme(double rate, std::size_t n) {
    std::vector<float> x(n);
    std::uint32_t s = 12345u;
    auto rnd = [&s] {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return static_cast<double>(s >> 8) / 16777216.0 * 2.0 - 1.0;
    };
    const double notes[] = {220.0, 261.63, 329.63, 392.0, 440.0, 523.25, 659.26, 784.0};
    const std::size_t noteLen = static_cast<std::size_t>(rate / 4);
    const double twoPi = 6.283185307179586;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t note = i / noteLen;
        const double f = notes[(note * 5) % 8];
        const double t = static_cast<double>(i % noteLen) / rate;
        const double env = std::exp(-4.0 * t) * std::fmin(1.0, t * 200.0);
        double v = 0.3 * env * (std::sin(twoPi * f * i / rate) + 0.3 * std::sin(twoPi * 2 * f * i / rate));
        v += 0.2 * std::sin(twoPi * notes[note % 4] / 4 * i / rate);
        if ((i % static_cast<std::size_t>(2 * rate)) < static_cast<std::size_t>(0.05 * rate)) v += 0.2 * rnd();
        x[i] = static_cast<float>(v);
    }
    return x;
}

void flushDenormals() {
#if defined(__SSE__)
    _mm_setcsr(_mm_getcsr() | _MM_FLUSH_ZERO_ON);  // as on the plug-in's audio thread
#endif
}

// Runs the benchmark body on one path and puts the process back on the CPU's best path after.
class PathScope {
public:
    explicit PathScope(orvex::SimdPath p) : ok_(orvex::setDispatchForTest(p)) {}
    ~PathScope() { orvex::setDispatchForTest(orvex::bestSimdPath()); }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

void setRealtimeFactor(benchmark::State& state, std::int64_t samples, int rate) {
    state.SetItemsProcessed(samples);
    // Audio seconds per CPU second: the rate counter divides by the measured time.
    state.counters["realtime_factor"] =
        benchmark::Counter(static_cast<double>(samples) / rate, benchmark::Counter::kIsRate);
}

// Whole chain: path, rate, block size.
void BM_Compute(benchmark::State& state) {
    const auto path = static_cast<orvex::SimdPath>(state.range(0));
    const int rate = static_cast<int>(state.range(1));
    const int block = static_cast<int>(state.range(2));
    PathScope scope(path);
    if (!scope.ok()) {
        state.SkipWithError("path not available on this CPU or build");
        return;
    }
    flushDenormals();
    const std::vector<float> in = programme(rate, 10 * static_cast<std::size_t>(rate));
    std::vector<float> x(static_cast<std::size_t>(block)), a(x.size()), b(x.size());
    auto d = std::make_unique<orvex::mydsp>();
    d->init(rate);
    std::size_t at = 0;
    std::int64_t samples = 0;
    for (auto _ : state) {
        if (at + static_cast<std::size_t>(block) > in.size()) at = 0;
        for (int i = 0; i < block; ++i) x[static_cast<std::size_t>(i)] = in[at + static_cast<std::size_t>(i)];
        float* ins[2] = {x.data(), nullptr};
        float* outs[2] = {a.data(), b.data()};
        d->compute(block, ins, outs);
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(b.data());
        at += static_cast<std::size_t>(block);
        samples += block;
    }
    setRealtimeFactor(state, samples, rate);
}

// The inputs every stage sees on the programme at 48 kHz, recorded once from the whole chain.
struct StageInputs {
    std::vector<float> x, v, r, y1, y2, zA, zB;
};
const StageInputs& stageInputs() {
    static const StageInputs s = [] {
        constexpr int kRate = 48000;
        StageInputs k;
        k.x = programme(kRate, 10 * kRate);
        const std::size_t n = k.x.size();
        for (auto* v : {&k.v, &k.r, &k.y1, &k.y2, &k.zA, &k.zB}) v->assign(n, 0.0f);
        auto d = std::make_unique<orvex::mydsp>();
        d->init(kRate);
        orvex::StageTap tap{k.v.data(), k.r.data(), k.y1.data(), k.y2.data(), k.zA.data(), k.zB.data(), n, 0};
        d->attachTap(&tap);
        std::vector<float> a(512), b(512);
        for (std::size_t at = 0; at < n; at += 512) {
            float* ins[2] = {k.x.data() + at, nullptr};
            float* outs[2] = {a.data(), b.data()};
            d->compute(512, ins, outs);
        }
        return k;
    }();
    return s;
}

// One stage alone at 48 kHz, fed what it sees inside the chain: path, stage (0 input stage,
// 1 multiband, 2 bandwidth expansion, 3 output stage).
void BM_Stage(benchmark::State& state) {
    constexpr int kRate = 48000;
    const auto path = static_cast<orvex::SimdPath>(state.range(0));
    const int stage = static_cast<int>(state.range(1));
    PathScope scope(path);
    if (!scope.ok()) {
        state.SkipWithError("path not available on this CPU or build");
        return;
    }
    flushDenormals();
    const StageInputs& in = stageInputs();
    auto d = std::make_unique<orvex::mydsp>();
    d->init(kRate);
    {
        // One silent sample: compute reads the controls into the stages.
        float zero[1] = {0.0f}, oa[1], ob[1];
        float* ins[2] = {zero, nullptr};
        float* outs[2] = {oa, ob};
        d->compute(1, ins, outs);
    }
    const orvex::ChainKernel& kernel = orvex::chainKernel();
    orvex::ChainBuffers buf;
    float outA[orvex::kSubBlock], outB[orvex::kSubBlock];
    std::size_t at = 0;
    orvex::RingIndex index = 0;
    std::int64_t samples = 0;
    for (auto _ : state) {
        if (at + orvex::kSubBlock > in.x.size()) at = 0;
        for (int i = 0; i < orvex::kSubBlock; ++i) {
            const std::size_t k = at + static_cast<std::size_t>(i);
            buf.v[i] = in.v[k];
            buf.r[i] = in.r[k];
            buf.y1[i] = in.y1[k];
            buf.y2[i] = in.y2[k];
            buf.zA[i] = in.zA[k];
            buf.zB[i] = in.zB[k];
        }
        kernel.runStage(&d->chain(), stage, in.x.data() + at, outA, outB, orvex::kSubBlock, index, buf);
        benchmark::DoNotOptimize(&buf);
        benchmark::DoNotOptimize(outA);
        at += orvex::kSubBlock;
        index += orvex::kSubBlock;
        samples += orvex::kSubBlock;
    }
    setRealtimeFactor(state, samples, kRate);
}

double maxOf(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }
double minOf(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

const int kRegistered = [] {
    using orvex::SimdPath;
    for (SimdPath p : {SimdPath::Scalar, SimdPath::Sse2, SimdPath::Avx2, SimdPath::Avx512}) {
        if (!orvex::simdPathAvailable(p)) continue;
        const std::string name = std::string("BM_Compute/") + orvex::simdPathName(p);
        const int pi = static_cast<int>(p);
        benchmark::RegisterBenchmark(name.c_str(), BM_Compute)
            ->Args({pi, 48000, 512})
            ->Args({pi, 48000, 64})
            ->Args({pi, 48000, 4096})
            ->Args({pi, 44100, 512})
            ->Args({pi, 96000, 512})
            ->ArgNames({"", "rate", "block"})
            ->ComputeStatistics("min", minOf)
            ->ComputeStatistics("max", maxOf);
        const std::string stageName = std::string("BM_Stage/") + orvex::simdPathName(p);
        benchmark::RegisterBenchmark(stageName.c_str(), BM_Stage)
            ->Args({pi, 0})
            ->Args({pi, 1})
            ->Args({pi, 2})
            ->Args({pi, 3})
            ->ArgNames({"", "stage"})
            ->ComputeStatistics("min", minOf)
            ->ComputeStatistics("max", maxOf);
    }
    return 0;
}();

}  // namespace

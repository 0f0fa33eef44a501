// Post-band chain at 48 kHz in 64-sample chunks: bandwidth expansion of both channels, then the
// output stage. "rtf" is the real-time factor: seconds of audio processed per second of CPU time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "dsp/bandwidth_expansion.h"
#include "dsp/output_stage.h"

namespace {

constexpr int kRate = 48000;
constexpr int kChunk = 64;

std::vector<float> programme(std::size_t n, float freq, std::uint32_t seed) {
    std::vector<float> x(n);
    std::uint32_t s = seed;
    for (std::size_t i = 0; i < n; ++i) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        const float noise = static_cast<float>(s >> 8) * (1.0f / 16777216.0f) - 0.5f;
        x[i] = 0.3f * std::sin(6.2831853f * freq * static_cast<float>(i) / kRate) + 0.1f * noise;
    }
    return x;
}

void BM_PostBandChain(benchmark::State& state) {
    const std::size_t n = kRate;  // one second, cycled
    const auto uA = programme(n, 6100.0f, 1);
    const auto uB = programme(n, 440.0f, 2);
    std::vector<float> outA(kChunk), outB(kChunk);
    float zA[kChunk], zB[kChunk];

    orvex::BandwidthExpansion be;
    orvex::OutputStage os;
    const orvex::Rate r = orvex::makeRate(kRate);
    be.setRate(r);
    os.setRate(r);
    be.clear();
    os.clear();
    orvex::RingIndex index = 0;
    std::size_t pos = 0;
    std::int64_t samples = 0;
    for (auto _ : state) {
        be.setControls(orvex::BandwidthExpansion::Controls{});
        os.setControls(orvex::OutputStage::Controls{});
        be.process(&uA[pos], &uB[pos], zA, zB, kChunk);
        os.process(zA, zB, outA.data(), outB.data(), kChunk, index);
        benchmark::DoNotOptimize(outA.data());
        benchmark::DoNotOptimize(outB.data());
        index += kChunk;
        pos = (pos + kChunk) % (n - kChunk);
        samples += kChunk;
    }
    state.SetItemsProcessed(samples);
    // Audio seconds per CPU second.
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(samples) / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PostBandChain);

}  // namespace

namespace {

// Each unit alone, for locating where the chain's time goes: `run(unit, a, b, outA, outB)`
// processes one chunk.
template <class Unit, class Run>
void benchUnit(benchmark::State& state, Run run) {
    const auto a = programme(kRate, 6100.0f, 1);
    const auto b = programme(kRate, 440.0f, 2);
    float outA[kChunk], outB[kChunk];
    Unit unit;
    unit.setRate(orvex::makeRate(kRate));
    unit.setControls(typename Unit::Controls{});
    unit.clear();
    std::size_t pos = 0;
    for (auto _ : state) {
        run(unit, &a[pos], &b[pos], outA, outB);
        benchmark::DoNotOptimize(outA);
        pos = (pos + kChunk) % (kRate - kChunk);
    }
    state.counters["rtf"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kChunk / kRate, benchmark::Counter::kIsRate);
}

void BM_BandwidthExpansion(benchmark::State& state) {
    benchUnit<orvex::BandwidthExpansion>(state, [](auto& be, const float* uA, const float* uB, float* zA, float* zB) {
        be.process(uA, uB, zA, zB, kChunk);
    });
}
BENCHMARK(BM_BandwidthExpansion);

void BM_OutputStage(benchmark::State& state) {
    orvex::RingIndex index = 0;
    benchUnit<orvex::OutputStage>(state, [&index](auto& os, const float* zA, const float* zB, float* outA, float* outB) {
        os.process(zA, zB, outA, outB, kChunk, index);
        index += kChunk;
    });
}
BENCHMARK(BM_OutputStage);

}  // namespace

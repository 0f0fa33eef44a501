// Throughput of the whole processing frame at 48 kHz on a music-like programme, blocks of 512.
// The real-time factor counter is seconds of audio processed per second of CPU time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

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

void BM_Compute48k(benchmark::State& state) {
    constexpr int kRate = 48000;
    const int block = static_cast<int>(state.range(0));
    const std::vector<float> in = programme(kRate, 10 * kRate);
    std::vector<float> x(static_cast<std::size_t>(block)), a(x.size()), b(x.size());
    orvex::mydsp d;
    d.init(kRate);
    std::size_t at = 0;
    std::int64_t samples = 0;
    for (auto _ : state) {
        if (at + static_cast<std::size_t>(block) > in.size()) at = 0;
        for (int i = 0; i < block; ++i) x[static_cast<std::size_t>(i)] = in[at + static_cast<std::size_t>(i)];
        float* ins[2] = {x.data(), nullptr};
        float* outs[2] = {a.data(), b.data()};
        d.compute(block, ins, outs);
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(b.data());
        at += static_cast<std::size_t>(block);
        samples += block;
    }
    state.SetItemsProcessed(samples);
    // Audio seconds per CPU second: the rate counter divides by the measured time.
    state.counters["realtime_factor"] =
        benchmark::Counter(static_cast<double>(samples) / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Compute48k)->Arg(512)->Arg(64)->Arg(4096);

}  // namespace

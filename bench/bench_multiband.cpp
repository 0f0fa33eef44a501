// Multiband section at 48 kHz in 64-sample chunks over a music-like programme. "rtf" is the
// real-time factor: seconds of audio processed per second of CPU time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "dsp/multiband.h"

namespace {

constexpr int kRate = 48000;
constexpr int kChunk = orvex::MultibandSection::kMaxBlock;

// Notes with decaying envelopes over a bass line, with a little noise: every band busy.
std::vector<float> music(std::size_t n, float spread, std::uint32_t seed) {
    const float notes[] = {220.0f, 261.63f, 329.63f, 392.0f, 523.25f, 659.26f, 1318.5f, 2637.0f};
    std::vector<float> x(n);
    std::uint32_t s = seed;
    const std::size_t noteLen = kRate / 5;
    float f = notes[0];
    for (std::size_t i = 0; i < n; ++i) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        if (i % noteLen == 0) f = notes[s % 8] * spread;
        const float t = static_cast<float>(i % noteLen) / kRate;
        const float noise = static_cast<float>(s >> 8) * (1.0f / 16777216.0f) - 0.5f;
        const float ph = 6.2831853f * static_cast<float>(i) / kRate;
        x[i] = 0.3f * std::exp(-5.0f * t) * (std::sin(f * ph) + 0.3f * std::sin(3.0f * f * ph)) +
               0.15f * std::sin(55.0f * ph) + 0.05f * noise;
    }
    return x;
}

void BM_MultibandSection(benchmark::State& state) {
    const std::size_t n = 2 * kRate;  // two seconds, cycled
    const auto v = music(n, 1.0f, 1);
    const auto r = music(n, 1.01f, 2);
    std::vector<float> y1(kChunk), y2(kChunk);

#if defined(__SSE__)
    _mm_setcsr(_mm_getcsr() | _MM_FLUSH_ZERO_ON);  // as on the plug-in's audio thread
#endif
    auto mb = std::make_unique<orvex::MultibandSection>();
    mb->setRate(orvex::makeRate(kRate));
    mb->clear();
    orvex::RingIndex index = 0;
    std::size_t pos = 0;
    std::int64_t samples = 0;
    for (auto _ : state) {
        mb->setControls(orvex::MultibandSection::defaultControls());
        mb->process(&v[pos], &r[pos], y1.data(), y2.data(), kChunk, index);
        benchmark::DoNotOptimize(y1.data());
        benchmark::DoNotOptimize(y2.data());
        index += kChunk;
        pos = (pos + kChunk) % n;
        samples += kChunk;
    }
    state.SetItemsProcessed(samples);
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(samples) / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MultibandSection);

}  // namespace

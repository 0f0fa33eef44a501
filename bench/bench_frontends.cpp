// The two plug-in front ends over the same processor: the VST record's processReplacing and the
// LV2 descriptor's run, each entered through its C interface as a host enters it.
//
// BM_FrontEnd times one front end alone. BM_FrontEndPair runs both on the same programme block by
// block, alternating, times each block on the thread's CPU clock and reports real-time factors
// from the median block time: both see the same load on a shared machine, so their ratio
// (lv2_vs_vst, LV2's real-time factor over the VST's) is steadier than two separate runs. Its
// outputs are compared too; a difference stops the benchmark.
#if ORVEX_BENCH_FRONT_ENDS
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "dsp/mydsp.h"
#include "lv2/adapter.h"
#include "lv2/ports.h"
#include "plugin/orvex.h"

namespace {

constexpr int kRate = 48000;

std::vector<float> programme(std::size_t n) {
    std::vector<float> x(n);
    const double notes[] = {220.0, 261.63, 329.63, 392.0, 440.0, 523.25};
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double f = notes[(i / (kRate / 4)) % 6];
        const double env = std::exp(-4.0 * std::fmod(t, 0.25));
        x[i] = static_cast<float>(0.3 * env * std::sin(6.283185307179586 * f * t) + 0.1 * std::sin(6.283185307179586 * 55.0 * t));
    }
    return x;
}

class VstFrontEnd {
public:
    VstFrontEnd() : effect_(orvex::Orvex::create(nullptr, new orvex::mydsp())) {
        effect_->setSampleRate(static_cast<float>(kRate));
        record_ = effect_->getAeffect();
    }
    void process(float* in, float* a, float* b, int n) {
        float* ins[2] = {in, in};
        float* outs[2] = {a, b};
        record_->processReplacing(record_, ins, outs, n);
    }

private:
    std::unique_ptr<orvex::Orvex> effect_;
    AEffect* record_;
};

class Lv2FrontEnd {
public:
    Lv2FrontEnd() : d_(orvex::lv2::descriptor()) {
        handle_ = d_->instantiate(d_, kRate, "", nullptr);
        for (int i = 0; i < orvex::ctl::kCount; ++i) {
            controls_[i] = orvex::kControlTable[i].init;
            d_->connect_port(handle_, static_cast<uint32_t>(i), &controls_[i]);
        }
        d_->connect_port(handle_, orvex::lv2::kLatency, &latency_);
        d_->activate(handle_);
    }
    ~Lv2FrontEnd() { d_->cleanup(handle_); }
    void process(float* in, float* a, float* b, int n) {
        d_->connect_port(handle_, orvex::lv2::kAudioIn, in);
        d_->connect_port(handle_, orvex::lv2::kAudioOutA, a);
        d_->connect_port(handle_, orvex::lv2::kAudioOutB, b);
        d_->run(handle_, static_cast<uint32_t>(n));
    }

private:
    const LV2_Descriptor* d_;
    LV2_Handle handle_;
    float controls_[orvex::ctl::kCount];
    float latency_ = 0.0f;
};

const std::vector<float>& input() {
    static const std::vector<float> x = programme(10 * kRate);
    return x;
}

void setRealtimeFactor(benchmark::State& state, std::int64_t samples) {
    state.counters["realtime_factor"] =
        benchmark::Counter(static_cast<double>(samples) / kRate, benchmark::Counter::kIsRate);
}

// Front end: 0 VST processReplacing, 1 LV2 run; block size.
void BM_FrontEnd(benchmark::State& state) {
    const int block = static_cast<int>(state.range(1));
    std::unique_ptr<VstFrontEnd> vst;
    std::unique_ptr<Lv2FrontEnd> lv2;
    if (state.range(0) == 0) vst = std::make_unique<VstFrontEnd>();
    else lv2 = std::make_unique<Lv2FrontEnd>();
    std::vector<float> x(static_cast<std::size_t>(block)), a(x.size()), b(x.size());
    std::size_t at = 0;
    std::int64_t samples = 0;
    for (auto _ : state) {
        if (at + x.size() > input().size()) at = 0;
        std::memcpy(x.data(), input().data() + at, x.size() * sizeof(float));
        if (vst) vst->process(x.data(), a.data(), b.data(), block);
        else lv2->process(x.data(), a.data(), b.data(), block);
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(b.data());
        at += x.size();
        samples += block;
    }
    setRealtimeFactor(state, samples);
}

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double median(std::vector<double>& v) {
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

void BM_FrontEndPair(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    VstFrontEnd vst;
    Lv2FrontEnd lv2;
    std::vector<float> x(static_cast<std::size_t>(block)), va(x.size()), vb(x.size()), la(x.size()), lb(x.size());
    std::vector<double> vstTimes, lv2Times;
    vstTimes.reserve(1 << 16);
    lv2Times.reserve(1 << 16);
    std::size_t at = 0;
    bool lv2First = false;
    for (auto _ : state) {
        if (at + x.size() > input().size()) at = 0;  // both wrap together, so they stay in step
        const float* source = input().data() + at;
        // Each block on the thread's CPU clock, the order swapped every block so that neither
        // front end always runs with the caches the other left.
        auto timed = [&](auto& frontEnd, float* a, float* b) {
            std::memcpy(x.data(), source, x.size() * sizeof(float));
            const double t0 = threadSeconds();
            frontEnd.process(x.data(), a, b, block);
            return threadSeconds() - t0;
        };
        if (lv2First) {
            lv2Times.push_back(timed(lv2, la.data(), lb.data()));
            vstTimes.push_back(timed(vst, va.data(), vb.data()));
        } else {
            vstTimes.push_back(timed(vst, va.data(), vb.data()));
            lv2Times.push_back(timed(lv2, la.data(), lb.data()));
        }
        lv2First = !lv2First;
        if (std::memcmp(va.data(), la.data(), va.size() * sizeof(float)) != 0 ||
            std::memcmp(vb.data(), lb.data(), vb.size() * sizeof(float)) != 0) {
            state.SkipWithError("the front ends' outputs differ");
            break;
        }
        at += x.size();
    }
    // Medians: a block that another process on a shared machine slowed does not count.
    const double vstBlock = median(vstTimes), lv2Block = median(lv2Times);
    const double audio = static_cast<double>(block) / kRate;
    if (vstBlock > 0.0 && lv2Block > 0.0) {
        state.counters["vst_rtf"] = audio / vstBlock;
        state.counters["lv2_rtf"] = audio / lv2Block;
        state.counters["lv2_vs_vst"] = vstBlock / lv2Block;
    }
}

BENCHMARK(BM_FrontEnd)->Args({0, 512})->Args({1, 512})->Args({0, 64})->Args({1, 64})->ArgNames({"lv2", "block"});
BENCHMARK(BM_FrontEndPair)->Arg(512)->Arg(64)->ArgNames({"block"});

}  // namespace
#endif

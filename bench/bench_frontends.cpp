// The two plug-in front ends over the same processor: the VST record's processReplacing and the
// LV2 descriptor's run, each entered through its C interface as a host enters it.
//
// BM_FrontEnd times one front end alone. BM_FrontEndPair runs both on the same programme block by
// block, alternating, and times each block on the thread's CPU clock: both see the same load on a
// shared machine, so their ratio (lv2_vs_vst, LV2's real-time factor over the VST's) is steadier
// than two separate runs. Its outputs are compared too; a difference stops the benchmark.
#if ORVEX_BENCH_FRONT_ENDS
#include <benchmark/benchmark.h>

#include <time.h>

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

void BM_FrontEndPair(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    VstFrontEnd vst;
    Lv2FrontEnd lv2;
    std::vector<float> x(static_cast<std::size_t>(block)), va(x.size()), vb(x.size()), la(x.size()), lb(x.size());
    std::size_t at = 0;
    std::int64_t samples = 0;
    double vstSeconds = 0.0, lv2Seconds = 0.0;
    for (auto _ : state) {
        if (at + x.size() > input().size()) at = 0;  // both wrap together, so they stay in step
        const float* source = input().data() + at;
        std::memcpy(x.data(), source, x.size() * sizeof(float));
        double t0 = threadSeconds();
        vst.process(x.data(), va.data(), vb.data(), block);
        double t1 = threadSeconds();
        std::memcpy(x.data(), source, x.size() * sizeof(float));
        double t2 = threadSeconds();
        lv2.process(x.data(), la.data(), lb.data(), block);
        double t3 = threadSeconds();
        vstSeconds += t1 - t0;
        lv2Seconds += t3 - t2;
        if (std::memcmp(va.data(), la.data(), va.size() * sizeof(float)) != 0 ||
            std::memcmp(vb.data(), lb.data(), vb.size() * sizeof(float)) != 0) {
            state.SkipWithError("the front ends' outputs differ");
            break;
        }
        at += x.size();
        samples += block;
    }
    const double audio = static_cast<double>(samples) / kRate;
    if (vstSeconds > 0.0 && lv2Seconds > 0.0) {
        state.counters["vst_rtf"] = audio / vstSeconds;
        state.counters["lv2_rtf"] = audio / lv2Seconds;
        state.counters["lv2_vs_vst"] = vstSeconds / lv2Seconds;
    }
}

BENCHMARK(BM_FrontEnd)->Args({0, 512})->Args({1, 512})->Args({0, 64})->Args({1, 64})->ArgNames({"lv2", "block"});
BENCHMARK(BM_FrontEndPair)->Arg(512)->Arg(64)->ArgNames({"block"});

}  // namespace
#endif

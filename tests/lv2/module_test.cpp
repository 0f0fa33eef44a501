// The built LV2 module (Orvex.lv2/orvex.so) driven in-process the way a host drives it, and held
// against the built VST module: the same cell values and the same block splits give the same
// bits. The allocator of this test program is interposed (tools/alloc_counter.cpp), so heap use
// inside run is counted as the validator counts it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "dsp/mydsp.h"
#include "host/vst2.h"
#include "tests/lv2/lv2_instance.h"
#include "tests/support/module_loader.h"
#include "tests/support/recording_host.h"
#include "tests/support/signals.h"
#include "tools/common/alloc_counter.h"

namespace orvex {
namespace {

using test::Lv2Instance;
using test::Lv2Module;

constexpr float kCeiling = 0.8912509f;

// 0: the mono-input plug-in, 1: the stereo-input one.
const LV2_Descriptor* descriptor(uint32_t index = 0) {
    // Loaded once and kept for the process, so leak reports can still name the module's frames.
    static Lv2Module* module = new Lv2Module(ORVEX_LV2_MODULE_FILE);
    return module->descriptorAt(index);
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b, std::size_t* first = nullptr) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            if (first) *first = i;
            return false;
        }
    }
    return true;
}

struct Rendered {
    std::vector<float> a, b;
};

// The instance's output for `input`, in runs of the given lengths (cycled).
Rendered render(Lv2Instance& p, const std::vector<float>& input, const std::vector<uint32_t>& runs) {
    Rendered r{std::vector<float>(input.size()), std::vector<float>(input.size())};
    std::vector<float> in = input;
    std::size_t at = 0;
    for (std::size_t k = 0; at < input.size(); ++k) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(runs[k % runs.size()], input.size() - at));
        p.run(n, in.data() + at, r.a.data() + at, r.b.data() + at);
        at += n;
    }
    return r;
}

TEST(Lv2Module, ExportsTwoPluginsUnderTheirUris) {
    ASSERT_NE(descriptor(0), nullptr) << ORVEX_LV2_MODULE_FILE;
    ASSERT_NE(descriptor(1), nullptr);
    EXPECT_STREQ(descriptor(0)->URI, "urn:orvex:processor");
    EXPECT_STREQ(descriptor(1)->URI, "urn:orvex:processor-stereo-in");
    EXPECT_EQ(descriptor(2), nullptr);
    EXPECT_EQ(descriptor(0xffffffffu), nullptr);
}

TEST(Lv2Module, ReportsTheChainLatencyOnEveryRunEvenWithoutAudio) {
    Lv2Instance p(descriptor(), 48000.0);
    ASSERT_TRUE(p.ok());
    float in[1] = {0.0f}, a[1], b[1];
    p.run(0, in, a, b);
    EXPECT_EQ(p.latency, 3552.0f);
    EXPECT_EQ(p.latency, static_cast<float>(mydsp::kChainLatency));
    p.latency = -1.0f;
    p.run(1, in, a, b);
    EXPECT_EQ(p.latency, 3552.0f);
}

TEST(Lv2Module, PortsItDoesNotHaveAreIgnoredAndUnconnectedAudioProducesNothing) {
    Lv2Instance p(descriptor(), 48000.0);
    ASSERT_TRUE(p.ok());
    float junk = 12345.0f;
    const uint32_t past = lv2::portCount(lv2::Input::Mono);
    for (uint32_t port : {past, past + 1u, 1000u, 0xffffffffu}) p.connect(port, &junk);
    EXPECT_EQ(junk, 12345.0f);
    // No audio buffers connected yet: nothing to read or write, and no crash.
    descriptor()->run(p.handle(), 64);
    std::vector<float> in = test::musicLike(48000, 4096, 3);
    const Rendered r = render(p, in, {4096});
    for (float v : r.a) ASSERT_TRUE(std::isfinite(v));
}

// Control values outside a control's range reach the processor as the nearest bound, NaN and
// infinities as the default, and a switch is on for any value above zero.
TEST(Lv2Module, HostValuesAreLimitedBeforeTheyReachTheProcessor) {
    const std::vector<float> input = test::musicLike(48000, 48000 / 2, 5);
    auto withControl = [&](int index, float value) {
        Lv2Instance p(descriptor(), 48000.0);
        p.controls[index] = value;
        return render(p, input, {512});
    };
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(sameBits(withControl(ctl::kLowpassFilter, 1e9f).a, withControl(ctl::kLowpassFilter, 15000.0f).a));
    EXPECT_TRUE(sameBits(withControl(ctl::kOutputAgcThreshold, -1e9f).a, withControl(ctl::kOutputAgcThreshold, -12.0f).a));
    const Rendered defaults = withControl(ctl::kLowpassFilter, 9700.0f);
    for (float bad : {nan, inf, -inf}) {
        EXPECT_TRUE(sameBits(withControl(ctl::kLowpassFilter, bad).a, defaults.a)) << bad;
        EXPECT_TRUE(sameBits(withControl(ctl::kDnrDisable, bad).a, defaults.a)) << bad;
    }
    const Rendered dnrOff = withControl(ctl::kDnrDisable, 1.0f);
    EXPECT_FALSE(sameBits(dnrOff.a, defaults.a));
    EXPECT_TRUE(sameBits(withControl(ctl::kDnrDisable, 0.3f).a, dnrOff.a));
    EXPECT_TRUE(sameBits(withControl(ctl::kDnrDisable, -2.0f).a, defaults.a));
}

TEST(Lv2Module, OutputsMayShareTheInputBuffer) {
    const std::vector<float> input = test::musicLike(48000, 20000, 7);
    Lv2Instance apart(descriptor(), 48000.0);
    const Rendered want = render(apart, input, {1000, 333});

    for (int shared : {0, 1}) {
        Lv2Instance p(descriptor(), 48000.0);
        std::vector<float> buffer = input, other(input.size());
        for (std::size_t at = 0; at < input.size();) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(at % 2 ? 333 : 1000, input.size() - at));
            if (shared == 0)
                p.run(n, buffer.data() + at, buffer.data() + at, other.data() + at);
            else
                p.run(n, buffer.data() + at, other.data() + at, buffer.data() + at);
            at += n;
        }
        EXPECT_TRUE(sameBits(shared == 0 ? buffer : other, want.a)) << "input shared with output " << shared;
        EXPECT_TRUE(sameBits(shared == 0 ? other : buffer, want.b)) << "input shared with output " << shared;
    }
}

TEST(Lv2Module, ActivateStartsFromAClearedProcessor) {
    const std::vector<float> input = test::musicLike(44100, 30000, 11);
    Lv2Instance p(descriptor(), 44100.0);
    p.controls[ctl::kLowpassFilter] = 4500.0f;
    const Rendered first = render(p, input, {700});
    p.activate();
    const Rendered second = render(p, input, {256});
    EXPECT_TRUE(sameBits(first.a, second.a));
    EXPECT_TRUE(sameBits(first.b, second.b));
}

// The stereo-input plug-in is the mono one fed half of each input: two equal inputs give exactly
// the mono plug-in's output, and an unconnected right input leaves the left one alone.
// The meter ports: written on every run with the run's values; the stereo-input plug-in, which
// runs the processor in pieces, reports the peak of the whole run as the mono one does.
TEST(Lv2Module, MetersAreWrittenEveryRunWithTheWholeRunsPeak) {
    Lv2Instance mono(descriptor(0), 48000.0), stereo(descriptor(1), 48000.0);
    ASSERT_TRUE(mono.ok() && stereo.ok());
    float monoMeters[lv2::kMeterCount], stereoMeters[lv2::kMeterCount];
    for (uint32_t m = 0; m < lv2::kMeterCount; ++m) {
        monoMeters[m] = stereoMeters[m] = -1000.0f;
        mono.connect(lv2::meterPort(lv2::Input::Mono, m), &monoMeters[m]);
        stereo.connect(lv2::meterPort(lv2::Input::Stereo, m), &stereoMeters[m]);
    }
    float in[1] = {0.0f}, a[1], b[1];
    mono.run(0, in, a, b);
    for (float v : monoMeters) EXPECT_NE(v, -1000.0f);  // even a run without samples writes them
    EXPECT_EQ(monoMeters[lv2::kMeterOutputPeak], lv2::kOutputPeakRange.min);

    // A loud second, then silence: the last run's output leaves the loud part early on (the
    // chain's delay), so only its first pieces hold the peak.
    constexpr std::size_t kRun = 8192;
    std::vector<float> x = test::musicLike(48000, 48000 + kRun, 3);
    const std::size_t loudEnd = 48000 + kRun - mydsp::kChainLatency - 6000;
    for (std::size_t i = loudEnd; i < x.size(); ++i) x[i] = 0.0f;
    std::vector<float> oa(x.size()), ob(x.size()), sa(x.size()), sb(x.size());
    for (std::size_t at = 0; at < x.size(); at += kRun) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(kRun, x.size() - at));
        std::vector<float> left(x.begin() + static_cast<long>(at), x.begin() + static_cast<long>(at + n)), right = left;
        mono.run(n, x.data() + at, oa.data() + at, ob.data() + at);
        stereo.run(n, left.data(), sa.data() + at, sb.data() + at, right.data());
    }
    ASSERT_TRUE(sameBits(oa, sa));  // two equal inputs are the mono programme
    const std::size_t lastRun = (x.size() - 1) / kRun * kRun;
    float peak = 0.0f;
    for (std::size_t i = lastRun; i < x.size(); ++i) peak = std::max({peak, std::fabs(oa[i]), std::fabs(ob[i])});
    float tail = 0.0f;
    for (std::size_t i = x.size() - 1024; i < x.size(); ++i) tail = std::max({tail, std::fabs(oa[i]), std::fabs(ob[i])});
    ASSERT_LT(tail * 10.0f, peak) << "the last piece must not hold the run's peak for this check";
    EXPECT_FLOAT_EQ(monoMeters[lv2::kMeterOutputPeak], 20.0f * std::log10(peak));
    for (uint32_t m = 0; m < lv2::kMeterCount; ++m) EXPECT_EQ(monoMeters[m], stereoMeters[m]) << "meter " << m;
    for (uint32_t m = 0; m < static_cast<uint32_t>(kMeterBands); ++m) {
        EXPECT_GE(monoMeters[lv2::kMeterBandGain + m], lv2::kBandGainRange.min);
        EXPECT_LE(monoMeters[lv2::kMeterBandGain + m], lv2::kBandGainRange.max);
    }
}

TEST(Lv2StereoIn, HalfOfEachInputIsWhatTheProcessorHears) {
    const std::vector<float> x = test::musicLike(48000, 30000, 13);
    const std::vector<float> y = test::musicLike(48000, 30000, 14);
    auto mono = [&](const std::vector<float>& in) {
        Lv2Instance p(descriptor(0), 48000.0);
        return render(p, in, {777});
    };
    auto stereo = [&](std::vector<float> left, std::vector<float> right, bool connectRight = true) {
        Lv2Instance p(descriptor(1), 48000.0);
        EXPECT_TRUE(p.ok());
        Rendered r{std::vector<float>(left.size()), std::vector<float>(left.size())};
        for (std::size_t at = 0; at < left.size();) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(at % 3 ? 4097 : 100, left.size() - at));
            p.run(n, left.data() + at, r.a.data() + at, r.b.data() + at, connectRight ? right.data() + at : nullptr);
            at += n;
        }
        return r;
    };
    std::vector<float> half(x.size()), zero(x.size(), 0.0f), sum(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        half[i] = 0.5f * x[i];
        sum[i] = 0.5f * x[i] + 0.5f * y[i];
    }
    EXPECT_TRUE(sameBits(stereo(x, x).a, mono(x).a));
    EXPECT_TRUE(sameBits(stereo(x, x).b, mono(x).b));
    EXPECT_TRUE(sameBits(stereo(x, zero).a, mono(half).a));
    EXPECT_TRUE(sameBits(stereo(x, y).b, mono(sum).b));
    EXPECT_TRUE(sameBits(stereo(x, y, false).a, mono(x).a));

    // Outputs on top of either input.
    const Rendered want = stereo(x, y);
    Lv2Instance p(descriptor(1), 48000.0);
    std::vector<float> left = x, right = y;
    p.run(static_cast<uint32_t>(x.size()), left.data(), right.data(), left.data(), right.data());
    EXPECT_TRUE(sameBits(right, want.a));
    EXPECT_TRUE(sameBits(left, want.b));
}

// ---- one processor, two adapters -----------------------------------------------------------

class VstEffect {
public:
    VstEffect() : module_(ORVEX_VST_MODULE_FILE) {
        if (PluginEntryProc entry = module_.entry()) effect_ = entry(test::RecordingHost::callback());
        if (!effect_) return;
        call(effOpen);
        call(effSetSampleRate, 0, 0, nullptr, 48000.0f);
        call(effSetBlockSize, 0, 8192);
        call(effMainsChanged, 0, 1);
    }
    ~VstEffect() {
        if (effect_) call(effClose);
        module_.release();
    }
    bool ok() const { return effect_ != nullptr; }
    VstIntPtr call(VstInt32 op, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f) {
        return effect_->dispatcher(effect_, op, index, value, ptr, opt);
    }
    void set(int index, float normalised) { effect_->setParameter(effect_, index, normalised); }
    void process(int n, float* in, float* a, float* b) {
        float* ins[2] = {in, unused_.data()};
        float* outs[2] = {a, b};
        effect_->processReplacing(effect_, ins, outs, n);
    }

private:
    test::RecordingHost host_;
    test::LoadedModule module_;
    AEffect* effect_ = nullptr;
    std::vector<float> unused_ = std::vector<float>(8192, 0.0f);
};

// A normalised value whose mapping onto the control's range lands exactly on `plain`: the two
// formats then hold the same cell bits.
struct Setting {
    int index;
    float normalised;
    float plain;
};
Setting exactSetting(int index, float normalised) {
    const ControlDef& c = kControlTable[index];
    const float plain = c.checkButton ? (normalised > 0.5f ? 1.0f : 0.0f) : (c.max - c.min) * normalised + c.min;
    return {index, normalised, plain};
}

TEST(Lv2AgainstVst, SameCellsAndBlocksGiveTheSameBits) {
    VstEffect vst;
    ASSERT_TRUE(vst.ok());
    Lv2Instance lv2(descriptor(), 48000.0);
    ASSERT_TRUE(lv2.ok());

    // Ten seconds with the controls moved between blocks, so that drift would have time to show.
    const std::vector<float> input = test::musicLike(48000, 10 * 48000, 21);
    const std::vector<std::vector<Setting>> changes = {
        {exactSetting(ctl::kLowpassFilter, 0.25f), exactSetting(ctl::kOutputAgcThreshold, 0.75f)},
        {exactSetting(ctl::kDisableKvlnEq, 1.0f), exactSetting(ctl::kGateScalePerBand, 0.5f)},
        {exactSetting(ctl::kBand1LevelDb, 0.125f), exactSetting(ctl::kExpansionLevel, 0.875f),
         exactSetting(ctl::kDnrDisable, 1.0f)},
        {exactSetting(ctl::kLowpassFilter, 1.0f), exactSetting(ctl::kDisableKvlnEq, 0.0f)},
    };
    std::vector<float> va(input.size()), vb(input.size()), la(input.size()), lb(input.size());
    std::vector<float> vin = input, lin = input;
    std::mt19937 random(5);
    std::size_t at = 0;
    for (std::size_t block = 0; at < input.size(); ++block) {
        if (block % 40 == 10) {
            for (const Setting& s : changes[(block / 40) % changes.size()]) {
                vst.set(s.index, s.normalised);
                lv2.controls[s.index] = s.plain;
            }
        }
        const int n = static_cast<int>(std::min<std::size_t>(1 + random() % 4096, input.size() - at));
        vst.process(n, vin.data() + at, va.data() + at, vb.data() + at);
        lv2.run(static_cast<uint32_t>(n), lin.data() + at, la.data() + at, lb.data() + at);
        at += static_cast<std::size_t>(n);
    }
    std::size_t first = 0;
    EXPECT_TRUE(sameBits(va, la, &first)) << "output A differs first at sample " << first;
    EXPECT_TRUE(sameBits(vb, lb, &first)) << "output B differs first at sample " << first;
    double energy = 0.0;
    for (float v : la) energy += static_cast<double>(v) * v;
    EXPECT_GT(energy, 1.0);  // a silent pair would compare equal too
}

// ---- bad input through the interface ---------------------------------------------------------

TEST(Lv2Robustness, RandomRunsAndHostileControlsStayBoundedWithoutAllocating) {
    const tools::AllocationProbe* probe = tools::interposedAllocationProbe();
    const uint32_t lengths[] = {0, 1, 64, 4095, 8192};
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    std::mt19937 random(16);
    for (uint32_t plugin : {0u, 1u})
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        Lv2Instance p(descriptor(plugin), rate);
        ASSERT_TRUE(p.ok()) << rate;
        const std::vector<float> programme = test::musicLike(rate, static_cast<std::size_t>(rate) * 2, 17);
        std::vector<float> in(8192), right(8192), a(8192), b(8192);
        std::size_t source = 0;
        std::uint64_t allocations = 0;
        float peak = 0.0f;
        std::size_t produced = 0;
        for (int r = 0; r < 160; ++r) {
            // Every control gets a new kind of value now and then: in range, far out, NaN, infinite.
            for (int c = 0; c < ctl::kCount; ++c) {
                if (random() % 3 != 0) continue;
                const ControlDef& d = kControlTable[c];
                const float lo = d.checkButton ? 0.0f : d.min, hi = d.checkButton ? 1.0f : d.max;
                switch (random() % 6) {
                    case 0: p.controls[c] = lo + (hi - lo) * static_cast<float>(random() % 1000) / 999.0f; break;
                    case 1: p.controls[c] = hi + 1e6f; break;
                    case 2: p.controls[c] = lo - 1e6f; break;
                    case 3: p.controls[c] = nan; break;
                    case 4: p.controls[c] = random() % 2 ? inf : -inf; break;
                    default: p.controls[c] = -std::numeric_limits<float>::max(); break;
                }
            }
            const uint32_t n = lengths[random() % 5];
            for (uint32_t i = 0; i < n; ++i) {
                in[i] = 4.0f * programme[(source + i) % programme.size()];
                right[i] = -std::numeric_limits<float>::max() * programme[(source + 7 * i) % programme.size()];
            }
            source += n;
            if (probe) probe->begin();
            p.run(n, in.data(), a.data(), b.data(), plugin == 1 ? right.data() : nullptr);
            if (probe) allocations += probe->end().allocations;
            for (uint32_t i = 0; i < n; ++i) {
                ASSERT_TRUE(std::isfinite(a[i]) && std::isfinite(b[i])) << "plug-in " << plugin << " rate " << rate << " run " << r;
                peak = std::max({peak, std::fabs(a[i]), std::fabs(b[i])});
            }
            produced += n;
        }
        EXPECT_LE(peak, kCeiling) << "plug-in " << plugin << " rate " << rate;
        EXPECT_GT(produced, 0u);
        EXPECT_EQ(allocations, 0u) << "heap allocations inside run of plug-in " << plugin << " at " << rate << " Hz";
    }
    // The bounds above were checked either way; only the count needs the interposed allocator.
    if (!probe) std::printf("note: heap allocations not counted: this build cannot interpose the allocator (sanitizers)\n");
}

TEST(Lv2Robustness, AnyInstantiationRateGivesAWorkingInstance) {
    for (double rate : {0.0, -48000.0, 1.0, 8000.0, 22050.5, 192000.0, 384000.0, 1e12,
                        std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        Lv2Instance p(descriptor(rate > 100000.0 ? 1 : 0), rate);
        ASSERT_TRUE(p.ok()) << rate;
        const std::vector<float> input = test::musicLike(48000, 4000, 2);
        const Rendered r = render(p, input, {4000});
        for (std::size_t i = 0; i < input.size(); ++i)
            ASSERT_TRUE(std::isfinite(r.a[i]) && std::fabs(r.a[i]) <= kCeiling && std::fabs(r.b[i]) <= kCeiling) << rate;
    }
}

}  // namespace
}  // namespace orvex

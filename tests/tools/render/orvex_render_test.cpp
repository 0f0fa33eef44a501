// The built Orvex module driven through the renderer produces exactly what the processor itself
// computes for the same input: bit for bit, after aligning by the latency the record reports,
// with default controls and with controls set through the parameter interface.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "dsp/flush_to_zero.h"
#include "dsp/mydsp.h"
#include "tests/support/signals.h"
#include "tests/tools/tool_test_support.h"
#include "tools/render/render.h"
#include "tools/common/vst_loader.h"

using namespace orvex::tools;
using orvex::test::readAudio;
using orvex::test::TempDir;
using orvex::test::writeAudio;

namespace {

constexpr int kRate = 48000;

// The processor run directly, in blocks of another size than the renderer's, with flush-to-zero
// on as the plug-in has it while computing.
std::vector<std::vector<float>> direct(const std::vector<float>& input, const std::vector<std::pair<int, float>>& controls) {
    auto p = std::make_unique<orvex::mydsp>();
    p->init(kRate);
    for (const auto& [index, value] : controls) *p->control(index) = value;
    std::vector<std::vector<float>> out(2, std::vector<float>(input.size()));
    std::vector<float> in = input, unused(input.size(), 0.0f);
    std::optional<orvex::FlushToZero> flush(std::in_place);
    constexpr std::size_t kBlock = 700;
    for (std::size_t at = 0; at < input.size(); at += kBlock) {
        const int n = static_cast<int>(std::min(kBlock, input.size() - at));
        float* ins[] = {in.data() + at, unused.data() + at};
        float* outs[] = {out[0].data() + at, out[1].data() + at};
        p->compute(n, ins, outs);
    }
    flush.reset();
    return out;
}

class OrvexRender : public ::testing::Test {
protected:
    void SetUp() override {
        input = orvex::test::musicLike(kRate, 3 * kRate, 9);
        writeAudio(dir.file("in.wav"), kRate, 1, input);
    }
    RenderReport renderWith(std::vector<Setting> settings) {
        RenderOptions o;
        o.pluginPath = ORVEX_MODULE_PATH;
        o.inputPath = dir.file("in.wav");
        o.outputPath = dir.file("out.wav");
        o.settings = std::move(settings);
        return render(o);
    }
    void expectIdentical(const RenderReport& r, const std::vector<std::pair<int, float>>& controls) {
        const auto want = direct(input, controls);
        const auto got = readAudio(dir.file("out.wav"));
        ASSERT_EQ(got.frames(), input.size());
        const std::size_t delay = static_cast<std::size_t>(r.latency);
        for (int c = 0; c < 2; ++c) {
            const std::vector<float> channel = got.channel(c);
            std::size_t differing = 0;
            for (std::size_t i = 0; i + delay < input.size(); ++i) differing += channel[i] != want[static_cast<std::size_t>(c)][i + delay];
            EXPECT_EQ(differing, 0u) << "output " << c;
        }
    }
    TempDir dir;
    std::vector<float> input;
};

TEST_F(OrvexRender, DefaultControlsMatchTheProcessorBitForBit) {
    const RenderReport r = renderWith({});
    EXPECT_EQ(r.pluginInputs, 2);
    EXPECT_EQ(r.pluginOutputs, 2);
    EXPECT_EQ(r.entryName, "VSTPluginMain");
    expectIdentical(r, {});
}

TEST_F(OrvexRender, ControlsSetByNameAndIndexReachTheProcessor) {
    const RenderReport r = renderWith({{false, "Lowpass Filter=6000"}, {false, "9=-2.5"}, {false, "Disable KVLN EQ=on"},
                                       {true, "Output AGC Threshold=0.2"}});
    ASSERT_EQ(r.settings.size(), 4u);
    EXPECT_EQ(r.settings[0].display, "6000");
    EXPECT_EQ(r.settings[1].display, "-2.5");
    EXPECT_EQ(r.settings[2].display, "ON");
    EXPECT_EQ(r.settings[3].display, "-9");
    // The cells hold what the plug-in's linear mapping makes of the normalised values.
    auto mapped = [&](int k, float min, float max) { return (max - min) * r.settings[static_cast<std::size_t>(k)].normalised + min; };
    expectIdentical(r, {{5, mapped(0, 1000, 15000)}, {9, mapped(1, -6, 6)}, {10, 1.0f}, {11, mapped(3, -12, 3)}});
    EXPECT_EQ(mapped(0, 1000, 15000), 6000.0f);
    EXPECT_EQ(mapped(1, -6, 6), -2.5f);
}

// The loaded plug-in's meters through the loader: the same values as the processor run directly
// on the same blocks.
TEST_F(OrvexRender, TheLoadedPlugInsMetersAreTheProcessorsOwn) {
    PluginLibrary lib(ORVEX_MODULE_PATH);
    PluginInstance instance(lib, kRate, 700);
    instance.resume();
    std::vector<float> in = input, unused(input.size(), 0.0f), outA(input.size()), outB(input.size());
    for (std::size_t at = 0; at < input.size(); at += 700) {
        float* ins[] = {in.data() + at, unused.data() + at};
        float* outs[] = {outA.data() + at, outB.data() + at};
        instance.process(ins, outs, static_cast<int>(std::min<std::size_t>(700, input.size() - at)));
    }
    orvex::MeterSnapshot got{};
    ASSERT_TRUE(instance.readMeters(got));

    auto p = std::make_unique<orvex::mydsp>();
    p->init(kRate);
    std::vector<float> a(input.size()), b(input.size());
#if defined(__SSE__) || defined(__x86_64__)
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8000u);
#endif
    for (std::size_t at = 0; at < input.size(); at += 700) {
        float* ins[] = {in.data() + at, unused.data() + at};
        float* outs[] = {a.data() + at, b.data() + at};
        p->compute(static_cast<int>(std::min<std::size_t>(700, input.size() - at)), ins, outs);
    }
#if defined(__SSE__) || defined(__x86_64__)
    _mm_setcsr(saved);
#endif
    orvex::MeterSnapshot want{};
    ASSERT_TRUE(p->readMeters(want));
    EXPECT_EQ(got.frames, input.size());
    EXPECT_EQ(got.frames, want.frames);
    for (int band = 0; band < orvex::kMeterBands; ++band) {
        EXPECT_EQ(got.bandGainDb[band], want.bandGainDb[band]) << "band " << band + 1;
        EXPECT_EQ(got.bandGateDb[band], want.bandGateDb[band]) << "band " << band + 1;
    }
    EXPECT_EQ(got.outputGainDb, want.outputGainDb);
    EXPECT_EQ(got.inputPeakDb, want.inputPeakDb);
    EXPECT_EQ(got.outputPeakDb, want.outputPeakDb);
}

}  // namespace

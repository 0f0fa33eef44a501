// The program's own loudness meter (the meter of builds without libebur128, Windows among them)
// held against libebur128, which LoudnessMeter uses in this build: integrated loudness and
// loudness range within 0.1 LU, true peak within 0.2 dB, on signals that work the K-weighting
// at two sample rates, both gates, dual mono and peaks between the samples.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/signals.h"
#include "tools/render/demo.h"
#include "tools/common/loudness.h"
#include "tools/common/r128_meter.h"

using orvex::tools::LoudnessMeter;
using orvex::tools::LoudnessReport;
using orvex::tools::R128Meter;

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Signal {
    std::string name;
    int rate;
    int channels;
    std::vector<float> samples;  // interleaved
};

std::vector<float> interleave(const std::vector<float>& left, const std::vector<float>& right) {
    std::vector<float> x(2 * left.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
        x[2 * i] = left[i];
        x[2 * i + 1] = right[i];
    }
    return x;
}

// Fed in uneven pieces, as a render feeds it.
template <class Meter>
void feed(Meter& m, const Signal& s) {
    const std::size_t frames = s.samples.size() / static_cast<std::size_t>(s.channels);
    for (std::size_t at = 0, step = 1; at < frames; at += step, step = step * 3 % 4097 + 1)
        m.add(s.samples.data() + at * static_cast<std::size_t>(s.channels), std::min(step, frames - at));
}

double db(double linear) { return 20.0 * std::log10(linear); }

std::vector<Signal> signals() {
    std::vector<Signal> out;
    out.push_back({"demo programme, mono, 48 kHz", 48000, 1, orvex::tools::synthesiseDemo(48000)});
    {
        // Music-like material in the left channel, quieter noise in the right: unequal channels.
        const auto music = orvex::test::musicLike(44100.0, 44100 * 20, 4);
        auto noise = orvex::test::noise(music.size(), 9, 0.05f);
        out.push_back({"music and noise, stereo, 44.1 kHz", 44100, 2, interleave(music, noise)});
    }
    {
        // Bursts of noise at three levels between near-silence: both gates decide.
        std::vector<float> x = orvex::test::noise(48000 * 24, 21, 1.0f);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const std::size_t second = i / 48000;
            const float gain = second % 4 == 3 ? 1e-4f : second % 3 == 0 ? 0.5f : second % 3 == 1 ? 0.1f : 0.02f;
            x[i] *= gain;
        }
        out.push_back({"gated noise bursts, mono, 48 kHz", 48000, 1, x});
    }
    {
        // A low tone under a high one, stereo at 96 kHz, where the filters sit differently.
        const auto low = orvex::test::sine(60.0, 96000.0, 96000 * 8, 0.3);
        const auto high = orvex::test::sine(9000.0, 96000.0, 96000 * 8, 0.1);
        std::vector<float> mix(low.size());
        for (std::size_t i = 0; i < mix.size(); ++i) mix[i] = low[i] + high[i];
        out.push_back({"60 Hz and 9 kHz, stereo, 96 kHz", 96000, 2, interleave(mix, low)});
    }
    return out;
}

TEST(R128Meter, LoudnessAndRangeMatchLibebur128) {
    for (const Signal& s : signals()) {
        SCOPED_TRACE(s.name);
        LoudnessMeter library(s.channels, s.rate);
        R128Meter ours(s.channels, s.rate);
        feed(library, s);
        feed(ours, s);
        const LoudnessReport expected = library.report();
        ASSERT_TRUE(std::isfinite(expected.integratedLufs));
        EXPECT_NEAR(ours.integratedLufs(), expected.integratedLufs, 0.1);
        EXPECT_NEAR(ours.rangeLu(), expected.rangeLu, 0.1);
    }
}

TEST(R128Meter, ReferenceToneReadsItsLevel) {
    // A 1 kHz tone at -23 dBFS in both channels reads -23 LUFS; in one channel 3 dB less; as a
    // single channel (heard on both loudspeakers) as in both.
    const double amplitude = std::pow(10.0, -23.0 / 20.0);
    const auto tone = orvex::test::sine(1000.0, 48000.0, 48000 * 10, amplitude);
    const std::vector<float> silence(tone.size(), 0.0f);
    R128Meter both(2, 48000), one(2, 48000), mono(1, 48000);
    both.add(interleave(tone, tone).data(), tone.size());
    one.add(interleave(tone, silence).data(), tone.size());
    mono.add(tone.data(), tone.size());
    EXPECT_NEAR(both.integratedLufs(), -23.0, 0.05);
    EXPECT_NEAR(one.integratedLufs(), -26.0, 0.05);
    EXPECT_NEAR(mono.integratedLufs(), -23.0, 0.05);
    EXPECT_NEAR(both.rangeLu(), 0.0, 0.05);
}

TEST(R128Meter, TruePeakMatchesLibebur128) {
    std::vector<Signal> peaks;
    {
        // A quarter of the sample rate at 45 degrees: every sample at 0.707, the wave at 1. It
        // fades in, since a wave that starts at full height overshoots between the samples.
        std::vector<float> x(48000);
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(std::sin(kPi / 2 * static_cast<double>(i) + kPi / 4) * std::min(1.0, i / 4800.0));
        peaks.push_back({"fs/4 at 45 degrees", 48000, 1, x});
    }
    {
        // A square wave clipped at full scale overshoots between the samples.
        std::vector<float> x(44100 * 2);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = (i / 22) % 2 ? 0.95f : -0.95f;
        peaks.push_back({"1 kHz square", 44100, 1, x});
    }
    peaks.push_back({"full-scale noise, stereo", 48000, 2, orvex::test::noise(2 * 48000, 8, 1.0f)});
    peaks.push_back({"demo programme", 48000, 1, orvex::tools::synthesiseDemo(48000)});
    for (const Signal& s : peaks) {
        SCOPED_TRACE(s.name);
        LoudnessMeter library(s.channels, s.rate);
        R128Meter ours(s.channels, s.rate);
        feed(library, s);
        feed(ours, s);
        double samplePeak = 0.0;
        for (float v : s.samples) samplePeak = std::max(samplePeak, static_cast<double>(std::fabs(v)));
        EXPECT_NEAR(db(std::max(ours.truePeak(), samplePeak)), library.report().truePeakDbtp, 0.2);
    }
    R128Meter quarter(1, 48000);
    feed(quarter, peaks[0]);
    EXPECT_NEAR(db(quarter.truePeak()), 0.0, 0.05);  // 3 dB above the samples
}

TEST(R128Meter, SilenceAndShortInputsReadAsLibebur128Does) {
    for (std::size_t frames : {0, 100, 19000, 48000 * 4}) {
        SCOPED_TRACE(frames);
        const std::vector<float> silence(frames, 0.0f);
        R128Meter ours(1, 48000);
        LoudnessMeter library(1, 48000);
        ours.add(silence.data(), frames);
        library.add(silence.data(), frames);
        EXPECT_EQ(ours.integratedLufs(), -std::numeric_limits<double>::infinity());
        EXPECT_EQ(ours.integratedLufs(), library.report().integratedLufs);
        EXPECT_EQ(ours.rangeLu(), library.report().rangeLu);
        EXPECT_EQ(ours.truePeak(), 0.0);
    }
    // Shorter than one 400 ms block: nothing to gate, however loud.
    const auto tone = orvex::test::sine(1000.0, 48000.0, 19000, 0.5);
    R128Meter shortTone(1, 48000);
    shortTone.add(tone.data(), tone.size());
    EXPECT_EQ(shortTone.integratedLufs(), -std::numeric_limits<double>::infinity());
    EXPECT_NEAR(db(shortTone.truePeak()), db(0.5), 0.05);
}

}  // namespace

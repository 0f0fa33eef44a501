// The processing frame: block splits, in-place buffers, bad input, the unused input channel,
// state clearing, the wrapping write index and finiteness at every rate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "dsp/mydsp.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

struct Stereo {
    std::vector<float> a, b;
    bool operator==(const Stereo&) const = default;
};

// Runs `in` through d in blocks of the given sizes (cycled), with a distinct garbage pointer as
// input channel 1.
Stereo run(mydsp& d, const std::vector<float>& in, const std::vector<int>& blocks = {512}) {
    Stereo out{std::vector<float>(in.size()), std::vector<float>(in.size())};
    std::vector<float> x = in;
    std::size_t at = 0, k = 0;
    while (at < in.size()) {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(blocks[k++ % blocks.size()]),
                                                    in.size() - at);
        float* ins[2] = {x.data() + at, reinterpret_cast<float*>(std::uintptr_t{0x10})};
        float* outs[2] = {out.a.data() + at, out.b.data() + at};
        d.compute(static_cast<int>(n), ins, outs);
        at += n;
    }
    return out;
}

bool allFinite(const std::vector<float>& v) {
    for (float x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

class Frame : public ::testing::Test {
protected:
    void SetUp() override { d.init(48000); }
    mydsp d;
    const std::vector<float> music = test::musicLike(48000, 8000, 7);
};

TEST_F(Frame, BlockSplitsAreInvisible) {
    // Long enough for the programme to pass the chain's look-ahead and reach both outputs.
    const std::vector<float> in(music.begin(), music.begin() + 6000);
    const Stereo whole = run(d, in, {6000});
    ASSERT_GT(test::rms(whole.a, mydsp::kChainLatency), 1e-3);  // a live signal, not silence
    ASSERT_GT(test::rms(whole.b, mydsp::kChainLatency), 1e-3);

    mydsp tens;
    tens.init(48000);
    EXPECT_EQ(run(tens, in, {600}), whole);

    mydsp ragged;
    ragged.init(48000);
    EXPECT_EQ(run(ragged, in, {1, 63, 64, 65, 7, 130, 2, 200, 1}), whole);

    mydsp singles;
    singles.init(48000);
    EXPECT_EQ(run(singles, in, {1}), whole);
}

TEST_F(Frame, TimestampedFormMatchesThePlainForm) {
    mydsp other;
    other.init(48000);
    std::vector<float> x = music, a(x.size()), b(x.size()), a2(x.size()), b2(x.size());
    float* ins[2] = {x.data(), nullptr};
    float* outs[2] = {a.data(), b.data()};
    float* outs2[2] = {a2.data(), b2.data()};
    d.compute(static_cast<int>(x.size()), ins, outs);
    static_cast<dsp&>(other).compute(-123.5, static_cast<int>(x.size()), ins, outs2);
    EXPECT_EQ(a, a2);
    EXPECT_EQ(b, b2);
}

TEST_F(Frame, NonPositiveCountChangesNothing) {
    mydsp twin;
    twin.init(48000);
    run(d, music);
    run(twin, music);
    float sentinel[2] = {7.0f, 7.0f};
    float* ins[2] = {sentinel, nullptr};
    float* outs[2] = {sentinel, sentinel + 1};
    d.compute(0, ins, outs);
    d.compute(-5, ins, outs);
    float* none[2] = {nullptr, nullptr};
    d.compute(0, none, none);  // no pointer is dereferenced
    EXPECT_EQ(sentinel[0], 7.0f);
    EXPECT_EQ(sentinel[1], 7.0f);
    EXPECT_EQ(d.currentRingIndex(), twin.currentRingIndex());
    EXPECT_EQ(run(d, music), run(twin, music));
}

TEST_F(Frame, NonFiniteInputCountsAsSilenceAndTheProcessorRecovers) {
    std::vector<float> bad = music, clean = music;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::size_t spots[] = {10, 500, 501, 502, 1500, 2999};
    const float values[] = {nan, inf, -inf, nan, -nan, inf};
    for (int i = 0; i < 6; ++i) {
        bad[spots[i]] = values[i];
        clean[spots[i]] = 0.0f;
    }
    const Stereo got = run(d, bad, {100, 37});
    EXPECT_TRUE(allFinite(got.a));
    EXPECT_TRUE(allFinite(got.b));
    mydsp ref;
    ref.init(48000);
    EXPECT_EQ(got, run(ref, clean));
}

TEST_F(Frame, HugeFiniteInputKeepsTheOutputFinite) {
    std::vector<float> in = music;
    const float big = std::numeric_limits<float>::max();
    for (std::size_t i = 1000; i < 1400; ++i) in[i] = (i % 2 ? big : -big);
    in[2000] = 1e30f;
    in[2001] = -1e20f;
    const Stereo got = run(d, in);
    EXPECT_TRUE(allFinite(got.a));
    EXPECT_TRUE(allFinite(got.b));
    // The programme after the burst still comes through.
    EXPECT_GT(test::rms(got.a, 6000), 1e-4);
}

TEST_F(Frame, InPlaceProcessingMatchesSeparateBuffers) {
    const Stereo ref = run(d, music, {300});
    mydsp other;
    other.init(48000);
    std::vector<float> buf = music, second(music.size());
    for (std::size_t at = 0; at < buf.size(); at += 300) {
        const int n = static_cast<int>(std::min<std::size_t>(300, buf.size() - at));
        float* ins[2] = {buf.data() + at, buf.data() + at};
        float* outs[2] = {buf.data() + at, second.data() + at};
        other.compute(n, ins, outs);
    }
    EXPECT_EQ(buf, ref.a);
    EXPECT_EQ(second, ref.b);

    // Output 1 aliasing the input as well.
    mydsp third;
    third.init(48000);
    std::vector<float> buf2 = music, first(music.size());
    for (std::size_t at = 0; at < buf2.size(); at += 300) {
        const int n = static_cast<int>(std::min<std::size_t>(300, buf2.size() - at));
        float* ins[2] = {buf2.data() + at, nullptr};
        float* outs[2] = {first.data() + at, buf2.data() + at};
        third.compute(n, ins, outs);
    }
    EXPECT_EQ(first, ref.a);
    EXPECT_EQ(buf2, ref.b);
}

TEST_F(Frame, InputChannelOneIsNeverRead) {
    // run() passes a pointer that faults if dereferenced; nullptr is fine as well.
    const Stereo garbage = run(d, music);
    mydsp other;
    other.init(48000);
    std::vector<float> x = music, a(x.size()), b(x.size());
    float* ins[2] = {x.data(), nullptr};
    float* outs[2] = {a.data(), b.data()};
    other.compute(static_cast<int>(x.size()), ins, outs);
    EXPECT_EQ(garbage.a, a);
    EXPECT_EQ(garbage.b, b);
}

TEST_F(Frame, ClearStateRestoresAFreshObject) {
    run(d, test::noise(5000, 3, 0.9f));
    *d.control(ctl::kLowpassFilter) = 9700.0f;
    d.clearState();
    EXPECT_EQ(d.currentRingIndex(), 0u);
    mydsp fresh;
    fresh.init(48000);
    EXPECT_EQ(run(d, music), run(fresh, music));
}

TEST_F(Frame, SilenceAfterClearGivesExactZeros) {
    run(d, music);
    d.clearState();
    const Stereo out = run(d, std::vector<float>(3000, 0.0f));
    for (std::size_t i = 0; i < out.a.size(); ++i) {
        ASSERT_EQ(out.a[i], 0.0f) << i;
        ASSERT_EQ(out.b[i], 0.0f) << i;
    }
}

TEST_F(Frame, WriteIndexWrapsWithoutHarm) {
    const Stereo ref = run(d, music, {97});
    for (RingIndex start : {RingIndex{0x7FFFFF00u}, RingIndex{0xFFFFFE00u}, RingIndex{0xFFFFFFFFu}}) {
        mydsp wrapped;
        wrapped.init(48000);
        wrapped.setRingIndexForTest(start);
        EXPECT_EQ(run(wrapped, music, {97}), ref) << start;
        EXPECT_EQ(wrapped.currentRingIndex(), start + static_cast<RingIndex>(music.size()));
    }
}

TEST_F(Frame, ControlWrittenBetweenBlocksActsFromTheNextBlock) {
    // Two runs share the first block; the second changes the corner before its second block.
    // Nothing of the first block changes; the new corner reaches v within the second block
    // (the normaliser's envelope sees the band-limited signal ahead of its delayed tap).
    const std::vector<float> in = test::noise(3000, 11, 0.5f);
    const std::vector<float> first(in.begin(), in.begin() + 1000), second(in.begin() + 1000, in.end());
    mydsp same, changed;
    same.init(48000);
    changed.init(48000);
    std::vector<float> vs(in.size()), vc(in.size());
    StageTap tapSame{.v = vs.data(), .capacity = vs.size()};
    StageTap tapChanged{.v = vc.data(), .capacity = vc.size()};
    same.attachTap(&tapSame);
    changed.attachTap(&tapChanged);
    EXPECT_EQ(run(same, first), run(changed, first));
    *changed.control(ctl::kLowpassFilter) = 2000.0f;
    run(same, second);
    run(changed, second);
    for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(vs[i], vc[i]) << i;
    EXPECT_NE(std::vector<float>(vs.begin() + 1000, vs.end()), std::vector<float>(vc.begin() + 1000, vc.end()));
    // The lower corner takes energy out of the noise once the delayed tap carries it.
    const std::size_t from = 1000 + InputStage::kLatency + 200;
    EXPECT_LT(test::rms(vc, from), 0.8 * test::rms(vs, from));
}

TEST(FrameRates, OutputsStayFiniteAtEveryRate) {
    for (int rate : {1, 8000, 22050, 44000, 44100, 48000, 96000, 192000, 384000}) {
        for (float dnrOff : {0.0f, 1.0f}) {
            mydsp d;
            d.init(rate);
            *d.control(ctl::kDnrDisable) = dnrOff;
            *d.control(ctl::kLowpassFilter) = 15000.0f;
            std::vector<float> in = test::musicLike(rate > 1000 ? rate : 1000, 12000, 4);
            const auto n = test::noise(12000, 8, 1.0f);
            for (std::size_t i = 0; i < in.size(); ++i) in[i] += (i / 2000) % 2 ? n[i] : 0.0f;
            const Stereo out = run(d, in);
            EXPECT_TRUE(allFinite(out.a)) << rate << " dnr off " << dnrOff;
            EXPECT_TRUE(allFinite(out.b)) << rate << " dnr off " << dnrOff;
            // At very low rates every corner is held near half the rate and the 40 Hz output
            // highpass takes all that is left; from 8 kHz on the programme comes through.
            if (rate >= 8000) {
                EXPECT_GT(test::rms(out.a, mydsp::kChainLatency), 1e-4) << rate;
            }
            // A stable chain settles back to silence (slowly where corners are held near half
            // the rate).
            const Stereo tail = run(d, std::vector<float>(rate >= 44100 ? 3 * static_cast<std::size_t>(rate) : 300000, 0.0f));
            EXPECT_LT(std::fabs(tail.a.back()), 1e-3) << rate << " dnr off " << dnrOff;
            EXPECT_LT(std::fabs(tail.b.back()), 1e-3) << rate << " dnr off " << dnrOff;
        }
    }
}

}  // namespace
}  // namespace orvex

// orvex-live's parts that need no server: the command line, the ring between the process
// callback and the other threads, and the meter text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "tools/common/usage_error.h"
#include "tools/live/meter.h"
#include "tools/live/options.h"
#include "tools/live/ring.h"

using namespace orvex::live;
using orvex::tools::UsageError;

TEST(LiveOptions, ReadsWhatAServiceUnitWouldGive) {
    const LiveOptions o = parseOptions({"--name", "fm1", "--server", "studio", "--in", "playout:out_1", "--in",
                                        "playout:out_2", "--out=tx:in_L,tx:in_R", "--retry", "2.5", "--set",
                                        "Lowpass Filter=15000", "--set-normalised", "3=0.25", "--osc", "9000",
                                        "--meter", "--meter-interval", "60", "--record", "air.flac",
                                        "--record-buffer", "30"});
    EXPECT_EQ(o.clientName, "fm1");
    EXPECT_EQ(o.serverName, "studio");
    EXPECT_EQ(o.inPorts, (std::vector<std::string>{"playout:out_1", "playout:out_2"}));
    EXPECT_EQ(o.outPorts, (std::vector<std::string>{"tx:in_L", "tx:in_R"}));
    EXPECT_EQ(o.retrySeconds, 2.5);
    ASSERT_EQ(o.settings.size(), 2u);
    EXPECT_FALSE(o.settings[0].normalised);
    EXPECT_TRUE(o.settings[1].normalised);
    EXPECT_EQ(o.oscPort, 9000);
    EXPECT_TRUE(o.meter);
    EXPECT_EQ(o.meterInterval, 60.0);
    EXPECT_EQ(o.recordPath, "air.flac");
    EXPECT_FALSE(o.recordFormat.has_value());
    EXPECT_EQ(o.recordBufferSeconds, 30.0);

    const LiveOptions d = parseOptions({});
    EXPECT_EQ(d.clientName, "orvex");
    EXPECT_TRUE(d.inPorts.empty() && d.outPorts.empty());
    EXPECT_EQ(d.retrySeconds, 1.0);
    EXPECT_EQ(d.oscPort, -1);
    EXPECT_FALSE(d.noWait || d.meter || d.countAllocations);
}

TEST(LiveOptions, RefusesMalformedRequests) {
    const std::vector<std::vector<std::string>> bad = {
        {"--out", "system:playback_1"},
        {"--out", "system:playback_1,system:playback_2,system:playback_3"},
        {"--out", "a:b,"},
        {"--out", "a:b,c:d", "--out", "a:b,c:d"},
        {"--in", "capture_1"},
        {"--in"},
        {"--name", "a:b"},
        {"--osc", "70000"},
        {"--osc", "-1"},
        {"--osc", "90x"},
        {"--retry", "0"},
        {"--retry", "nan"},
        {"--retry", "inf"},
        {"--meter-interval", "-1"},
        {"--record", "out.mp3"},
        {"--record", "out.flac", "--format", "float"},
        {"--format", "24"},
        {"--record", "out.wav", "--format", "12"},
        {"--no-wait=1"},
        {"--frobnicate"},
        {"input.wav"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_THROW(parseOptions(args), UsageError) << joined;
    }
    EXPECT_NO_THROW(parseOptions({"--record", "out.wav", "--format", "float"}));
    EXPECT_NO_THROW(parseOptions({"--osc", "0"}));
}

// The writer never waits: it puts in the frames that fit. The reader gets whole frames back in
// order, across the ring's wrap-around.
TEST(AudioRing, TakesWhatFitsAndKeepsOrderAcrossTheWrap) {
    AudioRing ring(3, 100);
    const std::size_t capacity = ring.capacityFrames();
    ASSERT_GE(capacity, 100u);
    std::vector<float> frames(3 * (capacity + 50));
    std::iota(frames.begin(), frames.end(), 0.0f);
    EXPECT_EQ(ring.write(frames.data(), capacity + 50), capacity);
    EXPECT_EQ(ring.write(frames.data(), 1), 0u);
    EXPECT_EQ(ring.readableFrames(), capacity);

    std::vector<float> out(3 * capacity);
    EXPECT_EQ(ring.read(out.data(), 40), 40u);
    for (std::size_t i = 0; i < 3 * 40; ++i) ASSERT_EQ(out[i], frames[i]);
    // Room for 40 more, which go in at the start of the memory.
    EXPECT_EQ(ring.write(frames.data() + 3 * capacity, 50), 40u);
    const std::size_t n = ring.read(out.data(), capacity);
    ASSERT_EQ(n, capacity);
    for (std::size_t i = 0; i < 3 * capacity; ++i) ASSERT_EQ(out[i], frames[3 * 40 + i]) << i;
    EXPECT_EQ(ring.read(out.data(), capacity), 0u);
}

TEST(MeterText, ShowsSilenceAndValues) {
    MeterSnapshot s;
    s.onAir = true;
    s.inMomentary = -std::numeric_limits<double>::infinity();
    s.inShortTerm = -23.04;
    s.outMomentary = -15.96;
    s.outShortTerm = -16.0;
    s.xruns = 2;
    s.dspLoad = 12.34f;
    const std::string line = MeterText::format(s, 0.0, std::pow(10.0, -1.0 / 20.0));
    EXPECT_EQ(line,
              "in M  -inf S -23.0 LUFS TP  -inf dBTP | out M -16.0 S -16.0 LUFS TP  -1.0 dBTP | xruns 2 | DSP  12.3%");
    s.onAir = false;
    EXPECT_EQ(MeterText::format(s, 0.0, 0.0).rfind("off air", 0), 0u);
}

// The plug-in's meters: a bar per band from the floor of the scale (and below) to its top (and
// above), the output stage's gain; nothing for a plug-in without meters or off air.
TEST(MeterText, BandRowAndNumbers) {
    MeterSnapshot s;
    s.onAir = true;
    EXPECT_EQ(MeterText::bandRow(s), "");
    EXPECT_EQ(MeterText::bandNumbers(s), "");
    s.bands = true;
    const float gains[12] = {-120.0f, -24.0f, -20.0f, -16.0f, -8.0f, 0.0f, 8.0f, 16.0f, 24.0f, 32.0f, 60.0f, 4.0f};
    std::copy(gains, gains + 12, s.bandGainDb);
    s.outputGainDb = -3.25f;
    EXPECT_EQ(MeterText::bandRow(s),
              "band gain \u2581\u2581\u2582\u2582\u2583\u2584\u2585\u2586\u2587\u2588\u2588\u2585 "
              "-24\u2026+32 dB | output gain  -3.2 dB");
    EXPECT_EQ(MeterText::bandNumbers(s),
              "band gain dB -120.0 -24.0 -20.0 -16.0 -8.0 +0.0 +8.0 +16.0 +24.0 +32.0 +60.0 +4.0 | output gain -3.2 dB");
    s.onAir = false;
    EXPECT_EQ(MeterText::bandRow(s), "");
}

// The base's number-to-text helpers: their texts and that they never write past maxLen + 1.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <limits>
#include <string>

#include "tests/host/probe_effect.h"

namespace orvex::test {
namespace {

constexpr char kCanary = 0x5A;
constexpr int kBuffer = 40;

enum class Fn { dB, Hz, ms, Float, Int };

// Formats into a canary-filled buffer and checks the terminator at maxLen and that nothing
// beyond it was touched.
std::string format(BareEffect& effect, Fn fn, double value, VstInt32 maxLen = 8) {
    char buf[kBuffer];
    std::memset(buf, kCanary, sizeof buf);
    const auto f = static_cast<float>(value);
    switch (fn) {
    case Fn::dB: effect.dB2string(f, buf, maxLen); break;
    case Fn::Hz: effect.Hz2string(f, buf, maxLen); break;
    case Fn::ms: effect.ms2string(f, buf, maxLen); break;
    case Fn::Float: effect.float2string(f, buf, maxLen); break;
    case Fn::Int: effect.int2string(static_cast<VstInt32>(value), buf, maxLen); break;
    }
    EXPECT_EQ(buf[maxLen], 0) << "no terminator at maxLen " << maxLen;
    for (int i = maxLen + 1; i < kBuffer; ++i) EXPECT_EQ(buf[i], kCanary) << "byte " << i << " overwritten";
    return std::string(buf);
}

TEST(TextFormat, FloatTextIsEightCharactersTruncated) {
    BareEffect effect(nullptr);
    const struct {
        float value;
        const char* text;
    } rows[] = {
        {0.5f, "0.500000"},       {-0.5f, "-0.50000"},     {123.5f, "123.5000"},  {-123.5f, "-123.500"},
        {0.0f, "0.000000"},       {2.0f / 3.0f, "0.666666"}, {99.99999f, "99.99999"}, {1234567.0f, "1234567."},
        {-123456.0f, "-123456."}, {7.0e-12f, "0.000000"},
    };
    for (const auto& r : rows) EXPECT_EQ(format(effect, Fn::Float, r.value), r.text) << r.value;
}

TEST(TextFormat, FloatTextForMagnitudesThatDoNotFitStaysWithinEightCharacters) {
    BareEffect effect(nullptr);
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float value;
        const char* text;
    } rows[] = {
        {12345678.0f, "12345678"}, {99999992.0f, "99999992"}, {-1234567.0f, "-1234567"}, {-9999999.0f, "-9999999"},
        {1.0e8f, "Huge!"},         {3.0e38f, "Huge!"},         {-1.0e7f, "-Huge!"},       {inf, "Huge!"},
        {-inf, "-Huge!"},          {std::numeric_limits<float>::quiet_NaN(), "NaN"},
    };
    for (const auto& r : rows) {
        const std::string text = format(effect, Fn::Float, r.value);
        EXPECT_EQ(text, r.text) << r.value;
        EXPECT_LE(text.size(), 8u);
    }
}

TEST(TextFormat, IntText) {
    BareEffect effect(nullptr);
    const struct {
        VstInt32 value;
        const char* text;
    } rows[] = {
        {100000000, "Huge!"}, {INT_MAX, "Huge!"},       {0, "0"},          {-42, "-42"},
        {7, "7"},             {99999999, "99999999"},   {-100000000, "-Huge!"}, {INT_MIN, "-Huge!"},
    };
    for (const auto& r : rows) EXPECT_EQ(format(effect, Fn::Int, r.value), r.text) << r.value;
    EXPECT_EQ(format(effect, Fn::Int, -99999999, 9), "-99999999");
}

TEST(TextFormat, UnitTexts) {
    BareEffect effect(nullptr);
    EXPECT_EQ(format(effect, Fn::dB, 0.0), "-oo");
    EXPECT_EQ(format(effect, Fn::dB, -1.0), "-oo");
    EXPECT_EQ(format(effect, Fn::dB, 1.0), "0.000000");
    EXPECT_EQ(format(effect, Fn::dB, 10.0), "20.00000");
    EXPECT_EQ(format(effect, Fn::dB, 100.0), "40.00000");
    EXPECT_EQ(format(effect, Fn::Hz, 0.0), "0.000000");
    EXPECT_EQ(format(effect, Fn::Hz, 100.0), "441.0000");
    EXPECT_EQ(format(effect, Fn::Hz, -441.0), "-100.000");
    EXPECT_EQ(format(effect, Fn::ms, 441.0), "10.00000");
    EXPECT_EQ(format(effect, Fn::ms, 0.0), "0.000000");
    effect.setSampleRate(48000.0f); // both follow the current rate
    EXPECT_EQ(format(effect, Fn::ms, 480.0), "10.00000");
    EXPECT_EQ(format(effect, Fn::Hz, 480.0), "100.0000");
}

TEST(TextFormat, OutputIsCutAtMaxLen) {
    BareEffect effect(nullptr);
    EXPECT_EQ(format(effect, Fn::Float, -123.5, 4), "-123");
    EXPECT_EQ(format(effect, Fn::Float, 0.5, 0), "");
    EXPECT_EQ(format(effect, Fn::Float, 0.5, 30), "0.500000");
    EXPECT_EQ(format(effect, Fn::Int, -12345, 3), "-12");
    EXPECT_EQ(format(effect, Fn::Int, 100000000, 2), "Hu");
    EXPECT_EQ(format(effect, Fn::dB, 0.0, 1), "-");
    EXPECT_EQ(format(effect, Fn::Float, 1.0e30, 3), "Hug");

    // A negative bound writes nothing at all.
    char buf[8];
    std::memset(buf, kCanary, sizeof buf);
    effect.float2string(0.5f, buf, -1);
    effect.int2string(5, buf, -3);
    effect.dB2string(0.0f, buf, -1);
    for (char c : buf) EXPECT_EQ(c, kCanary);
}

} // namespace
} // namespace orvex::test

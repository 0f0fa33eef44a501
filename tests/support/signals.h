#pragma once
// Test signals and measurements shared by the DSP tests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvex::test {

std::vector<float> sine(double freq, double rate, std::size_t n, double amplitude = 1.0);
std::vector<float> impulse(std::size_t n, std::size_t at = 0, float height = 1.0f);
// Deterministic white noise, uniform in [-amplitude, amplitude].
std::vector<float> noise(std::size_t n, std::uint32_t seed, float amplitude = 1.0f);
// A music-like programme: tones with note envelopes, a bass line, noise bursts and pauses.
std::vector<float> musicLike(double rate, std::size_t n, std::uint32_t seed = 1);

// Amplitude of the component at `freq` in x[from..], by projection onto sine and cosine over a
// whole number of periods when possible.
double toneAmplitude(const std::vector<float>& x, double freq, double rate, std::size_t from);
double rms(const float* x, std::size_t n);
double rms(const std::vector<float>& x, std::size_t from = 0);
double peak(const std::vector<float>& x, std::size_t from = 0);
double toDb(double ratio);

// Index of the largest magnitude sample.
std::size_t argMaxAbs(const std::vector<float>& x);

// Golden renders: raw little-endian float32 frames with named columns. Empty when absent.
struct GoldenRender {
    std::vector<std::string> columns;
    std::vector<float> frames;  // interleaved
    std::size_t frameCount = 0;
    bool loaded() const { return frameCount > 0; }
    std::vector<float> column(const std::string& name) const;  // empty when unknown
};
// Loads NAME.cols and NAME.f32 from the golden directory.
GoldenRender loadGolden(const std::string& name);
std::string goldenDir();

}  // namespace orvex::test

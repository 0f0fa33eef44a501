#include "tests/support/signals.h"

#include <algorithm>
#include <cmath>
#include <fstream>

namespace orvex::test {

namespace {
constexpr double kTwoPi = 6.283185307179586;

// xorshift32: small, deterministic, the same on every platform.
struct Rng {
    std::uint32_t s;
    explicit Rng(std::uint32_t seed) : s(seed ? seed : 0x9E3779B9u) {}
    std::uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    double uniform() { return (next() >> 8) * (1.0 / 16777216.0) * 2.0 - 1.0; }
};
}  // namespace

std::vector<float> sine(double freq, double rate, std::size_t n, double amplitude) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(amplitude * std::sin(kTwoPi * freq * i / rate));
    return x;
}

std::vector<float> impulse(std::size_t n, std::size_t at, float height) {
    std::vector<float> x(n, 0.0f);
    if (at < n) x[at] = height;
    return x;
}

std::vector<float> noise(std::size_t n, std::uint32_t seed, float amplitude) {
    Rng r(seed);
    std::vector<float> x(n);
    for (auto& v : x) v = static_cast<float>(amplitude * r.uniform());
    return x;
}

std::vector<float> musicLike(double rate, std::size_t n, std::uint32_t seed) {
    Rng r(seed);
    std::vector<float> x(n, 0.0f);
    const double notes[] = {220.0, 261.63, 329.63, 392.0, 440.0, 523.25, 659.26, 784.0};
    const std::size_t noteLen = static_cast<std::size_t>(rate * 0.25);
    double noisePhase = 0.0;
    for (std::size_t start = 0; start < n; start += noteLen) {
        const double f = notes[r.next() % 8];
        const double bass = notes[r.next() % 4] / 4.0;
        const double level = 0.1 + 0.3 * (0.5 + 0.5 * r.uniform());
        const bool pause = (r.next() % 11) == 0;
        for (std::size_t i = start; i < std::min(n, start + noteLen); ++i) {
            const double t = static_cast<double>(i - start) / rate;
            const double envelope = pause ? 0.0 : std::exp(-4.0 * t) * std::min(1.0, t * 200.0);
            double v = level * envelope *
                       (std::sin(kTwoPi * f * i / rate) + 0.3 * std::sin(kTwoPi * 2 * f * i / rate) +
                        0.15 * std::sin(kTwoPi * 3 * f * i / rate));
            v += 0.2 * std::sin(kTwoPi * bass * i / rate);
            noisePhase += 1.0 / rate;
            if (std::fmod(noisePhase, 2.0) < 0.05) v += 0.2 * r.uniform();  // short noise burst
            x[i] = static_cast<float>(v);
        }
    }
    return x;
}

double toneAmplitude(const std::vector<float>& x, double freq, double rate, std::size_t from) {
    if (from >= x.size()) return 0.0;
    std::size_t n = x.size() - from;
    const double period = rate / freq;
    if (period < n) n = static_cast<std::size_t>(std::floor(std::floor(n / period) * period));
    double s = 0.0, c = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double ph = kTwoPi * freq * (from + i) / rate;
        s += x[from + i] * std::sin(ph);
        c += x[from + i] * std::cos(ph);
    }
    return 2.0 * std::sqrt(s * s + c * c) / static_cast<double>(n);
}

double rms(const float* x, std::size_t n) {
    double acc = 0.0;
    for (std::size_t i = 0; i < n; ++i) acc += static_cast<double>(x[i]) * x[i];
    return n ? std::sqrt(acc / n) : 0.0;
}

double rms(const std::vector<float>& x, std::size_t from) {
    return from < x.size() ? rms(x.data() + from, x.size() - from) : 0.0;
}

double peak(const std::vector<float>& x, std::size_t from) {
    double m = 0.0;
    for (std::size_t i = from; i < x.size(); ++i) m = std::max(m, static_cast<double>(std::fabs(x[i])));
    return m;
}

double toDb(double ratio) { return 20.0 * std::log10(std::max(ratio, 1e-30)); }

std::size_t argMaxAbs(const std::vector<float>& x) {
    std::size_t at = 0;
    for (std::size_t i = 1; i < x.size(); ++i)
        if (std::fabs(x[i]) > std::fabs(x[at])) at = i;
    return at;
}

std::string goldenDir() {
#ifdef ORVEX_GOLDEN_DIR
    return ORVEX_GOLDEN_DIR;
#else
    return "../shared/golden";
#endif
}

GoldenRender loadGolden(const std::string& name) {
    GoldenRender g;
    std::ifstream cols(goldenDir() + "/" + name + ".cols");
    std::ifstream data(goldenDir() + "/" + name + ".f32", std::ios::binary);
    if (!cols || !data) return g;
    for (std::string line; std::getline(cols, line);)
        if (!line.empty()) g.columns.push_back(line);
    if (g.columns.empty()) return g;
    data.seekg(0, std::ios::end);
    const auto bytes = static_cast<std::size_t>(data.tellg());
    data.seekg(0);
    g.frames.resize(bytes / sizeof(float));
    data.read(reinterpret_cast<char*>(g.frames.data()), static_cast<std::streamsize>(g.frames.size() * sizeof(float)));
    g.frameCount = g.frames.size() / g.columns.size();
    return g;  // little-endian host assumed (x86)
}

std::vector<float> GoldenRender::column(const std::string& name) const {
    const auto it = std::find(columns.begin(), columns.end(), name);
    if (it == columns.end()) return {};
    const std::size_t c = static_cast<std::size_t>(it - columns.begin());
    std::vector<float> out(frameCount);
    for (std::size_t i = 0; i < frameCount; ++i) out[i] = frames[i * columns.size() + c];
    return out;
}

}  // namespace orvex::test

#include "tools/render/demo.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace orvex::tools {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Small deterministic generator, so the demo is the same on every machine.
class Random {
public:
    explicit Random(std::uint32_t seed) : s_(seed ? seed : 1u) {}
    std::uint32_t next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 17;
        s_ ^= s_ << 5;
        return s_;
    }
    double uniform() { return (next() >> 8) * (1.0 / 16777216.0); }                  // [0, 1)
    double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    double bipolar() { return 2.0 * uniform() - 1.0; }

private:
    std::uint32_t s_;
};

// Two-pole resonator with unity peak gain, used for the formants.
struct Resonator {
    double a1 = 0, a2 = 0, g = 0, y1 = 0, y2 = 0;
    void tune(double freq, double bandwidth, double rate) {
        const double r = std::exp(-kPi * bandwidth / rate);
        a1 = 2.0 * r * std::cos(2.0 * kPi * freq / rate);
        a2 = -r * r;
        g = 1.0 - r;
    }
    double step(double x) {
        const double y = g * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// A smooth rise, hold and fall over `length` samples (raised-cosine edges).
double envelope(std::size_t i, std::size_t length, std::size_t rise, std::size_t fall) {
    if (i >= length) return 0.0;
    if (i < rise) return 0.5 - 0.5 * std::cos(kPi * double(i) / double(rise));
    if (i + fall > length) return 0.5 - 0.5 * std::cos(kPi * double(length - i) / double(fall));
    return 1.0;
}

void scaleToRms(std::vector<double>& x, double dbfs) {
    double sum = 0.0;
    for (double v : x) sum += v * v;
    const double rms = std::sqrt(sum / double(std::max<std::size_t>(x.size(), 1)));
    if (rms <= 0.0) return;
    const double gain = std::pow(10.0, dbfs / 20.0) / rms;
    for (double& v : x) v *= gain;
}

// Speech-like material: words of voiced syllables with formant glides and fricatives.
std::vector<double> speech(int rate, double seconds, std::uint32_t seed) {
    const std::size_t n = static_cast<std::size_t>(seconds * rate);
    std::vector<double> out(n, 0.0);
    Random rnd(seed);
    struct Vowel { double f1, f2, f3; };
    static constexpr Vowel vowels[] = {{730, 1090, 2440}, {270, 2290, 3010}, {300, 870, 2240},
                                       {530, 1840, 2480}, {570, 840, 2410},  {660, 1720, 2410}};
    const double ms = rate / 1000.0;
    Resonator formant[3];
    double f[3] = {500, 1500, 2500};
    double glottal = 0.0, glottalLp = 0.0, phase = 0.0, hp = 0.0, prevNoise = 0.0;
    std::size_t pos = static_cast<std::size_t>(150 * ms);
    int wordsInPhrase = 0;
    double pitch = 120.0;
    while (pos < n) {
        const int syllables = 1 + static_cast<int>(rnd.uniform() * 3.0);
        for (int s = 0; s < syllables && pos < n; ++s) {
            // Optional fricative onset: high-passed noise.
            if (rnd.uniform() < 0.4) {
                const std::size_t len = static_cast<std::size_t>(rnd.between(40, 90) * ms);
                const double level = rnd.between(0.15, 0.3);
                for (std::size_t i = 0; i < len && pos + i < n; ++i) {
                    const double w = rnd.bipolar();
                    hp = 0.6 * (hp + w - prevNoise);
                    prevNoise = w;
                    out[pos + i] += level * hp * envelope(i, len, std::size_t(8 * ms), std::size_t(15 * ms));
                }
                pos += len;
            }
            const Vowel& v = vowels[rnd.next() % 6];
            const std::size_t len = static_cast<std::size_t>(rnd.between(120, 280) * ms);
            const double level = rnd.between(0.6, 1.0);
            const double startPitch = pitch * rnd.between(0.95, 1.1);
            const double endPitch = startPitch * rnd.between(0.85, 1.0);
            for (std::size_t i = 0; i < len && pos + i < n; ++i) {
                if (i % 32 == 0) {
                    // Formants glide towards the vowel's targets, as the tongue moves.
                    const double target[3] = {v.f1, v.f2, v.f3};
                    for (int k = 0; k < 3; ++k) {
                        f[k] += 0.15 * (target[k] - f[k]);
                        formant[k].tune(f[k], 60.0 + 40.0 * k, rate);
                    }
                }
                const double t = double(i) / double(len);
                const double f0 = startPitch + (endPitch - startPitch) * t;
                phase += f0 / rate;
                double pulse = 0.0;
                if (phase >= 1.0) {
                    phase -= 1.0;
                    pulse = 1.0;
                }
                // Glottal source: pulses softened by two one-pole lowpasses.
                glottal += 0.25 * (pulse * 8.0 - glottal);
                glottalLp += 0.25 * (glottal - glottalLp);
                const double voiced = formant[0].step(glottalLp) + 0.6 * formant[1].step(glottalLp) +
                                      0.3 * formant[2].step(glottalLp);
                out[pos + i] += level * voiced * envelope(i, len, std::size_t(20 * ms), std::size_t(40 * ms));
            }
            pos += len + static_cast<std::size_t>(rnd.between(10, 40) * ms);
        }
        // Pauses: short between words, longer at the end of a phrase.
        if (++wordsInPhrase >= 3 + static_cast<int>(rnd.uniform() * 3.0)) {
            wordsInPhrase = 0;
            pos += static_cast<std::size_t>(rnd.between(400, 700) * ms);
            pitch = rnd.between(105.0, 135.0);
        } else {
            pos += static_cast<std::size_t>(rnd.between(80, 200) * ms);
        }
    }
    return out;
}

// Music-like material: a chord progression with bass, each chord struck with an envelope.
std::vector<double> music(int rate, double seconds) {
    const std::size_t n = static_cast<std::size_t>(seconds * rate);
    std::vector<double> out(n, 0.0);
    // C major, A minor, F major, G major, as MIDI notes; bass one octave below the root.
    static constexpr int chords[4][4] = {{60, 64, 67, 72}, {57, 60, 64, 69}, {53, 57, 60, 65}, {55, 59, 62, 67}};
    const std::size_t chordLength = n / 8;
    const double attack = 0.010 * rate, decay = 0.300 * rate, release = 0.150 * rate;
    for (std::size_t c = 0; c < 8; ++c) {
        const int* notes = chords[c % 4];
        const std::size_t start = c * chordLength;
        const std::size_t len = (c == 7) ? n - start : chordLength;
        for (std::size_t i = 0; i < len; ++i) {
            const double t = double(i);
            double env = t < attack ? t / attack : 0.6 + 0.4 * std::exp(-(t - attack) / decay);
            if (t > double(len) - release) env *= (double(len) - t) / release;
            double sample = 0.0;
            for (int k = 0; k < 4; ++k) {
                const double freq = 440.0 * std::pow(2.0, (notes[k] - 69) / 12.0) * (1.0 + 0.0007 * k);
                for (int h = 1; h <= 5; ++h)
                    sample += std::sin(2.0 * kPi * freq * h * (start + i) / rate) / (h * h);
            }
            const double bass = 440.0 * std::pow(2.0, (notes[0] - 12 - 69) / 12.0);
            sample += 1.5 * std::sin(2.0 * kPi * bass * (start + i) / rate) +
                      0.4 * std::sin(4.0 * kPi * bass * (start + i) / rate);
            out[start + i] = env * sample;
        }
    }
    return out;
}

}  // namespace

std::vector<float> synthesiseDemo(int rate) {
    const std::size_t total = static_cast<std::size_t>(kDemoSeconds * rate);
    std::vector<double> programme(total, 0.0);
    auto place = [&](const std::vector<double>& part, double at) {
        const std::size_t from = static_cast<std::size_t>(at * rate);
        for (std::size_t i = 0; i < part.size() && from + i < total; ++i) programme[from + i] += part[i];
    };

    std::vector<double> talk = speech(rate, 9.0, 7);
    scaleToRms(talk, -21.0);
    place(talk, 0.0);

    std::vector<double> tune = music(rate, 11.0);
    scaleToRms(tune, -27.0);
    // A sudden loud hit: a noise crack and a low thump, close to full scale.
    {
        Random rnd(99);
        const std::size_t len = static_cast<std::size_t>(0.25 * rate);
        const std::size_t at = static_cast<std::size_t>(7.0 * rate);  // 16 s into the programme
        std::vector<double> hit(len);
        double peak = 0.0;
        for (std::size_t i = 0; i < len; ++i) {
            const double t = double(i) / rate;
            hit[i] = rnd.bipolar() * std::exp(-t / 0.012) + 0.8 * std::sin(2.0 * kPi * 70.0 * t) * std::exp(-t / 0.06);
            peak = std::max(peak, std::fabs(hit[i]));
        }
        for (std::size_t i = 0; i < len && at + i < tune.size(); ++i) tune[at + i] += 0.8 / peak * hit[i];
    }
    place(tune, 9.0);

    {
        Random rnd(5);
        std::vector<double> hiss(static_cast<std::size_t>(5.0 * rate));
        double lp = 0.0;
        for (double& v : hiss) {
            lp += 0.5 * (rnd.bipolar() - lp);
            v = lp;
        }
        scaleToRms(hiss, -70.0);
        place(hiss, 20.0);
    }

    std::vector<double> talk2 = speech(rate, 5.0, 11);
    scaleToRms(talk2, -33.0);
    place(talk2, 25.0);

    std::vector<float> out(total);
    for (std::size_t i = 0; i < total; ++i)
        out[i] = static_cast<float>(std::clamp(programme[i], -1.0, 1.0));
    return out;
}

}  // namespace orvex::tools

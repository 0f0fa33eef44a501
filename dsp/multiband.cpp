#include "dsp/multiband.h"

#include <cmath>

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {
inline float dbToLinear(float db) { return std::pow(10.0f, 0.05f * db); }
}  // namespace

void MultibandSection::setRate(const Rate& rate) {
    bank_.setRate(rate);
    level_.setRate(rate);
    width_.setRate(rate);
}

BandLevel::Settings MultibandSection::levelSettings(const Controls& c) {
    BandLevel::Settings s;
    s.gateGain[0] = dbToLinear(c.masterGate + c.band1GateTrim);
    for (int b = 1; b < kBandCount; ++b) s.gateGain[b] = dbToLinear(c.masterGate - static_cast<float>(b) * c.gateScale);
    s.threshold[0] = dbToLinear(c.band1Threshold);
    const float master = dbToLinear(c.masterThreshold);
    for (int b = 1; b < kBandCount; ++b) s.threshold[b] = master;
    s.link2to1 = dbToLinear(c.link2to1);
    s.link5678 = dbToLinear(c.link5678);
    s.link11to12 = dbToLinear(c.link11to12);
    s.band1Scale = -dbToLinear(c.band1Level - 26.0f);
    return s;
}

void MultibandSection::clear() {
    bank_.clear();
    level_.clear();
    width_.clear();
}

void MultibandSection::process(const float* v, const float* r, float* y1, float* y2, int n, RingIndex index0) {
    // Longer spans run as consecutive sub-blocks (taps then describe the last of them).
    for (int done = 0; done < n; done += kMaxBlock) {
        const int len = n - done < kMaxBlock ? n - done : kMaxBlock;
        const RingIndex index = index0 + static_cast<RingIndex>(done);
        bank_.process(v + done, r + done, len, index);
        level_.process(bank_.envelope(), bank_.delayed(), len, index);
        width_.process(level_.levelled(), level_.lineOut(), len, index, y1 + done, y2 + done);
    }
}

MultibandSection::Taps MultibandSection::taps(int i) const {
    Taps t{};
    for (int b = 0; b < kBandCount; ++b) {
        t.env[b] = bank_.envelope()[i][b];
        t.gate[b] = level_.gate()[i][b];
        t.divisor[b] = level_.divisor()[i][b];
        t.gain[b] = level_.gain()[i][b];
    }
    t.part[0] = level_.lineOut()[i][0];
    t.part[1] = level_.lineOut()[i][1];
    for (int b = 0; b < kWidthBands; ++b) {
        t.presence[kWidthFirstBand + b] = width_.presence()[i][b];
        t.width[kWidthFirstBand + b] = width_.width()[i][b];
        t.part[kWidthFirstBand + b] = width_.part()[i][b];
    }
    return t;
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

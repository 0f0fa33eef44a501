#include "dsp/bandwidth_expansion.h"

#include <cmath>
#include <cstring>

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {

// Quadrature pair: branch P one sample old lags branch Q by about 90 degrees over the band.
constexpr float kBranchP[4] = {0.6923878f, 0.93606544f, 0.9882295f, 0.99874884f};
constexpr float kBranchQ[4] = {0.40219212f, 0.8561711f, 0.97229093f, 0.9952885f};

constexpr float kShelfHfGain = 0.25118864f;  // -12 dB above 5 kHz
constexpr float kSourceFloor = 0.001f;
// Peaking section: 3000 Hz wide, +6 dB (gain factor 1.9952623).
constexpr float kPeakBandwidth = 3000.0f;
constexpr float kPeakBoostPi = 18804.904f;  // pi * bandwidth * gain factor

float dbToGain(float db) { return std::pow(10.0f, db / 20.0f); }

void designElliptic(const Rate& r, float corner, BiquadCoefs (&out)[3]) {
    const float c = 1.0f / prewarp(r, corner);
    for (int i = 0; i < 3; ++i) out[i] = designSection(kEllipticHighpass[i], c);
}

// Moves the last `hist` rows of a buffer that holds hist + n rows to its front.
template <int W>
void keepHistory(float (*buf)[W], int hist, int n) {
    std::memmove(buf[0], buf[n], sizeof(float) * W * static_cast<unsigned>(hist));
}

}  // namespace

void BandwidthExpansion::setRate(const Rate& rate) {
    rate_ = rate;
    shelf_ = firstOrder(1.0f / prewarp(rate, 5000.0f));
    limLp_ = firstOrder(1.0f / prewarp(rate, 500.0f));
    e50_ = smoothing(rate, 50.0f);
    e50c_ = 1.0f - e50_;
    const float c100 = 1.0f / prewarp(rate, 100.0f);
    hfLp_.setAll(0, butterworthLowpass(c100, kButterworth2[0]));
    for (int i = 0; i < 2; ++i) envLp_.setAll(i, butterworthLowpass(c100, kButterworth4[i]));
    for (int i = 0; i < 4; ++i)
        for (int l = 0; l < 4; ++l) {
            branchP_.section[i].a[l] = kBranchP[i];
            branchQ_.section[i].a[l] = kBranchQ[i];
        }
    setControls(controls_);
}

void BandwidthExpansion::setControls(const Controls& c) {
    controls_ = c;
    const Rate& r = rate_;
    gLevel_ = dbToGain(c.level);
    gHF_ = dbToGain(c.hfDetectGain);
    gLim_ = dbToGain(c.limiterThreshold);

    BiquadCoefs k[3];
    designElliptic(r, c.hfDetectFreq, k);
    for (int i = 0; i < 3; ++i) {
        inputHp_.set(i, 0, k[i]);
        inputHp_.set(i, 1, k[i]);
    }
    designElliptic(r, c.inputHpf, k);
    for (int i = 0; i < 3; ++i) {
        inputHp_.set(i, 2, k[i]);
        inputHp_.set(i, 3, k[i]);
    }

    const float top = c.lowpass + 400.0f;
    const float cTop = 1.0f / prewarp(r, top);
    for (int i = 0; i < 6; ++i) sourceLp_.setAll(i, butterworthLowpass(cTop, kButterworth12[i]));

    designElliptic(r, c.lowpass - 600.0f, k);
    for (int i = 0; i < 3; ++i) component_.setAll(i, k[i]);
    // Peaking boost at F + 400 Hz, 3000 Hz wide: a = pi*B/(fs*sin(2*pi*f/fs)) = (pi*B*T)/sin(..),
    // and the boosted numerator term the same with B*g (18804.904 = pi * 3000 * 1.9952623).
    const float f = guardCorner(r, top);
    const float sn = std::sin(2.0f * r.piT * f);
    const float a = kPeakBandwidth * r.piT / sn;
    const float ga = kPeakBoostPi * r.T / sn;
    component_.setAll(3, designSection({a, 1.0f, 1.0f, ga, 1.0f}, cTop));
}

void BandwidthExpansion::clear() {
    shelfLp_.clear();
    shelfHp_.clear();
    inputHp_.clear();
    sourceLp_.clear();
    branchP_.clear();
    branchQ_.clear();
    hfLp_.clear();
    env_[0] = env_[1] = 0.0f;
    envLp_.clear();
    component_.clear();
    limiter_.clear();
    std::memset(shelfBuf_, 0, sizeof shelfBuf_);
    std::memset(quadBuf_, 0, sizeof quadBuf_);
    std::memset(magBuf_, 0, sizeof magBuf_);
    std::memset(compBuf_, 0, sizeof compBuf_);
    std::memset(limBuf_, 0, sizeof limBuf_);
}

void BandwidthExpansion::process(const float* uA, const float* uB, float* zA, float* zB, int n) {
    for (int done = 0; done < n; done += kMaxBlock) {
        const int k = n - done < kMaxBlock ? n - done : kMaxBlock;
        processBlock(uA + done, uB + done, zA + done, zB + done, k);
    }
}

void BandwidthExpansion::processBlock(const float* uA, const float* uB, float* zA, float* zB, int n) {
    // Shelf, and both elliptic highpasses on lanes {HF A, HF B, source A, source B}. Loops that
    // run several recursions advance them together, sample by sample, so they overlap.
    {
        BiquadLaneCascade<3, 4>::Runner hp(inputHp_);
        // The shelf's memories as locals, so the compiler keeps them in registers.
        FirstOrderLanes<2> shelfLp = shelfLp_, shelfHp = shelfHp_;
        const FirstOrderCoefs shelf = shelf_;
        for (int j = 0; j < n; ++j) {
            const float a = uA[j], b = uB[j];
            for (int l = 0; l < 2; ++l) {
                const float x = l == 0 ? a : b;
                const float lo = shelfLp.lowpass(shelf, l, x);
                const float hi = shelfHp.highpass(shelf, l, x);
                shelfBuf_[kShelfHist + j][l] = lo + kShelfHfGain * hi;
            }
            storeLanes<4>(hpBuf_[j], hp.step(LaneVec<4>{a, b, a, b}));
        }
        hp.save();
        shelfLp_ = shelfLp;
        shelfHp_ = shelfHp;
    }
    sourceLp_.process<4>(&hpBuf_[0][2], n);

    // Both quadrature pairs at once.
    {
        AllPassLaneChain<4, 4>::Runner p(branchP_), q(branchQ_);
        for (int j = 0; j < n; ++j) {
            const LaneVec<4> x = loadLanes<4>(hpBuf_[j]);
            storeLanes<4>(quadBuf_[kQuadHist + j], p.step(x));
            storeLanes<4>(quadBuf_[kQuadHist + j] + 4, q.step(x));
        }
        p.save();
        q.save();
    }

    // Magnitudes from Q[n] and P[n-1]: the HF detector's (then its 100 Hz lowpass) and the
    // source's (floored).
    {
        BiquadLaneCascade<1, 2>::Runner hfLp(hfLp_);
        for (int j = 0; j < n; ++j) {
            const float* now = quadBuf_[kQuadHist + j];
            const float* old = quadBuf_[kQuadHist + j - 1];
            float hf[2];
            for (int l = 0; l < 2; ++l) {
                hf[l] = std::sqrt(now[4 + l] * now[4 + l] + old[l] * old[l]);
                float m = std::sqrt(now[6 + l] * now[6 + l] + old[2 + l] * old[2 + l]);
                if (m <= kSourceFloor) m = kSourceFloor;
                magBuf_[kPeakHist + j][l] = m;
            }
            storeLanes<2>(hfBuf_[j], hfLp.step(LaneVec<2>{hf[0], hf[1]}));
        }
        hfLp.save();
    }

    // Expansion envelope over the 5-value peak: instant attack, 20 ms release; then its
    // fourth-order lowpass.
    {
        BiquadLaneCascade<2, 2>::Runner envLp(envLp_);
        float env[2] = {env_[0], env_[1]};
        for (int j = 0; j < n; ++j) {
            for (int l = 0; l < 2; ++l) {
                float peak = magBuf_[j + kPeakHist][l];
                for (int d = 1; d <= kPeakHist; ++d) {
                    const float m = magBuf_[j + kPeakHist - d][l];
                    peak = m > peak ? m : peak;
                }
                float e = e50_ * env[l] + e50c_ * peak;
                if (e <= peak) e = peak;
                env[l] = e;
            }
            storeLanes<2>(envBuf_[j], envLp.step(LaneVec<2>{env[0], env[1]}));
        }
        envLp.save();
        env_[0] = env[0];
        env_[1] = env[1];
    }

    // Squared analytic signal from P[n-3] and Q[n-2], normalised by the smoothed envelope.
    for (int j = 0; j < n; ++j) {
        const float* pRow = quadBuf_[kQuadHist + j - 3];
        const float* qRow = quadBuf_[kQuadHist + j - 2];
        for (int l = 0; l < 2; ++l) {
            const float p = pRow[2 + l];
            const float q = qRow[6 + l];
            const float e = envBuf_[j][l];
            compBuf_[kMixHist + j][l] = (p * p - q * q) / e;
            compBuf_[kMixHist + j][2 + l] = 2.0f * p * q / e;
        }
    }
    component_.process(&compBuf_[kMixHist][0], n);

    // Limiter over the 5-value peak of the current magnitude.
    for (int j = 0; j < n; ++j) {
        const float* c = compBuf_[kMixHist + j];
        for (int l = 0; l < 2; ++l) {
            float m = std::sqrt(c[l] * c[l] + c[2 + l] * c[2 + l]);
            if (m <= gLim_) m = gLim_;
            limBuf_[kPeakHist + j][l] = m;
        }
    }

    // Mix, written after every input sample was read.
    {
        FirstOrderLanes<2> limiter = limiter_;
        const FirstOrderCoefs limLp = limLp_;
        for (int j = 0; j < n; ++j) {
            float out[2];
            for (int l = 0; l < 2; ++l) {
                float peak = limBuf_[j + kPeakHist][l];
                for (int d = 1; d <= kPeakHist; ++d) {
                    const float m = limBuf_[j + kPeakHist - d][l];
                    peak = m > peak ? m : peak;
                }
                const float lim = limiter.lowpass(limLp, l, peak);
                float hf = gHF_ * hfBuf_[j][l];
                if (hf >= 1.0f) hf = 1.0f;
                const float* c = compBuf_[j];  // six samples old
                out[l] = hf * (c[l] + c[2 + l]) / lim * gLevel_ + shelfBuf_[j][l];
            }
            zA[j] = out[0];
            zB[j] = out[1];
        }
        limiter_ = limiter;
    }

    keepHistory(shelfBuf_, kShelfHist, n);
    keepHistory(quadBuf_, kQuadHist, n);
    keepHistory(magBuf_, kPeakHist, n);
    keepHistory(compBuf_, kMixHist, n);
    keepHistory(limBuf_, kPeakHist, n);
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

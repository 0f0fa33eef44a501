#include "dsp/noise_reduction.h"

#include <cmath>
#include <type_traits>

#include "dsp/blocks/vecmath.h"
#include "dsp/frame.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

void NoiseReduction::setRate(const Rate& rate) {
    fHighpass = firstOrder(1.0f / prewarp(rate, 1000.0f));
    fDetector.coefs[0] = butterworthLowpass(1.0f / prewarp(rate, 10.0f), kButterworth2[0]);
    fDetector.coefs[1] = butterworthLowpass(1.0f / prewarp(rate, 100.0f), kButterworth2[0]);
    const Prototype slow{kButterworth2[0], 1.0f, 0.0f, 0.0f, 1.0f};
    fPreciseSlow = needsPreciseSection(slow, rate, 10.0f);
    fSlowPrecise.design(slow, rate, 10.0f);
    fPiT = rate.piT;
    fCutoffLimit = guardCorner(rate, kMaxCutoff);
}

void NoiseReduction::setControls(float sensitivity, bool disabled) {
    fScale = 500.0f * sensitivity;
    fCutoffFloor = disabled ? kMaxCutoff : 0.0f;
}

void NoiseReduction::clear() {
    fDetector.clear();
    fSlowPrecise.clear();
    fHighpassOut = 0.0f;
    fLowpassOut = 0.0f;
    fLastCutoff = 0.0f;
    fNormalised.clear();
}

void NoiseReduction::process(const float* u, const float* den, float* w, int n, RingIndex index) {
    float level[kSubBlock], late1[kSubBlock], late2[kSubBlock];
    while (n > 0) {
        const int m = n < kSubBlock ? n : kSubBlock;

        // Detector and the two late taps. The ring is only 128 long, so the taps are taken sample
        // by sample as the new values go in. The highpass and both detector sections advance
        // together, so their recursions overlap.
        auto detect = [&](auto precise) {
            float h1 = fHighpassOut;
            BiquadState fast = fDetector.state[1], slow = fDetector.state[0];
            const BiquadCoefs kFast = fDetector.coefs[1], kSlow = fDetector.coefs[0];
            for (int i = 0; i < m; ++i) {
                const RingIndex at = index + static_cast<RingIndex>(i);
                const float prev = fNormalised.read(at, 1);
                fNormalised.write(at, u[i]);
                late1[i] = fNormalised.read(at, kTap);
                late2[i] = fNormalised.read(at, kTap + 1);
                const float h = (fHighpass.c * u[i] - fHighpass.c * prev - fHighpass.k * h1) * fHighpass.g;
                h1 = h;
                const float a = std::fabs(h);
                float l = a >= kDetectorFloor ? a : kDetectorFloor;
                if constexpr (decltype(precise)::value)
                    l = fSlowPrecise.step(l);
                else
                    l = orvex::step(kSlow, slow, l);
                level[i] = orvex::step(kFast, fast, l);
            }
            fHighpassOut = h1;
            fDetector.state[0] = slow;
            fDetector.state[1] = fast;
        };
        if (fPreciseSlow)
            detect(std::true_type{});
        else
            detect(std::false_type{});

        // The cutoffs follow the detector alone, so their tangents are taken for the whole span
        // in one call before the lowpass runs.
        float cutoff = fLastCutoff;
        float t[kSubBlock];
        for (int i = 0; i < m; ++i) {
            cutoff = fScale * level[i];
            if (cutoff >= kMaxCutoff) cutoff = kMaxCutoff;
            if (cutoff <= kMinCutoff) cutoff = kMinCutoff;
            if (cutoff <= fCutoffFloor) cutoff = fCutoffFloor;
            // At rates of 44000 Hz and below the ceiling reaches half the rate, where the
            // tangent turns negative and the lowpass unstable; hold it just below.
            if (cutoff > fCutoffLimit) cutoff = fCutoffLimit;
            t[i] = fPiT * cutoff;
        }
        vectorMath().tan(t, m);
        float y1 = fLowpassOut;
        for (int i = 0; i < m; ++i) {
            const float k = 1.0f / t[i];
            const float y = ((k - 1.0f) * y1 + late1[i] + late2[i]) / (k + 1.0f);
            y1 = y;
            w[i] = den[i] * y;
        }
        fLowpassOut = y1;
        fLastCutoff = cutoff;

        u += m;
        den += m;
        w += m;
        index += static_cast<RingIndex>(m);
        n -= m;
    }
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

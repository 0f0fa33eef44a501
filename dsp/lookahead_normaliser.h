#pragma once
// Look-ahead normaliser: the band-limited signal, 221 samples late, divided by a peak envelope
// that has already seen the samples to come. The envelope attacks in 2 ms and releases in 0.5 s;
// the divisor never falls below -90 dB, so silence divides by the floor and stays silent.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/ring.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

class LookaheadNormaliser {
public:
    static constexpr RingIndex kLookahead = 221;
    static constexpr float kFloor = 3.1622778e-05f;

    void setRate(const Rate& rate);
    void clear();
    // b: band-limited input; u: normalised signal; den: the divisor used for each sample (the
    // noise reduction multiplies it back). Sample i is at ring position index + i.
    void process(const float* b, float* u, float* den, int n, RingIndex index);

private:
    float fAttack = 0.0f, fAttackIn = 0.0f;    // e(500), 1 - e(500)
    float fRelease = 0.0f, fReleaseIn = 0.0f;  // e(2), 1 - e(2)
    float fEnvelope = 0.0f;
    Ring<256> fLookahead;
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

#pragma once
// A bank of equal delay lines side by side: one slot holds every lane's value of one sample, so
// a write or a delayed read of all lanes touches one contiguous row.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/ring.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

template <int Lanes, int Length>
class LaneRing {
    static_assert(Length > 0 && (Length & (Length - 1)) == 0, "ring length must be a power of two");

public:
    static constexpr RingIndex kMask = static_cast<RingIndex>(Length - 1);

    float* slot(RingIndex index) { return data_[index & kMask]; }
    const float* slot(RingIndex index) const { return data_[index & kMask]; }
    // The row written `delay` samples before `index`.
    const float* delayed(RingIndex index, RingIndex delay) const { return data_[(index - delay) & kMask]; }

    void clear() {
        for (auto& row : data_)
            for (auto& v : row) v = 0.0f;
    }

private:
    alignas(16) float data_[Length][Lanes] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

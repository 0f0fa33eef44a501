#pragma once
// Sliding maximum over the newest Width values of each lane.
//
// Exact running maximum by doubling: level j holds, for every sample, the maximum of the 2^j
// newest values, formed from two entries of level j - 1; the window is the maximum of two
// overlapping entries of the top level (2^L <= Width < 2^(L+1)). That is L + 1 comparisons per
// sample and lane instead of Width - 1, and the same values, since a maximum does not depend on
// how its values are grouped. Each level is a ring of Length slots addressed by the shared
// write index, with the lanes side by side so each step is one loop over lanes. A slot holds all
// levels of one sample together: the rows a step touches then lie a few hundred bytes apart
// rather than whole pages, which would make the processor take each level's loads for reloads
// of the store just made to the level above.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/lanes.h"
#include "dsp/blocks/ring.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

template <int Lanes, int Length, int Width, int Run = Lanes>
class WindowMaxBank {
    static_assert(Run <= Lanes);
    static_assert(Length > 0 && (Length & (Length - 1)) == 0, "ring length must be a power of two");
    static_assert(Width >= 1 && Width <= Length, "window must fit the ring");

    static constexpr int topLevel() {
        int l = 0;
        while ((2 << l) <= Width) ++l;
        return l;
    }
    static constexpr int kLevels = topLevel() + 1;
    static constexpr RingIndex kSpan = RingIndex{1} << topLevel();   // values covered by the top level
    static constexpr RingIndex kOverlap = static_cast<RingIndex>(Width) - kSpan;

public:
    static constexpr RingIndex kMask = static_cast<RingIndex>(Length - 1);

    // Writes one value per lane at `index`, then returns in `out` the maximum of each lane's
    // value just written and the Width - 1 written before it. `in` and `out` may alias. Only the
    // first Run lanes take part (the rest are storage padding and stay as they are).
    void push(RingIndex index, const float* in, float* out) {
        if constexpr (Run % wavefront::kWidth == 0) {
            pushInRegisters(index, in, out);
            return;
        }
        const RingIndex at = index & kMask;
        float* base = level_[at][0];
        ORVEX_LANE_LOOP
        for (int l = 0; l < Run; ++l) base[l] = in[l];
        for (int j = 1; j < kLevels; ++j) {
            const float* a = level_[at][j - 1];
            const float* b = level_[(index - (RingIndex{1} << (j - 1))) & kMask][j - 1];
            float* m = level_[at][j];
            ORVEX_LANE_LOOP
            for (int l = 0; l < Run; ++l) m[l] = b[l] > a[l] ? b[l] : a[l];
        }
        const float* top = level_[at][kLevels - 1];
        const float* old = level_[(index - kOverlap) & kMask][kLevels - 1];
        ORVEX_LANE_LOOP
        for (int l = 0; l < Run; ++l) out[l] = old[l] > top[l] ? old[l] : top[l];
    }

    // The same a whole vector of lanes at a time, each level's new row kept in a register for
    // the next.
    void pushInRegisters(RingIndex index, const float* in, float* out) {
        using namespace wavefront;
        const RingIndex at = index & kMask;
        const float* older[kLevels];
        for (int j = 1; j < kLevels; ++j) older[j] = level_[(index - (RingIndex{1} << (j - 1))) & kMask][j - 1];
        const float* old = level_[(index - kOverlap) & kMask][kLevels - 1];
        for (int c = 0; c < Run; c += kWidth) {
            Vec m = load(in + c);
            store(level_[at][0] + c, m);
            for (int j = 1; j < kLevels; ++j) {
                const Vec b = load(older[j] + c);
                m = b > m ? b : m;
                store(level_[at][j] + c, m);
            }
            const Vec o = load(old + c);
            store(out + c, o > m ? o : m);
        }
    }

    void clear() {
        for (auto& slot : level_)
            for (auto& row : slot)
                for (auto& v : row) v = 0.0f;
    }

private:
    alignas(64) float level_[Length][kLevels][Lanes] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

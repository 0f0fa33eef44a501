#pragma once
// Tables for packing the chosen lanes of a vector of eight together and putting them back, with
// one lane permutation each (for the AVX2 copy, which has the permutation but no compress).
#include "dsp/blocks/isa.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

// Per mask of eight lanes: the lanes set, in order, at the front (compress), and for each lane
// set its rank among them (expand). Unused entries are 0.
struct LanePackTables {
    alignas(32) int compress[256][8];
    alignas(32) int expand[256][8];
};

constexpr LanePackTables makeLanePackTables() {
    LanePackTables t{};
    for (int m = 0; m < 256; ++m) {
        for (int l = 0; l < 8; ++l) t.compress[m][l] = t.expand[m][l] = 0;
        int k = 0;
        for (int l = 0; l < 8; ++l)
            if ((m >> l) & 1) {
                t.compress[m][k] = l;
                t.expand[m][l] = k;
                ++k;
            }
    }
    return t;
}

inline constexpr LanePackTables kLanePackTables = makeLanePackTables();

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

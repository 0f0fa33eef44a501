#pragma once
// Filter sections run over a sub-block on several independent lanes at once.
//
// A sub-block is held as rows of interleaved lane values (row j = sample j, column = lane), so
// one vector operation serves two channels, or two channels times two components. Each lane has
// its own coefficients; lanes that share a design simply hold the same values. Every lane
// computes exactly what the scalar step functions of sections.h compute, in the same order of
// operations, so a lane bank and a per-sample scalar loop give the same bits.
#include "dsp/blocks/isa.h"
#include <cstring>

#include "dsp/blocks/design.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

// Lane vectors: element-wise IEEE arithmetic on L floats (the compiler's vector extension), so
// each lane rounds exactly as the scalar expression would.
template <int L>
struct LaneVector;
template <>
struct LaneVector<2> {
    typedef float type __attribute__((vector_size(8)));
};
template <>
struct LaneVector<4> {
    typedef float type __attribute__((vector_size(16)));
};
template <int L>
using LaneVec = typename LaneVector<L>::type;

// Unaligned loads and stores: lane arrays are plain float arrays inside the objects.
template <int L>
inline LaneVec<L> loadLanes(const float* p) {
    LaneVec<L> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <int L>
inline void storeLanes(float* p, LaneVec<L> v) {
    std::memcpy(p, &v, sizeof v);
}
template <int L>
inline LaneVec<L> packLanes(const float (&x)[L]) {
    return loadLanes<L>(x);
}

// Runs a cascade's Runner in place over n rows of a buffer whose rows are Stride floats wide
// (lanes start at buf[0]), then writes its state back.
template <int L, int Stride, typename Runner>
inline void runOverRows(Runner r, float* buf, int n) {
    for (int j = 0; j < n; ++j) {
        float* row = buf + j * Stride;
        storeLanes<L>(row, r.step(loadLanes<L>(row)));
    }
    r.save();
}

// One second-order section per lane.
template <int L>
struct BiquadLanes {
    float N[L] = {}, a1[L] = {}, a2[L] = {}, b0[L] = {}, b1[L] = {}, b2[L] = {};
    float q1[L] = {}, q2[L] = {};

    void set(int lane, const BiquadCoefs& k) {
        N[lane] = k.N;
        a1[lane] = k.a1;
        a2[lane] = k.a2;
        b0[lane] = k.b0;
        b1[lane] = k.b1;
        b2[lane] = k.b2;
    }
    void setAll(const BiquadCoefs& k) {
        for (int l = 0; l < L; ++l) set(l, k);
    }
    void clear() {
        for (int l = 0; l < L; ++l) q1[l] = q2[l] = 0.0f;
    }
};

// A series of second-order sections on every lane.
template <int Count, int L>
struct BiquadLaneCascade {
    BiquadLanes<L> section[Count];

    void setAll(int i, const BiquadCoefs& k) { section[i].setAll(k); }
    void set(int i, int lane, const BiquadCoefs& k) { section[i].set(lane, k); }
    void clear() {
        for (auto& s : section) s.clear();
    }
    // The sections with their coefficients and state in registers, for loops that run the
    // cascade one sample at a time among other work; save() writes the state back.
    class Runner {
    public:
        using V = LaneVec<L>;
        explicit Runner(BiquadLaneCascade& c) : c_(c) {
            for (int i = 0; i < Count; ++i) {
                const BiquadLanes<L>& k = c.section[i];
                kN[i] = packLanes<L>(k.N);
                ka1[i] = packLanes<L>(k.a1);
                ka2[i] = packLanes<L>(k.a2);
                kb0[i] = packLanes<L>(k.b0);
                kb1[i] = packLanes<L>(k.b1);
                kb2[i] = packLanes<L>(k.b2);
                s1[i] = packLanes<L>(k.q1);
                s2[i] = packLanes<L>(k.q2);
            }
        }
        V step(V x) {
            for (int i = 0; i < Count; ++i) {
                const V q = x - (ka1[i] * s1[i] + ka2[i] * s2[i]) * kN[i];
                x = kN[i] * (kb0[i] * q + kb1[i] * s1[i] + kb2[i] * s2[i]);
                s2[i] = s1[i];
                s1[i] = q;
            }
            return x;
        }
        void save() {
            for (int i = 0; i < Count; ++i) {
                storeLanes<L>(c_.section[i].q1, s1[i]);
                storeLanes<L>(c_.section[i].q2, s2[i]);
            }
        }

    private:
        BiquadLaneCascade& c_;
        V kN[Count], ka1[Count], ka2[Count], kb0[Count], kb1[Count], kb2[Count], s1[Count], s2[Count];
    };

    // Sample by sample through all sections: the sections' recursions are independent chains,
    // so the processor overlaps them instead of waiting on one section's feedback at a time.
    template <int Stride = L>
    void process(float* buf, int n) {
        runOverRows<L, Stride>(Runner(*this), buf, n);
    }
};

// One first-order section per lane (coefficients shared by all lanes). A bank is used either as
// lowpasses or as highpasses, one sample at a time.
template <int L>
struct FirstOrderLanes {
    float x1[L] = {}, y1[L] = {};
    void clear() {
        for (int l = 0; l < L; ++l) x1[l] = y1[l] = 0.0f;
    }
    float lowpass(const FirstOrderCoefs& k, int l, float x) {
        const float y = (x + x1[l] - k.k * y1[l]) * k.g;
        x1[l] = x;
        y1[l] = y;
        return y;
    }
    float highpass(const FirstOrderCoefs& k, int l, float x) {
        const float y = (k.c * x - k.c * x1[l] - k.k * y1[l]) * k.g;
        x1[l] = x;
        y1[l] = y;
        return y;
    }
};

// All-pass sections y[n] = a*(x[n] + y[n-2]) - x[n-2], one per lane, each with its own a.
template <int L>
struct AllPassLanes {
    float a[L] = {};
    float x1[L] = {}, x2[L] = {}, y1[L] = {}, y2[L] = {};

    void clear() {
        for (int l = 0; l < L; ++l) x1[l] = x2[l] = y1[l] = y2[l] = 0.0f;
    }
};

// A chain of all-pass sections on every lane, sample by sample through the chain.
template <int Count, int L>
struct AllPassLaneChain {
    AllPassLanes<L> section[Count];

    void clear() {
        for (auto& s : section) s.clear();
    }
    // The chain with its state in registers (see BiquadLaneCascade::Runner).
    class Runner {
    public:
        using V = LaneVec<L>;
        explicit Runner(AllPassLaneChain& c) : c_(c) {
            for (int i = 0; i < Count; ++i) {
                const AllPassLanes<L>& s = c.section[i];
                ka[i] = packLanes<L>(s.a);
                x1[i] = packLanes<L>(s.x1);
                x2[i] = packLanes<L>(s.x2);
                y1[i] = packLanes<L>(s.y1);
                y2[i] = packLanes<L>(s.y2);
            }
        }
        V step(V x) {
            for (int i = 0; i < Count; ++i) {
                const V y = ka[i] * (x + y2[i]) - x2[i];
                x2[i] = x1[i];
                x1[i] = x;
                y2[i] = y1[i];
                y1[i] = y;
                x = y;
            }
            return x;
        }
        void save() {
            for (int i = 0; i < Count; ++i) {
                AllPassLanes<L>& s = c_.section[i];
                storeLanes<L>(s.x1, x1[i]);
                storeLanes<L>(s.x2, x2[i]);
                storeLanes<L>(s.y1, y1[i]);
                storeLanes<L>(s.y2, y2[i]);
            }
        }

    private:
        AllPassLaneChain& c_;
        V ka[Count], x1[Count], x2[Count], y1[Count], y2[Count];
    };

    template <int Stride = L>
    void process(float* buf, int n) {
        runOverRows<L, Stride>(Runner(*this), buf, n);
    }
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex

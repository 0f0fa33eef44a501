#pragma once
// exp, atan and tan of single-precision arguments, written once over a lane count W and
// instantiated by each instruction-set unit at its width (1 for the scalar path).
//
// Each lane is widened to double, taken through the same IEEE operations in the same order
// whatever W is (GCC vector extensions: no intrinsics, no contraction, no library calls), and
// rounded once to float. So every path returns the same bits for the same argument, and the
// result is the correctly rounded value or, where the double value lies within about 2^-35 of a
// rounding boundary, its neighbour: within one ulp.
//
// Argument ranges: exp takes any float (below -104 it is 0, above 89 infinite); atan any float;
// tan any float, reduced here for |x| < 2^20 and by the C library's double tan beyond (the
// processor never gets there with sane signals; the fallback keeps it exact when it does).
#include <cstdint>
#include <cstring>
#include <cmath>

// Each unit instantiates the width of its registers (double lanes: 2 for SSE2, 4 for AVX2, 8 for
// AVX-512). Units compiled for another set may still see the wider instantiations' declarations;
// the values only pass between inlined helpers of one unit, so the note that they would be passed
// differently under other instruction sets does not concern them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace orvex::lanemath {

template <int W>
struct Lanes {
    typedef double D __attribute__((vector_size(W * sizeof(double))));
    typedef float F __attribute__((vector_size(W * sizeof(float))));
    typedef std::uint64_t I __attribute__((vector_size(W * sizeof(std::uint64_t))));
    typedef std::int64_t M __attribute__((vector_size(W * sizeof(std::int64_t))));  // lane masks

    static D splat(double c) { return D{} + c; }
    static I splatI(std::uint64_t c) { return I{} + c; }
    static D abs(D x) { return reinterpret_cast<D>(reinterpret_cast<I>(x) & splatI(0x7fffffffffffffffu)); }

    // Nearest integer (ties to even) as a double, for |x| < 2^51; `t` keeps it in its low bits.
    static D roundToInt(D x, D& t) {
        const D shifter = splat(0x1.8p52);
        t = x + shifter;
        return t - shifter;
    }

    static D exp(D x) {
        x = x < splat(-104.0) ? splat(-104.0) : x;  // exp(-104) rounds to float 0
        x = x > splat(89.0) ? splat(89.0) : x;     // exp(89) to float infinity
        D t;
        const D n = roundToInt(x * 1.4426950408889634, t);
        // ln 2 in two parts; n * the first is exact for |n| < 2^21, and x - that is exact.
        const D r = (x - n * 6.93147180369123816490e-01) - n * 1.90821492927058770002e-10;
        // Taylor series for |r| <= ln(2)/2: the first omitted term is below 2^-37 relative.
        D p = splat(1.0 / 362880.0);
        p = p * r + 1.0 / 40320.0;
        p = p * r + 1.0 / 5040.0;
        p = p * r + 1.0 / 720.0;
        p = p * r + 1.0 / 120.0;
        p = p * r + 1.0 / 24.0;
        p = p * r + 1.0 / 6.0;
        p = p * r + 0.5;
        p = p * r + 1.0;
        p = p * r + 1.0;
        // 2^n from the low bits of t (n + 1023 fits the exponent field for |n| <= 150).
        const I scale = (reinterpret_cast<I>(t) + 1023) << 52;
        return p * reinterpret_cast<D>(scale);
    }

    static D atan(D x) {
        const I sign = reinterpret_cast<I>(x) & splatI(0x8000000000000000u);
        const D a = abs(x);
        // atan(a) = pi/2 - atan(1/a) above 1, and atan(z) = pi/6 + atan((z sqrt3 - 1)/(z + sqrt3))
        // for z above 2 - sqrt3 = tan(pi/12); with z = 1/a the quotient is (sqrt3 - a)/(1 + a sqrt3).
        // One division serves all four cases.
        const M big = a > splat(1.0);
        const M mid = big ? (a < splat(3.7320508075688772)) : (a > splat(0.2679491924311227));
        const D sqrt3 = splat(1.7320508075688772);
        const D one = splat(1.0);
        const D num = mid ? (big ? sqrt3 - a : a * sqrt3 - 1.0) : (big ? one : a);
        const D den = mid ? (big ? a * sqrt3 + 1.0 : a + sqrt3) : (big ? a : one);
        const D u = num / den;
        // Taylor series for |u| <= tan(pi/12): the first omitted term is below 2^-42 relative.
        const D u2 = u * u;
        D p = splat(-1.0 / 19.0);
        p = p * u2 + 1.0 / 17.0;
        p = p * u2 - 1.0 / 15.0;
        p = p * u2 + 1.0 / 13.0;
        p = p * u2 - 1.0 / 11.0;
        p = p * u2 + 1.0 / 9.0;
        p = p * u2 - 1.0 / 7.0;
        p = p * u2 + 1.0 / 5.0;
        p = p * u2 - 1.0 / 3.0;
        D r = u + u * (u2 * p);
        r = mid ? r + 0.52359877559829887 : r;
        r = big ? 1.5707963267948966 - r : r;
        return reinterpret_cast<D>(reinterpret_cast<I>(r) ^ sign);
    }

    static D tan(D x) {
        D t;
        const D n = roundToInt(x * 0.63661977236758134, t);
        // pi/2 in three 33-bit parts: for |n| < 2^20 each product is exact, the first difference
        // is exact, and 99 bits of pi/2 leave the reduced argument far more accurate than needed.
        const D r = ((x - n * 1.57079632673412561417e+00) - n * 6.07710050630396597660e-11) -
                    n * 2.02226624871116645580e-21;
        const D r2 = r * r;
        // sin and cos by their Taylor series for |r| <= pi/4 (omitted terms below 2^-36).
        D s = splat(-1.0 / 39916800.0);
        s = s * r2 + 1.0 / 362880.0;
        s = s * r2 - 1.0 / 5040.0;
        s = s * r2 + 1.0 / 120.0;
        s = s * r2 - 1.0 / 6.0;
        s = r + r * (r2 * s);
        D c = splat(1.0 / 479001600.0);
        c = c * r2 - 1.0 / 3628800.0;
        c = c * r2 + 1.0 / 40320.0;
        c = c * r2 - 1.0 / 720.0;
        c = c * r2 + 1.0 / 24.0;
        c = c * r2 - 0.5;
        c = c * r2 + 1.0;
        const M odd = (reinterpret_cast<I>(t) & 1) != 0;  // tan(r + pi/2) = -cos(r)/sin(r)
        const D q = odd ? -c / s : s / c;
        return x == splat(0.0) ? x : q;  // tan(-0) = -0
    }
};

// Below this magnitude tan reduces its argument itself.
inline constexpr float kTanReduced = 0x1p20f;

// In place over n floats, W lanes at a time; the tail goes through a zero-padded copy.
template <int W, typename Lanes<W>::D (*Fn)(typename Lanes<W>::D)>
inline void mapArray(float* x, int n) {
    using L = Lanes<W>;
    int i = 0;
    for (; i + W <= n; i += W) {
        typename L::F v;
        std::memcpy(&v, x + i, sizeof v);
        const typename L::F y = __builtin_convertvector(Fn(__builtin_convertvector(v, typename L::D)), typename L::F);
        std::memcpy(x + i, &y, sizeof y);
    }
    if (i < n) {
        float pad[W] = {};
        std::memcpy(pad, x + i, sizeof(float) * static_cast<unsigned>(n - i));
        typename L::F v;
        std::memcpy(&v, pad, sizeof v);
        const typename L::F y = __builtin_convertvector(Fn(__builtin_convertvector(v, typename L::D)), typename L::F);
        std::memcpy(pad, &y, sizeof y);
        std::memcpy(x + i, pad, sizeof(float) * static_cast<unsigned>(n - i));
    }
}

template <int W>
inline void expArray(float* x, int n) {
    mapArray<W, &Lanes<W>::exp>(x, n);
}
template <int W>
inline void atanArray(float* x, int n) {
    mapArray<W, &Lanes<W>::atan>(x, n);
}
template <int W>
inline void tanArray(float* x, int n) {
    // Keep the arguments the reduction does not cover (a separate pass, so the vector loop stays
    // branch-free); they are rare, and every path treats them alike.
    int count = 0;
    for (int i = 0; i < n; ++i) count += !(std::fabs(x[i]) < kTanReduced);  // vectorises
    if (count == 0) {
        mapArray<W, &Lanes<W>::tan>(x, n);
        return;
    }
    float big[64];
    int where[64], kept = 0;
    for (int i = 0; i < n && kept < 64; ++i) {
        if (!(std::fabs(x[i]) < kTanReduced)) {
            big[kept] = x[i];
            where[kept++] = i;
        }
    }
    if (count > 64) {  // many: one element at a time, the same arithmetic
        for (int i = 0; i < n; ++i) {
            if (!(std::fabs(x[i]) < kTanReduced))
                x[i] = static_cast<float>(std::tan(static_cast<double>(x[i])));
            else
                mapArray<1, &Lanes<1>::tan>(x + i, 1);
        }
        return;
    }
    mapArray<W, &Lanes<W>::tan>(x, n);
    for (int k = 0; k < count; ++k) x[where[k]] = static_cast<float>(std::tan(static_cast<double>(big[k])));
}

}  // namespace orvex::lanemath

#pragma GCC diagnostic pop

// Adaptive-precision geometric predicates after Jonathan Richard Shewchuk, "Adaptive Precision
// Floating-Point Arithmetic and Fast Robust Geometric Predicates", Discrete & Computational
// Geometry 18(3):305-363, 1997.
//
// Each predicate first evaluates its determinant in ordinary floating point together with a
// proven bound on the rounding error (stage A). That is the path taken almost always, so it is
// kept to a handful of flops with no expansion buffers. Only when the bound cannot certify the
// sign do we fall into the adaptive stages, which live in separate non-inlined functions:
//   B  the determinant of the rounded coordinate differences, computed exactly;
//   C  B plus a first-order floating-point correction for the rounding of those differences;
//   D  the exact determinant of the input coordinates. For insphere, whose stage D would be
//      enormous, the paper instead falls back to a direct exact evaluation from the raw
//      coordinates; only inputs within a few ulps of cospherical get that far.
// Each stage returns as soon as its own error bound certifies the sign.
//
// Exactness assumes that no intermediate result overflows or underflows. Roughly: the degree-k
// products of coordinates and coordinate differences (k = 2 for orient2d, 3 for orient3d,
// 4 for incircle, 5 for insphere) must be finite, and the lowest set bit they can carry (the
// product of the inputs' ulps) must not fall below the subnormal unit 2^-1074. Outside that
// range the sign is still usually right, but no longer guaranteed.
//
// The wide forms at the end of the file hold everywhere: they measure the call's own
// coordinates, scale them by a power of two into that range when the range of their bits
// allows, and otherwise evaluate the determinant in exact integer arithmetic.

#include "core/predicates.h"

#include <algorithm>
#include <cassert>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/exact_int.h"
#include "core/scaling.h"

// Every error-free transformation below assumes IEEE binary64 operations rounded to nearest
// exactly once. Excess precision (x87) and fast-math reassociation both silently break that.
static_assert(std::numeric_limits<double>::is_iec559 && std::numeric_limits<double>::digits == 53,
              "the predicates need IEEE 754 binary64 doubles");
#if defined(__FAST_MATH__)
#error "predicates.cpp must not be compiled with -ffast-math"
#endif
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "predicates.cpp needs double expressions evaluated in double precision (FLT_EVAL_METHOD 0)"
#endif
#if defined(__clang__)
// Clang contracts a*b+c into an FMA within a statement by default; the build passes
// -ffp-contract=off, this keeps the file correct even if a build forgets to.
#pragma STDC FP_CONTRACT OFF
#endif

#if defined(__GNUC__) || defined(__clang__)
#define KAVRO_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define KAVRO_NOINLINE __declspec(noinline)
#else
#define KAVRO_NOINLINE
#endif

namespace kavro::pred {
namespace {

// ---------------------------------------------------------------------------------------------
// Constants. epsilon bounds the relative error of one rounding; the splitter cuts a 53-bit
// significand into two halves of at most 26 bits, whose pairwise products are exact. The error
// bound coefficients are the paper's, evaluated at compile time exactly as its run-time
// initialisation would evaluate them in binary64.

constexpr double kEpsilon = 0x1p-53;
constexpr double kSplitter = 0x1p27 + 1.0;

constexpr double kResultErrBound = (3.0 + 8.0 * kEpsilon) * kEpsilon;
constexpr double kCcwErrBoundA = (3.0 + 16.0 * kEpsilon) * kEpsilon;
constexpr double kCcwErrBoundB = (2.0 + 12.0 * kEpsilon) * kEpsilon;
constexpr double kCcwErrBoundC = (9.0 + 64.0 * kEpsilon) * kEpsilon * kEpsilon;
constexpr double kO3dErrBoundA = (7.0 + 56.0 * kEpsilon) * kEpsilon;
constexpr double kO3dErrBoundB = (3.0 + 28.0 * kEpsilon) * kEpsilon;
constexpr double kO3dErrBoundC = (26.0 + 288.0 * kEpsilon) * kEpsilon * kEpsilon;
constexpr double kIccErrBoundA = (10.0 + 96.0 * kEpsilon) * kEpsilon;
constexpr double kIccErrBoundB = (4.0 + 48.0 * kEpsilon) * kEpsilon;
constexpr double kIccErrBoundC = (44.0 + 576.0 * kEpsilon) * kEpsilon * kEpsilon;
constexpr double kIspErrBoundA = (16.0 + 224.0 * kEpsilon) * kEpsilon;
constexpr double kIspErrBoundB = (5.0 + 72.0 * kEpsilon) * kEpsilon;
constexpr double kIspErrBoundC = (71.0 + 1408.0 * kEpsilon) * kEpsilon * kEpsilon;

// ---------------------------------------------------------------------------------------------
// Error-free transformations: each returns a rounded result hi and the exact rounding error lo,
// so that hi + lo equals the true result. Their correctness rests on every + - * below being a
// separate, correctly rounded binary64 operation evaluated exactly as written. If the compiler
// contracted, say, x - ahi * bhi into an FMA, the "error" terms would be computed from an
// unrounded product and would be wrong, and with them every exact sign. Hence -ffp-contract=off
// and no fast-math for this file.

struct Pair {
    double hi;
    double lo;
};

// Requires |a| >= |b| (or a == 0).
inline Pair fast_two_sum(double a, double b) {
    const double x = a + b;
    const double bvirt = x - a;
    return {x, b - bvirt};
}

inline Pair two_sum(double a, double b) {
    const double x = a + b;
    const double bvirt = x - a;
    const double avirt = x - bvirt;
    const double bround = b - bvirt;
    const double around = a - avirt;
    return {x, around + bround};
}

// The rounding error of x = fl(a - b).
inline double two_diff_tail(double a, double b, double x) {
    const double bvirt = a - x;
    const double avirt = x + bvirt;
    const double bround = bvirt - b;
    const double around = a - avirt;
    return around + bround;
}

inline Pair two_diff(double a, double b) {
    const double x = a - b;
    return {x, two_diff_tail(a, b, x)};
}

// Dekker's split: a == hi + lo with both halves fitting in 26 bits (the +1 in the splitter lets
// the sign of lo carry the 27th). kSplitter * a overflows for |a| > 2^996, far beyond the range
// in which the predicates are exact anyway.
inline Pair split(double a) {
    const double c = kSplitter * a;
    const double abig = c - a;
    const double hi = c - abig;
    return {hi, a - hi};
}

// a * b with b already split, to avoid splitting a repeated factor more than once.
inline Pair two_product_presplit(double a, double b, Pair bs) {
    const double x = a * b;
    const Pair as = split(a);
    const double err1 = x - as.hi * bs.hi;
    const double err2 = err1 - as.lo * bs.hi;
    const double err3 = err2 - as.hi * bs.lo;
    return {x, as.lo * bs.lo - err3};
}

inline Pair two_product(double a, double b) { return two_product_presplit(a, b, split(b)); }

inline Pair square(double a) {
    const double x = a * a;
    const Pair as = split(a);
    const double err1 = x - as.hi * as.hi;
    const double err3 = err1 - (as.hi + as.hi) * as.lo;
    return {x, as.lo * as.lo - err3};
}

// ---------------------------------------------------------------------------------------------
// Expansions: a value represented exactly as an unevaluated sum of doubles, stored from the
// least to the most significant component, with no two components overlapping. After zero
// elimination the last component is the largest and carries the sign of the whole sum.
// The capacity is part of the type, so every buffer size follows from the sizes of the inputs
// and the paper's fixed stack sizes are reproduced (and checked) by the compiler.

template <int N>
struct Expansion {
    int len = 0;
    double c[N];  // only c[0, len) is ever read
};

template <int N>
Expansion<N> zero_expansion() {
    Expansion<N> z;
    z.c[0] = 0.0;
    z.len = 1;
    return z;
}

inline Expansion<4> from_pair(Pair p) {
    Expansion<4> e;
    e.c[0] = p.lo;
    e.c[1] = p.hi;
    e.len = 2;
    return e;
}

// (a.hi + a.lo) + (b.hi + b.lo) exactly, as four components (zeros not eliminated).
inline Expansion<4> two_two_sum(Pair a, Pair b) {
    const Pair s0 = two_sum(a.lo, b.lo);
    const Pair s1 = two_sum(a.hi, s0.hi);
    const Pair s2 = two_sum(s1.lo, b.hi);
    const Pair s3 = two_sum(s1.hi, s2.hi);
    Expansion<4> e;
    e.c[0] = s0.lo;
    e.c[1] = s2.lo;
    e.c[2] = s3.lo;
    e.c[3] = s3.hi;
    e.len = 4;
    return e;
}

// (a.hi + a.lo) - (b.hi + b.lo) exactly, as four components (zeros not eliminated).
inline Expansion<4> two_two_diff(Pair a, Pair b) {
    const Pair s0 = two_diff(a.lo, b.lo);
    const Pair s1 = two_sum(a.hi, s0.hi);
    const Pair s2 = two_diff(s1.lo, b.hi);
    const Pair s3 = two_sum(s1.hi, s2.hi);
    Expansion<4> e;
    e.c[0] = s0.lo;
    e.c[1] = s2.lo;
    e.c[2] = s3.lo;
    e.c[3] = s3.hi;
    e.len = 4;
    return e;
}

// a*b - c*d exactly.
inline Expansion<4> cross_diff(double a, double b, double c, double d) {
    return two_two_diff(two_product(a, b), two_product(c, d));
}

// (a.hi + a.lo) * b exactly.
inline Expansion<4> two_one_product(Pair a, double b) {
    const Pair bs = split(b);
    const Pair p0 = two_product_presplit(a.lo, b, bs);
    const Pair p1 = two_product_presplit(a.hi, b, bs);
    const Pair s = two_sum(p0.hi, p1.lo);
    const Pair t = fast_two_sum(p1.hi, s.hi);
    Expansion<4> e;
    e.c[0] = p0.lo;
    e.c[1] = s.lo;
    e.c[2] = t.lo;
    e.c[3] = t.hi;
    e.len = 4;
    return e;
}

// h = e + f with zero elimination; h must not alias e or f and needs room for elen + flen.
// Components are merged in order of increasing magnitude, which is what keeps the running
// sum q from overlapping the components still to come.
int fast_expansion_sum_zeroelim(int elen, const double* e, int flen, const double* f, double* h) {
    assert(elen >= 1 && flen >= 1);
    int ei = 0;
    int fi = 0;
    int hlen = 0;
    // True when e's next component is not larger in magnitude than f's.
    auto e_first = [&] {
        const double en = e[ei];
        const double fn = f[fi];
        return (fn > en) == (fn > -en);
    };
    double q = e_first() ? e[ei++] : f[fi++];
    if (ei < elen && fi < flen) {
        // The second-smallest component is at least as large as q: fast_two_sum suffices.
        const double next = e_first() ? e[ei++] : f[fi++];
        const Pair s = fast_two_sum(next, q);
        q = s.hi;
        if (s.lo != 0.0) h[hlen++] = s.lo;
        while (ei < elen && fi < flen) {
            const Pair t = two_sum(q, e_first() ? e[ei++] : f[fi++]);
            q = t.hi;
            if (t.lo != 0.0) h[hlen++] = t.lo;
        }
    }
    while (ei < elen) {
        const Pair t = two_sum(q, e[ei++]);
        q = t.hi;
        if (t.lo != 0.0) h[hlen++] = t.lo;
    }
    while (fi < flen) {
        const Pair t = two_sum(q, f[fi++]);
        q = t.hi;
        if (t.lo != 0.0) h[hlen++] = t.lo;
    }
    if (q != 0.0 || hlen == 0) h[hlen++] = q;
    return hlen;
}

// h = b * e with zero elimination; h must not alias e and needs room for 2 * elen.
int scale_expansion_zeroelim(int elen, const double* e, double b, double* h) {
    assert(elen >= 1);
    const Pair bs = split(b);
    int hlen = 0;
    const Pair first = two_product_presplit(e[0], b, bs);
    double q = first.hi;
    if (first.lo != 0.0) h[hlen++] = first.lo;
    for (int i = 1; i < elen; ++i) {
        const Pair p = two_product_presplit(e[i], b, bs);
        const Pair s = two_sum(q, p.lo);
        if (s.lo != 0.0) h[hlen++] = s.lo;
        const Pair t = fast_two_sum(p.hi, s.hi);
        q = t.hi;
        if (t.lo != 0.0) h[hlen++] = t.lo;
    }
    if (q != 0.0 || hlen == 0) h[hlen++] = q;
    return hlen;
}

template <int M, int N>
Expansion<M + N> sum(const Expansion<M>& e, const Expansion<N>& f) {
    Expansion<M + N> h;
    h.len = fast_expansion_sum_zeroelim(e.len, e.c, f.len, f.c, h.c);
    return h;
}

template <int N>
Expansion<2 * N> scale(const Expansion<N>& e, double b) {
    Expansion<2 * N> h;
    h.len = scale_expansion_zeroelim(e.len, e.c, b, h.c);
    return h;
}

template <int N>
Expansion<N> negate(Expansion<N> e) {
    for (int i = 0; i < e.len; ++i) e.c[i] = -e.c[i];
    return e;
}

// A one-double approximation. Summed upward from the smallest component, it has the sign of the
// expansion (the stages rely on that when they return it).
template <int N>
double estimate(const Expansion<N>& e) {
    double q = e.c[0];
    for (int i = 1; i < e.len; ++i) q += e.c[i];
    return q;
}

template <int N>
double most_significant(const Expansion<N>& e) {
    return e.c[e.len - 1];
}

// The growing final sum of a stage D: two buffers used alternately, since an expansion sum
// cannot be computed in place.
template <int N>
class RunningSum {
public:
    template <int M>
    explicit RunningSum(const Expansion<M>& start) {
        static_assert(M <= N);
        for (int i = 0; i < start.len; ++i) a_[i] = start.c[i];
        len_ = start.len;
    }
    RunningSum(const RunningSum&) = delete;
    RunningSum& operator=(const RunningSum&) = delete;

    template <int M>
    void add(const Expansion<M>& e) {
        assert(len_ + e.len <= N);
        len_ = fast_expansion_sum_zeroelim(len_, cur_, e.len, e.c, other_);
        std::swap(cur_, other_);
    }
    double most_significant() const { return cur_[len_ - 1]; }

private:
    double a_[N];
    double b_[N];
    double* cur_ = a_;
    double* other_ = b_;
    int len_ = 0;
};

// ---------------------------------------------------------------------------------------------
// orient2d

KAVRO_NOINLINE double orient2d_adapt(const double* pa, const double* pb, const double* pc,
                                     double detsum) {
    const double acx = pa[0] - pc[0];
    const double bcx = pb[0] - pc[0];
    const double acy = pa[1] - pc[1];
    const double bcy = pb[1] - pc[1];

    const Pair left = two_product(acx, bcy);
    const Pair right = two_product(acy, bcx);
    // The stage bounds below are proven for detsum = |detleft| + |detright|. A caller's filter
    // may have measured it differently (|detleft + detright| is smaller when the signs differ),
    // so never work with less than our own; a larger value only makes the stages more careful.
    const double own_detsum = std::fabs(left.hi) + std::fabs(right.hi);
    if (!(detsum >= own_detsum)) detsum = own_detsum;

    const Expansion<4> b = two_two_diff(left, right);
    double det = estimate(b);
    double errbound = kCcwErrBoundB * detsum;
    if (std::fabs(det) >= errbound) return det;

    const double acxtail = two_diff_tail(pa[0], pc[0], acx);
    const double bcxtail = two_diff_tail(pb[0], pc[0], bcx);
    const double acytail = two_diff_tail(pa[1], pc[1], acy);
    const double bcytail = two_diff_tail(pb[1], pc[1], bcy);
    // Exact differences: b already is the exact determinant.
    if (acxtail == 0.0 && acytail == 0.0 && bcxtail == 0.0 && bcytail == 0.0) return det;

    errbound = kCcwErrBoundC * detsum + kResultErrBound * std::fabs(det);
    det += (acx * bcytail + bcy * acxtail) - (acy * bcxtail + bcx * acytail);
    if (std::fabs(det) >= errbound) return det;

    const Expansion<4> u1 = two_two_diff(two_product(acxtail, bcy), two_product(acytail, bcx));
    const Expansion<4> u2 = two_two_diff(two_product(acx, bcytail), two_product(acy, bcxtail));
    const Expansion<4> u3 =
        two_two_diff(two_product(acxtail, bcytail), two_product(acytail, bcxtail));
    return most_significant(sum(sum(sum(b, u1), u2), u3));
}

// ---------------------------------------------------------------------------------------------
// orient3d. The adaptive stages index the three points relative to d cyclically: for point i,
// j and k are the next two, and m[i] is the 2x2 minor of j and k (bc for a, ca for b, ab for c),
// so that det = sum_i dz[i] * m[i].

// xt * oy - yt * ox exactly: the part of a 2x2 minor that is linear in one point's tails.
// Zero tails are common (coordinates on a coarse grid), so they get short expansions.
Expansion<4> tail_minor(double xt, double yt, double ox, double oy) {
    if (xt == 0.0) {
        if (yt == 0.0) return zero_expansion<4>();
        return from_pair(two_product(-yt, ox));
    }
    if (yt == 0.0) return from_pair(two_product(xt, oy));
    return two_two_diff(two_product(xt, oy), two_product(yt, ox));
}

KAVRO_NOINLINE double orient3d_adapt(const double* pa, const double* pb, const double* pc,
                                     const double* pd, double permanent) {
    const double* p[3] = {pa, pb, pc};
    double dx[3], dy[3], dz[3];
    for (int i = 0; i < 3; ++i) {
        dx[i] = p[i][0] - pd[0];
        dy[i] = p[i][1] - pd[1];
        dz[i] = p[i][2] - pd[2];
    }

    Expansion<4> m[3];
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        m[i] = cross_diff(dx[j], dy[k], dx[k], dy[j]);
    }
    const Expansion<24> b = sum(sum(scale(m[0], dz[0]), scale(m[1], dz[1])), scale(m[2], dz[2]));
    double det = estimate(b);
    double errbound = kO3dErrBoundB * permanent;
    if (std::fabs(det) >= errbound) return det;

    double dxt[3], dyt[3], dzt[3];
    bool any_tail = false;
    for (int i = 0; i < 3; ++i) {
        dxt[i] = two_diff_tail(p[i][0], pd[0], dx[i]);
        dyt[i] = two_diff_tail(p[i][1], pd[1], dy[i]);
        dzt[i] = two_diff_tail(p[i][2], pd[2], dz[i]);
        any_tail = any_tail || dxt[i] != 0.0 || dyt[i] != 0.0 || dzt[i] != 0.0;
    }
    if (!any_tail) return det;

    // The first-order correction and its bound are the paper's; the expression is written out
    // because the bound covers the rounding of exactly this evaluation order.
    errbound = kO3dErrBoundC * permanent + kResultErrBound * std::fabs(det);
    double correction = 0.0;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        const double linear = (dx[j] * dyt[k] + dy[k] * dxt[j]) - (dy[j] * dxt[k] + dx[k] * dyt[j]);
        correction += dz[i] * linear + dzt[i] * (dx[j] * dy[k] - dy[j] * dx[k]);
    }
    det += correction;
    if (std::fabs(det) >= errbound) return det;

    // Stage D: the remaining terms of sum_i (dz[i] + dzt[i]) * (minor of the full differences).
    RunningSum<192> fin(b);
    // t[i]: the part of minor i linear in the tails, split by whose tails it carries.
    Expansion<8> t[3];
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        t[i] = sum(tail_minor(dxt[j], dyt[j], dx[k], dy[k]),
                   tail_minor(-dxt[k], -dyt[k], dx[j], dy[j]));
        fin.add(scale(t[i], dz[i]));
    }
    for (int i = 0; i < 3; ++i) {
        if (dzt[i] != 0.0) fin.add(scale(m[i], dzt[i]));
    }
    // Products of two tails (xt * yt' in some minor), times the z head and z tail.
    auto add_tail_product = [&fin](double xt, double yt, double z, double zt) {
        if (xt == 0.0 || yt == 0.0) return;
        const Pair tt = two_product(xt, yt);
        fin.add(two_one_product(tt, z));
        if (zt != 0.0) fin.add(two_one_product(tt, zt));
    };
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        add_tail_product(dxt[i], dyt[j], dz[k], dzt[k]);
        add_tail_product(-dxt[i], dyt[k], dz[j], dzt[j]);
    }
    for (int i = 0; i < 3; ++i) {
        if (dzt[i] != 0.0) fin.add(scale(t[i], dzt[i]));
    }
    return fin.most_significant();
}

// ---------------------------------------------------------------------------------------------
// incircle, with the same cyclic indexing relative to d: det = sum_i lift[i] * m[i],
// lift[i] = dx[i]^2 + dy[i]^2.

KAVRO_NOINLINE double incircle_adapt(const double* pa, const double* pb, const double* pc,
                                     const double* pd, double permanent) {
    const double* p[3] = {pa, pb, pc};
    double dx[3], dy[3];
    for (int i = 0; i < 3; ++i) {
        dx[i] = p[i][0] - pd[0];
        dy[i] = p[i][1] - pd[1];
    }

    Expansion<4> m[3];
    Expansion<32> lifted[3];
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        m[i] = cross_diff(dx[j], dy[k], dx[k], dy[j]);
        lifted[i] = sum(scale(scale(m[i], dx[i]), dx[i]), scale(scale(m[i], dy[i]), dy[i]));
    }
    const Expansion<96> b = sum(sum(lifted[0], lifted[1]), lifted[2]);
    double det = estimate(b);
    double errbound = kIccErrBoundB * permanent;
    if (std::fabs(det) >= errbound) return det;

    double dxt[3], dyt[3];
    bool has_tail[3];
    for (int i = 0; i < 3; ++i) {
        dxt[i] = two_diff_tail(p[i][0], pd[0], dx[i]);
        dyt[i] = two_diff_tail(p[i][1], pd[1], dy[i]);
        has_tail[i] = dxt[i] != 0.0 || dyt[i] != 0.0;
    }
    if (!has_tail[0] && !has_tail[1] && !has_tail[2]) return det;

    // The paper's first-order correction, in the evaluation order its bound was proven for.
    errbound = kIccErrBoundC * permanent + kResultErrBound * std::fabs(det);
    double correction = 0.0;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        correction += (dx[i] * dx[i] + dy[i] * dy[i]) *
                          ((dx[j] * dyt[k] + dy[k] * dxt[j]) - (dy[j] * dxt[k] + dx[k] * dyt[j])) +
                      2.0 * (dx[i] * dxt[i] + dy[i] * dyt[i]) * (dx[j] * dy[k] - dy[j] * dx[k]);
    }
    det += correction;
    if (std::fabs(det) >= errbound) return det;

    // Stage D: expand sum_i (lift of the full differences) * (minor of the full differences)
    // and add every term not yet in b, grouped by the tail that carries it.
    RunningSum<1152> fin(b);

    // Exact lifts of the rounded differences, needed only where another point has tails.
    Expansion<4> lift[3];
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        if (has_tail[j] || has_tail[k]) lift[i] = two_two_sum(square(dx[i]), square(dy[i]));
    }

    // Terms linear in one tail: from point i's own lift (2 dx dxt * m[i]) and from the two
    // minors that contain point i (lift[j] * (part of m[k]) and lift[k] * (part of m[j])).
    Expansion<8> xtm[3], ytm[3];
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        if (dxt[i] != 0.0) {
            xtm[i] = scale(m[i], dxt[i]);
            const auto own = scale(xtm[i], 2.0 * dx[i]);
            const auto via_k = scale(scale(lift[k], dxt[i]), dy[j]);
            const auto via_j = scale(scale(lift[j], dxt[i]), -dy[k]);
            fin.add(sum(via_j, sum(own, via_k)));
        }
        if (dyt[i] != 0.0) {
            ytm[i] = scale(m[i], dyt[i]);
            const auto own = scale(ytm[i], 2.0 * dy[i]);
            const auto via_j = scale(scale(lift[j], dyt[i]), dx[k]);
            const auto via_k = scale(scale(lift[k], dyt[i]), -dx[j]);
            fin.add(sum(via_k, sum(own, via_j)));
        }
    }

    // Terms of higher order, for each point i with tails.
    for (int i = 0; i < 3; ++i) {
        if (!has_tail[i]) continue;
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        // The parts of m[i] linear (t) and quadratic (tt) in the tails of j and k.
        Expansion<8> t = zero_expansion<8>();
        Expansion<4> tt = zero_expansion<4>();
        if (has_tail[j] || has_tail[k]) {
            const Expansion<4> u =
                two_two_sum(two_product(dxt[j], dy[k]), two_product(dx[j], dyt[k]));
            const Expansion<4> v =
                two_two_sum(two_product(dxt[k], -dy[j]), two_product(dx[k], -dyt[j]));
            t = sum(u, v);
            tt = two_two_diff(two_product(dxt[j], dyt[k]), two_product(dxt[k], dyt[j]));
        }
        // (2 h e + e^2) * (m + t + tt) - 2 h e * m for one coordinate with head h and tail e.
        auto add_own_tail_terms = [&fin, &t, &tt](const Expansion<8>& etm, double h, double e) {
            const auto et = scale(t, e);
            fin.add(sum(scale(etm, e), scale(et, 2.0 * h)));
            const auto ett = scale(tt, e);
            fin.add(sum(scale(et, e), sum(scale(ett, 2.0 * h), scale(ett, e))));
        };
        if (dxt[i] != 0.0) {
            add_own_tail_terms(xtm[i], dx[i], dxt[i]);
            // lift[k] * (dxt[i] dyt[j]) and lift[j] * (-dxt[i] dyt[k]): the tail-by-tail parts of
            // the minors m[k] and m[j].
            if (dyt[j] != 0.0) fin.add(scale(scale(lift[k], dxt[i]), dyt[j]));
            if (dyt[k] != 0.0) fin.add(scale(scale(lift[j], -dxt[i]), dyt[k]));
        }
        if (dyt[i] != 0.0) add_own_tail_terms(ytm[i], dy[i], dyt[i]);
    }
    return fin.most_significant();
}

// ---------------------------------------------------------------------------------------------
// insphere. Written with explicit point names, as in the paper: the 4x4 cofactor structure does
// not reduce to a single cyclic pattern.

// m1 * s1 + m2 * s2 + m3 * s3 exactly: a 3x3 determinant expanded along its z column.
Expansion<24> z_cofactor_sum(const Expansion<4>& m1, double s1, const Expansion<4>& m2, double s2,
                             const Expansion<4>& m3, double s3) {
    return sum(scale(m3, s3), sum(scale(m1, s1), scale(m2, s2)));
}

// sign * (x^2 + y^2 + z^2) * t exactly.
template <int N>
Expansion<12 * N> lift_times(const Expansion<N>& t, const double* xyz, double sign) {
    const auto xx = scale(scale(t, xyz[0]), sign * xyz[0]);
    const auto yy = scale(scale(t, xyz[1]), sign * xyz[1]);
    const auto zz = scale(scale(t, xyz[2]), sign * xyz[2]);
    return sum(sum(xx, yy), zz);
}

// The 5x5 determinant |x y z x^2+y^2+z^2 1| of the raw coordinates, exactly. Slow (about 160 KB
// of stack), but reached only by inputs that are cospherical or within a few ulps of it.
KAVRO_NOINLINE double insphere_exact(const double* pa, const double* pb, const double* pc,
                                     const double* pd, const double* pe) {
    auto minor = [](const double* p, const double* q) {
        return cross_diff(p[0], q[1], q[0], p[1]);
    };
    const Expansion<4> ab = minor(pa, pb), bc = minor(pb, pc), cd = minor(pc, pd),
                       de = minor(pd, pe), ea = minor(pe, pa), ac = minor(pa, pc),
                       bd = minor(pb, pd), ce = minor(pc, pe), da = minor(pd, pa),
                       eb = minor(pe, pb);

    // All ten 3x3 orientation minors (x, y, z columns), named by their rows.
    const Expansion<24> abc = z_cofactor_sum(bc, pa[2], ac, -pb[2], ab, pc[2]);
    const Expansion<24> bcd = z_cofactor_sum(cd, pb[2], bd, -pc[2], bc, pd[2]);
    const Expansion<24> cde = z_cofactor_sum(de, pc[2], ce, -pd[2], cd, pe[2]);
    const Expansion<24> dea = z_cofactor_sum(ea, pd[2], da, -pe[2], de, pa[2]);
    const Expansion<24> eab = z_cofactor_sum(ab, pe[2], eb, -pa[2], ea, pb[2]);
    const Expansion<24> abd = z_cofactor_sum(bd, pa[2], da, pb[2], ab, pd[2]);
    const Expansion<24> bce = z_cofactor_sum(ce, pb[2], eb, pc[2], bc, pe[2]);
    const Expansion<24> cda = z_cofactor_sum(da, pc[2], ac, pd[2], cd, pa[2]);
    const Expansion<24> deb = z_cofactor_sum(eb, pd[2], bd, pe[2], de, pb[2]);
    const Expansion<24> eac = z_cofactor_sum(ac, pe[2], ce, pa[2], ea, pc[2]);

    // 4x4 minors (x, y, z, 1) of the four points other than the lifted one, signed so that
    // det = sum over points of lift * minor.
    auto quad = [](const Expansion<24>& p1, const Expansion<24>& p2, const Expansion<24>& n1,
                   const Expansion<24>& n2) { return sum(sum(p1, p2), negate(sum(n1, n2))); };
    const Expansion<96> bcde = quad(cde, bce, deb, bcd);
    const Expansion<96> cdea = quad(dea, cda, eac, cde);
    const Expansion<96> deab = quad(eab, deb, abd, dea);
    const Expansion<96> eabc = quad(abc, eac, bce, eab);
    const Expansion<96> abcd = quad(bcd, abd, cda, abc);

    const Expansion<2304> abdet = sum(lift_times(bcde, pa, 1.0), lift_times(cdea, pb, 1.0));
    const Expansion<2304> cddet = sum(lift_times(deab, pc, 1.0), lift_times(eabc, pd, 1.0));
    const Expansion<3456> cdedet = sum(cddet, lift_times(abcd, pe, 1.0));
    return most_significant(sum(abdet, cdedet));
}

KAVRO_NOINLINE double insphere_adapt(const double* pa, const double* pb, const double* pc,
                                     const double* pd, const double* pe, double permanent) {
    const double ae[3] = {pa[0] - pe[0], pa[1] - pe[1], pa[2] - pe[2]};
    const double be[3] = {pb[0] - pe[0], pb[1] - pe[1], pb[2] - pe[2]};
    const double ce[3] = {pc[0] - pe[0], pc[1] - pe[1], pc[2] - pe[2]};
    const double de[3] = {pd[0] - pe[0], pd[1] - pe[1], pd[2] - pe[2]};
    const double aex = ae[0], aey = ae[1], aez = ae[2];
    const double bex = be[0], bey = be[1], bez = be[2];
    const double cex = ce[0], cey = ce[1], cez = ce[2];
    const double dex = de[0], dey = de[1], dez = de[2];

    const Expansion<4> ab = cross_diff(aex, bey, bex, aey);
    const Expansion<4> bc = cross_diff(bex, cey, cex, bey);
    const Expansion<4> cd = cross_diff(cex, dey, dex, cey);
    const Expansion<4> da = cross_diff(dex, aey, aex, dey);
    const Expansion<4> ac = cross_diff(aex, cey, cex, aey);
    const Expansion<4> bd = cross_diff(bex, dey, dex, bey);

    // det = -alift * bcd + blift * cda - clift * dab + dlift * abc.
    const Expansion<288> adet = lift_times(z_cofactor_sum(cd, bez, bd, -cez, bc, dez), ae, -1.0);
    const Expansion<288> bdet = lift_times(z_cofactor_sum(da, cez, ac, dez, cd, aez), be, 1.0);
    const Expansion<288> cdet = lift_times(z_cofactor_sum(ab, dez, bd, aez, da, bez), ce, -1.0);
    const Expansion<288> ddet = lift_times(z_cofactor_sum(bc, aez, ac, -bez, ab, cez), de, 1.0);
    const Expansion<1152> fin = sum(sum(adet, bdet), sum(cdet, ddet));

    double det = estimate(fin);
    double errbound = kIspErrBoundB * permanent;
    if (std::fabs(det) >= errbound) return det;

    const double aextail = two_diff_tail(pa[0], pe[0], aex);
    const double aeytail = two_diff_tail(pa[1], pe[1], aey);
    const double aeztail = two_diff_tail(pa[2], pe[2], aez);
    const double bextail = two_diff_tail(pb[0], pe[0], bex);
    const double beytail = two_diff_tail(pb[1], pe[1], bey);
    const double beztail = two_diff_tail(pb[2], pe[2], bez);
    const double cextail = two_diff_tail(pc[0], pe[0], cex);
    const double ceytail = two_diff_tail(pc[1], pe[1], cey);
    const double ceztail = two_diff_tail(pc[2], pe[2], cez);
    const double dextail = two_diff_tail(pd[0], pe[0], dex);
    const double deytail = two_diff_tail(pd[1], pe[1], dey);
    const double deztail = two_diff_tail(pd[2], pe[2], dez);
    if (aextail == 0.0 && aeytail == 0.0 && aeztail == 0.0 && bextail == 0.0 && beytail == 0.0 &&
        beztail == 0.0 && cextail == 0.0 && ceytail == 0.0 && ceztail == 0.0 && dextail == 0.0 &&
        deytail == 0.0 && deztail == 0.0) {
        return det;
    }

    // The paper's first-order correction, in the evaluation order its bound was proven for
    // (named pieces are rounded exactly as they would be inline); the minors enter through their
    // most significant components only.
    errbound = kIspErrBoundC * permanent + kResultErrBound * std::fabs(det);
    const double ab3 = ab.c[3], bc3 = bc.c[3], cd3 = cd.c[3], da3 = da.c[3], ac3 = ac.c[3],
                 bd3 = bd.c[3];
    const double abeps = (aex * beytail + bey * aextail) - (aey * bextail + bex * aeytail);
    const double bceps = (bex * ceytail + cey * bextail) - (bey * cextail + cex * beytail);
    const double cdeps = (cex * deytail + dey * cextail) - (cey * dextail + dex * ceytail);
    const double daeps = (dex * aeytail + aey * dextail) - (dey * aextail + aex * deytail);
    const double aceps = (aex * ceytail + cey * aextail) - (aey * cextail + cex * aeytail);
    const double bdeps = (bex * deytail + dey * bextail) - (bey * dextail + dex * beytail);
    // Per lifted row: the first-order change of its 3x3 cofactor from the difference tails
    // (eps: x and y tails, tail: z tails), and the first-order change of its lift.
    const double acof_eps = bez * cdeps - cez * bdeps + dez * bceps;
    const double acof_tail = beztail * cd3 - ceztail * bd3 + deztail * bc3;
    const double bcof_eps = cez * daeps + dez * aceps + aez * cdeps;
    const double bcof_tail = ceztail * da3 + deztail * ac3 + aeztail * cd3;
    const double ccof_eps = dez * abeps + aez * bdeps + bez * daeps;
    const double ccof_tail = deztail * ab3 + aeztail * bd3 + beztail * da3;
    const double dcof_eps = aez * bceps - bez * aceps + cez * abeps;
    const double dcof_tail = aeztail * bc3 - beztail * ac3 + ceztail * ab3;
    const double alift = aex * aex + aey * aey + aez * aez;
    const double blift = bex * bex + bey * bey + bez * bez;
    const double clift = cex * cex + cey * cey + cez * cez;
    const double dlift = dex * dex + dey * dey + dez * dez;
    const double adot = aex * aextail + aey * aeytail + aez * aeztail;
    const double bdot = bex * bextail + bey * beytail + bez * beztail;
    const double cdot = cex * cextail + cey * ceytail + cez * ceztail;
    const double ddot = dex * dextail + dey * deytail + dez * deztail;
    const double acof = bez * cd3 - cez * bd3 + dez * bc3;
    const double bcof = cez * da3 + dez * ac3 + aez * cd3;
    const double ccof = dez * ab3 + aez * bd3 + bez * da3;
    const double dcof = aez * bc3 - bez * ac3 + cez * ab3;
    det += ((blift * (bcof_eps + bcof_tail) + dlift * (dcof_eps + dcof_tail)) -
            (alift * (acof_eps + acof_tail) + clift * (ccof_eps + ccof_tail))) +
           2.0 * ((bdot * bcof + ddot * dcof) - (adot * acof + cdot * ccof));
    if (std::fabs(det) >= errbound) return det;

    return insphere_exact(pa, pb, pc, pd, pe);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The public predicates: stage A inline, everything else out of line. The filters test
// |det| against the bound rather than the paper's (det > b || -det > b): same result, but the
// short-circuit form is a branch on the sign of det, which is unpredictable in a sweep.

double orient2d(const double* pa, const double* pb, const double* pc) {
    const double detleft = (pa[0] - pc[0]) * (pb[1] - pc[1]);
    const double detright = (pa[1] - pc[1]) * (pb[0] - pc[0]);
    const double det = detleft - detright;

    // The paper returns early when the two products differ in sign (or one is zero), since they
    // cannot cancel. With detsum = |detleft| + |detright| that case always passes the test below
    // anyway (|det| == detsum), so one well-predicted branch does the work of three sign tests
    // that are coin flips on typical input. detsum is the paper's value in every other case.
    const double detsum = std::fabs(detleft) + std::fabs(detright);
    const double errbound = kCcwErrBoundA * detsum;
    if (std::fabs(det) >= errbound) return det;
    return orient2d_adapt(pa, pb, pc, detsum);
}

double orient2dadapt(const double* pa, const double* pb, const double* pc, double detsum) {
    return orient2d_adapt(pa, pb, pc, detsum);
}

double orient3d(const double* pa, const double* pb, const double* pc, const double* pd) {
    const double adx = pa[0] - pd[0], bdx = pb[0] - pd[0], cdx = pc[0] - pd[0];
    const double ady = pa[1] - pd[1], bdy = pb[1] - pd[1], cdy = pc[1] - pd[1];
    const double adz = pa[2] - pd[2], bdz = pb[2] - pd[2], cdz = pc[2] - pd[2];

    const double bdxcdy = bdx * cdy, cdxbdy = cdx * bdy;
    const double cdxady = cdx * ady, adxcdy = adx * cdy;
    const double adxbdy = adx * bdy, bdxady = bdx * ady;

    const double det = adz * (bdxcdy - cdxbdy) + bdz * (cdxady - adxcdy) + cdz * (adxbdy - bdxady);
    const double permanent = (std::fabs(bdxcdy) + std::fabs(cdxbdy)) * std::fabs(adz) +
                             (std::fabs(cdxady) + std::fabs(adxcdy)) * std::fabs(bdz) +
                             (std::fabs(adxbdy) + std::fabs(bdxady)) * std::fabs(cdz);
    const double errbound = kO3dErrBoundA * permanent;
    if (std::fabs(det) > errbound) return det;
    return orient3d_adapt(pa, pb, pc, pd, permanent);
}

double incircle(const double* pa, const double* pb, const double* pc, const double* pd) {
    const double adx = pa[0] - pd[0], bdx = pb[0] - pd[0], cdx = pc[0] - pd[0];
    const double ady = pa[1] - pd[1], bdy = pb[1] - pd[1], cdy = pc[1] - pd[1];

    const double bdxcdy = bdx * cdy, cdxbdy = cdx * bdy;
    const double alift = adx * adx + ady * ady;
    const double cdxady = cdx * ady, adxcdy = adx * cdy;
    const double blift = bdx * bdx + bdy * bdy;
    const double adxbdy = adx * bdy, bdxady = bdx * ady;
    const double clift = cdx * cdx + cdy * cdy;

    const double det =
        alift * (bdxcdy - cdxbdy) + blift * (cdxady - adxcdy) + clift * (adxbdy - bdxady);
    const double permanent = (std::fabs(bdxcdy) + std::fabs(cdxbdy)) * alift +
                             (std::fabs(cdxady) + std::fabs(adxcdy)) * blift +
                             (std::fabs(adxbdy) + std::fabs(bdxady)) * clift;
    const double errbound = kIccErrBoundA * permanent;
    if (std::fabs(det) > errbound) return det;
    return incircle_adapt(pa, pb, pc, pd, permanent);
}

double insphere(const double* pa, const double* pb, const double* pc, const double* pd,
                const double* pe) {
    const double aex = pa[0] - pe[0], bex = pb[0] - pe[0], cex = pc[0] - pe[0], dex = pd[0] - pe[0];
    const double aey = pa[1] - pe[1], bey = pb[1] - pe[1], cey = pc[1] - pe[1], dey = pd[1] - pe[1];
    const double aez = pa[2] - pe[2], bez = pb[2] - pe[2], cez = pc[2] - pe[2], dez = pd[2] - pe[2];

    const double aexbey = aex * bey, bexaey = bex * aey;
    const double bexcey = bex * cey, cexbey = cex * bey;
    const double cexdey = cex * dey, dexcey = dex * cey;
    const double dexaey = dex * aey, aexdey = aex * dey;
    const double aexcey = aex * cey, cexaey = cex * aey;
    const double bexdey = bex * dey, dexbey = dex * bey;
    const double ab = aexbey - bexaey, bc = bexcey - cexbey, cd = cexdey - dexcey;
    const double da = dexaey - aexdey, ac = aexcey - cexaey, bd = bexdey - dexbey;

    const double abc = aez * bc - bez * ac + cez * ab;
    const double bcd = bez * cd - cez * bd + dez * bc;
    const double cda = cez * da + dez * ac + aez * cd;
    const double dab = dez * ab + aez * bd + bez * da;

    const double alift = aex * aex + aey * aey + aez * aez;
    const double blift = bex * bex + bey * bey + bez * bez;
    const double clift = cex * cex + cey * cey + cez * cez;
    const double dlift = dex * dex + dey * dey + dez * dez;

    const double det = (dlift * abc - clift * dab) + (blift * cda - alift * bcd);

    const double aezp = std::fabs(aez), bezp = std::fabs(bez);
    const double cezp = std::fabs(cez), dezp = std::fabs(dez);
    const double abp = std::fabs(aexbey) + std::fabs(bexaey);
    const double bcp = std::fabs(bexcey) + std::fabs(cexbey);
    const double cdp = std::fabs(cexdey) + std::fabs(dexcey);
    const double dap = std::fabs(dexaey) + std::fabs(aexdey);
    const double acp = std::fabs(aexcey) + std::fabs(cexaey);
    const double bdp = std::fabs(bexdey) + std::fabs(dexbey);
    const double permanent = (cdp * bezp + bdp * cezp + bcp * dezp) * alift +
                             (dap * cezp + acp * dezp + cdp * aezp) * blift +
                             (abp * dezp + bdp * aezp + dap * bezp) * clift +
                             (bcp * aezp + acp * bezp + abp * cezp) * dlift;
    const double errbound = kIspErrBoundA * permanent;
    if (std::fabs(det) > errbound) return det;
    return insphere_adapt(pa, pb, pc, pd, pe, permanent);
}

// ---------------------------------------------------------------------------------------------
// The wide forms.

namespace {

// The determinants of the four predicates from the coordinate differences to the last
// point, written as stage A writes them, so the sign conventions are the same; d[i] points
// at the differences of point i.
template <class N>
N orient2d_poly(const N (*d)[3]) {
    return d[0][0] * d[1][1] - d[0][1] * d[1][0];
}

template <class N>
N orient3d_poly(const N (*d)[3]) {
    return d[0][2] * (d[1][0] * d[2][1] - d[2][0] * d[1][1]) +
           d[1][2] * (d[2][0] * d[0][1] - d[0][0] * d[2][1]) +
           d[2][2] * (d[0][0] * d[1][1] - d[1][0] * d[0][1]);
}

template <class N>
N incircle_poly(const N (*d)[3]) {
    const auto lift = [d](int i) { return d[i][0] * d[i][0] + d[i][1] * d[i][1]; };
    return lift(0) * (d[1][0] * d[2][1] - d[2][0] * d[1][1]) +
           lift(1) * (d[2][0] * d[0][1] - d[0][0] * d[2][1]) +
           lift(2) * (d[0][0] * d[1][1] - d[1][0] * d[0][1]);
}

template <class N>
N insphere_poly(const N (*d)[3]) {
    const auto minor = [d](int i, int j) { return d[i][0] * d[j][1] - d[j][0] * d[i][1]; };
    const auto lift = [d](int i) {
        return d[i][0] * d[i][0] + d[i][1] * d[i][1] + d[i][2] * d[i][2];
    };
    const N ab = minor(0, 1), bc = minor(1, 2), cd = minor(2, 3);
    const N da = minor(3, 0), ac = minor(0, 2), bd = minor(1, 3);
    const N abc = d[0][2] * bc - d[1][2] * ac + d[2][2] * ab;
    const N bcd = d[1][2] * cd - d[2][2] * bd + d[3][2] * bc;
    const N cda = d[2][2] * da + d[3][2] * ac + d[0][2] * cd;
    const N dab = d[3][2] * ab + d[0][2] * bd + d[1][2] * da;
    return (lift(3) * abc - lift(2) * dab) + (lift(1) * cda - lift(0) * bcd);
}

// The range of bits of a call's coordinates: every nonzero |value| is below 2^(top + 1)
// and a multiple of 2^low.
struct CallBits {
    int top = std::numeric_limits<int>::min();
    int low = std::numeric_limits<int>::max();
    bool finite = true;
    bool nonzero() const { return top != std::numeric_limits<int>::min(); }
};

template <int Count, int Dims>
CallBits bits_of_call(const double* const (&p)[Count]) {
    CallBits b;
    for (int i = 0; i < Count; ++i) {
        for (int k = 0; k < Dims; ++k) {
            const double a = std::fabs(p[i][k]);
            if (!(a <= std::numeric_limits<double>::max())) {
                b.finite = false;
            } else if (a != 0.0) {
                b.top = std::max(b.top, PowerOfTwoScale::binade(a));
                b.low = std::min(b.low, PowerOfTwoScale::lowest_bit(a));
            }
        }
    }
    return b;
}

// The plain form where it is exact on the call's coordinates, as they are or times a power
// of two (which changes no sign); the exact integer determinant where their bits span too
// much for any scale. Degree is the determinant's degree in the coordinate differences, and
// the bound on the lowest bit is the one PowerOfTwoScale::in_exact_range explains.
template <int Count, int Dims, int Degree, class Plain, class Poly>
double wide(const double* const (&p)[Count], Plain plain, Poly poly) {
    const CallBits b = bits_of_call<Count, Dims>(p);
    // NaN and infinities keep the plain form's answer; so does an all-zero call (0).
    if (!b.finite || !b.nonzero()) return plain(p);
    constexpr int floor_bit = -(900 / Degree);
    if (b.top <= 64 && b.low >= floor_bit) return plain(p);
    if (b.low - b.top >= floor_bit) {
        double scaled[Count][3];
        const double* q[Count];
        for (int i = 0; i < Count; ++i) {
            for (int k = 0; k < Dims; ++k) scaled[i][k] = std::ldexp(p[i][k], -b.top);
            q[i] = scaled[i];
        }
        return plain(q);
    }
    ExactInt d[Count - 1][3];
    const double* last = p[Count - 1];
    for (int i = 0; i + 1 < Count; ++i) {
        for (int k = 0; k < Dims; ++k) {
            d[i][k] = ExactInt::of(p[i][k], b.low) - ExactInt::of(last[k], b.low);
        }
    }
    return poly(d).sign();
}

}  // namespace

double orient2d_wide(const double* pa, const double* pb, const double* pc) {
    const double* const p[3] = {pa, pb, pc};
    return wide<3, 2, 2>(
        p, [](const double* const* q) { return orient2d(q[0], q[1], q[2]); },
        [](const ExactInt (*d)[3]) { return orient2d_poly(d); });
}

double orient3d_wide(const double* pa, const double* pb, const double* pc, const double* pd) {
    const double* const p[4] = {pa, pb, pc, pd};
    return wide<4, 3, 3>(
        p, [](const double* const* q) { return orient3d(q[0], q[1], q[2], q[3]); },
        [](const ExactInt (*d)[3]) { return orient3d_poly(d); });
}

double incircle_wide(const double* pa, const double* pb, const double* pc, const double* pd) {
    const double* const p[4] = {pa, pb, pc, pd};
    return wide<4, 2, 4>(
        p, [](const double* const* q) { return incircle(q[0], q[1], q[2], q[3]); },
        [](const ExactInt (*d)[3]) { return incircle_poly(d); });
}

double insphere_wide(const double* pa, const double* pb, const double* pc, const double* pd,
                     const double* pe) {
    const double* const p[5] = {pa, pb, pc, pd, pe};
    return wide<5, 3, 5>(
        p, [](const double* const* q) { return insphere(q[0], q[1], q[2], q[3], q[4]); },
        [](const ExactInt (*d)[3]) { return insphere_poly(d); });
}

}  // namespace kavro::pred

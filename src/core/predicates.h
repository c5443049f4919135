// Adaptive-precision geometric predicates on float64 coordinates (Shewchuk's algorithms):
// a float filter with a proven error bound, then exact expansion arithmetic in stages.
// The magnitude of a result is only an estimate; its sign is exact while no product of the
// predicate's degree (2 for orient2d, 3 for orient3d, 4 for incircle, 5 for insphere) of
// coordinate differences overflows or underflows: with the largest |coordinate| below 2,
// while every coordinate is a multiple of 2^-(900 / degree) (PowerOfTwoScale tells whether
// a cloud is). The `_wide` forms are exact for every finite input, at any magnitude and
// any spread of magnitudes, and cost a few comparisons more per call; beyond that range
// they fall back to exact integer arithmetic, which is slow.
//
// Conventions (points are pointers to 2 or 3 doubles):
//   orient2d(a, b, c)        > 0 when a, b, c run counterclockwise, < 0 clockwise, 0 collinear.
//   orient3d(a, b, c, d)     > 0 when d lies below the plane of a, b, c (the side from which
//                            a, b, c appear clockwise); equals -det(b - a, c - a, d - a).
//   incircle(a, b, c, d)     > 0 when d lies inside the circle through a, b, c and a, b, c run
//                            counterclockwise; the sign flips for a clockwise triangle.
//   insphere(a, b, c, d, e)  > 0 when e lies inside the sphere through a, b, c, d and
//                            orient3d(a, b, c, d) > 0; the sign flips for negative orientation.
//
// This module must be compiled without FMA contraction and without fast-math: the
// error-free transformations (two-sum, two-product) rely on every a*b and a+b rounding
// exactly once, as written.
#pragma once

namespace kavro::pred {

double orient2d(const double* pa, const double* pb, const double* pc);
// The exact stages of orient2d, for callers that ran the float filter themselves;
// detsum = |detleft + detright| of that filter.
double orient2dadapt(const double* pa, const double* pb, const double* pc, double detsum);
double orient3d(const double* pa, const double* pb, const double* pc, const double* pd);
double incircle(const double* pa, const double* pb, const double* pc, const double* pd);
double insphere(const double* pa, const double* pb, const double* pc, const double* pd,
                const double* pe);

// The same signs, exact for every finite input. With NaN or infinite coordinates they
// answer as the plain forms do.
double orient2d_wide(const double* pa, const double* pb, const double* pc);
double orient3d_wide(const double* pa, const double* pb, const double* pc, const double* pd);
double incircle_wide(const double* pa, const double* pb, const double* pc, const double* pd);
double insphere_wide(const double* pa, const double* pb, const double* pc, const double* pd,
                     const double* pe);

// The plain form, or the wide one when `wide`: for callers that decide once for a whole
// cloud (PowerOfTwoScale::in_exact_range), so that the branch is always predicted.
inline double orient2d(const double* pa, const double* pb, const double* pc, bool wide) {
    return wide ? orient2d_wide(pa, pb, pc) : orient2d(pa, pb, pc);
}
inline double orient3d(const double* pa, const double* pb, const double* pc, const double* pd,
                       bool wide) {
    return wide ? orient3d_wide(pa, pb, pc, pd) : orient3d(pa, pb, pc, pd);
}
inline double incircle(const double* pa, const double* pb, const double* pc, const double* pd,
                       bool wide) {
    return wide ? incircle_wide(pa, pb, pc, pd) : incircle(pa, pb, pc, pd);
}
inline double insphere(const double* pa, const double* pb, const double* pc, const double* pd,
                       const double* pe, bool wide) {
    return wide ? insphere_wide(pa, pb, pc, pd, pe) : insphere(pa, pb, pc, pd, pe);
}

}  // namespace kavro::pred

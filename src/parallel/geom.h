// Geometry the parallel pipeline needs beyond the sequential kernels: circumballs with a
// conservative outer radius (to decide which points may lie inside a simplex's ball),
// exact in-ball signs that ignore the simplex's orientation, and exact orientation signs.
// Everything here is a pure, reentrant function on float64 coordinates; pool workers call
// them concurrently.
//
// The circumballs are bit-reproducible only without FMA contraction (-ffp-contract=off):
// their error bound was derived for the exact operation order in geom.cpp.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "core/error.h"
#include "core/output.h"
#include "core/point_view.h"

namespace kavro::par {

// One point: D float64 coordinates.
template <std::size_t D>
using Point = std::array<double, D>;

// K = D + 1 vertices in the caller's order (a triangle in 2D, a tetrahedron in 3D).
template <std::size_t D>
using Simplex = std::array<Point<D>, D + 1>;

template <std::size_t D>
struct Ball {
    Point<D> center;      // the computed circumcentre
    double radius;        // |center - vertex 0| as computed
    // Finite, >= 1.0000000000000018 * radius, and > radius whenever the float error bound
    // is non-zero: no point of the true circumball lies farther than this from `center`.
    double outer_radius;
};

// Whether a ball can bound a search: a finite centre and a finite, non-negative outer
// radius. Written so that NaN fails: a NaN centre files the ball in cell 0 and a NaN
// radius answers every distance test alike, so such a ball would vouch for a simplex
// without having looked where its points are.
template <std::size_t D>
bool usable(const Ball<D>& b) {
    if (!(std::isfinite(b.outer_radius) && b.outer_radius >= 0.0)) return false;
    for (const double c : b.center) {
        if (!std::isfinite(c)) return false;
    }
    return true;
}

// The circumball of a triangle / tetrahedron, or none when the simplex is too flat for the
// float computation to be trusted (its determinant is zero, or at most 4 * 2^-46 times the
// sum of the determinant's absolute products), when a coordinate is NaN or infinite, or
// when the squared lengths, the outer radius or the centre overflow. Vertex order does
// not matter. A ball it returns is usable.
std::optional<Ball<2>> circumball2(const Simplex<2>& s);
std::optional<Ball<3>> circumball3(const Simplex<3>& s);

// Exact in-ball sign, whatever the orientation of the simplex: > 0 when p lies strictly
// inside the circumcircle / circumsphere, exactly 0 on it (a vertex included), < 0 outside.
// NaN when the orientation predicate is NaN. Only the sign carries meaning.
double inball2_exact(const Simplex<2>& s, const Point<2>& p);
double inball3_exact(const Simplex<3>& s, const Point<3>& p);

// Exact orientation sign. 2D: > 0 when the vertices run counterclockwise. 3D: the sign of
// det(b - a, c - a, d - a), > 0 for the orientation of the output tetrahedra (d on the
// side toward which (b - a) x (c - a) points). Only the sign carries meaning.
double orient2_exact(const Simplex<2>& s);
double orient3_exact(const Simplex<3>& s);

// Everything the pipeline calls that depends on the dimension, so it is written once for both
// dimensions: the float64 sequential kernel (delaunay2d / delaunay4d, on an (m, D) view)
// and the three operations above. Exactly two tables exist; they are immutable and shared
// by reference among all threads.
template <std::size_t D>
struct KernelOps {
    Result<DelaunayOutput<D + 1>> (*kernel)(const PointView<double>& points);
    std::optional<Ball<D>> (*circumball)(const Simplex<D>& s);
    double (*inball_exact)(const Simplex<D>& s, const Point<D>& p);
    double (*orient_exact)(const Simplex<D>& s);
};

extern const KernelOps<2> kKernelOps2;
extern const KernelOps<3> kKernelOps3;

// The table of dimension D.
template <std::size_t D>
const KernelOps<D>& kernel_ops() {
    if constexpr (D == 2) {
        return kKernelOps2;
    } else {
        return kKernelOps3;
    }
}

}  // namespace kavro::par

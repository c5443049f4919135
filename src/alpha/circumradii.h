// Circumradius of every simplex of a finished triangulation, for alpha-shape filtration:
// a caller keeps the simplices whose radius lies below its threshold.
//
// The radii are reproducible bit for bit: every sum and product is evaluated in float64 in
// the order written in circumradii.cpp, so the build must not contract a*b+c into an FMA
// (-ffp-contract=off). There is no tolerance anywhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/point_view.h"

namespace kavro::alpha {

// Copies the first D columns of every row into float64 D-tuples, row r becoming entry r;
// float32 coordinates are widened exactly. Requires points.cols >= D.
template <std::size_t D, class T>
std::vector<std::array<double, D>> to_vec(const PointView<T>& points) {
    std::vector<std::array<double, D>> out;
    out.reserve(points.rows);
    for (std::size_t r = 0; r < points.rows; ++r) {
        std::array<double, D> p;
        for (std::size_t c = 0; c < D; ++c) p[c] = points.at(r, c);
        out.push_back(p);
    }
    return out;
}

// Every simplex is first scaled by the power of two that brings its largest finite
// coordinate into [1, 2), the formula runs on the scaled vertices and the radius is scaled
// back. Scaling is exact, so radii are right at any magnitude (1e-200 and 1e200 alike) and
// overflow to +infinity only when the true radius exceeds the float64 range. Where no
// intermediate product under- or overflows, scaled or not (every ordinary mesh), the bits
// are those of the formula applied directly. Coordinates that fall below the normal range
// on scaling (those about 2^1022 times smaller than the simplex's largest) lose low bits.

// Radius of the circle through the 2D points a, b, c; +infinity when they are collinear,
// decided exactly (kavro::pred::orient2d on the scaled vertices), a repeated vertex
// included, and when the formula's doubled determinant still evaluates to zero. NaN
// coordinates give NaN; with an infinite coordinate the collinearity test is skipped.
double circumradius_2d(const double* a, const double* b, const double* c);

// Radius of the sphere through the 3D points a, b, c, d; +infinity when they are coplanar,
// decided exactly (kavro::pred::orient3d), a repeated vertex in any position included, and
// when the doubled determinant still evaluates to zero. The orientation of the tetrahedron
// does not matter. NaN coordinates give NaN; with an infinite coordinate the coplanarity
// test is skipped.
double circumradius_3d(const double* a, const double* b, const double* c, const double* d);

// points     #n by D coordinates (float64 or float32, any strides)
// simplices  #m by K vertex indices into points (K = 3 with D = 2, K = 4 with D = 3)
// returns    #m radii in simplex order: non-negative, +infinity for an exactly flat simplex
//            (collinear triangle, coplanar tetrahedron, any repeated vertex) and where the
//            radius exceeds the float64 range, NaN where a coordinate is NaN. Flat
//            simplices are not errors. Magnitude does not matter: see above.
// errors, the first one found ending the call:
//   "circumradii: unsupported {D}D points with {K}-vertex simplices (expected 2D/3 or 3D/4)"
//       when D does not match K, tested first even when there are no simplices;
//   "simplex vertex {v} out of range for {n} points"
//       for the first vertex v >= n in row-major order (v printed unsigned, so an index
//       that was -1 before reinterpretation reads 4294967295).
// A float32 view gives bit for bit what the float64 view of its widened copy gives.
template <class T, std::size_t K>
Result<std::vector<double>, std::string> circumradii(
    const PointView<T>& points, const std::vector<std::array<std::uint32_t, K>>& simplices);

extern template Result<std::vector<double>, std::string> circumradii<double, 3>(
    const PointView<double>&, const std::vector<std::array<std::uint32_t, 3>>&);
extern template Result<std::vector<double>, std::string> circumradii<double, 4>(
    const PointView<double>&, const std::vector<std::array<std::uint32_t, 4>>&);
extern template Result<std::vector<double>, std::string> circumradii<float, 3>(
    const PointView<float>&, const std::vector<std::array<std::uint32_t, 3>>&);
extern template Result<std::vector<double>, std::string> circumradii<float, 4>(
    const PointView<float>&, const std::vector<std::array<std::uint32_t, 4>>&);

}  // namespace kavro::alpha

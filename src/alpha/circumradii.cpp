#include "alpha/circumradii.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/exact_int.h"
#include "core/predicates.h"
#include "core/scaling.h"

namespace kavro::alpha {

namespace {

// Both formulas translate to the first vertex before anything else, so the working values
// are edge vectors and stay accurate for meshes far from the origin. The parentheses fix
// the evaluation order; changing any of them changes the last bits of the radii.

double formula_2d(const double* a, const double* b, const double* c) {
    const double bx = b[0] - a[0], by = b[1] - a[1];
    const double cx = c[0] - a[0], cy = c[1] - a[1];

    const double det = (bx * cy) - (by * cx);
    const double den = det + det;
    // Exact comparison on purpose: a NaN den falls through and yields a NaN radius.
    if (den == 0.0) return std::numeric_limits<double>::infinity();

    const double b2 = (bx * bx) + (by * by);
    const double c2 = (cx * cx) + (cy * cy);
    // Divide rather than multiply by 1/den: the reciprocal would round twice.
    const double ux = ((cy * b2) - (by * c2)) / den;
    const double uy = ((bx * c2) - (cx * b2)) / den;
    return std::sqrt((ux * ux) + (uy * uy));
}

double formula_3d(const double* a, const double* b, const double* c, const double* d) {
    const double bx = b[0] - a[0], by = b[1] - a[1], bz = b[2] - a[2];
    const double cx = c[0] - a[0], cy = c[1] - a[1], cz = c[2] - a[2];
    const double dx = d[0] - a[0], dy = d[1] - a[1], dz = d[2] - a[2];

    const double cdx = (cy * dz) - (cz * dy);
    const double cdy = (cz * dx) - (cx * dz);
    const double cdz = (cx * dy) - (cy * dx);
    const double dbx = (dy * bz) - (dz * by);
    const double dby = (dz * bx) - (dx * bz);
    const double dbz = (dx * by) - (dy * bx);
    const double bcx = (by * cz) - (bz * cy);
    const double bcy = (bz * cx) - (bx * cz);
    const double bcz = (bx * cy) - (by * cx);

    const double det = ((bx * cdx) + (by * cdy)) + (bz * cdz);
    const double den = det + det;
    if (den == 0.0) return std::numeric_limits<double>::infinity();

    const double b2 = ((bx * bx) + (by * by)) + (bz * bz);
    const double c2 = ((cx * cx) + (cy * cy)) + (cz * cz);
    const double d2 = ((dx * dx) + (dy * dy)) + (dz * dz);

    const double nx = (d2 * bcx) + ((c2 * dbx) + (b2 * cdx));
    const double ny = ((b2 * cdy) + (c2 * dby)) + (d2 * bcy);
    const double nz = (d2 * bcz) + ((c2 * dbz) + (b2 * cdz));

    const double ux = nx / den, uy = ny / den, uz = nz / den;
    return std::sqrt(((ux * ux) + (uy * uy)) + (uz * uz));
}

// The K vertices of one simplex brought near magnitude 1: there the formulas' products of
// up to four edge components cannot overflow, and underflow only for edges far shorter than
// the coordinates, and the predicates' signs are exact. Near 1e-200 or 1e200 the unscaled
// products would leave the float64 range. A power of two keeps every digit, so a simplex
// whose products stay in range at both scales gets the same bits either way.
template <std::size_t D, std::size_t K>
struct Scaled {
    std::array<std::array<double, D>, K> v;
    int e = 0;           // the caller's vertices are v * 2^e
    bool finite = true;  // flatness is decided only when every coordinate is finite

    explicit Scaled(const std::array<const double*, K>& in) {
        // Selects rather than branches: on unordered meshes the running maximum changes
        // unpredictably, and mispredictions would cost more than the formula.
        double big = 0.0;
        for (const double* p : in) {
            for (std::size_t i = 0; i < D; ++i) {
                const double m = std::fabs(p[i]);
                const bool ok = m <= std::numeric_limits<double>::max();  // false for NaN
                finite = finite && ok;
                const double f = ok ? m : 0.0;
                big = f > big ? f : big;
            }
        }
        if (big > 0.0) e = PowerOfTwoScale::binade(big);
        const PowerOfTwoScale down(-e);
        for (std::size_t k = 0; k < K; ++k)
            for (std::size_t i = 0; i < D; ++i) v[k][i] = down(in[k][i]);
    }

    // The caller's radius from the scaled simplex's; overflow to +inf is the true answer.
    double unscale(double r) const { return PowerOfTwoScale(e)(r); }
};

// The radius from its square num / den, both exact integers in units of 2^unit: the
// quotient's binary exponent is split off first, so no intermediate leaves the double
// range before the final scaling, which rounds to 0 or +infinity only where the radius
// itself lies outside the float64 range.
double radius_of(const ExactInt& num, const ExactInt& den, int unit) {
    int en = 0, ed = 0;
    const double mn = num.magnitude(en);
    const double md = den.magnitude(ed);
    int e = en - ed;
    double q = mn / md;
    if (e % 2 != 0) {
        q *= 2.0;
        e -= 1;
    }
    return std::ldexp(std::sqrt(q), e / 2 + unit);
}

// The lowest set bit among the nonzero coordinates (every one finite), or 0 if all are zero.
template <std::size_t K>
int lowest_bit_of(const std::array<const double*, K>& v, std::size_t dims) {
    int low = std::numeric_limits<int>::max();
    for (const double* p : v) {
        for (std::size_t i = 0; i < dims; ++i) {
            if (p[i] != 0.0) low = std::min(low, PowerOfTwoScale::lowest_bit(std::fabs(p[i])));
        }
    }
    return low == std::numeric_limits<int>::max() ? 0 : low;
}

// Where the float formula breaks down on a simplex that is not flat (its doubled
// determinant rounds to zero, or a quotient overflows although the radius need not), the
// radius is computed from the caller's coordinates in exact integers:
// R^2 = |B|^2 |C|^2 |B - C|^2 / (4 det^2) for a triangle with edges B, C from its first
// vertex, R^2 = |N|^2 / (4 det^2) for a tetrahedron with N the numerator vector of
// circumradius_3d.
double exact_radius_2d(const double* a, const double* b, const double* c) {
    const int unit = lowest_bit_of<3>({a, b, c}, 2);
    const auto at = [unit](const double* p, const double* o, int i) {
        return ExactInt::of(p[i], unit) - ExactInt::of(o[i], unit);
    };
    const ExactInt bx = at(b, a, 0), by = at(b, a, 1), cx = at(c, a, 0), cy = at(c, a, 1);
    const ExactInt det = bx * cy - by * cx;
    const ExactInt ex = cx - bx, ey = cy - by;
    const ExactInt num = (bx * bx + by * by) * (cx * cx + cy * cy) * (ex * ex + ey * ey);
    const ExactInt four = ExactInt::of(4.0, 0);
    return radius_of(num, four * det * det, unit);
}

double exact_radius_3d(const double* a, const double* b, const double* c, const double* d) {
    const int unit = lowest_bit_of<4>({a, b, c, d}, 3);
    const auto edge = [unit, a](const double* p) {
        return std::array<ExactInt, 3>{ExactInt::of(p[0], unit) - ExactInt::of(a[0], unit),
                                       ExactInt::of(p[1], unit) - ExactInt::of(a[1], unit),
                                       ExactInt::of(p[2], unit) - ExactInt::of(a[2], unit)};
    };
    const auto cross = [](const std::array<ExactInt, 3>& u, const std::array<ExactInt, 3>& v) {
        return std::array<ExactInt, 3>{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                                       u[0] * v[1] - u[1] * v[0]};
    };
    const auto dot = [](const std::array<ExactInt, 3>& u, const std::array<ExactInt, 3>& v) {
        return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
    };
    const auto B = edge(b), C = edge(c), D = edge(d);
    const auto cd = cross(C, D), db = cross(D, B), bc = cross(B, C);
    const ExactInt det = dot(B, cd);
    const ExactInt b2 = dot(B, B), c2 = dot(C, C), d2 = dot(D, D);
    std::array<ExactInt, 3> n;
    for (int i = 0; i < 3; ++i) n[i] = d2 * bc[i] + c2 * db[i] + b2 * cd[i];
    const ExactInt four = ExactInt::of(4.0, 0);
    return radius_of(dot(n, n), four * det * det, unit);
}

}  // namespace

double circumradius_2d(const double* a, const double* b, const double* c) {
    const Scaled<2, 3> s({a, b, c});
    const auto& [p, q, r] = s.v;
    // A collinear triangle's rounded determinant can miss zero and leave a huge finite
    // radius that an alpha threshold would not reject; the exact sign cannot. Infinite
    // coordinates skip the test, whose sign means nothing for them, and NaN must reach
    // the formula to come out as NaN.
    //
    // The test reads the caller's coordinates, not the scaled ones: scaling down rounds
    // values that end up subnormal, and flatness is a property of what the caller passed.
    if (s.finite && pred::orient2d_wide(a, b, c) == 0.0)
        return std::numeric_limits<double>::infinity();
    const double radius = s.unscale(formula_2d(p.data(), q.data(), r.data()));
    if (s.finite && !(radius < std::numeric_limits<double>::infinity())) {
        return exact_radius_2d(a, b, c);
    }
    return radius;
}

double circumradius_3d(const double* a, const double* b, const double* c, const double* d) {
    const Scaled<3, 4> s({a, b, c, d});
    const auto& [p, q, r, t] = s.v;
    // A repeated b, or coplanar vertices, can leave a rounding residue in the determinant
    // and with it a finite radius, even 0 when b repeats c; see circumradius_2d.
    if (s.finite && pred::orient3d_wide(a, b, c, d) == 0.0)
        return std::numeric_limits<double>::infinity();
    const double radius = s.unscale(formula_3d(p.data(), q.data(), r.data(), t.data()));
    if (s.finite && !(radius < std::numeric_limits<double>::infinity())) {
        return exact_radius_3d(a, b, c, d);
    }
    return radius;
}

template <class T, std::size_t K>
Result<std::vector<double>, std::string> circumradii(
    const PointView<T>& points, const std::vector<std::array<std::uint32_t, K>>& simplices) {
    static_assert(K == 3 || K == 4, "triangles or tetrahedra only");
    constexpr std::size_t D = K - 1;

    if (points.cols != D) {
        return std::string("circumradii: unsupported ") + std::to_string(points.cols) +
               "D points with " + std::to_string(K) +
               "-vertex simplices (expected 2D/3 or 3D/4)";
    }

    // The whole index array is checked before any radius is computed, so a bad index never
    // leaves a partial result behind.
    const std::uint64_t n = points.rows;
    for (const auto& s : simplices) {
        for (const std::uint32_t v : s) {
            if (v >= n) {
                return "simplex vertex " + std::to_string(v) + " out of range for " +
                       std::to_string(n) + " points";
            }
        }
    }

    const auto p = to_vec<D>(points);
    std::vector<double> radii;
    radii.reserve(simplices.size());
    for (const auto& s : simplices) {
        if constexpr (K == 3) {
            radii.push_back(circumradius_2d(p[s[0]].data(), p[s[1]].data(), p[s[2]].data()));
        } else {
            radii.push_back(circumradius_3d(p[s[0]].data(), p[s[1]].data(), p[s[2]].data(),
                                            p[s[3]].data()));
        }
    }
    return radii;
}

template Result<std::vector<double>, std::string> circumradii<double, 3>(
    const PointView<double>&, const std::vector<std::array<std::uint32_t, 3>>&);
template Result<std::vector<double>, std::string> circumradii<double, 4>(
    const PointView<double>&, const std::vector<std::array<std::uint32_t, 4>>&);
template Result<std::vector<double>, std::string> circumradii<float, 3>(
    const PointView<float>&, const std::vector<std::array<std::uint32_t, 3>>&);
template Result<std::vector<double>, std::string> circumradii<float, 4>(
    const PointView<float>&, const std::vector<std::array<std::uint32_t, 4>>&);

}  // namespace kavro::alpha

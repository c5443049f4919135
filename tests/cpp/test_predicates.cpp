// Exact signs of the four predicates, checked against the same determinants in rational
// arithmetic (every finite double is a dyadic rational) on inputs built to defeat floating
// point: a few ulps from degenerate, exactly degenerate with inexact coordinate differences,
// integer lattices, and power-of-two scales at both ends of the exact range.
#include "core/predicates.h"

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

namespace pred = kavro::pred;
using Point = std::array<double, 3>;  // the 2D predicates ignore z
using Points = std::vector<Point>;

enum Kind { Orient2d, Incircle, Orient3d, Insphere };
enum Family { Random, NearDegenerate, Spread, Lattice, Symmetric, Grid };
const char* const kFamilyNames[] = {"Random", "NearDegenerate", "Spread",
                                    "Lattice", "Symmetric", "Grid"};

// tiny, huge: power-of-two scales inside the exact range of these inputs (multiples of
// 2^-60 s, magnitude <= 8 s): for a degree-k predicate (2, 4, 3, 5) (2^-60 s)^k stays above
// 2^-1074 and the filter's (16 s)^k terms stay finite, each with a few bits to spare.
struct KindInfo { const char* name; int dim, arity; bool lifted; int tiny, huge; };
constexpr KindInfo kKinds[] = {{"Orient2d", 2, 3, false, -470, 495},
                               {"Incircle", 2, 4, true, -200, 240},
                               {"Orient3d", 3, 4, false, -290, 320},
                               {"Insphere", 3, 5, true, -150, 190}};

double evaluate(Kind k, const Points& p, bool wide = false) {
    const double *a = p[0].data(), *b = p[1].data(), *c = p[2].data();
    switch (k) {
        case Orient2d: return wide ? pred::orient2d_wide(a, b, c) : pred::orient2d(a, b, c);
        case Incircle:
            return wide ? pred::incircle_wide(a, b, c, p[3].data())
                        : pred::incircle(a, b, c, p[3].data());
        case Orient3d:
            return wide ? pred::orient3d_wide(a, b, c, p[3].data())
                        : pred::orient3d(a, b, c, p[3].data());
        case Insphere:
            return wide ? pred::insphere_wide(a, b, c, p[3].data(), p[4].data())
                        : pred::insphere(a, b, c, p[3].data(), p[4].data());
    }
    return NAN;
}

int sign(double v) { return (v > 0.0) - (v < 0.0); }

std::string describe(const Points& p) {
    std::ostringstream os;
    os << std::hexfloat;
    for (const Point& q : p) os << '(' << q[0] << ", " << q[1] << ", " << q[2] << ") ";
    return os.str();
}

// Sign of the defining determinant, one row (coordinates, [squared norm,] 1) per point, by
// rational Gaussian elimination.
int exact_sign(Kind k, const Points& p) {
    std::vector<std::vector<mpq_class>> m;
    for (const Point& pt : p) {
        auto& row = m.emplace_back();
        mpq_class lift = 0;
        for (int d = 0; d < kKinds[k].dim; ++d) {
            row.emplace_back(pt[d]);
            lift += row.back() * row.back();
        }
        if (kKinds[k].lifted) row.push_back(lift);
        row.emplace_back(1);
    }
    const std::size_t n = m.size();
    int s = 1;
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t piv = c;
        while (piv < n && m[piv][c] == 0) ++piv;
        if (piv == n) return 0;
        std::swap(m[piv], m[c]);
        s *= (piv == c ? 1 : -1) * (m[c][c] < 0 ? -1 : 1);
        for (std::size_t r = c + 1; r < n; ++r) {
            const mpq_class f = m[r][c] / m[c][c];
            for (std::size_t j = c + 1; j < n; ++j) m[r][j] -= f * m[c][j];
        }
    }
    return s;
}

struct Gen {
    std::mt19937_64 rng;
    double uniform(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng);
    }
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    bool coin() { return rng() & 1; }
    // In [-1, 1]^dim; with spread, coordinates are now and then shrunk by up to 2^-30, so
    // that differences mix magnitudes and round.
    Point point(int dim, bool spread) {
        Point p{0.0, 0.0, 0.0};
        for (int d = 0; d < dim; ++d)
            p[d] = std::ldexp(uniform(-1.0, 1.0), spread && coin() ? -integer(1, 30) : 0);
        return p;
    }
    double nudge(double x, int max_ulps) {
        for (int k = integer(-max_ulps, max_ulps); k != 0; k -= (k > 0) - (k < 0))
            x = std::nextafter(x, k > 0 ? INFINITY : -INFINITY);
        return x;
    }
    // Nudges the last point always and every other point now and then.
    void perturb(Points& p, int dim, int max_ulps) {
        for (std::size_t i = 0; i < p.size(); ++i)
            if (i + 1 == p.size() || integer(0, 9) < 3)
                for (int d = 0; d < dim; ++d) p[i][d] = nudge(p[i][d], max_ulps);
    }
};

Point axpy(const Point& a, double t, const Point& b) {
    return {a[0] + t * b[0], a[1] + t * b[1], a[2] + t * b[2]};
}

Points make_case(Kind k, Family f, Gen& g) {
    const int dim = kKinds[k].dim, n = kKinds[k].arity;
    const bool lifted = kKinds[k].lifted;
    Points p;
    const auto pick = [&](std::vector<Point> from) {  // distinct while there are enough
        std::shuffle(from.begin(), from.end(), g.rng);
        for (int i = 0; i < n; ++i) p.push_back(from[std::size_t(i) % from.size()]);
    };
    if (f == Random || f == Grid) {  // Grid: exact zeros, repeated points, exact differences
        for (int i = 0; i < n; ++i) p.push_back(g.point(dim, false));
        if (f == Grid)
            for (Point& q : p)
                for (int d = 0; d < dim; ++d) q[d] = g.integer(-3, 3) * 0.25;
    } else if (f == NearDegenerate || f == Spread) {
        // A rounded degenerate configuration, nudged by a few ulps. Spread mixes magnitudes:
        // shrunk coordinates on lines and planes, spheres through (nearly) the origin with
        // some points close to it.
        if (lifted) {
            const double r = g.uniform(0.25, 1.0);
            const auto unit = [](const Point& v) {
                return axpy({}, 1 / std::hypot(v[0], v[1], v[2]), v);
            };
            const Point dir = unit(g.point(dim, false)), away = axpy({}, -1, dir);
            const Point c = f == Spread ? axpy({}, r, dir) : g.point(dim, false);
            for (int i = 0; i < n; ++i) {
                const double jitter =
                    f == Spread && g.coin() ? std::ldexp(1.0, -g.integer(5, 30)) : 0.0;
                p.push_back(axpy(c, r, unit(jitter ? axpy(away, jitter, g.point(dim, false))
                                                   : g.point(dim, false))));
            }
        } else {
            for (int i = 0; i < dim; ++i) p.push_back(g.point(dim, f == Spread));
            Point q = p[0];  // one more point in the affine hull of the others, rounded
            for (int i = 1; i < dim; ++i)
                q = axpy(q, g.uniform(-1.0, 2.0), axpy(p[std::size_t(i)], -1, p[0]));
            p.insert(p.begin() + 1, q);
        }
        g.perturb(p, dim, 3);
    } else if (f == Lattice) {
        // Exactly degenerate integer configurations, scaled to magnitude <= 8 and nudged by
        // 0-2 ulps: integer points of one circle (radius 65) or sphere (radius 15) about an
        // integer centre, or base + i u + j v.
        Point b[3] = {};
        for (Point& v : b)
            for (int d = 0; d < dim; ++d) v[d] = g.integer(-9, 9);
        if (lifted) {
            const int r = dim == 2 ? 65 : 15;
            std::vector<Point> on;
            for (int x = -r; x <= r; ++x)
                for (int y = -r; y <= r; ++y)
                    for (int z = dim == 3 ? -r : 0; z <= (dim == 3 ? r : 0); ++z)
                        if (x * x + y * y + z * z == r * r)
                            on.push_back(axpy(b[0], 1, {double(x), double(y), double(z)}));
            pick(on);
        } else {
            for (int i = 0; i < n; ++i)
                p.push_back(axpy(axpy(b[0], g.integer(-5, 5), b[1]),
                                 dim == 3 ? g.integer(-5, 5) : 0, b[2]));
        }
        for (Point& q : p) q = axpy({}, lifted && dim == 3 ? 0.125 : 0.0625, q);
        g.perturb(p, dim, 2);
    } else {
        // Symmetric: exactly degenerate for any coordinates, filled with mixed magnitudes so
        // that every tail has to cancel: a repeated point; signed power-of-two multiples of
        // one direction (a line) or two (a plane) through the origin; the corners of a box
        // (cospherical); the coordinate permutations of two points (equidistant from a point
        // of x = y = z, with their differences' rounding errors in general position). Half
        // the time one coordinate is nudged by an ulp.
        const Point u = g.point(dim, true), v = g.point(dim, true);
        if (g.integer(0, 3) == 0) {
            for (int i = 0; i < n; ++i) p.push_back(g.point(dim, true));
            const int i = g.integer(0, n - 1);
            p[std::size_t((i + g.integer(1, n - 1)) % n)] = p[std::size_t(i)];
        } else if (!lifted) {
            for (int i = 0; i < n; ++i)
                p.push_back(axpy({}, (g.coin() ? -1 : 1) * std::ldexp(1.0, g.integer(-12, 3)),
                                 dim == 3 && i % 2 ? v : u));
        } else if (g.coin()) {
            std::vector<Point> corners;
            for (int m = 0; m < (1 << dim); ++m)
                corners.push_back({(m & 1 ? u : v)[0], (m & 2 ? u : v)[1], (m & 4 ? u : v)[2]});
            pick(corners);
        } else {
            std::vector<Point> orbit;
            for (const Point& b : {u, v}) {
                int perm[3] = {0, 1, 2};
                do orbit.push_back({b[perm[0]], b[perm[1]], b[perm[2]]});
                while (std::next_permutation(perm, perm + dim));
            }
            pick(orbit);
        }
        if (g.coin()) {
            double& c = p[std::size_t(g.integer(0, n - 1))][std::size_t(g.integer(0, dim - 1))];
            c = g.nudge(c, 1);
        }
    }
    return p;
}

// ---- one driver for all four predicates ------------------------------------------------

using Case = std::tuple<Kind, Family, int>;  // scale 0 unit, 1 tiny, 2 huge
const char* const kScaleNames[] = {"unit", "tiny", "huge"};

class PredicateExactness : public ::testing::TestWithParam<Case> {};

// Every sign equals the rational one, and swapping two arguments flips it exactly. For
// orient2d, orient2dadapt is also exact behind the 2D kernel's inline filter (the detsum it
// passes is |detleft + detright|) and for an understated detsum of 0.
TEST_P(PredicateExactness, SignMatchesRationalDeterminant) {
    const auto [k, f, scale] = GetParam();
    const int exp = scale == 1 ? kKinds[k].tiny : scale == 2 ? kKinds[k].huge : 0;
    Gen g{std::mt19937_64(1000003u * k + 1009u * f + std::uint64_t(exp + 2000))};
    const int count = (f == Random || f == Grid ? 1000 : 3000 / (k == Insphere ? 2 : 1)) /
                      (scale == 0 ? 1 : 3);
    int wrong = 0, zeros = 0, filter_failed = 0;
    const auto fail = [&](const Points& p, const char* what) {
        if (++wrong <= 5) ADD_FAILURE() << what << " wrong for " << describe(p);
    };
    for (int n = 0; n < count; ++n) {
        Points p = make_case(k, f, g);
        for (Point& q : p)  // multiples of 2^-60 (see kKinds), then scaled exactly
            for (double& c : q) c = std::ldexp(std::nearbyint(std::ldexp(c, 60)), exp - 60);
        const int want = exact_sign(k, p);
        zeros += want == 0;
        if (sign(evaluate(k, p)) != want) fail(p, "sign");
        const int n_args = kKinds[k].arity, i = g.integer(0, n_args - 1);
        Points q = p;
        std::swap(q[std::size_t(i)], q[std::size_t((i + g.integer(1, n_args - 1)) % n_args)]);
        if (sign(evaluate(k, q)) != -want) fail(p, "swapped sign");
        if (k == Orient2d) {
            const double l = (p[0][0] - p[2][0]) * (p[1][1] - p[2][1]);
            const double r = (p[0][1] - p[2][1]) * (p[1][0] - p[2][0]);
            const double detsum = std::fabs(l + r);
            filter_failed += !(std::fabs(l - r) >= 3.3306690621773724e-16 * detsum);
            for (const double ds : {detsum, 0.0})
                if (sign(pred::orient2dadapt(p[0].data(), p[1].data(), p[2].data(), ds)) != want)
                    fail(p, ds == 0.0 ? "orient2dadapt(detsum 0)" : "orient2dadapt");
        }
    }
    EXPECT_EQ(wrong, 0);
    // Keep the generators honest: exact zeros, and hard cases for the kernel's filter.
    EXPECT_TRUE(f < Lattice || zeros > 0);
    EXPECT_TRUE(k != Orient2d || f == Random || f == Grid || filter_failed > count / 10);
}

INSTANTIATE_TEST_SUITE_P(
    AllFamilies, PredicateExactness,
    ::testing::Combine(::testing::Values(Orient2d, Incircle, Orient3d, Insphere),
                       ::testing::Values(Random, NearDegenerate, Spread, Lattice, Symmetric, Grid),
                       ::testing::Values(0, 1, 2)),
    [](const auto& i) {
        return std::string(kKinds[std::get<0>(i.param)].name) + "_" +
               kFamilyNames[std::get<1>(i.param)] + "_" + kScaleNames[std::get<2>(i.param)];
    });

// The wide forms on the same families, moved out of the plain forms' range in four ways:
// the whole set times 2^e for e down into the subnormals; coordinates replaced by tiny
// values now and then (1.0 beside 5e-324); coordinates shrunk by up to 2^-1074 now and
// then; each point times its own power of two, which keeps lines and planes through the
// origin exactly degenerate while their points' magnitudes differ by up to 2^2000.
enum WideMove { WholeSet, TinyValues, ShrunkValues, PerPoint };
const char* const kWideMoveNames[] = {"WholeSet", "TinyValues", "ShrunkValues", "PerPoint"};

class WidePredicates : public ::testing::TestWithParam<std::tuple<Kind, WideMove>> {};

TEST_P(WidePredicates, SignMatchesRationalDeterminantAtAnyMagnitude) {
    const auto [k, move] = GetParam();
    Gen g{std::mt19937_64(7919u * k + 31u * move + 5u)};
    constexpr double kTiny[] = {1e-150, 2.2250738585072014e-308, 1e-310, 5e-324, 1e-200, 3e-160};
    int wrong = 0, zeros = 0, plain_wrong = 0;
    for (int f = Random; f <= Grid; ++f) {
        for (int n = 0; n < 300; ++n) {
            Points p = make_case(k, Family(f), g);
            switch (move) {
                case WholeSet: {
                    const int e = g.integer(-1100, 1015);
                    for (Point& q : p) for (double& c : q) c = std::ldexp(c, e);
                    break;
                }
                case TinyValues:
                    for (Point& q : p)
                        for (double& c : q)
                            if (g.integer(0, 9) < 3) c = (g.coin() ? -1 : 1) * kTiny[g.integer(0, 5)];
                    break;
                case ShrunkValues:
                    for (Point& q : p)
                        for (double& c : q)
                            if (g.integer(0, 9) < 3) c = std::ldexp(c, -g.integer(1, 1074));
                    break;
                case PerPoint:
                    for (Point& q : p) {
                        const int e = g.integer(-1000, 1000);
                        for (double& c : q) c = std::ldexp(c, e);
                    }
                    break;
            }
            const int want = exact_sign(k, p);
            zeros += want == 0;
            plain_wrong += sign(evaluate(k, p)) != want;
            if (sign(evaluate(k, p, true)) != want && ++wrong <= 5)
                ADD_FAILURE() << "sign wrong for " << describe(p);
            const int n_args = kKinds[k].arity, i = g.integer(0, n_args - 1);
            Points q = p;
            std::swap(q[std::size_t(i)], q[std::size_t((i + g.integer(1, n_args - 1)) % n_args)]);
            if (sign(evaluate(k, q, true)) != -want && ++wrong <= 5)
                ADD_FAILURE() << "swapped sign wrong for " << describe(p);
        }
    }
    EXPECT_EQ(wrong, 0);
    // Keep the moves honest: exact zeros survive them, or the plain forms fail on them.
    EXPECT_GT(zeros + plain_wrong, 10);
}

INSTANTIATE_TEST_SUITE_P(
    AllMoves, WidePredicates,
    ::testing::Combine(::testing::Values(Orient2d, Incircle, Orient3d, Insphere),
                       ::testing::Values(WholeSet, TinyValues, ShrunkValues, PerPoint)),
    [](const auto& i) {
        return std::string(kKinds[std::get<0>(i.param)].name) + "_" +
               kWideMoveNames[std::get<1>(i.param)];
    });

// The documented geometric meaning of each sign (the rational reference above only fixes
// the algebraic one).
TEST(PredicateConventions, SignsOfReferenceConfigurations) {
    const Point o{0, 0, 0}, x{1, 0, 0}, y{0, 1, 0}, z{0, 0, 1}, mx{-1, 0, 0}, my{0, -1, 0},
        mz{0, 0, -1}, far{5, 5, 5}, near{0.1, 0.1, 0.1}, mid{0.5, 0, 0};
    const struct { Kind kind; Points p; int sign; } cases[] = {
        // orient2d: counterclockwise, clockwise, collinear
        {Orient2d, {o, x, y}, 1}, {Orient2d, {o, y, x}, -1}, {Orient2d, {o, mid, x}, 0},
        // orient3d: below a, b, c (counterclockwise seen from +z), above
        {Orient3d, {o, x, y, mz}, 1}, {Orient3d, {o, x, y, z}, -1}, {Orient3d, {x, o, y, z}, 1},
        // incircle: inside, outside and on the circle of a ccw triangle, inside a cw one
        {Incircle, {x, y, mx, o}, 1}, {Incircle, {x, y, mx, far}, -1},
        {Incircle, {x, y, mx, my}, 0}, {Incircle, {y, x, mx, o}, -1},
        // insphere: inside, outside with orient3d(a, b, c, d) > 0; inside with < 0; on it
        {Insphere, {x, o, y, z, near}, 1}, {Insphere, {x, o, y, z, far}, -1},
        {Insphere, {o, x, y, z, near}, -1}, {Insphere, {x, y, z, mx, mz}, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sign(evaluate(c.kind, c.p)), c.sign) << kKinds[c.kind].name << describe(c.p);
    // detleft = 1 and detright = -1: |detleft + detright| = 0 although det = 2.
    const Point a{1, 1, 0}, b{-1, 1, 0};
    EXPECT_GT(pred::orient2dadapt(a.data(), b.data(), o.data(), 0.0), 0.0);
}

}  // namespace

// The predicates promise exact signs. Every sign here is checked against the same determinant
// evaluated in rational arithmetic (every finite double is a dyadic rational, so the reference
// is exact), on inputs chosen to defeat floating point: configurations within a few ulps of
// degenerate, exact lattice degeneracies, mixed magnitudes that make coordinate differences
// inexact, and very large and very small scales.

#include "core/predicates.h"

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace pred = kavro::pred;

using Point = std::array<double, 3>;  // the 2D predicates ignore z
using Points = std::vector<Point>;

enum class Kind { Orient2d, Incircle, Orient3d, Insphere };

struct KindInfo {
    int dim;
    int arity;
    bool lifted;
    const char* name;
};

KindInfo kind_info(Kind k) {
    switch (k) {
        case Kind::Orient2d: return {2, 3, false, "Orient2d"};
        case Kind::Incircle: return {2, 4, true, "Incircle"};
        case Kind::Orient3d: return {3, 4, false, "Orient3d"};
        case Kind::Insphere: return {3, 5, true, "Insphere"};
    }
    return {};
}

double evaluate(Kind k, const Points& p) {
    switch (k) {
        case Kind::Orient2d: return pred::orient2d(p[0].data(), p[1].data(), p[2].data());
        case Kind::Incircle:
            return pred::incircle(p[0].data(), p[1].data(), p[2].data(), p[3].data());
        case Kind::Orient3d:
            return pred::orient3d(p[0].data(), p[1].data(), p[2].data(), p[3].data());
        case Kind::Insphere:
            return pred::insphere(p[0].data(), p[1].data(), p[2].data(), p[3].data(), p[4].data());
    }
    return 0.0;
}

int sign(double v) { return (v > 0.0) - (v < 0.0); }

// ---- exact reference -------------------------------------------------------------------------

using Matrix = std::vector<std::vector<mpq_class>>;

// Sign of the determinant, by rational Gaussian elimination (destroys m).
int det_sign(Matrix& m) {
    const size_t n = m.size();
    int s = 1;
    mpq_class f;
    for (size_t col = 0; col < n; ++col) {
        size_t piv = col;
        while (piv < n && sgn(m[piv][col]) == 0) ++piv;
        if (piv == n) return 0;
        if (piv != col) {
            std::swap(m[piv], m[col]);
            s = -s;
        }
        if (sgn(m[col][col]) < 0) s = -s;
        for (size_t r = col + 1; r < n; ++r) {
            if (sgn(m[r][col]) == 0) continue;
            f = m[r][col] / m[col][col];
            for (size_t c = col + 1; c < n; ++c) m[r][c] -= f * m[col][c];
        }
    }
    return s;
}

// The defining determinants: one row (coordinates, [sum of squares,] 1) per point. orient2d is
// |x y 1|, incircle |x y x²+y² 1|, orient3d |x y z 1|, insphere |x y z x²+y²+z² 1|.
Matrix rows(Kind k, const Points& p) {
    const KindInfo ki = kind_info(k);
    Matrix m;
    for (const Point& q : p) {
        std::vector<mpq_class> row;
        mpq_class lift = 0;
        for (int d = 0; d < ki.dim; ++d) {
            row.emplace_back(q[d]);
            lift += row.back() * row.back();
        }
        if (ki.lifted) row.push_back(lift);
        row.emplace_back(1);
        m.push_back(std::move(row));
    }
    return m;
}

int exact_sign(Kind k, const Points& p) {
    Matrix m = rows(k, p);
    return det_sign(m);
}

// The same determinant by naive floating-point elimination: a witness that a family of
// inputs really is hard, i.e. that plain floating point gets some of its signs wrong.
int naive_sign(const Matrix& q) {
    const size_t n = q.size();
    double m[5][5];
    for (size_t r = 0; r < n; ++r)
        for (size_t c = 0; c < n; ++c) m[r][c] = q[r][c].get_d();
    double det = 1.0;
    for (size_t col = 0; col < n; ++col) {
        size_t piv = col;
        for (size_t r = col + 1; r < n; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[piv][col])) piv = r;
        if (m[piv][col] == 0.0) return 0;
        if (piv != col) {
            for (size_t c = 0; c < n; ++c) std::swap(m[piv][c], m[col][c]);
            det = -det;
        }
        det *= m[col][col];
        for (size_t r = col + 1; r < n; ++r) {
            const double f = m[r][col] / m[col][col];
            for (size_t c = col; c < n; ++c) m[r][c] -= f * m[col][c];
        }
    }
    return sign(det);
}

std::string describe(const Points& p) {
    std::string s;
    char buf[96];
    for (const Point& q : p) {
        std::snprintf(buf, sizeof buf, "(%a, %a, %a) ", q[0], q[1], q[2]);
        s += buf;
    }
    return s;
}

// ---- input generation --------------------------------------------------------------------------

// Every generator builds a configuration with coordinates of magnitude at most about 8, so that
// coordinate differences stay below 16. Coordinates are then snapped to multiples of 2^-60 and
// scaled by a power of two: the snapping bounds the lowest bit any coordinate can carry, which
// decides where exact products start to underflow (see scale_range below), and scaling by a
// power of two preserves every exact relation.
double snap(double x) { return std::ldexp(std::nearbyint(std::ldexp(x, 60)), -60); }

class Gen {
public:
    explicit Gen(std::uint64_t seed) : rng_(seed) {}

    double uniform(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng_);
    }
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool coin(double p) { return std::bernoulli_distribution(p)(rng_); }

    // A coordinate in [-1, 1], sometimes shrunk by up to 2^-30 so that coordinate differences
    // mix magnitudes and round (which gives nonzero tails to the adaptive stages).
    double coordinate(bool spread) {
        const double x = uniform(-1.0, 1.0);
        return snap(spread && coin(0.5) ? std::ldexp(x, -integer(1, 30)) : x);
    }

    Point point(int dim, bool spread) {
        Point p{0.0, 0.0, 0.0};
        for (int d = 0; d < dim; ++d) p[d] = coordinate(spread);
        return p;
    }

    // A unit vector; with spread, sometimes a tiny perturbation of `toward`.
    Point direction(int dim, const Point& toward, bool spread) {
        Point v{0.0, 0.0, 0.0};
        const bool near = spread && coin(0.5);
        const double jitter = near ? std::ldexp(1.0, -integer(5, 30)) : 1.0;
        double len2 = 0.0;
        do {
            len2 = 0.0;
            for (int d = 0; d < dim; ++d) {
                v[d] = (near ? toward[d] : 0.0) + jitter * uniform(-1.0, 1.0);
                len2 += v[d] * v[d];
            }
        } while (len2 < 1e-30);
        for (int d = 0; d < dim; ++d) v[d] /= std::sqrt(len2);
        return v;
    }

    // Moves x by up to `max_ulps` representable doubles either way.
    double nudge(double x, int max_ulps) {
        const int k = integer(-max_ulps, max_ulps);
        for (int i = 0; i < std::abs(k); ++i) x = std::nextafter(x, k > 0 ? INFINITY : -INFINITY);
        return x;
    }

    // Nudges the last point always and every other point now and then.
    void perturb(Points& p, int dim, int max_ulps) {
        for (size_t i = 0; i < p.size(); ++i) {
            if (i + 1 != p.size() && !coin(0.3)) continue;
            for (int d = 0; d < dim; ++d) p[i][d] = nudge(p[i][d], max_ulps);
        }
    }

private:
    std::mt19937_64 rng_;
};

enum class Family {
    Random,          // uniform in the cube: almost everything decided by the float filter
    NearDegenerate,  // a rounded degenerate configuration, then nudged by a few ulps
    Spread,          // the same with coordinates of mixed magnitudes (inexact differences)
    Lattice,         // exactly degenerate integer configurations, then nudged by 0-2 ulps
    Symmetric,       // exactly degenerate in mixed magnitudes, sometimes nudged by an ulp
    Grid,            // tiny integer grid: many exact zeros, duplicates, exact differences
};

const char* family_name(Family f) {
    switch (f) {
        case Family::Random: return "Random";
        case Family::NearDegenerate: return "NearDegenerate";
        case Family::Spread: return "Spread";
        case Family::Lattice: return "Lattice";
        case Family::Symmetric: return "Symmetric";
        case Family::Grid: return "Grid";
    }
    return "";
}

// Integer points on the circle of radius 65 and the sphere of radius 15, which have many.
std::vector<Point> lattice_sphere(int dim, int r) {
    std::vector<Point> out;
    for (int x = -r; x <= r; ++x)
        for (int y = -r; y <= r; ++y)
            for (int z = (dim == 3 ? -r : 0); z <= (dim == 3 ? r : 0); ++z)
                if (x * x + y * y + z * z == r * r)
                    out.push_back({double(x), double(y), double(z)});
    return out;
}

Points lattice_case(Kind k, Gen& g) {
    const KindInfo ki = kind_info(k);
    const int n = ki.arity;
    Points p;
    if (ki.lifted) {
        static const std::vector<Point> circle = lattice_sphere(2, 65);
        static const std::vector<Point> sphere = lattice_sphere(3, 15);
        const std::vector<Point>& on = ki.dim == 2 ? circle : sphere;
        const Point centre{double(g.integer(-20, 20)), double(g.integer(-20, 20)),
                           ki.dim == 3 ? double(g.integer(-20, 20)) : 0.0};
        while (int(p.size()) < n) {
            const Point& q = on[size_t(g.integer(0, int(on.size()) - 1))];
            p.push_back({centre[0] + q[0], centre[1] + q[1], centre[2] + q[2]});
        }
    } else {
        // base + i u + j v: collinear in 2D, coplanar in 3D.
        auto small_vec = [&] {
            return Point{double(g.integer(-9, 9)), double(g.integer(-9, 9)),
                         ki.dim == 3 ? double(g.integer(-9, 9)) : 0.0};
        };
        const Point base = small_vec(), u = small_vec(), v = small_vec();
        while (int(p.size()) < n) {
            const int i = g.integer(-5, 5), j = ki.dim == 3 ? g.integer(-5, 5) : 0;
            p.push_back({base[0] + i * u[0] + j * v[0], base[1] + i * u[1] + j * v[1],
                         base[2] + i * u[2] + j * v[2]});
        }
    }
    // Down to magnitude <= 8, exactly.
    const int shift = ki.lifted ? (ki.dim == 2 ? -4 : -3) : -4;
    for (Point& q : p)
        for (double& c : q) c = std::ldexp(c, shift);
    g.perturb(p, ki.dim, 2);
    return p;
}

Points near_degenerate_case(Kind k, Gen& g, bool spread) {
    const KindInfo ki = kind_info(k);
    Points p;
    if (ki.lifted) {
        const double r = g.uniform(0.25, 1.0);
        // With spread, the sphere passes through (near) the origin, so points placed near
        // -dir0 get tiny coordinates while the others stay of order r.
        const Point dir0 = g.direction(ki.dim, Point{1.0, 0.0, 0.0}, false);
        Point centre{}, toward{};
        for (int d = 0; d < ki.dim; ++d) {
            centre[d] = spread ? r * dir0[d] : g.uniform(-1.0, 1.0);
            toward[d] = -dir0[d];
        }
        for (int i = 0; i < ki.arity; ++i) {
            const Point u = g.direction(ki.dim, toward, spread);
            Point q{0.0, 0.0, 0.0};
            for (int d = 0; d < ki.dim; ++d) q[d] = centre[d] + r * u[d];
            p.push_back(q);
        }
    } else {
        for (int i = 0; i < ki.dim; ++i) p.push_back(g.point(ki.dim, spread));
        // One more point in the affine hull of the others, rounded.
        const Point& a = p[0];
        Point q = a;
        for (int i = 1; i < ki.dim; ++i) {
            const double t = g.uniform(-1.0, 2.0);
            for (int d = 0; d < ki.dim; ++d) q[d] += t * (p[size_t(i)][d] - a[d]);
        }
        p.push_back(q);
        std::swap(p[1], p.back());  // the dependent point should not always come last
    }
    g.perturb(p, ki.dim, 3);
    return p;
}

// Configurations that are exactly degenerate for any coordinate values, filled with
// coordinates of mixed magnitudes so that their differences round. The exact stages then have
// to cancel every tail term down to an exact zero, which no partial sum does by accident:
//   lines y = kx and planes z = kx with k in {1, -1, 2, -2} (k t is exact);
//   power-of-two multiples of one or two directions (a line or plane through the origin);
//   the corners of an axis-parallel rectangle or box, all on one circle or sphere;
//   the coordinate permutations of two points (see below);
//   a repeated point among arbitrary ones.
Points symmetric_case(Kind k, Gen& g) {
    const KindInfo ki = kind_info(k);
    const double slopes[] = {1.0, -1.0, 2.0, -2.0};
    auto pick_distinct = [&](const std::vector<Point>& from) {
        std::vector<size_t> idx(from.size());
        for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
        for (size_t i = 0; i < idx.size(); ++i)
            std::swap(idx[i], idx[size_t(g.integer(int(i), int(idx.size()) - 1))]);
        Points p;
        for (int i = 0; i < ki.arity; ++i) p.push_back(from[idx[size_t(i) % idx.size()]]);
        return p;
    };
    Points p;
    if (g.coin(0.25)) {
        // A repeated point: two equal rows, whatever the others.
        for (int i = 0; i < ki.arity; ++i) p.push_back(g.point(ki.dim, true));
        const int i = g.integer(0, ki.arity - 1), j = (i + g.integer(1, ki.arity - 1)) % ki.arity;
        p[size_t(j)] = p[size_t(i)];
    } else if (!ki.lifted && g.coin(0.5)) {
        const double slope = slopes[g.integer(0, 3)];
        for (int i = 0; i < ki.arity; ++i) {
            const double t = g.coordinate(true), u = g.coordinate(true);
            p.push_back(ki.dim == 2 ? Point{t, slope * t, 0.0} : Point{t, u, slope * t});
        }
    } else if (!ki.lifted) {
        // Signed power-of-two multiples of one direction (2D) or of two directions (3D): on a
        // line or plane through the origin, with rounding errors of the differences that are
        // not parallel (on y = kx they would be).
        const Point dirs[2] = {g.point(ki.dim, true), g.point(ki.dim, true)};
        for (int i = 0; i < ki.arity; ++i) {
            const Point& v = dirs[ki.dim == 3 ? i % 2 : 0];
            const double f = (g.coin(0.5) ? -1.0 : 1.0) * std::ldexp(1.0, g.integer(-12, 3));
            p.push_back({f * v[0], f * v[1], f * v[2]});
        }
    } else if (g.coin(0.5)) {
        double lo[3], hi[3];
        for (int d = 0; d < 3; ++d) {
            lo[d] = g.coordinate(true);
            hi[d] = g.coordinate(true);
        }
        std::vector<Point> corners;
        for (int m = 0; m < (1 << ki.dim); ++m)
            corners.push_back({m & 1 ? hi[0] : lo[0], m & 2 ? hi[1] : lo[1],
                               ki.dim == 3 ? (m & 4 ? hi[2] : lo[2]) : 0.0});
        p = pick_distinct(corners);
    } else {
        // The coordinate permutations of two points: in 2D an isosceles trapezoid mirrored in
        // y = x, in 3D two orbits equidistant from some point of the diagonal x = y = z.
        // Differences such as (v, u) - (u', v') round in every coordinate, and unlike more
        // symmetric choices, their rounding errors are in general position too.
        std::vector<Point> orbit;
        for (int o = 0; o < 2; ++o) {
            const double base[3] = {g.coordinate(true), g.coordinate(true), g.coordinate(true)};
            int perm[3] = {0, 1, 2};
            do {
                orbit.push_back({base[perm[0]], base[perm[1]], ki.dim == 3 ? base[perm[2]] : 0.0});
            } while (std::next_permutation(perm, perm + ki.dim));
        }
        p = pick_distinct(orbit);
    }
    if (g.coin(0.5)) {
        Point& q = p[size_t(g.integer(0, ki.arity - 1))];
        const int d = g.integer(0, ki.dim - 1);
        q[d] = g.nudge(q[d], 1);
    }
    return p;
}

Points make_case(Kind k, Family f, Gen& g) {
    const KindInfo ki = kind_info(k);
    switch (f) {
        case Family::Random: {
            Points p;
            for (int i = 0; i < ki.arity; ++i) p.push_back(g.point(ki.dim, false));
            return p;
        }
        case Family::NearDegenerate: return near_degenerate_case(k, g, false);
        case Family::Spread: return near_degenerate_case(k, g, true);
        case Family::Lattice: return lattice_case(k, g);
        case Family::Symmetric: return symmetric_case(k, g);
        case Family::Grid: {
            Points p;
            for (int i = 0; i < ki.arity; ++i) {
                Point q{0.0, 0.0, 0.0};
                for (int d = 0; d < ki.dim; ++d) q[d] = g.integer(-3, 3) * 0.25;
                p.push_back(q);
            }
            return p;
        }
    }
    return {};
}

void snap_and_scale(Points& p, int scale_exp) {
    for (Point& q : p)
        for (double& c : q) c = std::ldexp(snap(c), scale_exp);
}

// Scales (powers of two) at which exactness is guaranteed for these inputs. With coordinates
// that are multiples of 2^-60 * s and at most 8 s in magnitude, a degree-k predicate
// (orient2d 2, orient3d 3, incircle 4, insphere 5) needs
//   (2^-60 s)^k >= 2^-1074   so that no exact product underflows below the subnormal unit,
//   c * (16 s)^k  < 2^1023   so that the filter's permanent and the products stay finite.
// Both ends sit a few bits inside those limits.
struct ScaleRange {
    int tiny;
    int huge;
};

ScaleRange scale_range(Kind k) {
    switch (k) {
        case Kind::Orient2d: return {-470, 495};  // about 1e-141 .. 1e149
        case Kind::Orient3d: return {-290, 320};  // about 1e-87 .. 2e96
        case Kind::Incircle: return {-200, 240};  // about 6e-61 .. 2e72
        case Kind::Insphere: return {-150, 190};  // about 7e-46 .. 2e57
    }
    return {0, 0};
}

// ---- exactness against rational arithmetic ---------------------------------------------------

struct ExactCase {
    Kind kind;
    Family family;
    const char* scale_name;
    int count;
};

int scale_exp(const ExactCase& c) {
    const std::string s = c.scale_name;
    return s == "tiny" ? scale_range(c.kind).tiny : s == "huge" ? scale_range(c.kind).huge : 0;
}

class PredicateExactness : public ::testing::TestWithParam<ExactCase> {};

TEST_P(PredicateExactness, SignMatchesRationalDeterminant) {
    const ExactCase c = GetParam();
    const int exp = scale_exp(c);
    Gen g(0x9e3779b97f4a7c15ULL * (1 + int(c.kind)) + 0x51ed27ULL * (1 + int(c.family)) +
          std::uint64_t(exp + 1000));
    int mismatches = 0, zeros = 0, naive_wrong = 0;
    for (int n = 0; n < c.count; ++n) {
        Points p = make_case(c.kind, c.family, g);
        snap_and_scale(p, exp);
        Matrix m = rows(c.kind, p);
        const int naive = naive_sign(m);
        const int want = det_sign(m);
        const int got = sign(evaluate(c.kind, p));
        zeros += want == 0;
        naive_wrong += naive != want;
        if (got != want && ++mismatches <= 5) {
            ADD_FAILURE() << "expected sign " << want << ", got " << got << " for " << describe(p);
        }
    }
    EXPECT_EQ(mismatches, 0);
    // Keep the generators honest: the degenerate families must produce cases that floating point
    // alone gets wrong, and the exactly degenerate ones must produce exact zeros.
    if (c.family != Family::Random) {
        EXPECT_GT(naive_wrong, 0) << "the family no longer produces hard cases";
    }
    if (c.family == Family::Lattice || c.family == Family::Symmetric || c.family == Family::Grid) {
        EXPECT_GT(zeros, 0) << "the family no longer produces exact degeneracies";
    }
}

std::vector<ExactCase> exactness_cases() {
    std::vector<ExactCase> out;
    for (Kind k : {Kind::Orient2d, Kind::Incircle, Kind::Orient3d, Kind::Insphere}) {
        const int heavy = k == Kind::Insphere ? 2 : 1;  // insphere's exact path is the costly one
        for (Family f : {Family::Random, Family::NearDegenerate, Family::Spread, Family::Lattice,
                         Family::Symmetric, Family::Grid}) {
            const int n = f == Family::Random || f == Family::Grid ? 1000 : 3000 / heavy;
            out.push_back({k, f, "unit", n});
            if (f == Family::Grid) continue;  // scaling a grid adds nothing the lattice lacks
            out.push_back({k, f, "tiny", n / 3});
            out.push_back({k, f, "huge", n / 3});
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(AllFamilies, PredicateExactness, ::testing::ValuesIn(exactness_cases()),
                         [](const ::testing::TestParamInfo<ExactCase>& i) {
                             return std::string(kind_info(i.param.kind).name) + "_" +
                                    family_name(i.param.family) + "_" + i.param.scale_name;
                         });

// ---- sign conventions ----------------------------------------------------------------------

const double kOrigin[3] = {0.0, 0.0, 0.0};
const double kX[3] = {1.0, 0.0, 0.0};
const double kY[3] = {0.0, 1.0, 0.0};
const double kZ[3] = {0.0, 0.0, 1.0};
const double kMinusX[3] = {-1.0, 0.0, 0.0};
const double kMinusY[3] = {0.0, -1.0, 0.0};
const double kMinusZ[3] = {0.0, 0.0, -1.0};
const double kFar[3] = {5.0, 5.0, 5.0};
const double kNear[3] = {0.1, 0.1, 0.1};

TEST(PredicateConventions, Orient2dIsPositiveForCounterclockwise) {
    EXPECT_GT(pred::orient2d(kOrigin, kX, kY), 0.0);
    EXPECT_LT(pred::orient2d(kOrigin, kY, kX), 0.0);
    const double mid[2] = {0.5, 0.0};
    EXPECT_EQ(pred::orient2d(kOrigin, mid, kX), 0.0);
}

TEST(PredicateConventions, Orient3dIsPositiveBelowTheCounterclockwisePlane) {
    // a, b, c run counterclockwise seen from +z, so clockwise from below.
    EXPECT_GT(pred::orient3d(kOrigin, kX, kY, kMinusZ), 0.0);
    EXPECT_LT(pred::orient3d(kOrigin, kX, kY, kZ), 0.0);
    const double in_plane[3] = {0.25, 0.5, 0.0};
    EXPECT_EQ(pred::orient3d(kOrigin, kX, kY, in_plane), 0.0);
}

TEST(PredicateConventions, Orient3dHasTheSignOfMinusDetOfEdgeVectors) {
    Gen g(7);
    for (int n = 0; n < 300; ++n) {
        Points p = n % 2 ? make_case(Kind::Orient3d, Family::Random, g)
                         : make_case(Kind::Orient3d, Family::NearDegenerate, g);
        snap_and_scale(p, 0);
        Matrix edges;
        for (int i = 1; i < 4; ++i) {
            std::vector<mpq_class> e;
            for (int d = 0; d < 3; ++d)
                e.push_back(mpq_class(p[size_t(i)][d]) - mpq_class(p[0][d]));
            edges.push_back(std::move(e));
        }
        ASSERT_EQ(sign(evaluate(Kind::Orient3d, p)), -det_sign(edges)) << describe(p);
    }
}

TEST(PredicateConventions, IncircleIsPositiveInsideACounterclockwiseCircle) {
    EXPECT_GT(pred::incircle(kX, kY, kMinusX, kOrigin), 0.0);
    EXPECT_LT(pred::incircle(kX, kY, kMinusX, kFar), 0.0);
    EXPECT_EQ(pred::incircle(kX, kY, kMinusX, kMinusY), 0.0);
    // A clockwise triangle flips the sign.
    EXPECT_LT(pred::incircle(kY, kX, kMinusX, kOrigin), 0.0);
    EXPECT_GT(pred::incircle(kY, kX, kMinusX, kFar), 0.0);
}

TEST(PredicateConventions, InsphereIsPositiveInsideAPositivelyOrientedSphere) {
    // (origin, x, y, z) is negatively oriented, (x, origin, y, z) positively.
    ASSERT_GT(pred::orient3d(kX, kOrigin, kY, kZ), 0.0);
    EXPECT_GT(pred::insphere(kX, kOrigin, kY, kZ, kNear), 0.0);
    EXPECT_LT(pred::insphere(kX, kOrigin, kY, kZ, kFar), 0.0);
    ASSERT_LT(pred::orient3d(kOrigin, kX, kY, kZ), 0.0);
    EXPECT_LT(pred::insphere(kOrigin, kX, kY, kZ, kNear), 0.0);
    EXPECT_GT(pred::insphere(kOrigin, kX, kY, kZ, kFar), 0.0);
    // Five points of the unit sphere.
    EXPECT_EQ(pred::insphere(kX, kY, kZ, kMinusX, kMinusY), 0.0);
    EXPECT_EQ(pred::insphere(kX, kY, kZ, kMinusX, kMinusZ), 0.0);
}

// ---- antisymmetry --------------------------------------------------------------------------

// Swapping any two arguments negates each determinant, so it must flip every sign exactly,
// including on the cases that need the exact stages. Checked without the rational reference.
class PredicateAntisymmetry : public ::testing::TestWithParam<Kind> {};

TEST_P(PredicateAntisymmetry, SwappingTwoArgumentsFlipsTheSign) {
    const Kind k = GetParam();
    const int n_args = kind_info(k).arity;
    Gen g(1234 + int(k));
    int nonzero = 0;
    for (int n = 0; n < 400; ++n) {
        const Family hard[] = {Family::Lattice, Family::NearDegenerate, Family::Spread,
                               Family::Symmetric};
        Points p = make_case(k, hard[n % 4], g);
        snap_and_scale(p, 0);
        const int s = sign(evaluate(k, p));
        nonzero += s != 0;
        for (int i = 0; i < n_args; ++i) {
            for (int j = i + 1; j < n_args; ++j) {
                Points q = p;
                std::swap(q[size_t(i)], q[size_t(j)]);
                ASSERT_EQ(sign(evaluate(k, q)), -s)
                    << "swapping " << i << " and " << j << " of " << describe(p);
            }
        }
    }
    EXPECT_GT(nonzero, 0);
}

INSTANTIATE_TEST_SUITE_P(AllPredicates, PredicateAntisymmetry,
                         ::testing::Values(Kind::Orient2d, Kind::Incircle, Kind::Orient3d,
                                           Kind::Insphere),
                         [](const ::testing::TestParamInfo<Kind>& i) {
                             return std::string(kind_info(i.param).name);
                         });

// ---- orient2dadapt behind a caller's own filter ---------------------------------------------

// The 2D kernel runs this filter inline and calls orient2dadapt only when it fails.
struct KernelFilter {
    double detsum;
    bool decided;
};

KernelFilter kernel_filter(const Points& p) {
    const double detleft = (p[0][0] - p[2][0]) * (p[1][1] - p[2][1]);
    const double detright = (p[0][1] - p[2][1]) * (p[1][0] - p[2][0]);
    const double det = detleft - detright;
    const double detsum = std::fabs(detleft + detright);
    return {detsum, std::fabs(det) > 3.3306690621773724e-16 * detsum};
}

TEST(Orient2dAdapt, ExactWhereTheKernelFilterFails) {
    Gen g(99);
    int filter_failed = 0;
    for (int n = 0; n < 6000; ++n) {
        const Family hard[] = {Family::Lattice, Family::NearDegenerate, Family::Spread,
                               Family::Symmetric};
        const Family f = hard[n % 4];
        const int scale = n / 4 % 4;  // independent of the family
        const int exp = scale == 0 ? scale_range(Kind::Orient2d).tiny
                        : scale == 1 ? scale_range(Kind::Orient2d).huge
                                     : 0;
        Points p = make_case(Kind::Orient2d, f, g);
        snap_and_scale(p, exp);
        const KernelFilter kf = kernel_filter(p);
        filter_failed += !kf.decided;
        const int want = exact_sign(Kind::Orient2d, p);
        // Where the filter decided, the kernel never calls orient2dadapt; its answer must still be
        // exact, and so must it be for an understated detsum.
        ASSERT_EQ(sign(pred::orient2dadapt(p[0].data(), p[1].data(), p[2].data(), kf.detsum)), want)
            << describe(p);
        ASSERT_EQ(sign(pred::orient2dadapt(p[0].data(), p[1].data(), p[2].data(), 0.0)), want)
            << describe(p);
    }
    EXPECT_GT(filter_failed, 1000);
}

TEST(Orient2dAdapt, ExactForDegenerateFilterInputs) {
    // A zero coordinate difference gives detleft == detright == 0 and detsum == 0; products of
    // opposite sign give detsum == |detleft + detright| == 0 here although det == 2.
    const Points cases[] = {
        {{1.0, 2.0, 0.0}, {1.0, 5.0, 0.0}, {1.0, -3.0, 0.0}},
        {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}},
        {{1.0, 1.0, 0.0}, {-1.0, 1.0, 0.0}, {0.0, 0.0, 0.0}},
        {{std::nextafter(1.0, 2.0), 1.0, 0.0}, {2.0, 2.0, 0.0}, {3.0, 3.0, 0.0}},
    };
    for (const Points& p : cases) {
        const KernelFilter kf = kernel_filter(p);
        EXPECT_EQ(sign(pred::orient2dadapt(p[0].data(), p[1].data(), p[2].data(), kf.detsum)),
                  exact_sign(Kind::Orient2d, p))
            << describe(p);
    }
}

}  // namespace

// Sequential 2D kernel: the Delaunay invariants checked exactly on the inputs that stress the
// sweep (points met on or inside its hull, near-coincident clusters, rounding ties), the
// errors in their order, and the triangle store's hashing, ordering and flips.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "d2/delaunay2d.h"
#include "d2/triangulator.h"

namespace {

using kavro::NO_INDEX;
using kavro::PointView;
using kavro::delaunay2d;
using kavro::d2::Triangulator;
using Out = kavro::DelaunayOutput<3>;
using Row = std::array<std::uint32_t, 3>;
using Dup = std::array<std::uint32_t, 2>;
using XY = std::vector<double>;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// ---- an independent exact checker ------------------------------------------------------

int orient_sign(const double* a, const double* b, const double* c) {
    const double l = (a[0] - c[0]) * (b[1] - c[1]), r = (a[1] - c[1]) * (b[0] - c[0]);
    if (std::fabs(l - r) > 8e-16 * (std::fabs(l) + std::fabs(r))) return l > r ? 1 : -1;
    const mpq_class ax(a[0]), ay(a[1]), bx(b[0]), by(b[1]), cx(c[0]), cy(c[1]);
    return sgn((ax - cx) * (by - cy) - (ay - cy) * (bx - cx));
}

// > 0 when d is strictly inside the circle through the counterclockwise a, b, c.
int incircle_sign(const double* a, const double* b, const double* c, const double* d) {
    const mpq_class p = mpq_class(a[0]) - d[0], q = mpq_class(a[1]) - d[1];
    const mpq_class r = mpq_class(b[0]) - d[0], s = mpq_class(b[1]) - d[1];
    const mpq_class t = mpq_class(c[0]) - d[0], u = mpq_class(c[1]) - d[1];
    return sgn((p * p + q * q) * (r * u - t * s) + (r * r + s * s) * (t * q - p * u) +
               (t * t + u * u) * (p * s - r * q));
}

// The whole contract of a successful build, judged exactly on the caller's coordinates:
// rows counterclockwise; neighbour k across the
// edge opposite vertex k, -1 exactly where no row has the reversed edge; every edge locally
// Delaunay; every point a vertex or dropped once against an equal vertex; the -1 edges one
// cycle supporting every point, so that the rows tile the hull (Euler count of a disk).
void expect_delaunay(const XY& xy, const Out& out) {
    const std::size_t n = xy.size() / 2, m = out.simplices.size();
    const auto P = [&xy](std::uint32_t v) { return xy.data() + 2 * std::size_t{v}; };
    ASSERT_TRUE(m > 0 && out.neighbors.size() == m);

    std::map<std::pair<std::uint32_t, std::uint32_t>, std::pair<std::size_t, int>> edges;
    std::vector<int> role(n, 0);  // 1 vertex, 2 dropped
    for (std::size_t t = 0; t < m; ++t) {
        const Row& r = out.simplices[t];
        for (int k = 0; k < 3; ++k) {
            ASSERT_LT(r[k], n);
            role[r[k]] = 1;
            ASSERT_TRUE(edges.emplace(std::pair(r[(k + 1) % 3], r[(k + 2) % 3]), std::pair(t, k))
                            .second) << "directed edge used twice, row " << t;
        }
        ASSERT_EQ(orient_sign(P(r[0]), P(r[1]), P(r[2])), 1) << "row " << t << " not ccw";
    }
    std::map<std::uint32_t, std::uint32_t> hull;
    for (const auto& [e, tk] : edges) {
        const auto rev = edges.find({e.second, e.first});
        const std::int32_t nb = out.neighbors[tk.first][tk.second];
        if (rev == edges.end()) {
            ASSERT_EQ(nb, -1) << "row " << tk.first;
            ASSERT_TRUE(hull.emplace(e.first, e.second).second) << "hull pinched at " << e.first;
            continue;
        }
        ASSERT_EQ(nb, std::int32_t(rev->second.first)) << "row " << tk.first;
        const Row& r = out.simplices[tk.first];
        const std::uint32_t opposite = out.simplices[rev->second.first][rev->second.second];
        ASSERT_LE(incircle_sign(P(r[0]), P(r[1]), P(r[2]), P(opposite)), 0)
            << "edge " << e.first << "-" << e.second << " is not Delaunay";
    }
    std::set<std::pair<double, double>> seen;  // -0.0 and +0.0 compare equal here too
    for (std::uint32_t v = 0; v < n; ++v)
        ASSERT_TRUE(role[v] != 1 || seen.emplace(P(v)[0], P(v)[1]).second) << v << " repeated";
    for (const Dup& d : out.duplicates) {
        ASSERT_TRUE(d[0] < n && d[1] < n && role[d[0]] == 0 && role[d[1]] == 1 &&
                    P(d[0])[0] == P(d[1])[0] && P(d[0])[1] == P(d[1])[1])
            << "bad duplicate row [" << d[0] << ", " << d[1] << "]";
        role[d[0]] = 2;
    }
    for (std::uint32_t v = 0; v < n; ++v) ASSERT_NE(role[v], 0) << "point " << v << " lost";
    std::uint32_t v = hull.begin()->first;
    for (std::size_t step = 0; step < hull.size(); ++step, v = hull.at(v)) {
        ASSERT_TRUE(step == 0 || v != hull.begin()->first) << "the hull is not one cycle";
        for (std::uint32_t q = 0; q < n; ++q)
            ASSERT_GE(orient_sign(P(v), P(hull.at(v)), P(q)), 0)
                << "hull edge from " << v << " does not support point " << q;
    }
    ASSERT_EQ(m, 2 * seen.size() - hull.size() - 2) << "Euler count of a disk";
}

PointView<double> view(const XY& xy) {
    return PointView<double>::dense(xy.data(), xy.size() / 2, 2);
}

Out triangulate(const XY& xy) {
    auto res = delaunay2d(view(xy));
    if (!res.ok()) ADD_FAILURE() << "unexpected error: " << res.error().message();
    return res.ok() ? std::move(res.value()) : Out{};
}

// ---- points met on or inside the hull --------------------------------------------------

// Nearly collinear, the sweep centre about 5.5e14 away: point 4 arrives inside the hull.
const XY kFarCentreEight = {
    0.751436365264713,  -1.070868272376941,   0.6853090087184022, -0.3660475930613539,
    0.6032482236853348, 0.508600075814856,    0.6540830682082106, -0.033224843867561804,
    0.7236268090569747, -0.7744591714918008,  0.7318090944948953, -0.8616703391825944,
    0.6950740592403448, -0.47012871624380836, 0.6141670402518036, 0.39222149799719896,
};

// Seeds 1, 2 and 0: point 3, one ulp from point 0 on the seed edge 0-1, has the same circle
// through 1 and 2 up to rounding (18.5), so the lower index wins the third seed and point 3
// meets the seed triangle on its edge; later points attach to the hull edges it moved.
const XY kSeedEdgeTie = {-4, 0, 1, 0, 2, -1, std::nextafter(-4.0, 0.0), 0};

const std::pair<const char*, XY (*)()> kClouds[] = {
    {"seed_edge_tie", [] { return kSeedEdgeTie; }},
    {"seed_edge_tie_then_hull", [] {
         XY xy = kSeedEdgeTie;
         xy.insert(xy.end(), {-16, 0, 16, 0, 0, 16, 0, -16});
         return xy;
     }},
    {"far_centre_eight_twice", [] {
         XY xy = kFarCentreEight;
         xy.insert(xy.end(), kFarCentreEight.begin(), kFarCentreEight.end());
         return xy;
     }},
    {"near_coincident_clusters", [] {  // 1-2 ulps apart: equal keys, unequal coordinates
         std::mt19937_64 rng(11);
         std::uniform_real_distribution<double> u(0.0, 1.0);
         XY xy;
         for (int k = 0; k < 150; ++k) {
             const double x = u(rng), y = u(rng);
             const double xu = std::nextafter(x, INF), yd = std::nextafter(y, -INF);
             xy.insert(xy.end(), {x, y, xu, y, x, yd, xu, yd, std::nextafter(xu, INF), y});
         }
         return xy;
     }},
    {"line_plus_one_point", [] {
         XY xy;
         for (int i = 0; i < 120; ++i) xy.insert(xy.end(), {double(i), 0.0});
         xy.insert(xy.end(), {60.5, 1e-9});
         return xy;
     }},
    {"grid_copies_and_ulp_jitter", [] {  // exact cocircular ties, copies, bucketed sort
         std::mt19937_64 rng(6);
         XY xy;
         // The grid, its nonzero values jittered by 0-2 ulps, the grid again. (An ulp of
         // 0 is subnormal: next to 39 it is far outside what exact double products hold.)
         for (int i = 0; i < 3 * 1600; ++i) {
             double p[2] = {double(i % 40), double(i / 40 % 40)};
             for (double& v : p)
                 for (int s = i / 1600 == 1 ? int(rng() % 5) - 2 : 0; s != 0 && v != 0.0;
                      s -= s > 0 ? 1 : -1)
                     v = std::nextafter(v, s > 0 ? INF : -INF);
             xy.insert(xy.end(), {p[0], p[1]});
         }
         for (std::size_t i = xy.size() / 2 - 1; i > 0; --i) {
             const std::size_t j = rng() % (i + 1);
             std::swap(xy[2 * i], xy[2 * j]), std::swap(xy[2 * i + 1], xy[2 * j + 1]);
         }
         return xy;
     }},
};

class Delaunay2dCloud : public ::testing::TestWithParam<std::size_t> {};
TEST_P(Delaunay2dCloud, SatisfiesTheContract) {
    const XY xy = kClouds[GetParam()].second();
    expect_delaunay(xy, triangulate(xy));
}
INSTANTIATE_TEST_SUITE_P(Registry, Delaunay2dCloud,
                         ::testing::Range(std::size_t{0}, std::size(kClouds)),
                         [](const auto& info) { return std::string(kClouds[info.param].first); });

TEST(Delaunay2dInside, NearlyCollinearRuns) {
    // Small sets on y = 0.3 x with offsets of 1e-12: points arrive on hull edges, interior
    // edges and inside triangles. Then a few points off the line (by 1e-9 to 0.1) attach to
    // the hull edges those insertions split or moved.
    for (std::uint64_t seed = 0; seed < 400; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        XY xy;
        for (int k = 4 + int(rng() % 12); k > 0; --k) {
            const double t = double(rng() % 1000) / 997.0;
            xy.insert(xy.end(), {t, 0.3 * t + 1e-12 * double(rng() % 3)});
        }
        for (const double scale : {0.0, std::array{1e-9, 1e-6, 1e-3, 0.1}[seed % 4]}) {
            for (int k = scale ? 1 + int(rng() % 4) : 0; k > 0; --k) {
                const double t = double(rng() % 2000) / 997.0 - 0.5;
                xy.insert(xy.end(), {t, 0.3 * t + scale * (double(rng() % 21) - 10.0)});
            }
            auto res = delaunay2d(view(xy));
            if (res.ok()) expect_delaunay(xy, res.value());
        }
    }
}

TEST(Delaunay2dInside, SignedZeroCopiesSplitByAnEqualKeyPoint) {
    // (-0.0, 7) and (+0.0, 7) share their key with (0, -7), which sorts between them, so
    // (+0.0, 7) arrives on an existing vertex and is reported against it, not lost.
    const XY xy = {-1, 0, 1, 0, 0, 1, 0, -1, 0.0, 7, -0.0, 7, 0, -7, 0, -7};
    const Out out = triangulate(xy);
    EXPECT_EQ(out.duplicates, (kavro::Buffer<Dup>{{7, 6}, {4, 5}}));
    expect_delaunay(xy, out);
}

TEST(Delaunay2d, FloatMatchesItsWidenedDoubleCopy) {
    // Column-major floats: an integer grid about the origin, whose cocircular ties the
    // rounding of the centring decides, among random points (whose float sum would round)
    // and copies.
    std::mt19937_64 rng(15);
    std::uniform_real_distribution<float> u(-20.0f, 20.0f);
    const std::size_t n = 2000;
    std::vector<float> cols(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        cols[i] = i % 5 ? float(i % 40) - 20.0f : u(rng);
        cols[n + i] = i % 5 ? float(i / 40 % 40) - 20.0f : u(rng);
        if (i % 50 == 49) cols[i] = cols[i - 7], cols[n + i] = cols[n + i - 7];
    }
    XY wide(2 * n);
    for (std::size_t i = 0; i < n; ++i) wide[2 * i] = cols[i], wide[2 * i + 1] = cols[n + i];
    auto f = delaunay2d(PointView<float>{cols.data(), n, 2, 1, std::ptrdiff_t(n)});
    const Out d = triangulate(wide);
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(f.value().simplices, d.simplices);
    EXPECT_EQ(f.value().neighbors, d.neighbors);
    EXPECT_EQ(f.value().duplicates, d.duplicates);
    expect_delaunay(wide, d);
}

// ---- errors, in the order they are checked ---------------------------------------------

TEST(Delaunay2dErrors, MessagesInTheirOrder) {
    const double row[2] = {NaN, NaN};  // a zero row stride: the count needs no memory
    auto res = delaunay2d(PointView<double>{row, 2147483649ull, 2, 0, 1});
    ASSERT_FALSE(res.ok());
    EXPECT_EQ(res.error().message(),
              "degenerate input: too many points (2147483649), maximum is 2147483648");
    // 2^31 points pass that check and stop at the half-edge store's own bound.
    EXPECT_THROW((void)delaunay2d(PointView<double>{row, 2147483648ull, 2, 0, 1}), std::bad_alloc);
    const std::string collinear =
        "degenerate input: all points are collinear; a 2D triangulation does not exist";
    // On y = 3x in symmetric pairs (centroid exactly 0): the rounded circle determinant of
    // the third candidate is not zero, only the exact orientation rejects it.
    const double a = 0.42956602825767454, b = 2.157037658113749;
    const std::pair<XY, std::string> cases[] = {
        {{NaN, NaN}, "not enough distinct points (got 1)"},  // the count before the values
        {{2.5, -1, 2.5, -1, 2.5, -1}, "not enough distinct points (got 1)"},
        {{0.5, 1.5, 1, 3, 4, 12, 2, 6}, collinear},  // exactly collinear after centring
        {{a, 3 * a, -a, -3 * a, b, 3 * b, -b, -3 * b}, collinear},
        {{0, 0, 1, 1, INF, 2}, collinear},  // a non-finite centroid
        // Collinear only once centred: the caller's points span the plane.
        {{0, 0, 1e308, 0, 1e308, 1, 0, 1}, "no error"},
        {{1e16, 0, 1e16 + 2, 0, 1e16 + 4, 2, 3, 2}, "no error"},
    };
    for (const auto& [xy, text] : cases) {
        auto r = delaunay2d(view(xy));
        EXPECT_EQ(r.ok() ? "no error" : r.error().message(), text);
    }
}

// ---- triangle store internals ----------------------------------------------------------

TEST(Triangulator, HashKeyFollowsThePseudoAngle) {
    Triangulator tr(XY(2 * 10000, 0.0), 5.0, -3.0, 0);  // 100 buckets
    ASSERT_EQ(tr.hash_size, 100u);
    const std::tuple<double, double, std::uint32_t> cases[] = {
        {-2, 0, 0}, {0, -2, 25}, {2, 0, 50}, {0, 2, 75}, {1, -1, 37},  // -x, -y, +x, +y
        {-1, 1e-300, 0},  // the pseudo-angle rounds to a full turn, which wraps to 0
        {-1, 0.01, 99}, {0, 0, 0}, {INF, INF, 0},  // NaN pseudo-angles map to 0
    };
    for (const auto& [dx, dy, key] : cases)
        EXPECT_EQ(tr.hash_key(5.0 + dx, -3.0 + dy), key) << dx << ", " << dy;
    Triangulator small(XY(6, 0.0), 0.0, 0.0, 0);  // ceil(sqrt(3)) = 2 buckets
    ASSERT_EQ(small.hash_size, 2u);
    EXPECT_EQ(small.hash_key(0, -1), 0u);
    EXPECT_EQ(small.hash_key(1, 0), 1u);
}

TEST(Triangulator, SweepOrderKeepsEqualPointsTogether) {
    // Spread keys with runs of ties, on few coordinate values (signed zeros among them), with
    // and without the extreme keys 0 and +inf, on both sides of the switch to bucketing.
    // Within a key: x, y with -0.0 read as +0.0, then x, y in total order, then index.
    const double values[] = {-1.5, -0.0, 0.0, 2.0};  // in total order
    const std::uint64_t canonical[] = {0, 1, 1, 2};
    for (const auto& [n, extremes] : {std::pair(50u, 1), {5000u, 0}, {5000u, 1}}) {
        std::mt19937_64 rng(n + extremes);
        std::vector<std::array<std::uint64_t, 6>> rows(n);
        XY xy(2 * n);
        std::vector<std::uint64_t> key(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t r = rng() % 100, x = rng() % 4, y = rng() % 4;
            key[i] = std::bit_cast<std::uint64_t>(
                r < 80 ? std::uniform_real_distribution<double>(0.5, 4.0)(rng)
                : r < 98 || !extremes ? 1.0 + double(rng() % 3) : r < 99 ? 0.0 : INF);
            xy[2 * i] = values[x], xy[2 * i + 1] = values[y];
            rows[i] = {key[i], canonical[x], canonical[y], x, y, i};
        }
        std::sort(rows.begin(), rows.end());
        std::vector<std::uint32_t> expected;
        for (const auto& r : rows) expected.push_back(std::uint32_t(r[5]));
        EXPECT_EQ(kavro::d2::sweep_order(key, xy.data()), expected) << n << ", " << extremes;
    }
}

// Triangles (L, P, R) and (L, R, Q) of L(-1, 0), P(0, -1), R(1, 0), Q(0, 0.5), hull
// P -> R -> Q -> L. Q lies inside the circle through L, P, R: the diagonal L-R is illegal.
struct Quad {
    static constexpr std::uint32_t L = 0, P = 1, R = 2, Q = 3;
    Triangulator tr{XY{-1, 0, 0, -1, 1, 0, 0, 0.5}, 0.0, 0.0, P};
    Quad() {
        tr.add_triangle(L, P, R, NO_INDEX, NO_INDEX, NO_INDEX);  // half-edges 0, 1, 2
        tr.add_triangle(L, R, Q, 2, NO_INDEX, NO_INDEX);         // half-edges 3, 4, 5
        const std::uint32_t order[] = {P, R, Q, L}, hull_edge[] = {1, 4, 5, 0};
        for (int k = 0; k < 4; ++k) {
            tr.hull_next[order[k]] = order[(k + 1) % 4];
            tr.hull_prev[order[(k + 1) % 4]] = order[k];
            tr.hull_tri[order[k]] = hull_edge[k];
        }
    }
};

TEST(Triangulator, LegalizeRepairsTheHullAndKeepsCocircularQuads) {
    Quad q;
    // Half-edge 2 (R -> L) faces P. The flip moves Q's hull half-edge from 5 to 2 and
    // reports the hull edge P -> R, which moved from 1 to 3.
    EXPECT_EQ(q.tr.legalize(2), 3u);
    EXPECT_EQ(q.tr.triangles, (kavro::d2::Indices{0, 1, 3, 1, 2, 3}));
    EXPECT_EQ(q.tr.halfedges,
              (kavro::d2::Indices{NO_INDEX, 5, NO_INDEX, NO_INDEX, NO_INDEX, 1}));
    EXPECT_EQ((Row{q.tr.hull_tri[Quad::L], q.tr.hull_tri[Quad::R], q.tr.hull_tri[Quad::Q]}),
              (Row{0, 4, 2}));

    Quad tie;  // Q on the unit circle through L, P, R: an exact tie never flips
    tie.tr.coords[2 * Quad::Q + 1] = 1.0;
    EXPECT_EQ(tie.tr.legalize(2), 1u);
    EXPECT_EQ(tie.tr.legalize(4), 3u);  // a hull edge: its predecessor comes back
    EXPECT_EQ(tie.tr.triangles, (kavro::d2::Indices{0, 1, 2, 0, 2, 3}));
    EXPECT_EQ(tie.tr.hull_tri[Quad::Q], 5u);
}

}  // namespace

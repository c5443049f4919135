// Sequential 2D kernel: errors, seeds, duplicate rows, the sweep's interior insertions, the
// triangle store's flips, and the Delaunay invariants on a registry of point sets.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "d2/delaunay2d.h"
#include "d2/triangulator.h"

namespace {

using kavro::DelaunayError;
using kavro::DelaunayOutput;
using kavro::NO_INDEX;
using kavro::PointView;
using kavro::delaunay2d;
using kavro::d2::Triangulator;
using Out = DelaunayOutput<3>;
using Row = std::array<std::uint32_t, 3>;
using Nbr = std::array<std::int32_t, 3>;
using Dup = std::array<std::uint32_t, 2>;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------
// Independent exact predicates (float filter with twice Shewchuk's bound, then rationals)
// ---------------------------------------------------------------------------------------

int orient_sign(const double* a, const double* b, const double* c) {
    const double l = (a[0] - c[0]) * (b[1] - c[1]);
    const double r = (a[1] - c[1]) * (b[0] - c[0]);
    const double det = l - r;
    const double bound = 8e-16 * (std::fabs(l) + std::fabs(r));
    if (det > bound) return 1;
    if (-det > bound) return -1;
    const mpq_class ax(a[0]), ay(a[1]), bx(b[0]), by(b[1]), cx(c[0]), cy(c[1]);
    return sgn((ax - cx) * (by - cy) - (ay - cy) * (bx - cx));
}

// > 0 when d is strictly inside the circle through the counterclockwise a, b, c.
int incircle_sign(const double* a, const double* b, const double* c, const double* d) {
    const double adx = a[0] - d[0], ady = a[1] - d[1];
    const double bdx = b[0] - d[0], bdy = b[1] - d[1];
    const double cdx = c[0] - d[0], cdy = c[1] - d[1];
    const double al = adx * adx + ady * ady, bl = bdx * bdx + bdy * bdy;
    const double cl = cdx * cdx + cdy * cdy;
    const double det = al * (bdx * cdy - cdx * bdy) + bl * (cdx * ady - adx * cdy) +
                       cl * (adx * bdy - bdx * ady);
    const double perm = al * (std::fabs(bdx * cdy) + std::fabs(cdx * bdy)) +
                        bl * (std::fabs(cdx * ady) + std::fabs(adx * cdy)) +
                        cl * (std::fabs(adx * bdy) + std::fabs(bdx * ady));
    const double bound = 2.3e-15 * perm;
    if (det > bound) return 1;
    if (-det > bound) return -1;
    const mpq_class ax(a[0]), ay(a[1]), bx(b[0]), by(b[1]);
    const mpq_class cx(c[0]), cy(c[1]), dx(d[0]), dy(d[1]);
    const mpq_class p = ax - dx, q = ay - dy, r = bx - dx, s = by - dy, t = cx - dx, u = cy - dy;
    return sgn((p * p + q * q) * (r * u - t * s) + (r * r + s * s) * (t * q - p * u) +
               (t * t + u * u) * (p * s - r * q));
}

// ---------------------------------------------------------------------------------------
// Running the kernel and checking its result
// ---------------------------------------------------------------------------------------

PointView<double> view(const std::vector<double>& xy) {
    return PointView<double>::dense(xy.data(), xy.size() / 2, 2);
}

Out triangulate(const std::vector<double>& xy) {
    auto res = delaunay2d(view(xy));
    if (!res.ok()) {
        ADD_FAILURE() << "unexpected error: " << res.error().message();
        return {};
    }
    return std::move(res.value());
}

std::string error_text(const std::vector<double>& xy) {
    auto res = delaunay2d(view(xy));
    EXPECT_FALSE(res.ok());
    return res.ok() ? std::string() : res.error().message();
}

// The frame the kernel decides in: the input minus its centroid, summed in row order. The
// exact checks run here because centring rounds, and a quadruple that is cocircular in
// the input need not be so after it.
std::vector<double> centred(const std::vector<double>& xy) {
    const std::size_t n = xy.size() / 2;
    double sx = 0.0, sy = 0.0;
    for (std::size_t r = 0; r < n; ++r) {
        sx += xy[2 * r];
        sy += xy[2 * r + 1];
    }
    const double mx = sx / static_cast<double>(n), my = sy / static_cast<double>(n);
    std::vector<double> c(2 * n);
    for (std::size_t r = 0; r < n; ++r) {
        c[2 * r] = xy[2 * r] - mx;
        c[2 * r + 1] = xy[2 * r + 1] - my;
    }
    return c;
}

// The whole contract of a successful build, checked from the outside:
//  - rows counterclockwise by exact orientation, indices in range;
//  - entry k of a row is the triangle across the edge opposite vertex k, symmetric, -1
//    exactly where no other row has the reversed edge;
//  - every input point is a vertex or the dropped index of exactly one duplicate row, whose
//    kept index is a vertex with equal centred coordinates; no two vertices are equal;
//  - the -1 edges form one cycle of supporting lines of the whole point set, so the rows
//    tile the convex hull (with the Euler count for a disk);
//  - Delaunay: every interior edge locally, and for small inputs every circumcircle
//    against every point.
void expect_delaunay(const std::vector<double>& xy, const Out& out) {
    const std::vector<double> c = centred(xy);
    const std::size_t n = xy.size() / 2;
    const std::size_t m = out.simplices.size();
    ASSERT_EQ(out.neighbors.size(), m);
    ASSERT_GT(m, 0u);
    const auto P = [&c](std::uint32_t v) { return c.data() + 2 * std::size_t{v}; };

    std::map<std::pair<std::uint32_t, std::uint32_t>, std::pair<std::size_t, int>> edges;
    for (std::size_t t = 0; t < m; ++t) {
        const Row& r = out.simplices[t];
        for (int k = 0; k < 3; ++k) ASSERT_LT(r[k], n) << "row " << t;
        ASSERT_EQ(orient_sign(P(r[0]), P(r[1]), P(r[2])), 1) << "row " << t << " not ccw";
        for (int k = 0; k < 3; ++k) {
            const auto e = std::make_pair(r[(k + 1) % 3], r[(k + 2) % 3]);
            ASSERT_TRUE(edges.emplace(e, std::make_pair(t, k)).second)
                << "directed edge " << e.first << "->" << e.second << " used twice";
        }
    }
    std::map<std::uint32_t, std::uint32_t> boundary_next;
    for (const auto& [e, tk] : edges) {
        const auto [t, k] = tk;
        const std::int32_t nb = out.neighbors[t][k];
        const auto rev = edges.find({e.second, e.first});
        if (rev == edges.end()) {
            ASSERT_EQ(nb, -1) << "row " << t << " entry " << k;
            ASSERT_TRUE(boundary_next.emplace(e.first, e.second).second)
                << "boundary pinched at " << e.first;
        } else {
            ASSERT_EQ(nb, static_cast<std::int32_t>(rev->second.first)) << "row " << t;
            ASSERT_EQ(out.neighbors[rev->second.first][rev->second.second],
                      static_cast<std::int32_t>(t));
        }
    }

    std::vector<int> role(n, 0);  // 1 vertex, 2 dropped
    for (const Row& r : out.simplices) {
        for (std::uint32_t v : r) role[v] = 1;
    }
    std::size_t vertices = 0;
    std::set<std::pair<double, double>> seen;  // -0.0 and +0.0 compare equal here too
    for (std::uint32_t v = 0; v < n; ++v) {
        if (role[v] != 1) continue;
        ++vertices;
        ASSERT_TRUE(seen.emplace(P(v)[0], P(v)[1]).second) << "vertex " << v << " repeated";
    }
    for (const Dup& d : out.duplicates) {
        ASSERT_LT(d[0], n);
        ASSERT_LT(d[1], n);
        ASSERT_EQ(role[d[0]], 0) << "point " << d[0] << " dropped twice or also a vertex";
        ASSERT_EQ(role[d[1]], 1) << "kept point " << d[1] << " is no vertex";
        ASSERT_TRUE(P(d[0])[0] == P(d[1])[0] && P(d[0])[1] == P(d[1])[1])
            << "row [" << d[0] << ", " << d[1] << "] joins unequal points";
        role[d[0]] = 2;
    }
    for (std::uint32_t v = 0; v < n; ++v) ASSERT_NE(role[v], 0) << "point " << v << " lost";

    const std::uint32_t first = boundary_next.begin()->first;
    std::uint32_t v = first;
    std::size_t steps = 0;
    do {
        const std::uint32_t w = boundary_next.at(v);
        for (std::uint32_t q = 0; q < n; ++q) {
            ASSERT_GE(orient_sign(P(v), P(w), P(q)), 0)
                << "hull edge " << v << "->" << w << " does not support point " << q;
        }
        v = w;
        ++steps;
    } while (v != first && steps <= boundary_next.size());
    ASSERT_EQ(steps, boundary_next.size()) << "boundary is not one cycle";
    ASSERT_EQ(m, 2 * vertices - boundary_next.size() - 2) << "Euler count of a disk";

    for (std::size_t t = 0; t < m; ++t) {
        const Row& r = out.simplices[t];
        for (int k = 0; k < 3; ++k) {
            const std::int32_t u = out.neighbors[t][k];
            if (u < 0) continue;
            for (std::uint32_t w : out.simplices[u]) {
                if (w != r[0] && w != r[1] && w != r[2]) {
                    ASSERT_LE(incircle_sign(P(r[0]), P(r[1]), P(r[2]), P(w)), 0)
                        << "edge opposite " << r[k] << " of row " << t << " is not Delaunay";
                }
            }
        }
    }
    if (n <= 400) {
        for (std::size_t t = 0; t < m; ++t) {
            const Row& r = out.simplices[t];
            for (std::uint32_t q = 0; q < n; ++q) {
                ASSERT_LE(incircle_sign(P(r[0]), P(r[1]), P(r[2]), P(q)), 0)
                    << "point " << q << " inside the circumcircle of row " << t;
            }
        }
    }
}

std::vector<double> shuffled_pairs(std::vector<double> xy, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const std::size_t n = xy.size() / 2;
    for (std::size_t i = n; i > 1; --i) {
        const std::size_t j = rng() % i;
        std::swap(xy[2 * (i - 1)], xy[2 * j]);
        std::swap(xy[2 * (i - 1) + 1], xy[2 * j + 1]);
    }
    return xy;
}

// ---------------------------------------------------------------------------------------
// Registry of named point sets, each checked against the full contract
// ---------------------------------------------------------------------------------------

std::vector<double> uniform(std::size_t n, std::uint64_t seed, double lo, double hi) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(lo, hi);
    std::vector<double> xy(2 * n);
    for (double& v : xy) v = u(rng);
    return xy;
}

std::vector<double> integer_grid(int w, int h) {
    std::vector<double> xy;
    for (int i = 0; i < w; ++i) {
        for (int j = 0; j < h; ++j) {
            xy.push_back(i);
            xy.push_back(j);
        }
    }
    return xy;
}

// Nearly collinear: the seeds are 1, 3 and 6, the sweep centre lies about 5.5e14 away, and
// in the sweep order 7, 1, 6, 0, 2, 3, 4, 5 point 4 arrives strictly inside the hull; it
// must still become a vertex.
const std::vector<double> kFarCentreEight = {
    0.751436365264713,  -1.070868272376941,   0.6853090087184022, -0.3660475930613539,
    0.6032482236853348, 0.508600075814856,    0.6540830682082106, -0.033224843867561804,
    0.7236268090569747, -0.7744591714918008,  0.7318090944948953, -0.8616703391825944,
    0.6950740592403448, -0.47012871624380836, 0.6141670402518036, 0.39222149799719896,
};

struct NamedCloud {
    const char* name;
    std::vector<double> (*make)();
};

const NamedCloud kClouds[] = {
    {"uniform", [] { return uniform(3000, 1, 0.0, 1.0); }},
    {"uniform_small", [] { return uniform(150, 2, -1.0, 1.0); }},
    {"clustered",
     [] {
         std::mt19937_64 rng(3);
         std::normal_distribution<double> g(0.0, 1e-3);
         const std::vector<double> centres = uniform(20, 4, 0.0, 1.0);
         std::vector<double> xy;
         for (int i = 0; i < 2500; ++i) {
             const std::size_t k = static_cast<std::size_t>(i % 20);
             xy.push_back(centres[2 * k] + g(rng));
             xy.push_back(centres[2 * k + 1] + g(rng));
         }
         return xy;
     }},
    {"integer_grid", [] { return integer_grid(50, 60); }},
    {"integer_grid_shuffled", [] { return shuffled_pairs(integer_grid(40, 40), 5); }},
    {"integer_grid_small", [] { return integer_grid(7, 9); }},
    {"grid_jittered_by_ulps",
     [] {
         std::mt19937_64 rng(6);
         std::vector<double> xy = integer_grid(40, 40);
         for (double& v : xy) {
             for (int s = static_cast<int>(rng() % 5) - 2; s != 0; s += s > 0 ? -1 : 1) {
                 v = std::nextafter(v, s > 0 ? INF : -INF);
             }
         }
         return xy;
     }},
    {"duplicated_grid",
     [] {
         std::vector<double> g = integer_grid(50, 50);
         std::vector<double> xy = g;
         xy.insert(xy.end(), g.begin(), g.end());
         return shuffled_pairs(xy, 7);
     }},
    {"exact_cocircular_lattice",
     [] {
         // Points of x^2 + y^2 = 25 and 625 (exact), plus the centre: every interior
         // edge is a cocircular tie.
         std::vector<double> xy = {0, 0};
         for (double r : {1.0, 5.0}) {
             for (auto [a, b] : {std::pair{3.0, 4.0}, {4.0, 3.0}, {5.0, 0.0}, {0.0, 5.0}}) {
                 for (double sa : {1.0, -1.0}) {
                     for (double sb : {1.0, -1.0}) {
                         xy.push_back(sa * a * r);
                         xy.push_back(sb * b * r);
                     }
                 }
             }
         }
         return xy;
     }},
    {"rounded_circle",
     [] {
         std::vector<double> xy;
         for (int i = 0; i < 120; ++i) {
             xy.push_back(std::cos(i * 0.05235987755982988));
             xy.push_back(std::sin(i * 0.05235987755982988));
         }
         return xy;
     }},
    {"tiny_magnitude",
     [] {
         std::vector<double> xy = uniform(1000, 8, 0.0, 1.0);
         for (double& v : xy) v *= 1e-60;
         return xy;
     }},
    {"huge_magnitude",
     [] {
         std::vector<double> xy = uniform(1000, 9, -1.0, 1.0);
         for (double& v : xy) v *= 1e60;
         return xy;
     }},
    {"far_from_origin", [] { return uniform(1000, 10, 1e6, 1e6 + 1.0); }},
    {"near_coincident_clusters",
     [] {
         // Clusters of points one or two ulps apart: equal keys, unequal coordinates.
         std::vector<double> xy;
         const std::vector<double> centres = uniform(150, 11, 0.0, 1.0);
         for (std::size_t k = 0; k < 150; ++k) {
             const double x = centres[2 * k], y = centres[2 * k + 1];
             const double xu = std::nextafter(x, INF), yd = std::nextafter(y, -INF);
             for (auto [px, py] : {std::pair{x, y}, {xu, y}, {x, yd}, {xu, yd},
                                   {std::nextafter(xu, INF), y}}) {
                 xy.push_back(px);
                 xy.push_back(py);
             }
         }
         return xy;
     }},
    {"near_coincident_pairs_far_out",
     [] {
         std::vector<double> xy;
         const std::vector<double> base = uniform(400, 12, 1e3, 1e3 + 1.0);
         for (std::size_t k = 0; k < 400; ++k) {
             xy.push_back(base[2 * k]);
             xy.push_back(base[2 * k + 1]);
             xy.push_back(std::nextafter(base[2 * k], -INF));
             xy.push_back(std::nextafter(base[2 * k + 1], INF));
         }
         return xy;
     }},
    {"line_plus_one_point",
     [] {
         std::vector<double> xy;
         for (int i = 0; i < 120; ++i) {
             xy.push_back(i);
             xy.push_back(0.0);
         }
         xy.push_back(60.5);
         xy.push_back(1e-9);
         return xy;
     }},
    {"sloped_line_plus_one_point",
     [] {
         std::vector<double> xy;
         for (int i = 0; i < 120; ++i) {
             xy.push_back(0.1 * i);
             xy.push_back(0.3 * i + 1.0);
         }
         xy.push_back(3.0);
         xy.push_back(-5.0);
         return xy;
     }},
    {"nearly_collinear_band",
     [] {
         std::vector<double> xy = uniform(150, 13, 0.0, 1.0);
         for (std::size_t k = 0; k < 150; ++k) {
             xy[2 * k + 1] = 0.25 * xy[2 * k] + 1e-13 * xy[2 * k + 1];
         }
         return xy;
     }},
    {"far_centre_eight", [] { return kFarCentreEight; }},
    {"far_centre_eight_with_copies",
     [] {
         std::vector<double> xy = kFarCentreEight;
         xy.insert(xy.end(), kFarCentreEight.begin(), kFarCentreEight.end());
         return xy;
     }},
};

class Delaunay2dCloud : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Delaunay2dCloud, SatisfiesTheContract) {
    const std::vector<double> xy = kClouds[GetParam()].make();
    const Out out = triangulate(xy);
    expect_delaunay(xy, out);
}

INSTANTIATE_TEST_SUITE_P(Registry, Delaunay2dCloud,
                         ::testing::Range(std::size_t{0}, std::size(kClouds)),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return std::string(kClouds[info.param].name);
                         });

// ---------------------------------------------------------------------------------------
// Errors and their order
// ---------------------------------------------------------------------------------------

TEST(Delaunay2dErrors, TooManyPointsIsCheckedFirst) {
    // A zero row stride repeats one row, so the count needs no memory.
    const double row[2] = {NaN, NaN};
    const PointView<double> v{row, 4294967295ull, 2, 0, 1};
    auto res = delaunay2d(v);
    ASSERT_FALSE(res.ok());
    EXPECT_EQ(res.error().message(),
              "degenerate input: too many points (4294967295), maximum is 4294967294");
}

TEST(Delaunay2dErrors, FewerThanThreePointsCarryTheCount) {
    for (std::size_t n : {0u, 1u, 2u}) {
        const std::vector<double> xy = {0, 0, 1, 0};
        auto res = delaunay2d(PointView<double>::dense(xy.data(), n, 2));
        ASSERT_FALSE(res.ok());
        EXPECT_EQ(res.error().message(),
                  "not enough distinct points (got " + std::to_string(n) + ")");
    }
}

TEST(Delaunay2dErrors, AllEqualPointsCountAsOne) {
    EXPECT_EQ(error_text({2.5, -1, 2.5, -1, 2.5, -1, 2.5, -1}),
              "not enough distinct points (got 1)");
    // Signed zeros compare equal.
    EXPECT_EQ(error_text({0.0, 0.0, -0.0, 0.0, 0.0, -0.0, -0.0, -0.0}),
              "not enough distinct points (got 1)");
}

TEST(Delaunay2dErrors, CollinearInputs) {
    const std::string collinear =
        "degenerate input: all points are collinear; a 2D triangulation does not exist";
    EXPECT_EQ(error_text({0, 0, 1, 1, 0, 0}), collinear) << "two equal of three";
    EXPECT_EQ(error_text({0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 0, 0}), collinear)
        << "two positions, many copies";
    EXPECT_EQ(error_text({0, 0, 1, 2, 2, 4, 3, 6, -7, -14}), collinear);
    EXPECT_EQ(error_text({0.5, 1.5, 1, 3, 4, 12, 2, 6}), collinear) << "exact after centring";
}

TEST(Delaunay2dErrors, ExactlyCollinearDespiteRoundedDeterminant) {
    // On y = 3x, in symmetric pairs so the centroid is exactly 0. Seen from the first seed
    // (a, 3a) and the second (-a, -3a), the rounded circumcircle determinant of (-b, -3b)
    // is not zero; only the exact orientation rejects it as a third seed.
    const double a = 0.42956602825767454, b = 2.157037658113749;
    const std::vector<double> xy = {a, 3 * a, -a, -3 * a, b, 3 * b, -b, -3 * b};
    const double dx = -2 * a, dy = -6 * a, ex = -b - a, ey = -3 * b - 3 * a;
    ASSERT_NE(dx * ey - ex * dy, 0.0) << "the case lost its point";
    EXPECT_EQ(error_text(xy),
              "degenerate input: all points are collinear; a 2D triangulation does not exist");
}

TEST(Delaunay2dErrors, NonFiniteCoordinatesEndAsCollinear) {
    const std::string collinear =
        "degenerate input: all points are collinear; a 2D triangulation does not exist";
    EXPECT_EQ(error_text({0, 0, 1, 0, 0, 1, NaN, 5}), collinear);
    EXPECT_EQ(error_text({NaN, 0, 0, 0, 1, 0, 0, 1}), collinear);
    EXPECT_EQ(error_text({0, 0, 1, 0, 0, NaN}), collinear);
    EXPECT_EQ(error_text({0, 0, 1, 0, 0, 1, INF, 2}), collinear);
    EXPECT_EQ(error_text({0, 0, 1e308, 0, 1e308, 1, 0, 1}), collinear) << "overflowing sum";
}

// ---------------------------------------------------------------------------------------
// Seeds and the smallest results
// ---------------------------------------------------------------------------------------

TEST(Delaunay2dSeeds, ThreePointsGiveTheSeedTriangle) {
    // Points 0 and 1 are equally near the centroid: the lower index leads the row.
    Out out = triangulate({-1, 0, 1, 0, 0, 5});
    EXPECT_EQ(out.simplices, (std::vector<Row>{{0, 1, 2}}));
    EXPECT_EQ(out.neighbors, (std::vector<Nbr>{{-1, -1, -1}}));
    EXPECT_TRUE(out.duplicates.empty());

    // Clockwise input is turned around, the first vertex stays.
    out = triangulate({1, 0, -1, 0, 0, 5});
    EXPECT_EQ(out.simplices, (std::vector<Row>{{0, 2, 1}}));

    // The point nearest the centroid comes first whatever its index.
    out = triangulate({10, 0, 0, 10, 1, 1});
    EXPECT_EQ(out.simplices, (std::vector<Row>{{2, 0, 1}}));
}

TEST(Delaunay2dSeeds, FourCocircularPointsKeepTheInsertionDiagonal) {
    // An exact square: the in-circle test ties, nothing flips, both triangles stand.
    const std::vector<double> xy = {-1, 0, 1, 0, 0, 1, 0, -1};
    const Out out = triangulate(xy);
    ASSERT_EQ(out.simplices.size(), 2u);
    expect_delaunay(xy, out);
    const auto has_edge = [&](std::uint32_t a, std::uint32_t b) {
        int count = 0;
        for (const Row& r : out.simplices) {
            const bool ha = r[0] == a || r[1] == a || r[2] == a;
            const bool hb = r[0] == b || r[1] == b || r[2] == b;
            count += ha && hb;
        }
        return count == 2;
    };
    // Seeds 0 and 2 with third seed 1 (the earlier of two equal circles): point 3 joins
    // across the seed edge 1-0, which stays the diagonal.
    EXPECT_TRUE(has_edge(0, 1));
    EXPECT_FALSE(has_edge(2, 3));
}

// ---------------------------------------------------------------------------------------
// Duplicate rows
// ---------------------------------------------------------------------------------------

TEST(Delaunay2dDuplicates, RowsComeInSweepOrder) {
    // Centroid (0, 1.5) is exact. The copies at y = -3 are nearer the sweep centre than
    // those at y = 9, so their row comes first although their indices are higher.
    const std::vector<double> xy = {-1, 0, 1, 0, 0, 1, 0, -1, 0, 9, 0, 9, 0, -3, 0, -3};
    const Out out = triangulate(xy);
    EXPECT_EQ(out.duplicates, (std::vector<Dup>{{7, 6}, {5, 4}}));
    expect_delaunay(xy, out);
}

TEST(Delaunay2dDuplicates, NegativeZeroComesFirstAndIsKept) {
    // The centroid is exactly (+0, 0), so the signed zeros survive centring.
    const std::vector<double> xy = {-1, 0, 1, 0, 0, 1, 0, -1, 0.0, 7, -0.0, 7, 0, -14};
    const Out out = triangulate(xy);
    EXPECT_EQ(out.duplicates, (std::vector<Dup>{{4, 5}}));
    expect_delaunay(xy, out);
}

TEST(Delaunay2dDuplicates, SeedKeepsItsGroupWhicheverCopyComesFirst) {
    // Point 0 (+0.0, 1) is the first seed. Its copy 3 (-0.0, 1) comes right before it in
    // the sweep and is reported against the seed; the seed, met next as a repeat, gets no
    // row; the copy 5 follows with its row against the seed.
    const std::vector<double> xy = {0.0, 1, 3, 2, -1, -3, -0.0, 1, 3, -4, 0.0, 1, -5, 2};
    const Out out = triangulate(xy);
    EXPECT_EQ(out.duplicates, (std::vector<Dup>{{3, 0}, {5, 0}}));
    expect_delaunay(xy, out);
}

TEST(Delaunay2dDuplicates, EveryPointCopiedOnceSeedsIncluded) {
    std::vector<double> xy = uniform(60, 14, 0.0, 1.0);
    const std::vector<double> base = xy;
    xy.insert(xy.end(), base.begin(), base.end());
    const Out out = triangulate(xy);
    EXPECT_EQ(out.duplicates.size(), 60u);
    for (const Dup& d : out.duplicates) EXPECT_EQ(d[0], d[1] + 60) << d[0] << "," << d[1];
    expect_delaunay(xy, out);
}

TEST(Delaunay2dDuplicates, KeptIndexIsTheLowestOfItsGroup) {
    // Large enough for the bucketed sweep-order sort, which must keep equal points in
    // index order.
    std::vector<double> g = integer_grid(45, 45);
    std::vector<double> xy = g;
    xy.insert(xy.end(), g.begin(), g.end());
    xy.insert(xy.end(), g.begin(), g.begin() + 1000);
    xy = shuffled_pairs(xy, 16);
    const Out out = triangulate(xy);
    std::map<std::pair<double, double>, std::uint32_t> lowest;
    for (std::uint32_t i = 0; i < xy.size() / 2; ++i) {
        lowest.emplace(std::pair{xy[2 * i], xy[2 * i + 1]}, i);
    }
    EXPECT_EQ(out.duplicates.size(), xy.size() / 2 - 45 * 45);
    for (const Dup& d : out.duplicates) {
        EXPECT_EQ(d[1], lowest.at({xy[2 * d[0]], xy[2 * d[0] + 1]})) << "row " << d[0];
    }
    expect_delaunay(xy, out);
}

TEST(Delaunay2dDuplicates, RowsFollowTheSweepOrderOnALargeLattice) {
    // Seeds (1, 0), (0, 1), (-1, 0) (indices 0-2; every other candidate ties and comes
    // later), so the sweep centre is exactly the origin, the centroid of this symmetric
    // set is exactly 0, and every key is the exact integer x^2 + y^2. Each lattice position
    // appears twice in shuffled order; its row must come in the order (x^2 + y^2, x, y)
    // and keep the lower index. Over 4096 points, so the bucketed sort runs.
    std::vector<double> xy = {1, 0, 0, 1, -1, 0, 0, -1};
    std::vector<double> lattice;
    for (int x = -33; x <= 33; ++x) {
        for (int y = -33; y <= 33; ++y) {
            if (x * x + y * y <= 4) continue;
            for (int copy = 0; copy < 2; ++copy) {
                lattice.push_back(x);
                lattice.push_back(y);
            }
        }
    }
    lattice = shuffled_pairs(lattice, 17);
    xy.insert(xy.end(), lattice.begin(), lattice.end());
    for (double v : {0.0, -1.0, -1.0, 0.0, 0.0, 1.0, 1.0, 0.0}) xy.push_back(v);
    const std::size_t n = xy.size() / 2;
    ASSERT_GT(n, 4096u);

    std::map<std::tuple<double, double, double>, std::vector<std::uint32_t>> groups;
    for (std::uint32_t i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        groups[{x * x + y * y, x, y}].push_back(i);
    }
    std::vector<Dup> expected;
    for (const auto& [key, members] : groups) {
        ASSERT_EQ(members.size(), 2u);
        expected.push_back({members[1], members[0]});
    }
    const Out out = triangulate(xy);
    EXPECT_EQ(out.duplicates, expected);
    expect_delaunay(xy, out);
}

TEST(Delaunay2dDuplicates, SignedZeroCopiesSplitByAnEqualKeyPoint) {
    // (-0.0, 7) and (+0.0, 7) share their key with (0, -7), which sorts between them
    // ((x, y) in total order), so (+0.0, 7) is met after another position. It coincides
    // with a vertex and is reported against it instead of being lost.
    const std::vector<double> xy = {-1, 0, 1, 0, 0, 1, 0, -1, 0.0, 7, -0.0, 7, 0, -7, 0, -7};
    const Out out = triangulate(xy);
    EXPECT_EQ(out.duplicates, (std::vector<Dup>{{7, 6}, {4, 5}}));
    expect_delaunay(xy, out);
}

// ---------------------------------------------------------------------------------------
// Points met on or inside the hull
// ---------------------------------------------------------------------------------------

TEST(Delaunay2dInside, FarCentreEightKeepsEveryPoint) {
    const Out out = triangulate(kFarCentreEight);
    std::set<std::uint32_t> used;
    for (const Row& r : out.simplices) used.insert(r.begin(), r.end());
    EXPECT_EQ(used.size(), 8u);
    EXPECT_TRUE(out.duplicates.empty());
    expect_delaunay(kFarCentreEight, out);
}

TEST(Delaunay2dInside, PointOnASeedEdge) {
    // Seeds 1, 2 and 0: point 3 lies on the seed edge 0-1, one ulp from 0. Its circle
    // through 1 and 2 is smaller than point 0's only below rounding (both 18.5), so the
    // earlier index wins the third seed and point 3 meets the seed triangle on its edge.
    // (A point strictly inside a seed edge is impossible without such a tie: it would be
    // nearer the first seed than the second, or have the smaller circle.)
    const double near0 = std::nextafter(-4.0, 0.0);
    const std::vector<double> a = {-4, 0, 1, 0, 2, -1, near0, 0};
    const Out out = triangulate(a);
    ASSERT_EQ(out.simplices.size(), 2u);
    for (const Row& r : out.simplices) EXPECT_TRUE(r[0] == 3 || r[1] == 3 || r[2] == 3);
    EXPECT_TRUE(out.duplicates.empty());
    expect_delaunay(a, out);
    // Points around it attach later to the hull edges that the split created or moved.
    std::vector<double> b = a;
    for (double v : {-16.0, 0.0, 16.0, 0.0, 0.0, 16.0, 0.0, -16.0}) b.push_back(v);
    expect_delaunay(b, triangulate(b));
}

TEST(Delaunay2dInside, NearlyCollinearRuns) {
    // Small sets on y = 0.3 x with offsets of 1e-12: the sweep centre lies far away and
    // points arrive on hull edges, on interior edges and inside triangles. Then a few
    // points off the line (by 1e-9 to 1) attach to the hull edges that those insertions
    // split or moved.
    for (std::uint64_t seed = 0; seed < 400; ++seed) {
        std::mt19937_64 rng(seed);
        const int n = 4 + static_cast<int>(rng() % 12);
        std::vector<double> xy;
        for (int k = 0; k < n; ++k) {
            const double t = static_cast<double>(rng() % 1000) / 997.0;
            xy.push_back(t);
            xy.push_back(0.3 * t + 1e-12 * static_cast<double>(rng() % 3));
        }
        SCOPED_TRACE(seed);
        auto res = delaunay2d(view(xy));
        if (res.ok()) expect_delaunay(xy, res.value());

        const double scale = std::array{1e-9, 1e-6, 1e-3, 0.1}[seed % 4];
        for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) {
            const double t = static_cast<double>(rng() % 2000) / 997.0 - 0.5;
            xy.push_back(t);
            xy.push_back(0.3 * t + scale * (static_cast<double>(rng() % 21) - 10.0));
        }
        res = delaunay2d(view(xy));
        if (res.ok()) expect_delaunay(xy, res.value());
    }
}

TEST(Delaunay2dInside, PointsOnInteriorEdgesAndInsideTriangles) {
    // Integer lattices with collinear runs in every direction, in scrambled orders.
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        std::mt19937_64 rng(seed);
        std::vector<double> xy;
        for (int k = 0; k < 12; ++k) {
            xy.push_back(static_cast<double>(rng() % 5));
            xy.push_back(static_cast<double>(rng() % 5));
        }
        SCOPED_TRACE(seed);
        auto res = delaunay2d(view(xy));
        if (res.ok()) expect_delaunay(xy, res.value());
    }
}

// ---------------------------------------------------------------------------------------
// Coordinate types
// ---------------------------------------------------------------------------------------

TEST(Delaunay2dTypes, FloatMatchesItsWidenedDoubleCopy) {
    std::mt19937_64 rng(15);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    const std::size_t n = 2000;
    // Column-major float storage, read through strides; duplicates included.
    std::vector<float> cols(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        cols[i] = u(rng);
        cols[n + i] = u(rng);
        if (i % 50 == 49) {
            cols[i] = cols[i - 7];
            cols[n + i] = cols[n + i - 7];
        }
    }
    const PointView<float> fv{cols.data(), n, 2, 1, static_cast<std::ptrdiff_t>(n)};
    std::vector<double> wide(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        wide[2 * i] = cols[i];
        wide[2 * i + 1] = cols[n + i];
    }
    auto f = delaunay2d(fv);
    auto d = delaunay2d(view(wide));
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(f.value().simplices, d.value().simplices);
    EXPECT_EQ(f.value().neighbors, d.value().neighbors);
    EXPECT_EQ(f.value().duplicates, d.value().duplicates);
    EXPECT_FALSE(d.value().duplicates.empty());
    expect_delaunay(wide, d.value());
}

// ---------------------------------------------------------------------------------------
// Triangle store internals
// ---------------------------------------------------------------------------------------

TEST(Triangulator, HashKeyFollowsThePseudoAngle) {
    // 10000 points give 100 buckets; quarter turns land on multiples of 25.
    Triangulator tr(std::vector<double>(2 * 10000, 0.0), 5.0, -3.0, 0);
    ASSERT_EQ(tr.hash_size, 100u);
    EXPECT_EQ(tr.hash_key(5.0 - 2.0, -3.0), 0u);   // towards -x
    EXPECT_EQ(tr.hash_key(5.0, -3.0 - 2.0), 25u);  // towards -y
    EXPECT_EQ(tr.hash_key(5.0 + 2.0, -3.0), 50u);  // towards +x
    EXPECT_EQ(tr.hash_key(5.0, -3.0 + 2.0), 75u);  // towards +y
    EXPECT_EQ(tr.hash_key(5.0 + 1.0, -3.0 - 1.0), 37u);
    // Just above the -x ray the pseudo-angle rounds to 1: a full turn wraps to 0.
    EXPECT_EQ(tr.hash_key(5.0 - 1.0, -3.0 + 1e-300), 0u);
    EXPECT_EQ(tr.hash_key(5.0 - 1.0, -3.0 + 0.01), 99u);
    // The centre itself (0/0) and infinite offsets (inf/inf) give NaN, which maps to 0.
    EXPECT_EQ(tr.hash_key(5.0, -3.0), 0u);
    EXPECT_EQ(tr.hash_key(INF, INF), 0u);

    // The smallest table: 3 points, ceil(sqrt(3)) = 2 buckets.
    Triangulator small(std::vector<double>(6, 0.0), 0.0, 0.0, 0);
    ASSERT_EQ(small.hash_size, 2u);
    EXPECT_EQ(small.hash_key(-1, 0), 0u);
    EXPECT_EQ(small.hash_key(0, -1), 0u);
    EXPECT_EQ(small.hash_key(1, 0), 1u);
    EXPECT_EQ(small.hash_key(0, 1), 1u);
}

TEST(Triangulator, SweepOrderSortsByKeyThenTotalOrderThenIndex) {
    // Spread keys with runs of ties on few coordinate values (signed zeros among them), and
    // with or without the extremes 0 and +inf; sizes on both sides of the switch from one
    // plain sort to bucketing.
    for (std::size_t n : {50u, 5000u, 40000u}) {
        for (const bool extremes : {false, true}) {
            std::mt19937_64 rng(n + extremes);
            std::uniform_real_distribution<double> spread(0.5, 4.0);
            const double values[] = {-1.5, -0.0, 0.0, 0.25, 2.0};
            std::vector<double> xy(2 * n);
            std::vector<std::uint64_t> key(n);
            for (std::size_t i = 0; i < n; ++i) {
                xy[2 * i] = values[rng() % 5];
                xy[2 * i + 1] = values[rng() % 5];
                const std::uint64_t r = rng() % 100;
                const double k = r < 80 ? spread(rng)
                                 : r < 98 || !extremes ? 1.0 + static_cast<double>(rng() % 3)
                                 : r < 99 ? 0.0
                                          : INF;
                key[i] = std::bit_cast<std::uint64_t>(k);
            }
            const auto total = [](double v) {
                const auto b = std::bit_cast<std::int64_t>(v);
                return b < 0 ? b ^ std::numeric_limits<std::int64_t>::max() : b;
            };
            std::vector<std::uint32_t> expected(n);
            for (std::size_t i = 0; i < n; ++i) expected[i] = static_cast<std::uint32_t>(i);
            std::sort(expected.begin(), expected.end(), [&](std::uint32_t l, std::uint32_t r) {
                return std::tuple(key[l], total(xy[2 * l]), total(xy[2 * l + 1]), l) <
                       std::tuple(key[r], total(xy[2 * r]), total(xy[2 * r + 1]), r);
            });
            EXPECT_EQ(kavro::d2::sweep_order(key, xy.data()), expected)
                << "n = " << n << (extremes ? " with 0 and inf" : "");
        }
    }
}

// Quad L(-1, 0), P(0, -1), R(1, 0), Q(0, 0.5) as triangles (L, P, R) and (L, R, Q) with
// hull P -> R -> Q -> L. Q lies inside the circle through L, P, R, so the diagonal L-R is
// illegal.
struct Quad {
    static constexpr std::uint32_t L = 0, P = 1, R = 2, Q = 3;
    Triangulator tr{std::vector<double>{-1, 0, 0, -1, 1, 0, 0, 0.5}, 0.0, 0.0, P};
    Quad() {
        tr.add_triangle(L, P, R, NO_INDEX, NO_INDEX, NO_INDEX);  // half-edges 0, 1, 2
        tr.add_triangle(L, R, Q, 2, NO_INDEX, NO_INDEX);         // half-edges 3, 4, 5
        const std::uint32_t order[] = {P, R, Q, L};
        for (int k = 0; k < 4; ++k) {
            tr.hull_next[order[k]] = order[(k + 1) % 4];
            tr.hull_prev[order[(k + 1) % 4]] = order[k];
        }
        tr.hull_tri[P] = 1;
        tr.hull_tri[R] = 4;
        tr.hull_tri[Q] = 5;
        tr.hull_tri[L] = 0;
    }
};

TEST(Triangulator, FlipMovesTheHullReferenceOfTheFarEdge) {
    Quad q;
    // Half-edge 2 (R -> L) faces P; across it, half-edge 5 (Q -> L) is on the hull.
    const std::uint32_t r = q.tr.legalize(2);
    EXPECT_EQ(q.tr.triangles, (std::vector<std::uint32_t>{Quad::L, Quad::P, Quad::Q,
                                                          Quad::P, Quad::R, Quad::Q}));
    EXPECT_EQ(q.tr.halfedges,
              (std::vector<std::uint32_t>{NO_INDEX, 5, NO_INDEX, NO_INDEX, NO_INDEX, 1}));
    // Q's hull edge moved from 5 to 2; the others' hull references are untouched, and the
    // hull edge P -> R (moved from 1 to 3) is what legalize reports.
    EXPECT_EQ(q.tr.hull_tri[Quad::Q], 2u);
    EXPECT_EQ(q.tr.hull_tri[Quad::L], 0u);
    EXPECT_EQ(q.tr.hull_tri[Quad::R], 4u);
    EXPECT_EQ(r, 3u);
    EXPECT_TRUE(q.tr.edge_stack.empty());
}

TEST(Triangulator, LegalizeOnAHullEdgeReturnsItsPredecessor) {
    Quad q;
    EXPECT_EQ(q.tr.legalize(4), 3u);
    EXPECT_EQ(q.tr.legalize(0), 2u);
    EXPECT_EQ(q.tr.triangles, (std::vector<std::uint32_t>{Quad::L, Quad::P, Quad::R,
                                                          Quad::L, Quad::R, Quad::Q}));
}

TEST(Triangulator, CocircularQuadIsNotFlipped) {
    Quad q;
    q.tr.coords[2 * Quad::Q + 1] = 1.0;  // Q on the unit circle through L, P, R
    EXPECT_EQ(q.tr.legalize(2), 1u);
    EXPECT_EQ(q.tr.triangles, (std::vector<std::uint32_t>{Quad::L, Quad::P, Quad::R,
                                                          Quad::L, Quad::R, Quad::Q}));
    EXPECT_EQ(q.tr.hull_tri[Quad::Q], 5u);
}

}  // namespace

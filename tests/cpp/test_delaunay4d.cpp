// Sequential 3D kernel: the Delaunay invariants, checked with rationals, on point sets that
// stress the float filter (cospherical grids, jittered spheres); the error cases; and the
// pieces of the hull (facet planes and their bound, seed links, ridge table, slot reuse,
// the fast search for a visible facet against the scan of every slot).
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "d4/delaunay4d.h"
#include "d4/hull4d.h"

namespace {

using namespace kavro;
using d4::Point4;
using Out = DelaunayOutput<4>;
using Pts = std::vector<double>;  // #n by 3, row-major

// ---------------------------------------------------------------------------------------
// Exact signs: a float determinant with a wide margin, rationals inside it
// ---------------------------------------------------------------------------------------

// Cofactor expansion along the first row; with Abs, the permanent of |entries|, which
// bounds the rounding error of the float determinant (relative 1e-12 is far outside it).
template <bool Abs = false, class N, std::size_t K>
N det(const std::array<std::array<N, K>, K>& m) {
    if constexpr (K == 1) {
        if constexpr (Abs) return std::fabs(m[0][0]);
        else return m[0][0];
    } else {
        N s = 0;
        for (std::size_t c = 0; c < K; ++c) {
            std::array<std::array<N, K - 1>, K - 1> minor;
            for (std::size_t r = 1; r < K; ++r) {
                for (std::size_t j = 0, o = 0; j < K; ++j) {
                    if (j != c) minor[r - 1][o++] = m[r][j];
                }
            }
            if constexpr (Abs) {
                s += std::fabs(m[0][c]) * det<true>(minor);
            } else {
                const N t = m[0][c] * det(minor);
                if (c % 2) s -= t; else s += t;
            }
        }
        return s;
    }
}

// Rows p_r - o (and |p_r - o|² as a fourth column when K = 4), exactly.
template <std::size_t K>
int diff_det_sign(const double* const* p, const double* o) {
    std::array<std::array<double, K>, K> f;
    for (std::size_t r = 0; r < K; ++r) {
        f[r][K - 1] = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            f[r][k] = p[r][k] - o[k];
            if constexpr (K == 4) f[r][3] += f[r][k] * f[r][k];
        }
    }
    const double d = det(f);
    if (std::fabs(d) > 1e-12 * det<true>(f)) return d > 0 ? 1 : -1;
    std::array<std::array<mpq_class, K>, K> q;
    for (std::size_t r = 0; r < K; ++r) {
        q[r][K - 1] = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            q[r][k] = mpq_class(p[r][k]) - o[k];
            if constexpr (K == 4) q[r][3] += q[r][k] * q[r][k];
        }
    }
    return sgn(det(q));
}

// Sign of det(b - a, c - a, d - a): positive for the kernel's orientation.
int orient(const double* a, const double* b, const double* c, const double* d) {
    const double* p[3] = {b, c, d};
    return diff_det_sign<3>(p, a);
}

// > 0 when e lies strictly inside the circumsphere of the non-flat tetrahedron a, b, c, d.
int in_sphere(const double* a, const double* b, const double* c, const double* d,
              const double* e) {
    const double* p[4] = {a, b, c, d};
    return -diff_det_sign<4>(p, e) * orient(a, b, c, d);
}

// The kernel's frame: input minus the centroid summed in row order.
Pts centred(const Pts& p) {
    const std::size_t n = p.size() / 3;
    double c[3] = {0, 0, 0};
    for (std::size_t r = 0; r < n; ++r) for (int k = 0; k < 3; ++k) c[k] += p[3 * r + k];
    Pts out(p.size());
    for (std::size_t r = 0; r < n; ++r) {
        for (int k = 0; k < 3; ++k) out[3 * r + k] = p[3 * r + k] - c[k] / static_cast<double>(n);
    }
    return out;
}

Result<Out> build(const Pts& p) { return delaunay4d(PointView<double>::dense(p.data(), p.size() / 3, 3)); }

std::string error_of(const Pts& p) {
    auto r = build(p);
    return r.ok() ? "no error" : r.error().message();
}

// The whole contract of a successful build: positive tetrahedra, symmetric neighbours
// with entry k facing vertex k, -1 faces on the convex hull, empty circumspheres (against
// every point when small, across every face otherwise), every point a vertex or dropped
// once as a duplicate of an equal kept vertex, except `skipped` points.
void expect_delaunay(const Pts& in, const Out& out, std::size_t skipped = 0) {
    const Pts c = centred(in);
    const std::size_t n = in.size() / 3, m = out.simplices.size();
    const auto P = [&](std::uint32_t v) { return c.data() + 3 * std::size_t{v}; };
    ASSERT_GT(m, 0u);
    ASSERT_EQ(out.neighbors.size(), m);
    std::map<std::array<std::uint32_t, 3>, int> faces;
    std::vector<int> role(n, 0);  // 1 vertex, 2 dropped
    for (std::size_t t = 0; t < m; ++t) {
        const auto& r = out.simplices[t];
        for (auto v : r) { ASSERT_LT(v, n); role[v] = 1; }
        ASSERT_EQ(orient(P(r[0]), P(r[1]), P(r[2]), P(r[3])), 1) << "row " << t;
        for (int k = 0; k < 4; ++k) {
            std::array<std::uint32_t, 3> f;
            for (int j = 0, o = 0; j < 4; ++j) if (j != k) f[o++] = r[j];
            std::sort(f.begin(), f.end());
            ASSERT_LE(++faces[f], 2) << "face shared by three rows";
            const std::int32_t u = out.neighbors[t][k];
            if (u < 0) {  // against every point, or a sample of large inputs
                for (std::uint32_t q = 0; q < n; q += n <= 1500 ? 1 : static_cast<std::uint32_t>(n / 300)) {
                    ASSERT_GE(orient(P(f[0]), P(f[1]), P(f[2]), P(q)) *
                                  orient(P(f[0]), P(f[1]), P(f[2]), P(r[k])), 0)
                        << "-1 face of row " << t << " is not on the hull";
                }
                continue;
            }
            const auto& s = out.simplices[u];
            int back = -1, shared = 0;
            for (int j = 0; j < 4; ++j) {
                if (std::count(f.begin(), f.end(), s[j])) ++shared; else back = j;
            }
            ASSERT_EQ(shared, 3) << "row " << t << " entry " << k;
            ASSERT_EQ(out.neighbors[u][back], static_cast<std::int32_t>(t));
            ASSERT_LE(in_sphere(P(r[0]), P(r[1]), P(r[2]), P(r[3]), P(s[back])), 0)
                << "face opposite " << k << " of row " << t << " is not Delaunay";
        }
        if (n <= 60) {
            for (std::uint32_t q = 0; q < n; ++q) {
                ASSERT_LE(in_sphere(P(r[0]), P(r[1]), P(r[2]), P(r[3]), P(q)), 0) << t;
            }
        }
    }
    for (const auto& d : out.duplicates) {
        ASSERT_EQ(role[d[0]], 0) << d[0] << " dropped twice or also a vertex";
        ASSERT_EQ(role[d[1]], 1) << "kept " << d[1] << " is no vertex";
        for (int k = 0; k < 3; ++k) ASSERT_EQ(P(d[0])[k], P(d[1])[k]);
        role[d[0]] = 2;
    }
    EXPECT_EQ(static_cast<std::size_t>(std::count(role.begin(), role.end(), 0)), skipped);
}

void expect_builds(const Pts& p, std::size_t skipped = 0) {
    auto r = build(p);
    ASSERT_TRUE(r.ok()) << r.error().message();
    expect_delaunay(p, r.value(), skipped);
}

// ---------------------------------------------------------------------------------------
// Point sets
// ---------------------------------------------------------------------------------------

Pts uniform(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Pts p(3 * n);
    for (double& v : p) v = u(rng);
    return p;
}

Pts clustered(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g(0.0, 1e-3);
    Pts p;
    for (std::size_t i = 0; i < n; ++i) {
        const double cx = static_cast<double>(i % 4), cy = static_cast<double>(i % 3) * 7;
        for (double c : {cx, cy, 100.0}) p.push_back(c + g(rng));
    }
    return p;
}

// Integer k³ grid, optionally jittered by up to `jitter`; with a shift, two copies at
// x = -shift and x = +shift, so that every cell lies far from the centroid.
Pts grid(int k, double jitter = 0.0, std::uint64_t seed = 1, double shift = 0.0) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-jitter, jitter);
    Pts p;
    const auto jit = [&] { return jitter > 0 ? u(rng) : 0.0; };
    for (double d : shift > 0 ? std::vector<double>{-shift, shift} : std::vector<double>{0.0}) {
        for (int x = 0; x < k; ++x) {
            for (int y = 0; y < k; ++y) {
                for (int z = 0; z < k; ++z) {
                    p.push_back(x + d + jit());
                    p.push_back(y + jit());
                    p.push_back(z + jit());
                }
            }
        }
    }
    return p;
}

// Points on the unit sphere (radially jittered) plus some interior points.
Pts sphere(std::size_t n, double jitter, std::size_t inner, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g;
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Pts p;
    for (std::size_t i = 0; i < n + inner; ++i) {
        const double x = g(rng), y = g(rng), z = g(rng);
        const double r = (i < n ? 1.0 + jitter * u(rng) : 0.5 * std::fabs(u(rng))) /
                         std::sqrt(x * x + y * y + z * z);
        for (double v : {x, y, z}) p.push_back(v * r);
    }
    return p;
}

// ---------------------------------------------------------------------------------------
// Whole builds
// ---------------------------------------------------------------------------------------

TEST(Delaunay4d, GeneralPosition) {
    expect_builds(uniform(5, 1));
    expect_builds(uniform(40, 2));
    expect_builds(uniform(3000, 3));
    expect_builds(clustered(1500, 4));
}

TEST(Delaunay4d, CosphericalGrids) {
    expect_builds(grid(3));
    expect_builds(grid(7));
    expect_builds(sphere(300, 0.0, 100, 5));
}

// Nearly coplanar and cocircular quadruples, where the rounding of the heights decides
// the float side value: every result must pass the exact checks, without an error.
TEST(Delaunay4d, JitteredNearDegenerate) {
    for (int e : {20, 32, 40, 44, 46, 48, 52}) {
        SCOPED_TRACE(e);
        const double j = std::ldexp(1.0, -e);
        expect_builds(grid(8, j, e));
        expect_builds(grid(5, j, e, 100.0));
        expect_builds(grid(5, j, e, 1000.0));
        expect_builds(sphere(2000, j, 30, e));
    }
}

TEST(Delaunay4d, Duplicates) {
    Pts p = uniform(6, 7);
    for (int k = 0; k < 3; ++k) p[3 * 5 + k] = p[3 * 2 + k];
    auto r = build(p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().duplicates, (std::vector<std::array<std::uint32_t, 2>>{{5, 2}}));
    expect_delaunay(p, r.value());

    Pts q = uniform(30, 8);
    for (int copy : {29, 12}) for (int k = 0; k < 3; ++k) q[3 * copy + k] = q[3 * 4 + k];
    r = build(q);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().duplicates, (std::vector<std::array<std::uint32_t, 2>>{{12, 4}, {29, 4}}));
    expect_delaunay(q, r.value());

    // Centroid exactly 0: the zero coordinates stay signed; -0.0 comes first and is kept.
    Pts z = {1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1,
             0.5, 0.25, 0.125, -0.5, -0.25, -0.125, 0.0, 0.375, 0.25, -0.0, 0.375, 0.25,
             0.0, -0.75, -0.5};
    r = build(z);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().duplicates, (std::vector<std::array<std::uint32_t, 2>>{{8, 9}}));
    expect_delaunay(z, r.value());
}

TEST(Delaunay4d, FloatMatchesWidenedDouble) {
    std::vector<float> f(3 * 2000);
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    for (float& v : f) v = std::round(u(rng) * 64.0f) / 64.0f;  // many ties and duplicates
    const Pts d(f.begin(), f.end());
    auto a = delaunay4d(PointView<float>::dense(f.data(), 2000, 3));
    auto b = build(d);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a.value().simplices, b.value().simplices);
    EXPECT_EQ(a.value().neighbors, b.value().neighbors);
    EXPECT_EQ(a.value().duplicates, b.value().duplicates);
    expect_delaunay(d, b.value());
}

TEST(Delaunay4d, Errors) {
    EXPECT_EQ(error_of({}), "not enough distinct points (got 0)");
    EXPECT_EQ(error_of(Pts(uniform(4, 1))), "not enough distinct points (got 4)");
    Pts same = uniform(5, 1);
    for (int k = 0; k < 3; ++k) same[12 + k] = same[k];
    EXPECT_EQ(error_of(same), "not enough distinct points (got 4)");

    const std::string flat =
        "degenerate input: points are coplanar or cospherical; a full-dimensional 3D "
        "triangulation does not exist";
    EXPECT_EQ(error_of(Pts{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 1, 1, 1, 1}),
              flat);  // cube corners: one sphere
    Pts plane = uniform(50, 2);
    for (std::size_t r = 0; r < 50; ++r) plane[3 * r + 2] = 0.5 * plane[3 * r] - plane[3 * r + 1];
    EXPECT_EQ(error_of(plane), flat);
    EXPECT_EQ(error_of(Pts{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, NAN, 0, 0}), flat);

    // Five integer points on a sphere of radius 65, far from an exact centroid: the
    // rounded heights lift the fifth clear of the others' hyperplane, so all five pass the
    // seed search, and the exact test then finds it on that hyperplane.
    const Pts seed = {20, -57, 24, 60, 24, 7, 0, 52, 39, 0, 39, 52, 52, 39, 0,
                      3.3e9, 3.3e9, 3.3e9, 4400000505, 4400000197, 4400000291};
    EXPECT_EQ(error_of(seed), "degenerate input: seed simplex is degenerate");

    const double one[3] = {1, 2, 3};
    const PointView<double> huge{one, 4294967295ull, 3, 0, 1};
    auto r = delaunay4d(huge);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(),
              "degenerate input: too many points (4294967295), maximum is 4294967294");
}

// ---------------------------------------------------------------------------------------
// Hull pieces
// ---------------------------------------------------------------------------------------

// Everything up to the seed hull, as the kernel does it.
struct Hull {
    d4::Lifted l;
    std::array<double, 4> s4;
    d4::FacetStore store;
    d4::Workspace ws;
    explicit Hull(const Pts& p) : l(d4::lift_and_sort(PointView<double>::dense(p.data(), p.size() / 3, 3))) {
        EXPECT_FALSE(d4::find_seed(l.pts, l.perm));
        s4 = d4::scale_vector(l.pts);
        EXPECT_FALSE(d4::init_hull4d(l.pts.data(), s4.data(), store));
    }
    const Point4* pts() const { return l.pts.data(); }
};

// Exact sign of q against facet f's stored normal (N·u = -det[e1; e2; e3; u], exact
// heights).
int stored_side(const Point4* pts, const d4::FacetStore& st, std::uint32_t f, const double* q) {
    const std::uint32_t* v = st.links[f].v;
    const double* p0 = pts[v[0]].data();
    const double* r[4] = {pts[v[1]].data(), pts[v[2]].data(), pts[v[3]].data(), q};
    std::array<std::array<mpq_class, 4>, 4> m;
    for (int i = 0; i < 4; ++i) {
        m[i][3] = 0;
        for (int k = 0; k < 3; ++k) {
            m[i][k] = mpq_class(r[i][k]) - p0[k];
            m[i][3] += mpq_class(r[i][k]) * r[i][k] - mpq_class(p0[k]) * p0[k];
        }
    }
    return -sgn(det(m)) * (st.flags[f] & d4::PARITY ? -1 : 1);
}

TEST(Hull4d, SeedFacetsAndLinks) {
    Hull h(uniform(5, 11));
    ASSERT_EQ(h.store.size(), 5u);
    for (std::uint32_t k = 0; k < 5; ++k) {
        EXPECT_EQ(h.store.flags[k] & 3, d4::LIVE);
        for (int j = 0; j < 4; ++j) EXPECT_EQ(h.store.links[k].v[j], h.store.links[k].nb[j]);
        EXPECT_EQ(stored_side(h.pts(), h.store, k, h.pts()[k].data()), -1) << k;
    }
}

// The corners of one cell of a jittered grid are nearly cospherical, and away from the
// centroid the rounding of their heights decides the float side value. Outside the bound
// the float sign must be the exact one, and the reference is never outside. A bound that
// leaves out the heights' rounding (2^-46 · Σ P_k · scale4_k) fails both checks here.
TEST(Hull4d, SideBoundIsSound) {
    std::size_t decided = 0;
    for (int e : {24, 32, 40, 46, 52}) {
        Hull h(grid(5, std::ldexp(1.0, -e), e, 1000.0));
        std::vector<std::uint32_t> at(h.l.perm.size());  // input row -> position in pts
        for (std::uint32_t k = 0; k < at.size(); ++k) at[h.l.perm[k]] = k;
        std::mt19937 rng(static_cast<unsigned>(e));
        for (int t = 0; t < 300; ++t) {
            const std::uint32_t base = 125 * (rng() % 2) + 25 * (rng() % 4) + 5 * (rng() % 4) + rng() % 4;
            std::uint32_t c[8];
            for (std::uint32_t k = 0; k < 8; ++k) c[k] = at[base + 25 * (k >> 2) + 5 * ((k >> 1) & 1) + (k & 1)];
            std::shuffle(c, c + 8, rng);
            auto fr = d4::make_facet(h.pts(), h.s4.data(), c, c[4], nullptr);
            if (!fr.ok()) continue;  // reference exactly on the hyperplane, no fallback
            d4::FacetStore one;
            one.append();
            const d4::FacetResult& f = fr.value();
            one.links[0] = {{c[0], c[1], c[2], c[3]}, {}};
            one.flags[0] = static_cast<std::uint8_t>(d4::LIVE + d4::PARITY * f.flip);
            ASSERT_LE(stored_side(h.pts(), one, 0, h.pts()[c[4]].data()), 0);
            for (int k = 5; k < 8; ++k) {
                const double* q = h.pts()[c[k]].data();
                const double s = d4::side_value(f.normal, h.pts()[c[0]].data(), q);
                const int exact = stored_side(h.pts(), one, 0, q);
                if (std::fabs(s) > f.bound) {
                    ++decided;
                    ASSERT_EQ(s > 0 ? 1 : -1, exact) << "2^-" << e << " cell " << base;
                }
            }
        }
    }
    EXPECT_GT(decided, 20u);
}

// With the reference exactly on the hyperplane, the fallback picks the orientation.
TEST(Hull4d, FallbackOrientation) {
    Hull h(grid(3));  // many cospherical quintuples
    std::uint32_t v[4] = {0, 1, 2, 3};
    for (std::uint32_t ref = 4; ref < h.l.pts.size(); ++ref) {
        auto fr = d4::make_facet(h.pts(), h.s4.data(), v, ref, nullptr);
        if (fr.ok()) continue;
        const double up[4] = {0, 0, 0, 1};
        const double down[4] = {0, 0, 0, -1};
        auto a = d4::make_facet(h.pts(), h.s4.data(), v, ref, up);
        auto b = d4::make_facet(h.pts(), h.s4.data(), v, ref, down);
        ASSERT_TRUE(a.ok() && b.ok());
        EXPECT_GE(a.value().normal[3], 0.0);
        EXPECT_LE(b.value().normal[3], 0.0);
        EXPECT_NE(a.value().flip, b.value().flip);
        return;
    }
    FAIL() << "no reference on the hyperplane";
}

TEST(Hull4d, RidgeTable) {
    std::vector<d4::EdgeEntry> table(8);
    std::vector<std::uint32_t> touched;
    std::vector<d4::Links> links(4, d4::Links{{}, {NO_INDEX, NO_INDEX, NO_INDEX, NO_INDEX}});
    const std::uint64_t k = d4::pair_key(9, 4);
    EXPECT_EQ(k, d4::pair_key(4, 9));
    EXPECT_TRUE(d4::match_ridge(table.data(), 7, touched, links.data(), k, 0, 1));
    // A key probing into the same first index is stored next to it.
    std::uint64_t other = k + 1;
    while ((d4::pair_hash(other) & 7) != (d4::pair_hash(k) & 7)) ++other;
    EXPECT_TRUE(d4::match_ridge(table.data(), 7, touched, links.data(), other, 3, 2));
    EXPECT_TRUE(d4::match_ridge(table.data(), 7, touched, links.data(), k, 1, 3));
    EXPECT_EQ(links[0].nb[1], 1u);
    EXPECT_EQ(links[1].nb[3], 0u);
    EXPECT_FALSE(d4::match_ridge(table.data(), 7, touched, links.data(), k, 2, 1)) << "third";
    EXPECT_EQ(touched.size(), 2u);
    EXPECT_FALSE(d4::reset_table(table.data(), touched)) << "`other` never matched";
    for (const auto& e : table) EXPECT_EQ(e.key, ~std::uint64_t{0});
    touched.clear();
    EXPECT_TRUE(d4::match_ridge(table.data(), 7, touched, links.data(), k, 0, 1));
    EXPECT_TRUE(d4::match_ridge(table.data(), 7, touched, links.data(), k, 1, 2));
    EXPECT_TRUE(d4::reset_table(table.data(), touched));
}

// Insertion by insertion on hulls with many exact zeros: the walk-and-region search
// returns what the scan of every slot returns; deleted slots come back last first.
TEST(Hull4d, FindVisibleAndSlotReuse) {
    for (const Pts& p : {uniform(1500, 12), grid(6), sphere(400, 0x1p-50, 50, 13)}) {
        Hull h(p);
        for (std::uint32_t i = 5; i < h.l.pts.size(); ++i) {
            const std::uint32_t slow = d4::find_visible_scan(h.pts(), h.store, h.ws.new_facets, i);
            const std::uint32_t fast = d4::find_visible(h.pts(), h.store, h.ws, i);
            ASSERT_EQ(fast, slow) << "point " << i;
            for (auto fl : h.store.flags) ASSERT_EQ(fl & d4::VISITED, 0);
            if (fast == NO_INDEX) continue;
            const std::vector<std::uint32_t> freed = h.ws.free;
            ASSERT_FALSE(d4::insert_point(h.pts(), h.s4.data(), h.store, h.ws, i, fast));
            if (!freed.empty()) {
                EXPECT_EQ(h.ws.new_facets[0], freed.back());
            }
            const std::size_t k = h.ws.visible.size();
            ASSERT_GE(h.ws.free.size(), k);
            EXPECT_TRUE(std::equal(h.ws.visible.begin(), h.ws.visible.end(), h.ws.free.end() - k));
        }
    }
    // Whole builds with either search are identical.
    for (const Pts& p : {uniform(800, 14), grid(5, 0x1p-40)}) {
        Hull h(p);
        ASSERT_FALSE(d4::insert_all(h.pts(), h.l.pts.size(), h.s4.data(), h.store, h.ws, true));
        Out slow;
        d4::compact_output(h.pts(), h.store, h.l.perm.data(), slow);
        auto fast = build(p);
        ASSERT_TRUE(fast.ok());
        EXPECT_EQ(fast.value().simplices, slow.simplices);
        EXPECT_EQ(fast.value().neighbors, slow.neighbors);
    }
}

TEST(Hull4d, CorruptHulls) {
    const Pts p = uniform(6, 15);
    // Insertion of point 5 from facet 0 with every other facet made invisible.
    const auto insert_into = [](Hull& h) {
        for (std::uint32_t g = 1; g < 5; ++g) h.store.planes[g] = {{0, 0, 0, 0}, -1.0};
        const auto err = d4::insert_point(h.pts(), h.s4.data(), h.store, h.ws, 5, 0);
        return err ? err->message() : "no error";
    };
    {
        Hull h(p);
        EXPECT_EQ(insert_into(h), "no error");
        EXPECT_EQ(h.ws.new_facets.size(), 4u);
    }
    {
        Hull h(p);
        for (auto& nb : h.store.links[1].nb) {
            if (nb == 0) nb = 2;
        }
        EXPECT_EQ(insert_into(h), "internal corruption: horizon neighbor does not link back to visible facet");
    }
    {
        Hull h(p);
        const std::uint32_t* v = h.store.links[0].v;  // ridge opposite v[0] leads to 1
        h.store.links[1] = {{v[1], v[2], v[3], v[1]}, {0, 2, 3, 4}};
        EXPECT_EQ(insert_into(h), "internal corruption: neighbor facet shares all four vertices");
    }
    {   // every facet seen: nothing left for a horizon
        Hull h(p);
        for (std::uint32_t g = 0; g < 5; ++g) {
            const Point4& q = h.l.pts[5];
            const Point4& o = h.l.pts[h.store.links[g].v[0]];
            h.store.planes[g] = {{q[0] - o[0], q[1] - o[1], q[2] - o[2], q[3] - o[3]}, 0.0};
        }
        const auto err = d4::insert_point(h.pts(), h.s4.data(), h.store, h.ws, 5, 0);
        ASSERT_TRUE(err);
        EXPECT_EQ(err->message(), "internal corruption: no horizon ridges found for inserted point");
    }
    // The guard counts every slot ever made, live or not; 60·6 + 1000 slots still pass.
    for (std::size_t slots : {1360u, 1361u}) {
        Hull h(p);
        while (h.store.size() < slots) h.store.flags[h.store.append()] = 0;
        const auto err = d4::insert_all(h.pts(), 6, h.s4.data(), h.store, h.ws);
        EXPECT_EQ(err ? err->message() : "no error",
                  slots == 1360 ? "no error"
                                : "internal corruption: facet count exploded (numerically adversarial input?)");
    }
}

}  // namespace

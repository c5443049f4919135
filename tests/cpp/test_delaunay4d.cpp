// Sequential 3D kernel, below what the Python suite sees: whole builds on the near-degenerate
// families that stress the float filter, checked with rationals; the two errors Python cannot
// reach; and the pieces of the hull (facet planes and their bound, seed links, ridge table,
// slot reuse, the fast search for a visible facet against the scan of every slot).
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
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

// Cofactor expansion along the first row; with Abs, the permanent of |entries|.
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
                for (std::size_t j = 0, o = 0; j < K; ++j) if (j != c) minor[r - 1][o++] = m[r][j];
            }
            if constexpr (Abs) s += std::fabs(m[0][c]) * det<true>(minor);
            else s += (c % 2 ? -1 : 1) * m[0][c] * det(minor);
        }
        return s;
    }
}

// The rows p_r - o, with |p_r - o|² as a fourth column when K = 4.
template <class N, std::size_t K>
std::array<std::array<N, K>, K> diff_rows(const double* const* p, const double* o) {
    std::array<std::array<N, K>, K> m;
    for (std::size_t r = 0; r < K; ++r) {
        m[r][K - 1] = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            m[r][k] = N(p[r][k]) - o[k];
            if constexpr (K == 4) m[r][3] += m[r][k] * m[r][k];
        }
    }
    return m;
}

// Exact sign of det(diff_rows): the float value when it clears 1e-12 of the permanent (far
// outside its rounding), else rationals.
template <std::size_t K>
int diff_det_sign(const double* const* p, const double* o) {
    const auto f = diff_rows<double, K>(p, o);
    const double d = det(f);
    if (std::fabs(d) > 1e-12 * det<true>(f)) return d > 0 ? 1 : -1;
    return sgn(det(diff_rows<mpq_class, K>(p, o)));
}

// Sign of det(b - a, c - a, d - a): positive for the kernel's orientation.
int orient(const double* a, const double* b, const double* c, const double* d) {
    const double* p[3] = {b, c, d};
    return diff_det_sign<3>(p, a);
}

// > 0 when e lies strictly inside the circumsphere of the non-flat tetrahedron a, b, c, d.
int in_sphere(const double* a, const double* b, const double* c, const double* d, const double* e) {
    const double* p[4] = {a, b, c, d};
    return -diff_det_sign<4>(p, e) * orient(a, b, c, d);
}

Result<Out> build(const Pts& p) { return delaunay4d(PointView<double>::dense(p.data(), p.size() / 3, 3)); }

// The contract of a successful build, exactly in the caller's coordinates: positive
// tetrahedra, symmetric neighbours with entry k facing vertex
// k, -1 faces on the convex hull (against a sample of the points), empty circumspheres
// across every face, every point a vertex or dropped once as a copy of a kept vertex.
void expect_delaunay(const Pts& in) {
    auto res = build(in);
    ASSERT_TRUE(res.ok()) << res.error().message();
    const Out& out = res.value();
    const std::size_t n = in.size() / 3, m = out.simplices.size();
    const auto P = [&](std::uint32_t v) { return in.data() + 3 * std::size_t{v}; };
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
            if (u < 0) {
                for (std::uint32_t q = 0; q < n; q += static_cast<std::uint32_t>(n / 300 + 1)) {
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
    }
    for (const auto& d : out.duplicates) {
        ASSERT_TRUE(role[d[0]] == 0 && role[d[1]] == 1) << d[0] << " -> " << d[1];
        for (int k = 0; k < 3; ++k) ASSERT_EQ(P(d[0])[k], P(d[1])[k]);
        role[d[0]] = 2;
    }
    EXPECT_EQ(std::count(role.begin(), role.end(), 0), 0) << "points lost";
}

Pts uniform(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Pts p(3 * n);
    for (double& v : p) v = u(rng);
    return p;
}

// Integer k³ grid, jittered by up to `jitter`; with a shift, two copies at x = ±shift, so
// that every cell lies far from the centroid.
Pts grid(int k, double jitter = 0.0, std::uint64_t seed = 1, double shift = 0.0) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-jitter, jitter);
    const auto jit = [&] { return jitter > 0 ? u(rng) : 0.0; };
    Pts p;
    for (double d : shift > 0 ? Pts{-shift, shift} : Pts{0.0}) {
        for (int x = 0; x < k; ++x) for (int y = 0; y < k; ++y) for (int z = 0; z < k; ++z) {
            for (double v : {x + d, double(y), double(z)}) p.push_back(v + jit());
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

// Nearly coplanar and cocircular quadruples, where the rounding of the heights decides the
// float side value; a facet bound without that rounding (2^-46 · Σ P_k · scale4_k) breaks
// these builds.
TEST(Delaunay4d, JitteredNearDegenerate) {
    for (int e : {20, 32, 40, 44, 46, 48, 52}) {
        const double j = std::ldexp(1.0, -e);
        for (const Pts& p : {grid(8, j, e), grid(5, j, e, 100.0), grid(5, j, e, 1000.0)}) {
            SCOPED_TRACE(testing::Message() << "2^-" << e << ", " << p.size() / 3 << " points");
            expect_delaunay(p);
        }
    }
}

TEST(Delaunay4d, ErrorsBelowPython) {
    // Five integer points on a sphere of radius 65, far from an exact centroid: the rounded
    // heights lift the fifth clear of the others' hyperplane, so all five pass the float
    // seed search, and the exact test then finds it on that hyperplane. The exact search
    // seeds with a far point instead.
    expect_delaunay({20, -57, 24, 60, 24, 7, 0, 52, 39, 0, 39, 52, 52, 39, 0,
                     3.3e9, 3.3e9, 3.3e9, 4400000505, 4400000197, 4400000291});
    // Three collinear points, one off their line in their plane, one an ulp off the plane:
    // the exact search must come back to a point it passed over for the line.
    const double x = 9.5367431640625e-07, y = std::nextafter(x, 0.0);
    expect_delaunay({x, 0, 0, y, 0, 0, y, 0.99999999999999989, -1.0000000000000002,
                     y, 0.49999999999999994, -0.50000000000000011,
                     y, 0.74999999999999989, -0.75000000000000011});
    const double one[3] = {1, 2, 3};  // zero row stride: no memory behind the count
    auto r = delaunay4d(PointView<double>{one, 2147483649ull, 3, 0, 1});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "degenerate input: too many points (2147483649), maximum is 2147483648");
}

// Everything up to the seed hull, as the kernel does it.
struct Hull {
    d4::Lifted l;
    std::array<double, 4> s4;
    d4::FacetStore store;
    d4::Workspace ws;
    explicit Hull(const Pts& p) : l(d4::lift_and_sort(PointView<double>::dense(p.data(), p.size() / 3, 3))) {
        s4 = d4::scale_vector(l.pts);
        EXPECT_FALSE(d4::find_seed(l.pts, l.perm, s4));
        EXPECT_FALSE(d4::init_hull4d(l.pts.data(), s4.data(), store));
    }
    const Point4* pts() const { return l.pts.data(); }
};

// Exact sign of q against a stored normal of the facet v with parity flag `flags`:
// N·u = -det[e1; e2; e3; u], whose height column may be taken relative to v[0] exactly.
int stored_side(const Point4* pts, const std::uint32_t* v, std::uint8_t flags, const double* q) {
    const double* r[4] = {pts[v[1]].data(), pts[v[2]].data(), pts[v[3]].data(), q};
    return -diff_det_sign<4>(r, pts[v[0]].data()) * (flags & d4::PARITY ? -1 : 1);
}

TEST(Hull4d, SeedFacetsAndLinks) {
    Hull h(uniform(5, 11));
    ASSERT_EQ(h.store.size(), 5u);
    for (std::uint32_t k = 0; k < 5; ++k) {
        EXPECT_EQ(h.store.flags[k] & 3, d4::LIVE);
        for (int j = 0; j < 4; ++j) EXPECT_EQ(h.store.links[k].v[j], h.store.links[k].nb[j]);
        EXPECT_EQ(stored_side(h.pts(), h.store.links[k].v, h.store.flags[k], h.pts()[k].data()), -1) << k;
    }
}

// The corners of one cell of a jittered grid are nearly cospherical, and away from the
// centroid the rounding of their heights decides the float side value. make_facet puts the
// reference on the negative side, and outside the bound the float sign is the exact one.
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
            const d4::FacetResult& f = fr.value();
            const auto fl = static_cast<std::uint8_t>(d4::PARITY * f.flip);
            ASSERT_EQ(stored_side(h.pts(), c, fl, h.pts()[c[4]].data()), -1) << "2^-" << e;
            for (int k = 5; k < 8; ++k) {
                const double* q = h.pts()[c[k]].data();
                const double s = d4::side_value(f.normal, h.pts()[c[0]].data(), q);
                if (std::fabs(s) <= f.bound) continue;
                ++decided;
                ASSERT_EQ(s > 0 ? 1 : -1, stored_side(h.pts(), c, fl, q)) << "2^-" << e << " cell " << base;
            }
        }
    }
    EXPECT_GT(decided, 20u);
}

// With the reference exactly on the hyperplane, the fallback picks the orientation, and
// without one make_facet reports the degenerate seed.
TEST(Hull4d, FallbackOrientation) {
    Hull h(grid(3));  // many cospherical quintuples
    const std::uint32_t v[4] = {0, 1, 2, 3};
    const double up[4] = {0, 0, 0, 1}, down[4] = {0, 0, 0, -1};
    for (std::uint32_t ref = 4; ref < h.l.pts.size(); ++ref) {
        auto fr = d4::make_facet(h.pts(), h.s4.data(), v, ref, nullptr);
        if (fr.ok()) continue;
        EXPECT_EQ(fr.error().message(), "degenerate input: seed simplex is degenerate");
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
    const auto match = [&](std::uint64_t key, std::uint32_t slot, std::uint8_t pos) {
        return d4::match_ridge(table.data(), 7, touched, links.data(), key, slot, pos);
    };
    const std::uint64_t k = d4::pair_key(9, 4);
    EXPECT_EQ(k, d4::pair_key(4, 9));
    std::uint64_t other = k + 1;  // probes into the same first index: stored next to k
    while ((d4::pair_hash(other) & 7) != (d4::pair_hash(k) & 7)) ++other;
    EXPECT_TRUE(match(k, 0, 1));
    EXPECT_TRUE(match(other, 3, 2));
    EXPECT_TRUE(match(k, 1, 3));
    EXPECT_EQ(links[0].nb[1], 1u);
    EXPECT_EQ(links[1].nb[3], 0u);
    EXPECT_EQ(links[3].nb[2], NO_INDEX);
    EXPECT_FALSE(match(k, 2, 1)) << "third facet on one ridge";
    EXPECT_EQ(touched.size(), 2u);
    EXPECT_FALSE(d4::reset_table(table.data(), touched)) << "`other` never matched";
    for (const auto& e : table) EXPECT_EQ(e.key, ~std::uint64_t{0});
    touched.clear();
    EXPECT_TRUE(match(k, 0, 1));  // stored afresh, not a third facet
    EXPECT_TRUE(match(k, 1, 2));
    EXPECT_TRUE(d4::reset_table(table.data(), touched));
}

// Insertion by insertion on hulls with many exact zeros: the walk-and-region search returns
// what the scan of every slot returns (the hint, else the visible facet of highest slot), and
// deleted slots come back last first. Whole builds with either search are identical.
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

// Rows past the int32 limit are refused by their count, before any is made; at the
// limit they are the kernel's own.
TEST(Hull4d, CompactionRefusesRowsPastItsLimit) {
    const Pts p = uniform(300, 21);
    Hull h(p);
    ASSERT_FALSE(d4::insert_all(h.pts(), h.l.pts.size(), h.s4.data(), h.store, h.ws));
    const auto whole = build(p);
    ASSERT_TRUE(whole.ok());
    const std::uint64_t m = whole.value().simplices.size();
    Out over;
    const auto err = d4::compact_output(h.pts(), h.store, h.l.perm.data(), over, m - 1);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->message(), "degenerate input: too many tetrahedra (" + std::to_string(m) +
                                  ") for int32 indices, maximum is " + std::to_string(m - 1));
    EXPECT_EQ(over.simplices.capacity() + over.neighbors.capacity(), 0u);
    Out at;
    EXPECT_FALSE(d4::compact_output(h.pts(), h.store, h.l.perm.data(), at, m));
    EXPECT_EQ(at.simplices, whole.value().simplices);
    EXPECT_EQ(at.neighbors, whole.value().neighbors);
}

// The guard counts every slot ever made, live or not; 60·6 + 1000 slots still pass.
TEST(Hull4d, FacetGuardBoundary) {
    for (std::size_t slots : {1360u, 1361u}) {
        Hull h(uniform(6, 15));
        while (h.store.size() < slots) h.store.flags[h.store.append()] = 0;
        const auto err = d4::insert_all(h.pts(), 6, h.s4.data(), h.store, h.ws);
        EXPECT_EQ(err ? err->message() : "no error",
                  slots == 1360 ? "no error"
                                : "internal corruption: facet count exploded (numerically adversarial input?)");
    }
}

}  // namespace

// Mesh queries: circumradii of 2D/3D simplices and the CSR vertex adjacency.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "alpha/circumradii.h"
#include "core/csr_adjacency.h"

namespace {

using kavro::CsrAdjacency;
using kavro::PointView;
using kavro::SimplexView;
using kavro::alpha::circumradii;
using Tri = std::array<std::uint32_t, 3>;
using Tet = std::array<std::uint32_t, 4>;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------
// Circumradii
// ---------------------------------------------------------------------------------------

template <class T, std::size_t K>
std::vector<double> radii(const std::vector<T>& flat, std::size_t dim,
                          const std::vector<std::array<std::uint32_t, K>>& simplices) {
    auto res = circumradii<T, K>(PointView<T>::dense(flat.data(), flat.size() / dim, dim),
                                 simplices);
    EXPECT_TRUE(res.ok()) << res.error();
    return res.ok() ? res.value() : std::vector<double>{};
}

template <class T, std::size_t K>
std::string radii_error(const std::vector<T>& flat, std::size_t dim,
                        const std::vector<std::array<std::uint32_t, K>>& simplices) {
    auto res = circumradii<T, K>(PointView<T>::dense(flat.data(), flat.size() / dim, dim),
                                 simplices);
    EXPECT_FALSE(res.ok());
    return res.ok() ? std::string() : res.error();
}

std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

// Cases whose every intermediate value is an exact small integer or dyadic fraction, so the
// radius is the correctly rounded sqrt of the true squared radius whatever the vertex order,
// orientation or (exactly representable) translation.
TEST(Circumradii, TrianglesWithExactRadiiInSimplexOrder) {
    const double o = 1e12;
    const std::vector<double> pts = {
        0, 0,  1, 0,  0, 1,  4, 0,  0, 2,    // right triangles with legs 1,1 and 4,2
        o, o,  o + 4, o,  o, o + 2,          // the second one, far from the origin
    };
    const std::vector<Tri> tris = {{0, 1, 2}, {0, 3, 4}, {0, 4, 3}, {3, 4, 0}, {5, 6, 7}};
    EXPECT_EQ(radii(pts, 2, tris),
              (std::vector<double>{std::sqrt(0.5), std::sqrt(5.0), std::sqrt(5.0),
                                   std::sqrt(5.0), std::sqrt(5.0)}));
}

TEST(Circumradii, TetrahedraWithExactRadiiInSimplexOrder) {
    const double o = 1e9;
    const std::vector<double> pts = {
        0, 0, 0,  1, 0, 0,  0, 1, 0,  0, 0, 1,              // unit corner tetrahedron
        2, 0, 0,  0, 4, 0,  0, 0, 6,                        // centre (1, 2, 3) with vertex 0
        o, o, o,  o + 2, o, o,  o, o + 4, o,  o, o, o + 6,  // the same, translated
    };
    // {4, 5, 6, 0} starts at a vertex off the axes, so every cross-product component and
    // every numerator term contributes; {0, 5, 4, 6} is negatively oriented.
    const std::vector<Tet> tets = {{0, 1, 2, 3}, {0, 4, 5, 6}, {0, 5, 4, 6}, {4, 5, 6, 0},
                                   {7, 8, 9, 10}};
    EXPECT_EQ(radii(pts, 3, tets),
              (std::vector<double>{std::sqrt(0.75), std::sqrt(14.0), std::sqrt(14.0),
                                   std::sqrt(14.0), std::sqrt(14.0)}));
}

// Reference bits computed separately in plain IEEE float64 arithmetic (no fused
// multiply-add) with the same evaluation order. They change if a sum is regrouped, a
// division becomes a reciprocal multiplication, or the compiler contracts a*b+c into an
// FMA, any of which would make radii differ between builds and platforms.
TEST(Circumradii, RadiiAreReproducibleBitForBit) {
    const std::vector<double> p2 = {
        0.1, 0.7,  1.3, -0.2,  0.45, 1.9,  -0.8, 0.35,  2.2, 1.1,
        1000.3, 999.7,  1001.9, 1000.1,  1000.6, 1002.45,
    };
    const std::vector<Tri> tris = {{0, 1, 2}, {1, 2, 3}, {3, 4, 0}, {2, 4, 1},
                                   {0, 3, 2}, {5, 6, 7}, {7, 5, 6}, {4, 3, 1}};
    EXPECT_EQ(bits(radii(p2, 2, tris)),
              bits({0x1.35cff046d3767p+0, 0x1.3df18cbc4ec4ap+0, 0x1.105e595038613p+3,
                    0x1.269312e81b1d2p+0, 0x1.414fec5b4c0b5p+0, 0x1.6e6efd66524b2p+0,
                    0x1.6e6efd66524b2p+0, 0x1.a545666d4b5e2p+0}));

    const std::vector<double> p3 = {
        0.1, 0.7, -0.3,  1.3, -0.2, 0.55,  0.45, 1.9, 0.8,  -0.8, 0.35, 1.7,
        2.2, 1.1, -0.65,  0.9, -1.4, 0.25,
        500.3, 499.7, 500.1,  501.9, 500.1, 499.2,  500.6, 502.45, 500.8,  499.1, 500.5, 502.3,
    };
    // Chosen so that every alternative grouping of each three-term sum changes at least two
    // of the results.
    const std::vector<Tet> tets = {{0, 1, 2, 3}, {1, 2, 3, 4}, {4, 0, 5, 2}, {5, 3, 1, 0},
                                   {2, 5, 4, 3}, {6, 7, 8, 9}, {9, 6, 8, 7}, {3, 4, 5, 1},
                                   {2, 8, 7, 1}, {7, 2, 4, 6}, {0, 5, 1, 3}, {0, 1, 3, 2}};
    EXPECT_EQ(bits(radii(p3, 3, tets)),
              bits({0x1.564baf33183c2p+0, 0x1.58dda602a7280p+2, 0x1.ee4fba9b12bcdp+0,
                    0x1.7b442823d098dp+0, 0x1.7d24e614c3adfp+6, 0x1.e65440e5075bbp+1,
                    0x1.e65440e5075bcp+1, 0x1.f68aa505fe8e6p+1, 0x1.f23a589ea79aap+9,
                    0x1.0a9ab4b3cc8cfp+9, 0x1.7b442823d0990p+0, 0x1.564baf33183c2p+0}));
}

TEST(Circumradii, DegenerateSimplicesArePositiveInfinity) {
    const std::vector<double> pts2 = {0, 0, 1, 0, 1, 1, 2, 2, 3, 3};
    const std::vector<Tri> tris = {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}, {1, 1, 1},
                                   {2, 3, 4}, {0, 4, 2}};  // the last two collinear
    EXPECT_EQ(radii(pts2, 2, tris), std::vector<double>(tris.size(), INF));

    const std::vector<double> pts3 = {
        0, 0, 0,  1, 0, 0,  0, 1, 0,  1, 1, 0,  // plane z = 0
        1, 0, 1,  0, 1, 1,  1, 1, 2,            // with vertex 0: plane z = x + y
    };
    const std::vector<Tet> tets = {
        {0, 1, 2, 3}, {0, 4, 5, 6}, {6, 5, 0, 4},  // coplanar
        {0, 0, 1, 2}, {0, 1, 0, 2}, {0, 1, 2, 0},  // first vertex repeated
        {3, 1, 2, 2},                              // c == d
    };
    EXPECT_EQ(radii(pts3, 3, tets), std::vector<double>(tets.size(), INF));
}

TEST(Circumradii, NaNCoordinatesPropagateWithoutError) {
    const std::vector<double> pts2 = {0, 0, 1, 0, 0, 1, NaN, 0};
    const auto r2 = radii(pts2, 2, std::vector<Tri>{{0, 1, 2}, {0, 1, 3}, {3, 1, 2}});
    ASSERT_EQ(r2.size(), 3u);
    EXPECT_EQ(r2[0], std::sqrt(0.5));
    EXPECT_TRUE(std::isnan(r2[1]));
    EXPECT_TRUE(std::isnan(r2[2]));

    const std::vector<double> pts3 = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, NaN, 0};
    const auto r3 = radii(pts3, 3, std::vector<Tet>{{4, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 4, 3}});
    ASSERT_EQ(r3.size(), 3u);
    EXPECT_TRUE(std::isnan(r3[0]));
    EXPECT_EQ(r3[1], std::sqrt(0.75));
    EXPECT_TRUE(std::isnan(r3[2]));
}

TEST(Circumradii, ShapeIsTestedFirstEvenWithoutSimplices) {
    const std::vector<double> p3 = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const std::vector<double> p2 = {0, 0, 1, 0, 0, 1, 1, 1};
    const std::vector<double> p4 = {0, 0, 0, 0};

    EXPECT_EQ(radii_error(p3, 3, std::vector<Tri>{}),
              "circumradii: unsupported 3D points with 3-vertex simplices "
              "(expected 2D/3 or 3D/4)");
    EXPECT_EQ(radii_error(p2, 2, std::vector<Tet>{}),
              "circumradii: unsupported 2D points with 4-vertex simplices "
              "(expected 2D/3 or 3D/4)");
    EXPECT_EQ(radii_error(p4, 4, std::vector<Tet>{{0, 0, 0, 0}}),
              "circumradii: unsupported 4D points with 4-vertex simplices "
              "(expected 2D/3 or 3D/4)");
    // An out-of-range vertex does not pre-empt the shape error.
    EXPECT_EQ(radii_error(p3, 3, std::vector<Tri>{{0, 1, 99}}),
              "circumradii: unsupported 3D points with 3-vertex simplices "
              "(expected 2D/3 or 3D/4)");
    const std::vector<float> f2 = {0, 0, 1, 0};
    EXPECT_EQ(radii_error(f2, 2, std::vector<Tet>{}),
              "circumradii: unsupported 2D points with 4-vertex simplices "
              "(expected 2D/3 or 3D/4)");

    EXPECT_TRUE(radii(p2, 2, std::vector<Tri>{}).empty());
    EXPECT_TRUE(radii(p3, 3, std::vector<Tet>{}).empty());
}

TEST(Circumradii, FirstOutOfRangeVertexInRowMajorOrderIsReported) {
    const std::vector<double> p2 = {0, 0, 1, 0, 0, 1};  // 3 points
    // Row-major the first bad vertex is 9; column by column it would be 8.
    EXPECT_EQ(radii_error(p2, 2, std::vector<Tri>{{0, 1, 2}, {0, 1, 9}, {8, 1, 2}}),
              "simplex vertex 9 out of range for 3 points");
    // n itself is out of range; n - 1 is fine.
    EXPECT_EQ(radii_error(p2, 2, std::vector<Tri>{{2, 2, 3}}),
              "simplex vertex 3 out of range for 3 points");
    EXPECT_EQ(radii(p2, 2, std::vector<Tri>{{2, 1, 0}}).size(), 1u);
    // A -1 from the int32 array arrives reinterpreted as unsigned.
    EXPECT_EQ(radii_error(p2, 2, std::vector<Tri>{{0, 1, 4294967295u}}),
              "simplex vertex 4294967295 out of range for 3 points");
    EXPECT_EQ(radii_error(std::vector<double>{}, 2, std::vector<Tri>{{0, 0, 0}}),
              "simplex vertex 0 out of range for 0 points");

    const std::vector<double> p3 = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};  // 4 points
    EXPECT_EQ(radii_error(p3, 3, std::vector<Tet>{{0, 1, 2, 3}, {0, 1, 2, 4}, {7, 0, 0, 0}}),
              "simplex vertex 4 out of range for 4 points");
    const std::vector<float> f3(p3.begin(), p3.end());
    EXPECT_EQ(radii_error(f3, 3, std::vector<Tet>{{0, 2147483648u, 2, 3}}),
              "simplex vertex 2147483648 out of range for 4 points");
}

template <std::size_t K>
std::vector<std::array<std::uint32_t, K>> random_simplices(std::mt19937& rng, std::size_t n,
                                                           std::size_t m) {
    std::uniform_int_distribution<std::uint32_t> pick(0, static_cast<std::uint32_t>(n - 1));
    std::vector<std::array<std::uint32_t, K>> out(m);
    for (auto& s : out)
        for (auto& v : s) v = pick(rng);
    return out;
}

// float32 coordinates with full 24-bit mantissas, so widening and the float64 arithmetic
// after it are both exercised; also read through a column-major and a padded view.
template <std::size_t K>
void check_float32_matches_widened_float64(std::uint32_t seed) {
    constexpr std::size_t D = K - 1;
    const std::size_t n = 300;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coord(-1000.0f, 1000.0f);
    std::vector<float> f(n * D);
    for (auto& x : f) x = coord(rng);
    const std::vector<double> widened(f.begin(), f.end());
    const auto simplices = random_simplices<K>(rng, n, 2000);

    const auto expected = bits(radii(widened, D, simplices));
    ASSERT_EQ(expected.size(), simplices.size());
    EXPECT_EQ(bits(radii(f, D, simplices)), expected);

    std::vector<float> col_major(n * D);
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t c = 0; c < D; ++c) col_major[c * n + r] = f[r * D + c];
    const PointView<float> cm{col_major.data(), n, D, 1, static_cast<std::ptrdiff_t>(n)};
    auto res_cm = circumradii<float, K>(cm, simplices);
    ASSERT_TRUE(res_cm.ok());
    EXPECT_EQ(bits(res_cm.value()), expected);

    // The padding column holds NaN: reading it by mistake would show up in every radius.
    std::vector<float> padded(n * (D + 1), std::numeric_limits<float>::quiet_NaN());
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t c = 0; c < D; ++c) padded[r * (D + 1) + c] = f[r * D + c];
    const PointView<float> pv{padded.data(), n, D, static_cast<std::ptrdiff_t>(D + 1), 1};
    auto res_pv = circumradii<float, K>(pv, simplices);
    ASSERT_TRUE(res_pv.ok());
    EXPECT_EQ(bits(res_pv.value()), expected);
}

TEST(Circumradii, Float32EqualsWidenedFloat64BitForBitThroughAnyStrides) {
    check_float32_matches_widened_float64<3>(11);
    check_float32_matches_widened_float64<4>(12);
}

// An independent long double reference: R = |a - b| |b - c| |c - a| / (2 |det|) for a
// triangle, and Gaussian elimination of 2 (p_i - a) . u = |p_i - a|^2 for a tetrahedron.
long double reference_radius_2d(const double* a, const double* b, const double* c) {
    auto dist = [](const double* p, const double* q) {
        const long double dx = static_cast<long double>(p[0]) - q[0];
        const long double dy = static_cast<long double>(p[1]) - q[1];
        return std::sqrt(dx * dx + dy * dy);
    };
    const long double det = (static_cast<long double>(b[0]) - a[0]) * (c[1] - a[1]) -
                            (static_cast<long double>(b[1]) - a[1]) * (c[0] - a[0]);
    return dist(a, b) * dist(b, c) * dist(c, a) / (2 * std::fabs(det));
}

long double reference_radius_3d(const double* a, const double* const* others) {
    long double m[3][4];
    for (int i = 0; i < 3; ++i) {
        long double sq = 0;
        for (int j = 0; j < 3; ++j) {
            const long double e = static_cast<long double>(others[i][j]) - a[j];
            m[i][j] = 2 * e;
            sq += e * e;
        }
        m[i][3] = sq;
    }
    for (int col = 0; col < 3; ++col) {
        int piv = col;
        for (int r = col + 1; r < 3; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[piv][col])) piv = r;
        for (int j = 0; j < 4; ++j) std::swap(m[col][j], m[piv][j]);
        for (int r = 0; r < 3; ++r) {
            if (r == col) continue;
            const long double f = m[r][col] / m[col][col];
            for (int j = col; j < 4; ++j) m[r][j] -= f * m[col][j];
        }
    }
    long double s = 0;
    for (int i = 0; i < 3; ++i) {
        const long double u = m[i][3] / m[i][i];
        s += u * u;
    }
    return std::sqrt(s);
}

TEST(Circumradii, WellShapedRandomSimplicesAgreeWithIndependentReference) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> coord(-3.0, 5.0);
    const std::size_t n = 400;

    std::vector<double> p2(n * 2);
    for (auto& x : p2) x = coord(rng);
    const auto tris = random_simplices<3>(rng, n, 3000);
    const auto r2 = radii(p2, 2, tris);
    ASSERT_EQ(r2.size(), tris.size());
    int checked2 = 0;
    for (std::size_t i = 0; i < tris.size(); ++i) {
        const double* a = &p2[2 * tris[i][0]];
        const double* b = &p2[2 * tris[i][1]];
        const double* c = &p2[2 * tris[i][2]];
        const double det = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
        if (std::fabs(det) < 0.5) continue;  // keep to well-conditioned triangles
        ++checked2;
        const long double ref = reference_radius_2d(a, b, c);
        EXPECT_NEAR(static_cast<double>((r2[i] - ref) / ref), 0.0, 1e-11) << "triangle " << i;
    }
    EXPECT_GT(checked2, 1000);

    std::vector<double> p3(n * 3);
    for (auto& x : p3) x = coord(rng);
    const auto tets = random_simplices<4>(rng, n, 3000);
    const auto r3 = radii(p3, 3, tets);
    ASSERT_EQ(r3.size(), tets.size());
    int checked3 = 0;
    for (std::size_t i = 0; i < tets.size(); ++i) {
        const double* a = &p3[3 * tets[i][0]];
        const double* o[3] = {&p3[3 * tets[i][1]], &p3[3 * tets[i][2]], &p3[3 * tets[i][3]]};
        double e[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) e[r][c] = o[r][c] - a[c];
        const double vol = e[0][0] * (e[1][1] * e[2][2] - e[1][2] * e[2][1]) -
                           e[0][1] * (e[1][0] * e[2][2] - e[1][2] * e[2][0]) +
                           e[0][2] * (e[1][0] * e[2][1] - e[1][1] * e[2][0]);
        if (std::fabs(vol) < 2.0) continue;
        ++checked3;
        const long double ref = reference_radius_3d(a, o);
        EXPECT_NEAR(static_cast<double>((r3[i] - ref) / ref), 0.0, 1e-11) << "tetrahedron " << i;
    }
    EXPECT_GT(checked3, 1000);
}

TEST(Circumradii, SingleSimplexFormulasMatchTheBatch) {
    const double a[3] = {0, 0, 0}, b[3] = {2, 0, 0}, c[3] = {0, 4, 0}, d[3] = {0, 0, 6};
    EXPECT_EQ(kavro::alpha::circumradius_3d(b, c, d, a), std::sqrt(14.0));
    EXPECT_EQ(kavro::alpha::circumradius_3d(a, b, c, c), INF);
    const double p[2] = {1, 1}, q[2] = {5, 1}, r[2] = {1, 3};
    EXPECT_EQ(kavro::alpha::circumradius_2d(q, r, p), std::sqrt(5.0));

    const std::vector<double> pts = {1.5, -2.25, 3.0, 7.0, 0.0, 1.0};
    const auto v = kavro::alpha::to_vec<2>(PointView<double>::dense(pts.data(), 3, 2));
    EXPECT_EQ(v, (std::vector<std::array<double, 2>>{{1.5, -2.25}, {3.0, 7.0}, {0.0, 1.0}}));
}

// ---------------------------------------------------------------------------------------
// CSR adjacency
// ---------------------------------------------------------------------------------------

SimplexView dense(const std::vector<std::int32_t>& flat, std::size_t k) {
    return SimplexView{flat.data(), k == 0 ? 0 : flat.size() / k, k,
                       static_cast<std::ptrdiff_t>(k), 1};
}

CsrAdjacency csr_ok(const SimplexView& v, std::uint64_t n) {
    auto res = kavro::csr_adjacency(v, n);
    EXPECT_TRUE(res.ok()) << res.error();
    return res.ok() ? std::move(res.value()) : CsrAdjacency{};
}

std::string csr_error(const SimplexView& v, std::uint64_t n) {
    auto res = kavro::csr_adjacency(v, n);
    EXPECT_FALSE(res.ok());
    return res.ok() ? std::string() : res.error();
}

using I32 = std::vector<std::int32_t>;

TEST(CsrAdjacency, SmallMeshesGiveExactArrays) {
    // Two triangles sharing the edge 1-2.
    auto two = csr_ok(dense({0, 1, 2, 1, 2, 3}, 3), 4);
    EXPECT_EQ(two.indptr, (I32{0, 2, 5, 8, 10}));
    EXPECT_EQ(two.indices, (I32{1, 2, 0, 2, 3, 0, 1, 3, 1, 2}));

    // Vertices in no simplex, including the last one, get empty ranges.
    auto sparse = csr_ok(dense({0, 2, 4}, 3), 6);
    EXPECT_EQ(sparse.indptr, (I32{0, 2, 2, 4, 4, 6, 6}));
    EXPECT_EQ(sparse.indices, (I32{2, 4, 0, 4, 0, 2}));

    // A tetrahedron and an edge list (k = 2).
    auto tet = csr_ok(dense({3, 1, 0, 2}, 4), 4);
    EXPECT_EQ(tet.indptr, (I32{0, 3, 6, 9, 12}));
    EXPECT_EQ(tet.indices, (I32{1, 2, 3, 0, 2, 3, 0, 1, 3, 0, 1, 2}));
    auto edges = csr_ok(dense({2, 0, 0, 1, 1, 2, 0, 2}, 2), 3);
    EXPECT_EQ(edges.indptr, (I32{0, 2, 4, 6}));
    EXPECT_EQ(edges.indices, (I32{1, 2, 0, 2, 0, 1}));
}

TEST(CsrAdjacency, RepeatedVertexInARowIsItsOwnNeighbour) {
    auto a = csr_ok(dense({0, 0, 1}, 3), 2);
    EXPECT_EQ(a.indptr, (I32{0, 2, 3}));
    EXPECT_EQ(a.indices, (I32{0, 1, 0}));

    auto b = csr_ok(dense({0, 0, 0}, 3), 1);
    EXPECT_EQ(b.indptr, (I32{0, 1}));
    EXPECT_EQ(b.indices, (I32{0}));
}

TEST(CsrAdjacency, EmptyInputsAndNarrowRows) {
    auto none = csr_ok(dense({}, 3), 0);
    EXPECT_EQ(none.indptr, (I32{0}));
    EXPECT_TRUE(none.indices.empty());

    auto isolated = csr_ok(dense({}, 3), 3);
    EXPECT_EQ(isolated.indptr, (I32{0, 0, 0, 0}));
    EXPECT_TRUE(isolated.indices.empty());

    // Rows of one vertex (or none) have no pairs; the Python layer refuses them, but the
    // slot arithmetic must not wrap on k - 1.
    auto single = csr_ok(dense({0, 2}, 1), 3);
    EXPECT_EQ(single.indptr, (I32{0, 0, 0, 0}));
    EXPECT_TRUE(single.indices.empty());
    const std::int32_t dummy = 0;
    auto zero_cols = csr_ok(SimplexView{&dummy, 5, 0, 0, 1}, 2);
    EXPECT_EQ(zero_cols.indptr, (I32{0, 0, 0}));
    EXPECT_TRUE(zero_cols.indices.empty());
}

TEST(CsrAdjacency, OutOfRangeEntriesAreReportedSignedInRowMajorOrder) {
    EXPECT_EQ(csr_error(dense({0, 0, 0}, 3), 0), "simplex vertex 0 out of range for 0 points");
    EXPECT_EQ(csr_error(dense({0, 1, 2, 1, -1, 3}, 3), 4),
              "simplex vertex -1 out of range for 4 points");
    EXPECT_EQ(csr_error(dense({0, 1, std::numeric_limits<std::int32_t>::min()}, 3), 4),
              "simplex vertex -2147483648 out of range for 4 points");
    EXPECT_EQ(csr_error(dense({0, 1, 2, 1, 2, 4}, 3), 4),
              "simplex vertex 4 out of range for 4 points");
    EXPECT_EQ(csr_ok(dense({0, 1, 3}, 3), 4).indptr.size(), 5u);
    // The count is printed as the full 64-bit value (checked before anything is allocated).
    EXPECT_EQ(csr_error(dense({-1, 0}, 2), 1ull << 40),
              "simplex vertex -1 out of range for 1099511627776 points");

    // Rows {0, 1, 9} and {8, 1, 2} stored column-major: memory order meets 8 first, but the
    // first bad entry row by row is 9.
    const I32 col_major = {0, 8, 1, 1, 9, 2};
    EXPECT_EQ(csr_error(SimplexView{col_major.data(), 2, 3, 1, 2}, 5),
              "simplex vertex 9 out of range for 5 points");
}

TEST(CsrAdjacency, AnyStridesGiveTheContiguousResult) {
    const I32 rows = {0, 1, 2, 1, 2, 3, 3, 4, 0, 5, 5, 1};
    const std::size_t m = 4, k = 3;
    const auto expected = csr_ok(dense(rows, k), 7);

    I32 col_major(m * k);
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t c = 0; c < k; ++c) col_major[c * m + r] = rows[r * k + c];

    // Padding holds an out-of-range value, so reading it would fail the call.
    I32 padded(m * 5, -7);
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t c = 0; c < k; ++c) padded[r * 5 + c] = rows[r * k + c];

    const std::vector<SimplexView> views = {
        {col_major.data(), m, k, 1, static_cast<std::ptrdiff_t>(m)},
        {padded.data(), m, k, 5, 1},
        {rows.data() + (m - 1) * k, m, k, -static_cast<std::ptrdiff_t>(k), 1},  // rows reversed
        {rows.data() + (k - 1), m, k, static_cast<std::ptrdiff_t>(k), -1},      // columns reversed
    };
    for (std::size_t i = 0; i < views.size(); ++i) {
        const auto got = csr_ok(views[i], 7);
        EXPECT_EQ(got.indptr, expected.indptr) << "view " << i;
        EXPECT_EQ(got.indices, expected.indices) << "view " << i;
    }
}

// Zero strides let a single int32 stand for a huge array, so the limit is reached without
// the memory it protects; the column count keeps the validation scan short.
TEST(CsrAdjacency, SlotLimitDependsOnlyOnShape) {
    const std::int32_t zero = 0;
    // 1 * 46342 * 46341 = 2147534622 slots, although vertex 0 has a single distinct neighbour.
    EXPECT_EQ(csr_error(SimplexView{&zero, 1, 46342, 0, 0}, 1),
              "adjacency does not fit int32 indptr");
    // 32769 * 32768 fits on its own; two rows of it do not.
    EXPECT_EQ(csr_error(SimplexView{&zero, 2, 32769, 0, 0}, 1),
              "adjacency does not fit int32 indptr");
    // The range test comes first.
    const std::int32_t five = 5;
    EXPECT_EQ(csr_error(SimplexView{&five, 1, 46342, 0, 0}, 1),
              "simplex vertex 5 out of range for 1 points");
}

// The definition, pair by pair, kept in ordered sets.
CsrAdjacency reference_csr(const SimplexView& v, std::size_t n) {
    std::vector<std::set<std::int32_t>> nb(n);
    for (std::size_t r = 0; r < v.rows; ++r)
        for (std::size_t j = 0; j < v.cols; ++j)
            for (std::size_t c = 0; c < v.cols; ++c)
                if (c != j) nb[static_cast<std::size_t>(v.at(r, j))].insert(v.at(r, c));
    CsrAdjacency out;
    out.indptr.push_back(0);
    for (const auto& s : nb) {
        out.indices.insert(out.indices.end(), s.begin(), s.end());
        out.indptr.push_back(static_cast<std::int32_t>(out.indices.size()));
    }
    return out;
}

TEST(CsrAdjacency, RandomMeshesMatchSetReference) {
    std::mt19937 rng(2024);
    for (std::size_t n : {1u, 2u, 5u, 60u, 1500u}) {
        for (std::size_t k : {2u, 3u, 4u, 7u}) {
            for (std::size_t m : {0u, 1u, 13u, 800u}) {
                std::uniform_int_distribution<std::int32_t> pick(
                    0, static_cast<std::int32_t>(n - 1));
                I32 flat(m * k);
                for (auto& x : flat) x = pick(rng);
                // Column-major copy too, so the strided reads are cross-checked at scale.
                I32 cm(m * k);
                for (std::size_t r = 0; r < m; ++r)
                    for (std::size_t c = 0; c < k; ++c) cm[c * m + r] = flat[r * k + c];

                const auto view = dense(flat, k);
                const auto expected = reference_csr(view, n);
                const auto got = csr_ok(view, n);
                SCOPED_TRACE(testing::Message() << "n=" << n << " k=" << k << " m=" << m);
                EXPECT_EQ(got.indptr, expected.indptr);
                EXPECT_EQ(got.indices, expected.indices);
                const auto got_cm = csr_ok(
                    SimplexView{cm.data(), m, k, 1, static_cast<std::ptrdiff_t>(m)}, n);
                EXPECT_EQ(got_cm.indptr, expected.indptr);
                EXPECT_EQ(got_cm.indices, expected.indices);
            }
        }
    }
}

}  // namespace

// Mesh queries: circumradii of 2D/3D simplices (definite answers, bit-for-bit reproducibility,
// flat simplices, extreme magnitudes, errors in order) and the CSR vertex adjacency (worked
// example, errors, strided views).
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "alpha/circumradii.h"
#include "core/csr_adjacency.h"
#include "core/predicates.h"

namespace {

using kavro::PointView;
using kavro::SimplexView;
using Tri = std::array<std::uint32_t, 3>;
using Tet = std::array<std::uint32_t, 4>;
using Bits = std::vector<std::uint64_t>;
using I32 = std::vector<std::int32_t>;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Bit patterns (every NaN as one), so that EXPECT_EQ compares radii exactly.
Bits bits(const std::vector<double>& v) {
    Bits out;
    for (double x : v) out.push_back(std::bit_cast<std::uint64_t>(std::isnan(x) ? NaN : x));
    return out;
}

// {radii as bits, error text} for dense #n by dim points.
template <class T, std::size_t K>
std::pair<Bits, std::string> radii(const std::vector<T>& flat, std::size_t dim,
                                   const std::vector<std::array<std::uint32_t, K>>& simplices) {
    auto res = kavro::alpha::circumradii<T, K>(
        PointView<T>::dense(flat.data(), flat.size() / dim, dim), simplices);
    return res.ok() ? std::pair(bits(res.value()), std::string()) : std::pair(Bits{}, res.error());
}

TEST(Circumradii, DefiniteAnswers) {
    // Every intermediate is an exact small dyadic, so any vertex order, orientation or exact
    // translation gives the correctly rounded radius.
    const double o = 1e12, t = 1e9, s5 = std::sqrt(5.0), s14 = std::sqrt(14.0);
    const std::vector<double> p2 = {0, 0, 4, 0, 0, 2, o, o, o + 4, o, o, o + 2};
    EXPECT_EQ(radii(p2, 2, std::vector<Tri>{{0, 1, 2}, {1, 2, 0}, {0, 2, 1}, {3, 4, 5}}),
              std::pair(bits({s5, s5, s5, s5}), std::string()));
    const std::vector<double> p3 = {0, 0, 0, 2, 0, 0, 0, 4, 0, 0, 0, 6,
                                    t, t, t, t + 2, t, t, t, t + 4, t, t, t, t + 6};
    // {1, 2, 3, 0} starts off the axes, so every cross-product term contributes; c == d
    // gives +inf.
    EXPECT_EQ(radii(p3, 3, std::vector<Tet>{{0, 1, 2, 3}, {0, 2, 1, 3}, {1, 2, 3, 0}, {4, 5, 6, 7},
                                            {3, 1, 2, 2}}),
              std::pair(bits({s14, s14, s14, s14, INF}), std::string()));
}

// Reference bits from plain float64 arithmetic (no FMA) in the documented evaluation order:
// a regrouped sum, a reciprocal in place of a division or a contracted a*b+c changes them.
// The tetrahedra are chosen so that every other grouping of each three-term sum changes at
// least two results.
TEST(Circumradii, RadiiAreReproducibleBitForBit) {
    const std::vector<double> p2 = {0.1, 0.7, 1.3, -0.2, 0.45, 1.9, -0.8, 0.35, 2.2, 1.1};
    EXPECT_EQ(radii(p2, 2, std::vector<Tri>{{0, 1, 2}, {1, 2, 3}, {3, 4, 0}, {2, 4, 1}}).first,
              bits({0x1.35cff046d3767p+0, 0x1.3df18cbc4ec4ap+0, 0x1.105e595038613p+3,
                    0x1.269312e81b1d2p+0}));
    const std::vector<double> p3 = {
        0.1, 0.7, -0.3,  1.3, -0.2, 0.55,  0.45, 1.9, 0.8,  -0.8, 0.35, 1.7,
        2.2, 1.1, -0.65,  0.9, -1.4, 0.25,
        500.3, 499.7, 500.1,  501.9, 500.1, 499.2,  500.6, 502.45, 500.8,  499.1, 500.5, 502.3,
    };
    const std::vector<Tet> tets = {{0, 1, 2, 3}, {1, 2, 3, 4}, {4, 0, 5, 2}, {5, 3, 1, 0},
                                   {2, 5, 4, 3}, {6, 7, 8, 9}, {9, 6, 8, 7}, {3, 4, 5, 1},
                                   {2, 8, 7, 1}, {7, 2, 4, 6}, {0, 5, 1, 3}, {0, 1, 3, 2}};
    EXPECT_EQ(radii(p3, 3, tets).first,
              bits({0x1.564baf33183c2p+0, 0x1.58dda602a7280p+2, 0x1.ee4fba9b12bcdp+0,
                    0x1.7b442823d098dp+0, 0x1.7d24e614c3adfp+6, 0x1.e65440e5075bbp+1,
                    0x1.e65440e5075bcp+1, 0x1.f68aa505fe8e6p+1, 0x1.f23a589ea79aap+9,
                    0x1.0a9ab4b3cc8cfp+9, 0x1.7b442823d0990p+0, 0x1.564baf33183c2p+0}));
}

// A triangle and a tetrahedron in general position, with many-digit coordinates.
const std::vector<double> kP2 = {0.1, 0.7,  1.3, -0.2,  0.45, 1.9};
const std::vector<double> kP3 = {0.1, 0.7, -0.3,  1.3, -0.2, 0.55,
                                 0.45, 1.9, 0.8,  -0.8, 0.35, 1.7};

TEST(Circumradii, FlatSimplicesAreInfinite) {
    // Every index tuple with a repeat, in every position; b repeating c or d leaves a
    // rounding residue in the determinant (b == c even cancels the numerator to radius 0).
    // Only the distinct tuples are finite.
    std::vector<Tri> tris;
    std::vector<Tet> tets;
    for (std::uint32_t i = 0; i < 27; ++i) tris.push_back({i % 3, i / 3 % 3, i / 9});
    for (std::uint32_t i = 0; i < 256; ++i) tets.push_back({i % 4, i / 4 % 4, i / 16 % 4, i / 64});
    const auto distinct = [](const auto& s) {
        for (std::size_t j = 0; j < s.size(); ++j)
            for (std::size_t k = 0; k < j; ++k)
                if (s[j] == s[k]) return false;
        return true;
    };
    const std::uint64_t inf = bits({INF})[0];
    const auto r2 = radii(kP2, 2, tris).first;
    const auto r3 = radii(kP3, 3, tets).first;
    for (std::size_t i = 0; i < tris.size(); ++i) EXPECT_EQ(r2[i] == inf, !distinct(tris[i])) << i;
    for (std::size_t i = 0; i < tets.size(); ++i) EXPECT_EQ(r3[i] == inf, !distinct(tets[i])) << i;

    // Exactly collinear or coplanar decimal points whose float determinant misses zero in
    // every vertex order tried, so only the exact test can tell.
    const std::vector<double> line = {0.4, 0.7,  0.6, 0.4,  1.0, -0.2,
                                      -1.1, 0.0,  1.3, 0.8,  6.1, 2.4};
    const std::vector<double> plane = {0.8, 0.7, 0.2,  0.7, 0.8, 0.2,  0.9, 0.0, 0.4,
                                       0.6, 1.5, 0.0,  0.3, 0.1, 0.1,  0.8, 0.1, 0.8,
                                       0.6, 0.6, 0.2,  1.6, 0.6, 1.6};
    const std::vector<Tri> on_line = {{0, 1, 2}, {1, 2, 0}, {2, 1, 0}, {3, 4, 5}, {5, 3, 4}};
    const std::vector<Tet> on_plane = {{0, 1, 2, 3}, {1, 2, 3, 0}, {3, 2, 1, 0},
                                       {4, 5, 6, 7}, {5, 6, 7, 4}, {7, 6, 5, 4}};
    for (const Tri& t : on_line)
        ASSERT_EQ(kavro::pred::orient2d(&line[2 * t[0]], &line[2 * t[1]], &line[2 * t[2]]), 0.0);
    for (const Tet& t : on_plane)
        ASSERT_EQ(kavro::pred::orient3d(&plane[3 * t[0]], &plane[3 * t[1]], &plane[3 * t[2]],
                                        &plane[3 * t[3]]), 0.0);
    EXPECT_EQ(radii(line, 2, on_line).first, bits(std::vector<double>(on_line.size(), INF)));
    EXPECT_EQ(radii(plane, 3, on_plane).first, bits(std::vector<double>(on_plane.size(), INF)));

    // NaN outranks flatness.
    const std::vector<double> nan3 = {0, 0, 0, 1, 0, 0, 0, NaN, 0};
    EXPECT_EQ(radii(nan3, 3, std::vector<Tet>{{0, 0, 1, 2}, {1, 2, 1, 0}}).first,
              bits({NaN, NaN}));
}

// Scaling by 2^k scales the radius by 2^k, bit for bit, as long as every coordinate and
// radius stays normal: far beyond the range where the bare formula's degree-3 and degree-4
// products overflow or underflow.
TEST(Circumradii, MagnitudeDoesNotMatter) {
    const std::vector<Tri> tri = {{0, 1, 2}};
    const std::vector<Tet> tet = {{0, 1, 2, 3}};
    const double r2 = std::bit_cast<double>(radii(kP2, 2, tri).first.at(0));
    const double r3 = std::bit_cast<double>(radii(kP3, 3, tet).first.at(0));
    const auto scaled = [](std::vector<double> p, int k) {
        for (double& x : p) x = std::ldexp(x, k);
        return p;
    };
    std::vector<int> off2, off3;  // the exponents that break the rule, for a short report
    for (int k = -1000; k <= 1000; ++k) {
        if (radii(scaled(kP2, k), 2, tri).first != bits({std::ldexp(r2, k)})) off2.push_back(k);
        if (radii(scaled(kP3, k), 3, tet).first != bits({std::ldexp(r3, k)})) off3.push_back(k);
    }
    EXPECT_EQ(off2, std::vector<int>{});
    EXPECT_EQ(off3, std::vector<int>{});

    // Scales that are not powers of two: the unit right triangle and corner tetrahedron. The
    // last two have a largest coordinate whose scale factor is not a normal double.
    for (const double s : {1e-200, 1e200, 0x1p-1074 * 3, 0x1.fffp1023}) {
        const std::vector<double> t2 = {0, 0, s, 0, 0, s};
        const std::vector<double> t3 = {0, 0, 0, s, 0, 0, 0, s, 0, 0, 0, s};
        const double e2 = std::sqrt(0.5) * s, e3 = std::sqrt(0.75) * s;
        const double g2 = std::bit_cast<double>(radii(t2, 2, tri).first.at(0));
        const double g3 = std::bit_cast<double>(radii(t3, 3, tet).first.at(0));
        EXPECT_NEAR(g2, e2, 2 * (std::nextafter(e2, INF) - e2)) << s;
        EXPECT_NEAR(g3, e3, 2 * (std::nextafter(e3, INF) - e3)) << s;
    }
}

TEST(Circumradii, ErrorsInTheirOrder) {
    // The shape first, even without simplices and before the range; then the first bad
    // vertex row by row (9, not 8); n itself is out of range, n - 1 is not.
    const std::vector<double> p2 = {0, 0, 1, 0, 0, 1}, p3 = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const std::string shape = "circumradii: unsupported 3D points with 3-vertex simplices "
                              "(expected 2D/3 or 3D/4)";
    EXPECT_EQ(radii(p3, 3, std::vector<Tri>{}).second, shape);
    EXPECT_EQ(radii(p3, 3, std::vector<Tri>{{0, 1, 99}}).second, shape);
    EXPECT_EQ(radii(p2, 2, std::vector<Tri>{{0, 1, 2}, {0, 1, 9}, {8, 1, 2}}).second,
              "simplex vertex 9 out of range for 3 points");
    EXPECT_EQ(radii(p2, 2, std::vector<Tri>{{2, 2, 3}}).second,
              "simplex vertex 3 out of range for 3 points");
    EXPECT_EQ(radii(p2, 2, std::vector<Tri>{{2, 1, 0}}).second, "");
}

// ---- CSR adjacency ---------------------------------------------------------------------

SimplexView dense(const I32& flat, std::size_t k) {
    return SimplexView{flat.data(), flat.size() / k, k, std::ptrdiff_t(k), 1};
}

// {indptr, indices, error text}
std::tuple<I32, I32, std::string> csr(const SimplexView& v, std::uint64_t n) {
    auto res = kavro::csr_adjacency(v, n);
    if (!res.ok()) return {I32{}, I32{}, res.error()};
    return {res.value().indptr, res.value().indices, ""};
}

std::string csr_error(const SimplexView& v, std::uint64_t n) { return std::get<2>(csr(v, n)); }

TEST(CsrAdjacency, WorkedExamples) {
    // Two triangles sharing 1-2 and an unused last vertex; a repeated vertex lists itself
    // (and the unused first vertex still gets an empty range); rows of one vertex have no
    // pairs.
    EXPECT_EQ(csr(dense({0, 1, 2, 1, 2, 3}, 3), 5),
              std::tuple(I32{0, 2, 5, 8, 10, 10}, I32{1, 2, 0, 2, 3, 0, 1, 3, 1, 2}, ""));
    EXPECT_EQ(csr(dense({1, 1, 2}, 3), 3), std::tuple(I32{0, 0, 2, 3}, I32{1, 2, 1}, ""));
    EXPECT_EQ(csr(dense({0, 2}, 1), 3), std::tuple(I32{0, 0, 0, 0}, I32{}, ""));
}

TEST(CsrAdjacency, ErrorsInTheirOrder) {
    // Rows {0, 1, 9} and {8, 1, 2} stored column-major: row by row, 9 comes first. The
    // count prints in full.
    const I32 col_major = {0, 8, 1, 1, 9, 2};
    EXPECT_EQ(csr_error(SimplexView{col_major.data(), 2, 3, 1, 2}, 5),
              "simplex vertex 9 out of range for 5 points");
    EXPECT_EQ(csr_error(dense({-1, 0}, 2), 1ull << 40),
              "simplex vertex -1 out of range for 1099511627776 points");
    // Zero strides: m k (k - 1) slots, judged from the shape alone and after the range:
    // 46342 * 46341 and 2 * 32769 * 32768 exceed 2^31 - 1, 32769 * 32768 alone does not.
    const std::int32_t zero = 0, five = 5;
    const std::string limit = "adjacency does not fit int32 indptr";
    EXPECT_EQ(csr_error(SimplexView{&zero, 1, 46342, 0, 0}, 1), limit);
    EXPECT_EQ(csr_error(SimplexView{&zero, 2, 32769, 0, 0}, 1), limit);
    EXPECT_EQ(csr_error(SimplexView{&five, 1, 46342, 0, 0}, 1),
              "simplex vertex 5 out of range for 1 points");
}

TEST(CsrAdjacency, AnyStridesGiveTheContiguousResult) {
    const I32 rows = {0, 1, 2, 1, 2, 3, 3, 4, 0, 5, 5, 1};
    const std::size_t m = 4, k = 3;
    I32 col_major(m * k), padded(m * 5, -7);  // reading the padding would fail the call
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t c = 0; c < k; ++c)
            col_major[c * m + r] = padded[r * 5 + c] = rows[r * k + c];
    const auto expected = csr(dense(rows, k), 7);
    const auto reversed = [&](std::ptrdiff_t rs, std::ptrdiff_t cs) {  // from the far end
        return SimplexView{rows.data() + (rs < 0 ? (m - 1) * k : 0) + (cs < 0 ? k - 1 : 0),
                           m, k, rs, cs};
    };
    for (const SimplexView& v : {SimplexView{col_major.data(), m, k, 1, std::ptrdiff_t(m)},
                                 SimplexView{padded.data(), m, k, 5, 1}, reversed(-3, 1),
                                 reversed(3, -1), reversed(-3, -1)})
        EXPECT_EQ(csr(v, 7), expected) << v.row_stride << ", " << v.col_stride;
}

}  // namespace

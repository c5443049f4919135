// Mesh queries: circumradii of 2D/3D simplices (definite answers, bit-for-bit reproducibility,
// errors in order) and the CSR vertex adjacency (worked example, errors, strided views).
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

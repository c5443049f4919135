// Pipeline geometry: circumballs checked against exact rational circumcentres (the outer
// radius must cover the whole true ball, also for far-off, tiny and nearly flat simplices),
// the rejection of degenerate and non-finite simplices, and the orientation independence
// of the exact in-ball signs.
#include "parallel/geom.h"

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "d2/delaunay2d.h"
#include "d4/delaunay4d.h"

namespace {

using namespace kavro::par;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double FACTOR = 1.0000000000000018;
int sign(double v) { return (v > 0) - (v < 0); }

// Smallest double u with u * u >= q, so sums of such roots bound true lengths from above.
double sqrt_up(const mpq_class& q) {
    double u = std::sqrt(q.get_d());
    while (mpq_class(u) * mpq_class(u) < q) u = std::nextafter(u, INFINITY);
    return u;
}

template <std::size_t D> mpq_class dist2(const std::array<mpq_class, D>& a, const Point<D>& b) {
    mpq_class s = 0;
    for (std::size_t i = 0; i < D; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return s;
}

// Solves 2 (v_k - v_0) . x = |v_k|^2 - |v_0|^2 over the rationals (Gauss-Jordan).
template <std::size_t D> std::array<mpq_class, D> exact_center(const Simplex<D>& s) {
    mpq_class m[D][D + 1];
    for (std::size_t k = 0; k < D; ++k)
        for (std::size_t i = 0; i < D; ++i) {
            const mpq_class v = s[k + 1][i], o = s[0][i];
            m[k][i] = 2 * (v - o);
            m[k][D] += v * v - o * o;
        }
    for (std::size_t c = 0; c < D; ++c) {
        for (std::size_t r = c; m[c][c] == 0; ++r) std::swap(m[c], m[r + 1]);
        for (std::size_t r = 0; r < D; ++r)
            if (r != c) {
                const mpq_class f = m[r][c] / m[c][c];
                for (std::size_t j = 0; j <= D; ++j) m[r][j] -= f * m[c][j];
            }
    }
    std::array<mpq_class, D> x;
    for (std::size_t i = 0; i < D; ++i) x[i] = m[i][D] / m[i][i];
    return x;
}

template <std::size_t D> void check_random(const KernelOps<D>& ops) {
    std::mt19937_64 rng(7 + D);
    std::uniform_real_distribution<double> u(-1, 1);
    int balls = 0;
    for (int t = 0; t < 3000; ++t) {
        // Far from the origin along some axes only, so each axis's offset term is needed.
        Point<D> shift;
        for (auto& o : shift) o = rng() % 2 ? std::ldexp(u(rng), t % 50) : 0.0;
        const double scale = std::ldexp(1.0, t % 7 * 9 - 30);
        Simplex<D> s;
        for (auto& v : s) for (std::size_t i = 0; i < D; ++i) v[i] = shift[i] + scale * u(rng);
        if (t % 3 == 0)  // nearly flat: the last vertex close to the midpoint of two others
            for (std::size_t i = 0; i < D; ++i)
                s[D][i] = shift[i] + ((s[0][i] - shift[i]) + (s[1][i] - shift[i])) / 2 +
                          scale * 1e-9 * u(rng);
        const auto ball = ops.circumball(s);
        if (!ball) continue;
        ++balls;
        const auto c = exact_center<D>(s);
        const double gap = sqrt_up(dist2<D>(c, ball->center)), rad = sqrt_up(dist2<D>(c, s[0]));
        ASSERT_LE(mpq_class(gap) + rad, ball->outer_radius) << "true ball escapes, trial " << t;
        ASSERT_GE(ball->outer_radius, FACTOR * ball->radius);
        ASSERT_GT(ball->outer_radius, ball->radius);
        // The in-ball sign agrees with the exact distance to the true centre, in both
        // orientations, and the orientation sign flips with a swap of two vertices.
        Point<D> p;
        for (std::size_t i = 0; i < D; ++i) p[i] = shift[i] + scale * u(rng);
        Simplex<D> w = s;
        std::swap(w[0], w[1]);
        const int truth = sgn(mpq_class(dist2<D>(c, s[0]) - dist2<D>(c, p)));
        EXPECT_EQ(sign(ops.inball_exact(s, p)), truth);
        EXPECT_EQ(sign(ops.inball_exact(w, p)), truth);
        EXPECT_EQ(sign(ops.orient_exact(w)), -sign(ops.orient_exact(s)));
        EXPECT_EQ(ops.inball_exact(s, s[t % (D + 1)]), 0.0);
    }
    EXPECT_GT(balls, 1500);
}

TEST(Geom, CircumballCoversTrueBallAndInBallMatchesExactDistance) {
    check_random<2>(kKernelOps2);
    check_random<3>(kKernelOps3);
}

TEST(Geom, NoBallForDegenerateFlatOrNonFiniteSimplices) {
    EXPECT_FALSE(circumball2({{{0, 0}, {1, 1}, {3, 3}}}));
    EXPECT_FALSE(circumball3({{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {5, 7, 0}}}));
    // det = 2^-42 is not zero, but a quarter of it does not exceed 2^-46 * (4 + 2^-42).
    EXPECT_FALSE(circumball2({{{0, 0}, {1, 1}, {2, 2 + 0x1p-42}}}));
    EXPECT_TRUE(circumball2({{{0, 0}, {1, 1}, {2, 2 + 0x1p-41}}}));
    EXPECT_FALSE(circumball3({{{0, 0, 0}, {1, 1, 0}, {2, 2 + 0x1p-42, 0}, {0, 0, 1}}}));
    EXPECT_TRUE(circumball3({{{0, 0, 0}, {1, 1, 0}, {2, 2 + 0x1p-41, 0}, {0, 0, 1}}}));
    // Finite determinant, overflowing squared length; then an overflowing determinant.
    EXPECT_FALSE(circumball2({{{0, 0}, {1e155, 0}, {0, 1e150}}}));
    EXPECT_FALSE(circumball2({{{0, 0}, {1e200, 0}, {0, 1e200}}}));
    EXPECT_FALSE(circumball3({{{0, 0, 0}, {1e155, 0, 0}, {0, 1e100, 0}, {0, 0, 1e50}}}));
    EXPECT_FALSE(circumball2({{{0, 0}, {1, 0}, {0, NaN}}}));
    EXPECT_FALSE(circumball2({{{INFINITY, 0}, {1, 0}, {0, 1}}}));
    EXPECT_FALSE(circumball3({{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, NaN}}}));
    // A far-off simplex keeps its ball: the offset only widens the error bound.
    EXPECT_TRUE(circumball2({{{1e100, 1e100}, {1e100 + 1e90, 1e100}, {1e100, 1e100 + 1e90}}}));
}

TEST(Geom, UnitSimplices) {
    const Simplex<2> t{{{0, 0}, {1, 0}, {0, 1}}}, r{{t[2], t[1], t[0]}};
    const auto b = circumball2(t);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->center, (Point<2>{0.5, 0.5}));
    EXPECT_EQ(b->radius, std::sqrt(0.5));
    EXPECT_GT(orient2_exact(t), 0);
    EXPECT_LT(orient2_exact(r), 0);
    for (const auto& s : {t, r}) {
        EXPECT_GT(inball2_exact(s, {0.5, 0.5}), 0);
        EXPECT_LT(inball2_exact(s, {1.1, 1}), 0);
        EXPECT_EQ(inball2_exact(s, {1, 1}), 0.0);  // cocircular
        EXPECT_EQ(inball2_exact(s, {0, 1}), 0.0);  // a vertex
    }

    const Simplex<3> q{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, w{{q[1], q[0], q[2], q[3]}};
    const auto c = circumball3(q);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->center, (Point<3>{0.5, 0.5, 0.5}));
    EXPECT_EQ(c->radius, std::sqrt(0.75));
    EXPECT_GT(orient3_exact(q), 0);
    EXPECT_LT(orient3_exact(w), 0);
    for (const auto& s : {q, w}) {
        EXPECT_GT(inball3_exact(s, {0.5, 0.5, 0.5}), 0);
        EXPECT_LT(inball3_exact(s, {1, 1, 1.1}), 0);
        EXPECT_EQ(inball3_exact(s, {1, 1, 1}), 0.0);  // cospherical
        EXPECT_EQ(inball3_exact(s, {0, 1, 0}), 0.0);
    }
}

TEST(Geom, KernelTablesCallTheFloat64Kernels) {
    const double p2[] = {0, 0, 2, 0, 0, 2, 2, 2.5, 1, 1.2};
    const auto v2 = kavro::PointView<double>::dense(p2, 5, 2);
    EXPECT_EQ(kKernelOps2.kernel(v2).value().simplices, kavro::delaunay2d(v2).value().simplices);
    const double p3[] = {0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3, 2, 2, 2.5, 0.5, 0.7, 0.9};
    const auto v3 = kavro::PointView<double>::dense(p3, 6, 3);
    const auto a = kKernelOps3.kernel(v3), e = kavro::delaunay4d(v3);
    EXPECT_EQ(a.value().simplices, e.value().simplices);
    EXPECT_EQ(a.value().neighbors, e.value().neighbors);
    EXPECT_EQ(kKernelOps2.circumball, &circumball2);
    EXPECT_EQ(kKernelOps3.inball_exact, &inball3_exact);
    EXPECT_EQ(kKernelOps3.orient_exact, &orient3_exact);
}

}  // namespace

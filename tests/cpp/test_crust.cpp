// The crust phase: its refusals, its visit budget, its exact verdicts, checked against a
// brute-force verification of every crust simplex against every grid point.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>

#include "parallel/pipeline.h"
#include "pipeline_fixtures.h"

namespace par = kavro::par;
using fixtures::hand_grid;
using Kind = par::FallbackReason::Kind;
using Ids = std::vector<std::uint32_t>;

namespace {


// Kernel runs (with the row count of the last one) and circumball calls, through
// KernelOps tables that wrap the real ones.
std::atomic<int> kernel_runs{0};
std::atomic<std::size_t> kernel_rows{0};
std::atomic<int> ball_calls{0};

template <std::size_t D>
kavro::Result<kavro::DelaunayOutput<D + 1>> counted_kernel(const kavro::PointView<double>& p) {
    ++kernel_runs;
    kernel_rows = p.rows;
    return par::kernel_ops<D>().kernel(p);
}
template <std::size_t D>
std::optional<par::Ball<D>> counted_ball(const par::Simplex<D>& s) {
    ++ball_calls;
    return par::kernel_ops<D>().circumball(s);
}
template <std::size_t D>
std::optional<par::Ball<D>> no_ball(const par::Simplex<D>&) {
    ++ball_calls;
    return std::nullopt;
}

template <std::size_t D>
par::KernelOps<D> counted(bool balls = true) {
    kernel_runs = 0;
    kernel_rows = 0;
    ball_calls = 0;
    return {&counted_kernel<D>, balls ? &counted_ball<D> : &no_ball<D>, par::kernel_ops<D>().inball_exact,
            par::kernel_ops<D>().orient_exact};
}

template <std::size_t D>
std::vector<par::BlockOut<D>> outs(const std::vector<std::pair<Ids, Ids>>& crust_support) {
    std::vector<par::BlockOut<D>> blocks;
    for (const auto& [crust, support] : crust_support) blocks.push_back({{}, crust, support});
    return blocks;
}

template <std::size_t D>
std::uint32_t id_of(const par::Grid<D>& g, const par::Point<D>& p) {
    const auto it = std::find(g.points.begin(), g.points.end(), p);
    EXPECT_NE(it, g.points.end());
    return static_cast<std::uint32_t>(it - g.points.begin());
}

template <std::size_t D>
Ids ids_of(const par::Grid<D>& g, const std::vector<par::Point<D>>& pts) {
    Ids ids;
    for (const auto& p : pts) ids.push_back(id_of<D>(g, p));
    return ids;
}

void expect_fails(const auto& result, Kind kind, const char* text = "") {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, kind);
    EXPECT_STREQ(result.error().text, text);
}

// What the crust phase must return, by brute force: the kernel's triangulation of the
// crust (in block order) and the sorted support, each simplex with only crust vertices
// kept unless some grid point lies strictly inside its ball. Valid only when no grid
// point lies exactly on such a ball.
template <std::size_t D>
par::SimplexRows<D> oracle(const std::vector<par::BlockOut<D>>& blocks, const par::Grid<D>& g) {
    Ids list, support;
    for (const auto& b : blocks) list.insert(list.end(), b.crust.begin(), b.crust.end());
    const std::size_t core = list.size();
    for (const auto& b : blocks) {
        for (const std::uint32_t v : b.support) {
            if (std::find(list.begin(), list.begin() + core, v) == list.begin() + core) support.push_back(v);
        }
    }
    std::sort(support.begin(), support.end());
    support.erase(std::unique(support.begin(), support.end()), support.end());
    list.insert(list.end(), support.begin(), support.end());
    const std::vector<double> xyz = par::gather_coords<D>(g.points, list);
    const auto tri = par::kernel_ops<D>().kernel(kavro::PointView<double>::dense(xyz.data(), list.size(), D));
    par::SimplexRows<D> want;
    for (const auto& t : tri.value().simplices) {
        if (std::any_of(t.begin(), t.end(), [&](std::uint32_t l) { return l >= core; })) continue;
        std::array<std::uint32_t, D + 1> row;
        for (std::size_t k = 0; k <= D; ++k) row[k] = list[t[k]];
        if (fixtures::points_inside<D>(g, row).empty()) want.push_back(row);
    }
    return want;
}

TEST(Crust, NoCrustMeansNoKernelRun) {
    const auto g = hand_grid<2>({0, 0}, {1, 1}, {2, 2}, {{0.5, 0.5}, {1.5, 0.5}, {0.5, 1.5}, {1.5, 1.5}});
    const auto k = counted<2>();
    const auto r = par::crust_pass<2>(outs<2>({{{}, {0, 1, 2, 3}}, {{}, {}}}), g, k);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().empty());
    EXPECT_EQ(kernel_runs, 0);
    EXPECT_TRUE(par::crust_pass<2>({}, g, k).ok());
}

TEST(Crust, MoreThanAQuarterOfThePointsIsTooLarge) {
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> unit(0.0, 20.0);
    std::vector<par::Point<2>> pts(400);
    for (auto& p : pts) p = {unit(rng), unit(rng)};
    const auto g = hand_grid<2>({0, 0}, {1, 1}, {20, 20}, pts);
    Ids first, rest;
    for (std::uint32_t v = 0; v < 100; ++v) (v % 2 ? first : rest).push_back(v);
    const auto k = counted<2>();
    const auto at_quarter = par::crust_pass<2>(outs<2>({{first, {}}, {rest, {}}}), g, k);
    ASSERT_TRUE(at_quarter.ok());
    EXPECT_EQ(kernel_runs, 1);
    rest.push_back(100);
    expect_fails(par::crust_pass<2>(outs<2>({{first, {}}, {rest, {}}}), g, k), Kind::CrustTooLarge);
    EXPECT_EQ(kernel_runs, 1);
}

TEST(Crust, TooFewPointsOrAFailedKernelRun) {
    std::vector<par::Point<2>> pts;
    for (int i = 0; i < 20; ++i) pts.push_back({0.25 + i, 0.25 + (i % 3)});
    const auto g = hand_grid<2>({0, 0}, {1, 1}, {20, 4}, pts);
    auto k = counted<2>();
    expect_fails(par::crust_pass<2>(outs<2>({{{0, 1, 2}, {}}}), g, k), Kind::CrustKernelFailed);
    EXPECT_EQ(kernel_runs, 0);
    // Support brings the list to four: the kernel runs.
    EXPECT_TRUE(par::crust_pass<2>(outs<2>({{{0, 1, 2}, {3, 3}}}), g, k).ok());
    EXPECT_EQ(kernel_runs, 1);
    // All on one line: the kernel refuses.
    const Ids line = ids_of<2>(g, {{0.25, 0.25}, {3.25, 0.25}, {6.25, 0.25}, {9.25, 0.25}});
    expect_fails(par::crust_pass<2>(outs<2>({{line, {}}}), g, k), Kind::CrustKernelFailed);
    EXPECT_EQ(kernel_runs, 2);

    std::vector<par::Point<3>> pts3;
    for (int i = 0; i < 20; ++i) pts3.push_back({0.5 + i, 0.5 + (i % 3), 0.5 + (i % 5)});
    const auto g3 = hand_grid<3>({0, 0, 0}, {1, 1, 1}, {20, 4, 6}, pts3);
    auto k3 = counted<3>();
    expect_fails(par::crust_pass<3>(outs<3>({{{0, 1}, {2}}, {{3}, {2, 0}}}), g3, k3),
                 Kind::CrustKernelFailed);
    EXPECT_EQ(kernel_runs, 0);
}

TEST(Crust, SupportVertexSimplicesAreDroppedUntested) {
    std::vector<par::Point<2>> pts = {{1.5, 1.5}, {0.5, 0.5}, {3.5, 0.5}, {2.0, 3.5}, {3.5, 3.5}};
    for (int k = 0; k < 16; ++k) pts.push_back({7.5, 0.5 * k});
    const auto g = hand_grid<2>({0, 0}, {1, 1}, {8, 8}, pts);
    // One crust point amid its support: every simplex has a support vertex, so none
    // needs a ball, not even from a table that can never give one.
    const auto k = counted<2>(false);
    const Ids crust = ids_of<2>(g, {{1.5, 1.5}});
    const Ids support = ids_of<2>(g, {{0.5, 0.5}, {3.5, 0.5}, {2.0, 3.5}, {3.5, 3.5}});
    const auto r = par::crust_pass<2>(outs<2>({{crust, support}}), g, k);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().empty());
    EXPECT_EQ(kernel_runs, 1);
    EXPECT_EQ(ball_calls, 0);
    // Once a simplex has crust vertices only, its missing ball is a failure.
    expect_fails(par::crust_pass<2>(outs<2>({{support, {}}, {crust, {}}}), g, k), Kind::InvalidMesh,
                 "unverifiable crust ball");
    EXPECT_GT(ball_calls, 0);
}

// A, B, C on the circle about (2, 2) through P; F far off makes the crust four points.
std::vector<par::Point<2>> circle_points() {
    std::vector<par::Point<2>> pts = {{1, 1}, {3, 1}, {1, 3}, {10, 10}, {3, 3}};
    for (int k = 0; k < 12; ++k) pts.push_back({19.5, 0.5 + k});  // far from every ball
    return pts;
}

TEST(Crust, APointOnTheBallFailsUnlessOneInsideComesFirst) {
    const std::vector<par::Point<2>> crust = {{1, 1}, {3, 1}, {1, 3}, {10, 10}};
    const auto on = hand_grid<2>({0, 0}, {1, 1}, {20, 20}, circle_points());
    expect_fails(par::crust_pass<2>(outs<2>({{ids_of<2>(on, crust), {}}}), on, par::kKernelOps2),
                 Kind::InvalidMesh, "cospherical crust simplex");

    // (2, 0.7) lies inside, in a row of cells walked before P's.
    auto pts = circle_points();
    pts.push_back({2, 0.7});
    const auto inside = hand_grid<2>({0, 0}, {1, 1}, {20, 20}, pts);
    const auto blocks = outs<2>({{ids_of<2>(inside, crust), {}}});
    const auto r = par::crust_pass<2>(blocks, inside, par::kKernelOps2);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().empty());
}

double nan_inball(const par::Simplex<2>&, const par::Point<2>&) {
    return std::numeric_limits<double>::quiet_NaN();
}
std::optional<par::Ball<2>> nan_centred_ball(const par::Simplex<2>& s) {
    auto b = par::circumball2(s);
    if (b) b->center[0] = std::numeric_limits<double>::quiet_NaN();
    return b;
}

TEST(Crust, NaNNeverKeepsASimplexUnchecked) {
    // With true tests the simplex A, B, C is dropped for the point inside it.
    const std::vector<par::Point<2>> crust = {{1, 1}, {3, 1}, {1, 3}, {10, 10}};
    auto pts = circle_points();
    pts.push_back({2, 0.7});
    const auto g = hand_grid<2>({0, 0}, {1, 1}, {20, 20}, pts);
    const auto blocks = outs<2>({{ids_of<2>(g, crust), {}}});
    par::KernelOps<2> ops = par::kKernelOps2;
    ops.inball_exact = &nan_inball;
    expect_fails(par::crust_pass<2>(blocks, g, ops), Kind::InvalidMesh,
                 "crust in-ball test without a sign");
    // A NaN centre would put the ball's box in cell 0, far from every point.
    ops = par::kKernelOps2;
    ops.circumball = &nan_centred_ball;
    expect_fails(par::crust_pass<2>(blocks, g, ops), Kind::InvalidMesh, "unverifiable crust ball");
}

// A strip of n by h unit cells. A, C at its top corners and B just above their chord
// span a circle of radius about 8e8 bulging up through B, so its box is the whole strip
// and its ball covers nearly all of it; D lies above the arc. With filled tiles (one
// point each, above the arc), the ball of A, B, C is walked through every cell and
// keeps; without them, only the tiles of A, B, C, D are walked. A row of tiles above the
// strip, out of that ball's box, holds points enough for a crust of four.
struct Strip {
    std::uint64_t n, h;
    par::Point<2> a() const { return {0.5, h - 0.5}; }
    par::Point<2> b() const { return {n / 2.0, h - 0.49}; }
    par::Point<2> c() const { return {n - 0.5, h - 0.5}; }
    par::Point<2> d() const { return {n / 2.0, h - 0.05}; }
    par::Grid<2> grid(bool filled) const {
        std::vector<par::Point<2>> pts = {a(), b(), c(), d()};
        for (std::uint64_t t = 0; filled && t * 8 < n; ++t) {
            const double x = t * 8 + 3 < n ? t * 8 + 3.5 : t * 8 + 0.5;
            pts.push_back({x, h - 0.1});
        }
        for (int k = 0; k < 12; ++k) pts.push_back({1000.5 + k, 12.5});
        return hand_grid<2>({0, 0}, {1, 1}, {n, 16}, pts);
    }
    // The verdict, and whether the ball of A, B, C was kept.
    std::pair<kavro::Result<par::SimplexRows<2>, par::FallbackReason>, bool> run(bool filled = true) const {
        const auto g = grid(filled);
        auto r = par::crust_pass<2>(outs<2>({{ids_of<2>(g, {a(), b(), c(), d()}), {}}}), g,
                                    par::kKernelOps2);
        Ids abc = ids_of<2>(g, {a(), b(), c()});
        std::sort(abc.begin(), abc.end());
        bool kept = false;
        for (std::size_t t = 0; r.ok() && t < r.value().size(); ++t) {
            Ids row(r.value()[t].begin(), r.value()[t].end());
            std::sort(row.begin(), row.end());
            kept = kept || row == abc;
        }
        return {std::move(r), kept};
    }
};

TEST(Crust, VisitBudgetFailsWhenCell65537IsDue) {
    const char* over = "crust verification budget exceeded";
    // 8192 x 8 = 65536 visits: the ball of A, B, C passes.
    const auto exact = Strip{8192, 8}.run();
    ASSERT_TRUE(exact.first.ok());
    EXPECT_TRUE(exact.second);
    // One more column: the 65537th cell is the first of a further tile.
    expect_fails(Strip{8193, 8}.run().first, Kind::InvalidMesh, over);
    // Tiles of 8 x 7 cells: 9362 columns give 65534 visits, 9363 give 65541 and run out
    // inside the last tile.
    const auto under = Strip{9362, 7}.run();
    ASSERT_TRUE(under.first.ok());
    EXPECT_TRUE(under.second);
    expect_fails(Strip{9363, 7}.run().first, Kind::InvalidMesh, over);
    // Empty tiles cost nothing, however many cells they span.
    const auto sparse = Strip{16384, 8}.run(false);
    ASSERT_TRUE(sparse.first.ok());
    EXPECT_TRUE(sparse.second);
}

TEST(Crust, OccupiedTilesOutOfReachCostNoVisits) {
    // A ball of radius 500 about (512, 512) in a grid of 1024 x 1024 cells, with a point
    // in every tile that lies wholly 10 cells beyond it: some 2800 tiles of its box are
    // occupied, far more cells than the budget, and none of them is near.
    const par::Point<2> centre{512, 512};
    const double r = 500, side = r * std::sqrt(3.0) / 2;
    const std::vector<par::Point<2>> abc = {{512, 512 + r}, {512 - side, 512 - r / 2}, {512 + side, 512 - r / 2}};
    std::vector<par::Point<2>> pts = abc;
    pts.push_back({1023.5, 1023.5});
    std::size_t far_tiles = 0;
    for (int tx = 0; tx < 128; ++tx) {
        for (int ty = 0; ty < 128; ++ty) {
            const double nx = std::clamp(centre[0], 8.0 * tx, 8.0 * tx + 8);
            const double ny = std::clamp(centre[1], 8.0 * ty, 8.0 * ty + 8);
            if (std::hypot(nx - centre[0], ny - centre[1]) < r + 10) continue;
            pts.push_back({8.0 * tx + 4.5, 8.0 * ty + 4.5});
            ++far_tiles;
        }
    }
    const auto g = hand_grid<2>({0, 0}, {1, 1}, {1024, 1024}, pts);
    // The fourth point is support: only the ball of a, b, c is walked.
    const auto blocks = outs<2>({{ids_of<2>(g, abc), {id_of<2>(g, {1023.5, 1023.5})}}});
    const auto result = par::crust_pass<2>(blocks, g, par::kKernelOps2);
    ASSERT_TRUE(result.ok()) << result.error().text;
    ASSERT_EQ(result.value().size(), 1u);
    EXPECT_GT(far_tiles * 64, 65536u);
}

// Random clouds with a band of crust across them, split over two blocks whose support
// repeats points and names crust points: the result is the brute-force one, in its order
// and vertex order, whatever the thread count, and the kernel sees every point once.
template <std::size_t D>
void check_against_brute_force(std::size_t n) {
    std::mt19937_64 rng(9 + D);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<par::Point<D>> pts(n);
    for (auto& p : pts) {
        for (auto& v : p) v = unit(rng);
    }
    const auto g = par::build_grid<D>(kavro::PointView<double>::dense(pts[0].data(), n, D), n);
    std::vector<par::BlockOut<D>> blocks(2);
    for (std::uint32_t v = 0; v < g.points.size(); ++v) {
        const double x = g.points[v][0];
        if (x > 0.45 && x < 0.55) {
            blocks[v % 2].crust.push_back(v);
            if (v % 5 == 0) blocks[1 - v % 2].support.push_back(v);
        } else if (x > 0.38 && x < 0.62) {
            blocks[0].support.push_back(v);
            if (v % 3 == 0) blocks[1].support.push_back(v);
        }
    }
    std::set<std::uint32_t> listed;
    for (const auto& b : blocks) {
        listed.insert(b.crust.begin(), b.crust.end());
        listed.insert(b.support.begin(), b.support.end());
    }
    const auto want = oracle<D>(blocks, g);
    ASSERT_GT(want.size(), 10u);
    const auto k = counted<D>();
    for (const std::size_t threads : {1u, 8u}) {
        const auto got = par::with_pool_threads(threads, [&] { return par::crust_pass<D>(blocks, g, k); });
        ASSERT_TRUE(got.ok()) << got.error().text;
        EXPECT_EQ(got.value(), want) << threads << " threads";
        EXPECT_EQ(kernel_rows, listed.size());
    }
}

TEST(Crust, MatchesBruteForceVerification2D) { check_against_brute_force<2>(4000); }
TEST(Crust, MatchesBruteForceVerification3D) { check_against_brute_force<3>(2500); }

TEST(Crust, CellBoxesAllowForTheRoundingOfTheFiling) {
    // The triangle a, b, c has the point q strictly inside its circle, in a cell whose
    // float box lies beyond the ball (see fixtures::OffsetInput).
    const fixtures::OffsetInput in;
    const auto g = in.grid();
    const Ids crust = {in.id_of(g, in.a), in.id_of(g, in.b), in.id_of(g, in.c), in.id_of(g, in.d)};
    const auto blocks = outs<2>({{crust, {}}});
    const auto r = par::crust_pass<2>(blocks, g, par::kKernelOps2);
    ASSERT_TRUE(r.ok());
    for (const auto& t : r.value()) EXPECT_EQ(fixtures::points_inside<2>(g, t), Ids{});
    EXPECT_EQ(r.value(), oracle<2>(blocks, g));
}

}  // namespace

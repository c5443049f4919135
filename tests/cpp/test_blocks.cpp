// The block phase: what a block vouches for, checked against an independent rebuild of
// its local set and against exact empty-ball tests; degenerate blocks; the limits of
// certification; the finished-block events.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "d2/delaunay2d.h"
#include "d4/delaunay4d.h"
#include "parallel/pipeline.h"
#include "pipeline_fixtures.h"

namespace par = kavro::par;
using fixtures::hand_grid;
using kavro::PointView;
using Ids = std::vector<std::uint32_t>;

namespace {


template <std::size_t D>
par::BlockOut<D> run(const par::Grid<D>& g, std::uint32_t b) {
    par::BlockCounter counter;
    const par::BlockPhase<D> phase{g, par::kernel_ops<D>(), nullptr, counter};
    return par::process_block<D>(phase, b);
}

template <std::size_t D>
std::vector<par::BlockOut<D>> run_all(const par::Grid<D>& g, const par::ProgressSink* sink = nullptr) {
    std::vector<par::BlockOut<D>> out(g.blocks.size());
    par::BlockCounter counter;
    const par::BlockPhase<D> phase{g, par::kernel_ops<D>(), sink, counter};
    par::for_each_index(out.size(), [&](std::size_t b) {
        out[b] = par::process_block<D>(phase, static_cast<std::uint32_t>(b));
    });
    return out;
}

template <std::size_t D>
using Row = std::array<std::uint32_t, D + 1>;

template <std::size_t D>
Row<D> sorted(Row<D> r) {
    std::sort(r.begin(), r.end());
    return r;
}

// Everything block b promises, against a rebuild of its local set (own points, then the
// points of every non-empty foreign cell next to an own cell, by ascending cell id) and
// the kernel's triangulation of it. Emptiness of the emitted balls is checked separately.
template <std::size_t D>
void expect_block_contract(const par::Grid<D>& g, std::uint32_t b, const par::BlockOut<D>& out) {
    constexpr std::size_t K = D + 1;
    const par::BlockSpan& s = g.blocks[b];
    const auto own = [&](std::uint32_t v) { return v >= s.pt_lo && v < s.pt_hi; };
    Ids local;
    for (std::uint32_t v = s.pt_lo; v < s.pt_hi; ++v) local.push_back(v);
    for (std::uint32_t id = 0; id < g.cell_ranges.size(); ++id) {
        const auto [lo, hi] = g.cell_ranges[id];
        if (lo == hi || g.cell_owner[id] == b || !g.is_gathered(b, g.cell_coords(id))) continue;
        for (std::uint32_t v = lo; v < hi; ++v) local.push_back(v);
    }

    ASSERT_TRUE(std::is_sorted(out.crust.begin(), out.crust.end()));
    ASSERT_EQ(std::adjacent_find(out.crust.begin(), out.crust.end()), out.crust.end());
    for (const std::uint32_t v : out.crust) ASSERT_TRUE(own(v));
    const std::set<std::uint32_t> crust(out.crust.begin(), out.crust.end());
    const auto safe = [&](std::uint32_t v) { return own(v) && !crust.count(v); };

    const std::vector<double> coords = par::gather_coords<D>(g.points, local);
    const PointView<double> view = PointView<double>::dense(coords.data(), local.size(), D);
    const auto tri = [&] {
        if constexpr (D == 2) return kavro::delaunay2d<double>(view);
        else return kavro::delaunay4d<double>(view);
    }();
    if (local.size() < K + 1 || !tri.ok()) {
        EXPECT_TRUE(out.simplices.empty());
        EXPECT_EQ(out.crust.size(), s.pt_hi - s.pt_lo);
        EXPECT_EQ(out.support, local);
        return;
    }
    par::SimplexRows<D> want_simplices;
    Ids want_support;
    std::set<std::uint32_t> hull, used;
    for (std::size_t t = 0; t < tri.value().simplices.size(); ++t) {
        Row<D> row;
        for (std::size_t k = 0; k < K; ++k) row[k] = local[tri.value().simplices[t][k]];
        for (std::size_t k = 0; k < K; ++k) {
            used.insert(row[k]);
            if (tri.value().neighbors[t][k] >= 0) continue;
            for (std::size_t j = 0; j < K; ++j) {
                if (j != k) hull.insert(row[j]);
            }
        }
        if (std::any_of(row.begin(), row.end(), safe)) want_simplices.push_back(row);
        if (std::any_of(row.begin(), row.end(), [&](std::uint32_t v) { return own(v) && !safe(v); })) {
            want_support.insert(want_support.end(), row.begin(), row.end());
        }
    }
    EXPECT_EQ(out.simplices, want_simplices);
    EXPECT_EQ(out.support, want_support);
    for (std::uint32_t v = s.pt_lo; v < s.pt_hi; ++v) {
        if (hull.count(v) || !used.count(v)) {
            EXPECT_TRUE(crust.count(v)) << "own point " << v;
        }
    }
}

// Every emitted simplex has no grid point strictly inside its circumball.
template <std::size_t D>
void expect_empty_balls(const par::Grid<D>& g, const par::BlockOut<D>& out) {
    for (const auto& t : out.simplices) {
        EXPECT_EQ(fixtures::points_inside<D>(g, t), Ids{}) << "simplex " << t[0] << " " << t[1];
    }
}

template <std::size_t D>
std::vector<par::Point<D>> uniform(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<par::Point<D>> pts(n);
    for (auto& p : pts) {
        for (auto& v : p) v = unit(rng);
    }
    return pts;
}

template <std::size_t D>
par::Grid<D> grid_of(const std::vector<par::Point<D>>& pts, std::uint64_t block_target) {
    return par::build_grid<D>(PointView<double>::dense(pts[0].data(), pts.size(), D), block_target);
}

// Random clouds: every block keeps its contract, each point is vouched for or crust,
// and every emitted simplex belongs to the Delaunay triangulation of the whole cloud
// (unique for points in general position).
template <std::size_t D>
void check_random_clouds() {
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        const auto pts = uniform<D>(6000, seed);
        const auto g = grid_of<D>(pts, 500);
        ASSERT_GE(g.blocks.size(), 8u);
        const auto outs = run_all<D>(g);
        const auto whole = [&] {
            const PointView<double> v = PointView<double>::dense(g.points[0].data(), g.points.size(), D);
            if constexpr (D == 2) return kavro::delaunay2d<double>(v);
            else return kavro::delaunay4d<double>(v);
        }();
        ASSERT_TRUE(whole.ok());
        std::set<Row<D>> delaunay;
        for (const auto& t : whole.value().simplices) delaunay.insert(sorted<D>(t));

        std::vector<int> vouched(g.points.size(), 0), in_crust(g.points.size(), 0);
        std::size_t crust_total = 0;
        for (std::uint32_t b = 0; b < outs.size(); ++b) {
            expect_block_contract<D>(g, b, outs[b]);
            const std::set<std::uint32_t> crust(outs[b].crust.begin(), outs[b].crust.end());
            crust_total += crust.size();
            for (const std::uint32_t v : crust) ++in_crust[v];
            for (const auto& t : outs[b].simplices) {
                ASSERT_TRUE(delaunay.count(sorted<D>(t))) << "block " << b;
                for (const std::uint32_t v : t) {
                    if (v >= g.blocks[b].pt_lo && v < g.blocks[b].pt_hi && !crust.count(v)) ++vouched[v];
                }
            }
        }
        for (std::size_t v = 0; v < g.points.size(); ++v) {
            EXPECT_EQ((vouched[v] > 0) + in_crust[v], 1) << "point " << v;
        }
        // Only a thin layer along the blocks' seams and the hull is left over.
        EXPECT_LT(crust_total, g.points.size() / 4);
    }
}

TEST(Blocks, RandomCloudsKeepTheContract2D) { check_random_clouds<2>(); }
TEST(Blocks, RandomCloudsKeepTheContract3D) { check_random_clouds<3>(); }

// A lattice: massively cocircular, so the local triangulations are not unique, yet no
// emitted triangle may have a lattice point strictly inside its circle.
TEST(Blocks, LatticeEmitsOnlyEmptyCircles) {
    std::vector<par::Point<2>> pts;
    for (int i = 0; i < 40; ++i) {
        for (int j = 0; j < 40; ++j) pts.push_back({i * 0.25, j * 0.25});
    }
    const auto g = grid_of<2>(pts, 150);
    ASSERT_GE(g.blocks.size(), 4u);
    const auto outs = run_all<2>(g);
    for (std::uint32_t b = 0; b < outs.size(); ++b) {
        expect_block_contract<2>(g, b, outs[b]);
        expect_empty_balls<2>(g, outs[b]);
    }
}

TEST(Blocks, DegenerateBlocksVouchForNothing) {
    // 2D, three cells in a row, one block each: 2 own + 1 halo, 1 own + 2 halo, 3 own and
    // no halo (the cell between is empty). Three local points each: no kernel run.
    const auto g = hand_grid<2>({0, 0}, {1, 1}, {4, 1},
                                {{0.2, 0.5}, {0.7, 0.3}, {1.5, 0.5}, {3.2, 0.1}, {3.5, 0.9}, {3.8, 0.4}},
                                {1, 1, 1});
    const auto b0 = run<2>(g, 0), b1 = run<2>(g, 1), b2 = run<2>(g, 2);
    EXPECT_TRUE(b0.simplices.empty() && b1.simplices.empty() && b2.simplices.empty());
    EXPECT_EQ(b0.crust, (Ids{0, 1}));
    EXPECT_EQ(b0.support, (Ids{0, 1, 2}));
    EXPECT_EQ(b1.crust, (Ids{2}));
    EXPECT_EQ(b1.support, (Ids{2, 0, 1}));
    EXPECT_EQ(b2.crust, (Ids{3, 4, 5}));
    EXPECT_EQ(b2.support, (Ids{3, 4, 5}));

    // 3D: four local points, then one.
    const auto g3 = hand_grid<3>({0, 0, 0}, {1, 1, 1}, {4, 1, 1},
                                 {{0.1, 0.1, 0.1}, {0.9, 0.2, 0.3}, {1.5, 0.8, 0.2}, {1.4, 0.3, 0.9},
                                  {3.5, 0.5, 0.5}},
                                 {1, 1, 1});
    const auto c0 = run<3>(g3, 0), c1 = run<3>(g3, 1), c2 = run<3>(g3, 2);
    EXPECT_TRUE(c0.simplices.empty() && c1.simplices.empty() && c2.simplices.empty());
    EXPECT_EQ(c0.crust, (Ids{0, 1}));
    EXPECT_EQ(c0.support, (Ids{0, 1, 2, 3}));
    EXPECT_EQ(c1.crust, (Ids{2, 3}));
    EXPECT_EQ(c1.support, (Ids{2, 3, 0, 1}));
    EXPECT_EQ(c2.crust, (Ids{4}));
    EXPECT_EQ(c2.support, (Ids{4}));
}

TEST(Blocks, FlatLocalSetsVouchForNothing) {
    // Collinear in 2D: the kernel refuses and the block keeps nothing.
    std::vector<par::Point<2>> line;
    for (int i = 0; i < 8; ++i) line.push_back({0.1 + 0.25 * i, 0.5});
    const auto g = hand_grid<2>({0, 0}, {1, 1}, {2, 1}, line, {1, 1});
    for (std::uint32_t b = 0; b < 2; ++b) {
        const auto out = run<2>(g, b);
        EXPECT_TRUE(out.simplices.empty());
        EXPECT_EQ(out.crust.size(), 4u);
        EXPECT_EQ(out.support.size(), 8u);
        expect_block_contract<2>(g, b, out);
    }
    // Coplanar in 3D.
    std::vector<par::Point<3>> plane;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 3; ++j) plane.push_back({0.1 + 0.5 * i, 0.2 + 0.3 * j, 0.5});
    }
    const auto g3 = hand_grid<3>({0, 0, 0}, {1, 1, 1}, {2, 1, 1}, plane, {1, 1});
    for (std::uint32_t b = 0; b < 2; ++b) {
        const auto out = run<3>(g3, b);
        EXPECT_TRUE(out.simplices.empty());
        EXPECT_EQ(out.crust.size(), 6u);
        EXPECT_EQ(out.support.size(), 12u);
    }
}

TEST(Blocks, OwnPointsOnTheLocalHullAreCrust) {
    // Block 0: a square and its centre, alone in its neighbourhood (cells 1 to 3 empty):
    // the corners are crust, the centre vouches for all four triangles.
    const auto alone = hand_grid<2>({0, 0}, {1, 1}, {5, 1},
                                    {{0.1, 0.1}, {0.9, 0.1}, {0.9, 0.9}, {0.1, 0.9}, {0.5, 0.5},
                                     {4.2, 0.2}, {4.5, 0.8}, {4.8, 0.3}},
                                    {1, 1});
    const auto out = run<2>(alone, 0);
    EXPECT_EQ(out.crust, (Ids{0, 1, 2, 3}));
    EXPECT_EQ(out.simplices.size(), 4u);
    expect_block_contract<2>(alone, 0, out);

    // One own point left of four halo points: none of its triangles is emitted, all are
    // support; the halo's own triangles are neither.
    const auto edge = hand_grid<2>({0, 0}, {1, 1}, {2, 1},
                                   {{0.5, 0.5}, {1.2, 0.2}, {1.3, 0.8}, {1.8, 0.5}, {1.6, 0.4}}, {1, 1});
    const auto lone = run<2>(edge, 0);
    EXPECT_TRUE(lone.simplices.empty());
    EXPECT_EQ(lone.crust, Ids{0});
    ASSERT_FALSE(lone.support.empty());
    for (std::size_t k = 0; k < lone.support.size(); k += 3) {
        EXPECT_TRUE(lone.support[k] == 0 || lone.support[k + 1] == 0 || lone.support[k + 2] == 0);
    }
    expect_block_contract<2>(edge, 0, lone);
}

TEST(Blocks, NeighbouringBlocksBothEmitTheirSharedSimplices) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<par::Point<2>> pts;
    for (int i = 0; i < 80; ++i) pts.push_back({2 * unit(rng), unit(rng)});
    const auto g = hand_grid<2>({0, 0}, {1, 1}, {2, 1}, pts, {1, 1});
    const auto b0 = run<2>(g, 0), b1 = run<2>(g, 1);
    // The contract makes each copy vouched for by a safe vertex of its own block.
    expect_block_contract<2>(g, 0, b0);
    expect_block_contract<2>(g, 1, b1);
    std::set<Row<2>> first;
    for (const auto& t : b0.simplices) first.insert(sorted<2>(t));
    EXPECT_TRUE(std::any_of(b1.simplices.begin(), b1.simplices.end(),
                            [&](const Row<2>& t) { return first.count(sorted<2>(t)) > 0; }));
}

// P on top of a circle of radius r about (cx, 0), Q and S on it one unit to either side,
// Z above P: P is inside the local hull and its only large ball is that of P, Q, S,
// whose box of cells is one row of cells of width 1.
par::Grid<2> arc_grid(double cx, double r) {
    const double side = std::sqrt(r * r - 1.0);
    return hand_grid<2>({0, 255}, {1, 2}, {600, 1},
                        {{cx, r}, {cx - 1, side}, {cx + 1, side}, {cx, r + 1}});
}

TEST(Blocks, BallBoxOf512CellsIsWalkedAnd513IsNot) {
    // floor(300 - 255.5) = 44 .. floor(300 + 255.5) = 555: 512 cells, all empty or own.
    const auto walked = arc_grid(300.0, 255.5);
    const auto in = run<2>(walked, 0);
    const std::uint32_t p = 1;  // in id order: Q (cell 299), P and Z (cell 300), S
    ASSERT_EQ(walked.points[p][1], 255.5);
    EXPECT_EQ(in.simplices.size(), 3u);
    EXPECT_FALSE(std::binary_search(in.crust.begin(), in.crust.end(), p));
    // 44 .. 556: 513 cells, uncertified whatever they hold.
    const auto over = arc_grid(300.5, 255.6);
    const auto out = run<2>(over, 0);
    EXPECT_TRUE(out.simplices.empty());
    EXPECT_EQ(out.crust.size(), 4u);
    expect_block_contract<2>(walked, 0, in);
    expect_block_contract<2>(over, 0, out);
}

// Block 0 is cell (1, 1) holding a, b, c, d; the circumcircle of a, b, c has centre
// (2.5, 1.5) and radius 0.7, so it crosses the empty cell (2, 1) into (3, 1) but not into
// the corner cell (3, 0), which its box of cells still covers. Neither cell is next to
// block 0.
par::Grid<2> reach_grid(const std::vector<par::Point<2>>& foreign) {
    const double h = std::sqrt(0.7 * 0.7 - 0.6 * 0.6);
    std::vector<par::Point<2>> pts = {{1.9, 1.5 + h}, {1.9, 1.5 - h}, {1.8, 1.5}, {1.1, 1.45}};
    pts.insert(pts.end(), foreign.begin(), foreign.end());
    return hand_grid<2>({0, 0}, {1, 1}, {6, 3}, pts, {1, 1});
}

TEST(Blocks, BallReachingAForeignCellOutsideTheHaloIsNotCertified) {
    const auto reached = reach_grid({{3.1, 1.5}, {3.5, 1.2}, {3.6, 1.8}});
    const auto out = run<2>(reached, 0);
    EXPECT_TRUE(out.simplices.empty());
    EXPECT_EQ(out.crust.size(), 4u);
    expect_block_contract<2>(reached, 0, out);

    // The corner cell is in the ball's box but out of its reach: no obstacle.
    const auto missed = reach_grid({{3.9, 0.1}, {3.7, 0.3}, {3.8, 0.9}});
    const auto kept = run<2>(missed, 0);
    EXPECT_EQ(kept.simplices.size(), 3u);
    EXPECT_EQ(kept.crust.size(), 3u);
    expect_block_contract<2>(missed, 0, kept);
    expect_empty_balls<2>(missed, kept);
}

// Balls that went NaN on the way out of circumball: a NaN centre or radius files the
// ball's box in cell 0 and answers every distance test alike, so it must not certify.
template <std::size_t D>
std::optional<par::Ball<D>> ball_with_nan_centre(const par::Simplex<D>& s) {
    auto b = par::kernel_ops<D>().circumball(s);
    if (b) b->center[D - 1] = std::numeric_limits<double>::quiet_NaN();
    return b;
}
template <std::size_t D>
std::optional<par::Ball<D>> ball_with_nan_radius(const par::Simplex<D>& s) {
    auto b = par::kernel_ops<D>().circumball(s);
    if (b) b->outer_radius = std::numeric_limits<double>::quiet_NaN();
    return b;
}

TEST(Blocks, NaNBallCertifiesNothing) {
    // The block of `missed` above certifies three triangles with true balls.
    const auto g = reach_grid({{3.9, 0.1}, {3.7, 0.3}, {3.8, 0.9}});
    for (const auto ball : {&ball_with_nan_centre<2>, &ball_with_nan_radius<2>}) {
        par::KernelOps<2> ops = par::kKernelOps2;
        ops.circumball = ball;
        par::BlockCounter counter;
        const auto out = par::process_block<2>({g, ops, nullptr, counter}, 0);
        EXPECT_TRUE(out.simplices.empty());
        EXPECT_EQ(out.crust.size(), 4u);
    }
}

TEST(Blocks, CellBoxesAllowForTheRoundingOfTheFiling) {
    const fixtures::OffsetInput in;
    const auto g = in.grid();
    ASSERT_EQ(g.dims, (std::array<std::uint64_t, 2>{8356, 1}));
    const par::Cell<2> x = g.point_cell(in.q);
    ASSERT_EQ(x[0], 8355u);
    ASSERT_LT(in.q[0], static_cast<double>(x[0]) * g.cell_size[0] + g.origin[0]);
    ASSERT_EQ(g.point_cell(in.c)[0], x[0] - 2);
    ASSERT_EQ(g.cell_owner[x[0] - 1], kavro::NO_INDEX);
    ASSERT_TRUE(fixtures::strictly_inside<2>({in.a, in.b, in.c}, in.q));
    const std::uint32_t b = g.cell_owner[g.cell_index(g.point_cell(in.c))];
    ASSERT_FALSE(g.is_gathered(b, x));

    // The float box of q's cell lies beyond the ball; widened, it is within reach.
    const auto ball = par::circumball2({in.a, in.b, in.c});
    ASSERT_TRUE(ball);
    auto raw = g;
    raw.box_slack.fill(0.0);
    EXPECT_GE(raw.gap2(ball->center, x, 1), ball->outer_radius * ball->outer_radius);
    EXPECT_LT(g.gap2(ball->center, x, 1), par::reach2(ball->outer_radius));

    const auto out = run<2>(g, b);
    expect_block_contract<2>(g, b, out);
    expect_empty_balls<2>(g, out);
    EXPECT_TRUE(std::binary_search(out.crust.begin(), out.crust.end(), in.id_of(g, in.c)));
}

// Records events; a call that starts while another is still running is an overlap.
struct RecordingSink {
    std::mutex mutex;
    std::vector<par::ParProgress> events;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    par::ProgressSink sink() {
        return [this](par::ParProgress e) {
            if (inside.fetch_add(1) != 0) overlapped = true;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            {
                const std::lock_guard<std::mutex> lock(mutex);
                events.push_back(e);
            }
            inside.fetch_sub(1);
        };
    }
};

void expect_done_sequence(const std::vector<par::ParProgress>& events, std::size_t total) {
    ASSERT_EQ(events.size(), total);
    for (std::size_t k = 0; k < total; ++k) {
        EXPECT_EQ(events[k].kind, par::ParProgress::Kind::BlockDone);
        EXPECT_EQ(events[k].done, k + 1);
        EXPECT_EQ(events[k].total, total);
    }
}

TEST(Blocks, EveryBlockReportsOnceInOrderWithoutOverlap) {
    const auto g = grid_of<2>(uniform<2>(8000, 5), 200);
    ASSERT_GE(g.blocks.size(), 30u);
    par::with_pool_threads(8, [&] {
        RecordingSink rec;
        const par::ProgressSink sink = rec.sink();
        run_all<2>(g, &sink);
        EXPECT_FALSE(rec.overlapped);
        expect_done_sequence(rec.events, g.blocks.size());
    });

    // Degenerate blocks report too.
    const auto d = hand_grid<2>({0, 0}, {1, 1}, {4, 1},
                                {{0.2, 0.5}, {0.7, 0.3}, {1.5, 0.5}, {3.2, 0.1}, {3.5, 0.9}, {3.8, 0.4}},
                                {1, 1, 1});
    RecordingSink rec;
    const par::ProgressSink sink = rec.sink();
    run_all<2>(d, &sink);
    expect_done_sequence(rec.events, 3);

    // Without a sink the counter stays untouched.
    par::BlockCounter counter;
    const par::BlockPhase<2> phase{d, par::kKernelOps2, nullptr, counter};
    for (std::uint32_t b = 0; b < 3; ++b) par::process_block<2>(phase, b);
    EXPECT_EQ(counter.done, 0u);
}

}  // namespace

// The merge: every check reached on a hand-made mesh, with its text and in its order;
// which copy of a repeated simplex survives; rows and neighbours of the sequential
// kernel's meshes handed in as blocks and crust; window cuts; thread counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "d2/delaunay2d.h"
#include "parallel/pipeline.h"
#include "parallel/pool.h"

namespace par = kavro::par;

namespace {

template <std::size_t D>
const par::KernelOps<D>& ops() {
    if constexpr (D == 2) {
        return par::kKernelOps2;
    } else {
        return par::kKernelOps3;
    }
}

// Only the points and their input rows matter to the merge; perm defaults to identity.
template <std::size_t D>
par::Grid<D> grid_of(std::vector<par::Point<D>> pts, std::vector<std::uint32_t> perm = {}) {
    par::Grid<D> g{};
    for (std::uint32_t i = static_cast<std::uint32_t>(perm.size()); i < pts.size(); ++i) {
        perm.push_back(i);
    }
    g.points.assign(pts.begin(), pts.end());
    g.perm.assign(perm.begin(), perm.end());
    return g;
}

// The rows each block vouches for, and the crust's.
template <std::size_t D>
struct Emitted {
    std::vector<par::SimplexRows<D>> blocks;
    par::SimplexRows<D> crust;
};

template <std::size_t D>
using MergeResult = kavro::Result<par::ParMesh<D>, par::FallbackReason>;

template <std::size_t D>
MergeResult<D> merge_of(const par::Grid<D>& g, Emitted<D> e, par::MergeOptions opt = {}) {
    std::vector<par::BlockOut<D>> blocks;
    for (par::SimplexRows<D>& rows : e.blocks) blocks.push_back({std::move(rows), {}, {}});
    return par::merge<D>(std::move(blocks), std::move(e.crust), g, ops<D>(), opt);
}

// "" when the merge succeeds, else the text of the failed check.
template <std::size_t D>
std::string failure(const par::Grid<D>& g, Emitted<D> e, par::MergeOptions opt = {}) {
    const MergeResult<D> r = merge_of<D>(g, std::move(e), opt);
    return r.ok() ? "" : r.error().text;
}

using Rows2 = par::SimplexRows<2>;
using Rows3 = par::SimplexRows<3>;
using Row2 = std::array<std::uint32_t, 3>;
const char* const kSeam = "cross-source adjacency is not strictly Delaunay";

// ---- the checks, in their order ------------------------------------------------------------

TEST(MergeChecks, NoSimplices) {
    const auto g = grid_of<2>({{0, 0}, {1, 0}, {0, 1}});
    EXPECT_EQ(failure<2>(g, {}), "no simplices emitted");
    EXPECT_EQ(failure<2>(g, {{{}, {}}, {}}), "no simplices emitted");
}

TEST(MergeChecks, DegenerateSimplexComesBeforeAMissingPoint) {
    // Collinear, with point 3 in no row; coplanar among sound rows, from the crust.
    const auto g2 = grid_of<2>({{0, 0}, {1, 1}, {2, 2}, {5, 0}});
    EXPECT_EQ(failure<2>(g2, {{{{0, 1, 2}}}, {}}), "degenerate simplex");
    const auto g3 = grid_of<3>({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}});
    EXPECT_EQ(failure<3>(g3, {{{{0, 1, 2, 4}}}, {{0, 1, 2, 3}}}), "degenerate simplex");
}

// The 2D sequential kernel's triangles of pts (global ids = input rows).
Rows2 kernel_rows(const std::vector<par::Point<2>>& pts) {
    auto out = kavro::delaunay2d(kavro::PointView<double>::dense(pts[0].data(), pts.size(), 2));
    EXPECT_TRUE(out.ok());
    return out.value().simplices;
}

std::vector<par::Point<2>> random_points(std::size_t n, unsigned seed, double lo, double hi) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(lo, hi);
    std::vector<par::Point<2>> pts(n);
    for (auto& p : pts) p = {u(rng), u(rng)};
    return pts;
}

TEST(MergeChecks, PointMissingIsTestedInEveryCoverageWord) {
    // n = 64 fills one word exactly; n = 65 leaves a single bit in a second word.
    for (const std::uint32_t n : {64u, 65u}) {
        const auto pts = random_points(n, 7, 0, 1);
        const Rows2 all = kernel_rows(pts);
        Rows2 without_last;
        std::copy_if(all.begin(), all.end(), std::back_inserter(without_last),
                     [&](const Row2& r) { return std::count(r.begin(), r.end(), n - 1) == 0; });
        EXPECT_EQ(failure<2>(grid_of<2>(pts), {{all}, {}}), "") << n;
        EXPECT_EQ(failure<2>(grid_of<2>(pts), {{without_last}, {}}), "point missing from mesh")
            << n;
    }
}

TEST(MergeChecks, FaceSharedByThreeSimplices) {
    const auto g = grid_of<2>({{0, 0}, {1, 0}, {0.5, 1}, {0.5, -1}, {0.5, 2}});
    EXPECT_EQ(failure<2>(g, {{{{0, 1, 2}, {1, 0, 3}}, {{0, 1, 4}}}, {}}),
              "face shared by more than two simplices");
}

// Four cocircular points split into two triangles along the diagonal 0-2.
const std::vector<par::Point<2>> kSquare{{0, 0}, {1, 0}, {1, 1}, {0, 1}};
const Row2 kLower{0, 1, 2}, kUpper{0, 2, 3};

TEST(MergeChecks, SeamBetweenSourcesMustBeStrictlyDelaunay) {
    const auto g = grid_of<2>(kSquare);
    EXPECT_EQ(failure<2>(g, {{{kLower}, {kUpper}}, {}}), kSeam);
    EXPECT_EQ(failure<2>(g, {{{kLower}}, {kUpper}}), kSeam);
    // One source: its own kernel run chose the diagonal. Neighbours across it only.
    const MergeResult<2> one = merge_of<2>(g, {{{kLower, kUpper}}, {}});
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one.value().simplices, (Rows2{kLower, kUpper}));
    EXPECT_EQ(one.value().neighbors, (par::NeighborRows<2>{{-1, 1, -1}, {-1, -1, 0}}));
    // Off the circle, the seam is strictly Delaunay.
    const auto off = grid_of<2>({{0, 0}, {1, 0}, {0.9, 1}, {0, 1}});
    EXPECT_EQ(failure<2>(off, {{{kLower}}, {kUpper}}), "");
}

TEST(MergeChecks, RepeatKeepsTheLowestSource) {
    // Sources show through the seam test: the cocircular pair passes exactly when both
    // triangles keep one source.
    const auto g = grid_of<2>(kSquare);
    EXPECT_EQ(failure<2>(g, {{{kLower, kUpper}}, {{2, 1, 0}}}), "");      // block over crust
    EXPECT_EQ(failure<2>(g, {{{kLower, kUpper}, {{1, 2, 0}}}, {}}), "");  // lower block
    EXPECT_EQ(failure<2>(g, {{{kUpper}, {{1, 2, 0}, kUpper}}, {}}), kSeam);
    EXPECT_EQ(failure<2>(g, {{{kUpper}}, {kLower}}), kSeam);  // the crust alone
    const MergeResult<2> r = merge_of<2>(g, {{{kLower, kUpper}, {kUpper}}, {kLower}});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().simplices.size(), 2u);
}

TEST(MergeChecks, RidgeOfFourBoundaryEdges) {
    // Two triangles that touch only at point 0.
    const auto g = grid_of<2>({{0, 0}, {1, 0}, {0, 1}, {-1, 0}, {0, -1}});
    EXPECT_EQ(failure<2>(g, {{{{0, 1, 2}, {0, 3, 4}}}, {}}),
              "boundary ridge shared by more than two boundary faces");
}

TEST(MergeChecks, RidgeMetOnceByTheBoundary) {
    // Pairing never leaves such a ridge (see check_merge_boundary), so the boundary is
    // handed in: three faces of a tetrahedron, the one opposite vertex 0 left out.
    const auto g = grid_of<3>({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    const Rows3 rows{{0, 1, 2, 3}};
    const auto open = par::check_merge_boundary<3>(rows, {1, 2, 3}, g, ops<3>());
    ASSERT_TRUE(open.has_value());
    EXPECT_STREQ(open->text, "boundary ridge not shared by two boundary faces");
    EXPECT_FALSE(par::check_merge_boundary<3>(rows, {0, 1, 2, 3}, g, ops<3>()).has_value());
}

TEST(MergeChecks, HoleBoundedByItsOwnCycle) {
    // A ring of eight triangles between an outer and an inner square.
    const auto g = grid_of<2>({{0, 0}, {3, 0}, {3, 3}, {0, 3}, {1, 1}, {2, 1}, {2, 2}, {1, 2}});
    const Rows2 ring{{0, 1, 5}, {0, 5, 4}, {1, 2, 6}, {1, 6, 5},
                     {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}};
    EXPECT_EQ(failure<2>(g, {{ring}, {}}), "boundary is not a single connected surface");
}

// A point inside a triangle (tetrahedron) and the cones from it over the sides (faces).
const auto kTri = grid_of<2>({{0, 0}, {4, 0}, {0, 4}, {1, 1}});
const Rows2 kTriCones{{0, 1, 3}, {1, 2, 3}, {2, 0, 3}};
const auto kTet = grid_of<3>({{0, 0, 0}, {4, 0, 0}, {0, 4, 0}, {0, 0, 4}, {1, 1, 1}});
const Rows3 kTetCones{{0, 1, 2, 4}, {0, 1, 3, 4}, {0, 2, 3, 4}, {1, 2, 3, 4}};

TEST(MergeChecks, ClosedMeshHasNoBoundary) {
    // The cones with the outer simplex itself: every face in two simplices.
    Rows2 closed2 = kTriCones;
    closed2.push_back({0, 1, 2});
    EXPECT_EQ(failure<2>(kTri, {{closed2}, {}}), "mesh has no boundary");
    Rows3 closed3 = kTetCones;
    closed3.push_back({0, 1, 2, 3});
    EXPECT_EQ(failure<3>(kTet, {{closed3}, {}}), "mesh has no boundary");
}

TEST(MergeChecks, BoundaryDentedByAMissingHullSimplex) {
    // One cone left out: one closed, connected boundary, but not the hull.
    EXPECT_EQ(failure<2>(kTri, {{kTriCones}, {}}), "");
    EXPECT_EQ(failure<2>(kTri, {{Rows2(kTriCones.begin() + 1, kTriCones.end())}, {}}),
              "boundary is not convex");
    EXPECT_EQ(failure<3>(kTet, {{kTetCones}, {}}), "");
    EXPECT_EQ(failure<3>(kTet, {{Rows3(kTetCones.begin() + 1, kTetCones.end())}, {}}),
              "boundary is not convex");
    // A hull side split at a point on it is no dent.
    const auto split_side = grid_of<2>({{0, 0}, {1, 0}, {2, 0}, {1, 1}});
    EXPECT_EQ(failure<2>(split_side, {{{{0, 1, 3}, {1, 2, 3}}}, {}}), "");
}

// Exact tests that answer NaN: orientation, seam and convexity must each fail on it, since
// a check passed on NaN has looked at nothing.
template <std::size_t D>
double nan_orient(const par::Simplex<D>&) {
    return std::numeric_limits<double>::quiet_NaN();
}
template <std::size_t D>
double nan_inball(const par::Simplex<D>&, const par::Point<D>&) {
    return std::numeric_limits<double>::quiet_NaN();
}

template <std::size_t D>
std::string failure_with(const par::KernelOps<D>& table, const par::Grid<D>& g, Emitted<D> e) {
    std::vector<par::BlockOut<D>> blocks;
    for (par::SimplexRows<D>& rows : e.blocks) blocks.push_back({std::move(rows), {}, {}});
    const MergeResult<D> r = par::merge<D>(std::move(blocks), std::move(e.crust), g, table);
    return r.ok() ? "" : r.error().text;
}

TEST(MergeChecks, NaNFromAnExactTestFailsItsCheck) {
    par::KernelOps<2> orient2 = ops<2>(), inball2 = ops<2>();
    orient2.orient_exact = &nan_orient<2>;
    inball2.inball_exact = &nan_inball<2>;
    par::KernelOps<3> orient3 = ops<3>();
    orient3.orient_exact = &nan_orient<3>;

    EXPECT_EQ(failure_with<2>(orient2, kTri, {{kTriCones}, {}}), "degenerate simplex");
    EXPECT_EQ(failure_with<3>(orient3, kTet, {{kTetCones}, {}}), "degenerate simplex");

    const auto off = grid_of<2>({{0, 0}, {1, 0}, {0.9, 1}, {0, 1}});
    EXPECT_EQ(failure_with<2>(inball2, off, {{{kLower}}, {kUpper}}), kSeam);
    EXPECT_EQ(failure_with<2>(inball2, off, {{{kLower}, {kUpper}}, {}}), kSeam);
    EXPECT_EQ(failure_with<2>(inball2, off, {{{kLower, kUpper}}, {}}), "");  // no seam to test

    // The boundary of the cones (the faces opposite the centre: slots 2, 5, 8 in 2D, 3, 7,
    // 11, 15 in 3D, rows positively oriented) is the hull; with NaN for every apex test it
    // proves nothing.
    EXPECT_FALSE(par::check_merge_boundary<2>(kTriCones, {2, 5, 8}, kTri, ops<2>()).has_value());
    const auto dent2 = par::check_merge_boundary<2>(kTriCones, {2, 5, 8}, kTri, orient2);
    ASSERT_TRUE(dent2.has_value());
    EXPECT_STREQ(dent2->text, "boundary is not convex");
    const Rows3 oriented{{0, 1, 2, 4}, {1, 0, 3, 4}, {0, 2, 3, 4}, {2, 1, 3, 4}};
    EXPECT_FALSE(par::check_merge_boundary<3>(oriented, {3, 7, 11, 15}, kTet, ops<3>()).has_value());
    const auto dent3 = par::check_merge_boundary<3>(oriented, {3, 7, 11, 15}, kTet, orient3);
    ASSERT_TRUE(dent3.has_value());
    EXPECT_STREQ(dent3->text, "boundary is not convex");
}

TEST(MergeChecks, FaceSlotLimit) {
    // One triangle has 3 face slots; the limit is exclusive. The point check comes first.
    par::MergeOptions opt;
    opt.face_slot_limit = 3;
    EXPECT_EQ(failure<2>(grid_of<2>({{0, 0}, {1, 0}, {0, 1}}), {{{{0, 1, 2}}}, {}}, opt),
              "mesh too large for 32-bit face slots");
    const auto unused = grid_of<2>({{0, 0}, {1, 0}, {0, 1}, {5, 5}});
    EXPECT_EQ(failure<2>(unused, {{{{0, 1, 2}}}, {}}, opt), "point missing from mesh");
    opt.face_slot_limit = 4;
    EXPECT_EQ(failure<2>(grid_of<2>({{0, 0}, {1, 0}, {0, 1}}), {{{{0, 1, 2}}}, {}}, opt), "");
}

// ---- rows and neighbours -------------------------------------------------------------------

TEST(MergeRows, OrientationExchangesTheFirstTwoAndPermMapsToInputRows) {
    // Ids 4, 7, 9 among ten points, the others far off: 4, 7, 9 is a Delaunay triangle.
    std::vector<par::Point<2>> pts = random_points(10, 5, 10, 20);
    std::vector<std::uint32_t> perm;
    for (std::uint32_t i = 0; i < 10; ++i) perm.push_back(100 + 3 * i);  // 112, 121, 127
    const auto row_of_4_7_9 = [&](par::Point<2> p7, par::Point<2> p9) {
        pts[4] = {0, 0};
        pts[7] = p7;
        pts[9] = p9;
        const MergeResult<2> r = merge_of<2>(grid_of<2>(pts, perm), {{kernel_rows(pts)}, {}});
        EXPECT_TRUE(r.ok());
        for (Row2 row : r.value().simplices) {
            Row2 s = row;
            std::sort(s.begin(), s.end());
            if (s == Row2{112, 121, 127}) return row;
        }
        return Row2{};
    };
    EXPECT_EQ(row_of_4_7_9({0, 1}, {1, 0}), (Row2{121, 112, 127}));  // 4, 7, 9 clockwise
    EXPECT_EQ(row_of_4_7_9({1, 0}, {0, 1}), (Row2{112, 121, 127}));
}

TEST(MergeRows, OneTriangleAndOneTetrahedron) {
    const MergeResult<2> t =
        merge_of<2>(grid_of<2>({{0, 0}, {0, 1}, {1, 0}}), {{{{2, 0, 1}}}, {}});
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(t.value().simplices, (Rows2{{1, 0, 2}}));
    EXPECT_EQ(t.value().neighbors, (par::NeighborRows<2>{{-1, -1, -1}}));
    // det(b - a, c - a, d - a) < 0 in ascending order: the first two exchange.
    const auto g = grid_of<3>({{0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {0, 0, 1}});
    const MergeResult<3> k = merge_of<3>(g, {{}, {{3, 1, 2, 0}}});
    ASSERT_TRUE(k.ok());
    EXPECT_EQ(k.value().simplices, (Rows3{{1, 0, 2, 3}}));
    EXPECT_EQ(k.value().neighbors, (par::NeighborRows<3>{{-1, -1, -1, -1}}));
}

// The sequential kernel's mesh of n random points, handed in as the pipeline would: each
// row by the block of its lowest vertex, in a rotated vertex order; some by the next block
// as well, some by the crust as well, some by the crust alone.
template <std::size_t D>
struct Generated {
    par::Grid<D> grid;
    par::SimplexRows<D> rows;
    std::size_t hull_faces = 0;

    Generated(std::size_t n, unsigned seed) {
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::vector<par::Point<D>> pts(n);
        for (auto& p : pts) std::generate(p.begin(), p.end(), [&] { return unit(rng); });
        auto out = ops<D>().kernel(kavro::PointView<double>::dense(pts[0].data(), n, D));
        EXPECT_TRUE(out.ok());
        rows = out.value().simplices;
        for (const auto& nb : out.value().neighbors) {
            hull_faces += static_cast<std::size_t>(std::count(nb.begin(), nb.end(), -1));
        }
        grid = grid_of<D>(std::move(pts));
    }

    Emitted<D> emitted(std::size_t blocks, const par::SimplexRows<D>& leave_out = {}) const {
        Emitted<D> e;
        e.blocks.resize(blocks);
        for (std::size_t s = 0; s < rows.size(); ++s) {
            if (std::count(leave_out.begin(), leave_out.end(), rows[s])) continue;
            auto row = rows[s];
            std::rotate(row.begin(), row.begin() + s % (D + 1), row.end());
            const std::size_t b =
                *std::min_element(row.begin(), row.end()) * blocks / grid.points.size();
            if (s % 7 == 0 || s % 11 == 0) e.crust.push_back(row);
            if (s % 11 == 0) continue;
            e.blocks[b].push_back(row);
            if (s % 5 == 0 && b + 1 < blocks) e.blocks[b + 1].push_back(row);
        }
        return e;
    }

    // The kernel's simplices in ascending order of their sorted ids, each ascending but
    // for its first two and positive, each neighbour across the face opposite its vertex
    // and pointing back, -1 exactly on the hull.
    void expect_merged(const par::ParMesh<D>& mesh) const {
        constexpr std::size_t K = D + 1;
        const auto sorted = [](std::array<std::uint32_t, K> r) {
            std::sort(r.begin(), r.end());
            return r;
        };
        std::vector<std::array<std::uint32_t, K>> want;
        for (const auto& r : rows) want.push_back(sorted(r));
        std::sort(want.begin(), want.end());
        const auto& got = mesh.simplices;
        ASSERT_EQ(got.size(), want.size());
        ASSERT_EQ(mesh.neighbors.size(), got.size());
        std::size_t on_hull = 0;
        for (std::size_t s = 0; s < got.size(); ++s) {
            ASSERT_EQ(sorted(got[s]), want[s]);
            EXPECT_TRUE(std::is_sorted(got[s].begin() + 1, got[s].end()));
            par::Simplex<D> simplex;
            for (std::size_t k = 0; k < K; ++k) simplex[k] = grid.points[got[s][k]];
            EXPECT_GT(ops<D>().orient_exact(simplex), 0.0) << s;
            for (std::size_t k = 0; k < K; ++k) {
                const std::int32_t t = mesh.neighbors[s][k];
                if (t < 0) {
                    ++on_hull;
                    continue;
                }
                const auto& other = got[static_cast<std::size_t>(t)];
                for (std::size_t j = 0; j < K; ++j) {
                    EXPECT_EQ(std::count(other.begin(), other.end(), got[s][j]), j == k ? 0 : 1);
                }
                const auto& back = mesh.neighbors[static_cast<std::size_t>(t)];
                EXPECT_EQ(std::count(back.begin(), back.end(), static_cast<std::int32_t>(s)), 1);
            }
        }
        EXPECT_EQ(on_hull, hull_faces);
    }
};

TEST(MergeRows, KernelMeshesFromBlocksAndCrust) {
    const Generated<2> g2(3000, 1);
    const MergeResult<2> r2 = merge_of<2>(g2.grid, g2.emitted(6));
    ASSERT_TRUE(r2.ok()) << r2.error().text;
    g2.expect_merged(r2.value());
    const Generated<3> g3(2000, 2);
    const MergeResult<3> r3 = merge_of<3>(g3.grid, g3.emitted(5));
    ASSERT_TRUE(r3.ok()) << r3.error().text;
    g3.expect_merged(r3.value());
}

// ---- windows and threads -------------------------------------------------------------------

TEST(MergeWindows, FourPerThreadAtMost256) {
    EXPECT_EQ(par::with_pool_threads(1, [] { return par::merge_window_count(); }), 4u);
    EXPECT_EQ(par::with_pool_threads(3, [] { return par::merge_window_count(); }), 12u);
    EXPECT_EQ(par::with_pool_threads(64, [] { return par::merge_window_count(); }), 256u);
}

TEST(MergeWindows, CutsNeverSplitARun) {
    // Runs of keys of one face start at `starts` (the key count last).
    const auto cuts = [](std::vector<std::size_t> starts, std::size_t windows) {
        return par::window_cuts(starts.back(), windows, [&](std::size_t b) {
            return *std::lower_bound(starts.begin(), starts.end(), b);
        });
    };
    using V = std::vector<std::size_t>;
    // 4 windows of 3 nominal keys: 3 moves up to 5, 6 stays, 9 moves up to the end: dropped.
    EXPECT_EQ(cuts({0, 2, 5, 6, 8, 10}, 4), (V{0, 5, 6, 10}));
    // 3 and 6 both move up to 7: the second is dropped.
    EXPECT_EQ(cuts({0, 7, 10}, 4), (V{0, 7, 10}));
    EXPECT_EQ(cuts({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 4), (V{0, 3, 6, 9, 10}));
    // More windows than keys: one run per window.
    EXPECT_EQ(cuts({0, 2, 3, 5}, 256), (V{0, 2, 3, 5}));
    EXPECT_EQ(cuts({0, 2, 3, 5}, 1), (V{0, 5}));
}

TEST(MergeWindows, ResultDoesNotDependOnWindowsOrThreads) {
    const Generated<3> g(600, 3);
    const MergeResult<3> one = merge_of<3>(g.grid, g.emitted(4), {1, std::uint64_t{1} << 32});
    ASSERT_TRUE(one.ok());
    const Emitted<3> broken = g.emitted(4, {g.rows[g.rows.size() / 2]});  // a hole inside
    const MergeResult<3> fails = merge_of<3>(g.grid, broken);
    ASSERT_FALSE(fails.ok());
    const auto expect_same = [](const MergeResult<3>& a, const MergeResult<3>& b) {
        ASSERT_EQ(a.ok(), b.ok());
        if (!a.ok()) {
            EXPECT_STREQ(a.error().text, b.error().text);
        } else {
            EXPECT_EQ(a.value().simplices, b.value().simplices);
            EXPECT_EQ(a.value().neighbors, b.value().neighbors);
        }
    };
    // Up to one key per nominal window: a nominal cut inside every pair of keys.
    for (const std::size_t w : {2u, 7u, 256u, 4 * 600 * 7u}) {
        expect_same(merge_of<3>(g.grid, g.emitted(4), {w, std::uint64_t{1} << 32}), one);
    }
    for (const std::size_t t : {1u, 2u, 8u}) {
        par::with_pool_threads(t, [&] {
            expect_same(merge_of<3>(g.grid, g.emitted(4)), one);
            expect_same(merge_of<3>(g.grid, broken), fails);
        });
    }
}

}  // namespace

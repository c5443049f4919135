// The merge: every check reached on a hand-made mesh, with its text and in its order;
// which copy of a repeated simplex survives; row order, orientation and neighbours on the
// sequential kernel's meshes handed in as blocks and crust; window cuts; thread counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "d2/delaunay2d.h"
#include "d4/delaunay4d.h"
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

// Only the points and their input rows matter to the merge. perm defaults to the identity.
template <std::size_t D>
par::Grid<D> grid_of(std::vector<par::Point<D>> pts, std::vector<std::uint32_t> perm = {}) {
    par::Grid<D> g{};
    if (perm.empty()) {
        for (std::uint32_t i = 0; i < pts.size(); ++i) perm.push_back(i);
    }
    g.points = std::move(pts);
    g.perm = std::move(perm);
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
using Nbr2 = par::NeighborRows<2>;

// ---- the checks, in their order ------------------------------------------------------------

TEST(MergeChecks, NoSimplices) {
    const auto g = grid_of<2>({{0, 0}, {1, 0}, {0, 1}});
    EXPECT_EQ(failure<2>(g, {}), "no simplices emitted");
    EXPECT_EQ(failure<2>(g, {{{}, {}}, {}}), "no simplices emitted");
}

TEST(MergeChecks, DegenerateSimplexComesBeforeAMissingPoint) {
    // Collinear, with point 3 in no row.
    const auto g2 = grid_of<2>({{0, 0}, {1, 1}, {2, 2}, {5, 0}});
    EXPECT_EQ(failure<2>(g2, {{{{0, 1, 2}}}, {}}), "degenerate simplex");
    // Coplanar in 3D, among sound rows (and from the crust).
    const auto g3 = grid_of<3>({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}});
    EXPECT_EQ(failure<3>(g3, {{{{0, 1, 2, 4}}}, {{0, 1, 2, 3}}}), "degenerate simplex");
}

// A 2D Delaunay mesh of n points from the sequential kernel, in global ids = input rows.
struct Mesh2 {
    std::vector<par::Point<2>> pts;
    Rows2 rows;
};

Mesh2 kernel_mesh2(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Mesh2 m;
    for (std::size_t i = 0; i < n; ++i) m.pts.push_back({unit(rng), unit(rng)});
    auto out = kavro::delaunay2d(kavro::PointView<double>::dense(m.pts[0].data(), n, 2));
    EXPECT_TRUE(out.ok());
    m.rows = out.value().simplices;
    return m;
}

TEST(MergeChecks, PointMissingIsTestedInEveryCoverageWord) {
    // n = 64 fills one word exactly; n = 65 leaves one bit in a second word.
    for (const std::size_t n : {64u, 65u}) {
        const Mesh2 m = kernel_mesh2(n, 7);
        const auto g = grid_of<2>(m.pts);
        EXPECT_EQ(failure<2>(g, {{m.rows}, {}}), "") << n;
        const std::uint32_t last = static_cast<std::uint32_t>(n - 1);
        Rows2 without_last;
        for (const auto& r : m.rows) {
            if (std::find(r.begin(), r.end(), last) == r.end()) without_last.push_back(r);
        }
        EXPECT_EQ(failure<2>(g, {{without_last}, {}}), "point missing from mesh") << n;
    }
}

TEST(MergeChecks, FaceSharedByThreeSimplices) {
    const auto g = grid_of<2>({{0, 0}, {1, 0}, {0.5, 1}, {0.5, -1}, {0.5, 2}});
    EXPECT_EQ(failure<2>(g, {{{{0, 1, 2}, {1, 0, 3}}, {{0, 1, 4}}}, {}}),
              "face shared by more than two simplices");
}

// Four cocircular points split into two triangles along the diagonal 0-2.
const std::vector<par::Point<2>> kSquare{{0, 0}, {1, 0}, {1, 1}, {0, 1}};
const std::array<std::uint32_t, 3> kLower{0, 1, 2}, kUpper{0, 2, 3};

TEST(MergeChecks, SeamBetweenSourcesMustBeStrictlyDelaunay) {
    const auto g = grid_of<2>(kSquare);
    const char* seam = "cross-source adjacency is not strictly Delaunay";
    EXPECT_EQ(failure<2>(g, {{{kLower}, {kUpper}}, {}}), seam);
    EXPECT_EQ(failure<2>(g, {{{kLower}}, {kUpper}}), seam);
    // One source: its own kernel run decided the split, nothing to test.
    const MergeResult<2> one = merge_of<2>(g, {{{kLower, kUpper}}, {}});
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one.value().simplices, (Rows2{kLower, kUpper}));
    // Each triangle's neighbour across the diagonal (opposite its vertex 1 or 3), no other.
    EXPECT_EQ(one.value().neighbors, (Nbr2{{-1, 1, -1}, {-1, -1, 0}}));
    // Off the circle, a seam between sources is strictly Delaunay.
    const auto off = grid_of<2>({{0, 0}, {1, 0}, {0.9, 1}, {0, 1}});
    EXPECT_EQ(failure<2>(off, {{{kLower}}, {kUpper}}), "");
}

TEST(MergeChecks, RepeatKeepsTheLowestSource) {
    // Sources are seen only through the seam test: the cocircular pair passes exactly when
    // both triangles keep the same source.
    const auto g = grid_of<2>(kSquare);
    const char* seam = "cross-source adjacency is not strictly Delaunay";
    // Block copy over crust copy, in another vertex order.
    EXPECT_EQ(failure<2>(g, {{{kLower, kUpper}}, {{2, 1, 0}}}), "");
    // Lower block over higher block.
    EXPECT_EQ(failure<2>(g, {{{kLower, kUpper}, {{1, 2, 0}}}, {}}), "");
    EXPECT_EQ(failure<2>(g, {{{kUpper}, {{1, 2, 0}, kUpper}}, {}}), seam);
    // A triangle of the crust alone keeps the crust as its source.
    EXPECT_EQ(failure<2>(g, {{{kUpper}}, {kLower}}), seam);
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
    const auto g = grid_of<2>(
        {{0, 0}, {3, 0}, {3, 3}, {0, 3}, {1, 1}, {2, 1}, {2, 2}, {1, 2}});
    const Rows2 ring{{0, 1, 5}, {0, 5, 4}, {1, 2, 6}, {1, 6, 5},
                     {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}};
    EXPECT_EQ(failure<2>(g, {{ring}, {}}), "boundary is not a single connected surface");
}

TEST(MergeChecks, ClosedMeshHasNoBoundary) {
    // A point inside a triangle, with the triangle itself and its three cones around the
    // point: every edge in two triangles. Likewise a tetrahedron and its four cones.
    const auto g2 = grid_of<2>({{0, 0}, {4, 0}, {0, 4}, {1, 1}});
    EXPECT_EQ(failure<2>(g2, {{{{0, 1, 2}, {0, 1, 3}, {1, 2, 3}, {2, 0, 3}}}, {}}),
              "mesh has no boundary");
    const auto g3 = grid_of<3>({{0, 0, 0}, {4, 0, 0}, {0, 4, 0}, {0, 0, 4}, {1, 1, 1}});
    EXPECT_EQ(failure<3>(g3, {{{{0, 1, 2, 3}, {0, 1, 2, 4}, {0, 1, 3, 4}, {0, 2, 3, 4},
                                {1, 2, 3, 4}}},
                              {}}),
              "mesh has no boundary");
}

TEST(MergeChecks, BoundaryDentedByAMissingHullSimplex) {
    // A point inside a square (triangle) with one of its four (three) cones left out:
    // one closed, connected boundary, but not the hull.
    const auto g2 = grid_of<2>({{0, 0}, {2, 0}, {2, 2}, {0, 2}, {1, 1}});
    const Rows2 cones{{0, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}};
    EXPECT_EQ(failure<2>(g2, {{cones}, {}}), "");
    EXPECT_EQ(failure<2>(g2, {{Rows2(cones.begin() + 1, cones.end())}, {}}),
              "boundary is not convex");
    const auto g3 = grid_of<3>({{0, 0, 0}, {4, 0, 0}, {0, 4, 0}, {0, 0, 4}, {1, 1, 1}});
    const Rows3 star{{0, 1, 2, 4}, {0, 1, 3, 4}, {0, 2, 3, 4}, {1, 2, 3, 4}};
    EXPECT_EQ(failure<3>(g3, {{star}, {}}), "");
    EXPECT_EQ(failure<3>(g3, {{Rows3(star.begin(), star.end() - 1)}, {}}),
              "boundary is not convex");
    // Collinear hull edges (one side split at a point on it) are no dent.
    const auto flat = grid_of<2>({{0, 0}, {1, 0}, {2, 0}, {1, 1}});
    EXPECT_EQ(failure<2>(flat, {{{{0, 1, 3}, {1, 2, 3}}}, {}}), "");
}

TEST(MergeChecks, FaceSlotLimit) {
    const auto g = grid_of<2>({{0, 0}, {1, 0}, {0, 1}});
    par::MergeOptions opt;
    opt.face_slot_limit = 3;  // one triangle: 3 slots, one too many
    EXPECT_EQ(failure<2>(g, {{{{0, 1, 2}}}, {}}, opt), "mesh too large for 32-bit face slots");
    opt.face_slot_limit = 4;
    EXPECT_EQ(failure<2>(g, {{{{0, 1, 2}}}, {}}, opt), "");
    // After the point check, before any face is paired.
    const auto g4 = grid_of<2>({{0, 0}, {1, 0}, {0, 1}, {5, 5}});
    opt.face_slot_limit = 3;
    EXPECT_EQ(failure<2>(g4, {{{{0, 1, 2}}}, {}}, opt), "point missing from mesh");
}

// ---- rows and neighbours -------------------------------------------------------------------

TEST(MergeRows, OrientationExchangesTheFirstTwoAndPermMapsToInputRows) {
    // Ids 4, 7, 9 among ten points, the others far off so that the triangle is Delaunay.
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> far(10.0, 20.0);
    std::vector<par::Point<2>> pts;
    for (int i = 0; i < 10; ++i) pts.push_back({far(rng), far(rng) - 15.0});
    const auto run = [&](par::Point<2> p7, par::Point<2> p9) {
        pts[4] = {0, 0};
        pts[7] = p7;
        pts[9] = p9;
        auto out = kavro::delaunay2d(kavro::PointView<double>::dense(pts[0].data(), 10, 2));
        EXPECT_TRUE(out.ok());
        std::vector<std::uint32_t> perm;
        for (std::uint32_t i = 0; i < 10; ++i) perm.push_back(100 + 3 * i);
        const MergeResult<2> r = merge_of<2>(grid_of<2>(pts, perm), {{out.value().simplices}, {}});
        EXPECT_TRUE(r.ok());
        for (const auto& row : r.value().simplices) {
            auto s = row;
            std::sort(s.begin(), s.end());
            if (s == std::array<std::uint32_t, 3>{112, 121, 127}) return row;
        }
        ADD_FAILURE() << "triangle 4, 7, 9 missing";
        return std::array<std::uint32_t, 3>{};
    };
    EXPECT_EQ(run({0, 1}, {1, 0}), (std::array<std::uint32_t, 3>{121, 112, 127}));
    EXPECT_EQ(run({1, 0}, {0, 1}), (std::array<std::uint32_t, 3>{112, 121, 127}));
}

TEST(MergeRows, OneTriangleAndOneTetrahedron) {
    const MergeResult<2> t = merge_of<2>(grid_of<2>({{0, 0}, {0, 1}, {1, 0}}), {{{{2, 0, 1}}}, {}});
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(t.value().simplices, (Rows2{{1, 0, 2}}));
    EXPECT_EQ(t.value().neighbors, (Nbr2{{-1, -1, -1}}));
    // det(b - a, c - a, d - a) < 0 in ascending order: the first two exchange.
    const MergeResult<3> k = merge_of<3>(
        grid_of<3>({{0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {0, 0, 1}}), {{}, {{3, 1, 2, 0}}});
    ASSERT_TRUE(k.ok());
    EXPECT_EQ(k.value().simplices, (Rows3{{1, 0, 2, 3}}));
    EXPECT_EQ(k.value().neighbors, (par::NeighborRows<3>{{-1, -1, -1, -1}}));
}

// The sequential kernel's mesh of n random points, handed in the way the pipeline hands
// it: each row by the block of its lowest vertex in a rotated vertex order, some rows by
// the next block too, some by the crust as well, some by the crust alone.
template <std::size_t D>
struct Generated {
    par::Grid<D> grid;
    par::SimplexRows<D> rows;
    std::size_t hull_faces = 0;

    Emitted<D> emitted(std::size_t blocks) const {
        Emitted<D> e;
        e.blocks.resize(blocks);
        const std::size_t n = grid.points.size();
        for (std::size_t s = 0; s < rows.size(); ++s) {
            auto row = rows[s];
            std::rotate(row.begin(), row.begin() + s % (D + 1), row.end());
            const std::size_t b = *std::min_element(row.begin(), row.end()) * blocks / n;
            if (s % 7 == 0 || s % 11 == 0) e.crust.push_back(row);
            if (s % 11 == 0) continue;
            e.blocks[b].push_back(row);
            if (s % 5 == 0 && b + 1 < blocks) e.blocks[b + 1].push_back(row);
        }
        return e;
    }
};

template <std::size_t D>
Generated<D> generate(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<par::Point<D>> pts(n);
    for (auto& p : pts) {
        for (double& x : p) x = unit(rng);
    }
    const auto view = kavro::PointView<double>::dense(pts[0].data(), n, D);
    Generated<D> gen;
    auto out = ops<D>().kernel(view);
    EXPECT_TRUE(out.ok());
    gen.rows = out.value().simplices;
    for (const auto& nb : out.value().neighbors) gen.hull_faces += std::count(nb.begin(), nb.end(), -1);
    gen.grid = grid_of<D>(std::move(pts));
    return gen;
}

template <std::size_t D>
std::array<std::uint32_t, D + 1> sorted(std::array<std::uint32_t, D + 1> r) {
    std::sort(r.begin(), r.end());
    return r;
}

template <std::size_t D>
void expect_the_kernels_mesh(const Generated<D>& gen, const par::ParMesh<D>& mesh) {
    constexpr std::size_t K = D + 1;
    const auto& rows = mesh.simplices;
    const auto& nbr = mesh.neighbors;
    ASSERT_EQ(rows.size(), gen.rows.size());
    ASSERT_EQ(nbr.size(), rows.size());
    // The same simplices, in ascending order of their sorted ids.
    std::vector<std::array<std::uint32_t, K>> want;
    for (const auto& r : gen.rows) want.push_back(sorted<D>(r));
    std::sort(want.begin(), want.end());
    std::size_t on_hull = 0;
    for (std::size_t s = 0; s < rows.size(); ++s) {
        const auto& row = rows[s];
        ASSERT_EQ(sorted<D>(row), want[s]);
        // Ascending but for the first two; positive.
        EXPECT_TRUE(std::is_sorted(row.begin() + 1, row.end())) << s;
        EXPECT_LT(std::min(row[0], row[1]), row[2]) << s;
        par::Simplex<D> simplex;
        for (std::size_t k = 0; k < K; ++k) simplex[k] = gen.grid.points[row[k]];
        EXPECT_GT(ops<D>().orient_exact(simplex), 0.0) << s;
        // Entry k: the simplex across the face opposite vertex k, and back.
        for (std::size_t k = 0; k < K; ++k) {
            const std::int32_t t = nbr[s][k];
            if (t < 0) {
                ++on_hull;
                continue;
            }
            const auto& other = rows[static_cast<std::size_t>(t)];
            std::size_t shared = 0;
            for (std::size_t j = 0; j < K; ++j) {
                if (j != k && std::count(other.begin(), other.end(), row[j])) ++shared;
            }
            EXPECT_EQ(shared, D) << s << " " << k;
            EXPECT_EQ(std::count(other.begin(), other.end(), row[k]), 0) << s << " " << k;
            EXPECT_EQ(std::count(nbr[static_cast<std::size_t>(t)].begin(),
                                 nbr[static_cast<std::size_t>(t)].end(),
                                 static_cast<std::int32_t>(s)),
                      1)
                << s << " " << k;
        }
    }
    EXPECT_EQ(on_hull, gen.hull_faces);
}

template <std::size_t D>
void expect_same(const MergeResult<D>& a, const MergeResult<D>& b) {
    ASSERT_EQ(a.ok(), b.ok());
    if (!a.ok()) {
        EXPECT_STREQ(a.error().text, b.error().text);
        return;
    }
    EXPECT_EQ(a.value().simplices, b.value().simplices);
    EXPECT_EQ(a.value().neighbors, b.value().neighbors);
}

TEST(MergeRows, KernelMeshesFromBlocksAndCrust) {
    const Generated<2> g2 = generate<2>(3000, 1);
    const MergeResult<2> r2 = merge_of<2>(g2.grid, g2.emitted(6));
    ASSERT_TRUE(r2.ok()) << r2.error().text;
    expect_the_kernels_mesh<2>(g2, r2.value());
    const Generated<3> g3 = generate<3>(2000, 2);
    const MergeResult<3> r3 = merge_of<3>(g3.grid, g3.emitted(5));
    ASSERT_TRUE(r3.ok()) << r3.error().text;
    expect_the_kernels_mesh<3>(g3, r3.value());
}

// ---- windows and threads -------------------------------------------------------------------

TEST(MergeWindows, FourPerThreadAtMost256) {
    EXPECT_EQ(par::with_pool_threads(1, [] { return par::merge_window_count(); }), 4u);
    EXPECT_EQ(par::with_pool_threads(3, [] { return par::merge_window_count(); }), 12u);
    EXPECT_EQ(par::with_pool_threads(64, [] { return par::merge_window_count(); }), 256u);
    EXPECT_EQ(par::with_pool_threads(100, [] { return par::merge_window_count(); }), 256u);
}

TEST(MergeWindows, CutsNeverSplitARun) {
    // Runs of one face start at these positions of 10 keys; 4 windows of 3 nominal keys.
    const auto cuts = [](std::vector<std::size_t> starts, std::size_t keys, std::size_t w) {
        return par::window_cuts(keys, w, [&](std::size_t b) {
            return *std::lower_bound(starts.begin(), starts.end(), b);
        });
    };
    using V = std::vector<std::size_t>;
    // 3 moves up to 5; 6 stays; 9 moves up to the end and is dropped.
    EXPECT_EQ(cuts({0, 2, 5, 6, 8, 10}, 10, 4), (V{0, 5, 6, 10}));
    // Both 3 and 6 move up to 7: the second is dropped.
    EXPECT_EQ(cuts({0, 7, 10}, 10, 4), (V{0, 7, 10}));
    // Every key its own run: the nominal cuts.
    EXPECT_EQ(cuts({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 10, 4), (V{0, 3, 6, 9, 10}));
    // More windows than keys: one run per window.
    EXPECT_EQ(cuts({0, 2, 3, 5}, 5, 256), (V{0, 2, 3, 5}));
    EXPECT_EQ(cuts({0, 2, 3, 5}, 5, 1), (V{0, 5}));
}

TEST(MergeWindows, ResultDoesNotDependOnWindowsOrThreads) {
    // One key per nominal window puts a cut inside every pair of keys.
    const Generated<3> g = generate<3>(600, 3);
    const MergeResult<3> one = merge_of<3>(g.grid, g.emitted(4), {1, std::uint64_t{1} << 32});
    ASSERT_TRUE(one.ok());
    for (const std::size_t w : {2u, 7u, 256u, 4 * 600 * 7u}) {
        expect_same<3>(merge_of<3>(g.grid, g.emitted(4), {w, std::uint64_t{1} << 32}), one);
    }
    // A failing mesh fails alike: one simplex left out by every source.
    Emitted<3> broken = g.emitted(4);
    const auto gone = sorted<3>(g.rows[g.rows.size() / 2]);
    for (auto* rows : {&broken.blocks[0], &broken.blocks[1], &broken.blocks[2],
                       &broken.blocks[3], &broken.crust}) {
        std::erase_if(*rows, [&](const auto& r) { return sorted<3>(r) == gone; });
    }
    const MergeResult<3> fails = merge_of<3>(g.grid, broken);
    ASSERT_FALSE(fails.ok());
    for (const std::size_t t : {1u, 2u, 8u}) {
        par::with_pool_threads(t, [&] {
            expect_same<3>(merge_of<3>(g.grid, g.emitted(4)), one);
            expect_same<3>(merge_of<3>(g.grid, broken), fails);
        });
    }
    const Generated<2> g2 = generate<2>(2000, 4);
    const MergeResult<2> base = par::with_pool_threads(1, [&] { return merge_of<2>(g2.grid, g2.emitted(8)); });
    ASSERT_TRUE(base.ok());
    for (const std::size_t t : {2u, 8u}) {
        par::with_pool_threads(t, [&] { expect_same<2>(merge_of<2>(g2.grid, g2.emitted(8)), base); });
    }
}

}  // namespace

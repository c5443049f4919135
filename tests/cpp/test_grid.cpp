// The spatial grid: sizing, order, duplicates and blocks, checked by invariants on
// generated clouds and by the hand-worked cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/float_order.h"
#include "parallel/grid.h"
#include "parallel/pool.h"
#include "pipeline_fixtures.h"

namespace par = kavro::par;
using kavro::NO_INDEX;
using kavro::PointView;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

template <std::size_t D, class T = double>
par::Grid<D> grid_of(const std::vector<std::array<T, D>>& pts, std::uint64_t block_target = 1000) {
    return par::build_grid<D>(PointView<T>::dense(pts.empty() ? nullptr : pts[0].data(),
                                                  pts.size(), D),
                              block_target);
}

template <std::size_t D>
bool ieee_equal(const par::Point<D>& a, const par::Point<D>& b) {
    for (std::size_t k = 0; k < D; ++k) {
        if (!(a[k] == b[k])) return false;
    }
    return true;
}

template <std::size_t D>
bool same_bits(const par::Point<D>& a, const par::Point<D>& b) {
    return std::memcmp(a.data(), b.data(), sizeof a) == 0;
}

// Everything a built grid promises about its input.
template <std::size_t D>
void expect_sound(const par::Grid<D>& g, const std::vector<par::Point<D>>& in) {
    const std::size_t n = in.size(), u = g.points.size();
    ASSERT_EQ(g.perm.size(), u);
    ASSERT_EQ(u + g.duplicates.size(), n);
    std::vector<int> seen(n, 0);
    for (std::size_t k = 0; k < u; ++k) {
        ++seen[g.perm[k]];
        EXPECT_TRUE(same_bits<D>(g.points[k], in[g.perm[k]]));
        if (k == 0) continue;
        // (key, coordinates in total order) ascending; neighbours kept apart are unequal.
        const auto key = [&](std::size_t j) { return par::morton_key<D>(g.point_cell(g.points[j])); };
        ASSERT_LE(key(k - 1), key(k));
        if (key(k - 1) == key(k)) {
            // In total order with zeros unsigned first, then as they are.
            bool less = false;
            for (int pass = 0; pass < 2 && !less; ++pass) {
                for (std::size_t a = 0; a < D && !less; ++a) {
                    const double zero = pass == 0 ? 0.0 : -0.0;
                    const auto x = kavro::total_key(g.points[k - 1][a] + zero);
                    const auto y = kavro::total_key(g.points[k][a] + zero);
                    ASSERT_LE(x, y);
                    less = x < y;
                }
            }
        }
    }
    // No two kept points are equal, next to each other or not (NaN equals nothing).
    std::vector<std::size_t> by_value(u);
    for (std::size_t k = 0; k < u; ++k) by_value[k] = k;
    const auto canonical_less = [&](std::size_t i, std::size_t j) {
        for (std::size_t a = 0; a < D; ++a) {
            const auto x = kavro::total_key(g.points[i][a] + 0.0);
            const auto y = kavro::total_key(g.points[j][a] + 0.0);
            if (x != y) return x < y;
        }
        return false;
    };
    std::sort(by_value.begin(), by_value.end(), canonical_less);
    for (std::size_t k = 1; k < u; ++k) {
        EXPECT_FALSE(ieee_equal<D>(g.points[by_value[k - 1]], g.points[by_value[k]]));
    }
    for (const auto& [dropped, kept] : g.duplicates) {
        ++seen[dropped];
        EXPECT_TRUE(ieee_equal<D>(in[dropped], in[kept]));
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(n));

    std::uint64_t m = 1;
    for (std::size_t a = 0; a < D; ++a) {
        EXPECT_GE(g.dims[a], 1u);
        EXPECT_LE(g.dims[a], par::GRID_MAX_AXIS_CELLS);
        m *= g.dims[a];
    }
    EXPECT_LE(m, par::GRID_MAX_CELLS);
    ASSERT_EQ(g.cell_ranges.size(), m);
    ASSERT_EQ(g.cell_owner.size(), m);
    std::uint32_t next = 0;
    for (const std::uint32_t id : g.occupied_cells) {
        EXPECT_EQ(g.cell_ranges[id][0], next);
        next = g.cell_ranges[id][1];
        for (std::uint32_t s = g.cell_ranges[id][0]; s < next; ++s) {
            EXPECT_EQ(g.cell_index(g.point_cell(g.points[s])), id);
        }
    }
    EXPECT_EQ(next, u);
    std::uint32_t cell = 0, pt = 0;
    for (std::size_t b = 0; b < g.blocks.size(); ++b) {
        const par::BlockSpan& s = g.blocks[b];
        EXPECT_EQ(s.cell_lo, cell);
        EXPECT_EQ(s.pt_lo, pt);
        EXPECT_LT(s.cell_lo, s.cell_hi);
        EXPECT_EQ(g.cell_ranges[g.occupied_cells[s.cell_lo]][0], s.pt_lo);
        EXPECT_EQ(g.cell_ranges[g.occupied_cells[s.cell_hi - 1]][1], s.pt_hi);
        for (std::uint32_t q = s.cell_lo; q < s.cell_hi; ++q) {
            EXPECT_EQ(g.cell_owner[g.occupied_cells[q]], b);
        }
        cell = s.cell_hi;
        pt = s.pt_hi;
    }
    EXPECT_EQ(cell, g.occupied_cells.size());
    EXPECT_LE(g.blocks.size(), par::GRID_MAX_BLOCKS);
    const auto owned = std::count_if(g.cell_owner.begin(), g.cell_owner.end(),
                                     [](std::uint32_t o) { return o != NO_INDEX; });
    EXPECT_EQ(static_cast<std::size_t>(owned), g.occupied_cells.size());
}

template <std::size_t D>
void expect_same(const par::Grid<D>& a, const par::Grid<D>& b) {
    ASSERT_EQ(a.points.size(), b.points.size());
    for (std::size_t k = 0; k < a.points.size(); ++k) EXPECT_TRUE(same_bits<D>(a.points[k], b.points[k]));
    EXPECT_EQ(a.perm, b.perm);
    EXPECT_EQ(a.duplicates, b.duplicates);
    EXPECT_EQ(a.cell_ranges, b.cell_ranges);
    EXPECT_EQ(a.cell_owner, b.cell_owner);
    EXPECT_EQ(a.occupied_cells, b.occupied_cells);
    EXPECT_EQ(a.blocks, b.blocks);
    EXPECT_EQ(a.tiles, b.tiles);
    EXPECT_EQ(a.dims, b.dims);
}

// Uniform points with exact copies, signed-zero twins and a few NaN rows.
template <std::size_t D>
std::vector<par::Point<D>> awkward_cloud(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<par::Point<D>> pts(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (auto& v : pts[i]) v = unit(rng);
        switch (rng() % 16) {
            case 0: if (i > 0) pts[i] = pts[rng() % i]; break;
            case 1: pts[i][0] = 0.0; break;
            case 2: pts[i][0] = -0.0; pts[i][1] = 0.5; break;
            case 3: pts[i][0] = 0.0; pts[i][1] = 0.5; break;
            case 4: if (i % 64 == 4) pts[i][D - 1] = NaN; break;
            default: break;
        }
    }
    return pts;
}

template <std::size_t D>
void check_thread_independence() {
    for (const std::size_t n : {1000u, 150'000u}) {  // one chunk of the scan, and several
        const auto pts = awkward_cloud<D>(n, n + D);
        const auto one = par::with_pool_threads(1, [&] { return grid_of<D>(pts, 500); });
        const auto many = par::with_pool_threads(8, [&] { return grid_of<D>(pts, 500); });
        expect_sound<D>(one, pts);
        expect_same<D>(one, many);
        if (n > 1000) {
            EXPECT_GE(one.blocks.size(), 2u);
        }
        // The float32 form is the float64 one on the widened copy.
        std::vector<std::array<float, D>> narrow(n);
        std::vector<par::Point<D>> widened(n);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t a = 0; a < D; ++a) {
                narrow[i][a] = static_cast<float>(pts[i][a]);
                widened[i][a] = narrow[i][a];
            }
        }
        expect_same<D>(grid_of<D, float>(narrow, 500), grid_of<D>(widened, 500));
    }
}

TEST(Grid, SameGridForEveryThreadCount2D) { check_thread_independence<2>(); }
TEST(Grid, SameGridForEveryThreadCount3D) { check_thread_independence<3>(); }

TEST(Grid, NoPoints) {
    const auto g = grid_of<2>({});
    EXPECT_EQ(g.dims, (std::array<std::uint64_t, 2>{1, 1}));
    EXPECT_EQ(g.origin[0], INF);
    EXPECT_EQ(g.origin[1], INF);
    EXPECT_TRUE(g.points.empty() && g.duplicates.empty() && g.occupied_cells.empty());
    EXPECT_EQ(g.cell_ranges, (std::vector<std::array<std::uint32_t, 2>>{{0, 0}}));
    EXPECT_EQ(g.cell_owner, std::vector<std::uint32_t>{NO_INDEX});
    EXPECT_EQ(g.tiles, std::vector<std::uint8_t>{0});
    EXPECT_TRUE(g.blocks.empty());
}

TEST(Grid, AllPointsEqualKeepTheLowestIndex) {
    const std::uint32_t n = 140'000;  // the run of copies crosses chunks of the scan
    const std::vector<par::Point<3>> pts(n, {1.5, -2.0, 0.25});
    const auto g = grid_of<3>(pts);
    EXPECT_EQ(g.dims, (std::array<std::uint64_t, 3>{1, 1, 1}));
    EXPECT_EQ(g.perm, kavro::Buffer<std::uint32_t>{0});
    ASSERT_EQ(g.duplicates.size(), n - 1);
    for (std::uint32_t i = 1; i < n; ++i) {
        ASSERT_EQ(g.duplicates[i - 1], (std::array<std::uint32_t, 2>{i, 0}));
    }
    EXPECT_EQ(g.blocks, (std::vector<par::BlockSpan>{{0, 1, 0, 1}}));
}

TEST(Grid, SignedZeroTwinKeepsTheNegativeZero) {
    const auto g = grid_of<2>({{0.0, 5.0}, {-0.0, 5.0}});
    EXPECT_EQ(g.perm, kavro::Buffer<std::uint32_t>{1});
    EXPECT_EQ(g.duplicates, (kavro::Buffer<std::array<std::uint32_t, 2>>{{0, 1}}));
}

TEST(Grid, SignedZeroTwinsApartInTotalOrderAreStillGrouped) {
    // In plain total order (-0.0, 0.5000001) sorts between the two equal points; the
    // -0.0 one is kept whatever its index, and only equal points are merged.
    const auto a = grid_of<2>({{-0.0, 0.5}, {0.0, 0.5}, {-0.0, 0.5000001}});
    EXPECT_EQ(a.perm, (kavro::Buffer<std::uint32_t>{0, 2}));
    EXPECT_EQ(a.duplicates, (kavro::Buffer<std::array<std::uint32_t, 2>>{{1, 0}}));
    const auto b = grid_of<2>({{0.0, 0.5}, {-0.0, 0.5000001}, {-0.0, 0.5}, {0.0, 0.5}});
    EXPECT_EQ(b.perm, (kavro::Buffer<std::uint32_t>{2, 1}));
    EXPECT_EQ(b.duplicates, (kavro::Buffer<std::array<std::uint32_t, 2>>{{0, 2}, {3, 2}}));
    // Signs mixed on two axes: the first axis where they differ decides.
    const auto c = grid_of<3>({{0.0, -0.0, 1.0}, {-0.0, 0.25, 1.0}, {-0.0, 0.0, 1.0}});
    EXPECT_EQ(c.duplicates, (kavro::Buffer<std::array<std::uint32_t, 2>>{{0, 2}}));
    ASSERT_EQ(c.points.size(), 2u);
    EXPECT_TRUE(std::signbit(c.points[0][0]) && !std::signbit(c.points[0][1]));
}

// cloud_scale must be of() of the whole cloud: the same exponent, the same verdict on the
// exact range, on each path through of().
template <std::size_t D, class T>
void expect_kernel_scale(std::vector<std::array<T, D>> pts, const char* what) {
    const auto view = PointView<T>::dense(pts.empty() ? nullptr : pts[0].data(), pts.size(), D);
    const kavro::PowerOfTwoScale want = kavro::PowerOfTwoScale::of(view);
    const kavro::PowerOfTwoScale got = par::with_pool_threads(4, [&] { return par::cloud_scale<D>(view); });
    EXPECT_EQ(got.exponent(), want.exponent()) << what;
    EXPECT_EQ(got.in_exact_range(), want.in_exact_range()) << what;
}

template <std::size_t D>
void check_cloud_scale() {
    std::mt19937_64 rng(D);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<par::Point<D>> base(20000);
    for (auto& p : base) {
        for (auto& v : p) v = unit(rng);
    }
    const auto with = [&](auto&& change) {
        auto pts = base;
        change(pts);
        return pts;
    };
    expect_kernel_scale<D, double>(base, "uniform");
    for (const int e : {-1000, -300, 300, 1000}) {
        expect_kernel_scale<D, double>(with([&](auto& pts) {
            for (auto& p : pts) for (auto& v : p) v = std::ldexp(v, e);
        }), "a power-of-two multiple");
    }
    // The exact floor, -225 in 2D and -180 in 3D, on the point and one below it.
    const int floor_bit = kavro::PowerOfTwoScale::exact_floor(D);
    for (const int bit : {floor_bit, floor_bit - 1}) {
        expect_kernel_scale<D, double>(with([&](auto& pts) {
            for (auto& p : pts) for (auto& v : p) v = std::round(v * 64) / 64;
            pts[777][0] = std::ldexp(1.0, bit);
        }), "a coordinate at the exact floor");
    }
    // The lowest set bit need not be the smallest magnitude's: in 2D 2^-180 + 2^-232 beside
    // 2^-200, below the floor, and 2^-180 + 2^-205, above it.
    for (const int below : {7, -20}) {
        expect_kernel_scale<D, double>(with([&](auto& pts) {
            for (auto& p : pts) for (auto& v : p) v = std::round(v * 64) / 64;
            pts[777][0] = std::ldexp(1.0, floor_bit + 25);
            pts[778][1] = std::ldexp(1.0, floor_bit + 45) + std::ldexp(1.0, floor_bit - below);
        }), "a fine coordinate above the smallest");
    }
    expect_kernel_scale<D, double>(with([](auto& pts) { pts[5][1] = 1e-150; }), "tiny next to one");
    expect_kernel_scale<D, double>(with([](auto& pts) { pts[5][0] = 5e-324; }), "a subnormal");
    expect_kernel_scale<D, double>(with([](auto& pts) {
        for (auto& p : pts) for (auto& v : p) v = std::ldexp(v, -1060);
    }), "all subnormal");
    expect_kernel_scale<D, double>(with([](auto& pts) {
        pts[3][0] = INF;
        pts[4][1] = NaN;
        pts[9][0] = -0.0;
    }), "non-finite coordinates");
    expect_kernel_scale<D, double>(std::vector<par::Point<D>>(300, par::Point<D>{}), "all zero");
    expect_kernel_scale<D, double>(std::vector<par::Point<D>>(300, par::Point<D>{NaN}), "all NaN");
    expect_kernel_scale<D, double>({}, "no points");
    std::vector<std::array<float, D>> narrow(base.size());
    for (std::size_t i = 0; i < base.size(); ++i) {
        for (std::size_t a = 0; a < D; ++a) narrow[i][a] = static_cast<float>(base[i][a]);
    }
    expect_kernel_scale<D, float>(narrow, "float32");
    narrow[11][0] = 1e-45f;
    expect_kernel_scale<D, float>(narrow, "a float32 subnormal");
}

TEST(Grid, CloudScaleIsTheKernelsScale2D) { check_cloud_scale<2>(); }
TEST(Grid, CloudScaleIsTheKernelsScale3D) { check_cloud_scale<3>(); }

TEST(Grid, LineParallelToAnAxis) {
    std::vector<par::Point<2>> pts;
    for (int i = 0; i < 1000; ++i) pts.push_back({0.37 * i, 3.0});
    const auto g = grid_of<2>(pts);
    const double extent = 0.37 * 999;
    const double h = extent / 31.0;  // target 1000 >> 5
    EXPECT_EQ(g.dims[0], static_cast<std::uint64_t>(std::ceil(extent / h)));
    EXPECT_EQ(g.dims[1], 1u);
    EXPECT_EQ(g.cell_size[1], 0.0);
    EXPECT_EQ(g.inv_cell_size[1], 0.0);
    expect_sound<2>(g, pts);
    // The largest coordinate lies in the last cell, not beyond.
    EXPECT_EQ(g.point_cell(pts.back())[0], g.dims[0] - 1);
}

TEST(Grid, NonFiniteAndUnderflowingExtents) {
    std::vector<par::Point<2>> pts;
    for (int i = 0; i < 2000; ++i) pts.push_back({i * 0.5, (i % 7) * 0.25});
    const auto base = grid_of<2>(pts);
    EXPECT_GT(base.dims[0] * base.dims[1], 1u);

    auto with_inf = pts;
    with_inf[10][1] = INF;  // infinite extent: one cell
    EXPECT_EQ(grid_of<2>(with_inf).dims, (std::array<std::uint64_t, 2>{1, 1}));

    auto overflow = pts;  // finite bounds whose difference overflows
    overflow[3][0] = -1.7e308;
    overflow[4][0] = 1.7e308;
    EXPECT_EQ(grid_of<2>(overflow).dims, (std::array<std::uint64_t, 2>{1, 1}));

    std::vector<par::Point<3>> same_inf;  // a flat infinite axis leaves the others alone
    for (const auto& p : pts) same_inf.push_back({p[0], -INF, p[1]});
    const auto g3 = grid_of<3>(same_inf);
    EXPECT_EQ(g3.dims[1], 1u);
    EXPECT_GT(g3.dims[0], 1u);

    std::vector<par::Point<2>> tiny;  // the extent product underflows to 0
    for (int i = 0; i < 2000; ++i) tiny.push_back({i * 1e-200, (i % 13) * 1e-200});
    EXPECT_EQ(grid_of<2>(tiny).dims, (std::array<std::uint64_t, 2>{1, 1}));

    auto with_nan = pts;  // NaN: outside the box, in cell 0, never a duplicate
    with_nan[5] = {NaN, 1.0};
    with_nan[6] = {NaN, 1.0};
    const auto gn = grid_of<2>(with_nan);
    EXPECT_EQ(gn.origin, base.origin);
    EXPECT_EQ(gn.dims, base.dims);
    EXPECT_EQ(gn.point_cell(with_nan[5])[0], 0u);
    EXPECT_EQ(gn.points.size(), base.points.size());
    expect_sound<2>(gn, with_nan);
}

TEST(Grid, HalvingGoesToTheLargestAxisThenTheHigher) {
    std::array<std::uint64_t, 2> d2{4097, 4097};
    par::limit_cells<2>(d2);
    EXPECT_EQ(d2, (std::array<std::uint64_t, 2>{4097, 2049}));
    std::array<std::uint64_t, 3> d3{300, 300, 300};
    par::limit_cells<3>(d3);
    EXPECT_EQ(d3, (std::array<std::uint64_t, 3>{300, 300, 150}));
    std::array<std::uint64_t, 3> big{1048576, 1048576, 3};
    par::limit_cells<3>(big);
    EXPECT_LE(big[0] * big[1] * big[2], par::GRID_MAX_CELLS);
    EXPECT_EQ(big[2], 3u);
}

TEST(Grid, MortonKeyPlacesBitsAndInvertsCells) {
    std::mt19937_64 rng(3);
    for (int t = 0; t < 1000; ++t) {
        const par::Cell<2> c2{static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng())};
        const par::Cell<3> c3{static_cast<std::uint32_t>(rng() % (1u << 21)),
                              static_cast<std::uint32_t>(rng() % (1u << 21)),
                              static_cast<std::uint32_t>(rng() % (1u << 21))};
        std::uint64_t k2 = 0, k3 = 0;
        for (int b = 0; b < 32; ++b) {
            for (int a = 0; a < 2; ++a) k2 |= std::uint64_t{(c2[a] >> b) & 1u} << (2 * b + a);
        }
        for (int b = 0; b < 21; ++b) {
            for (int a = 0; a < 3; ++a) k3 |= std::uint64_t{(c3[a] >> b) & 1u} << (3 * b + a);
        }
        EXPECT_EQ(par::morton_key<2>(c2), k2);
        EXPECT_EQ(par::morton_key<3>(c3), k3);
    }
    par::Grid<3> g;
    g.dims = {5, 3, 7};
    for (std::uint32_t id = 0; id < 105; ++id) EXPECT_EQ(g.cell_index(g.cell_coords(id)), id);
    EXPECT_EQ(g.cell_coords(1 * 21 + 2 * 7 + 6), (par::Cell<3>{1, 2, 6}));
}

// A grid of unit cells of the given dims whose cells, taken in id order, hold counts[id]
// points each (laid out cell by cell, as the sort would leave them).
par::Grid<2> hand_grid(std::array<std::uint64_t, 2> dims, const std::vector<std::uint32_t>& counts) {
    par::Grid<2> g;
    g.dims = dims;
    g.origin = {0.0, 0.0};
    g.cell_size = g.inv_cell_size = {1.0, 1.0};
    for (std::uint32_t id = 0; id < counts.size(); ++id) {
        const par::Cell<2> c = g.cell_coords(id);
        for (std::uint32_t k = 0; k < counts[id]; ++k) g.points.push_back({c[0] + 0.5, c[1] + 0.5});
    }
    return g;
}

std::vector<par::BlockSpan> blocks_of(const std::vector<std::uint32_t>& counts, std::uint64_t bt) {
    auto g = hand_grid({1, counts.size()}, counts);
    par::cut_blocks<2>(g, bt);
    return g.blocks;
}

TEST(Grid, BlockCutsOfTheWorkedExamples) {
    using B = std::vector<par::BlockSpan>;
    EXPECT_EQ(blocks_of({10, 10, 10, 10}, 10), (B{{0, 1, 0, 10}, {1, 2, 10, 20}, {2, 3, 20, 30}, {3, 4, 30, 40}}));
    EXPECT_EQ(blocks_of({1, 1, 38}, 10), (B{{0, 3, 0, 40}}));
    EXPECT_EQ(blocks_of({38, 1, 1}, 10), (B{{0, 1, 0, 38}, {1, 2, 38, 39}, {2, 3, 39, 40}}));
    EXPECT_EQ(blocks_of({500}, 10), (B{{0, 1, 0, 500}}));             // one cell
    EXPECT_EQ(blocks_of({3, 4, 5}, 100), (B{{0, 3, 0, 12}}));          // u < bt
    EXPECT_EQ(blocks_of({3, 4, 5}, 0), blocks_of({3, 4, 5}, 1));      // 0 acts as 1
    EXPECT_EQ(blocks_of({3, 4, 5}, 1), (B{{0, 2, 0, 7}, {2, 3, 7, 12}}));
    EXPECT_EQ(blocks_of({0, 2, 0, 2}, 1), (B{{0, 1, 0, 2}, {1, 2, 2, 4}}));  // empty cells skipped
    EXPECT_EQ(blocks_of(std::vector<std::uint32_t>(300, 1), 1).size(), par::GRID_MAX_BLOCKS);
}

TEST(Grid, TilesAndGatheredCells) {
    auto g = hand_grid({20, 9}, {});
    g.points.push_back({17.5, 8.5});
    par::cut_blocks<2>(g, 1);
    EXPECT_EQ(g.tile_dims, (std::array<std::uint64_t, 2>{3, 2}));
    ASSERT_EQ(g.tiles.size(), 6u);
    EXPECT_EQ(g.tiles, (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 1}));

    // The corner cell sees (0,0), (0,1), (1,0), (1,1) and nothing farther.
    auto c = hand_grid({4, 4}, {});
    c.cell_owner.assign(16, NO_INDEX);
    c.cell_owner[c.cell_index({1, 1})] = 0;
    c.cell_owner[c.cell_index({2, 2})] = 1;
    EXPECT_TRUE(c.is_gathered(0, {0, 0}));
    EXPECT_FALSE(c.is_gathered(1, {0, 0}));
    EXPECT_TRUE(c.is_gathered(1, {3, 3}));
    EXPECT_FALSE(c.is_gathered(0, {3, 3}));
    EXPECT_FALSE(c.is_gathered(2, {1, 1}));
    // A single-cell axis ranges over cell 0 only.
    auto flat = hand_grid({1, 5}, {});
    flat.cell_owner.assign(5, NO_INDEX);
    flat.cell_owner[4] = 3;
    EXPECT_TRUE(flat.is_gathered(3, {0, 3}));
    EXPECT_FALSE(flat.is_gathered(3, {0, 2}));
}

// Filing a point and placing its cell's box round differently; the widened boxes must
// hold every point filed in them, also far from the origin and on the cells' edges.
template <std::size_t D>
void check_points_lie_in_their_widened_boxes() {
    std::mt19937_64 rng(17 + D);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::size_t outside_raw = 0;
    for (const double offset : {0.0, -1300000.7, -3.3e9, 7.77e5, -1e15, 2.5e-3}) {
        for (const double extent : {1.0, 1e3, 3.7e6}) {
            std::vector<par::Point<D>> pts(3000);
            for (auto& p : pts) {
                for (std::size_t a = 0; a < D; ++a) p[a] = offset * (a + 1) + extent * unit(rng);
            }
            const auto g = grid_of<D>(pts);
            auto raw = g;
            raw.box_slack.fill(0.0);
            // Probes: the points, and a few ulps around every cell edge of axis 0.
            std::vector<par::Point<D>> probes = pts;
            for (std::uint32_t k = 1; k < g.dims[0]; ++k) {
                double edge = static_cast<double>(k) * g.cell_size[0] + g.origin[0];
                for (int step = 0; step < 4; ++step) edge = std::nextafter(edge, -INF);
                for (int step = 0; step < 8; ++step, edge = std::nextafter(edge, INF)) {
                    par::Point<D> p = pts[k % pts.size()];
                    p[0] = edge;
                    probes.push_back(p);
                }
            }
            for (const auto& p : probes) {
                const par::Cell<D> c = g.point_cell(p);
                par::Cell<D> tile;
                for (std::size_t a = 0; a < D; ++a) tile[a] = c[a] / 8 * 8;
                ASSERT_EQ(g.gap2(p, c, 1), 0.0) << "offset " << offset << " extent " << extent;
                ASSERT_EQ(g.gap2(p, tile, 8), 0.0);
                outside_raw += raw.gap2(p, c, 1) > 0.0;
            }
        }
    }
    EXPECT_GT(outside_raw, 0u);  // the widening is needed, not just harmless
}

TEST(Grid, PointsLieInTheWidenedBoxesOfTheirCells2D) { check_points_lie_in_their_widened_boxes<2>(); }
TEST(Grid, PointsLieInTheWidenedBoxesOfTheirCells3D) { check_points_lie_in_their_widened_boxes<3>(); }

TEST(Grid, BoxSlackScalesWithOriginAndExtent) {
    const fixtures::OffsetInput in;
    const auto g = in.grid();
    // q is filed in the last cell but lies 3.5e-10 below its float box.
    const par::Cell<2> c = g.point_cell(in.q);
    EXPECT_EQ(c[0], g.dims[0] - 1);
    EXPECT_LT(in.q[0], static_cast<double>(c[0]) * g.cell_size[0] + g.origin[0]);
    EXPECT_EQ(g.gap2(in.q, c, 1), 0.0);
    EXPECT_EQ(g.box_slack[0], 0x1p-49 * (in.L + static_cast<double>(g.dims[0]) * g.cell_size[0]));

    auto h = hand_grid({4, 1}, {});
    h.origin = {-8.0, 0.0};
    par::cut_blocks<2>(h, 1);
    EXPECT_EQ(h.box_slack[0], 0x1p-49 * 12.0);
    EXPECT_EQ(h.box_slack[1], 0x1p-49 * 1.0);
}

TEST(Grid, NaNCentreIsNeverOutOfReach) {
    const auto g = fixtures::hand_grid<2>({0, 0}, {1, 1}, {8, 8}, {{0.5, 0.5}, {7.5, 7.5}});
    const par::Cell<2> far = {7, 7};
    // A NaN axis adds nothing to the gap; the others still count.
    ASSERT_GE(g.gap2({0.0, 7.5}, far, 1), par::reach2(1.0));
    EXPECT_FALSE(g.gap2({NaN, 7.5}, far, 1) >= par::reach2(1.0));
    EXPECT_GE(g.gap2({NaN, 0.0}, far, 1), par::reach2(1.0));
    EXPECT_FALSE(g.gap2({0.0, 7.5}, far, 1) >= par::reach2(NaN));
}

TEST(Grid, ReachAdmitsAPointAtTheOuterRadius) {
    // The outer radius may be met exactly, and then the float distance equals R * R.
    const double R = 5.0;
    const double d2 = 3.0 * 3.0 + 4.0 * 4.0;
    EXPECT_EQ(d2, R * R);
    EXPECT_LT(d2, par::reach2(R));
}

}  // namespace

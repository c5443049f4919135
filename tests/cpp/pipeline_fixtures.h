// Shared by the tests of the pipeline's phases: hand-made grids, an exact empty-ball
// check, and an input on which float cell boxes miss a point of a circumball.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/predicates.h"
#include "parallel/grid.h"
#include "parallel/pool.h"

namespace fixtures {

namespace par = kavro::par;

// A grid over origin + [0, dims) cells of the given sizes holding pts, cells taken in id
// order rather than Morton order (the phases only need each cell's points adjacent).
// cells_per_block[i] occupied cells go to block i; empty: one block for everything.
// Cell sizes should be powers of two (or 1) so that inv_cell_size is exact.
template <std::size_t D>
par::Grid<D> hand_grid(const par::Point<D>& origin, const std::array<double, D>& cell,
                       const std::array<std::uint64_t, D>& dims, std::vector<par::Point<D>> pts,
                       const std::vector<std::uint32_t>& cells_per_block = {}) {
    par::Grid<D> g;
    g.origin = origin;
    g.dims = dims;
    g.cell_size = cell;
    for (std::size_t a = 0; a < D; ++a) g.inv_cell_size[a] = 1.0 / cell[a];
    std::stable_sort(pts.begin(), pts.end(), [&](const par::Point<D>& p, const par::Point<D>& q) {
        return g.cell_index(g.point_cell(p)) < g.cell_index(g.point_cell(q));
    });
    g.points.assign(pts.begin(), pts.end());
    for (std::size_t i = 0; i < g.points.size(); ++i) g.perm.push_back(static_cast<std::uint32_t>(i));
    par::cut_blocks<D>(g, std::numeric_limits<std::uint64_t>::max());
    if (!cells_per_block.empty()) {
        g.blocks.clear();
        std::uint32_t q = 0;
        for (std::uint32_t b = 0; b < cells_per_block.size(); ++b) {
            const std::uint32_t lo = q;
            for (std::uint32_t k = 0; k < cells_per_block[b]; ++k, ++q) {
                g.cell_owner[g.occupied_cells[q]] = b;
            }
            g.blocks.push_back({lo, q, g.cell_ranges[g.occupied_cells[lo]][0],
                                g.cell_ranges[g.occupied_cells[q - 1]][1]});
        }
    }
    return g;
}

// True when p lies strictly inside the circumball of s, decided exactly.
template <std::size_t D>
bool strictly_inside(const par::Simplex<D>& s, const par::Point<D>& p) {
    using namespace kavro::pred;
    if constexpr (D == 2) {
        const double o = orient2d(s[0].data(), s[1].data(), s[2].data());
        const double in = incircle(s[0].data(), s[1].data(), s[2].data(), p.data());
        return o > 0 ? in > 0 : in < 0;
    } else {
        const double o = orient3d(s[0].data(), s[1].data(), s[2].data(), s[3].data());
        const double in = insphere(s[0].data(), s[1].data(), s[2].data(), s[3].data(), p.data());
        return o > 0 ? in > 0 : in < 0;
    }
}

// The grid points strictly inside the circumball of the simplex with these global ids,
// by brute force over every point.
template <std::size_t D>
std::vector<std::uint32_t> points_inside(const par::Grid<D>& g,
                                         const std::array<std::uint32_t, D + 1>& ids) {
    par::Simplex<D> s;
    for (std::size_t k = 0; k <= D; ++k) s[k] = g.points[ids[k]];
    std::vector<std::uint32_t> in;
    for (std::uint32_t i = 0; i < g.points.size(); ++i) {
        if (strictly_inside<D>(s, g.points[i])) in.push_back(i);
    }
    return in;
}

// Points near 0 with the grid's origin far below them on axis 0, so that filing a point
// and placing a cell's box round differently by far more than the circumballs' own error
// bounds. The last cell X starts (as a float box) at 144.3871828627307, yet the point
// q = 144.38718286238148 is filed in it. Cell X - 1 is empty and cell X - 2 holds the
// triangle a, b, c (and d): its circumcircle, of radius 90, reaches 3.5e-10 past q but
// stops short of X's float box. Cell 0 holds the outlier that sets the origin, repeated
// until the row count asks for 8356 cells, and ten more points.
struct OffsetInput {
    static constexpr double L = 1300000.7;
    static constexpr std::size_t ROWS = 171808;
    static constexpr par::Point<2> a{-0x1.7acb67e99fb94p+4, 0x1.6decd4a0c85f3p+5};
    static constexpr par::Point<2> b{-0x1.7acb67e99fb94p+4, -0x1.6decd4a0c85f3p+5};
    static constexpr par::Point<2> c{-0x1.20fd4e91ec978p+5, 0.0};
    static constexpr par::Point<2> d{-150.0, 5.0};
    static constexpr par::Point<2> q{0x1.20c63cd507001p+7, 0.0};

    std::vector<par::Point<2>> rows() const {
        std::vector<par::Point<2>> pts = {a, b, c, d, q, {300.0, 0.0}, {300.0, 50.0}, {300.0, -50.0}};
        for (int k = 1; k <= 10; ++k) pts.push_back({-L, static_cast<double>(k)});
        pts.resize(ROWS, par::Point<2>{-L, 0.0});
        return pts;
    }
    // Blocks of about one point: cell 0, the triangle's cell, X.
    par::Grid<2> grid() const {
        const auto pts = rows();
        return par::build_grid<2>(kavro::PointView<double>::dense(pts[0].data(), pts.size(), 2), 1);
    }
    static std::uint32_t id_of(const par::Grid<2>& g, const par::Point<2>& p) {
        return static_cast<std::uint32_t>(std::find(g.points.begin(), g.points.end(), p) -
                                          g.points.begin());
    }
};

}  // namespace fixtures

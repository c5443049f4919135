// Shared by the tests of the pipeline's phases: hand-made grids and an exact empty-ball
// check.
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
    g.points = std::move(pts);
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

}  // namespace fixtures

// Block phase: gather, triangulate, certify, sort own points into safe ones and crust.
#include <algorithm>

#include "parallel/pipeline.h"
#include "parallel/pool.h"

namespace kavro::par {

namespace {

// Per local point; set, never cleared.
constexpr std::uint8_t HULL = 1;         // on a face of the local hull
constexpr std::uint8_t TOUCHED = 2;      // a vertex of some local simplex
constexpr std::uint8_t UNCERTIFIED = 4;  // a vertex of a simplex with an own vertex that failed
// A ball whose box of cells holds more is not walked: its simplex is left to the crust,
// so certification never costs more than this many owner lookups plus the neighbourhood
// tests of the close foreign cells.
constexpr std::uint64_t MAX_BOX_CELLS = 512;

// Own points first (the block's point range, ascending), then the points of every
// non-empty foreign cell next to an own cell, cells by ascending id. Sorting the
// candidates and dropping repeats gives the same list as a set kept in insertion order
// and sorted afterwards, without an allocation per cell.
template <std::size_t D>
std::vector<std::uint32_t> local_points(const Grid<D>& g, std::uint32_t b) {
    const BlockSpan& span = g.blocks[b];
    std::vector<std::uint32_t> halo;
    for (std::uint32_t q = span.cell_lo; q < span.cell_hi; ++q) {
        const Cell<D> c = g.cell_coords(g.occupied_cells[q]);
        Cell<D> lo, hi;
        for (std::size_t a = 0; a < D; ++a) {
            lo[a] = c[a] == 0 ? 0 : c[a] - 1;
            hi[a] = static_cast<std::uint32_t>(std::min<std::uint64_t>(c[a] + 1ull, g.dims[a] - 1));
        }
        for_each_cell<D>(lo, hi, [&](const Cell<D>& x) {
            const std::uint32_t id = g.cell_index(x);
            const auto& r = g.cell_ranges[id];
            if (r[0] != r[1] && g.cell_owner[id] != b) halo.push_back(id);
            return true;
        });
    }
    std::sort(halo.begin(), halo.end());
    halo.erase(std::unique(halo.begin(), halo.end()), halo.end());

    std::vector<std::uint32_t> local;
    std::size_t n = span.pt_hi > span.pt_lo ? span.pt_hi - span.pt_lo : 0;
    for (const std::uint32_t id : halo) n += g.cell_ranges[id][1] - g.cell_ranges[id][0];
    local.reserve(n);
    for (std::uint32_t i = span.pt_lo; i < span.pt_hi; ++i) local.push_back(i);
    for (const std::uint32_t id : halo) {
        for (std::uint32_t i = g.cell_ranges[id][0]; i < g.cell_ranges[id][1]; ++i) local.push_back(i);
    }
    return local;
}

// True when no grid point outside the block's gathered region can lie in the simplex's
// enlarged circumball. anchor is the cell of one of its own vertices: every cell within
// one step of it is gathered, which settles most balls without looking at any cell.
template <std::size_t D>
bool certified(const Grid<D>& g, const KernelOps<D>& ops, std::uint32_t b, const Simplex<D>& s,
               const Cell<D>& anchor) {
    const std::optional<Ball<D>> ball = ops.circumball(s);
    if (!ball || !usable(*ball)) return false;
    const Point<D>& c = ball->center;
    const double R = ball->outer_radius;
    Cell<D> lo, hi;
    g.ball_cells(c, R, lo, hi);
    std::uint64_t cells = 1;
    bool near = true;
    for (std::size_t a = 0; a < D; ++a) {
        cells *= std::uint64_t{hi[a]} - lo[a] + 1;  // each factor <= 2^20 after the test
        if (cells > MAX_BOX_CELLS) return false;
        near = near && lo[a] + 1 >= anchor[a] && hi[a] <= anchor[a] + 1;
    }
    if (near) return true;

    const double R2 = reach2(R);
    return for_each_cell<D>(lo, hi, [&](const Cell<D>& x) {
        const std::uint32_t id = g.cell_index(x);
        const auto& r = g.cell_ranges[id];
        if (r[0] == r[1] || g.cell_owner[id] == b) return true;
        bool next_to_anchor = true;
        for (std::size_t a = 0; a < D; ++a) {
            next_to_anchor = next_to_anchor && x[a] + 1 >= anchor[a] && x[a] <= anchor[a] + 1;
        }
        if (next_to_anchor) return true;
        // Out of reach only on a clear answer: a NaN distance counts as reaching.
        if (g.gap2(c, x, 1) >= R2) return true;
        return g.is_gathered(b, x);
    });
}

// What a block that cannot triangulate vouches for: nothing.
template <std::size_t D>
BlockOut<D> degenerate(const BlockSpan& span, std::vector<std::uint32_t>&& local) {
    BlockOut<D> out;
    for (std::uint32_t i = span.pt_lo; i < span.pt_hi; ++i) out.crust.push_back(i);
    out.support = std::move(local);
    return out;
}

template <std::size_t D>
BlockOut<D> run_block(const Grid<D>& g, const KernelOps<D>& ops, std::uint32_t b) {
    constexpr std::size_t K = D + 1;
    const BlockSpan& span = g.blocks[b];
    const std::uint32_t n_own = span.pt_hi > span.pt_lo ? span.pt_hi - span.pt_lo : 0;
    std::vector<std::uint32_t> local = local_points(g, b);
    const std::size_t m = local.size();
    if (m < K + 1) return degenerate<D>(span, std::move(local));

    SimplexRows<D> simplices;
    std::vector<std::uint8_t> flags(m, 0);
    {
        Result<DelaunayOutput<K>> tri = [&] {
            const std::vector<double> coords = gather_coords<D>(g.points, local);
            return ops.kernel(PointView<double>::dense(coords.data(), m, D));
        }();
        if (!tri.ok()) return degenerate<D>(span, std::move(local));
        const auto& nb = tri.value().neighbors;
        simplices = std::move(tri.value().simplices);
        for (std::size_t t = 0; t < simplices.size(); ++t) {
            for (std::size_t k = 0; k < K; ++k) {
                if (nb[t][k] >= 0) continue;
                for (std::size_t j = 0; j < K; ++j) {
                    if (j != k) flags[simplices[t][j]] |= HULL;
                }
            }
        }
    }

    // Verdicts are made on the pool, a piece of rows per task: the block whose kernel ends
    // last would otherwise certify alone while every other thread waits for it. Each
    // verdict depends on the simplex alone, so they can be made in any order; a simplex
    // whose own vertices all lie on the local hull is not tested, since none of them can
    // be safe whatever it gives.
    constexpr std::size_t PIECE = 8192;
    std::vector<std::uint8_t> failed(simplices.size(), 0);
    for_each_index((simplices.size() + PIECE - 1) / PIECE, [&](std::size_t p) {
        const std::size_t end = std::min(simplices.size(), (p + 1) * PIECE);
        for (std::size_t i = p * PIECE; i < end; ++i) {
            const auto& t = simplices[i];
            std::size_t own = K;  // position of the first own vertex
            bool open = false;
            for (std::size_t k = 0; k < K; ++k) {
                if (t[k] >= n_own) continue;
                if (own == K) own = k;
                open = open || !(flags[t[k]] & HULL);
            }
            if (!open) continue;
            Simplex<D> s;
            for (std::size_t k = 0; k < K; ++k) s[k] = g.points[local[t[k]]];
            failed[i] = !certified<D>(g, ops, b, s, g.point_cell(s[own]));
        }
    });
    // A halo-only simplex marks only halo points, which are never safe.
    for (std::size_t i = 0; i < simplices.size(); ++i) {
        const std::uint8_t mark = failed[i] ? TOUCHED | UNCERTIFIED : TOUCHED;
        for (const std::uint32_t l : simplices[i]) flags[l] |= mark;
    }

    const auto safe = [&](std::uint32_t l) {
        return l < n_own && (flags[l] & (HULL | TOUCHED | UNCERTIFIED)) == TOUCHED;
    };
    // The vouched rows overwrite the kernel's rows in place (row i goes to a slot at or
    // before i), so the block's result needs no array of its own.
    BlockOut<D> out;
    std::size_t vouched = 0;
    for (std::size_t i = 0; i < simplices.size(); ++i) {
        const std::array<std::uint32_t, K> t = simplices[i];
        bool any_safe = false, own_unsafe = false;
        for (const std::uint32_t l : t) {
            const bool s = safe(l);
            any_safe = any_safe || s;
            own_unsafe = own_unsafe || (l < n_own && !s);
        }
        if (!any_safe && !own_unsafe) continue;
        std::array<std::uint32_t, K> row;
        for (std::size_t k = 0; k < K; ++k) row[k] = local[t[k]];
        if (any_safe) simplices[vouched++] = row;
        if (own_unsafe) out.support.insert(out.support.end(), row.begin(), row.end());
    }
    simplices.resize(vouched);
    out.simplices = std::move(simplices);
    for (std::uint32_t l = 0; l < n_own; ++l) {
        if (!safe(l)) out.crust.push_back(local[l]);
    }
    return out;
}

}  // namespace

template <std::size_t D>
std::vector<double> gather_coords(const Buffer<Point<D>>& points,
                                  const std::vector<std::uint32_t>& ids) {
    std::vector<double> out(D * ids.size());
    for (std::size_t r = 0; r < ids.size(); ++r) {
        for (std::size_t a = 0; a < D; ++a) out[D * r + a] = points[ids[r]][a];
    }
    return out;
}

template <std::size_t D>
BlockOut<D> process_block(const BlockPhase<D>& phase, std::uint32_t b) {
    BlockOut<D> out = run_block<D>(phase.grid, phase.ops, b);
    if (phase.sink) {
        // Reported under the lock so that the sink sees the counts in order and never
        // two events at once; report keeps this thread off the other blocks meanwhile.
        const std::lock_guard<std::mutex> lock(phase.counter.mutex);
        ++phase.counter.done;
        report(*phase.sink, ParProgress{ParProgress::Kind::BlockDone, phase.counter.done,
                                        phase.grid.blocks.size()});
    }
    return out;
}

template std::vector<double> gather_coords<2>(const Buffer<Point<2>>&,
                                              const std::vector<std::uint32_t>&);
template std::vector<double> gather_coords<3>(const Buffer<Point<3>>&,
                                              const std::vector<std::uint32_t>&);
template BlockOut<2> process_block<2>(const BlockPhase<2>&, std::uint32_t);
template BlockOut<3> process_block<3>(const BlockPhase<3>&, std::uint32_t);

}  // namespace kavro::par

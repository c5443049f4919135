// Crust phase: triangulate the points no block could vouch for, verify exactly.
#include <algorithm>

#include "parallel/pipeline.h"
#include "parallel/pool.h"

namespace kavro::par {

namespace {

// A crust simplex whose ball needs more cell visits than this is not worth verifying:
// the whole input goes to the sequential kernel instead.
constexpr std::uint32_t VISIT_BUDGET = 65536;

constexpr const char* UNVERIFIABLE = "unverifiable crust ball";
constexpr const char* OVER_BUDGET = "crust verification budget exceeded";
constexpr const char* COSPHERICAL = "cospherical crust simplex";
constexpr const char* NO_SIGN = "crust in-ball test without a sign";

enum class Verdict : std::uint8_t { Keep, Drop, Fail };

struct Outcome {
    Verdict verdict;
    const char* text = "";
};

// The crust points (core) followed by their support points, as global ids.
struct CrustPoints {
    std::vector<std::uint32_t> ids;
    std::size_t core_len = 0;
};

// Steps up to the kernel run: the crust, the size test, the support, the minimum count.
// An empty crust gives an empty list and no failure.
template <std::size_t D>
Result<CrustPoints, FallbackReason> collect(const std::vector<BlockOut<D>>& blocks,
                                            std::size_t n_points) {
    using Kind = FallbackReason::Kind;
    constexpr std::size_t K = D + 1;
    CrustPoints cp;
    // 1: crust, 2: already listed as support.
    std::vector<std::uint8_t> mark(n_points, 0);
    for (const BlockOut<D>& b : blocks) {
        for (const std::uint32_t v : b.crust) {
            mark[v] = 1;
            cp.ids.push_back(v);
        }
    }
    cp.core_len = cp.ids.size();
    if (cp.core_len == 0) return cp;
    if (static_cast<double>(cp.core_len) > 0.25 * static_cast<double>(n_points)) {
        return FallbackReason{Kind::CrustTooLarge};
    }
    for (const BlockOut<D>& b : blocks) {
        for (const std::uint32_t v : b.support) {
            if (mark[v] != 0) continue;
            mark[v] = 2;
            cp.ids.push_back(v);
        }
    }
    std::sort(cp.ids.begin() + static_cast<std::ptrdiff_t>(cp.core_len), cp.ids.end());
    if (cp.ids.size() < K + 1) return FallbackReason{Kind::CrustKernelFailed};
    return cp;
}

template <std::size_t D>
struct Verifier {
    static constexpr std::size_t K = D + 1;
    const Grid<D>& g;
    const KernelOps<D>& ops;
    const CrustPoints& cp;

    Outcome operator()(const std::array<std::uint32_t, K>& t) const {
        for (const std::uint32_t l : t) {
            if (l >= cp.core_len) return {Verdict::Drop};  // a support vertex: no test made
        }
        std::array<std::uint32_t, K> gid;
        Simplex<D> s;
        for (std::size_t k = 0; k < K; ++k) {
            gid[k] = cp.ids[t[k]];
            s[k] = g.points[gid[k]];
        }
        const std::optional<Ball<D>> ball = ops.circumball(s);
        if (!ball || !usable(*ball)) return {Verdict::Fail, UNVERIFIABLE};
        const Point<D>& c = ball->center;
        const double r = ball->outer_radius;
        const double r2 = reach2(r);

        Cell<D> lo, hi;
        g.ball_cells(c, r, lo, hi);
        Cell<D> tlo, thi;
        for (std::size_t a = 0; a < D; ++a) {
            tlo[a] = lo[a] / TILE_CELLS;
            thi[a] = hi[a] / TILE_CELLS;
        }

        std::uint32_t budget = VISIT_BUDGET;
        Outcome out{Verdict::Keep};
        for_each_cell<D>(tlo, thi, [&](const Cell<D>& tile) {
            std::uint64_t flag = 0;
            for (std::size_t a = 0; a < D; ++a) flag = flag * g.tile_dims[a] + tile[a];
            if (g.tiles[flag] == 0) return true;
            Cell<D> first, clo, chi;
            std::uint64_t left = 1;  // cells of this tile still to visit
            for (std::size_t a = 0; a < D; ++a) {
                first[a] = tile[a] * TILE_CELLS;
                clo[a] = std::max(first[a], lo[a]);
                chi[a] = std::min<std::uint32_t>(first[a] + TILE_CELLS - 1, hi[a]);
                left *= chi[a] - clo[a] + 1;
            }
            // Tiles, cells and points are passed over only on a clear "out of reach": a
            // NaN distance sends them on to the exact test.
            if (g.gap2(c, first, TILE_CELLS) >= r2) return true;
            if (budget == 0) {
                out = {Verdict::Fail, OVER_BUDGET};
                return false;
            }
            return for_each_cell<D>(clo, chi, [&](const Cell<D>& x) {
                const auto& range = g.cell_ranges[g.cell_index(x)];
                if (range[0] != range[1] && !(g.gap2(c, x, 1) >= r2)) {
                    out = test_points(s, gid, c, r2, range[0], range[1]);
                    if (out.verdict != Verdict::Keep) return false;
                }
                --budget;
                --left;
                if (budget == 0 && left > 0) {
                    out = {Verdict::Fail, OVER_BUDGET};
                    return false;
                }
                return true;
            });
        });
        return out;
    }

    // The points start .. end of one cell against the simplex's ball: the float distance
    // sends only points that may lie inside to the exact test.
    Outcome test_points(const Simplex<D>& s, const std::array<std::uint32_t, K>& gid,
                        const Point<D>& c, double r2, std::uint32_t start,
                        std::uint32_t end) const {
        for (std::uint32_t i = start; i < end; ++i) {
            if (std::find(gid.begin(), gid.end(), i) != gid.end()) continue;
            const Point<D>& p = g.points[i];
            double d2 = 0.0;
            for (std::size_t a = 0; a < D; ++a) d2 += (p[a] - c[a]) * (p[a] - c[a]);
            if (d2 >= r2) continue;
            const double sign = ops.inball_exact(s, p);
            if (sign > 0.0) return {Verdict::Drop};
            // Only a clear "outside" lets the walk go on: a NaN would keep the simplex
            // without its point having been checked.
            if (!(sign < 0.0)) return {Verdict::Fail, sign == 0.0 ? COSPHERICAL : NO_SIGN};
        }
        return {Verdict::Keep};
    }
};

}  // namespace

template <std::size_t D>
Result<SimplexRows<D>, FallbackReason> crust_pass(const std::vector<BlockOut<D>>& blocks,
                                                  const Grid<D>& grid, const KernelOps<D>& ops) {
    constexpr std::size_t K = D + 1;
    using Kind = FallbackReason::Kind;
    Result<CrustPoints, FallbackReason> collected = collect<D>(blocks, grid.points.size());
    if (!collected.ok()) return collected.error();
    const CrustPoints& cp = collected.value();
    if (cp.core_len == 0) return SimplexRows<D>{};

    SimplexRows<D> tri;
    {
        Result<DelaunayOutput<K>> out = [&] {
            const std::vector<double> coords = gather_coords<D>(grid.points, cp.ids);
            return ops.kernel(PointView<double>::dense(coords.data(), cp.ids.size(), D));
        }();
        if (!out.ok()) return FallbackReason{Kind::CrustKernelFailed};
        tri = std::move(out.value().simplices);
    }

    // One slot per simplex, each written by its own task only.
    std::vector<std::uint8_t> keep(tri.size(), 0);
    const Verifier<D> verify{grid, ops, cp};
    const std::optional<const char*> failed =
        try_for_each<const char*>(tri.size(), [&](std::size_t t) -> std::optional<const char*> {
            const Outcome o = verify(tri[t]);
            if (o.verdict == Verdict::Fail) return o.text;
            keep[t] = o.verdict == Verdict::Keep;
            return std::nullopt;
        });
    if (failed) return FallbackReason{Kind::InvalidMesh, *failed};

    SimplexRows<D> out;
    for (std::size_t t = 0; t < tri.size(); ++t) {
        if (!keep[t]) continue;
        std::array<std::uint32_t, K> row;
        for (std::size_t k = 0; k < K; ++k) row[k] = cp.ids[tri[t][k]];
        out.push_back(row);
    }
    return out;
}

template Result<SimplexRows<2>, FallbackReason> crust_pass<2>(const std::vector<BlockOut<2>>&,
                                                              const Grid<2>&, const KernelOps<2>&);
template Result<SimplexRows<3>, FallbackReason> crust_pass<3>(const std::vector<BlockOut<3>>&,
                                                              const Grid<3>&, const KernelOps<3>&);

}  // namespace kavro::par

#include "parallel/grid.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "core/float_order.h"
#include "parallel/pool.h"

namespace kavro::par {

namespace {

// Truncation toward zero that saturates: NaN and negatives give 0, 2^64 and above the
// largest value.
inline std::uint64_t saturate_u64(double t) {
    if (!(t >= 0.0)) return 0;
    if (t >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(t);
}

inline std::uint64_t spread_by_2(std::uint64_t x) {
    x &= 0xFFFFFFFFull;
    x = (x | x << 16) & 0x0000FFFF0000FFFFull;
    x = (x | x << 8) & 0x00FF00FF00FF00FFull;
    x = (x | x << 4) & 0x0F0F0F0F0F0F0F0Full;
    x = (x | x << 2) & 0x3333333333333333ull;
    return (x | x << 1) & 0x5555555555555555ull;
}

inline std::uint64_t spread_by_3(std::uint64_t x) {
    x &= 0x1FFFFFull;
    x = (x | x << 32) & 0x001F00000000FFFFull;
    x = (x | x << 16) & 0x001F0000FF0000FFull;
    x = (x | x << 8) & 0x100F00F00F00F00Full;
    x = (x | x << 4) & 0x10C30C30C30C30C3ull;
    return (x | x << 2) & 0x1249249249249249ull;
}

constexpr std::size_t NO_POS = ~std::size_t{0};

struct KeyPair {
    std::uint64_t key;
    std::uint32_t index;
};

template <std::size_t D>
struct Entry {
    Point<D> p;
    std::uint32_t index;
};

// The order inside one cell: the coordinates in IEEE total order with -0.0 read as +0.0,
// then as they are, then the input index. The duplicate scan compares each point with the
// one before it only, so IEEE-equal points must come out adjacent even when their zeros
// differ in sign: in plain total order (-0.0, 0.5), (-0.0, 0.6), (+0.0, 0.5) would keep
// the two equal ones apart.
template <std::size_t D>
inline bool coords_less(const Entry<D>& a, const Entry<D>& b) {
    for (std::size_t k = 0; k < D; ++k) {
        const std::int64_t x = total_key(a.p[k] + 0.0);
        const std::int64_t y = total_key(b.p[k] + 0.0);
        if (x != y) return x < y;
    }
    for (std::size_t k = 0; k < D; ++k) {
        const std::int64_t x = total_key(a.p[k]);
        const std::int64_t y = total_key(b.p[k]);
        if (x != y) return x < y;
    }
    return a.index < b.index;
}

// Sorts the pairs by key, stably: pairs made in index order come out in (key, index)
// order. Least significant digit first, each pass a counting scatter of fixed chunks (so
// the work, not the result, is shared among the threads; a stable order is unique).
// `bits`: the keys are below 2^bits.
void radix_sort(Buffer<KeyPair>& pairs, unsigned bits) {
    const std::size_t n = pairs.size();
    if (n < 2 || bits == 0) return;
    const unsigned passes = (bits + 10) / 11;
    const unsigned width = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << width;
    // At most 1024 chunks, so that the counts stay small at any size.
    const std::size_t chunk = std::max<std::size_t>(std::size_t{1} << 16, (n + 1023) / 1024);
    const std::size_t chunks = (n + chunk - 1) / chunk;
    Buffer<KeyPair> other(n);
    Buffer<std::size_t> at(chunks * buckets);  // chunk-major: where each chunk's digit goes
    for (unsigned pass = 0; pass < passes; ++pass) {
        const unsigned shift = pass * width;
        const auto digit = [&](const KeyPair& p) {
            return static_cast<std::size_t>(p.key >> shift) & (buckets - 1);
        };
        for_each_index(chunks, [&](std::size_t c) {
            std::size_t* count = &at[c * buckets];
            std::fill(count, count + buckets, std::size_t{0});
            for (std::size_t i = c * chunk, e = std::min(n, i + chunk); i < e; ++i) {
                ++count[digit(pairs[i])];
            }
        });
        std::size_t sum = 0;
        for (std::size_t d = 0; d < buckets; ++d) {
            for (std::size_t c = 0; c < chunks; ++c) {
                const std::size_t k = at[c * buckets + d];
                at[c * buckets + d] = sum;
                sum += k;
            }
        }
        for_each_index(chunks, [&](std::size_t c) {
            std::size_t* next = &at[c * buckets];
            for (std::size_t i = c * chunk, e = std::min(n, i + chunk); i < e; ++i) {
                other[next[digit(pairs[i])]++] = pairs[i];
            }
        });
        pairs.swap(other);
    }
}

template <std::size_t D>
struct Box {
    std::array<double, D> lo, hi;
};

// Steps 3 to 5 of the sizing: live axes, cell counts, halving, cell sizes.
template <std::size_t D>
void size_cells(Grid<D>& g, const Box<D>& box, std::size_t n) {
    std::array<double, D> extent;
    std::size_t live = 0;
    for (std::size_t a = 0; a < D; ++a) {
        extent[a] = box.hi[a] - box.lo[a];
        if (extent[a] > 0.0) ++live;  // zero, negative (no points) and NaN are flat
        g.dims[a] = 1;
    }
    g.origin = box.lo;
    if (live > 0) {
        const std::uint64_t target = std::clamp<std::uint64_t>(n >> 5, 1, GRID_MAX_CELLS);
        double vol = 1.0;
        for (std::size_t a = 0; a < D; ++a) vol *= extent[a] > 0.0 ? extent[a] : 1.0;
        const double h =
            std::pow(vol / static_cast<double>(target), 1.0 / static_cast<double>(live));
        if (h > 0.0) {
            for (std::size_t a = 0; a < D; ++a) {
                if (!(extent[a] > 0.0)) continue;
                const std::uint64_t u = saturate_u64(std::ceil(extent[a] / h));
                g.dims[a] = u == 0 ? 1 : std::min(u, GRID_MAX_AXIS_CELLS);
            }
        }
    }
    limit_cells<D>(g.dims);
    for (std::size_t a = 0; a < D; ++a) {
        const bool is_live = extent[a] > 0.0;
        const double d = static_cast<double>(g.dims[a]);
        g.cell_size[a] = is_live ? extent[a] / d : 0.0;
        g.inv_cell_size[a] = is_live ? d / extent[a] : 0.0;
    }
}


// The duplicate scan compares each point with the last one kept. Since IEEE equality of
// non-NaN points is transitive, that is the same as comparing it with the point just
// before it: an equal predecessor is either the kept point or equal to it, and an unequal
// one is kept or equal to the kept point, which then differs too. So the scan runs in
// chunks at once, each told where its output starts and which point was kept last
// before it. Without repeats (the common case) nothing is copied.
template <std::size_t D>
void remove_duplicates(Grid<D>& g) {
    const std::size_t n = g.points.size();
    const auto repeats = [&](std::size_t k) {
        if (k == 0) return false;
        for (std::size_t a = 0; a < D; ++a) {
            if (!(g.points[k][a] == g.points[k - 1][a])) return false;
        }
        return true;
    };
    constexpr std::size_t chunk = 1 << 16;
    const std::size_t chunks = (n + chunk - 1) / chunk;
    struct Tally {
        std::size_t kept = 0;
        std::size_t last = NO_POS;  // position of the chunk's last kept point
    };
    const Buffer<Tally> tally = map_indexed<Tally>(chunks, [&](std::size_t c) {
        Tally t;
        for (std::size_t k = c * chunk, e = std::min(n, k + chunk); k < e; ++k) {
            if (!repeats(k)) {
                ++t.kept;
                t.last = k;
            }
        }
        return t;
    });
    std::vector<Tally> start(chunks);  // kept: output position; last: kept before the chunk
    std::size_t kept = 0, last = NO_POS;
    for (std::size_t c = 0; c < chunks; ++c) {
        start[c] = {kept, last};
        kept += tally[c].kept;
        if (tally[c].last != NO_POS) last = tally[c].last;
    }
    if (kept == n) return;
    Buffer<Point<D>> points(kept);
    Buffer<std::uint32_t> perm(kept);
    g.duplicates.resize(n - kept);
    for_each_index(chunks, [&](std::size_t c) {
        std::size_t out = start[c].kept, prev = start[c].last;
        std::size_t dup = c * chunk - out;
        for (std::size_t k = c * chunk, e = std::min(n, k + chunk); k < e; ++k) {
            if (repeats(k)) {
                g.duplicates[dup++] = {g.perm[k], g.perm[prev]};
            } else {
                points[out] = g.points[k];
                perm[out++] = g.perm[k];
                prev = k;
            }
        }
    });
    g.points.swap(points);
    g.perm.swap(perm);
}

// Sorts one run of points that share a cell, and their input rows with them, by
// coords_less.
template <std::size_t D>
void sort_run(Point<D>* points, std::uint32_t* rows, std::size_t len) {
    constexpr std::size_t kOnStack = 64;
    std::array<Entry<D>, kOnStack> small;
    std::vector<Entry<D>> large;
    Entry<D>* e = small.data();
    if (len > kOnStack) {
        large.resize(len);
        e = large.data();
    }
    for (std::size_t k = 0; k < len; ++k) e[k] = Entry<D>{points[k], rows[k]};
    std::sort(e, e + len, coords_less<D>);
    for (std::size_t k = 0; k < len; ++k) {
        points[k] = e[k].p;
        rows[k] = e[k].index;
    }
}

}  // namespace

template <std::size_t D>
void limit_cells(std::array<std::uint64_t, D>& dims) {
    const auto cells = [&] {
        std::uint64_t m = 1;
        for (const std::uint64_t d : dims) m *= d;  // each <= 2^20: no overflow
        return m;
    };
    while (cells() > GRID_MAX_CELLS) {
        std::size_t big = 0;
        for (std::size_t a = 1; a < D; ++a) {
            if (dims[a] >= dims[big]) big = a;
        }
        dims[big] -= dims[big] / 2;
    }
}

template <std::size_t D>
void cut_blocks(Grid<D>& g, std::uint64_t block_target) {
    std::uint64_t m = 1;
    std::uint64_t tiles = 1;
    for (std::size_t a = 0; a < D; ++a) {
        m *= g.dims[a];
        g.tile_dims[a] = (g.dims[a] + TILE_CELLS - 1) / TILE_CELLS;
        tiles *= g.tile_dims[a];
        // A point is filed in cell k by t = fl(fl(p - o) * inv), with inv = fl(d / E)
        // (E the float extent, d the count, o the origin, u = 2^-53): three roundings, so
        // p - o lies within k E/d (1 - 3.1u) .. (k + 1) E/d (1 + 3.1u), or below
        // E (1 + u) in the clamped last cell. The box corner fl(fl(k cs) + o), with
        // cs = fl(E / d), is off o + k E/d by at most 2.1u k E/d + u (|o| + E), and the
        // upper corner, one rounding more, by about 5u E + 2u |o|. So a point lies at most
        // 9u (|o| + E) outside its box (a tile of 8 cells the same), and widening the box
        // rounds once more: 2^-49 = 16u covers it. Without it, a point 3.5e-10 short of
        // its box (origin -1300000.7, cells of 155.6) was missed by a ball of radius 90
        // whose own error bound, made of coordinates near 0, was 1e-11.
        g.box_slack[a] =
            0x1p-49 * (std::fabs(g.origin[a]) + static_cast<double>(g.dims[a]) * g.cell_size[a]);
    }
    const std::size_t u = g.points.size();
    const Buffer<std::uint32_t> ids = map_indexed<std::uint32_t>(
        u, [&](std::size_t k) { return g.cell_index(g.point_cell(g.points[k])); });
    g.cell_ranges.assign(m, {0, 0});
    for (std::size_t s = 0; s < u;) {
        const std::uint32_t id = ids[s];
        std::size_t e = s + 1;
        while (e < u && ids[e] == id) ++e;
        g.cell_ranges[id] = {static_cast<std::uint32_t>(s), static_cast<std::uint32_t>(e)};
        g.occupied_cells.push_back(id);
        s = e;
    }

    g.tiles.assign(tiles, 0);
    for (const std::uint32_t id : g.occupied_cells) {
        const Cell<D> c = g.cell_coords(id);
        std::uint64_t t = 0;
        for (std::size_t a = 0; a < D; ++a) t = t * g.tile_dims[a] + (c[a] >> 3);
        g.tiles[t] = 1;
    }

    g.cell_owner.assign(m, NO_INDEX);
    if (g.occupied_cells.empty()) return;
    const std::uint64_t bt = block_target == 0 ? 1 : block_target;
    std::uint64_t nb = u < bt ? 1
                              : std::min<std::uint64_t>({u / bt, g.occupied_cells.size(),
                                                         GRID_MAX_BLOCKS});
    std::uint64_t remaining = u;
    std::uint64_t acc = 0;
    std::uint32_t cell_lo = 0;
    std::uint32_t pt_lo = 0;
    const std::size_t last = g.occupied_cells.size() - 1;
    for (std::size_t q = 0; q <= last; ++q) {
        const std::uint32_t x = g.occupied_cells[q];
        g.cell_owner[x] = static_cast<std::uint32_t>(g.blocks.size());
        acc += g.cell_ranges[x][1] - g.cell_ranges[x][0];
        const std::uint64_t quota = (remaining + nb - 1) / nb;
        if (q == last || (acc >= quota && nb != 1)) {
            const auto hi = static_cast<std::uint32_t>(q + 1);
            const auto pt_hi = static_cast<std::uint32_t>(pt_lo + acc);
            g.blocks.push_back({cell_lo, hi, pt_lo, pt_hi});
            remaining -= acc;
            if (nb != 1) --nb;
            cell_lo = hi;
            pt_lo = pt_hi;
            acc = 0;
        }
    }
}

template <std::size_t D>
Cell<D> Grid<D>::point_cell(const Point<D>& p) const {
    Cell<D> c;
    for (std::size_t a = 0; a < D; ++a) {
        const std::uint64_t t = saturate_u64((p[a] - origin[a]) * inv_cell_size[a]);
        c[a] = static_cast<std::uint32_t>(std::min(t, dims[a] - 1));
    }
    return c;
}

template <std::size_t D>
void Grid<D>::ball_cells(const Point<D>& c, double r, Cell<D>& lo, Cell<D>& hi) const {
    Point<D> lo_corner, hi_corner;
    for (std::size_t a = 0; a < D; ++a) {
        lo_corner[a] = c[a] - r;
        hi_corner[a] = c[a] + r;
    }
    lo = point_cell(lo_corner);
    hi = point_cell(hi_corner);
}

template <std::size_t D>
std::uint32_t Grid<D>::cell_index(const Cell<D>& c) const {
    std::uint64_t id = 0;
    for (std::size_t a = 0; a < D; ++a) id = id * dims[a] + c[a];
    return static_cast<std::uint32_t>(id);
}

template <std::size_t D>
Cell<D> Grid<D>::cell_coords(std::uint32_t id) const {
    Cell<D> c;
    std::uint64_t rest = id;
    for (std::size_t a = D; a-- > 0;) {
        c[a] = static_cast<std::uint32_t>(rest % dims[a]);
        rest /= dims[a];
    }
    return c;
}

template <std::size_t D>
bool Grid<D>::is_gathered(std::uint32_t block, const Cell<D>& c) const {
    Cell<D> lo, hi;
    for (std::size_t a = 0; a < D; ++a) {
        lo[a] = c[a] == 0 ? 0 : c[a] - 1;
        hi[a] = static_cast<std::uint32_t>(std::min<std::uint64_t>(c[a] + 1ull, dims[a] - 1));
    }
    Cell<D> x = lo;
    while (true) {
        if (cell_owner[cell_index(x)] == block) return true;
        std::size_t a = D;
        while (a-- > 0) {
            if (x[a] < hi[a]) {
                ++x[a];
                break;
            }
            x[a] = lo[a];
        }
        if (a == static_cast<std::size_t>(-1)) return false;
    }
}

template <std::size_t D>
double Grid<D>::gap2(const Point<D>& c, const Cell<D>& first, std::uint32_t span) const {
    double d2 = 0.0;
    for (std::size_t a = 0; a < D; ++a) {
        const double box_lo = static_cast<double>(first[a]) * cell_size[a] + origin[a];
        const double lo = box_lo - box_slack[a];
        const double hi = (box_lo + static_cast<double>(span) * cell_size[a]) + box_slack[a];
        const double d = lo > c[a] ? lo - c[a] : c[a] > hi ? c[a] - hi : 0.0;
        d2 += d * d;
    }
    return d2;
}

template <std::size_t D>
std::uint64_t morton_key(const Cell<D>& c) {
    if constexpr (D == 2) {
        return spread_by_2(c[0]) | spread_by_2(c[1]) << 1;
    } else {
        return spread_by_3(c[0]) | spread_by_3(c[1]) << 1 | spread_by_3(c[2]) << 2;
    }
}

template <std::size_t D, class T>
PowerOfTwoScale cloud_scale(const PointView<T>& points) {
    constexpr double MAX = PowerOfTwoScale::MAX;
    struct Extremes {
        double top = 0.0;     // largest finite magnitude
        double low = MAX;     // smallest nonzero finite magnitude
        int lowest = 1024;    // lowest set bit of a nonzero finite magnitude
    };
    // of() scans the cloud on one thread, which on a large cloud is a noticeable part of
    // the grid's own time.
    const Extremes x = fold_reduce(
        points.rows, Extremes{},
        [&](Extremes& acc, std::size_t i) {
            for (std::size_t a = 0; a < D; ++a) {
                const double v = std::fabs(points.at(i, a));
                if (!(v <= MAX) || v == 0.0) continue;  // NaN, infinities and zeros
                if (v > acc.top) acc.top = v;
                if (v < acc.low) acc.low = v;
                acc.lowest = std::min(acc.lowest, PowerOfTwoScale::lowest_bit(v));
            }
        },
        [](const Extremes& p, const Extremes& q) {
            return Extremes{std::max(p.top, q.top), std::min(p.low, q.low),
                            std::min(p.lowest, q.lowest)};
        });
    return PowerOfTwoScale::of_extremes(x.top, x.low, D, [&x] { return x.lowest; });
}

template <std::size_t D, class T>
Grid<D> build_grid(const PointView<T>& points, std::uint64_t block_target,
                   const PowerOfTwoScale& scale) {
    const std::size_t n = points.rows;
    Grid<D> g;
    const auto coord = [&](std::size_t i, std::size_t a) { return scale(points.at(i, a)); };

    constexpr double INF = std::numeric_limits<double>::infinity();
    Box<D> empty;
    empty.lo.fill(INF);
    empty.hi.fill(-INF);
    // `v < lo` and `v > hi` are false for NaN, which the box therefore ignores.
    const Box<D> box = fold_reduce(
        n, empty,
        [&](Box<D>& b, std::size_t i) {
            for (std::size_t a = 0; a < D; ++a) {
                const double v = coord(i, a);
                if (v < b.lo[a]) b.lo[a] = v;
                if (v > b.hi[a]) b.hi[a] = v;
            }
        },
        [](const Box<D>& x, const Box<D>& y) {
            Box<D> r = x;
            for (std::size_t a = 0; a < D; ++a) {
                if (y.lo[a] < r.lo[a]) r.lo[a] = y.lo[a];
                if (y.hi[a] > r.hi[a]) r.hi[a] = y.hi[a];
            }
            return r;
        });
    size_cells(g, box, n);

    const auto point = [&](std::size_t i) {
        Point<D> p;
        for (std::size_t a = 0; a < D; ++a) p[a] = coord(i, a);
        return p;
    };
    // The order is the key, then coords_less. Sorting the 16-byte pairs stably by key and
    // then each run of one key by coordinates gives the same sequence, and the coordinates
    // are then read from memory laid out in that order rather than at random from inside
    // the sort.
    Buffer<KeyPair> pairs = map_indexed<KeyPair>(n, [&](std::size_t i) {
        return KeyPair{morton_key<D>(g.point_cell(point(i))), static_cast<std::uint32_t>(i)};
    });
    Cell<D> far;
    for (std::size_t a = 0; a < D; ++a) far[a] = static_cast<std::uint32_t>(g.dims[a] - 1);
    radix_sort(pairs, 64 - static_cast<unsigned>(std::countl_zero(morton_key<D>(far))));
    g.points.resize(n);
    g.perm.resize(n);
    for_each_index(n, [&](std::size_t k) {
        g.points[k] = point(pairs[k].index);
        g.perm[k] = pairs[k].index;
    });
    for_each_index(n, [&](std::size_t s) {
        if (s > 0 && pairs[s - 1].key == pairs[s].key) return;  // not the start of a run
        std::size_t e = s + 1;
        while (e < n && pairs[e].key == pairs[s].key) ++e;
        if (e - s > 1) sort_run<D>(&g.points[s], &g.perm[s], e - s);
    });
    Buffer<KeyPair>().swap(pairs);

    remove_duplicates(g);
    cut_blocks(g, block_target);
    return g;
}

template struct Grid<2>;
template struct Grid<3>;
template void limit_cells<2>(std::array<std::uint64_t, 2>&);
template void limit_cells<3>(std::array<std::uint64_t, 3>&);
template void cut_blocks<2>(Grid<2>&, std::uint64_t);
template void cut_blocks<3>(Grid<3>&, std::uint64_t);
template std::uint64_t morton_key<2>(const Cell<2>&);
template std::uint64_t morton_key<3>(const Cell<3>&);
template PowerOfTwoScale cloud_scale<2, double>(const PointView<double>&);
template PowerOfTwoScale cloud_scale<2, float>(const PointView<float>&);
template PowerOfTwoScale cloud_scale<3, double>(const PointView<double>&);
template PowerOfTwoScale cloud_scale<3, float>(const PointView<float>&);
template Grid<2> build_grid<2, double>(const PointView<double>&, std::uint64_t,
                                       const PowerOfTwoScale&);
template Grid<2> build_grid<2, float>(const PointView<float>&, std::uint64_t,
                                      const PowerOfTwoScale&);
template Grid<3> build_grid<3, double>(const PointView<double>&, std::uint64_t,
                                       const PowerOfTwoScale&);
template Grid<3> build_grid<3, float>(const PointView<float>&, std::uint64_t,
                                      const PowerOfTwoScale&);

}  // namespace kavro::par

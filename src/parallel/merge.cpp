// Merge: de-duplication, orientation, coverage, face pairing, seams, boundary, mapping.
//
// The result is that of sorting every simplex key and every face key globally, but no
// global sort runs. Both key orders start with a lowest vertex, so each sort becomes a
// stable counting pass into slabs of consecutive vertex ids and small sorts per vertex,
// which stay in cache. The merged rows then come out grouped by their lowest vertex, and
// K - 1 of the K faces of a row have that vertex as their own lowest one, so the face
// keys of a vertex are formed on demand from its run of rows and from the rows whose
// second vertex it is: the K * m face keys (16 bytes each) are never stored. The windows
// are still cut in the global face-key order; each window forms, sorts and pairs the keys
// of its vertices and writes the neighbour entries of its pairs itself (every slot lies
// in exactly one run, so no entry is written twice).
//
// The two result arrays are not zeroed when made: every entry is written once, by the
// worker that handles its row, so their pages are first touched in parallel.
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "parallel/pipeline.h"
#include "parallel/pool.h"

namespace kavro::par {

namespace {

__extension__ typedef unsigned __int128 u128;

using Clock = std::chrono::steady_clock;

FallbackReason invalid(const char* text) {
    return FallbackReason{FallbackReason::Kind::InvalidMesh, text};
}

// Adds the time since the last lap to a field of the profile; a no-op without one.
class Lap {
public:
    explicit Lap(MergeProfile* profile) : profile_(profile) {
        if (profile_) t_ = Clock::now();
    }
    void operator()(double MergeProfile::*field) {
        if (!profile_) return;
        const Clock::time_point now = Clock::now();
        profile_->*field += std::chrono::duration<double>(now - t_).count();
        t_ = now;
    }

private:
    MergeProfile* profile_;
    Clock::time_point t_;
};

// The groups sorted per vertex are short (about 7 simplex keys in 3D, and the face keys
// come in four lists of that size), so insertion sort wins; a vertex of huge degree
// still costs n log n.
inline void sort_small(u128* a, std::size_t n) {
    if (n > 24) {
        std::sort(a, a + n);
        return;
    }
    for (std::size_t i = 1; i < n; ++i) {
        const u128 x = a[i];
        std::size_t j = i;
        for (; j > 0 && a[j - 1] > x; --j) a[j] = a[j - 1];
        a[j] = x;
    }
}

// A sorting network of min and max, which compile to conditional moves: the order of a
// simplex's ids is random, and branching on it mispredicts half the time.
template <std::size_t K>
inline void sort_ids(std::array<std::uint32_t, K>& v) {
    const auto cs = [&](std::size_t i, std::size_t j) {
        const std::uint32_t a = v[i], b = v[j];
        v[i] = std::min(a, b);
        v[j] = std::max(a, b);
    };
    cs(0, 1);
    if constexpr (K == 3) {
        cs(1, 2);
        cs(0, 1);
    } else {
        cs(2, 3);
        cs(0, 2);
        cs(1, 3);
        cs(1, 2);
    }
}

// ---- counting passes into slabs of vertex ids --------------------------------------------

// Vertex ids cut into slabs of 2^shift consecutive ids, sized for about 16384 items each
// (what a slab's sort touches then stays in the core's cache), at most 1024 slabs (few
// places for the counting pass to write to at once).
struct Slabs {
    unsigned shift = 0;
    std::size_t count = 1;
    std::uint64_t n = 0;

    Slabs(std::uint64_t points, std::uint64_t items) : n(points) {
        const std::uint64_t want = items == 0 ? points : 16384 * points / items;
        while (shift < 40 && (std::uint64_t{2} << shift) <= want) ++shift;
        while (((points + (std::uint64_t{1} << shift) - 1) >> shift) > 1024) ++shift;
        count = std::max<std::size_t>(1, (points + (std::uint64_t{1} << shift) - 1) >> shift);
    }
    std::size_t of(std::uint32_t v) const { return v >> shift; }
    std::uint64_t lo(std::size_t q) const { return std::uint64_t{q} << shift; }
    std::uint64_t hi(std::size_t q) const { return std::min(n, std::uint64_t{q + 1} << shift); }
    std::size_t width() const {
        return static_cast<std::size_t>(std::min(n, std::uint64_t{1} << shift));
    }
};

// Consecutive items of one source, counted and placed by one task.
struct Piece {
    std::size_t source;
    std::size_t lo, hi;
};

std::vector<Piece> cut_pieces(const std::vector<std::size_t>& source_sizes, std::size_t total) {
    const std::size_t len = std::max<std::size_t>(std::size_t{1} << 16, (total + 255) / 256);
    std::vector<Piece> pieces;
    for (std::size_t s = 0; s < source_sizes.size(); ++s) {
        for (std::size_t lo = 0; lo < source_sizes[s]; lo += len) {
            pieces.push_back({s, lo, std::min(source_sizes[s], lo + len)});
        }
    }
    return pieces;
}

// at[p * slabs + q] holds on entry the number of items of piece p in slab q, and on return
// the position of the first of them in slab order (slab by slab, pieces in order within a
// slab), so a second pass over the pieces places every item stably. start gets the first
// position of every slab and, last, the total.
void counts_to_offsets(Buffer<std::size_t>& at, std::size_t pieces, std::size_t slabs,
                       std::vector<std::size_t>& start) {
    constexpr std::size_t span = 64;
    const std::size_t spans = (slabs + span - 1) / span;
    start.assign(slabs + 1, 0);
    for_each_index(spans, [&](std::size_t c) {
        const std::size_t q0 = c * span, q1 = std::min(slabs, q0 + span);
        for (std::size_t p = 0; p < pieces; ++p) {
            for (std::size_t q = q0; q < q1; ++q) start[q + 1] += at[p * slabs + q];
        }
    });
    for (std::size_t q = 0; q < slabs; ++q) start[q + 1] += start[q];
    for_each_index(spans, [&](std::size_t c) {
        const std::size_t q0 = c * span, q1 = std::min(slabs, q0 + span);
        std::size_t run[span];
        std::copy(start.begin() + static_cast<std::ptrdiff_t>(q0),
                  start.begin() + static_cast<std::ptrdiff_t>(q1), run);
        for (std::size_t p = 0; p < pieces; ++p) {
            for (std::size_t q = q0; q < q1; ++q) {
                const std::size_t count = at[p * slabs + q];
                at[p * slabs + q] = run[q - q0];
                run[q - q0] += count;
            }
        }
    });
}

// Counts per vertex of the ids that `id_of(i)` gives for i in [0, len), all inside
// [lo, lo + width): first[v] becomes the position of vertex lo + v's first item in
// vertex order, first[width] = len; cursor[v] = first[v].
template <class IdOf>
void count_vertices(std::size_t len, std::uint64_t lo, std::size_t width, IdOf&& id_of,
                    std::vector<std::size_t>& first, std::vector<std::size_t>& cursor) {
    std::fill(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(width + 1),
              std::size_t{0});
    for (std::size_t i = 0; i < len; ++i) ++first[id_of(i) - lo + 1];
    for (std::size_t v = 0; v < width; ++v) {
        first[v + 1] += first[v];
        cursor[v] = first[v];
    }
}

// ---- first half: merged rows ---------------------------------------------------------------

// A simplex key: its ids ascending, then its source; after the sort, the row's ids in
// their final order.
template <std::size_t K>
struct RowKey {
    std::array<std::uint32_t, K> v;
    std::uint32_t src;
};

// The key without its first id, as one number ordered like the key: the other ids from
// the top bits down, the source in the low 32 bits.
template <std::size_t K>
u128 tail_of(const RowKey<K>& k) {
    u128 t = 0;
    for (std::size_t j = 1; j < K; ++j) t = t << 32 | k.v[j];
    return t << 32 | k.src;
}

template <std::size_t K>
RowKey<K> key_of(std::uint32_t first, u128 tail) {
    RowKey<K> k;
    k.v[0] = first;
    k.src = static_cast<std::uint32_t>(tail);
    for (std::size_t j = K - 1; j >= 1; --j) {
        tail >>= 32;
        k.v[j] = static_cast<std::uint32_t>(tail);
    }
    return k;
}

// Keys are kept as K + 1 plain words each: ids, then source.
template <std::size_t K>
RowKey<K> load_key(const std::uint32_t* words, std::size_t i) {
    RowKey<K> k;
    for (std::size_t j = 0; j < K; ++j) k.v[j] = words[i * (K + 1) + j];
    k.src = words[i * (K + 1) + K];
    return k;
}

template <std::size_t K>
void store_key(std::uint32_t* words, std::size_t i, const RowKey<K>& k) {
    for (std::size_t j = 0; j < K; ++j) words[i * (K + 1) + j] = k.v[j];
    words[i * (K + 1) + K] = k.src;
}

// Key order of two kept keys (ids ascending but for an exchanged first pair): their
// sorted ids, compared from the lowest.
template <std::size_t K>
bool ids_less(const std::uint32_t* a, const std::uint32_t* b) {
    const std::uint32_t a0 = std::min(a[0], a[1]), b0 = std::min(b[0], b[1]);
    if (a0 != b0) return a0 < b0;
    const std::uint32_t a1 = std::max(a[0], a[1]), b1 = std::max(b[0], b[1]);
    if (a1 != b1) return a1 < b1;
    for (std::size_t j = 2; j < K; ++j) {
        if (a[j] != b[j]) return a[j] < b[j];
    }
    return false;
}

// A list of rows handed to the merge and the source they come from.
template <std::size_t K>
struct Source {
    const std::array<std::uint32_t, K>* rows;
    std::size_t size;
    std::uint32_t id;
};

// The simplex keys of some sources in key order, slab by slab: slab q's kept keys, already
// oriented, keys start[q] .. start[q] + kept[q] of words.
template <std::size_t K>
struct SortedKeys {
    Buffer<std::uint32_t> words;
    std::vector<std::size_t> start;
    std::vector<std::size_t> kept;

    // Whether slab q keeps a key with these ascending ids.
    bool holds(std::size_t q, const std::array<std::uint32_t, K>& ids) const {
        const std::uint32_t* lo = words.data() + start[q] * (K + 1);
        std::size_t len = kept[q];
        while (len > 0) {  // first key not below ids
            const std::size_t half = len / 2;
            if (ids_less<K>(lo + half * (K + 1), ids.data())) {
                lo += (half + 1) * (K + 1);
                len -= half + 1;
            } else {
                len = half;
            }
        }
        return lo != words.data() + (start[q] + kept[q]) * (K + 1) &&
               !ids_less<K>(ids.data(), lo);
    }
};

// Sorts the keys of the sources (in source order) into the slabs: each slab's keys grouped
// by their lowest id, each group sorted, the first key of every run of equal ids kept (the
// one of the lowest source) unless `earlier` keeps it already, and oriented. Fails with
// "degenerate simplex" when a kept key is flat.
template <std::size_t D>
Result<SortedKeys<D + 1>, FallbackReason> sort_keys(const std::vector<Source<D + 1>>& sources,
                                                    const Slabs& slabs, const Grid<D>& grid,
                                                    const KernelOps<D>& ops, Lap& lap,
                                                    const SortedKeys<D + 1>* earlier) {
    constexpr std::size_t K = D + 1;
    std::vector<std::size_t> sizes;
    std::size_t total = 0;
    for (const Source<K>& s : sources) {
        sizes.push_back(s.size);
        total += s.size;
    }

    SortedKeys<K> out;
    const std::vector<Piece> pieces = cut_pieces(sizes, total);
    Buffer<std::size_t> at(pieces.size() * slabs.count);
    for_each_index(pieces.size(), [&](std::size_t p) {
        std::size_t* cnt = at.data() + p * slabs.count;
        std::fill(cnt, cnt + slabs.count, std::size_t{0});
        const std::array<std::uint32_t, K>* const in = sources[pieces[p].source].rows;
        for (std::size_t i = pieces[p].lo; i < pieces[p].hi; ++i) {
            std::uint32_t lowest = in[i][0];
            for (std::size_t j = 1; j < K; ++j) lowest = std::min(lowest, in[i][j]);
            ++cnt[slabs.of(lowest)];
        }
    });
    counts_to_offsets(at, pieces.size(), slabs.count, out.start);
    out.words.resize(total * (K + 1));
    for_each_index(pieces.size(), [&](std::size_t p) {
        // Everything the loop reads but its stores is held in locals, so that the stores
        // do not force it to be read again.
        std::size_t* const cur = at.data() + p * slabs.count;
        std::uint32_t* const words = out.words.data();
        const std::array<std::uint32_t, K>* const in = sources[pieces[p].source].rows;
        const std::uint32_t src = sources[pieces[p].source].id;
        const unsigned shift = slabs.shift;
        for (std::size_t i = pieces[p].lo, e = pieces[p].hi; i < e; ++i) {
            std::array<std::uint32_t, K> v = in[i];
            sort_ids<K>(v);
            std::uint32_t* const to = words + cur[v[0] >> shift]++ * (K + 1);
            for (std::size_t j = 0; j < K; ++j) to[j] = v[j];
            to[K] = src;
        }
    });
    Buffer<std::size_t>().swap(at);
    lap(&MergeProfile::keys);

    // Each slab: keys grouped by lowest id, each group sorted, the first key of every run
    // of equal ids kept and oriented, compacted in place.
    constexpr std::size_t kSlabsPerTask = 4;
    const std::size_t tasks = total == 0 ? 0 : (slabs.count + kSlabsPerTask - 1) / kSlabsPerTask;
    out.kept.assign(slabs.count, 0);
    const auto orient = ops.orient_exact;
    const std::optional<bool> degenerate =
        try_for_each<bool>(tasks, [&](std::size_t t) -> std::optional<bool> {
            const std::size_t q0 = t * kSlabsPerTask,
                              q1 = std::min(slabs.count, q0 + kSlabsPerTask);
            std::size_t widest = 0;
            for (std::size_t q = q0; q < q1; ++q) {
                widest = std::max(widest, out.start[q + 1] - out.start[q]);
            }
            std::vector<u128> tails(widest);
            std::vector<std::size_t> first(slabs.width() + 1), cursor(slabs.width());
            for (std::size_t q = q0; q < q1; ++q) {
                const std::uint64_t lo = slabs.lo(q);
                const std::size_t width = static_cast<std::size_t>(slabs.hi(q) - lo);
                std::uint32_t* const ks = out.words.data() + out.start[q] * (K + 1);
                const std::size_t len = out.start[q + 1] - out.start[q];
                count_vertices(len, lo, width, [&](std::size_t i) { return ks[i * (K + 1)]; },
                               first, cursor);
                for (std::size_t i = 0; i < len; ++i) {
                    const RowKey<K> k = load_key<K>(ks, i);
                    tails[cursor[k.v[0] - lo]++] = tail_of<K>(k);
                }
                std::size_t kept = 0;
                for (std::size_t v = 0; v < width; ++v) {
                    u128* const g = tails.data() + first[v];
                    const std::size_t c = first[v + 1] - first[v];
                    sort_small(g, c);
                    for (std::size_t i = 0; i < c; ++i) {
                        if (i > 0 && g[i] >> 32 == g[i - 1] >> 32) continue;
                        RowKey<K> k = key_of<K>(static_cast<std::uint32_t>(lo + v), g[i]);
                        if (earlier && earlier->holds(q, k.v)) continue;
                        Simplex<D> s;
                        for (std::size_t j = 0; j < K; ++j) s[j] = grid.points[k.v[j]];
                        // Zero is degenerate, and a NaN orients nothing: a row kept on
                        // it would reach the later checks with its handedness unknown.
                        const double r = orient(s);
                        if (!(r > 0.0)) {
                            if (!(r < 0.0)) return true;
                            std::swap(k.v[0], k.v[1]);
                        }
                        store_key<K>(ks, kept++, k);
                    }
                }
                out.kept[q] = kept;
            }
            return std::nullopt;
        });
    if (degenerate) return invalid("degenerate simplex");
    lap(&MergeProfile::sort);
    return out;
}

// Moves the kept keys of both sorts, merged in key order, into the rows and the sources,
// records where each vertex's rows start (row_start[v]: the first row whose lowest id is
// v or above, n + 1 entries), and tells whether every point is a vertex. A point is marked
// used with a plain (relaxed atomic) byte store: unlike a bit set per task, this does not
// grow with the threads.
template <std::size_t D>
bool place_rows(const Slabs& slabs, const SortedKeys<D + 1>& a, const SortedKeys<D + 1>& b,
                SimplexRows<D>& rows, Buffer<std::uint32_t>& sources,
                Buffer<std::uint32_t>& row_start) {
    constexpr std::size_t K = D + 1;
    const std::size_t n = static_cast<std::size_t>(slabs.n);
    std::vector<std::size_t> row_at(slabs.count + 1, 0);
    for (std::size_t q = 0; q < slabs.count; ++q) {
        row_at[q + 1] = row_at[q] + a.kept[q] + b.kept[q];
    }
    const std::size_t m = row_at[slabs.count];
    rows.resize(m);
    sources.resize(m);
    row_start.resize(n + 1);
    row_start[n] = static_cast<std::uint32_t>(m);  // m * K < 2^32 is checked before use

    constexpr std::size_t chunk = std::size_t{1} << 16;
    const std::size_t chunks = (n + chunk - 1) / chunk;
    Buffer<std::uint8_t> used(n);
    for_each_index(chunks, [&](std::size_t c) {
        std::memset(used.data() + c * chunk, 0, std::min(chunk, n - c * chunk));
    });
    for_each_index(slabs.count, [&](std::size_t q) {
        const std::uint32_t* ka = a.words.data() + a.start[q] * (K + 1);
        const std::uint32_t* kb = b.words.data() + b.start[q] * (K + 1);
        const std::uint32_t* const ea = ka + a.kept[q] * (K + 1);
        const std::uint32_t* const eb = kb + b.kept[q] * (K + 1);
        const std::size_t base = row_at[q], end = row_at[q + 1];
        for (std::size_t r = base; r < end; ++r) {
            const bool from_a = kb == eb || (ka != ea && ids_less<K>(ka, kb));
            const std::uint32_t*& k = from_a ? ka : kb;
            for (std::size_t j = 0; j < K; ++j) {
                rows[r][j] = k[j];
                std::atomic_ref<std::uint8_t>(used[k[j]]).store(1, std::memory_order_relaxed);
            }
            sources[r] = k[K];
            k += K + 1;
        }
        std::size_t r = base;
        for (std::uint64_t v = slabs.lo(q); v < slabs.hi(q); ++v) {
            while (r < end && std::min(rows[r][0], rows[r][1]) < v) ++r;
            row_start[v] = static_cast<std::uint32_t>(r);
        }
    });
    const auto missing = try_for_each<bool>(chunks, [&](std::size_t c) -> std::optional<bool> {
        if (std::memchr(used.data() + c * chunk, 0, std::min(chunk, n - c * chunk))) return true;
        return std::nullopt;
    });
    return !missing;
}

// ---- second half: faces --------------------------------------------------------------------

// For every vertex v, the rows whose second-lowest id is v (ascending): their face
// opposite the lowest vertex has v as its own lowest vertex.
struct SecondIndex {
    Buffer<std::uint32_t> start;  // n + 1
    Buffer<std::uint32_t> lists;  // m rows, by second vertex
    const std::uint32_t* rows = nullptr;
};

template <std::size_t D>
SecondIndex index_by_second(const SimplexRows<D>& rows, std::uint64_t n) {
    const std::size_t m = rows.size();
    const Slabs slabs(n, m);
    const std::vector<Piece> pieces = cut_pieces({m}, m);
    // The lowest id is one of the first two, so the second-lowest is the larger of them.
    const auto second = [&](std::size_t r) { return std::max(rows[r][0], rows[r][1]); };
    Buffer<std::size_t> at(pieces.size() * slabs.count);
    for_each_index(pieces.size(), [&](std::size_t p) {
        std::size_t* cnt = at.data() + p * slabs.count;
        std::fill(cnt, cnt + slabs.count, std::size_t{0});
        for (std::size_t r = pieces[p].lo; r < pieces[p].hi; ++r) ++cnt[slabs.of(second(r))];
    });
    std::vector<std::size_t> start;
    counts_to_offsets(at, pieces.size(), slabs.count, start);
    SecondIndex idx;
    Buffer<std::uint32_t> slabbed(m);
    idx.lists.resize(m);
    std::uint32_t* const by_slab = slabbed.data();
    std::uint32_t* const lists = idx.lists.data();
    for_each_index(pieces.size(), [&](std::size_t p) {
        std::size_t* cur = at.data() + p * slabs.count;
        for (std::size_t r = pieces[p].lo; r < pieces[p].hi; ++r) {
            by_slab[cur[slabs.of(second(r))]++] = static_cast<std::uint32_t>(r);
        }
    });
    Buffer<std::size_t>().swap(at);

    idx.start.resize(n + 1);
    idx.start[n] = static_cast<std::uint32_t>(m);
    idx.rows = lists;
    for_each_index(slabs.count, [&](std::size_t q) {
        std::vector<std::size_t> first(slabs.width() + 1), cursor(slabs.width());
        const std::uint64_t lo = slabs.lo(q);
        const std::size_t width = static_cast<std::size_t>(slabs.hi(q) - lo);
        const std::uint32_t* const in = by_slab + start[q];
        const std::size_t len = start[q + 1] - start[q];
        count_vertices(len, lo, width, [&](std::size_t i) { return second(in[i]); }, first,
                       cursor);
        for (std::size_t v = 0; v < width; ++v) {
            idx.start[lo + v] = static_cast<std::uint32_t>(start[q] + first[v]);
        }
        for (std::size_t i = 0; i < len; ++i) {
            lists[start[q] + cursor[second(in[i]) - lo]++] = in[i];
        }
    });
    return idx;
}

// The face keys in global order, vertex by vertex. A face key (f0, f1, f2, slot) of vertex
// v = f0 is held as one number (f1, f2, slot) from the top bits down; two keys name the
// same face when they agree above the slot.
template <std::size_t D>
class FaceKeys {
public:
    static constexpr std::size_t K = D + 1;

    // One task's room for a vertex's keys: the four lists they come in, each followed by
    // an all-ones key (above every real key), two merged pairs of lists, with a zero key
    // (below every real key: f1 is above v) before them as well, and the result. The
    // sentinels spare the merges every bounds test.
    class Scratch {
    public:
        std::size_t na = 0, nb = 0, nc = 0, ns = 0;
        u128 *a = nullptr, *b = nullptr, *c = nullptr, *s = nullptr, *ab = nullptr,
             *cs = nullptr, *out = nullptr;

        void fit(std::size_t own, std::size_t seconds) {
            na = nb = own;
            nc = D == 3 ? own : 0;
            ns = seconds;
            const std::size_t need = 3 * (na + nb + nc + ns) + 8;
            if (room_.size() < need) room_.resize(std::max(need, 2 * room_.size()));
            u128* p = room_.data();
            for (auto [list, len, low] : {std::tuple{&a, na, false}, {&b, nb, false},
                                          {&c, nc, false}, {&s, ns, false},
                                          {&ab, na + nb, true}, {&cs, nc + ns, true}}) {
                if (low) *p++ = 0;
                *list = p;
                p[len] = ~u128{0};
                p += len + 1;
            }
            out = p;
        }

    private:
        std::vector<u128> room_;
    };

    FaceKeys(const SimplexRows<D>& rows, const Buffer<std::uint32_t>& row_start,
             const SecondIndex& second)
        : rows_(rows), row_start_(row_start), second_(second), n_(row_start.size() - 1) {}

    // Position of vertex v's first key: K - 1 faces for each row it is lowest in, one for
    // each row it is second in, for every vertex before it.
    std::uint64_t begin(std::uint64_t v) const {
        return (K - 1) * std::uint64_t{row_start_[v]} + second_.start[v];
    }
    std::uint64_t vertices() const { return n_; }

    // The vertex whose keys hold global position b < K * m.
    std::uint64_t vertex_at(std::uint64_t b) const {
        std::uint64_t lo = 0, hi = n_;  // begin(lo) <= b < begin(hi)
        while (hi - lo > 1) {
            const std::uint64_t mid = lo + (hi - lo) / 2;
            (begin(mid) <= b ? lo : hi) = mid;
        }
        return lo;
    }

    // Vertex v's keys in key order, at w.out. Rows with lowest vertex v give the faces
    // opposite their second vertex (list a), their third (b) and, in 3D, their fourth (c);
    // rows with second vertex v give the face opposite their lowest (s). The rows of v are
    // in key order, so the list of faces opposite their last vertex comes sorted; the
    // short lists are sorted and merged.
    void form(std::uint64_t v, Scratch& w) const {
        // Locals for everything read: the stores into the lists must not force reloads.
        const std::array<std::uint32_t, K>* const rows = rows_.data();
        const std::uint32_t* const seconds = second_.rows;
        const std::uint32_t own_lo = row_start_[v], own_hi = row_start_[v + 1];
        const std::uint32_t sec_lo = second_.start[v], sec_hi = second_.start[v + 1];
        // The rows of list s lie elsewhere in the mesh: fetch those of a later vertex now.
        if (v + 5 <= n_) {
            for (std::uint32_t i = second_.start[v + 4]; i < second_.start[v + 5]; ++i) {
                __builtin_prefetch(&rows[seconds[i]]);
            }
        }
        w.fit(own_hi - own_lo, sec_hi - sec_lo);
        u128* const a = w.a;
        u128* const b = w.b;
        u128* const c = w.c;
        u128* const s = w.s;
        for (std::uint32_t i = 0; i < own_hi - own_lo; ++i) {
            const std::uint64_t r = own_lo + i;
            const std::array<std::uint32_t, K> row = rows[r];
            const bool swapped = row[0] > row[1];
            const std::uint32_t second = swapped ? row[0] : row[1];
            const std::uint64_t slot = r * K;
            if constexpr (D == 2) {
                a[i] = key(row[2], NO_INDEX, slot + (swapped ? 0 : 1));
                b[i] = key(second, NO_INDEX, slot + 2);
            } else {
                a[i] = key(row[2], row[3], slot + (swapped ? 0 : 1));
                b[i] = key(second, row[3], slot + 2);
                c[i] = key(second, row[2], slot + 3);
            }
        }
        for (std::uint32_t i = 0; i < sec_hi - sec_lo; ++i) {
            const std::uint64_t r = seconds[sec_lo + i];
            const std::array<std::uint32_t, K> row = rows[r];
            const std::uint64_t slot = r * K + (row[0] > row[1] ? 1 : 0);
            s[i] = key(row[2], D == 3 ? row[K - 1] : NO_INDEX, slot);
        }
        sort_small(a, w.na);
        sort_small(b, w.nb);
        sort_small(s, w.ns);
        merge_pairs(w);
        merge_from_both_ends(w.ab, w.na + w.nb, w.cs, w.nc + w.ns, w.out);
    }

    static bool same_face(u128 a, u128 b) { return a >> 32 == b >> 32; }
    static std::uint32_t slot(u128 a) { return static_cast<std::uint32_t>(a); }

private:
    static u128 key(std::uint32_t f1, std::uint32_t f2, std::uint64_t slot) {
        return (u128{f1} << 64) | (u128{f2} << 32) | slot;
    }
    // A merge takes the smaller head key without a branch (the order is unpredictable);
    // every key is distinct, its slot being unique. Each step waits for the one before,
    // so independent merges are interleaved to overlap their latencies.
    static void take_lower(const u128*& x, const u128*& y, u128& out) {
        const u128 p = *x, q = *y;
        const bool from_x = p < q;
        out = from_x ? p : q;
        x += from_x;
        y += !from_x;
    }
    static void take_upper(const u128*& x, const u128*& y, u128& out) {
        const u128 p = *x, q = *y;
        const bool from_x = p > q;
        out = from_x ? p : q;
        x -= from_x;
        y -= !from_x;
    }
    // a with b into ab, and c with s into cs.
    static void merge_pairs(Scratch& w) {
        const u128 *a = w.a, *b = w.b, *c = w.c, *s = w.s;
        const std::size_t n1 = w.na + w.nb, n2 = w.nc + w.ns, both = std::min(n1, n2);
        std::size_t k = 0;
        for (; k < both; ++k) {
            take_lower(a, b, w.ab[k]);
            take_lower(c, s, w.cs[k]);
        }
        for (std::size_t j = k; j < n1; ++j) take_lower(a, b, w.ab[j]);
        for (std::size_t j = k; j < n2; ++j) take_lower(c, s, w.cs[j]);
    }
    // The lower half from the front and the upper half from the back at once.
    static void merge_from_both_ends(const u128* x, std::size_t nx, const u128* y,
                                     std::size_t ny, u128* out) {
        const std::size_t n = nx + ny, front = n / 2;
        const u128 *fx = x, *fy = y, *bx = x + nx - 1, *by = y + ny - 1;
        for (std::size_t k = 0; k < front; ++k) {
            take_lower(fx, fy, out[k]);
            take_upper(bx, by, out[n - 1 - k]);
        }
        if (n % 2 == 1) take_upper(bx, by, out[front]);
    }

    const SimplexRows<D>& rows_;
    const Buffer<std::uint32_t>& row_start_;
    const SecondIndex& second_;
    std::uint64_t n_;
};

// What one window found.
struct ChunkOut {
    std::vector<std::uint32_t> boundary;              // slots of faces met once
    std::vector<std::array<std::uint32_t, 2>> cross;  // pairs across two sources
    bool ok = true;                                   // no face met three times
};

template <std::size_t D>
ChunkOut pair_window(const FaceKeys<D>& faces, std::uint64_t lo, std::uint64_t hi,
                     const Buffer<std::uint32_t>& sources, NeighborRows<D>& nbr) {
    constexpr std::size_t K = D + 1;
    ChunkOut out;
    typename FaceKeys<D>::Scratch scratch;
    // Locals, since the neighbour entries (int32) may alias the sources (uint32).
    const std::uint32_t* const src = sources.data();
    std::array<std::int32_t, K>* const nb = nbr.data();
    for (std::uint64_t v = faces.vertex_at(lo); v < faces.vertices() && faces.begin(v) < hi;
         ++v) {
        const std::uint64_t b = faces.begin(v), e = faces.begin(v + 1);
        if (b == e) continue;
        faces.form(v, scratch);
        const u128* const keys = scratch.out;
        // lo and hi are run starts, so the runs between them lie wholly inside.
        std::size_t j = static_cast<std::size_t>(std::max(lo, b) - b);
        const std::size_t end = static_cast<std::size_t>(std::min(hi, e) - b);
        while (j < end) {
            std::size_t run = 1;
            while (j + run < end && run < 3 && FaceKeys<D>::same_face(keys[j + run], keys[j])) {
                ++run;
            }
            const std::uint32_t x = FaceKeys<D>::slot(keys[j]);
            if (run == 1) {
                out.boundary.push_back(x);
                nb[x / K][x % K] = -1;
            } else if (run == 2) {
                const std::uint32_t y = FaceKeys<D>::slot(keys[j + 1]);
                nb[x / K][x % K] = static_cast<std::int32_t>(y / K);
                nb[y / K][y % K] = static_cast<std::int32_t>(x / K);
                if (src[x / K] != src[y / K]) out.cross.push_back({x, y});
            } else {
                out.ok = false;
                return out;
            }
            j += run;
        }
    }
    return out;
}

// ---- boundary ------------------------------------------------------------------------------

// Ridge key -> (first boundary face, count, second boundary face), open addressing, sized
// up front for every ridge distinct at half load. The second word of a ridge key is all
// ones for every ridge, so the first word alone tells ridges apart; it is never all ones
// (ids stay below NO_INDEX), which marks a free entry.
class RidgeMap {
public:
    struct Entry {
        std::uint64_t key;
        std::uint32_t face;
        std::uint32_t count;
        std::uint32_t other;
    };
    static constexpr std::uint64_t kFree = ~std::uint64_t{0};

    explicit RidgeMap(std::size_t ridges) {
        std::size_t cap = 16;
        while (cap < 2 * ridges) cap *= 2;
        table_.assign(cap, Entry{kFree, 0, 0, 0});
        bits_ = static_cast<unsigned>(std::countr_zero(cap));
    }

    // The entry of key, created with count 0 when absent.
    Entry& at(std::uint64_t key) {
        const std::size_t mask = table_.size() - 1;
        std::size_t i = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
        while (table_[i].key != kFree && table_[i].key != key) i = (i + 1) & mask;
        table_[i].key = key;
        return table_[i];
    }
    const std::vector<Entry>& entries() const { return table_; }

private:
    std::vector<Entry> table_;
    unsigned bits_;
};

struct Dsu {
    std::vector<std::uint32_t> parent;
    explicit Dsu(std::size_t count) : parent(count) {
        for (std::size_t j = 0; j < count; ++j) parent[j] = static_cast<std::uint32_t>(j);
    }
    std::uint32_t find(std::uint32_t x) {
        while (parent[x] != x) {
            const std::uint32_t p = parent[x];
            parent[x] = parent[p];
            x = p;
        }
        return x;
    }
    void unite(std::uint32_t a, std::uint32_t b) {
        const std::uint32_t ra = find(a), rb = find(b);
        if (ra != rb) parent[ra] = rb;
    }
};

}  // namespace

template <std::size_t D>
std::optional<FallbackReason> check_merge_boundary(const SimplexRows<D>& rows,
                                                   const std::vector<std::uint32_t>& boundary,
                                                   const Grid<D>& grid, const KernelOps<D>& ops) {
    constexpr std::size_t K = D + 1;
    const std::size_t nb = boundary.size();
    Dsu dsu(nb);
    RidgeMap ridges(D * nb);
    for (std::size_t j = 0; j < nb; ++j) {
        const std::uint32_t x = boundary[j];
        const std::array<std::uint32_t, K>& row = rows[x / K];
        std::array<std::uint32_t, D> f;
        for (std::size_t k = 0, o = 0; k < K; ++k) {
            if (k != x % K) f[o++] = row[k];
        }
        std::array<std::uint64_t, D> keys;
        if constexpr (D == 2) {
            const std::uint32_t a = std::min(f[0], f[1]), b = std::max(f[0], f[1]);
            keys = {std::uint64_t{b} << 32 | NO_INDEX, std::uint64_t{a} << 32 | NO_INDEX};
        } else {
            std::sort(f.begin(), f.end());
            keys = {std::uint64_t{f[1]} << 32 | f[2], std::uint64_t{f[0]} << 32 | f[2],
                    std::uint64_t{f[0]} << 32 | f[1]};
        }
        for (const std::uint64_t key : keys) {
            RidgeMap::Entry& e = ridges.at(key);
            if (e.count == 0) {
                e.face = static_cast<std::uint32_t>(j);
                e.count = 1;
            } else if (e.count == 1) {
                e.count = 2;
                e.other = static_cast<std::uint32_t>(j);
                dsu.unite(e.face, e.other);
            } else {
                return invalid("boundary ridge shared by more than two boundary faces");
            }
        }
    }
    const std::vector<RidgeMap::Entry>& entries = ridges.entries();
    for (const RidgeMap::Entry& e : entries) {
        if (e.key != RidgeMap::kFree && e.count != 2) {
            return invalid("boundary ridge not shared by two boundary faces");
        }
    }
    // A finite point set always has a hull; a mesh without boundary folds onto itself.
    if (nb == 0) return invalid("mesh has no boundary");
    const std::uint32_t root = dsu.find(0);
    for (std::size_t j = 1; j < nb; ++j) {
        if (dsu.find(static_cast<std::uint32_t>(j)) != root) {
            return invalid("boundary is not a single connected surface");
        }
    }

    // One closed connected boundary can still be dented: a simplex missing at the hull
    // leaves its inner faces as boundary, and every check above passes. The boundary of a
    // triangulation of the points is their convex hull, so at every ridge each face's far
    // vertex must lie on the inner side of the other face or on its plane: put in place of
    // the vertex a boundary face is opposite to, it must not turn the simplex negative.
    const auto orient = ops.orient_exact;
    const auto bends_out = [&](std::uint32_t x, std::uint32_t y, std::uint64_t ridge) {
        const std::array<std::uint32_t, K>& ry = rows[y / K];
        std::uint32_t apex = NO_INDEX;
        for (std::size_t k = 0; k < K; ++k) {
            const std::uint32_t v = ry[k];
            const bool in_ridge = D == 2 ? v == ridge >> 32
                                         : v == ridge >> 32 || v == (ridge & 0xFFFFFFFFu);
            if (k != y % K && !in_ridge) apex = v;
        }
        Simplex<D> s;
        for (std::size_t k = 0; k < K; ++k) s[k] = grid.points[rows[x / K][k]];
        s[x % K] = grid.points[apex];
        return !(orient(s) >= 0.0);  // a NaN proves no convexity
    };
    const auto dent = try_for_each<bool>(entries.size(), [&](std::size_t i) -> std::optional<bool> {
        const RidgeMap::Entry& e = entries[i];
        if (e.key == RidgeMap::kFree) return std::nullopt;
        const std::uint32_t x = boundary[e.face], y = boundary[e.other];
        if (bends_out(x, y, e.key) || bends_out(y, x, e.key)) return true;
        return std::nullopt;
    });
    if (dent) return invalid("boundary is not convex");
    return std::nullopt;
}

std::size_t merge_window_count() {
    const std::size_t t = pool_threads();
    return t == 0 ? 1 : std::min<std::size_t>(4 * t, 256);
}

template <std::size_t D>
struct BlockKeys<D>::Impl {
    Slabs slabs;
    Result<SortedKeys<D + 1>, FallbackReason> keys;
};

template <std::size_t D>
BlockKeys<D>::BlockKeys() = default;
template <std::size_t D>
BlockKeys<D>::~BlockKeys() = default;
template <std::size_t D>
BlockKeys<D>::BlockKeys(BlockKeys&&) noexcept = default;
template <std::size_t D>
BlockKeys<D>& BlockKeys<D>::operator=(BlockKeys&&) noexcept = default;

template <std::size_t D>
BlockKeys<D> sort_block_keys(const std::vector<BlockOut<D>>& blocks, const Grid<D>& grid,
                             const KernelOps<D>& ops, MergeProfile* profile) {
    constexpr std::size_t K = D + 1;
    std::vector<Source<K>> sources;
    std::size_t total = 0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const SimplexRows<D>& rows = blocks[b].simplices;
        sources.push_back({rows.data(), rows.size(), static_cast<std::uint32_t>(b)});
        total += rows.size();
    }
    const Slabs slabs(grid.points.size(), total);
    Lap lap(profile);
    BlockKeys<D> out;
    out.impl = std::make_unique<typename BlockKeys<D>::Impl>(typename BlockKeys<D>::Impl{
        slabs, sort_keys<D>(sources, slabs, grid, ops, lap, nullptr)});
    return out;
}

template <std::size_t D>
Result<ParMesh<D>, FallbackReason> merge(BlockKeys<D>&& block_keys, SimplexRows<D>&& crust,
                                         const Grid<D>& grid, const KernelOps<D>& ops,
                                         const MergeOptions& options) {
    constexpr std::size_t K = D + 1;
    Lap lap(options.profile);
    const std::uint64_t n = grid.points.size();

    // The crust comes last in key order (its source, NO_INDEX, is above every block's), so
    // its keys are sorted apart and a key that a block keeps already is dropped.
    std::unique_ptr<typename BlockKeys<D>::Impl> blocks = std::move(block_keys.impl);
    if (!blocks->keys.ok()) return blocks->keys.error();
    const Slabs& slabs = blocks->slabs;
    std::optional<Result<SortedKeys<K>, FallbackReason>> crust_keys;
    crust_keys.emplace(sort_keys<D>({Source<K>{crust.data(), crust.size(), NO_INDEX}}, slabs,
                                    grid, ops, lap, &blocks->keys.value()));
    SimplexRows<D>().swap(crust);
    if (!crust_keys->ok()) return crust_keys->error();
    std::size_t kept = 0;
    for (std::size_t q = 0; q < slabs.count; ++q) {
        kept += blocks->keys.value().kept[q] + crust_keys->value().kept[q];
    }
    if (kept == 0) return invalid("no simplices emitted");

    // Each entry is written once by the steps below, so the pages of the result arrays
    // become resident only then.
    SimplexRows<D> rows;
    NeighborRows<D> nbr;
    Buffer<std::uint32_t> sources, row_start;
    const bool covered = place_rows<D>(slabs, blocks->keys.value(), crust_keys->value(), rows,
                                       sources, row_start);
    blocks.reset();
    crust_keys.reset();
    const std::size_t m = sources.size();
    if (!covered) return invalid("point missing from mesh");
    lap(&MergeProfile::rows);

    if (std::uint64_t{m} * K >= options.face_slot_limit) {
        return invalid("mesh too large for 32-bit face slots");
    }
    // This also keeps the pipeline's rows numbered in int32: a mesh that passes has fewer
    // than 2^32 / 3 rows. A larger one goes to the sequential kernel, which refuses it
    // there (the 3D compaction counts its rows; the 2D kernel cannot make that many).
    static_assert((MergeOptions{}.face_slot_limit - 1) / 3 < MAX_SIMPLICES);
    nbr.resize(m);
    const SecondIndex second = index_by_second<D>(rows, n);
    const FaceKeys<D> faces(rows, row_start, second);
    lap(&MergeProfile::index);

    const std::uint64_t total = std::uint64_t{m} * K;
    const std::size_t w = options.windows ? options.windows : merge_window_count();
    typename FaceKeys<D>::Scratch scratch;
    const std::vector<std::size_t> cuts = window_cuts(total, w, [&](std::uint64_t b) {
        const std::uint64_t v = faces.vertex_at(b);
        faces.form(v, scratch);
        const std::size_t len = static_cast<std::size_t>(faces.begin(v + 1) - faces.begin(v));
        std::size_t j = static_cast<std::size_t>(b - faces.begin(v));
        while (j > 0 && j < len && FaceKeys<D>::same_face(scratch.out[j], scratch.out[j - 1])) {
            ++j;
        }
        return faces.begin(v) + j;
    });
    lap(&MergeProfile::windows);

    std::vector<ChunkOut> found(cuts.size() - 1);
    for_each_index(found.size(), [&](std::size_t c) {
        found[c] = pair_window<D>(faces, cuts[c], cuts[c + 1], sources, nbr);
    });
    std::vector<std::uint32_t> boundary;
    std::vector<std::array<std::uint32_t, 2>> cross;
    for (const ChunkOut& c : found) {
        if (!c.ok) return invalid("face shared by more than two simplices");
        boundary.insert(boundary.end(), c.boundary.begin(), c.boundary.end());
        cross.insert(cross.end(), c.cross.begin(), c.cross.end());
    }
    lap(&MergeProfile::pairing);

    const auto inball = ops.inball_exact;
    const auto simplex = [&](std::uint32_t s) {
        Simplex<D> out;
        for (std::size_t j = 0; j < K; ++j) out[j] = grid.points[rows[s][j]];
        return out;
    };
    constexpr std::size_t kPairsPerTask = 256;
    const std::optional<bool> seam = try_for_each<bool>(
        (cross.size() + kPairsPerTask - 1) / kPairsPerTask,
        [&](std::size_t t) -> std::optional<bool> {
            for (std::size_t i = t * kPairsPerTask,
                             e = std::min(cross.size(), i + kPairsPerTask);
                 i < e; ++i) {
                const auto [x, y] = cross[i];
                const std::uint32_t sx = x / K, sy = y / K;
                // Each far vertex strictly outside the other's ball; a NaN fails, since
                // it shows nothing about the seam.
                if (!(inball(simplex(sx), grid.points[rows[sy][y % K]]) < 0.0)) return true;
                if (!(inball(simplex(sy), grid.points[rows[sx][x % K]]) < 0.0)) return true;
            }
            return std::nullopt;
        });
    if (seam) return invalid("cross-source adjacency is not strictly Delaunay");
    lap(&MergeProfile::seams);

    if (auto fail = check_merge_boundary<D>(rows, boundary, grid, ops)) return *fail;
    lap(&MergeProfile::boundary);

    constexpr std::size_t chunk = std::size_t{1} << 14;
    for_each_index((m + chunk - 1) / chunk, [&](std::size_t c) {
        for (std::size_t s = c * chunk, e = std::min(m, s + chunk); s < e; ++s) {
            for (std::uint32_t& v : rows[s]) v = grid.perm[v];
        }
    });
    lap(&MergeProfile::mapping);
    return ParMesh<D>{std::move(rows), std::move(nbr)};
}

template <std::size_t D>
Result<ParMesh<D>, FallbackReason> merge(std::vector<BlockOut<D>>&& blocks,
                                         SimplexRows<D>&& crust, const Grid<D>& grid,
                                         const KernelOps<D>& ops, const MergeOptions& options) {
    BlockKeys<D> keys = sort_block_keys<D>(blocks, grid, ops, options.profile);
    std::vector<BlockOut<D>>().swap(blocks);
    return merge<D>(std::move(keys), std::move(crust), grid, ops, options);
}

template <std::size_t D>
Result<ParMesh<D>, FallbackReason> merge(std::vector<BlockOut<D>>&& blocks,
                                         SimplexRows<D>&& crust, const Grid<D>& grid,
                                         const KernelOps<D>& ops) {
    return merge<D>(std::move(blocks), std::move(crust), grid, ops, MergeOptions{});
}

template class BlockKeys<2>;
template class BlockKeys<3>;
template BlockKeys<2> sort_block_keys<2>(const std::vector<BlockOut<2>>&, const Grid<2>&,
                                         const KernelOps<2>&, MergeProfile*);
template BlockKeys<3> sort_block_keys<3>(const std::vector<BlockOut<3>>&, const Grid<3>&,
                                         const KernelOps<3>&, MergeProfile*);
template Result<ParMesh<2>, FallbackReason> merge<2>(BlockKeys<2>&&, SimplexRows<2>&&,
                                                     const Grid<2>&, const KernelOps<2>&,
                                                     const MergeOptions&);
template Result<ParMesh<3>, FallbackReason> merge<3>(BlockKeys<3>&&, SimplexRows<3>&&,
                                                     const Grid<3>&, const KernelOps<3>&,
                                                     const MergeOptions&);

template std::optional<FallbackReason> check_merge_boundary<2>(const SimplexRows<2>&,
                                                              const std::vector<std::uint32_t>&,
                                                              const Grid<2>&, const KernelOps<2>&);
template std::optional<FallbackReason> check_merge_boundary<3>(const SimplexRows<3>&,
                                                              const std::vector<std::uint32_t>&,
                                                              const Grid<3>&, const KernelOps<3>&);
template Result<ParMesh<2>, FallbackReason> merge<2>(std::vector<BlockOut<2>>&&, SimplexRows<2>&&,
                                                     const Grid<2>&, const KernelOps<2>&);
template Result<ParMesh<3>, FallbackReason> merge<3>(std::vector<BlockOut<3>>&&, SimplexRows<3>&&,
                                                     const Grid<3>&, const KernelOps<3>&);
template Result<ParMesh<2>, FallbackReason> merge<2>(std::vector<BlockOut<2>>&&, SimplexRows<2>&&,
                                                     const Grid<2>&, const KernelOps<2>&,
                                                     const MergeOptions&);
template Result<ParMesh<3>, FallbackReason> merge<3>(std::vector<BlockOut<3>>&&, SimplexRows<3>&&,
                                                     const Grid<3>&, const KernelOps<3>&,
                                                     const MergeOptions&);

}  // namespace kavro::par

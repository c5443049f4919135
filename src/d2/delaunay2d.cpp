#include "d2/delaunay2d.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "core/float_order.h"
#include "core/predicates.h"
#include "core/scaling.h"
#include "d2/triangulator.h"

namespace kavro {
namespace d2 {
namespace {

inline std::uint32_t next_he(std::uint32_t h) { return h % 3 == 2 ? h - 2 : h + 1; }
inline std::uint32_t prev_he(std::uint32_t h) { return h % 3 == 0 ? h + 2 : h - 1; }

// Float filter in front of the adaptive orientation stage. The bound constant is the one
// the sweep's decisions are defined by: the double nearest 3.3306690621773724e-16, about
// 3.5e-9 (relative) below Shewchuk's ccwerrboundA = (3 + 16 eps) eps. Only the sign is used.
// Outside the exact range its products may underflow, which no relative bound covers.
inline double orient_filtered(const double* a, const double* b, const double* c, bool wide) {
    if (wide) return pred::orient2d_wide(a, b, c);
    const double detleft = (a[0] - c[0]) * (b[1] - c[1]);
    const double detright = (a[1] - c[1]) * (b[0] - c[0]);
    const double det = detleft - detright;
    const double detsum = std::fabs(detleft + detright);
    const double bound = 3.3306690621773724e-16 * detsum;
    if (det >= bound || -det >= bound) return det;
    return pred::orient2dadapt(a, b, c, detsum);
}

// Truncation to u64 that saturates instead of being undefined: NaN (a point at the sweep
// centre gives 0 / 0) and negatives give 0, values from 2^64 up give the maximum.
inline std::uint64_t saturating_u64(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

}  // namespace

Triangulator::Triangulator(std::vector<double> points, double cx, double cy,
                           std::uint32_t start)
    : coords(std::move(points)), hull_start(start) {
    const std::size_t n = coords.size() / 2;
    // A triangulation of n points with h >= 3 hull vertices has 2n - h - 2 <= 2n - 5
    // triangles, so the sweep never reallocates the store.
    const std::size_t cap = n >= 3 ? 3 * (2 * n - 5) : 0;
    triangles.reserve(cap);
    halfedges.reserve(cap);
    hull_prev.assign(n, 0);
    hull_next.assign(n, 0);
    hull_tri.assign(n, 0);
    hash_size = static_cast<std::uint32_t>(std::ceil(std::sqrt(static_cast<double>(n))));
    hull_hash.assign(hash_size, NO_INDEX);
    center[0] = cx;
    center[1] = cy;
}

std::uint32_t Triangulator::hash_key(double x, double y) const {
    const double dx = x - center[0];
    const double dy = y - center[1];
    const double p = dx / (std::fabs(dx) + std::fabs(dy));
    const double a = dy > 0.0 ? (3.0 - p) * 0.25 : (1.0 + p) * 0.25;
    const double v = static_cast<double>(hash_size) * a;
    return static_cast<std::uint32_t>(saturating_u64(v) % hash_size);
}

std::uint32_t Triangulator::add_triangle(std::uint32_t i0, std::uint32_t i1, std::uint32_t i2,
                                         std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    const auto t = static_cast<std::uint32_t>(triangles.size());
    triangles.push_back(i0);
    triangles.push_back(i1);
    triangles.push_back(i2);
    halfedges.push_back(NO_INDEX);
    halfedges.push_back(NO_INDEX);
    halfedges.push_back(NO_INDEX);
    link(t, a);
    link(t + 1, b);
    link(t + 2, c);
    return t;
}

std::uint32_t Triangulator::legalize(std::uint32_t a) {
    std::uint32_t* tri = triangles.data();
    std::uint32_t* he = halfedges.data();
    const double* xy = coords.data();
    const bool wide_cloud = wide;
    edge_stack.clear();
    std::uint32_t ar;
    for (;;) {
        const std::uint32_t b = he[a];
        const std::uint32_t a0 = a - a % 3;
        ar = a0 + (a + 2) % 3;
        if (b == NO_INDEX) {
            if (edge_stack.empty()) break;
            a = edge_stack.back();
            edge_stack.pop_back();
            continue;
        }
        const std::uint32_t b0 = b - b % 3;
        const std::uint32_t al = a0 + (a + 1) % 3;
        const std::uint32_t bl = b0 + (b + 2) % 3;
        const std::uint32_t p0 = tri[ar];
        const std::uint32_t pr = tri[a];
        const std::uint32_t pl = tri[al];
        const std::uint32_t p1 = tri[bl];
        // 0 (cocircular) and NaN both count as legal: flipping on a tie could cycle.
        const bool illegal = pred::incircle(xy + 2 * std::size_t{p0}, xy + 2 * std::size_t{pr},
                                            xy + 2 * std::size_t{pl}, xy + 2 * std::size_t{p1},
                                            wide_cloud) > 0.0;
        if (!illegal) {
            if (edge_stack.empty()) break;
            a = edge_stack.back();
            edge_stack.pop_back();
            continue;
        }
        tri[a] = p1;
        tri[b] = p0;
        const std::uint32_t hbl = he[bl];
        if (hbl == NO_INDEX) {
            // The hull edge that sat in bl now sits in a. It leaves p1, and no other hull
            // vertex names bl: one whose edge is still on the hull names that edge, and one
            // whose edge the running insertion has covered names the slot the edge had,
            // which can hold a hull edge again only at the new point, never one opposite
            // it as bl is. Going to p1 directly, not searching the hull for it, keeps
            // inputs with most points on the hull linear.
            assert(hull_tri[p1] == bl);
            hull_tri[p1] = a;
        }
        const std::uint32_t har = he[ar];
        link(a, hbl);
        link(b, har);
        link(ar, bl);
        edge_stack.push_back(b0 + (b + 1) % 3);
    }
    return ar;
}

namespace {

struct Circum {
    double ux, uy;
};

// Circumcentre of (a, b, c) as an offset from a. The third-seed search inlines the same
// operations in the same order, so the sweep centre rounds like the radius it ranked.
Circum circum_offset(const double* a, const double* b, const double* c) {
    const double dx = b[0] - a[0];
    const double dy = b[1] - a[1];
    const double ex = c[0] - a[0];
    const double ey = c[1] - a[1];
    const double bl = dx * dx + dy * dy;
    const double cl = ex * ex + ey * ey;
    const double d = 0.5 / (dx * ey - ex * dy);
    return {(ey * bl - dy * cl) * d, (dx * cl - ex * bl) * d};
}

// Inserts a point that sees no hull edge when its turn comes. Sweeping by distance from
// the centre keeps most points outside the hull, but not all: a point can lie on a seed
// edge, fall behind its neighbours through key rounding, or, in nearly collinear sets whose
// sweep centre is far away, meet the hull from inside. It must still become a vertex, so
// it is located by a walk and the triangle or edge holding it is split. A point that lands
// exactly on a vertex (a signed-zero copy that another point separated from its group in
// the sweep order) is a duplicate of that vertex instead.
// Returns the vertex that later exact copies of p are reported against.
class InteriorInserter {
public:
    explicit InteriorInserter(Triangulator& tr) : tr_(tr) {}

    std::uint32_t insert(std::uint32_t i, std::uint32_t start_vertex) {
        const double* p = point(i);
        double o[3];
        const std::uint32_t t = locate(p, start_vertex, o);
        assert(t != NO_INDEX);
        if (t == NO_INDEX) return NO_INDEX;  // unreachable: p lies within the hull
        const std::uint32_t base = 3 * t;
        int zeros = 0;
        int nonzero = 0;
        int zero = 0;
        for (int k = 0; k < 3; ++k) {
            if (o[k] == 0.0) {
                ++zeros;
                zero = k;
            } else {
                nonzero = k;
            }
        }
        if (zeros >= 2) {
            // Coincides with the vertex shared by the two zero edges, i.e. the one the
            // non-zero edge does not touch.
            return tr_.triangles[base + (nonzero + 2) % 3];
        }
        if (zeros == 1) {
            const std::uint32_t h = base + static_cast<std::uint32_t>(zero);
            if (tr_.halfedges[h] == NO_INDEX) {
                split_hull_edge(i, h);
            } else {
                split_interior_edge(i, h);
            }
        } else {
            split_triangle(i, t);
        }
        return i;
    }

private:
    const double* point(std::uint32_t v) const { return tr_.coords.data() + 2 * std::size_t{v}; }

    double orient_edge(std::uint32_t h, const double* p) const {
        const std::uint32_t* tri = tr_.triangles.data();
        return pred::orient2d(point(tri[h]), point(tri[next_he(h)]), p, tr_.wide);
    }

    // Visibility walk from the hull triangle at start_vertex; falls back to a scan of all
    // triangles if the walk runs too long or heads out of the hull. Fills o with the three
    // exact edge orientations of the triangle found.
    std::uint32_t locate(const double* p, std::uint32_t start_vertex, double o[3]) const {
        const std::size_t ntri = tr_.triangles.size() / 3;
        std::uint32_t t = tr_.hull_tri[start_vertex] / 3;
        for (std::size_t step = 0; step < ntri; ++step) {
            // Rotating the first edge tested keeps the walk from circling on ties.
            const std::uint32_t r = static_cast<std::uint32_t>(step % 3);
            std::uint32_t cross = NO_INDEX;
            for (std::uint32_t k = 0; k < 3; ++k) {
                const std::uint32_t e = (r + k) % 3;
                o[e] = orient_edge(3 * t + e, p);
                if (o[e] < 0.0) {
                    cross = 3 * t + e;
                    break;
                }
            }
            if (cross == NO_INDEX) return t;
            const std::uint32_t twin = tr_.halfedges[cross];
            if (twin == NO_INDEX) break;
            t = twin / 3;
        }
        for (std::size_t s = 0; s < ntri; ++s) {
            const auto base = static_cast<std::uint32_t>(3 * s);
            bool inside = true;
            for (std::uint32_t e = 0; e < 3 && inside; ++e) {
                o[e] = orient_edge(base + e, p);
                inside = o[e] >= 0.0;
            }
            if (inside) return static_cast<std::uint32_t>(s);
        }
        return NO_INDEX;
    }

    // Each split keeps the old slot for one piece, so the outer edges that move to new
    // slots take their twins along, and a hull edge among them takes its hull_tri entry:
    // a later insertion at that edge links to whatever hull_tri names.

    // p on hull edge h (u -> w) of triangle (u, w, c): the slot becomes (u, p, c) and
    // (c, p, w) is appended; p joins the hull between u and w.
    void split_hull_edge(std::uint32_t p, std::uint32_t h) {
        Triangulator& tr = tr_;
        const std::uint32_t hn = next_he(h);
        const std::uint32_t hp = prev_he(h);
        const std::uint32_t u = tr.triangles[h];
        const std::uint32_t w = tr.triangles[hn];
        const std::uint32_t c = tr.triangles[hp];
        const std::uint32_t twin_wc = tr.halfedges[hn];
        tr.triangles[hn] = p;
        const std::uint32_t tn = tr.add_triangle(c, p, w, hn, NO_INDEX, twin_wc);
        if (twin_wc == NO_INDEX) tr.hull_tri[w] = tn + 2;

        tr.hull_next[u] = p;
        tr.hull_prev[p] = u;
        tr.hull_next[p] = w;
        tr.hull_prev[w] = p;
        tr.hull_tri[u] = h;
        tr.hull_tri[p] = tn + 1;
        tr.hull_start = u;
        tr.hull_hash[tr.hash_of(p)] = p;

        tr.legalize(hp);
        // The hull edge p -> w sits after p in (c, p, w), where flips may move it; legalize
        // reports where it ended up, as for a sweep triangle.
        tr.hull_tri[p] = tr.legalize(tn + 2);
    }

    // p on interior edge h (u -> w) shared by (u, w, c) and (w, u, d): four triangles.
    void split_interior_edge(std::uint32_t p, std::uint32_t h) {
        Triangulator& tr = tr_;
        const std::uint32_t g = tr.halfedges[h];
        const std::uint32_t hn = next_he(h);
        const std::uint32_t hp = prev_he(h);
        const std::uint32_t gn = next_he(g);
        const std::uint32_t gp = prev_he(g);
        const std::uint32_t u = tr.triangles[h];
        const std::uint32_t w = tr.triangles[hn];
        const std::uint32_t c = tr.triangles[hp];
        const std::uint32_t d = tr.triangles[gp];
        const std::uint32_t twin_wc = tr.halfedges[hn];
        const std::uint32_t twin_ud = tr.halfedges[gn];
        tr.triangles[hn] = p;  // (u, p, c)
        tr.triangles[gn] = p;  // (w, p, d)
        const std::uint32_t t3 = tr.add_triangle(c, p, w, hn, g, twin_wc);
        const std::uint32_t t4 = tr.add_triangle(d, p, u, gn, h, twin_ud);
        if (twin_wc == NO_INDEX) tr.hull_tri[w] = t3 + 2;
        if (twin_ud == NO_INDEX) tr.hull_tri[u] = t4 + 2;

        tr.legalize(hp);
        tr.legalize(gp);
        tr.legalize(t3 + 2);
        tr.legalize(t4 + 2);
    }

    // p strictly inside triangle t = (v0, v1, v2): the slot becomes (v0, v1, p) and
    // (v2, p, v1), (v0, p, v2) are appended.
    void split_triangle(std::uint32_t p, std::uint32_t t) {
        Triangulator& tr = tr_;
        const std::uint32_t base = 3 * t;
        const std::uint32_t v0 = tr.triangles[base];
        const std::uint32_t v1 = tr.triangles[base + 1];
        const std::uint32_t v2 = tr.triangles[base + 2];
        const std::uint32_t twin1 = tr.halfedges[base + 1];
        const std::uint32_t twin2 = tr.halfedges[base + 2];
        tr.triangles[base + 2] = p;
        const std::uint32_t t1 = tr.add_triangle(v2, p, v1, NO_INDEX, base + 1, twin1);
        const std::uint32_t t2 = tr.add_triangle(v0, p, v2, base + 2, t1, twin2);
        if (twin1 == NO_INDEX) tr.hull_tri[v1] = t1 + 2;
        if (twin2 == NO_INDEX) tr.hull_tri[v2] = t2 + 2;

        tr.legalize(base);
        tr.legalize(t1 + 2);
        tr.legalize(t2 + 2);
    }

    Triangulator& tr_;
};

// Ascending (key, x, y, x and y in IEEE total order, index), the first x and y with -0.0
// read as +0.0: equal points get equal keys and equal canonical coordinates, so they come
// out adjacent even when their zeros differ in sign, which is what lets the sweep spot
// duplicates by comparing with the previous point only.
struct SweepLess {
    const std::uint64_t* key;
    const double* xy;
    bool operator()(std::uint32_t l, std::uint32_t r) const {
        if (key[l] != key[r]) return key[l] < key[r];
        const double* a = xy + 2 * std::size_t{l};
        const double* b = xy + 2 * std::size_t{r};
        for (int c = 0; c < 2; ++c) {
            const std::int64_t ka = total_key(a[c] + 0.0);
            const std::int64_t kb = total_key(b[c] + 0.0);
            if (ka != kb) return ka < kb;
        }
        for (int c = 0; c < 2; ++c) {
            const std::int64_t ka = total_key(a[c]);
            const std::int64_t kb = total_key(b[c]);
            if (ka != kb) return ka < kb;
        }
        return l < r;
    }
};

}  // namespace

std::vector<std::uint32_t> sweep_order(const std::vector<std::uint64_t>& key, const double* xy) {
    const SweepLess less{key.data(), xy};
    const std::size_t n = key.size();
    std::vector<std::uint32_t> order(n);
    if (n < 4096) {
        for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
        std::sort(order.begin(), order.end(), less);
        return order;
    }
    // One distribution pass on the leading bits of the key into about n / 8 buckets, then
    // each bucket is sorted while it sits in cache: a fraction of the memory traffic of one
    // big sort or of a full radix sort. Keys are non-negative doubles, so their bit patterns
    // order like their values and nearby keys share leading bits.
    const std::uint64_t lo = *std::min_element(key.begin(), key.end());
    const std::uint64_t hi = *std::max_element(key.begin(), key.end());
    const std::uint64_t target = n / 8;
    unsigned shift = 0;
    while (((hi - lo) >> shift) >= target) ++shift;
    const std::size_t buckets = static_cast<std::size_t>((hi - lo) >> shift) + 1;
    std::vector<std::uint32_t> bound(buckets + 1, 0);
    for (const std::uint64_t k : key) ++bound[((k - lo) >> shift) + 1];
    for (std::size_t b = 1; b <= buckets; ++b) bound[b] += bound[b - 1];
    for (std::size_t i = 0; i < n; ++i) {
        order[bound[(key[i] - lo) >> shift]++] = static_cast<std::uint32_t>(i);
    }
    // bound[b] now ends bucket b.
    std::uint32_t* out = order.data();
    std::size_t begin = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t end = bound[b];
        if (end - begin > 1) std::sort(out + begin, out + end, less);
        begin = end;
    }
    return order;
}

namespace {

// Vertex ids inside tr are sweep positions; perm maps them back to input rows.
void sweep(Triangulator& tr, const std::uint32_t* perm, std::uint32_t s0, std::uint32_t s1,
           std::uint32_t s2, Buffer<std::array<std::uint32_t, 2>>& duplicates) {
    const double* xy = tr.coords.data();
    const bool wide = tr.wide;
    std::uint32_t* hull_prev = tr.hull_prev.data();
    std::uint32_t* hull_next = tr.hull_next.data();
    std::uint32_t* hull_tri = tr.hull_tri.data();
    std::uint32_t* hull_hash = tr.hull_hash.data();
    const std::uint32_t hash_size = tr.hash_size;

    hull_next[s0] = s1;
    hull_next[s1] = s2;
    hull_next[s2] = s0;
    hull_prev[s2] = s1;
    hull_prev[s1] = s0;
    hull_prev[s0] = s2;
    hull_tri[s0] = 0;
    hull_tri[s1] = 1;
    hull_tri[s2] = 2;
    for (const std::uint32_t s : {s0, s1, s2}) hull_hash[tr.hash_of(s)] = s;
    tr.add_triangle(s0, s1, s2, NO_INDEX, NO_INDEX, NO_INDEX);
    tr.hull_start = s0;

    InteriorInserter interior(tr);
    bool have_prev = false;
    double xp = 0.0;
    double yp = 0.0;
    std::uint32_t last_kept = NO_INDEX;
    const auto n = static_cast<std::uint32_t>(tr.hull_next.size());
    for (std::uint32_t i = 0; i < n; ++i) {
        const double* p = xy + 2 * std::size_t{i};
        const double x = p[0];
        const double y = p[1];

        if (have_prev && x == xp && y == yp) {
            if (last_kept != NO_INDEX && i != s0 && i != s1 && i != s2) {
                duplicates.push_back({perm[i], perm[last_kept]});
            }
            continue;
        }
        have_prev = true;
        xp = x;
        yp = y;
        last_kept = i;
        if (i == s0 || i == s1 || i == s2) continue;

        // A live hull vertex near p's angle; buckets keep stale vertices, so skip those.
        const std::uint32_t key = tr.hash_of(i);
        std::uint32_t bucket = key;
        std::uint32_t s = NO_INDEX;
        for (std::uint32_t j = 0; j < hash_size; ++j) {
            const std::uint32_t v = hull_hash[bucket];
            if (v != NO_INDEX && hull_next[v] != v) {
                s = v;
                break;
            }
            if (++bucket == hash_size) bucket = 0;
        }
        assert(s != NO_INDEX);
        const std::uint32_t start = hull_prev[s];
        std::uint32_t e = start;
        bool visible = false;
        for (;;) {
            const std::uint32_t q = hull_next[e];
            if (orient_filtered(xy + 2 * std::size_t{e}, xy + 2 * std::size_t{q}, p, wide) < 0.0) {
                visible = true;
                break;
            }
            e = q;
            if (e == start) break;
        }

        if (!visible) {
            // A copy of a seed met before the seed itself, or kept apart from it by another
            // point of the same key, is reported against the seed, which keeps the group.
            std::uint32_t seed = NO_INDEX;
            for (const std::uint32_t sd : {s0, s1, s2}) {
                if (x == xy[2 * std::size_t{sd}] && y == xy[2 * std::size_t{sd} + 1]) {
                    seed = sd;
                    break;
                }
            }
            if (seed != NO_INDEX) {
                duplicates.push_back({perm[i], perm[seed]});
                last_kept = seed;
                continue;
            }
            const std::uint32_t kept = interior.insert(i, start);
            if (kept != i && kept != NO_INDEX) duplicates.push_back({perm[i], perm[kept]});
            last_kept = kept;
            continue;
        }

        std::uint32_t t = tr.add_triangle(e, i, hull_next[e], NO_INDEX, NO_INDEX, hull_tri[e]);
        hull_tri[i] = tr.legalize(t + 2);
        hull_tri[e] = t;

        std::uint32_t nv = hull_next[e];
        for (;;) {
            const std::uint32_t q = hull_next[nv];
            if (orient_filtered(xy + 2 * std::size_t{nv}, xy + 2 * std::size_t{q}, p, wide) >= 0.0) {
                break;
            }
            t = tr.add_triangle(nv, i, q, hull_tri[i], NO_INDEX, hull_tri[nv]);
            hull_tri[i] = tr.legalize(t + 2);
            hull_next[nv] = nv;
            nv = q;
        }
        // Walking backwards is only needed when the search found the visible edge at once:
        // otherwise the edge before it was tested and is not visible.
        if (e == start) {
            for (;;) {
                const std::uint32_t q = hull_prev[e];
                if (orient_filtered(xy + 2 * std::size_t{q}, xy + 2 * std::size_t{e}, p, wide) >=
                    0.0) {
                    break;
                }
                t = tr.add_triangle(q, i, e, NO_INDEX, hull_tri[e], hull_tri[q]);
                tr.legalize(t + 2);
                hull_tri[q] = t;
                hull_next[e] = e;
                e = q;
            }
        }

        tr.hull_start = e;
        hull_prev[i] = e;
        hull_next[e] = i;
        hull_prev[nv] = i;
        hull_next[i] = nv;
        hull_hash[key] = i;
        hull_hash[tr.hash_of(e)] = e;
    }
}

}  // namespace
}  // namespace d2

template <class T>
Result<DelaunayOutput<3>> delaunay2d(const PointView<T>& points) {
    assert(points.cols == 2 && "input points must be 2D");
    const std::size_t n = points.rows;
    if (n > MAX_POINTS) {
        return DelaunayError::too_many_points(n);
    }
    if (n < 3) return DelaunayError::not_enough_points(n);
    // Half-edges are 32-bit and a full build holds 3 (2n - 5) of them, so beyond about
    // 715 million points the store cannot be addressed: report it like exhausted memory
    // rather than wrap indices into a corrupt mesh.
    if (3 * (2 * static_cast<std::uint64_t>(n) - 5) >= NO_INDEX) throw std::bad_alloc();
    // The store never holds more triangles than that (2n - 5 at most, none ever removed),
    // so their rows are numbered in int32 without a count of their own.
    static_assert(NO_INDEX / 3 < MAX_SIMPLICES);

    // The caller's points, times a power of two: every exact test is made on these, so
    // that each decision is the one the caller's coordinates call for. The centred values
    // p - (mx, my) that choose seeds, keys and hash buckets are recomputed from them where
    // needed, bit for bit the same each time.
    const PowerOfTwoScale scale = PowerOfTwoScale::of(points);
    const bool wide = !scale.in_exact_range();
    std::vector<double> input(2 * n);
    double sx = 0.0;
    double sy = 0.0;
    for (std::size_t r = 0; r < n; ++r) {
        const double x = scale(points.at(r, 0));
        const double y = scale(points.at(r, 1));
        input[2 * r] = x;
        input[2 * r + 1] = y;
        sx += x;
        sy += y;
    }
    double mx = sx / static_cast<double>(n);
    double my = sy / static_cast<double>(n);
    bool finite = std::isfinite(mx) && std::isfinite(my);
    if (!finite) {
        // Either a NaN or infinite coordinate, and such input keeps the float verdicts
        // below (it is refused as collinear), or sums that overflowed: a cloud whose tiny
        // values keep the scaling from bringing its largest ones below 2. The centroid only
        // steers, so there it is taken in a frame 2^-64 lower, where no sum overflows.
        finite = std::all_of(input.begin(), input.end(), [](double v) { return std::isfinite(v); });
        if (finite) {
            sx = 0.0;
            sy = 0.0;
            for (std::size_t r = 0; r < n; ++r) {
                sx += input[2 * r] * 0x1p-64;
                sy += input[2 * r + 1] * 0x1p-64;
            }
            mx = sx / static_cast<double>(n) * 0x1p64;
            my = sy / static_cast<double>(n) * 0x1p64;
        }
    }
    const double* in = input.data();
    const auto at = [in](std::size_t v) { return in + 2 * v; };
    const auto cx_of = [in, mx](std::size_t v) { return in[2 * v] - mx; };
    const auto cy_of = [in, my](std::size_t v) { return in[2 * v + 1] - my; };

    std::size_t s0 = 0;
    {
        const double x = cx_of(0), y = cy_of(0);
        std::int64_t best = total_key(x * x + y * y);
        for (std::size_t r = 1; r < n; ++r) {
            const double xr = cx_of(r), yr = cy_of(r);
            const std::int64_t d = total_key(xr * xr + yr * yr);
            if (d < best) {
                best = d;
                s0 = r;
            }
        }
    }
    const double X0 = in[2 * s0];
    const double Y0 = in[2 * s0 + 1];
    const auto equals_s0 = [&](std::size_t k) { return in[2 * k] == X0 && in[2 * k + 1] == Y0; };

    std::size_t j = 0;
    while (j < n && (j == s0 || equals_s0(j))) ++j;
    if (j == n) return DelaunayError::not_enough_points(1);

    const double x0 = cx_of(s0);
    const double y0 = cy_of(s0);
    const auto dist0 = [&](std::size_t k) {
        const double dx = cx_of(k) - x0;
        const double dy = cy_of(k) - y0;
        return total_key(dx * dx + dy * dy);
    };
    std::size_t s1 = j;
    {
        std::int64_t best = dist0(j);
        for (std::size_t k = j + 1; k < n; ++k) {
            if (k == s0 || equals_s0(k)) continue;
            const std::int64_t d = dist0(k);
            if (d < best) {
                best = d;
                s1 = k;
            }
        }
    }

    // Third seed: smallest circumcircle through s0 and s1. The rounded den only screens;
    // the exact predicate has the last word on collinearity.
    std::size_t s2 = NO_INDEX;
    {
        const double dx = cx_of(s1) - x0;
        const double dy = cy_of(s1) - y0;
        const double bl = dx * dx + dy * dy;
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k < n; ++k) {
            if (k == s0 || k == s1) continue;
            const double ex = cx_of(k) - x0;
            const double ey = cy_of(k) - y0;
            const double den = dx * ey - ex * dy;
            if (den == 0.0) continue;
            const double cl = ex * ex + ey * ey;
            const double d = 0.5 / den;
            const double ux = (ey * bl - dy * cl) * d;
            const double uy = (dx * cl - ex * bl) * d;
            const double r = ux * ux + uy * uy;
            if (!(r < best)) continue;
            if (pred::orient2d(at(s0), at(s1), at(k), wide) == 0.0) continue;
            best = r;
            s2 = k;
        }
        // Centring can round a triangle flat (den == 0) or make s1 coincide with s0 in
        // the centred frame although the caller's points span the plane: the first
        // point off the line, by the exact test, seeds the sweep instead.
        for (std::size_t k = 0; finite && s2 == NO_INDEX && k < n; ++k) {
            if (k != s0 && k != s1 && pred::orient2d(at(s0), at(s1), at(k), wide) != 0.0) s2 = k;
        }
    }
    if (s2 == NO_INDEX) {
        return DelaunayError::degenerate(
            "all points are collinear; a 2D triangulation does not exist");
    }
    if (d2::orient_filtered(at(s0), at(s1), at(s2), wide) < 0.0) std::swap(s1, s2);

    double ccx, ccy;
    {
        const double a[2] = {x0, y0};
        const double b[2] = {cx_of(s1), cy_of(s1)};
        const double c[2] = {cx_of(s2), cy_of(s2)};
        const d2::Circum cc = d2::circum_offset(a, b, c);
        ccx = x0 + cc.ux;
        ccy = y0 + cc.uy;
    }

    std::vector<std::uint64_t> key(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double dy = cy_of(i) - ccy;
        const double dx = cx_of(i) - ccx;
        key[i] = bits_of(dy * dy + dx * dx);
    }
    const std::vector<std::uint32_t> perm = d2::sweep_order(key, in);
    std::vector<std::uint64_t>().swap(key);

    // The sweep runs on the points relabelled by sweep position: triangulation neighbours
    // are close in sweep order, so the flips' point reads stay in cache instead of
    // jumping across the input. Nothing decides by label, so the result is unchanged.
    std::vector<double> swept(2 * n);
    std::uint32_t r0 = 0;
    std::uint32_t r1 = 0;
    std::uint32_t r2 = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t i = perm[k];
        swept[2 * k] = in[2 * std::size_t{i}];
        swept[2 * k + 1] = in[2 * std::size_t{i} + 1];
        if (i == s0) r0 = static_cast<std::uint32_t>(k);
        if (i == s1) r1 = static_cast<std::uint32_t>(k);
        if (i == s2) r2 = static_cast<std::uint32_t>(k);
    }
    std::vector<double>().swap(input);

    DelaunayOutput<3> out;
    {
        d2::Triangulator tr(std::move(swept), ccx, ccy, r0);
        tr.wide = wide;
        tr.origin[0] = mx;
        tr.origin[1] = my;
        d2::sweep(tr, perm.data(), r0, r1, r2, out.duplicates);

        const std::size_t m = tr.triangles.size() / 3;
        const std::uint32_t* tri = tr.triangles.data();
        const std::uint32_t* he = tr.halfedges.data();
        const std::uint32_t* pm = perm.data();
        out.simplices.resize(m);
        out.neighbors.resize(m);
        const auto tri_of = [](std::uint32_t h) {
            return h == NO_INDEX ? std::int32_t{-1} : static_cast<std::int32_t>(h / 3);
        };
        for (std::size_t t = 0; t < m; ++t) {
            out.simplices[t] = {pm[tri[3 * t]], pm[tri[3 * t + 1]], pm[tri[3 * t + 2]]};
            out.neighbors[t] = {tri_of(he[3 * t + 1]), tri_of(he[3 * t + 2]), tri_of(he[3 * t])};
        }
    }
    return out;
}

template Result<DelaunayOutput<3>> delaunay2d<double>(const PointView<double>&);
template Result<DelaunayOutput<3>> delaunay2d<float>(const PointView<float>&);

}  // namespace kavro

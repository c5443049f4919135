#include "d4/delaunay4d.h"

#include <algorithm>
#include <bit>
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
#include "d4/hull4d.h"

namespace kavro {
namespace d4 {

#ifdef KAVRO_D4_COUNTERS
thread_local Counters counters;
#endif

namespace {

// Truncation toward zero that saturates: NaN and negatives give 0, and the 10-bit cap
// also absorbs the top of the range (q = 1023 exactly at the maximum).
inline std::uint32_t quantise(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 1023.0) return 1023;
    return static_cast<std::uint32_t>(v);
}

inline std::uint32_t spread10(std::uint32_t q) {
    std::uint32_t t = (q | q << 8 | q << 16) & 0x300F00Fu;
    t = (t | t << 4) & 0x30C30C3u;
    return (t | t << 2) & 0x9249249u;
}

// Stable least-significant-digit radix sort by key_of(item), an unsigned value of
// key_bytes bytes, one byte per pass; a byte on which every key agrees costs no pass.
// Being stable, it leaves equal keys in their order, as a comparison sort that breaks
// ties by position would.
template <class Item, class KeyOf>
void radix_sort(std::vector<Item>& items, int key_bytes, KeyOf key_of) {
    const std::size_t n = items.size();
    if (n < 2) return;
    std::vector<std::array<std::size_t, 256>> counts(static_cast<std::size_t>(key_bytes));
    for (auto& c : counts) c.fill(0);
    for (const Item& it : items) {
        const std::uint64_t k = key_of(it);
        for (int b = 0; b < key_bytes; ++b) ++counts[b][(k >> (8 * b)) & 255];
    }
    std::vector<Item> buf(n);
    for (int b = 0; b < key_bytes; ++b) {
        std::array<std::size_t, 256>& c = counts[b];
        if (std::find(c.begin(), c.end(), n) != c.end()) continue;
        std::size_t at = 0;
        for (std::size_t& x : c) at += std::exchange(x, at);
        for (const Item& it : items) buf[c[(key_of(it) >> (8 * b)) & 255]++] = it;
        items.swap(buf);
    }
}

struct Record {
    double d[4];  // x, y, z in the caller's frame (scaled), w from the centred values
    std::uint32_t index;
};

}  // namespace

std::uint32_t morton_key(std::uint32_t qx, std::uint32_t qy, std::uint32_t qz) {
    return spread10(qx) | spread10(qy) << 1 | spread10(qz) << 2;
}

template <class T>
Lifted lift_and_sort(const PointView<T>& points) {
    const std::size_t n = points.rows;
    const PowerOfTwoScale scale = PowerOfTwoScale::of(points);
    double c[3] = {0.0, 0.0, 0.0};
    for (std::size_t r = 0; r < n; ++r) {
        for (int k = 0; k < 3; ++k) c[k] += scale(points.at(r, k));
    }
    for (double& v : c) v /= static_cast<double>(n);
    if (!(std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]))) {
        // Sums of finite coordinates overflow when tiny values keep the scaling from
        // bringing the largest ones below 2. The centroid only steers and centres the
        // heights, so there it is taken in a frame 2^-64 lower; a NaN or infinite
        // coordinate still leaves it non-finite (Lifted::finite).
        c[0] = c[1] = c[2] = 0.0;
        for (std::size_t r = 0; r < n; ++r) {
            for (int k = 0; k < 3; ++k) c[k] += scale(points.at(r, k)) * 0x1p-64;
        }
        for (double& v : c) v = v / static_cast<double>(n) * 0x1p64;
    }

    constexpr double INF = std::numeric_limits<double>::infinity();
    double lo[3] = {INF, INF, INF};
    double hi[3] = {-INF, -INF, -INF};
    std::vector<Record> recs(n);
    {
        std::vector<Point4> lifted(n);
        std::vector<std::pair<std::uint64_t, std::uint32_t>> keys(n);
        for (std::size_t r = 0; r < n; ++r) {
            Point4& p = lifted[r];
            double d[3];
            for (int k = 0; k < 3; ++k) {
                p[k] = scale(points.at(r, k));
                d[k] = p[k] - c[k];
                if (d[k] < lo[k]) lo[k] = d[k];
                if (d[k] > hi[k]) hi[k] = d[k];
            }
            p[3] = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
            keys[r] = {bits_of(p[3]), static_cast<std::uint32_t>(r)};
        }
        // w is never negative, so its bit pattern orders like its value (NaN last); rows
        // of equal height stay in row order.
        radix_sort(keys, 8, [](const std::pair<std::uint64_t, std::uint32_t>& e) { return e.first; });
        for (std::size_t k = 0; k < n; ++k) {
            const Point4& p = lifted[keys[k].second];
            recs[k] = {{p[0], p[1], p[2], p[3]}, keys[k].second};
        }
    }

    // Equal heights hold every exact duplicate group; ordering them by coordinates, with
    // -0.0 read as +0.0 first, puts the members of a group next to each other whatever the
    // signs of their zeros, and the one first in total order at its head (NaN w is never
    // equal: runs of one).
    const auto coord_less = [](const Record& a, const Record& b) {
        for (int k = 0; k < 3; ++k) {
            const std::int64_t x = total_key(a.d[k] + 0.0);
            const std::int64_t y = total_key(b.d[k] + 0.0);
            if (x != y) return x < y;
        }
        for (int k = 0; k < 3; ++k) {
            const std::int64_t x = total_key(a.d[k]);
            const std::int64_t y = total_key(b.d[k]);
            if (x != y) return x < y;
        }
        return a.index < b.index;
    };
    for (std::size_t s = 0; s < n;) {
        std::size_t e = s + 1;
        while (e < n && recs[e].d[3] == recs[s].d[3]) ++e;
        if (e - s > 1) std::sort(recs.begin() + s, recs.begin() + e, coord_less);
        s = e;
    }

    Lifted out;
    std::size_t m = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const Record& r = recs[k];
        if (m > 0) {
            const Record& last = recs[m - 1];
            if (r.d[0] == last.d[0] && r.d[1] == last.d[1] && r.d[2] == last.d[2]) {
                out.duplicates.push_back({r.index, last.index});
                continue;
            }
        }
        recs[m++] = r;
    }
    recs.resize(m);

    double quant[3];
    for (int k = 0; k < 3; ++k) {
        const double range = hi[k] - lo[k];
        quant[k] = range > 0.0 ? 1023.0 / range : 0.0;
    }
    // Equal Morton keys keep the height order: the low half of each entry is the record's
    // position in it, which makes the sort stable and the insertion order deterministic.
    std::vector<std::uint64_t> order(m);
    for (std::size_t k = 0; k < m; ++k) {
        const double* p = recs[k].d;
        const std::uint32_t key = morton_key(quantise(((p[0] - c[0]) - lo[0]) * quant[0]),
                                             quantise(((p[1] - c[1]) - lo[1]) * quant[1]),
                                             quantise(((p[2] - c[2]) - lo[2]) * quant[2]));
        order[k] = std::uint64_t{key} << 32 | k;
    }
    radix_sort(order, 4, [](std::uint64_t e) { return e >> 32; });
    out.finite = std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]);
    out.wide = !scale.in_exact_range();
    out.pts.resize(m);
    out.perm.resize(m);
    for (std::size_t k = 0; k < m; ++k) {
        const Record& r = recs[static_cast<std::uint32_t>(order[k])];
        out.pts[k] = {r.d[0], r.d[1], r.d[2], r.d[3]};
        out.perm[k] = r.index;
    }
    return out;
}

template Lifted lift_and_sort<double>(const PointView<double>&);
template Lifted lift_and_sort<float>(const PointView<float>&);

std::array<double, 4> scale_vector(const std::vector<Point4>& pts) {
    constexpr double INF = std::numeric_limits<double>::infinity();
    double lo[3] = {INF, INF, INF};
    double hi[3] = {-INF, -INF, -INF};
    std::array<double, 4> s = {0.0, 0.0, 0.0, 0.0};
    for (const Point4& p : pts) {
        for (int k = 0; k < 3; ++k) {
            if (p[k] < lo[k]) lo[k] = p[k];
            if (p[k] > hi[k]) hi[k] = p[k];
        }
        const double a = 2.0 * std::fabs(p[3]);
        if (a > s[3]) s[3] = a;
    }
    for (int k = 0; k < 3; ++k) {
        if (hi[k] >= lo[k]) s[k] = hi[k] - lo[k];
    }
    return s;
}

void FacetStore::reserve(std::size_t n) {
    planes.reserve(n);
    links.reserve(n);
    flags.reserve(n);
}

std::uint32_t FacetStore::append() {
    const std::size_t s = flags.size();
    // Slot NO_INDEX must stay free as the sentinel.
    if (s >= NO_INDEX) throw std::bad_alloc();
    if (s == flags.capacity()) reserve(s + s / 8 + 64);
    planes.emplace_back();
    links.emplace_back();
    flags.push_back(0);
    return static_cast<std::uint32_t>(s);
}

// Error bound of the side value.
//
// The exact side value of q against the facet (p0, p1, p2, p3) is S = -det[E1; E2; E3; D]
// with E_r = p_r - p0 and D = q - p0 taken exactly, the w column being the exact lifting
// W = x² + y² + z² of the stored x, y, z: this is -insphere(p1, p2, p3, q, p0), the test
// that decides inside the bound. The float value s is the same 4x4 determinant expanded
// over its 24 monomials e1_a·e2_b·e3_c·d_e ((a, b, c, e) a permutation of x, y, z, w),
// evaluated on the rounded entries ê, d̂. With u = 2^-53, γ_k = k·u / (1 - k·u), and no
// underflow or overflow:
//
//  1. Arithmetic. Each monomial passes through at most 8 roundings (2 in a minor m_ab, 3
//     more in the cofactor D_abc, 3 in the final dot product), so |s - Ŝ| <= γ_8·Σ|m̂|,
//     where Ŝ is the exact determinant of the rounded entries and m̂ its monomials.
//  2. Entries. An x, y or z entry is one rounded difference of exact doubles (the
//     caller's coordinates): E = ê(1 + δ), |δ| <= u / (1 - u). The w column may be any
//     lifting |p - c|² for a fixed c, since it differs from |p|² by a combination of the
//     x, y, z columns and the constant one; W below is |p - c|² for the centroid c, taken
//     exactly. A w entry is ê_w = fl(w_r - w_0), and each stored height is computed from
//     the rounded centred values fl(p_k - c_k) = (p_k - c_k)(1 + δ_k) as
//     w = fl(fl(fl(d_x·d_x) + fl(d_y·d_y)) + fl(d_z·d_z)) = W(1 + θ), |θ| <= γ_5 (two
//     roundings in the centring of each squared term, three in the sum), so
//     E_w = ê_w(1 + δ) - η_r with |η_r| <= γ_5·(W_r + W_0) <= γ_5·(1 + γ_5)·(w_r + w_0).
//     Every monomial has exactly one w entry (row r) and three x, y, z entries, hence
//     |S - Ŝ| <= γ_4·Σ|m̂| + (1 + γ_3)·Σ_r |η_r|·A_r, with A_r the sum of |products of the
//     x, y, z entries of the other three rows| (a 3x3 permanent).
//  3. The facet only. |d̂_k| <= scale4_k, the range of the coordinate over the cloud
//     (rounding is monotone), and w_q + w_0 <= scale4_w. So Σ|m̂| <= Σ_k P_k·scale4_k = M
//     (the P_k of the cofactor magnitudes), A_r uses scale4 in the D row (A_D = P_w), and
//     with H = Σ_{r=1..3} (w_r + w_0)·A_r + scale4_w·P_w:
//        |s - S| <= γ_12·M + γ_5·(1 + γ_5)²·(1 + γ_3)·H.
//     The w error term is the one the plain γ·M form misses: it is of the order
//     u·|p|²·h² for points at distance |p| from the centroid and spacing h, not u·|p|·h³,
//     and on nearly cospherical subsets it decides the sign.
//  4. Evaluation. M and H are sums of non-negative products; each of their terms (and
//     the final K1·M + K2·H) rounds at most 11 times, so the computed bound is at least
//     (1 - u)^11 times its exact value. K1 = 12.25u >= γ_12 / (1 - u)^11 and
//     K2 = 5.0625u >= γ_5·(1 + γ_5)²·(1 + γ_3) / (1 - u)^11 with room to spare.
// Hence |s| > bound implies sign(s) = sign(S). A NaN or infinite bound sends every test
// of the facet to the exact predicate.
//
// Loose bounds. Computing the bound costs more than the normal itself, and nearly every
// test clears it by many orders of magnitude, so for most clouds the store keeps a cheaper
// value B >= bound instead: |s| > B implies |s| > bound, and a test that B leaves open
// recomputes the bound. With the row sums R_r = |ê_rx| + |ê_ry| + |ê_rz|, W_r = |ê_rw| and
// S = scale4_x + scale4_y + scale4_z, expanding products of row sums covers every
// permanent above: P_x, P_y, P_z <= Q = W1·R2·R3 + R1·W2·R3 + R1·R2·W3, P_w <= R1·R2·R3,
// A1 <= R2·R3·S, A2 <= R1·R3·S, A3 <= R1·R2·S. So M' = Q·S + scale4_w·R1·R2·R3 >= M and
// H' = S·Σ_r (w_r + w_0)·R_s·R_t + scale4_w·R1·R2·R3 >= H (s, t the other two rows), and
// B = K1'·M' + K2'·H' with K1' = (50/49)·K1, K2' = (83/81)·K2. Each term of B rounds at
// most 14 times, each
// term of the bound at most 11 times, so B >= bound as computed, as long as neither
// underflows nor overflows, which loose_bounds_hold ensures for the whole cloud.
namespace {

constexpr double K1 = 49.0 * 0x1p-55;  // 12.25 u
constexpr double K2 = 81.0 * 0x1p-57;  // 5.0625 u

// The bound of the side value for the facet (p0, p1, p2, p3).
inline double side_bound(const double* p0, const double* p1, const double* p2,
                         const double* p3, const double* scale4) {
    const double e1x = p1[0] - p0[0], e1y = p1[1] - p0[1], e1z = p1[2] - p0[2],
                 e1w = p1[3] - p0[3];
    const double e2x = p2[0] - p0[0], e2y = p2[1] - p0[1], e2z = p2[2] - p0[2],
                 e2w = p2[3] - p0[3];
    const double e3x = p3[0] - p0[0], e3y = p3[1] - p0[1], e3z = p3[2] - p0[2],
                 e3w = p3[3] - p0[3];
    const double a1x = std::fabs(e1x), a1y = std::fabs(e1y), a1z = std::fabs(e1z),
                 a1w = std::fabs(e1w);
    const double p_xy = std::fabs(e2x * e3y) + std::fabs(e2y * e3x);
    const double p_xz = std::fabs(e2x * e3z) + std::fabs(e2z * e3x);
    const double p_xw = std::fabs(e2x * e3w) + std::fabs(e2w * e3x);
    const double p_yz = std::fabs(e2y * e3z) + std::fabs(e2z * e3y);
    const double p_yw = std::fabs(e2y * e3w) + std::fabs(e2w * e3y);
    const double p_zw = std::fabs(e2z * e3w) + std::fabs(e2w * e3z);
    const double P_x = (a1w * p_yz + a1z * p_yw) + a1y * p_zw;
    const double P_y = (a1w * p_xz + a1z * p_xw) + a1x * p_zw;
    const double P_z = (a1w * p_xy + a1y * p_xw) + a1x * p_yw;
    const double P_w = (a1z * p_xy + a1y * p_xz) + a1x * p_yz;
    const double sx = scale4[0], sy = scale4[1], sz = scale4[2], sw = scale4[3];
    const double M = (P_x * sx + P_y * sy) + (P_z * sz + P_w * sw);
    // x, y, z permanents of the row pairs (e1, e3) and (e1, e2).
    const double q13_xy = std::fabs(e1x * e3y) + std::fabs(e1y * e3x);
    const double q13_xz = std::fabs(e1x * e3z) + std::fabs(e1z * e3x);
    const double q13_yz = std::fabs(e1y * e3z) + std::fabs(e1z * e3y);
    const double q12_xy = std::fabs(e1x * e2y) + std::fabs(e1y * e2x);
    const double q12_xz = std::fabs(e1x * e2z) + std::fabs(e1z * e2x);
    const double q12_yz = std::fabs(e1y * e2z) + std::fabs(e1z * e2y);
    const double A1 = (p_yz * sx + p_xz * sy) + p_xy * sz;
    const double A2 = (q13_yz * sx + q13_xz * sy) + q13_xy * sz;
    const double A3 = (q12_yz * sx + q12_xz * sy) + q12_xy * sz;
    const double H = ((p1[3] + p0[3]) * A1 + (p2[3] + p0[3]) * A2) +
                     ((p3[3] + p0[3]) * A3 + sw * P_w);
    return K1 * M + K2 * H;
}

// The loose bound B for the facet (p0, p1, p2, p3).
inline double loose_bound(const double* p0, const double* p1, const double* p2,
                          const double* p3, const double* scale4) {
    const double R1 = (std::fabs(p1[0] - p0[0]) + std::fabs(p1[1] - p0[1])) +
                      std::fabs(p1[2] - p0[2]);
    const double R2 = (std::fabs(p2[0] - p0[0]) + std::fabs(p2[1] - p0[1])) +
                      std::fabs(p2[2] - p0[2]);
    const double R3 = (std::fabs(p3[0] - p0[0]) + std::fabs(p3[1] - p0[1])) +
                      std::fabs(p3[2] - p0[2]);
    const double W1 = std::fabs(p1[3] - p0[3]), W2 = std::fabs(p2[3] - p0[3]),
                 W3 = std::fabs(p3[3] - p0[3]);
    const double R23 = R2 * R3, R13 = R1 * R3, R12 = R1 * R2, R123 = R12 * R3;
    const double S = (scale4[0] + scale4[1]) + scale4[2], sw = scale4[3];
    const double Q = (W1 * R23 + W2 * R13) + W3 * R12;
    const double M = Q * S + R123 * sw;
    const double H = S * (((p1[3] + p0[3]) * R23 + (p2[3] + p0[3]) * R13) +
                          (p3[3] + p0[3]) * R12) +
                     sw * R123;
    constexpr double K1_LOOSE = 50.0 * 0x1p-55;
    constexpr double K2_LOOSE = 83.0 * 0x1p-57;
    return K1_LOOSE * M + K2_LOOSE * H;
}

// side_bound where it is rarely needed, kept out of line so that the callers' registers
// stay free for their own work.
[[gnu::noinline]] double side_bound_of(const double* p0, const double* p1, const double* p2,
                                       const double* p3, const double* scale4) {
    return side_bound(p0, p1, p2, p3, scale4);
}

// make_facet without the error value: false when the reference lies exactly on the
// hyperplane and there is no fallback. With Loose, r.bound is the loose bound.
template <bool Loose>
inline bool plane_of(const Point4* pts, const double* scale4, const std::uint32_t* v,
                     std::uint32_t ref, const double* fallback, bool wide, double underflow,
                     FacetResult& r) {
    const double* p0 = pts[v[0]].data();
    const double* p1 = pts[v[1]].data();
    const double* p2 = pts[v[2]].data();
    const double* p3 = pts[v[3]].data();
    const double e1x = p1[0] - p0[0], e1y = p1[1] - p0[1], e1z = p1[2] - p0[2],
                 e1w = p1[3] - p0[3];
    const double e2x = p2[0] - p0[0], e2y = p2[1] - p0[1], e2z = p2[2] - p0[2],
                 e2w = p2[3] - p0[3];
    const double e3x = p3[0] - p0[0], e3y = p3[1] - p0[1], e3z = p3[2] - p0[2],
                 e3w = p3[3] - p0[3];

    const double m_xy = e2x * e3y - e2y * e3x;
    const double m_xz = e2x * e3z - e2z * e3x;
    const double m_xw = e2x * e3w - e2w * e3x;
    const double m_yz = e2y * e3z - e2z * e3y;
    const double m_yw = e2y * e3w - e2w * e3y;
    const double m_zw = e2z * e3w - e2w * e3z;

    const double d_xyw = m_xy * e1w + (m_yw * e1x - m_xw * e1y);
    const double d_yzw = m_yz * e1w + (m_zw * e1y - m_yw * e1z);
    const double d_xyz = (e1x * m_yz - e1y * m_xz) + e1z * m_xy;
    const double d_xzw = (e1x * m_zw - e1z * m_xw) + e1w * m_xz;
    const double N[4] = {d_yzw, -d_xzw, d_xyw, -d_xyz};

    r.bound = (Loose ? loose_bound(p0, p1, p2, p3, scale4) : side_bound(p0, p1, p2, p3, scale4)) +
              underflow;
    KAVRO_D4_COUNT(facets_made, 1);

    const double s = side_value(N, p0, pts[ref].data());
    bool flip;
    const double a = std::fabs(s);
    if (a > r.bound ||
        (Loose && a <= r.bound && a != 0.0 && a > side_bound_of(p0, p1, p2, p3, scale4))) {
        flip = s > 0.0;
    } else {
        KAVRO_D4_COUNT(exact_tests, 1);
        // insphere recomputes the lifting exactly and has the opposite sign of s.
        const double e = pred::insphere(p1, p2, p3, pts[ref].data(), p0, wide);
        if (e < 0.0) {
            flip = true;
        } else if (e > 0.0 || e != e) {
            flip = false;
        } else {
            if (fallback == nullptr) return false;
            const double t = (fallback[0] * N[0] + fallback[1] * N[1]) +
                             (fallback[2] * N[2] + fallback[3] * N[3]);
            flip = t < 0.0;
        }
    }
    // Negation as a sign-bit flip: the orientation is a coin toss for the branch predictor.
    const std::uint64_t sign = std::uint64_t{flip} << 63;
    for (int k = 0; k < 4; ++k) {
        r.normal[k] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(N[k]) ^ sign);
    }
    r.flip = flip ? 1 : 0;

    // Whether the facet is a lower one, where the float value settles it. The exact test
    // is orient3d(p0, p1, p2, p3) = -D, D = det[p1 - p0; p2 - p0; p3 - p0] in x, y, z, and
    // the facet is lower when D > 0 with the parity clear or D < 0 with it set. d_xyz is D
    // on the rounded differences with at most 5 roundings per product, so |d_xyz - D| <=
    // (γ_5 + γ_3/(1 - u)^3)·perm <= 8.01u·perm, where perm, the x, y, z permanent, is at
    // most R1·R2·R3 (R_r the row's absolute sum), computed within a factor (1 - u)^8:
    // 10u·R123 covers it. Tiny products could underflow, so below 2^-900 orient3d decides.
    const double R123 = (((std::fabs(e1x) + std::fabs(e1y)) + std::fabs(e1z)) *
                         ((std::fabs(e2x) + std::fabs(e2y)) + std::fabs(e2z))) *
                        ((std::fabs(e3x) + std::fabs(e3y)) + std::fabs(e3z));
    constexpr double KD = 10.0 * 0x1p-53;
    const bool settled = std::fabs(d_xyz) > KD * R123 + underflow && R123 >= 0x1p-900;
    r.shape = settled ? static_cast<std::uint8_t>(KNOWN | (((d_xyz > 0.0) != flip) ? LOWER : 0))
                      : std::uint8_t{0};
    return true;
}

}  // namespace

double underflow_allowance(const std::array<double, 4>& scale4) {
    double e = 1.0;
    for (const double s : scale4) {
        if (s > e) e = s;
    }
    // At most a few hundred roundings feed a bound; 2^-1050 leaves a factor 2^25 for them.
    // An overflowing product gives +inf (NaN scales are passed over): every test is exact then.
    return 0x1p-1050 * ((e * e) * e);
}

// Whether every lifted value is zero or of magnitude in [2^-200, 2^200]: then a nonzero
// entry ê is at least 2^-252 (all values are multiples of that), and every nonzero
// product in either bound, K times three entries and a scale or a height sum, stays
// above 2^-1022 and far below overflow.
bool loose_bounds_hold(const std::vector<Point4>& pts) {
    for (const Point4& p : pts) {
        for (const double x : p) {
            const double a = std::fabs(x);
            if (a != 0.0 && !(a >= 0x1p-200 && a <= 0x1p200)) return false;
        }
    }
    return true;
}

Result<FacetResult> make_facet(const Point4* pts, const double* scale4, const std::uint32_t* v,
                               std::uint32_t ref, const double* fallback, bool wide,
                               double underflow) {
    FacetResult r;
    if (!plane_of<false>(pts, scale4, v, ref, fallback, wide, underflow, r)) {
        return DelaunayError::degenerate("seed simplex is degenerate");
    }
    return r;
}

namespace {

// Four points that span the lifted space with pts[0], by exact tests on the caller's
// coordinates: the first point that differs from pts[0], the first off their line, the
// first off the plane of those three, the first off the sphere of those four (each stage
// scans every position, since a point passed over by one stage may serve the next).
// Empty when there are none: then every point lies on one line, plane or sphere.
std::vector<std::size_t> exact_seed(const std::vector<Point4>& pts, bool wide) {
    const std::size_t m = pts.size();
    const double* a = pts[0].data();
    std::vector<std::size_t> seed;
    const auto next = [&](auto accept) {
        for (std::size_t j = 1; j < m; ++j) {
            if (std::find(seed.begin(), seed.end(), j) == seed.end() && accept(pts[j].data())) {
                seed.push_back(j);
                return true;
            }
        }
        return false;
    };
    const auto differs = [a](const double* p) {
        return p[0] != a[0] || p[1] != a[1] || p[2] != a[2];
    };
    if (!next(differs)) return {};
    const double* b = pts[seed[0]].data();
    // Off the line through a and b when some coordinate-plane projection turns.
    const auto off_line = [a, b, wide](const double* p) {
        for (int u = 0; u < 3; ++u) {
            const int v = (u + 1) % 3;
            const double pa[2] = {a[u], a[v]}, pb[2] = {b[u], b[v]}, pp[2] = {p[u], p[v]};
            if (pred::orient2d(pa, pb, pp, wide) != 0.0) return true;
        }
        return false;
    };
    if (!next(off_line)) return {};
    const double* c = pts[seed[1]].data();
    if (!next([=](const double* p) { return pred::orient3d(a, b, c, p, wide) != 0.0; })) {
        return {};
    }
    const double* d = pts[seed[2]].data();
    if (!next([=](const double* p) { return pred::insphere(a, b, c, d, p, wide) != 0.0; })) {
        return {};
    }
    return seed;
}

}  // namespace

Status find_seed(std::vector<Point4>& pts, std::vector<std::uint32_t>& perm,
                 const std::array<double, 4>& scale4, bool exact, bool wide) {
    constexpr const char* FLAT =
        "points are coplanar or cospherical; a full-dimensional 3D triangulation does not exist";
    const std::size_t m = pts.size();
    const Point4 p0 = pts[0];
    // Directions are measured with x, y, z divided by a power of two near the cloud's
    // extent and w by its square: w has twice the degree of the coordinates, and without
    // this the relative threshold below would turn on the cloud's scale and offset.
    double extent = 0.0;
    for (int c = 0; c < 3; ++c) {
        if (scale4[c] > extent && std::isfinite(scale4[c])) extent = scale4[c];
    }
    const int e = extent > 0.0 ? std::ilogb(extent) : 0;
    const double norm[4] = {std::ldexp(1.0, -e), std::ldexp(1.0, -e), std::ldexp(1.0, -e),
                            std::ldexp(1.0, -2 * e)};
    double E[4][4];
    int ne = 0;
    std::size_t k = 1;
    std::size_t chosen[4];
    for (std::size_t j = 1; j < m && ne < 4; ++j) {
        double d[4];
        for (int c = 0; c < 4; ++c) d[c] = (pts[j][c] - p0[c]) * norm[c];
        const double q = (d[0] * d[0] + d[1] * d[1]) + (d[2] * d[2] + d[3] * d[3]);
        if (q == 0.0) continue;
        for (int a = 0; a < ne; ++a) {
            const double* e = E[a];
            const double t = (d[0] * e[0] + d[1] * e[1]) + (d[2] * e[2] + d[3] * e[3]);
            for (int c = 0; c < 4; ++c) d[c] -= t * e[c];
        }
        const double r = std::sqrt((d[0] * d[0] + d[1] * d[1]) + (d[2] * d[2] + d[3] * d[3]));
        // Relative to the point's distance from p0, so the test does not depend on the
        // scale of the cloud; NaN rejects.
        if (!(r > 1e-12 * std::sqrt(q))) continue;
        for (int c = 0; c < 4; ++c) E[ne][c] = d[c] / r;
        chosen[ne++] = j;
        // The point moved from position k to j is not examined again.
        std::swap(pts[k], pts[j]);
        std::swap(perm[k], perm[j]);
        ++k;
    }
    // The float search only proposes: the five must span the lifted space exactly.
    if (ne == 4 && pred::insphere(pts[1].data(), pts[2].data(), pts[3].data(), pts[4].data(),
                                  pts[0].data(), wide) != 0.0) {
        return std::nullopt;
    }
    if (!exact) return DelaunayError::degenerate(FLAT);
    // Undo the float search's swaps, newest first, so that positions are as they came.
    for (int a = ne; a-- > 0;) {
        std::swap(pts[a + 1], pts[chosen[a]]);
        std::swap(perm[a + 1], perm[chosen[a]]);
    }
    std::vector<std::size_t> seed = exact_seed(pts, wide);
    if (seed.empty()) return DelaunayError::degenerate(FLAT);
    for (std::size_t a = 0; a < 4; ++a) {
        const std::size_t to = a + 1, from = seed[a];
        std::swap(pts[to], pts[from]);
        std::swap(perm[to], perm[from]);
        // The point that sat at `to` now sits at `from`; a later seed may be that point.
        for (std::size_t b = a + 1; b < 4; ++b) {
            if (seed[b] == to) seed[b] = from;
        }
    }
    return std::nullopt;
}

Status init_hull4d(const Point4* pts, const double* scale4, FacetStore& store) {
    for (int k = 0; k < 4; ++k) store.scale4[k] = scale4[k];
    for (std::uint32_t k = 0; k < 5; ++k) {
        std::uint32_t v[4];
        int j = 0;
        for (std::uint32_t a = 0; a < 5; ++a) {
            if (a != k) v[j++] = a;
        }
        auto res = make_facet(pts, scale4, v, k, nullptr, store.wide, store.underflow);
        if (!res.ok()) return std::move(res.error());
        const FacetResult& f = res.value();
        const std::uint32_t s = store.append();
        store.planes[s] = {{f.normal[0], f.normal[1], f.normal[2], f.normal[3]}, f.bound};
        store.links[s] = {{v[0], v[1], v[2], v[3]}, {v[0], v[1], v[2], v[3]}};
        store.flags[s] = static_cast<std::uint8_t>(LIVE + PARITY * f.flip);
    }
    return std::nullopt;
}

double exact_side(const Point4* pts, const FacetStore& store, std::uint32_t f, std::uint32_t q) {
    KAVRO_D4_COUNT(exact_tests, 1);
    const std::uint32_t* v = store.links[f].v;
    const double r = pred::insphere(pts[v[1]].data(), pts[v[2]].data(), pts[v[3]].data(),
                                    pts[q].data(), pts[v[0]].data(), store.wide);
    return (store.flags[f] & PARITY) ? r : -r;
}

namespace {

inline double side_of(const Point4* pts, const FacetStore& store, std::uint32_t f,
                      const double* q) {
    return side_value(store.planes[f].normal, pts[store.links[f].v[0]].data(), q);
}

// How |s|, a float side value against facet f, compares with the bound make_facet gives
// the facet. A loose stored bound is replaced by that one only when it leaves the
// comparison open, and never for s = 0, which no bound puts above. A NaN side value or
// bound (a cloud so wide that the heights overflow) settles nothing: within, so the exact
// test decides.
enum class Cmp { above, within };
inline Cmp against_bound(const Point4* pts, const FacetStore& store, std::uint32_t f,
                         double s) {
    const double a = std::fabs(s);
    const double b = store.planes[f].bound;
    if (a > b) return Cmp::above;
    if (!(a <= b) || !store.loose_bounds || a == 0.0) return Cmp::within;
    KAVRO_D4_COUNT(tight_bounds, 1);
    const std::uint32_t* v = store.links[f].v;
    const double tight = side_bound_of(pts[v[0]].data(), pts[v[1]].data(), pts[v[2]].data(),
                                       pts[v[3]].data(), store.scale4.data());
    return a > tight ? Cmp::above : Cmp::within;
}

// The decision by which the scan of every slot returns a facet at once: the float test
// outside the bound, the exact sign inside it.
inline bool sees_strictly(const Point4* pts, const FacetStore& store, std::uint32_t f,
                          std::uint32_t i) {
    const double s = side_of(pts, store, f, pts[i].data());
    switch (against_bound(pts, store, f, s)) {
        case Cmp::above:
            return s > 0.0;
        case Cmp::within:
            break;
    }
    return exact_side(pts, store, f, i) > 0.0;
}

inline std::uint32_t hint_scan(const Point4* pts, const FacetStore& store,
                               const std::vector<std::uint32_t>& hints, std::uint32_t i) {
    const double* q = pts[i].data();
    for (std::size_t h = hints.size(); h-- > 0;) {
        const std::uint32_t f = hints[h];
        if ((store.flags[f] & 3) != LIVE) continue;
        // The float test alone: s above the bound, which is never negative.
        const double s = side_of(pts, store, f, q);
        if (s > 0.0 && against_bound(pts, store, f, s) == Cmp::above) return f;
    }
    return NO_INDEX;
}

std::uint32_t full_scan(const Point4* pts, const FacetStore& store, std::uint32_t i) {
    KAVRO_D4_COUNT(full_scans, 1);
    const double* q = pts[i].data();
    std::uint32_t candidate = NO_INDEX;
    for (std::size_t f = store.size(); f-- > 0;) {
        if ((store.flags[f] & 3) != LIVE) continue;
        const std::uint32_t s32 = static_cast<std::uint32_t>(f);
        const double s = side_of(pts, store, s32, q);
        const Cmp c = against_bound(pts, store, s32, s);
        if (c == Cmp::above && s > 0.0) return s32;
        if (c != Cmp::within) continue;
        const double r = exact_side(pts, store, s32, i);
        if (r > 0.0) return s32;
        if (r == 0.0 && candidate == NO_INDEX) candidate = s32;
    }
    return candidate;
}

// A live facet that pts[i] sees strictly, found by walking the lower-hull facets (the
// current Delaunay tetrahedra) towards q from a lower facet among the hints; NO_INDEX
// when the walk gives up. Its orientation tests are exact but it decides nothing: the
// facet it returns has passed sees_strictly. The reasons it succeeds:
//  - a lower facet whose tetrahedron contains q (in x, y, z) lies above q's lifted point
//    (the paraboloid is strictly convex), so q sees it, unless q is one of its vertices;
//  - a lower facet left through a face of the 3D hull: q lies strictly beyond that face's
//    supporting plane, outside the wedge of the two facets at that ridge (the other one is
//    upper or vertical), so q sees one of the two.
// The walk cannot cycle in a Delaunay (regular) tetrahedralization; near-vertical facets
// that the float test misfiles as lower could misdirect it, hence the step cap.
std::uint32_t locate(const Point4* pts, const FacetStore& store,
                     const std::vector<std::uint32_t>& hints, std::uint32_t i) {
    std::uint32_t t = NO_INDEX;
    for (std::size_t h = hints.size(); h-- > 0;) {
        const std::uint32_t f = hints[h];
        if ((store.flags[f] & 3) == LIVE && store.planes[f].normal[3] < 0.0) {
            t = f;
            break;
        }
    }
    if (t == NO_INDEX) return NO_INDEX;
    const double* q = pts[i].data();
    std::uint32_t from = NO_INDEX;
    for (std::size_t steps = 0; steps <= store.size(); ++steps) {
        KAVRO_D4_COUNT(walk_steps, 1);
        const Links& l = store.links[t];
        // A lower facet's vertex order has orient3d < 0 with the parity clear and > 0 with
        // it set; q is beyond face k when putting q in place of v[k] flips that sign.
        const bool parity = (store.flags[t] & PARITY) != 0;
        const double* p[4] = {pts[l.v[0]].data(), pts[l.v[1]].data(), pts[l.v[2]].data(),
                              pts[l.v[3]].data()};
        int exit = -1;
        for (int k = 0; k < 4; ++k) {
            if (l.nb[k] == from) continue;
            const double* keep = p[k];
            p[k] = q;
            const double o = pred::orient3d(p[0], p[1], p[2], p[3], store.wide);
            p[k] = keep;
            if (parity ? o < 0.0 : o > 0.0) {
                exit = k;
                break;
            }
        }
        if (exit < 0) return sees_strictly(pts, store, t, i) ? t : NO_INDEX;
        const std::uint32_t g = l.nb[exit];
        if ((store.flags[g] & 3) == LIVE && store.planes[g].normal[3] < 0.0) {
            from = t;
            t = g;
            continue;
        }
        if (sees_strictly(pts, store, t, i)) return t;
        return sees_strictly(pts, store, g, i) ? g : NO_INDEX;
    }
    return NO_INDEX;
}

}  // namespace

std::uint32_t find_visible_scan(const Point4* pts, const FacetStore& store,
                                const std::vector<std::uint32_t>& hints, std::uint32_t i) {
    const std::uint32_t h = hint_scan(pts, store, hints, i);
    return h != NO_INDEX ? h : full_scan(pts, store, i);
}

// After a failed hint scan the scan of every slot returns the strictly seen facet of
// highest slot. The facets that a point outside a convex polytope sees strictly form one
// region connected across ridges (a shellable ball), so a search of that region from
// any member finds the same facet. Only when no member is found (q exactly on the hull,
// or non-finite values) does the scan run.
std::uint32_t find_visible(const Point4* pts, FacetStore& store, Workspace& ws, std::uint32_t i) {
    const std::uint32_t h = hint_scan(pts, store, ws.new_facets, i);
    if (h != NO_INDEX) return h;
    KAVRO_D4_COUNT(hint_misses, 1);
    const std::uint32_t start = locate(pts, store, ws.new_facets, i);
    if (start == NO_INDEX) return full_scan(pts, store, i);

    // ws.visible is free until insert_point refills it.
    std::vector<std::uint32_t>& queue = ws.visible;
    std::vector<std::uint32_t>& marked = ws.marked;
    queue.clear();
    marked.clear();
    queue.push_back(start);
    marked.push_back(start);
    store.flags[start] |= VISITED;
    std::uint32_t best = start;
    for (std::size_t k = 0; k < queue.size(); ++k) {
        const Links& l = store.links[queue[k]];
        for (const std::uint32_t g : l.nb) {
            if ((store.flags[g] & (3 | VISITED)) != LIVE) continue;
            store.flags[g] |= VISITED;
            marked.push_back(g);
            KAVRO_D4_COUNT(region_tests, 1);
            if (sees_strictly(pts, store, g, i)) {
                queue.push_back(g);
                if (g > best) best = g;
            }
        }
    }
    for (const std::uint32_t f : marked) store.flags[f] &= static_cast<std::uint8_t>(~VISITED);
    return best;
}

namespace {

enum class Pairing { ok, third_facet, unmatched };

// Links the cone facets ws.new_facets to each other across their ridges through q, in
// their order, stopping at the first ridge met a third time. Leaves the table empty.
Pairing pair_cone(Workspace& ws, Links* links) {
    // About five entries per stored ridge keep the probes short; only that many entries
    // are used, however long the table grew: spreading a few ridges over all of it would
    // touch cold cache lines. Where a key lands does not change which ridges pair up.
    const std::size_t needed =
        std::bit_ceil(std::max<std::size_t>(8 * ws.new_facets.size(), 64));
    if (ws.edge_table.size() < needed) {
        std::vector<EdgeEntry>().swap(ws.edge_table);
        ws.edge_table.resize(needed);
    }
    EdgeEntry* table = ws.edge_table.data();
    const std::size_t mask = needed - 1;
    ws.touched.clear();
    for (const std::uint32_t slot : ws.new_facets) {
        const std::uint32_t a = links[slot].v[1], b = links[slot].v[2], c = links[slot].v[3];
        const std::uint64_t keys[3] = {pair_key(b, c), pair_key(a, c), pair_key(a, b)};
        for (std::uint8_t pos = 1; pos <= 3; ++pos) {
            if (!match_ridge(table, mask, ws.touched, links, keys[pos - 1], slot, pos)) {
                reset_table(table, ws.touched);
                return Pairing::third_facet;
            }
        }
    }
    return reset_table(table, ws.touched) ? Pairing::ok : Pairing::unmatched;
}

constexpr const char* THIRD_FACET = "horizon edge shared by more than two facets";

// A fault met while the cone is built. The facets made before it would have been paired
// by then, so a ridge that three of them share is the fault to report.
Status cone_fault(Workspace& ws, Links* links, const char* what) {
    if (pair_cone(ws, links) == Pairing::third_facet) return DelaunayError::corrupt(THIRD_FACET);
    return DelaunayError::corrupt(what);
}

}  // namespace

Status insert_point(const Point4* pts, const double* scale4, FacetStore& store, Workspace& ws,
                    std::uint32_t i, std::uint32_t start) {
    const double* q = pts[i].data();
    // Raw pointers, re-read after every append: stores through the byte array would
    // otherwise make the compiler reload each vector's data pointer.
    Plane* planes = store.planes.data();
    Links* links = store.links.data();
    std::uint8_t* flags = store.flags.data();
    std::vector<std::uint32_t>& visible = ws.visible;
    visible.clear();
    visible.push_back(start);
    flags[start] = 0;
    ws.new_facets.clear();
    // Whether q sees a facet is decided once and for all, so when visible[h] is searched
    // each of its neighbours is known to be either in the region or on the horizon: the
    // cone facets are made in the same pass, in the order (region position, ridge).
    for (std::size_t h = 0; h < visible.size(); ++h) {
        const std::uint32_t f = visible[h];
        // A copy: appending a slot may move the store.
        const Links lf = links[f];
        for (int k = 0; k < 4; ++k) {
            const std::uint32_t g = lf.nb[k];
            if ((flags[g] & 3) != LIVE) continue;
            const double s = side_value(planes[g].normal, pts[links[g].v[0]].data(), q);
            // On the hyperplane counts as seen: the zero facets go with the region, so
            // no new facet is flat against a survivor. A NaN side value is decided exactly.
            const bool seen = against_bound(pts, store, g, s) == Cmp::above
                                  ? s > 0.0
                                  : exact_side(pts, store, g, i) >= 0.0;
            if (seen) {
                flags[g] = 0;
                visible.push_back(g);
                // Its neighbours are tested next: start their scattered loads now.
                for (const std::uint32_t x : links[g].nb) {
                    __builtin_prefetch(&planes[x]);
                    __builtin_prefetch(&links[x]);
                    __builtin_prefetch(&flags[x]);
                }
                continue;
            }

            // g is on the horizon: the cone facet from q to the ridge f shares with it.
            // Which of the vertices is left out, which of g's is its apex and where g
            // links back to f are all but random, so they are found by bit masks rather
            // than by branches that would mostly be mispredicted.
            static constexpr std::uint8_t OTHERS[4][3] = {
                {1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};
            const std::uint32_t a = lf.v[OTHERS[k][0]], b = lf.v[OTHERS[k][1]],
                                c = lf.v[OTHERS[k][2]];
            const std::uint32_t* gv = links[g].v;
            unsigned outside = 16;  // bit x: gv[x] is not on the ridge; bit 4: none is
            for (unsigned x = 0; x < 4; ++x) {
                const bool off = (gv[x] != a) & (gv[x] != b) & (gv[x] != c);
                outside |= static_cast<unsigned>(off) << x;
            }
            const unsigned first_outside = static_cast<unsigned>(std::countr_zero(outside));
            if (first_outside == 4) {
                return cone_fault(ws, links, "neighbor facet shares all four vertices");
            }
            const std::uint32_t apex = gv[first_outside];
            const std::uint32_t v[4] = {i, a, b, c};
            FacetResult fr{};  // plane_of always fills it when given a fallback
            if (store.loose_bounds) {
                plane_of<true>(pts, scale4, v, apex, planes[g].normal, store.wide,
                               store.underflow, fr);
            } else {
                plane_of<false>(pts, scale4, v, apex, planes[g].normal, store.wide,
                                store.underflow, fr);
            }

            std::uint32_t slot;
            if (!ws.free.empty()) {
                slot = ws.free.back();
                ws.free.pop_back();
            } else {
                slot = store.append();
                planes = store.planes.data();
                links = store.links.data();
                flags = store.flags.data();
            }
            planes[slot] = {{fr.normal[0], fr.normal[1], fr.normal[2], fr.normal[3]}, fr.bound};
            links[slot] = {{i, a, b, c}, {g, NO_INDEX, NO_INDEX, NO_INDEX}};
            flags[slot] = static_cast<std::uint8_t>(CREATED + PARITY * fr.flip + fr.shape);

            std::uint32_t* gnb = links[g].nb;
            unsigned to_f = 16;
            for (unsigned x = 0; x < 4; ++x) to_f |= static_cast<unsigned>(gnb[x] == f) << x;
            const unsigned back = static_cast<unsigned>(std::countr_zero(to_f));
            if (back == 4) {
                return cone_fault(ws, links,
                                  "horizon neighbor does not link back to visible facet");
            }
            gnb[back] = slot;
            ws.new_facets.push_back(slot);
        }
    }
    if (ws.new_facets.empty()) {
        return DelaunayError::corrupt("no horizon ridges found for inserted point");
    }
    switch (pair_cone(ws, links)) {
        case Pairing::ok:
            break;
        case Pairing::third_facet:
            return DelaunayError::corrupt(THIRD_FACET);
        case Pairing::unmatched:
            return DelaunayError::corrupt(
                "unmatched horizon ridge (visible region is not a topological ball)");
    }
    for (const std::uint32_t s : ws.new_facets) {
        flags[s] = static_cast<std::uint8_t>((flags[s] & (PARITY | KNOWN | LOWER)) | LIVE);
    }
    ws.free.insert(ws.free.end(), visible.begin(), visible.end());
    return std::nullopt;
}

// Lower-hull facets are the ones whose exact orientation test says so: settled when the
// facet was made (its own degree-3 bound; the side-value bound, of degree 5, would not be
// sound for the w component), else by orient3d here.
Status compact_output(const Point4* pts, const FacetStore& store, const std::uint32_t* perm,
                      DelaunayOutput<4>& out, std::uint64_t max_rows) {
    const std::size_t n = store.size();
    std::vector<std::uint32_t> row(n, NO_INDEX);
    std::uint32_t rows = 0;
    for (std::size_t s = 0; s < n; ++s) {
        const std::uint8_t fl = store.flags[s];
        if ((fl & 3) == 0) continue;
        if (fl & KNOWN) {
            if (fl & LOWER) row[s] = rows++;
            continue;
        }
        const std::uint32_t* v = store.links[s].v;
        const double o = pred::orient3d(pts[v[0]].data(), pts[v[1]].data(), pts[v[2]].data(),
                                        pts[v[3]].data(), store.wide);
        // The stored normal's w has, exactly, the sign of o, reversed by the parity.
        if ((fl & PARITY) ? o > 0.0 : o < 0.0) row[s] = rows++;
    }
    // Counted before any row is made: past this, neighbour entries would read as negative
    // rows in int32, which NumPy takes as indices from the end.
    if (rows > max_rows) {
        return DelaunayError::degenerate("too many tetrahedra (" + std::to_string(rows) +
                                         ") for int32 indices, maximum is " +
                                         std::to_string(max_rows));
    }
    // Rows come in slot order, so they are appended: each output page is written once.
    out.simplices.reserve(rows);
    out.neighbors.reserve(rows);
    constexpr std::size_t AHEAD = 16;
    for (std::size_t s = 0; s < n; ++s) {
        // The neighbours' rows are scattered over the whole table: ask for them early.
        if (s + AHEAD < n) {
            for (const std::uint32_t g : store.links[s + AHEAD].nb) {
                if (g != NO_INDEX) __builtin_prefetch(&row[g]);
            }
        }
        const std::uint32_t r = row[s];
        if (r == NO_INDEX) continue;
        const Links& l = store.links[s];
        std::array<std::uint32_t, 4> sv;
        std::array<std::int32_t, 4> sn;
        for (int k = 0; k < 4; ++k) {
            const std::uint32_t g = l.nb[k];
            const std::uint32_t gr = g == NO_INDEX ? NO_INDEX : row[g];
            sn[k] = static_cast<std::int32_t>(gr);  // a row below 2^31, or NO_INDEX: -1
            sv[k] = perm[l.v[k]];
        }
        // A kept facet with the parity set has orient3d > 0, that is negative volume:
        // swapping vertices 0 and 1 (and the neighbours facing them) makes it positive.
        if (store.flags[s] & PARITY) {
            std::swap(sv[0], sv[1]);
            std::swap(sn[0], sn[1]);
        }
        out.simplices.push_back(sv);
        out.neighbors.push_back(sn);
    }
    return std::nullopt;
}

Status insert_all(const Point4* pts, std::size_t m, const double* scale4, FacetStore& store,
                  Workspace& ws, bool scan_every_slot) {
    // A simplicial 4-polytope with m vertices has at most m(m - 3)/2 facets (the upper
    // bound theorem), and the store holds at most the old hull and the new cone at once,
    // so no valid input passes m(m - 3) slots; point sets of quadratic size (two skew
    // lines, the moment curve) come close.
    const std::uint64_t mm = m;
    const std::uint64_t guard = std::max(60 * mm + 1000, mm * (mm - 3));
    for (std::size_t i = 5; i < m; ++i) {
        if (store.size() > guard) {
            return DelaunayError::corrupt("facet count exploded (numerically adversarial input?)");
        }
        const auto i32 = static_cast<std::uint32_t>(i);
        const std::uint32_t f = scan_every_slot ? find_visible_scan(pts, store, ws.new_facets, i32)
                                                : find_visible(pts, store, ws, i32);
        // A point that no facet sees is left out: no tetrahedron, no duplicate row.
        if (f == NO_INDEX) continue;
        if (auto err = insert_point(pts, scale4, store, ws, i32, f)) return err;
    }
    return std::nullopt;
}

}  // namespace d4

template <class T>
Result<DelaunayOutput<4>> delaunay4d(const PointView<T>& points) {
    assert(points.cols == 3 && "input points must be 3D");
    const std::size_t n = points.rows;
    if (n > MAX_POINTS) {
        return DelaunayError::too_many_points(n);
    }
    d4::Lifted lifted = d4::lift_and_sort(points);
    std::vector<d4::Point4>& pts = lifted.pts;
    const std::size_t m = pts.size();
    if (m < 5) return DelaunayError::not_enough_points(m);
    // The scale vector does not depend on the order of the points, so the seed search,
    // which reorders a few, can use it too.
    const std::array<double, 4> scale4 = d4::scale_vector(pts);
    if (auto err = d4::find_seed(pts, lifted.perm, scale4, lifted.finite, lifted.wide)) {
        return std::move(*err);
    }

    d4::FacetStore store;
    store.reserve(std::min<std::size_t>(7 * m, NO_INDEX));
    if (lifted.wide) {
        store.wide = true;
        store.underflow = d4::underflow_allowance(scale4);
    }
    if (auto err = d4::init_hull4d(pts.data(), scale4.data(), store)) return std::move(*err);
    // Loose bounds are only sound where nothing underflows.
    store.loose_bounds = !store.wide && d4::loose_bounds_hold(pts);

    {
        d4::Workspace ws;
        if (auto err = d4::insert_all(pts.data(), m, scale4.data(), store, ws)) {
            return std::move(*err);
        }
    }
    decltype(store.planes)().swap(store.planes);

    DelaunayOutput<4> out;
    if (auto err = d4::compact_output(pts.data(), store, lifted.perm.data(), out)) {
        return std::move(*err);
    }
    out.duplicates = std::move(lifted.duplicates);
    return out;
}

template Result<DelaunayOutput<4>> delaunay4d<double>(const PointView<double>&);
template Result<DelaunayOutput<4>> delaunay4d<float>(const PointView<float>&);

}  // namespace kavro

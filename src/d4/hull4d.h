// Working records of the 3D kernel: the lifted points and the facet store of their 4D
// convex hull, with the steps of the build. Internal to src/d4; exposed for the unit tests.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/error.h"
#include "core/output.h"
#include "core/point_view.h"

namespace kavro::d4 {

// A lifted point [x, y, z, w]: the caller's coordinates (times the power of two that
// normalises the cloud), on which every exact test is made, and the height w =
// (dx·dx + dy·dy) + dz·dz of the centred coordinates d = (x, y, z) - centroid, rounded.
// Exactly, |d|² differs from x² + y² + z² by a function linear in x, y, z, so either
// lifting gives the same hull; the centred one keeps the float filters sharp for clouds
// far from the origin.
using Point4 = std::array<double, 4>;

// Nothing on success.
using Status = std::optional<DelaunayError>;

// Flag byte of a facet slot. Live facets are LIVE or LIVE|PARITY, facets of the running
// insertion CREATED or CREATED|PARITY, deleted ones 0. PARITY: the stored normal is -N
// for the vertex-order normal N (N·u = -det[p1 - p0; p2 - p0; p3 - p0; u]). VISITED is
// scratch of find_visible and is clear between calls. KNOWN: whether the facet is a lower
// one (LOWER) was settled by the float test when it was made; otherwise the output step
// asks orient3d.
inline constexpr std::uint8_t LIVE = 1;
inline constexpr std::uint8_t CREATED = 2;
inline constexpr std::uint8_t PARITY = 4;
inline constexpr std::uint8_t VISITED = 8;
inline constexpr std::uint8_t KNOWN = 16;
inline constexpr std::uint8_t LOWER = 32;

// One facet is split over two records: the plane is only needed while the hull is built,
// so it can be released before the output is assembled, which keeps the peak memory of
// a large build near the facet store itself.
struct Plane {
    double normal[4];  // outward: the hull lies on its negative side
    double bound;      // |side value| <= bound is decided exactly
};
struct Links {
    std::uint32_t v[4];   // vertices, positions in pts
    std::uint32_t nb[4];  // nb[k]: facet across the ridge opposite v[k], NO_INDEX unlinked
};

// Facet store indexed by slot; the three arrays always have one length.
struct FacetStore {
    std::vector<Plane, LargePageAllocator<Plane>> planes;
    std::vector<Links, LargePageAllocator<Links>> links;
    std::vector<std::uint8_t, LargePageAllocator<std::uint8_t>> flags;
    // The scale vector of the bounds, set by init_hull4d.
    std::array<double, 4> scale4 = {0.0, 0.0, 0.0, 0.0};
    // Bounds of facets made by insert_point may be loose: at least the side-value bound
    // of make_facet, which the side tests recompute where they need it. Only for clouds
    // that loose_bounds_hold accepts.
    bool loose_bounds = false;
    // For a cloud outside the plain predicates' exact range (Lifted::wide): the exact
    // tests use their wide forms, and every float bound carries `underflow` on top, which
    // covers what products that underflow lose (underflow_allowance).
    bool wide = false;
    double underflow = 0.0;

    std::size_t size() const { return flags.size(); }
    void reserve(std::size_t n);
    // Appends an uninitialised slot. Beyond the reserve the arrays grow by an eighth, not
    // by doubling: they hold most of a build's memory.
    std::uint32_t append();
};

struct FacetResult {
    double normal[4];
    double bound;
    std::uint8_t flip;   // 1: normal = -N
    std::uint8_t shape;  // KNOWN | LOWER, KNOWN, or 0 when orient3d must decide
};

struct EdgeEntry {
    std::uint64_t key = ~std::uint64_t{0};  // all ones: empty
    std::uint32_t facet = NO_INDEX;         // NO_INDEX with a key: both sides linked
    std::uint8_t slot = 0;                  // nb position 1, 2 or 3 of facet
};

struct Workspace {
    std::vector<std::uint32_t> visible;     // visible region, in discovery order
    std::vector<std::uint32_t> new_facets;  // cone of the last insertion: the next hints
    std::vector<std::uint32_t> free;        // deleted slots, reused from the back
    std::vector<EdgeEntry> edge_table;      // power-of-two length, empty between insertions
    std::vector<std::uint32_t> touched;     // edge_table indices filled by this insertion
    std::vector<std::uint32_t> marked;      // find_visible: slots carrying VISITED
};

inline std::uint64_t pair_key(std::uint32_t a, std::uint32_t b) {
    return a < b ? (std::uint64_t{a} << 32) | b : (std::uint64_t{b} << 32) | a;
}
inline std::uint32_t pair_hash(std::uint64_t key) {
    return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 32);
}

// Pairs the ridge `key` of new facet `slot` (at its nb position pos) with the facet that
// stored it first, or stores it. False when the pair was matched already: a third facet.
inline bool match_ridge(EdgeEntry* table, std::size_t mask, std::vector<std::uint32_t>& touched,
                        Links* links, std::uint64_t key, std::uint32_t slot, std::uint8_t pos) {
    for (std::size_t idx = pair_hash(key) & mask;; idx = (idx + 1) & mask) {
        EdgeEntry& e = table[idx];
        if (e.key == key) {
            if (e.facet == NO_INDEX) return false;
            links[e.facet].nb[e.slot] = slot;
            links[slot].nb[pos] = e.facet;
            e.facet = NO_INDEX;
            return true;
        }
        if (e.key == ~std::uint64_t{0}) {
            e = {key, slot, pos};
            touched.push_back(static_cast<std::uint32_t>(idx));
            return true;
        }
    }
}

// Empties every touched entry; false when one of them still waited for its partner.
inline bool reset_table(EdgeEntry* table, const std::vector<std::uint32_t>& touched) {
    bool matched = true;
    for (const std::uint32_t idx : touched) {
        if (table[idx].facet != NO_INDEX) matched = false;
        table[idx] = EdgeEntry{};
    }
    return matched;
}

// Result of the preprocessing: the distinct lifted points in insertion order, their input
// rows, and the duplicate rows [dropped, kept] in scan order.
struct Lifted {
    std::vector<Point4> pts;
    std::vector<std::uint32_t> perm;
    Buffer<std::array<std::uint32_t, 2>> duplicates;
    bool finite = true;  // the centroid is finite: no NaN or infinite coordinate
    // The cloud lies outside the range where the plain predicates are exact
    // (PowerOfTwoScale::in_exact_range).
    bool wide = false;
};

// Normalisation, centring, lifting, sort by height, duplicate removal and Morton order of
// the n <= MAX_POINTS rows of points. Two points are duplicates when their coordinates
// compare equal (IEEE); each group keeps its member first in total order (-0.0 before
// +0.0), then of lowest index. Records with equal Morton keys keep their height order.
template <class T>
Lifted lift_and_sort(const PointView<T>& points);

// The 30-bit Morton key of 10-bit quantised coordinates (x in the lowest bit of each
// 3-bit group).
std::uint32_t morton_key(std::uint32_t qx, std::uint32_t qy, std::uint32_t qz);

// scale4[k] for x, y, z: the range max - min of pts[i][k], which bounds every rounded
// coordinate difference; scale4[w] = max of 2·|pts[i][w]|, which bounds every sum and
// difference of two heights (NaN ignored).
std::array<double, 4> scale_vector(const std::vector<Point4>& pts);

// An absolute term that, added to the side-value and orientation bounds, covers the
// rounding of results in the subnormal range, which no relative bound does: each such
// rounding errs by at most 2^-1075, and later products scale it by at most three entries,
// each bounded by the scale vector (or by 1). Infinite for clouds whose entries could
// overflow that product, so that the exact tests decide everything there.
double underflow_allowance(const std::array<double, 4>& scale4);

// Side value of q against a facet plane with first vertex p0; > 0 means outside.
inline double side_value(const double* normal, const double* p0, const double* q) {
    return (normal[0] * (q[0] - p0[0]) + normal[1] * (q[1] - p0[1])) +
           (normal[2] * (q[2] - p0[2]) + normal[3] * (q[3] - p0[3]));
}

// Plane, sound error bound and outward orientation of the facet v (positions in pts):
// pts[ref] ends up on the negative side, or, when it lies exactly on the hyperplane, the
// normal agrees with fallback (dot product not negative). Without a fallback that case is
// Degenerate "seed simplex is degenerate".
// With wide, the exact test uses the wide insphere and the bound carries underflow.
Result<FacetResult> make_facet(const Point4* pts, const double* scale4, const std::uint32_t* v,
                               std::uint32_t ref, const double* fallback, bool wide = false,
                               double underflow = 0.0);

// Whether the cloud's values keep both forms of the bound clear of underflow and
// overflow, which loose bounds need.
bool loose_bounds_hold(const std::vector<Point4>& pts);

// Swaps four points (and their perm entries) into positions 1..4 so that 0..4 span the
// lifted space exactly. A float search proposes them, measuring directions by the x, y, z
// ranges of scale4 (scale_vector of pts); where it fails and exact is set, an exact search
// decides, so only a set on one plane or one sphere is refused. With wide, the exact tests
// use the wide predicates.
Status find_seed(std::vector<Point4>& pts, std::vector<std::uint32_t>& perm,
                 const std::array<double, 4>& scale4, bool exact = true, bool wide = false);

// Slots 0..4: the facets opposite seed vertices 0..4, each linked to the four others. Reads
// store.wide and store.underflow.
Status init_hull4d(const Point4* pts, const double* scale4, FacetStore& store);

// Exact side sign of pts[q] against facet f: > 0 outside, 0 on its hyperplane.
double exact_side(const Point4* pts, const FacetStore& store, std::uint32_t f, std::uint32_t q);

// A facet that pts[i] sees: first a hint (hints from last to first, float test only),
// else the live facet of highest slot that pts[i] sees strictly, else the one of highest
// slot on whose hyperplane it lies exactly. NO_INDEX when there is none.
// find_visible finds the same facet as find_visible_scan, which tests every slot, by a
// walk through the lower-hull facets and a search of the region strictly visible.
std::uint32_t find_visible(const Point4* pts, FacetStore& store, Workspace& ws, std::uint32_t i);
std::uint32_t find_visible_scan(const Point4* pts, const FacetStore& store,
                                const std::vector<std::uint32_t>& hints, std::uint32_t i);

// Replaces the region visible from pts[i], grown from start, by the cone from pts[i] to
// its horizon.
Status insert_point(const Point4* pts, const double* scale4, FacetStore& store, Workspace& ws,
                    std::uint32_t i, std::uint32_t start);

// The insertion loop over positions 5..m-1, with the facet-count guard before each point.
// scan_every_slot replaces find_visible by find_visible_scan (same result, for tests).
Status insert_all(const Point4* pts, std::size_t m, const double* scale4, FacetStore& store,
                  Workspace& ws, bool scan_every_slot = false);

// The live lower-hull facets as positively oriented tetrahedra of input rows (perm), in
// slot order, with their neighbour rows. Reads only links and flags. More than max_rows
// of them is Degenerate "too many tetrahedra (m) for int32 indices, maximum is max_rows",
// found by count before out is touched.
Status compact_output(const Point4* pts, const FacetStore& store, const std::uint32_t* perm,
                      DelaunayOutput<4>& out, std::uint64_t max_rows = MAX_SIMPLICES);

#ifdef KAVRO_D4_COUNTERS
// Work counters of the calling thread, for benchmarks; not compiled in by default.
struct Counters {
    std::uint64_t hint_misses = 0;    // find_visible calls whose hint scan failed
    std::uint64_t full_scans = 0;     // of those, calls that ran the scan of every slot
    std::uint64_t exact_tests = 0;    // exact side signs (insphere)
    std::uint64_t walk_steps = 0;     // lower-hull facets crossed by the locating walk
    std::uint64_t region_tests = 0;   // side tests of the strictly visible region search
    std::uint64_t facets_made = 0;
    std::uint64_t tight_bounds = 0;   // side tests a loose bound left open
};
extern thread_local Counters counters;
#define KAVRO_D4_COUNT(field, k) (::kavro::d4::counters.field += (k))
#else
#define KAVRO_D4_COUNT(field, k) ((void)0)
#endif

}  // namespace kavro::d4

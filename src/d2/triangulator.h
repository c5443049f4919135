// Working record of the 2D radial sweep: a half-edge triangle store plus the convex hull of
// the points inserted so far. Internal to src/d2; exposed for the unit tests.
#pragma once

#include <cstdint>
#include <vector>

#include "core/output.h"
#include "core/point_view.h"

namespace kavro::d2 {

// Half-edge conventions: half-edge h belongs to triangle h / 3 and runs from
// triangles[h] to triangles[next(h)]; the edge of triangle t opposite its vertex k is
// 3t + (k + 1) % 3; halfedges[h] is the twin of h (same edge, reverse direction) or
// NO_INDEX on the hull. Triangles are counterclockwise in the caller's frame.
//
// Vertex v is row v of coords. delaunay2d numbers the points by sweep position, not by
// input row, and maps the rows back when it builds its output.
//
// Two frames: coords holds the caller's points (times a power of two), on which every
// orientation and in-circle test is made, so that the result is exact for what the
// caller passed. The pseudo-angle hash only steers the search and works in the centred
// frame, coords minus origin, as the sweep centre does.
// The two largest arrays of a build, filled as the sweep goes.
using Indices = std::vector<std::uint32_t, LargePageAllocator<std::uint32_t>>;

struct Triangulator {
    std::vector<double> coords;            // #n by 2 points in the caller's frame, row-major
    Indices triangles;                     // 3 vertex indices per triangle
    Indices halfedges;                     // same length as triangles
    std::vector<std::uint32_t> hull_prev;  // #n, counterclockwise hull list
    std::vector<std::uint32_t> hull_next;  // #n, hull_next[v] == v: v has left the hull
    std::vector<std::uint32_t> hull_tri;   // #n, hull half-edge leaving each hull vertex
    std::vector<std::uint32_t> hull_hash;  // #hash_size buckets of hull vertices (stale ok)
    std::vector<std::uint32_t> edge_stack; // pending flips of legalize
    std::uint32_t hash_size = 0;
    double center[2] = {0.0, 0.0};         // sweep centre, centred frame
    double origin[2] = {0.0, 0.0};         // the centroid: coords - origin is centred
    std::uint32_t hull_start = 0;
    // The cloud lies outside the range where the plain predicates are exact
    // (PowerOfTwoScale::in_exact_range): every test uses their wide forms.
    bool wide = false;

    // Takes the #n by 2 points; sizes the hull arrays and the hash for n points and
    // reserves the triangle store for the 2n - 5 triangles a full build needs.
    Triangulator(std::vector<double> points, double cx, double cy, std::uint32_t start);

    // Bucket of the pseudo-angle of the centred point (x, y) around the sweep centre: 0 on
    // the ray towards -x, rising counterclockwise through -y, +x and +y (quarter steps)
    // and wrapping to 0.
    std::uint32_t hash_key(double x, double y) const;
    // hash_key of vertex v, centred the way the kernel centred it.
    std::uint32_t hash_of(std::uint32_t v) const {
        return hash_key(coords[2 * std::size_t{v}] - origin[0],
                        coords[2 * std::size_t{v} + 1] - origin[1]);
    }

    // Appends triangle (i0, i1, i2) and links its half-edges i0->i1, i1->i2, i2->i0 to the
    // twins a, b, c (NO_INDEX for none). Returns its first half-edge.
    std::uint32_t add_triangle(std::uint32_t i0, std::uint32_t i1, std::uint32_t i2,
                               std::uint32_t a, std::uint32_t b, std::uint32_t c);

    // Lawson flips from half-edge a (the edge opposite a newly inserted point) until every
    // edge around that point is locally Delaunay by exact incircle. A flip that moves a
    // hull half-edge into slot a also moves the matching hull_tri entry. Returns the half-
    // edge preceding the last edge examined: for a fresh sweep triangle whose edge after
    // the new point is on the hull, that hull half-edge wherever the flips moved it.
    std::uint32_t legalize(std::uint32_t a);

    void link(std::uint32_t x, std::uint32_t y) {
        halfedges[x] = y;
        if (y != NO_INDEX) halfedges[y] = x;
    }
};

// The rows of xy (#n by 2) in sweep order: ascending key (#n bit patterns of the
// non-negative squared distances to the sweep centre, compared as unsigned integers), then
// x and y with -0.0 read as +0.0, then x and y in IEEE total order (-0.0 before +0.0),
// then row index. Points that compare equal (IEEE) thus come out adjacent, which the
// sweep's duplicate test relies on, and the member with -0.0 leads its group.
std::vector<std::uint32_t> sweep_order(const std::vector<std::uint64_t>& key, const double* xy);

}  // namespace kavro::d2

// Sequential 2D Delaunay triangulation by radial sweep.
#pragma once

#include "core/error.h"
#include "core/output.h"
#include "core/point_view.h"

namespace kavro {

// Delaunay triangulation of a 2D point set, with exact predicates for every orientation
// and in-circle decision.
//
// Input:
//   points  #n by 2 coordinates (any strides); row r is vertex r. The float instance
//           widens every coordinate to double exactly and returns bit for bit what the
//           double instance returns for the widened copy. Precondition (asserted, not
//           reported): exactly 2 columns.
//
// Output (DelaunayOutput<3>):
//   simplices   #m by 3  vertex indices, each row counterclockwise
//   neighbors   #m by 3  entry k: the triangle across the edge opposite vertex k, -1 on
//                        the convex hull
//   duplicates  #d by 2  [dropped, kept]: a point whose coordinates compare equal (IEEE,
//                        so -0.0 == +0.0) to a point kept before it; rows come in sweep
//                        order, not index order
//
// Every orientation and in-circle decision is exact for the caller's coordinates: rows
// are counterclockwise and the mesh is Delaunay in the input as given. The cloud is first
// multiplied by a power of two that brings its largest coordinate into [1, 2), so any
// power-of-two multiple of an input (coordinates finite and normal) gives the same result;
// exactness holds while every nonzero coordinate is within a factor 2^100 of the largest
// (beyond that, products of coordinate differences leave the double range). The kept
// point of an equal group is its lowest index, except that a seed point (one of the three
// that start the sweep, near the centroid) is always the one kept, and a copy with -0.0 in
// a coordinate comes before, and is kept instead of, one with +0.0 there. Every distinct
// point is a vertex of some triangle;
// every other point is the dropped index of exactly one duplicate row. Three points in
// general position give one triangle whose first vertex is the point nearest the centroid
// (the lower index on a tie). Four or more cocircular points are split by whichever
// diagonals the sweep creates; no flip happens on an exact tie.
//
// Errors, checked in this order:
//   n > 2147483648                 Degenerate "too many points (n), maximum is 2147483648"
//   n < 3                          NotEnoughPoints(n)
//   all points equal               NotEnoughPoints(1)
//   all points on one line         Degenerate "all points are collinear; a 2D triangulation
//                                  does not exist"; also for two distinct positions only,
//                                  and for NaN or infinite coordinates
// More than 715827884 points throws std::bad_alloc, as exhausted memory would: the
// half-edge store is indexed by 32 bits. The same bound keeps every triangle's row number
// below 2^31, so no result is too large for the int32 neighbour rows.
template <class T>
Result<DelaunayOutput<3>> delaunay2d(const PointView<T>& points);

extern template Result<DelaunayOutput<3>> delaunay2d<double>(const PointView<double>&);
extern template Result<DelaunayOutput<3>> delaunay2d<float>(const PointView<float>&);

}  // namespace kavro

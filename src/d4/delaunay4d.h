// Sequential 3D Delaunay tetrahedralization as the lower convex hull of the lifted points.
#pragma once

#include "core/error.h"
#include "core/output.h"
#include "core/point_view.h"

namespace kavro {

// Delaunay tetrahedralization of a 3D point set. The points are lifted onto the
// paraboloid w = |p - centroid|² and inserted one by one, in Morton order, into the convex
// hull of the lifted set; every facet of that 4D hull whose outward normal points down in
// w is a Delaunay tetrahedron. Every side test is a float test with a proven error bound,
// decided by the exact in-sphere predicate inside the bound, and every exact decision is
// made on the caller's coordinates: the rows are positive and the mesh is Delaunay in the
// input as given. The cloud is first multiplied by a power of two that brings its largest
// coordinate into [1, 2), so any power-of-two multiple of an input (coordinates finite and
// normal) gives the same result; exactness holds while every nonzero coordinate is within
// a factor 2^100 of the largest.
//
// Input:
//   points  #n by 3 coordinates (any strides); row r is vertex r. The float instance
//           widens every coordinate to double exactly and returns bit for bit what the
//           double instance returns for the widened copy. Precondition (asserted, not
//           reported): exactly 3 columns.
//
// Output (DelaunayOutput<4>):
//   simplices   #m by 4  vertex indices, each row (a, b, c, d) with
//                        det(b - a, c - a, d - a) > 0
//   neighbors   #m by 4  entry k: the tetrahedron across the face opposite vertex k, -1
//                        on the convex hull (and across a face whose other side would be
//                        a flat tetrahedron, which is never emitted)
//   duplicates  #d by 2  [dropped, kept]: a point whose coordinates compare equal (IEEE,
//                        so -0.0 == +0.0) to an earlier member of its group in height
//                        order; rows in that order
//
// Every distinct point is a vertex. The kept point of an equal group is its lowest index;
// where a group mixes -0.0 and +0.0, the one first in IEEE total order is kept. A kept
// index is never itself dropped. Cospherical subsets are split by whichever tetrahedra the
// insertion order produces.
//
// Errors, in the order they are checked:
//   n > 2147483648            Degenerate "too many points (n), maximum is 2147483648"
//   fewer than 5 distinct     NotEnoughPoints(distinct count)
//   all points on one plane   Degenerate "points are coplanar or cospherical; a
//   or one sphere               full-dimensional 3D triangulation does not exist"; also
//                               for NaN or infinite coordinates
//   hull inconsistency        Corrupt, with the text of the check that failed (facet
//                               count, horizon links, ridge matching); not expected for
//                               any input within the exact range
//   m > 2147483648            Degenerate "too many tetrahedra (m) for int32 indices,
//   tetrahedra                  maximum is 2147483648": rows past 2^31 cannot be numbered
//                               in the int32 neighbour rows; counted before any row is made
template <class T>
Result<DelaunayOutput<4>> delaunay4d(const PointView<T>& points);

extern template Result<DelaunayOutput<4>> delaunay4d<double>(const PointView<double>&);
extern template Result<DelaunayOutput<4>> delaunay4d<float>(const PointView<float>&);

}  // namespace kavro

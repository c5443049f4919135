// Sequential 3D Delaunay tetrahedralization as the lower convex hull of the lifted points.
#pragma once

#include "core/error.h"
#include "core/output.h"
#include "core/point_view.h"

namespace kavro {

// Delaunay tetrahedralization of a 3D point set. The points are centred on their
// centroid, lifted onto w = x² + y² + z² and inserted one by one, in Morton order, into
// the convex hull of the lifted set; every facet of that 4D hull whose outward normal
// points down in w is a Delaunay tetrahedron. Every side test is a float test with a
// proven error bound, decided by the exact in-sphere predicate inside the bound.
//
// Input:
//   points  #n by 3 coordinates (any strides); row r is vertex r. The float instance
//           widens every coordinate to double exactly and returns bit for bit what the
//           double instance returns for the widened copy. Precondition (asserted, not
//           reported): exactly 3 columns.
//
// Output (DelaunayOutput<4>):
//   simplices   #m by 4  vertex indices, each row (a, b, c, d) with
//                        det(b - a, c - a, d - a) > 0 in the centred coordinates
//   neighbors   #m by 4  entry k: the tetrahedron across the face opposite vertex k, -1
//                        on the convex hull (and across a face whose other side would be
//                        a flat tetrahedron, which is never emitted)
//   duplicates  #d by 2  [dropped, kept]: a point whose centred coordinates and height
//                        compare equal (IEEE, so -0.0 == +0.0) to the last point kept
//                        before it in height order; rows in that order
//
// The kept point of an equal group is its lowest index; where a group mixes -0.0 and
// +0.0 in a centred coordinate, the one first in IEEE total order is kept, and a member
// that the order separates from its group by an unequal point stays a point of its own
// (it is then usually skipped: no tetrahedron and no duplicate row). Cospherical subsets
// are split by whichever tetrahedra the insertion order produces.
//
// Errors, in the order they are checked:
//   n > 4294967294            Degenerate "too many points (n), maximum is 4294967294"
//   fewer than 5 distinct     NotEnoughPoints(distinct count)
//   no 5 points span the      Degenerate "points are coplanar or cospherical; a
//   lifted space                full-dimensional 3D triangulation does not exist"; also
//                               for NaN or infinite coordinates (NaN centred values)
//   fifth seed point exactly  Degenerate "seed simplex is degenerate"
//   on the others' sphere
//   hull inconsistency        Corrupt, with the text of the check that failed (facet
//                               count, horizon links, ridge matching)
template <class T>
Result<DelaunayOutput<4>> delaunay4d(const PointView<T>& points);

extern template Result<DelaunayOutput<4>> delaunay4d<double>(const PointView<double>&);
extern template Result<DelaunayOutput<4>> delaunay4d<float>(const PointView<float>&);

}  // namespace kavro

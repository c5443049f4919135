"""A small Delaunay triangulation with _kavro, checked against its own invariants."""
import numpy as np

import _kavro

rng = np.random.default_rng(7)
points = rng.random((12, 2))
points[5] = points[2]  # an exact duplicate is reported, not triangulated twice

simplices, neighbors, duplicates = _kavro.calculate_kavro_2d(points)
print(f"{len(points)} points -> {len(simplices)} triangles")
print("triangles (vertex indices, counterclockwise):")
print(simplices)
print("neighbours (-1 on the hull):")
print(neighbors)
print("duplicates [dropped, kept]:", duplicates.tolist())

radii = _kavro.circumradii(points, simplices)
indptr, indices = _kavro.vertex_neighbor_vertices(simplices, len(points))
print("largest circumradius: %.4f" % radii.max())
print("neighbours of vertex 0:", indices[indptr[0]:indptr[1]].tolist())

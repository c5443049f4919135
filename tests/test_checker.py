import numpy as np
import pytest

from helpers import check_triangulation

I32 = np.int32
# a convex quadrilateral whose Delaunay diagonal is 1-3, plus a copy of vertex 1
QUAD = np.array([(0.0, 0.0), (2.0, 0.0), (2.5, 2.0), (0.0, 1.0), (2.0, 0.0)])
GOOD = ([[0, 1, 3], [1, 2, 3]], [[1, -1, -1], [-1, 0, -1]], [[4, 1]])
NO_COPY = np.empty((0, 2), I32)
CENTRED_SQUARE = np.array([(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0), (0.5, 0.5)])


@pytest.mark.parametrize("points, simplices, neighbors, duplicates", [
    (QUAD, [[0, 3, 1], [1, 2, 3]], [[1, -1, -1], [-1, 0, -1]], [[4, 1]]),  # clockwise
    (QUAD, [[0, 1, 2], [0, 2, 3]], [[-1, 1, -1], [-1, -1, 0]], [[4, 1]]),  # not Delaunay
    (QUAD, [[0, 1, 3], [1, 2, 3]], [[0, -1, -1], [-1, 0, -1]], [[4, 1]]),  # wrong neighbour
    (QUAD, [[0, 1, 3], [1, 2, 3]], [[1, -1, -1], [-1, 0, -1]], [[4, 2]]),  # unequal copy
    (QUAD, [[0, 1, 3]], [[-1, -1, -1]], [[4, 1]]),  # a point left out
    # every point used, but one fan triangle is missing: a hole, not the hull
    (CENTRED_SQUARE, [[4, 0, 1], [4, 1, 2], [4, 2, 3]], [[-1, 1, -1], [-1, 2, 0], [-1, -1, 1]], NO_COPY),
], ids=["clockwise", "not_delaunay", "wrong_neighbour", "unequal_copy", "point_left_out", "hole"])
def test_checker_rejects_broken_triangulations(points, simplices, neighbors, duplicates):
    check_triangulation(QUAD, *(np.array(a, I32) for a in GOOD))
    with pytest.raises(AssertionError):
        check_triangulation(points, *(np.array(a, I32).reshape(-1, c) for a, c in
                                      ((simplices, 3), (neighbors, 3), (duplicates, 2))))

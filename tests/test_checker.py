import numpy as np
import pytest

from helpers import POINT_SETS, check_triangulation

I32 = np.int32
# a convex quadrilateral whose Delaunay diagonal is 1-3, plus a copy of vertex 1
QUAD = np.array([(0.0, 0.0), (2.0, 0.0), (2.5, 2.0), (0.0, 1.0), (2.0, 0.0)])
GOOD = ([[0, 1, 3], [1, 2, 3]], [[1, -1, -1], [-1, 0, -1]], [[4, 1]])
NO_COPY = np.empty((0, 2), I32)
CENTRED_SQUARE = np.array([(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0), (0.5, 0.5)])
# right only for a copy shifted by its rounded centroid
DECIMALS, NEARLY_A_COPY = POINT_SETS["decimals_on_two_lines"](), POINT_SETS["nearly_a_copy"]()


@pytest.mark.parametrize("points, simplices, neighbors, duplicates", [
    (QUAD, [[0, 3, 1], [1, 2, 3]], [[1, -1, -1], [-1, 0, -1]], [[4, 1]]),  # clockwise
    (QUAD, [[0, 1, 2], [0, 2, 3]], [[-1, 1, -1], [-1, -1, 0]], [[4, 1]]),  # not Delaunay
    (QUAD, [[0, 1, 3], [1, 2, 3]], [[0, -1, -1], [-1, 0, -1]], [[4, 1]]),  # wrong neighbour
    (QUAD, [[0, 1, 3], [1, 2, 3]], [[1, -1, -1], [-1, 0, -1]], [[4, 2]]),  # unequal copy
    (QUAD, [[0, 1, 3]], [[-1, -1, -1]], [[4, 1]]),  # a point left out
    # every point used, but one fan triangle is missing: a hole, not the hull
    (CENTRED_SQUARE, [[4, 0, 1], [4, 1, 2], [4, 2, 3]], [[-1, 1, -1], [-1, 2, 0], [-1, -1, 1]], NO_COPY),
    (DECIMALS, [[6, 5, 0], [5, 4, 0], [4, 3, 0], [0, 1, 6], [0, 2, 1], [1, 2, 6]],
     [[1, 3, -1], [2, 0, -1], [-1, 1, -1], [5, 0, 4], [5, 3, -1], [-1, 3, 4]], NO_COPY),
    (NEARLY_A_COPY, [[0, 1, 2], [1, 4, 2]], [[1, -1, -1], [-1, 0, -1]], [[3, 0]]),
], ids=["clockwise", "not_delaunay", "wrong_neighbour", "unequal_copy", "point_left_out", "hole",
        "clockwise_in_the_input", "copy_only_when_shifted"])
def test_checker_rejects_broken_triangulations(points, simplices, neighbors, duplicates):
    check_triangulation(QUAD, *(np.array(a, I32) for a in GOOD))
    with pytest.raises(AssertionError):
        check_triangulation(points, *(np.array(a, I32).reshape(-1, c) for a, c in
                                      ((simplices, 3), (neighbors, 3), (duplicates, 2))))

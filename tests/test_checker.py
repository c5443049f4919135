"""The invariant checker must reject each kind of broken triangulation it claims to catch."""

import numpy as np
import pytest

from helpers import check_triangulation

I32 = np.int32
# a convex quadrilateral whose Delaunay diagonal is 1-3 (vertex 2 lies outside the
# circle through 0, 1, 3), plus a copy of vertex 1
QUAD = np.array([(0.0, 0.0), (2.0, 0.0), (2.5, 2.0), (0.0, 1.0), (2.0, 0.0)])
GOOD = (np.array([[0, 1, 3], [1, 2, 3]], I32), np.array([[1, -1, -1], [-1, 0, -1]], I32),
        np.array([[4, 1]], I32))


def _corrupt(kind):
    s, nb, d = (a.copy() for a in GOOD)
    if kind == "clockwise_row":
        s[0] = s[0, [0, 2, 1]]
        nb[0] = nb[0, [0, 2, 1]]
    elif kind == "wrong_diagonal":  # a valid triangulation that is not Delaunay
        s = np.array([[0, 1, 2], [0, 2, 3]], I32)
        nb = np.array([[-1, 1, -1], [-1, -1, 0]], I32)
    elif kind == "missing_neighbour":
        nb[1, 1] = -1
    elif kind == "asymmetric_neighbour":
        nb[0, 0] = 0
    elif kind == "triangle_dropped":
        s, nb = s[:1], np.array([[-1, -1, -1]], I32)
    elif kind == "hole_in_the_mesh":  # every point still used, one fan triangle missing
        square = np.array([(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0), (0.5, 0.5)])
        s = np.array([[4, 0, 1], [4, 1, 2], [4, 2, 3]], I32)
        nb = np.array([[-1, 1, -1], [-1, 2, 0], [-1, -1, 1]], I32)
        return square, (s, nb, np.empty((0, 2), I32))
    elif kind == "overlapping_copy":
        s = np.vstack([s, s[:1]])
        nb = np.vstack([nb, [[-1, -1, -1]]]).astype(I32)
    elif kind == "point_left_out":
        s, nb = s[:1], np.array([[-1, -1, -1]], I32)
        return np.vstack([QUAD[:2], QUAD[3:4], [(0.5, 0.3)], QUAD[4:]]), (s, nb, d)
    elif kind == "duplicate_row_missing":
        d = np.empty((0, 2), I32)
    elif kind == "duplicate_keeps_the_later_index":
        s[s == 1] = 4
        d = np.array([[1, 4]], I32)
    elif kind == "duplicate_of_unequal_point":
        d = np.array([[4, 2]], I32)
    elif kind == "int64_simplices":
        s = s.astype(np.int64)
    elif kind == "strided_neighbors":
        nb = np.repeat(nb, 2, axis=1)[:, ::2]
    elif kind == "read_only_duplicates":
        d.flags.writeable = False
    return QUAD, (s, nb, d)


KINDS = ["clockwise_row", "wrong_diagonal", "missing_neighbour", "asymmetric_neighbour",
         "triangle_dropped", "hole_in_the_mesh", "overlapping_copy", "point_left_out", "duplicate_row_missing",
         "duplicate_keeps_the_later_index", "duplicate_of_unequal_point", "int64_simplices",
         "strided_neighbors", "read_only_duplicates"]


def test_accepts_the_delaunay_triangulation():
    check_triangulation(QUAD, *GOOD)


@pytest.mark.parametrize("kind", KINDS)
def test_rejects(kind):
    points, result = _corrupt(kind)
    with pytest.raises(AssertionError):
        check_triangulation(points, *result)

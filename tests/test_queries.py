"""circumradii, circumradii_f32 and vertex_neighbor_vertices."""

import numpy as np
import pytest
import scipy.spatial

import _kavro
from helpers import raises_exactly

I32 = np.int32
TET = np.array([(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0), (1.0, 1.0, 0.0)])
TRI = np.array([(0.0, 0.0), (1.0, 0.0), (0.0, 1.0), (2.0, 0.0), (np.nan, 0.0)])


def check_1d(arr, dtype):
    assert type(arr) is np.ndarray and arr.dtype == dtype and arr.ndim == 1
    assert arr.flags.c_contiguous and arr.flags.writeable


@pytest.mark.parametrize("f32", [False, True], ids=["f64", "f32"])
@pytest.mark.parametrize("points, simplices, expected", [
    (TRI, [[0, 1, 2], [2, 1, 0]], [np.sqrt(0.5)] * 2),
    (TRI, [[0, 0, 1], [1, 2, 1], [0, 1, 3]], [np.inf] * 3),  # repeated or collinear vertices
    (TRI, [[0, 1, 4]], [np.nan]),
    (TRI, np.empty((0, 3)), []),
    (TET, [[0, 1, 2, 3], [1, 0, 2, 3]], [np.sqrt(0.75)] * 2),
    (TET, [[0, 1, 2, 4], [0, 0, 1, 2], [0, 1, 3, 3]], [np.inf] * 3),  # coplanar or repeated
    (TET, np.empty((0, 4)), []),
], ids=["right_triangle", "flat_triangles", "nan", "no_triangles", "tetrahedron", "flat_tetrahedra",
        "no_tetrahedra"])
def test_circumradii_examples(points, simplices, expected, f32):
    f = _kavro.circumradii_f32 if f32 else _kavro.circumradii
    radii = f(points.astype(np.float32 if f32 else np.float64), np.array(simplices, I32))
    check_1d(radii, np.float64)
    np.testing.assert_array_equal(radii, expected)


@pytest.mark.parametrize("dim", [2, 3])
def test_circumradii_match_an_independent_solve_and_f32_its_widened_copy(dim):
    rng = np.random.default_rng(23)
    narrow = rng.uniform(-100, 100, (80, dim)).astype(np.float32)
    points = narrow.astype(np.float64)
    simplices = np.array([rng.choice(80, dim + 1, replace=False) for _ in range(300)], I32)
    rel = points[simplices[:, 1:]] - points[simplices[:, :1]]
    centres = np.linalg.solve(2 * rel, (rel**2).sum(axis=2)[..., None])[..., 0]
    radii = _kavro.circumradii(np.asfortranarray(points), np.repeat(simplices, 2, axis=0)[::-2][::-1])
    np.testing.assert_allclose(radii, np.linalg.norm(centres, axis=1), rtol=1e-6)
    np.testing.assert_array_equal(_kavro.circumradii_f32(narrow, simplices), radii)


def test_circumradii_repeated_vertex_is_flat_whatever_the_rounding():
    # b repeating c or d leaves a rounding residue in the determinant (here radius 0).
    points, rows = np.random.default_rng(0).random((6, 3)), np.array([[0, 1, 1, 2], [0, 1, 2, 1]], I32)
    np.testing.assert_array_equal(_kavro.circumradii(points, rows), [np.inf] * 2)
    np.testing.assert_array_equal(_kavro.circumradii_f32(points.astype(np.float32), rows), [np.inf] * 2)


@pytest.mark.parametrize("scale", [1e-200, 1e200])
def test_circumradii_at_extreme_magnitudes(scale):
    np.testing.assert_allclose(_kavro.circumradii(TRI[:3] * scale, np.array([[0, 1, 2]], I32)),
                               [np.sqrt(0.5) * scale], rtol=4e-16)
    np.testing.assert_allclose(_kavro.circumradii(TET[:4] * scale, np.array([[0, 1, 2, 3]], I32)),
                               [np.sqrt(0.75) * scale], rtol=4e-16)


UNSUPPORTED = "circumradii: unsupported {}D points with {}-vertex simplices (expected 2D/3 or 3D/4)"
P2, P3, VNV = TRI[:4], np.zeros((4, 3)), "vertex_neighbor_vertices"


@pytest.mark.parametrize("f, points, simplices, text", [
    # the simplex width comes first, then the points' width, then the range in row-major order
    ("circumradii", P3, np.zeros((2, 5)), "simplices must have 3 or 4 columns, got 5"),
    ("circumradii", P3, np.full((1, 3), -1), UNSUPPORTED.format(3, 3)),
    ("circumradii", P2, np.zeros((2, 4)), UNSUPPORTED.format(2, 4)),
    ("circumradii", P2, [[0, 1, 2], [0, 9, 7]], "simplex vertex 9 out of range for 4 points"),
    ("circumradii", P2, [[0, -1, 9]], "simplex vertex 4294967295 out of range for 4 points"),  # unsigned
    ("circumradii", P3, [[0, 1, 2, 3], [3, 2, 1, 4]], "simplex vertex 4 out of range for 4 points"),
    ("circumradii", np.zeros((0, 2)), [[0, 0, 0]], "simplex vertex 0 out of range for 0 points"),
    (VNV, np.zeros((3, 1)), 2**31, "simplices must have at least 2 columns"),
    (VNV, np.zeros((0, 0)), 4, "simplices must have at least 2 columns"),
    (VNV, [[0, 1, 2]], 2**31, "n_points does not fit int32"),
    (VNV, [[0, 1, 2], [1, -1, 5]], 4, "simplex vertex -1 out of range for 4 points"),
    (VNV, [[0, 0]], 0, "simplex vertex 0 out of range for 0 points"),
    # one row of k vertices needs k(k-1) slots; 46342 * 46341 exceeds 2**31 - 1, but the
    # range is tested first
    (VNV, [np.arange(46342)], 46342, "adjacency does not fit int32 indptr"),
    (VNV, [np.arange(46342) + 1], 46342,
     "simplex vertex 46342 out of range for 46342 points"),
])
def test_query_errors(f, points, simplices, text):
    if f == VNV:  # (simplices, n_points)
        raises_exactly(ValueError, text, None, _kavro.vertex_neighbor_vertices,
                       np.array(points, I32), simplices)
    else:
        for name, dtype in (("circumradii", np.float64), ("circumradii_f32", np.float32)):
            raises_exactly(ValueError, text, None, getattr(_kavro, name), points.astype(dtype),
                           np.array(simplices, I32))


def neighbour_lists(indptr, indices):
    return [indices[indptr[v]:indptr[v + 1]].tolist() for v in range(len(indptr) - 1)]


@pytest.mark.parametrize("simplices, n_points, indptr, indices", [
    ([[0, 1, 2], [1, 2, 3]], 4, [0, 2, 5, 8, 10], [1, 2, 0, 2, 3, 0, 1, 3, 1, 2]),
    ([[0, 0, 1]], 2, [0, 2, 3], [0, 1, 0]),  # a repeated vertex lists itself
    ([[3, 1]], 5, [0, 0, 1, 1, 2, 2], [3, 1]),  # unused vertices get empty ranges
    (np.empty((0, 4)), 3, [0, 0, 0, 0], []),
])
def test_adjacency_examples(simplices, n_points, indptr, indices):
    got = _kavro.vertex_neighbor_vertices(np.array(simplices, I32), n_points)
    for arr in got:
        check_1d(arr, I32)
    assert [a.tolist() for a in got] == [indptr, indices]


@pytest.mark.parametrize("k", [2, 3, 4, 6])
def test_adjacency_lists_are_the_sorted_sets_of_simplex_mates(k):
    simplices = np.random.default_rng(k).integers(0, 40, (150, k)).astype(I32)
    mates = [set() for _ in range(45)]
    for row in simplices.tolist():
        for j, v in enumerate(row):
            mates[v].update(row[:j] + row[j + 1:])
    strided = np.asfortranarray(np.repeat(simplices, 2, axis=0)[::2])
    assert neighbour_lists(*_kavro.vertex_neighbor_vertices(strided, 45)) == [sorted(s) for s in mates]


def test_adjacency_matches_scipy():
    tri = scipy.spatial.Delaunay(np.random.default_rng(24).random((500, 2)))
    ours = neighbour_lists(*_kavro.vertex_neighbor_vertices(tri.simplices.astype(I32), 500))
    assert ours == [sorted(v) for v in neighbour_lists(*tri.vertex_neighbor_vertices)]


def changes_on_index(change, value=4):
    class N:
        def __index__(self):
            change()
            return value
    return N()


def test_adjacency_reads_simplices_as_n_points_index_left_them():
    # __index__ is user code run after the array was first looked at: the copy must follow
    # what it did to the array, never the shape seen before it ran.
    big = np.zeros((2_000_000, 4), I32)
    got = _kavro.vertex_neighbor_vertices(big, changes_on_index(lambda: big.resize((1, 2), refcheck=False)))
    assert [a.tolist() for a in got] == [[0, 1, 1, 1, 1], [0]]

    rows = np.tile(np.arange(4, dtype=I32), (100, 1))
    got = _kavro.vertex_neighbor_vertices(rows, changes_on_index(lambda: setattr(rows, "shape", (200, 2))))
    assert neighbour_lists(*got) == [[1], [0], [3], [2]]
    rows = np.tile(np.arange(4, dtype=I32), (100, 1))
    raises_exactly(ValueError, "simplices must have at least 2 columns", None,
                   _kavro.vertex_neighbor_vertices, rows,
                   changes_on_index(lambda: setattr(rows, "shape", (400, 1))))

    base = np.zeros((199, 4), I32)
    base[:] = [0, 1, 2, 3]
    rows = base[::2]
    raises_exactly(TypeError, "'ndarray' object is not an instance of 'ndarray'", "simplices",
                   _kavro.vertex_neighbor_vertices, rows,
                   changes_on_index(lambda: setattr(rows, "shape", (100, 2, 2))))

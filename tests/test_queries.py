"""circumradii, circumradii_f32 and vertex_neighbor_vertices."""

import numpy as np
import pytest
import scipy.spatial

import _kavro

I32 = np.int32


def check_1d(arr, dtype):
    assert type(arr) is np.ndarray and arr.dtype == dtype and arr.ndim == 1
    assert arr.flags.c_contiguous and arr.flags.writeable


# -------------------------------------------------------------------------------------
# circumradii

UNIT_TET = np.array([(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0),
                     (1.0, 1.0, 0.0)])
RIGHT_TRIANGLE = np.array([(0.0, 0.0), (1.0, 0.0), (0.0, 1.0), (2.0, 0.0), (np.nan, 0.0)])


@pytest.mark.parametrize("points, simplices, expected", [
    (RIGHT_TRIANGLE, [[0, 1, 2], [2, 1, 0]], [np.sqrt(0.5)] * 2),
    (RIGHT_TRIANGLE, [[0, 0, 1], [1, 2, 1], [0, 1, 3]], [np.inf] * 3),  # repeated or collinear
    (RIGHT_TRIANGLE, [[0, 1, 4]], [np.nan]),
    (UNIT_TET, [[0, 1, 2, 3], [1, 0, 2, 3]], [np.sqrt(0.75)] * 2),
    (UNIT_TET, [[0, 1, 2, 4], [0, 0, 1, 2], [0, 1, 3, 3]], [np.inf] * 3),  # coplanar, repeats
], ids=["right_triangle", "degenerate_triangles", "nan", "unit_tetrahedron", "flat_tetrahedra"])
@pytest.mark.parametrize("f32", [False, True], ids=["f64", "f32"])
def test_circumradii_of_known_simplices(points, simplices, expected, f32):
    f = _kavro.circumradii_f32 if f32 else _kavro.circumradii
    radii = f(points.astype(np.float32 if f32 else np.float64), np.array(simplices, I32))
    check_1d(radii, np.float64)
    np.testing.assert_array_equal(radii, expected)


@pytest.mark.parametrize("dim", [2, 3])
@pytest.mark.parametrize("f32", [False, True], ids=["f64", "f32"])
def test_no_simplices_give_an_empty_array(dim, f32):
    dtype = np.float32 if f32 else np.float64
    f = _kavro.circumradii_f32 if f32 else _kavro.circumradii
    radii = f(np.zeros((4, dim), dtype), np.empty((0, dim + 1), I32))
    assert radii.shape == (0,)
    check_1d(radii, np.float64)


def _jittered_grid(k=30, seed=21):
    rng = np.random.default_rng(seed)
    return (np.indices((k, k)).reshape(2, -1).T + rng.uniform(-0.3, 0.3, (k * k, 2)))


def test_circumradii_of_a_triangulation_match_an_independent_formula():
    points = _jittered_grid()
    simplices, _, _ = _kavro.calculate_kavro_2d(points)
    a, b, c = (points[simplices[:, i]] for i in range(3))
    la, lb, lc = (np.linalg.norm(u - v, axis=1) for u, v in ((b, c), (c, a), (a, b)))
    area = 0.5 * np.abs((b - a)[:, 0] * (c - a)[:, 1] - (b - a)[:, 1] * (c - a)[:, 0])
    np.testing.assert_allclose(_kavro.circumradii(points, simplices), la * lb * lc / (4 * area),
                               rtol=1e-9)


def test_circumradii_of_tetrahedra_match_an_independent_solve():
    rng = np.random.default_rng(22)
    points = rng.random((60, 3))
    simplices = np.array([rng.choice(60, 4, replace=False) for _ in range(200)], I32)
    rel = points[simplices[:, 1:]] - points[simplices[:, :1]]
    centres = np.linalg.solve(2 * rel, (rel**2).sum(axis=2)[..., None])[..., 0]
    np.testing.assert_allclose(_kavro.circumradii(points, simplices),
                               np.linalg.norm(centres, axis=1), rtol=1e-6)


@pytest.mark.parametrize("dim", [2, 3])
def test_circumradii_f32_equals_the_widened_copy(dim):
    rng = np.random.default_rng(23)
    narrow = rng.uniform(-100, 100, (80, dim)).astype(np.float32)
    simplices = np.array([rng.choice(80, dim + 1, replace=False) for _ in range(300)], I32)
    np.testing.assert_array_equal(_kavro.circumradii_f32(narrow, simplices),
                                  _kavro.circumradii(narrow.astype(np.float64), simplices))


def test_circumradii_read_strided_arrays():
    points = _jittered_grid(10)
    simplices, _, _ = _kavro.calculate_kavro_2d(points)
    expected = _kavro.circumradii(points, simplices)
    wide = np.zeros((len(simplices), 6), I32)
    wide[:, 4::-2] = simplices
    np.testing.assert_array_equal(
        _kavro.circumradii(np.asfortranarray(points), wide[:, 4::-2]), expected)


# -------------------------------------------------------------------------------------
# vertex_neighbor_vertices


def neighbour_lists(indptr, indices):
    return [indices[indptr[v]:indptr[v + 1]].tolist() for v in range(len(indptr) - 1)]


@pytest.mark.parametrize("simplices, n_points, indptr, indices", [
    ([[0, 1, 2], [1, 2, 3]], 4, [0, 2, 5, 8, 10], [1, 2, 0, 2, 3, 0, 1, 3, 1, 2]),
    ([[0, 0, 1]], 2, [0, 2, 3], [0, 1, 0]),          # a repeated vertex lists itself
    ([[3, 1]], 5, [0, 0, 1, 1, 2, 2], [3, 1]),       # unused vertices get empty ranges
    (np.empty((0, 3), int), 0, [0], []),
    (np.empty((0, 4), int), 3, [0, 0, 0, 0], []),
])
def test_adjacency_of_small_meshes(simplices, n_points, indptr, indices):
    got_indptr, got_indices = _kavro.vertex_neighbor_vertices(np.array(simplices, I32), n_points)
    check_1d(got_indptr, I32)
    check_1d(got_indices, I32)
    assert got_indptr.tolist() == indptr
    assert got_indices.tolist() == indices


def test_adjacency_matches_scipy():
    points = np.random.default_rng(24).random((500, 2))
    tri = scipy.spatial.Delaunay(points)
    indptr, indices = _kavro.vertex_neighbor_vertices(tri.simplices.astype(I32), len(points))
    ours = neighbour_lists(indptr, indices)
    theirs = neighbour_lists(*tri.vertex_neighbor_vertices)
    assert [sorted(v) for v in theirs] == ours  # scipy's lists are unsorted


@pytest.mark.parametrize("k", [2, 3, 4, 6])
def test_adjacency_lists_are_the_sorted_sets_of_simplex_mates(k):
    rng = np.random.default_rng(k)
    simplices = rng.integers(0, 40, (150, k)).astype(I32)
    mates = [set() for _ in range(45)]
    for row in simplices.tolist():
        for j, v in enumerate(row):
            mates[v].update(u for c, u in enumerate(row) if c != j)
    lists = neighbour_lists(*_kavro.vertex_neighbor_vertices(simplices, 45))
    assert lists == [sorted(s) for s in mates]
    # any memory layout reads the same
    strided = np.asfortranarray(np.repeat(simplices, 2, axis=0)[::2])
    assert neighbour_lists(*_kavro.vertex_neighbor_vertices(strided, 45)) == lists


def test_adjacency_of_a_triangulation_is_its_edge_set():
    points = _jittered_grid(20)
    simplices, _, _ = _kavro.calculate_kavro_2d(points)
    edges = {frozenset(e) for t in simplices.tolist() for e in ((t[0], t[1]), (t[1], t[2]), (t[2], t[0]))}
    lists = neighbour_lists(*_kavro.vertex_neighbor_vertices(simplices, len(points)))
    assert {frozenset((v, u)) for v, us in enumerate(lists) for u in us} == edges

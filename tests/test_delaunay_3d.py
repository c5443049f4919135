"""The sequential 3D build, judged by the one invariant checker."""

import numpy as np
import pytest
import scipy.spatial
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import _kavro
from helpers import (assert_same, COPLANAR, POINT_SETS_3D, centred, check_tetrahedralization, expected_error_3d,
                     grid3, triangle_set)


def nearly_flat(points):
    """Lifted points within a relative 1e-6 of one hyperplane: the kernel's float seed
    search may refuse them although they span the lifted space exactly."""
    c = centred(points)
    lifted = np.column_stack([c, (c * c).sum(axis=1)])
    s = np.linalg.svd(lifted - lifted.mean(axis=0), compute_uv=False)
    return not s[0] > 0 or s[-1] <= 1e-6 * s[0]


def check_build(points):
    """The build passes the checker, or raises the one refusal the input calls for."""
    expected = expected_error_3d(points)
    try:
        result = _kavro.calculate_kavro_3d(points)
    except ValueError as exc:
        assert str(exc) == expected or (str(exc) == COPLANAR and nearly_flat(points)), str(exc)
        return None
    assert expected is None, f"built although it should refuse: {expected}"
    check_tetrahedralization(points, *result)
    return result


@pytest.mark.parametrize("name", POINT_SETS_3D)
def test_named_sets(name):
    assert check_build(POINT_SETS_3D[name]()) is not None


@pytest.mark.parametrize("n", [5, 6, 50, 1000, 5000])
@pytest.mark.parametrize("seed", range(2))
def test_matches_scipy_in_general_position(n, seed):
    points = np.random.default_rng([n, seed, 3]).uniform(-5, 5, (n, 3))  # a unique answer
    result = _kavro.calculate_kavro_3d(points)
    assert triangle_set(result[0]) == triangle_set(scipy.spatial.Delaunay(points).simplices)
    if n <= 1000:
        check_tetrahedralization(points, *result)


CUBE = grid3(2)
_plane = np.random.default_rng(7).uniform(-1, 1, (40, 2))


@pytest.mark.parametrize("points, message", [
    (np.empty((0, 3)), "not enough distinct points (got 0)"),
    (CUBE[[0, 1, 2, 4]], "not enough distinct points (got 4)"),
    (CUBE[[0, 1, 2, 4, 0, 1, 2, 4]], "not enough distinct points (got 4)"),
    (CUBE, COPLANAR),  # all eight corners lie on one sphere
    (np.column_stack([_plane, _plane @ [0.5, -2.0] + 1.0]), COPLANAR),
    (np.vstack([np.random.default_rng(8).random((20, 3)), [[np.nan, 0.5, 0.5]]]), COPLANAR),
], ids=["empty", "four", "four_with_copies", "cube_corners", "plane", "nan"])
def test_refusals(points, message):
    with pytest.raises(ValueError) as info:
        _kavro.calculate_kavro_3d(points)
    assert str(info.value) == message


_grid_pairs = np.random.default_rng(5).integers(-50, 51, size=(20, 3)).astype(float)
_grid_pairs = np.vstack([_grid_pairs, -_grid_pairs])  # keeps the centroid at exactly 0
_five = [(0.0, 0.0, 0.0), (4.0, 0.5, 0.25), (0.5, 3.0, 0.75), (0.25, 0.5, 5.0), (3.0, 3.5, 4.0)]


@pytest.mark.parametrize("points, duplicates", [
    (_five[:3] + [_five[1]] + _five[3:], [[3, 1]]),
    (_five[:2] + [_five[1]] + _five[2:4] + [_five[1]] + _five[4:], [[2, 1], [5, 1]]),
    # x sums to +0.0, so the -0.0 copy keeps its sign once centred and is the one kept
    ([(1.0, 5.0, 0.0), (-1.0, 3.0, 1.0), (2.0, 0.0, 0.5), (-2.0, -1.0, 1.0), (0.0, 1.0, 2.0),
      (-0.0, 1.0, 2.0)], [[4, 5]]),
    # (-0.0, 7, 3) and (+0.0, 7, 3) have equal heights and (0, -7, 3) sorts between them,
    # so both are inserted: the one the hull does not use becomes a duplicate row
    (np.vstack([_grid_pairs, [(-0.0, 7, 3), (0.0, -7, 3), (0.0, 7, 3), (1, -7, -6), (-1, 0, -3)]]),
     [[40, 42]]),
], ids=["one_copy", "three_copies", "signed_zero_copy", "split_signed_zero_copy"])
def test_duplicate_rows(points, duplicates):
    result = _kavro.calculate_kavro_3d(np.array(points))
    assert result[2].tolist() == duplicates
    check_tetrahedralization(np.array(points), *result)


@pytest.mark.parametrize("name", ["uniform", "grid_5", "duplicated_uniform", "signed_zeros",
                                  "jittered_grid_2^-20"])
def test_float32_and_strided_inputs_agree(name):
    points = POINT_SETS_3D[name]()
    narrow = points.astype(np.float32)
    assert_same(_kavro.calculate_kavro_3d_f32(narrow), _kavro.calculate_kavro_3d(narrow.astype(np.float64)))
    want = _kavro.calculate_kavro_3d(points)
    wide = np.zeros((len(points), 7))
    wide[:, 5:2:-1] = points
    for view in (np.asfortranarray(points), wide[:, 5:2:-1], np.repeat(points, 2, axis=0)[::2]):
        assert_same(_kavro.calculate_kavro_3d(view), want)


def test_point_inside_a_tetrahedron_makes_four():
    points = np.array(_five[:4] + [(1.0, 1.0, 1.0)])
    simplices, neighbors, duplicates = _kavro.calculate_kavro_3d(points)
    assert len(simplices) == 4 and (simplices == 4).any(axis=1).all()
    assert ((neighbors == -1).sum(axis=1) == 1).all()
    check_tetrahedralization(points, simplices, neighbors, duplicates)


# -------------------------------------------------------------------------------------
# the checker itself must reject what a faulty kernel could return

# a bipyramid whose apexes see each other inside the circumsphere: the three tetrahedra
# around the axis are Delaunay, the two across the equator (positive rows here) are not
BIPYRAMID = np.array([(0.0, 0.0, 1.0), (0.0, 0.0, -1.0), (2.0, 0.0, 0.0), (-1.0, 1.7, 0.0),
                      (-1.0, -1.7, 0.0)])


def _broken(kind):
    if kind == "not_delaunay":
        return BIPYRAMID, [[0, 2, 4, 3], [1, 2, 3, 4]], [[1, -1, -1, -1], [0, -1, -1, -1]], []
    points = np.array(_five[:4] + [(1.0, 1.0, 1.0), _five[2]])
    tet, nb, dup = (a.tolist() for a in _kavro.calculate_kavro_3d(points))
    if kind == "negative":
        tet[0][:2] = tet[0][1::-1]
    elif kind == "wrong_neighbour":
        nb[0] = [-1 if v == -1 else 0 for v in nb[0]]
    elif kind == "hole":  # every point still used, but one tetrahedron is missing
        tet, nb = tet[1:], [[-1 if v in (-1, 0) else v - 1 for v in row] for row in nb[1:]]
    elif kind == "unequal_copy":
        dup = [[5, 0]]
    elif kind == "point_left_out":
        dup = []
    return points, tet, nb, dup


@pytest.mark.parametrize("kind", ["not_delaunay", "negative", "wrong_neighbour", "hole",
                                  "unequal_copy", "point_left_out"])
def test_checker_rejects_broken_tetrahedralizations(kind):
    points, *arrays = _broken(kind)
    with pytest.raises(AssertionError):
        check_tetrahedralization(points, *(np.array(a, np.int32).reshape(-1, c)
                                           for a, c in zip(arrays, (4, 4, 2))))


# -------------------------------------------------------------------------------------
# generated inputs

# tiny magnitudes are flushed to zero: exactness is not promised where predicates underflow
coordinate = st.floats(-1e6, 1e6, allow_nan=False, allow_subnormal=False).map(
    lambda v: v if v == 0 or abs(v) > 1e-20 else 0.0)
GENERATED = {
    "uniform": st.integers(4, 40).flatmap(lambda n: hnp.arrays(np.float64, (n, 3), elements=coordinate)),
    "small_grid_with_duplicates": st.integers(4, 60).flatmap(
        lambda n: hnp.arrays(np.float64, (n, 3), elements=st.integers(-2, 2).map(float))),
}


@pytest.mark.parametrize("kind", GENERATED)
@settings(max_examples=50, deadline=None)
@given(data=st.data())
def test_generated(kind, data):
    check_build(data.draw(GENERATED[kind], label="points"))

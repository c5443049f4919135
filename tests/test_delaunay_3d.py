"""The sequential 3D build, judged by the one invariant checker."""

import numpy as np
import pytest
import scipy.spatial
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import _kavro
from helpers import (COPLANAR, LATTICE_SPHERE, POINT_SETS_3D, assert_same, at_any_power_of_two, build, check_build,
                     check_builds, check_tetrahedralization, coordinate, decimal, dyadic, far_grids, grid3,
                     nudge, on_sphere, point_arrays, power_of_two_exponents, rng, signed_zero_copies, triangle_set, unit)


@pytest.mark.parametrize("name", POINT_SETS_3D)
def test_named_sets(name):
    assert not isinstance(check_build(POINT_SETS_3D[name]()), str)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("name", ["uniform", "uniform_far_offset", "grid_5", "duplicated_uniform", "signed_zeros",
                                  "jittered_grid_2^-20", "lattice_sphere_with_centre", "five_on_a_quarter_grid"])
def test_power_of_two_scaling_changes_nothing(name, dtype):
    points = POINT_SETS_3D[name]().astype(dtype)
    want = check_build(points)  # exact signs do not see the scale: judging one scale suffices
    for e in power_of_two_exponents(points, 50 if dtype == np.float64 else 10):
        assert_same(build(np.ldexp(points, e)), want, f"scaled by 2**{e}")


@pytest.mark.parametrize("size", range(5, 13))
def test_small_grid_subsets(size):
    # subsets of one grid are full of exact coplanar and cospherical points, and their
    # centroids round: every decision in a shifted copy is a chance to get one wrong
    r = rng(f"grid3 subsets {size}")
    check_builds(grid3(4)[r.choice(64, size, replace=False)] for _ in range(400))


_LATTICE = np.array(LATTICE_SPHERE)
# small sets within rounding of one sphere: nearly every five are nearly cospherical
NEAR_SPHERE = {
    "rounded": lambda r, n: on_sphere(r.normal(size=(n, 3))),
    "jittered_2^-44": lambda r, n: on_sphere(r.normal(size=(n, 3))) * (1 + r.uniform(-1, 1, (n, 1)) * 2.0**-44),
    "lattice_nudged": lambda r, n: nudge(_LATTICE[r.choice(len(_LATTICE), n, replace=False)] / 9,
                                         r.integers(-2, 3, (n, 3))),
}


@pytest.mark.parametrize("kind", NEAR_SPHERE)
def test_nearly_cospherical_sets(kind):
    r = rng(f"near sphere {kind}")
    check_builds(NEAR_SPHERE[kind](r, int(r.integers(6, 25))) for _ in range(150))


@pytest.mark.parametrize("n", [5, 6, 50, 1000, 5000])
@pytest.mark.parametrize("seed", range(2))
def test_matches_scipy_in_general_position(n, seed):
    points = np.random.default_rng([n, seed, 3]).uniform(-5, 5, (n, 3))  # a unique answer
    result = _kavro.calculate_kavro_3d(points)
    assert triangle_set(result[0]) == triangle_set(scipy.spatial.Delaunay(points).simplices)
    if n <= 1000:
        check_tetrahedralization(points, *result)


CUBE = grid3(2)
_plane = np.random.default_rng(7).integers(-64, 65, (40, 2)) / 64  # z below is exact


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
    # where -0.0 and +0.0 copies meet, the first in IEEE total order keeps the group
    ([(1.0, 5.0, 0.0), (-1.0, 3.0, 1.0), (2.0, 0.0, 0.5), (-2.0, -1.0, 1.0), (0.0, 1.0, 2.0),
      (-0.0, 1.0, 2.0)], [[4, 5]]),
    # (-0.0, 7, 3) and (+0.0, 7, 3) have equal heights and (0, -7, 3) sorts between them:
    # still one group, kept by its -0.0 member
    (np.vstack([_grid_pairs, [(-0.0, 7, 3), (0.0, -7, 3), (0.0, 7, 3), (1, -7, -6), (-1, 0, -3)]]),
     [[42, 40]]),
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
    if kind == "flat_in_the_input":  # positive only in a copy shifted by its rounded centroid
        return (POINT_SETS_3D["five_on_a_quarter_grid"](), [[0, 4, 1, 2], [3, 0, 1, 2], [3, 4, 0, 2]],
                [[-1, 1, 2, -1], [0, -1, 2, -1], [0, 1, -1, -1]], [])
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


@pytest.mark.parametrize("kind", ["not_delaunay", "flat_in_the_input", "negative", "wrong_neighbour", "hole",
                                  "unequal_copy", "point_left_out"])
def test_checker_rejects_broken_tetrahedralizations(kind):
    points, *arrays = _broken(kind)
    with pytest.raises(AssertionError):
        check_tetrahedralization(points, *(np.array(a, np.int32).reshape(-1, c)
                                           for a, c in zip(arrays, (4, 4, 2))))


# -------------------------------------------------------------------------------------
# generated inputs


@st.composite
def near_a_sphere(draw):
    """Lattice points of one sphere (with perhaps a point or two off it), or points
    rounded onto a sphere and perhaps moved by a few ulps."""
    if draw(st.booleans()):
        on = draw(st.lists(st.sampled_from(range(len(LATTICE_SPHERE))), min_size=4, max_size=30))
        off = draw(st.lists(st.tuples(*[st.integers(-9, 9)] * 3), max_size=2))
        return np.array([LATTICE_SPHERE[i] for i in on] + off, dtype=np.float64)
    n = draw(st.integers(5, 30))
    z, t = (np.array(draw(st.lists(st.floats(lo, hi), min_size=n, max_size=n))) for lo, hi in ((-1, 1), (0, 7)))
    r, centre = draw(st.floats(1e-3, 1e3)), np.array(draw(st.tuples(dyadic, dyadic, dyadic)))
    s = np.sqrt(1 - z * z)
    points = centre + r * np.column_stack([s * np.cos(t), s * np.sin(t), z])
    return nudge(points, draw(hnp.arrays(np.int64, (n, 3), elements=st.integers(-2, 2))))


@st.composite
def nearly_coplanar(draw):
    origin = np.array(draw(st.tuples(dyadic, dyadic, dyadic)))
    u, v = (np.array(draw(st.tuples(unit, unit, unit))) for _ in range(2))
    coef = np.array(draw(st.lists(st.tuples(unit, unit), min_size=4, max_size=40)))
    points = nudge(origin + coef[:, :1] * u + coef[:, 1:] * v,
                   draw(hnp.arrays(np.int64, (len(coef), 3), elements=st.integers(-3, 3))))
    off = draw(st.one_of(st.none(), unit))  # perhaps one point off the plane
    return points if off is None else np.vstack([points, origin + off * np.cross(u, v)])


GENERATED = {
    "uniform": point_arrays(coordinate, 3, 4, 40),
    "small_grid_with_duplicates": point_arrays(st.integers(-2, 2).map(float), 3, 4, 60),
    "decimals": point_arrays(decimal, 3, 4, 40),
    "grid_far_from_origin": far_grids(3),
    "near_a_sphere": near_a_sphere(),
    "nearly_coplanar": nearly_coplanar(),
    "signed_zero_copies": signed_zero_copies(3),
}


@pytest.mark.parametrize("kind", GENERATED)
@settings(max_examples=50)
@given(data=st.data())
def test_generated(kind, data):
    check_build(data.draw(GENERATED[kind], label="points"))


@settings(max_examples=100)
@given(data=st.data())
def test_generated_at_any_power_of_two_scale(data):
    points, e = at_any_power_of_two(data, GENERATED)
    assert_same(check_build(np.ldexp(points, e)), build(points))

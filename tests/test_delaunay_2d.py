"""Correctness of the sequential 2D build, always judged by the one invariant checker."""

import numpy as np
import pytest
import scipy.spatial
from hypothesis import given, strategies as st
from hypothesis.extra import numpy as hnp

import _kavro
from helpers import (HUGE, POINT_SETS, PYTHAGOREAN, TINY, centred, check_triangulation,
                     expected_error, nudge, points_on_seed_edges, triangle_set)


def check_build(points):
    """Build points and hold the outcome to the invariants, or to the one refusal the
    kernel's rules call for."""
    expected = expected_error(points)
    try:
        result = _kavro.calculate_kavro_2d(points)
    except ValueError as exc:
        assert str(exc) == expected
        return None
    assert expected is None, f"built although it should refuse: {expected}"
    check_triangulation(points, *result)
    return result


@pytest.mark.parametrize("name", POINT_SETS)
def test_named_sets(name):
    assert check_build(POINT_SETS[name]()) is not None


@pytest.mark.parametrize("name", ["uniform", "clustered", "integer_grid", "duplicated_uniform",
                                  "signed_zeros", "exactly_cocircular_with_centre"])
@pytest.mark.parametrize("scale", [HUGE, TINY], ids=["huge", "tiny"])
def test_power_of_two_scaling_changes_nothing(name, scale):
    points = POINT_SETS[name]()
    for got, want in zip(_kavro.calculate_kavro_2d(points * scale), _kavro.calculate_kavro_2d(points)):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("n", [4, 7, 50, 1000, 20000])
@pytest.mark.parametrize("seed", range(3))
def test_matches_scipy_in_general_position(n, seed):
    # uniform random doubles are in general position, where the triangulation is unique
    points = np.random.default_rng([n, seed]).uniform(-5, 5, (n, 2))
    simplices, neighbors, duplicates = _kavro.calculate_kavro_2d(points)
    assert triangle_set(simplices) == triangle_set(scipy.spatial.Delaunay(points).simplices)
    check_triangulation(points, simplices, neighbors, duplicates)


@pytest.mark.slow
@pytest.mark.parametrize("make", [
    lambda: np.random.default_rng(11).random((300_000, 2)),
    lambda: np.indices((400, 400)).reshape(2, -1).T.astype(np.float64),
], ids=["uniform", "grid"])
def test_large_sets(make):
    points = make()
    check_triangulation(points, *_kavro.calculate_kavro_2d(points))


# -------------------------------------------------------------------------------------
# the few cases whose rows the rules fix


@pytest.mark.parametrize("points, first", [
    ([(0.0, 0.0), (2.0, 0.0), (0.0, 2.0)], 0),
    ([(2.0, 0.0), (0.0, 2.0), (0.0, 0.0)], 2),
    ([(-1.0, 0.0), (1.0, 0.0), (0.0, 3.0)], 0),   # 0 and 1 tie: the lower index wins
    ([(0.0, 3.0), (1.0, 0.0), (-1.0, 0.0)], 1),
    ([(5.0, 5.0), (5.0, 6.0), (1e6, 1e6)], 1),
])
def test_three_points_give_one_triangle_opening_at_the_centre(points, first):
    simplices, neighbors, duplicates = _kavro.calculate_kavro_2d(np.array(points))
    assert simplices.shape == (1, 3) and simplices[0, 0] == first
    assert sorted(simplices[0]) == [0, 1, 2]
    assert neighbors.tolist() == [[-1, -1, -1]]
    assert duplicates.shape == (0, 2)
    check_triangulation(np.array(points), simplices, neighbors, duplicates)


@pytest.mark.parametrize("points, m", [
    ([(5.0, 0.0), (0.0, 5.0), (-5.0, 0.0), (0.0, -5.0), (3.0, 4.0), (-4.0, -3.0)], 4),
    ([(1.0, 1.0), (-1.0, 1.0), (-1.0, -1.0), (1.0, -1.0), (0.0, 0.0)], 4),
])
def test_cocircular_points(points, m):
    simplices, *rest = _kavro.calculate_kavro_2d(np.array(points))
    assert len(simplices) == m
    check_triangulation(np.array(points), simplices, *rest)


@pytest.mark.parametrize("points", [
    [(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0)],
    [(0.0, 1.0), (0.0, 0.0), (1.0, 0.0), (1.0, 1.0)],
])
def test_cocircular_square_keeps_the_diagonal_of_insertion(points):
    # every seed choice ties, so the lowest indices win: seed triangle (0, 1, 2), then
    # point 3 joins the edge 2-0, and the in-circle tie flips nothing
    simplices, neighbors, _ = _kavro.calculate_kavro_2d(np.array(points))
    assert simplices.tolist() == [[0, 1, 2], [2, 3, 0]]
    assert neighbors.tolist() == [[-1, 1, -1], [-1, 0, -1]]


def test_copies_keep_the_lowest_index():
    rng = np.random.default_rng(12)
    base = rng.random((50, 2))
    owner = rng.integers(0, 50, 400)
    points = base[owner]
    _, _, duplicates = _kavro.calculate_kavro_2d(points)
    first_of = {}
    for i, o in enumerate(owner.tolist()):
        first_of.setdefault(o, i)
    expected = {(i, first_of[o]) for i, o in enumerate(owner.tolist()) if first_of[o] != i}
    assert set(map(tuple, duplicates.tolist())) == expected
    assert len(duplicates) == len(expected)


def test_negative_zero_precedes_positive_zero_among_copies():
    points = POINT_SETS["signed_zeros"]()
    assert (centred(points)[6:] == points[6:]).all()  # the zeros keep their signs
    _, _, duplicates = _kavro.calculate_kavro_2d(points)
    rows = duplicates.tolist()
    # groups: {6 +0, 7 -0, 14 -0} at y=3 and {8 -0, 9 +0, 15 +0} at y=-3, then
    # {10, 11} and {12, 13} differing in the sign of y
    assert set(map(tuple, rows)) == {(14, 7), (6, 7), (9, 8), (15, 8), (10, 11), (13, 12)}
    assert rows.index([14, 7]) < rows.index([6, 7])  # sweep order inside a group
    assert rows.index([9, 8]) < rows.index([15, 8])


def test_copies_of_a_seed_point_at_the_seed():
    # the point nearest the centroid (index 0, +0.0) is the first seed; its copy with
    # -0.0 comes first in the sweep but must still name the seed
    points = np.array([(0.0, 0.0), (1.0, 1.0), (-1.0, 1.0), (-1.0, -1.0), (1.0, -1.0),
                       (-0.0, 0.0), (3.0, 0.5), (0.0, 0.0), (-3.0, -0.5)])
    simplices, neighbors, duplicates = _kavro.calculate_kavro_2d(points)
    assert duplicates.tolist() == [[5, 0], [7, 0]]
    check_triangulation(points, simplices, neighbors, duplicates)


def test_duplicate_rows_follow_the_sweep_not_the_index_order():
    # the sweep starts at the small seed circle near (1, 1) and reaches (10, 10) last
    points = np.array([(10.0, 10.0), (10.0, 10.0), (-1.0, -1.0), (1.0, -1.0), (1.0, 1.0),
                       (-1.0, 1.0), (0.5, 0.25), (0.5, 0.25)])
    simplices, neighbors, duplicates = _kavro.calculate_kavro_2d(points)
    assert duplicates.tolist() == [[7, 6], [1, 0]]
    check_triangulation(points, simplices, neighbors, duplicates)


# -------------------------------------------------------------------------------------
# points the sweep meets on or inside its hull


def test_point_inside_the_hull_during_the_sweep_is_inserted():
    points = POINT_SETS["point_inside_seed_hull_regression"]()
    simplices, neighbors, duplicates = _kavro.calculate_kavro_2d(points)
    assert sorted(np.unique(simplices)) == list(range(8))
    check_triangulation(points, simplices, neighbors, duplicates)


SEED_EDGE_SETS = points_on_seed_edges(8)


def test_seed_edge_family_is_not_empty():
    assert len(SEED_EDGE_SETS) == 8


@pytest.mark.parametrize("index", range(len(SEED_EDGE_SETS)))
def test_point_on_a_seed_edge_is_inserted(index):
    points = SEED_EDGE_SETS[index]
    assert check_build(points) is not None


# -------------------------------------------------------------------------------------
# generated inputs

# Coordinates far below the others' ulp would underflow inside the exact predicates,
# where exactness is not promised; they are flushed to zero (keeping -0.0).
coordinate = st.floats(-1e6, 1e6, allow_nan=False, allow_subnormal=False).map(
    lambda v: v if v == 0 or abs(v) > 1e-20 else 0.0)
dyadic = st.integers(-2**20, 2**20).map(lambda k: k * 2.0**-20)
small_int = st.integers(-3, 3).map(float)


def point_arrays(elements, min_size=3, max_size=60):
    return st.integers(min_size, max_size).flatmap(
        lambda n: hnp.arrays(np.float64, (n, 2), elements=elements))


@st.composite
def on_circle(draw):
    if draw(st.booleans()):
        return np.array(draw(st.lists(st.sampled_from(PYTHAGOREAN), min_size=3, max_size=30)), float)
    t = np.array(draw(st.lists(st.floats(0, 2 * np.pi), min_size=3, max_size=40)))
    r = draw(st.floats(1e-3, 1e3))
    cx, cy = draw(dyadic), draw(dyadic)
    return np.column_stack([cx + r * np.cos(t), cy + r * np.sin(t)])


@st.composite
def nearly_collinear(draw):
    n = draw(st.integers(3, 40))
    unit = st.floats(-1, 1).map(lambda v: v if abs(v) > 1e-9 else 0.0)
    origin = np.array([draw(dyadic), draw(dyadic)])
    direction = np.array([draw(unit), draw(unit)])
    t = np.array(draw(st.lists(unit, min_size=n, max_size=n)))
    points = nudge(origin + t[:, None] * direction,
                   draw(hnp.arrays(np.int64, (n, 2), elements=st.integers(-3, 3))))
    if draw(st.booleans()):
        off = draw(unit)
        points = np.vstack([points, origin + off * np.array([-direction[1], direction[0]])])
    return points


@st.composite
def near_coincident_clusters(draw):
    centres = draw(st.lists(st.tuples(dyadic, dyadic), min_size=1, max_size=6))
    parts = []
    for centre in centres:
        k = draw(st.integers(1, 8))
        steps = draw(hnp.arrays(np.int64, (k, 2), elements=st.integers(-4, 4)))
        parts.append(nudge(np.tile(centre, (k, 1)), steps))
    points = np.vstack(parts)
    return points[draw(st.permutations(range(len(points))))]


@st.composite
def symmetric_with_signed_zeros(draw):
    # rows p, -p, q, -q, ... keep the centroid at exactly +0.0, so signed zeros survive
    half = draw(point_arrays(st.sampled_from([-1.0, -0.5, -0.0, 0.0, 0.5, 1.0, 2.0]), 2, 20))
    points = np.empty((2 * len(half), 2))
    points[0::2], points[1::2] = half, -half
    return points


@given(point_arrays(coordinate))
def test_generated_general_floats(points):
    check_build(points)


@given(point_arrays(small_int))
def test_generated_small_grids_with_duplicates(points):
    check_build(points)


@given(on_circle())
def test_generated_points_on_a_circle(points):
    check_build(points)


@given(nearly_collinear())
def test_generated_nearly_collinear(points):
    check_build(points)


@given(near_coincident_clusters())
def test_generated_near_coincident_clusters(points):
    check_build(points)


@given(symmetric_with_signed_zeros())
def test_generated_signed_zero_duplicates(points):
    check_build(points)


@given(point_arrays(dyadic), st.sampled_from([HUGE, TINY]))
def test_generated_huge_and_tiny_magnitudes(points, scale):
    scaled = check_build(points * scale)
    if scaled is not None:
        for got, want in zip(scaled, _kavro.calculate_kavro_2d(points)):
            np.testing.assert_array_equal(got, want)


@given(point_arrays(st.floats(-1e3, 1e3, width=32, allow_subnormal=False).map(
    lambda v: v if v == 0 or abs(v) > 1e-10 else 0.0)))
def test_generated_float32_matches_its_widened_copy(points):
    narrow = points.astype(np.float32)
    wide = check_build(narrow.astype(np.float64))
    if wide is None:
        with pytest.raises(ValueError) as info:
            _kavro.calculate_kavro_2d_f32(narrow)
        assert str(info.value) == expected_error(narrow.astype(np.float64))
        return
    for got, want in zip(_kavro.calculate_kavro_2d_f32(narrow), wide):
        np.testing.assert_array_equal(got, want)

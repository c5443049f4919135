"""The sequential 2D build, judged by the one invariant checker."""

import numpy as np
import pytest
import scipy.spatial
from hypothesis import given, strategies as st
from hypothesis.extra import numpy as hnp

import _kavro
from helpers import (assert_same, HUGE, POINT_SETS, PYTHAGOREAN, TINY, check_triangulation, expected_error,
                     nudge, points_on_seed_edges, symmetric, triangle_set)


def check_build(points):
    """The build passes the checker, or raises the one refusal the kernel's rules call for."""
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


@pytest.mark.parametrize("name", ["uniform", "integer_grid", "duplicated_grid", "signed_zeros",
                                  "cocircular_with_centre"])
def test_power_of_two_scaling_changes_nothing(name):
    points = POINT_SETS[name]()
    for scale in (HUGE, TINY):
        assert_same(_kavro.calculate_kavro_2d(points * scale), _kavro.calculate_kavro_2d(points))


@pytest.mark.parametrize("n", [4, 7, 50, 1000, 20000])
@pytest.mark.parametrize("seed", range(3))
def test_matches_scipy_in_general_position(n, seed):
    points = np.random.default_rng([n, seed]).uniform(-5, 5, (n, 2))  # a unique triangulation
    result = _kavro.calculate_kavro_2d(points)
    assert triangle_set(result[0]) == triangle_set(scipy.spatial.Delaunay(points).simplices)
    check_triangulation(points, *result)


SQUARE = ([[0, 1, 2], [2, 3, 0]], [[-1, 1, -1], [-1, 0, -1]])


@pytest.mark.parametrize("points, simplices, neighbors", [
    # a lone triangle opens at the point nearest the centroid (on a tie, the lower index)
    ([(0.0, 0.0), (2.0, 0.0), (0.0, 2.0)], [[0, 1, 2]], [[-1, -1, -1]]),
    ([(2.0, 0.0), (0.0, 2.0), (0.0, 0.0)], [[2, 0, 1]], [[-1, -1, -1]]),
    ([(0.0, 3.0), (1.0, 0.0), (-1.0, 0.0)], [[1, 0, 2]], [[-1, -1, -1]]),
    ([(5.0, 5.0), (5.0, 6.0), (1e6, 1e6)], [[1, 0, 2]], [[-1, -1, -1]]),
    # cocircular: the in-circle tie flips nothing, so the diagonal of insertion stays
    ([(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0)], *SQUARE),
    ([(0.0, 1.0), (0.0, 0.0), (1.0, 0.0), (1.0, 1.0)], *SQUARE),
])
def test_worked_examples(points, simplices, neighbors):
    got = _kavro.calculate_kavro_2d(np.array(points))
    assert got[0].tolist() == simplices and got[1].tolist() == neighbors and got[2].shape == (0, 2)


@pytest.mark.parametrize("points, duplicates", [
    # copies of the first seed; the -0.0 copy comes first in the sweep yet names the seed
    ([(0.0, 0.0), (1.0, 1.0), (-1.0, 1.0), (-1.0, -1.0), (1.0, -1.0), (-0.0, 0.0), (3.0, 0.5),
      (0.0, 0.0), (-3.0, -0.5)], [[5, 0], [7, 0]]),
    # rows follow the sweep, which starts near (0.5, 0.25) and reaches (10, 10) last
    ([(10.0, 10.0), (10.0, 10.0), (-1.0, -1.0), (1.0, -1.0), (1.0, 1.0), (-1.0, 1.0), (0.5, 0.25),
      (0.5, 0.25)], [[7, 6], [1, 0]]),
    # where -0.0 and +0.0 mix, the first in IEEE total order is kept
    (POINT_SETS["signed_zeros"](), [[9, 7], [15, 7], [13, 11], [10, 12], [14, 8], [6, 8]]),
], ids=["seed_copies", "sweep_order", "signed_zeros"])
def test_duplicate_rows(points, duplicates):
    result = _kavro.calculate_kavro_2d(np.array(points))
    assert result[2].tolist() == duplicates
    check_triangulation(np.array(points), *result)


SEED_EDGE_SETS = points_on_seed_edges(8)


@pytest.mark.parametrize("index", range(8))
def test_point_exactly_on_a_seed_edge_is_inserted(index):
    assert check_build(SEED_EDGE_SETS[index]) is not None


# -------------------------------------------------------------------------------------
# generated inputs

# Coordinates far below the others' ulp would underflow inside the exact predicates,
# where exactness is not promised; they are flushed to zero (keeping -0.0).
coordinate = st.floats(-1e6, 1e6, allow_nan=False, allow_subnormal=False).map(
    lambda v: v if v == 0 or abs(v) > 1e-20 else 0.0)
dyadic = st.integers(-2**20, 2**20).map(lambda k: k * 2.0**-20)
unit = st.floats(-1, 1).map(lambda v: v if abs(v) > 1e-9 else 0.0)


def point_arrays(elements, min_size=3, max_size=60):
    return st.integers(min_size, max_size).flatmap(
        lambda n: hnp.arrays(np.float64, (n, 2), elements=elements))


@st.composite
def on_circle(draw):
    if draw(st.booleans()):
        return np.array(draw(st.lists(st.sampled_from(PYTHAGOREAN), min_size=3, max_size=30)), float)
    t = np.array(draw(st.lists(st.floats(0, 2 * np.pi), min_size=3, max_size=40)))
    r, cx, cy = draw(st.floats(1e-3, 1e3)), draw(dyadic), draw(dyadic)
    return np.column_stack([cx + r * np.cos(t), cy + r * np.sin(t)])


@st.composite
def nearly_collinear(draw):
    origin, direction = np.array(draw(st.tuples(dyadic, dyadic))), np.array(draw(st.tuples(unit, unit)))
    t = np.array(draw(st.lists(unit, min_size=3, max_size=40)))
    points = nudge(origin + t[:, None] * direction,
                   draw(hnp.arrays(np.int64, (len(t), 2), elements=st.integers(-3, 3))))
    off = draw(st.one_of(st.none(), unit))  # perhaps one point off the line
    return points if off is None else np.vstack([points, origin + off * direction[::-1] * [-1, 1]])


@st.composite
def near_coincident_clusters(draw):
    centres = np.array(draw(st.lists(st.tuples(dyadic, dyadic), min_size=1, max_size=6)))
    owner = draw(hnp.arrays(np.int64, st.integers(1, 40), elements=st.integers(0, len(centres) - 1)))
    steps = draw(hnp.arrays(np.int64, (len(owner), 2), elements=st.integers(-4, 4)))
    return nudge(centres[owner], steps)


GENERATED = {
    "uniform": point_arrays(coordinate),
    "small_grid_with_duplicates": point_arrays(st.integers(-3, 3).map(float)),
    "on_a_circle": on_circle(),
    "nearly_collinear": nearly_collinear(),
    "near_coincident_clusters": near_coincident_clusters(),
    # pairs p, -p keep the centroid at +0.0, so copies differ in the signs of their zeros
    "signed_zero_copies": point_arrays(st.sampled_from([-1.0, -0.5, -0.0, 0.0, 0.5, 1.0, 2.0]),
                                       2, 20).map(symmetric),
}


@pytest.mark.parametrize("kind", GENERATED)
@given(data=st.data())
def test_generated(kind, data):
    check_build(data.draw(GENERATED[kind], label="points"))


@given(point_arrays(dyadic), st.sampled_from([HUGE, TINY]))
def test_generated_huge_and_tiny_magnitudes(points, scale):
    scaled = check_build(points * scale)
    if scaled is not None:
        assert_same(scaled, _kavro.calculate_kavro_2d(points))

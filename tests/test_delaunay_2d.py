"""The sequential 2D build, judged by the one invariant checker."""

import numpy as np
import pytest
import scipy.spatial
from hypothesis import given, strategies as st
from hypothesis.extra import numpy as hnp

import _kavro
from helpers import (POINT_SETS, PYTHAGOREAN, assert_same, at_any_power_of_two, build, check_build, check_builds,
                     check_triangulation, coordinate, decimal, dyadic, far_grids, grid, nudge, point_arrays,
                     points_on_seed_edges, power_of_two_exponents, rng, signed_zero_copies, triangle_set, unit)


@pytest.mark.parametrize("name", POINT_SETS)
def test_named_sets(name):
    assert not isinstance(check_build(POINT_SETS[name]()), str)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("name", ["uniform", "uniform_far_offset", "integer_grid", "duplicated_grid", "signed_zeros",
                                  "cocircular_with_centre", "nearly_collinear", "five_integer_points"])
def test_power_of_two_scaling_changes_nothing(name, dtype):
    points = POINT_SETS[name]().astype(dtype)
    want = check_build(points)  # exact signs do not see the scale: judging one scale suffices
    for e in power_of_two_exponents(points, 50 if dtype == np.float64 else 10):
        assert_same(build(np.ldexp(points, e)), want, f"scaled by 2**{e}")


@pytest.mark.parametrize("size", range(4, 13))
def test_small_grid_subsets(size):
    # subsets of one grid are full of exact collinear and cocircular points, and their
    # centroids round: every decision in a shifted copy is a chance to get one wrong
    r = rng(f"grid subsets {size}")
    check_builds(grid(5)[r.choice(25, size, replace=False)] for _ in range(400))


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
    assert not isinstance(check_build(SEED_EDGE_SETS[index]), str)


# -------------------------------------------------------------------------------------
# generated inputs


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
    "uniform": point_arrays(coordinate, 2),
    "small_grid_with_duplicates": point_arrays(st.integers(-3, 3).map(float), 2),
    "decimals": point_arrays(decimal, 2),
    "grid_far_from_origin": far_grids(2),
    "on_a_circle": on_circle(),
    "nearly_collinear": nearly_collinear(),
    "near_coincident_clusters": near_coincident_clusters(),
    "signed_zero_copies": signed_zero_copies(2),
}


@pytest.mark.parametrize("kind", GENERATED)
@given(data=st.data())
def test_generated(kind, data):
    check_build(data.draw(GENERATED[kind], label="points"))


@given(data=st.data())
def test_generated_at_any_power_of_two_scale(data):
    points, e = at_any_power_of_two(data, GENERATED)
    assert_same(check_build(np.ldexp(points, e)), build(points))

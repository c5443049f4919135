"""How the build functions read their input and hand out their results."""

import gc
import weakref

import numpy as np
import pytest

import _kavro
from helpers import POINT_SETS, check_result_array


def _points(n=400, seed=5):
    # with copies, so that the duplicate rows are compared as well
    rng = np.random.default_rng(seed)
    return np.vstack([rng.random((n, 2)), np.round(rng.random((n // 4, 2)) * 8) / 8])


def _layouts(points):
    n = len(points)
    wide = np.zeros((2 * n, 5), dtype=points.dtype)
    wide[::2, 1:4:2] = points
    return {
        "every_other_row": wide[::2, 1:4:2],
        "fortran": np.asfortranarray(points),
        "reversed_rows": points[::-1],
        "reversed_columns": points[:, ::-1],
        "reversed_both": wide[::-2, 3::-2],
    }


LAYOUTS = list(_layouts(_points()))


def _same_outcome(f, a, g, b):
    """f(a) and g(b) return identical arrays or raise the same text."""
    try:
        expected = g(b)
    except ValueError as exc:
        with pytest.raises(ValueError) as info:
            f(a)
        assert str(info.value) == str(exc)
        return
    for got, want in zip(f(a), expected, strict=True):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_memory_layout_reads_like_its_contiguous_copy(layout, dtype):
    view = _layouts(_points().astype(dtype))[layout]
    assert not view.flags.c_contiguous
    f = _kavro.calculate_kavro_2d if dtype == np.float64 else _kavro.calculate_kavro_2d_f32
    _same_outcome(f, view, f, np.ascontiguousarray(view))


@pytest.mark.parametrize("name", POINT_SETS)
def test_float32_gives_what_its_widened_copy_gives(name):
    with np.errstate(over="ignore", under="ignore"):  # huge and tiny sets leave float32's range
        narrow = POINT_SETS[name]().astype(np.float32)
    _same_outcome(_kavro.calculate_kavro_2d_f32, narrow,
                  _kavro.calculate_kavro_2d, narrow.astype(np.float64))


def test_results_are_fresh_independent_arrays():
    points = _points()
    kept = points.copy()
    first = _kavro.calculate_kavro_2d(points)
    second = _kavro.calculate_kavro_2d(points)
    np.testing.assert_array_equal(points, kept)  # the input is only read
    arrays = list(first) + list(second)
    for arr, cols in zip(arrays, (3, 3, 2) * 2):
        check_result_array(arr, cols)
        assert not np.shares_memory(arr, points)
    for i, a in enumerate(arrays):
        for b in arrays[i + 1:]:
            assert not np.shares_memory(a, b)
    snapshot = [a.copy() for a in first]
    points[:] = 0.0
    second[0][:] = -7
    for a, b in zip(first, snapshot):
        np.testing.assert_array_equal(a, b)


def test_a_view_outlives_the_result_tuple():
    simplices, neighbors, _ = _kavro.calculate_kavro_2d(_points())
    expected = simplices[5:].copy()
    tail = simplices[5:]
    column = neighbors[:, 1]
    expected_column = column.copy()
    probe = weakref.ref(neighbors)
    del simplices, neighbors
    gc.collect()
    assert probe() is not None  # the column view keeps it alive
    # memory freed too early would now be handed out again and overwritten
    scribble = [np.full(expected.shape, -1, np.int32) for _ in range(50)]
    np.testing.assert_array_equal(tail, expected)
    np.testing.assert_array_equal(column, expected_column)
    tail[:] = 1  # still writeable memory of our own
    del column, scribble
    gc.collect()
    assert probe() is None


def test_all_distinct_points_give_an_empty_int32_duplicate_array():
    _, _, duplicates = _kavro.calculate_kavro_2d(np.random.default_rng(8).random((100, 2)))
    assert duplicates.shape == (0, 2)
    check_result_array(duplicates, 2)

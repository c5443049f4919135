"""Argument binding, conversion and the order of the module's own checks."""

import contextlib
import inspect
import re

import numpy as np
import pytest

import _kavro
from helpers import triangle_set

ALL_FUNCTIONS = list(_kavro.__all__)
BUILDS = {  # function -> (dtype, columns)
    "calculate_kavro_2d": (np.float64, 2),
    "calculate_kavro_2d_f32": (np.float32, 2),
    "calculate_kavro_3d": (np.float64, 3),
    "calculate_kavro_3d_f32": (np.float32, 3),
}
COLLINEAR = "degenerate input: all points are collinear; a 2D triangulation does not exist"
TRIANGLE = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
SIMPLICES = np.array([[0, 1, 2], [1, 3, 2]], dtype=np.int32)


def valid_args(name):
    if name in BUILDS:
        dtype, cols = BUILDS[name]
        return (np.random.default_rng(1).random((8, cols)).astype(dtype),)
    if name == "vertex_neighbor_vertices":
        return (SIMPLICES, 4)
    return (TRIANGLE.astype(np.float32 if name.endswith("f32") else np.float64), SIMPLICES)


@contextlib.contextmanager
def raises_with_note(exc_type, text, param):
    """Expect exc_type with exactly this text and the note naming the parameter."""
    with pytest.raises(exc_type) as info:
        yield info
    assert type(info.value) is exc_type
    assert str(info.value) == text
    assert info.value.__notes__ == [f"while processing '{param}'"]


def build_or_not_yet(f, points, **kwargs):
    """The parallel build arrives in a later milestone; until then it must refuse
    only after every argument check has passed."""
    try:
        return f(points, **kwargs)
    except NotImplementedError:
        return None


# -------------------------------------------------------------------------------------
# binding


BINDING_MISTAKES = {
    "missing": lambda f, args, first: f(),
    "too_many_positional": lambda f, args, first: f(*args, args[0], args[0]),
    "unexpected_keyword": lambda f, args, first: f(*args, bogus=1),
    "given_twice": lambda f, args, first: f(*args, **{first: args[0]}),
}


@pytest.mark.parametrize("mistake", BINDING_MISTAKES)
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_binding_errors_open_with_the_function_name(name, mistake):
    f = getattr(_kavro, name)
    first = f.__text_signature__.strip("()").split(",")[0]
    with pytest.raises(TypeError) as info:
        BINDING_MISTAKES[mistake](f, valid_args(name), first)
    assert str(info.value).startswith(f"{name}()")


@pytest.mark.parametrize("name", ["calculate_kavro_2d", "calculate_kavro_2d_f32"])
def test_arguments_by_keyword(name):
    (points,) = valid_args(name)
    f = getattr(_kavro, name)
    by_keyword = f(points=points, parallel=False, progress=None)
    for a, b in zip(by_keyword, f(points)):
        np.testing.assert_array_equal(a, b)
    with pytest.raises(TypeError, match="^calculate_kavro_2d"):
        f(points, False)


def test_query_arguments_by_keyword():
    radii = _kavro.circumradii(simplices=SIMPLICES, points=TRIANGLE)
    np.testing.assert_array_equal(radii, _kavro.circumradii(TRIANGLE, SIMPLICES))
    indptr, _ = _kavro.vertex_neighbor_vertices(n_points=4, simplices=SIMPLICES)
    assert indptr.tolist() == [0, 2, 5, 8, 10]


# -------------------------------------------------------------------------------------
# array conversion


class NotAnArray:
    pass


# (function, parameter, dtype, columns) of every array argument
ARRAY_PARAMETERS = [(name, "points", dtype, cols) for name, (dtype, cols) in BUILDS.items()] + [
    ("circumradii", "points", np.float64, 2), ("circumradii", "simplices", np.int32, 3),
    ("circumradii_f32", "points", np.float32, 2), ("circumradii_f32", "simplices", np.int32, 3),
    ("vertex_neighbor_vertices", "simplices", np.int32, 3),
]


@pytest.mark.parametrize("name, param, dtype, cols", ARRAY_PARAMETERS)
def test_array_arguments_refuse_everything_else(name, param, dtype, cols):
    f = getattr(_kavro, name)
    args = list(valid_args(name))
    position = list(inspect.signature(f).parameters).index(param)
    good = np.zeros((4, cols), dtype=dtype)
    refused = [
        (good.tolist(), "list"), (tuple(map(tuple, good.tolist())), "tuple"),
        (NotAnArray(), NotAnArray.__qualname__), (good[:, 0].copy(), "ndarray"),
        (good[None], "ndarray"), (np.array(1, dtype=dtype), "ndarray"),
        (good.astype(np.int64), "ndarray"), (good.astype(np.complex128), "ndarray"),
        (good.astype(object), "ndarray"),
        (good.astype(np.float32 if dtype == np.float64 else np.float64), "ndarray"),
        (good.astype(good.dtype.newbyteorder()), "ndarray"),  # not native byte order
    ]
    for value, qualname in refused:
        args[position] = value
        with raises_with_note(TypeError, f"'{qualname}' object is not an instance of 'ndarray'", param):
            f(*args)
    args[position] = None
    with raises_with_note(TypeError, "'None' is not an instance of 'ndarray'", param):
        f(*args)


def test_arguments_are_converted_in_order():
    with raises_with_note(TypeError, "'None' is not an instance of 'ndarray'", "points"):
        _kavro.circumradii(None, None)
    with raises_with_note(TypeError, "'None' is not an instance of 'ndarray'", "simplices"):
        _kavro.vertex_neighbor_vertices(None, -1)


def test_ndarray_subclass_and_read_only_arrays_are_accepted():
    class Tagged(np.ndarray):
        pass

    points = np.random.default_rng(2).random((50, 2))
    frozen = points.copy()
    frozen.flags.writeable = False
    expected = triangle_set(_kavro.calculate_kavro_2d(points)[0])
    assert triangle_set(_kavro.calculate_kavro_2d(points.view(Tagged))[0]) == expected
    assert triangle_set(_kavro.calculate_kavro_2d(frozen)[0]) == expected


# -------------------------------------------------------------------------------------
# parallel and progress


@pytest.mark.parametrize("name", BUILDS)
@pytest.mark.parametrize("value, text", [
    (1, "'int' object is not an instance of 'bool'"),
    (0, "'int' object is not an instance of 'bool'"),
    (1.0, "'float' object is not an instance of 'bool'"),
    ("yes", "'str' object is not an instance of 'bool'"),
    (np.int8(1), "'int8' object is not an instance of 'bool'"),
    (None, "'None' is not an instance of 'bool'"),
])
def test_parallel_must_be_a_bool(name, value, text):
    (points,) = valid_args(name)
    with raises_with_note(TypeError, text, "parallel"):
        getattr(_kavro, name)(points, parallel=value)


def test_numpy_bool_scalars_are_accepted_for_parallel():
    (points,) = valid_args("calculate_kavro_2d")
    for a, b in zip(_kavro.calculate_kavro_2d(points, parallel=np.False_),
                    _kavro.calculate_kavro_2d(points)):
        np.testing.assert_array_equal(a, b)
    result = build_or_not_yet(_kavro.calculate_kavro_2d, points, parallel=np.True_)
    if result is not None:
        assert triangle_set(result[0]) == triangle_set(_kavro.calculate_kavro_2d(points)[0])


@pytest.mark.parametrize("name", BUILDS)
def test_checks_run_in_order(name):
    dtype, cols = BUILDS[name]
    f = getattr(_kavro, name)
    calls = []
    wrong_shape = np.zeros((5, 5 - cols), dtype=dtype)
    shape_text = f"input points must have shape (n, {cols})"
    # points before parallel
    with raises_with_note(TypeError, "'list' object is not an instance of 'ndarray'", "points"):
        f([[0.0] * cols], parallel=1)
    # parallel before the shape
    with raises_with_note(TypeError, "'int' object is not an instance of 'bool'", "parallel"):
        f(wrong_shape, parallel=1)
    # the shape before the progress combination, and before the build
    for kwargs in ({}, {"parallel": True}, {"progress": calls.append},
                   {"parallel": True, "progress": calls.append}):
        with pytest.raises(ValueError, match=f"^{re.escape(shape_text)}$"):
            f(wrong_shape, **kwargs)
    (points,) = valid_args(name)
    for progress in (calls.append, "not even callable"):
        with pytest.raises(ValueError, match=r"^progress reporting requires parallel=True$"):
            f(points, progress=progress)
        with pytest.raises(ValueError, match=r"^progress reporting requires parallel=True$"):
            f(points, parallel=False, progress=progress)
    assert calls == []


@pytest.mark.parametrize("name", ["calculate_kavro_2d", "calculate_kavro_2d_f32"])
def test_parallel_request_reaches_the_build(name):
    (points,) = valid_args(name)
    f = getattr(_kavro, name)
    for kwargs in ({"parallel": True}, {"parallel": True, "progress": lambda *event: None}):
        result = build_or_not_yet(f, points, **kwargs)
        if result is not None:
            assert triangle_set(result[0]) == triangle_set(f(points)[0])


# -------------------------------------------------------------------------------------
# inputs the 2D kernel refuses


def _refusals():
    rng = np.random.default_rng(3)
    line = np.column_stack([np.arange(20.0), 3 * np.arange(20.0) - 1])
    good = rng.random((30, 2))
    with_nan, with_inf = good.copy(), good.copy()
    with_nan[17, 1] = np.nan
    with_inf[4, 0] = np.inf
    return {
        "empty": (np.empty((0, 2)), "not enough distinct points (got 0)"),
        "one_point": (np.array([[1.0, 2.0]]), "not enough distinct points (got 1)"),
        "two_points": (np.array([[1.0, 2.0], [3.0, 4.0]]), "not enough distinct points (got 2)"),
        "two_equal_points": (np.array([[1.0, 2.0], [1.0, 2.0]]), "not enough distinct points (got 2)"),
        "all_equal": (np.full((7, 2), 0.3), "not enough distinct points (got 1)"),
        "all_zero_mixed_signs": (np.array([[0.0, -0.0], [-0.0, 0.0], [0.0, 0.0]]),
                                 "not enough distinct points (got 1)"),
        "two_positions": (np.array([[0.0, 0.0], [1.0, 1.0]] * 5), COLLINEAR),
        "three_with_two_equal": (np.array([[0.0, 0.0], [1.0, 1.0], [0.0, 0.0]]), COLLINEAR),
        "collinear": (line[rng.permutation(20)], COLLINEAR),
        "collinear_with_duplicates": (np.vstack([line, line[::3]]), COLLINEAR),
        "nan": (with_nan, COLLINEAR),
        "inf": (with_inf, COLLINEAR),
        "all_nan": (np.full((4, 2), np.nan), COLLINEAR),
    }


REFUSALS = _refusals()


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("case", REFUSALS)
def test_kernel_refusals(case, dtype):
    points, text = REFUSALS[case]
    f = _kavro.calculate_kavro_2d if dtype == np.float64 else _kavro.calculate_kavro_2d_f32
    with pytest.raises(ValueError) as info:
        f(points.astype(dtype))
    assert str(info.value) == text
    assert not getattr(info.value, "__notes__", None)


def test_wrong_shape_wins_over_an_empty_array():
    with pytest.raises(ValueError, match=r"^input points must have shape \(n, 2\)$"):
        _kavro.calculate_kavro_2d(np.empty((0, 3)))
    with pytest.raises(ValueError, match=r"^input points must have shape \(n, 3\)$"):
        _kavro.calculate_kavro_3d(np.empty((0, 2)))


# -------------------------------------------------------------------------------------
# query checks


@pytest.mark.parametrize("name", ["circumradii", "circumradii_f32"])
def test_circumradii_checks(name):
    f = getattr(_kavro, name)
    dtype = np.float32 if name.endswith("f32") else np.float64
    p2, p3 = TRIANGLE.astype(dtype), np.zeros((4, 3), dtype=dtype)
    unsupported = "circumradii: unsupported {}D points with {}-vertex simplices (expected 2D/3 or 3D/4)"
    cases = [
        # the column count is tested before the points are looked at
        (p3, np.zeros((2, 5), np.int32), "simplices must have 3 or 4 columns, got 5"),
        (p2, np.zeros((0, 2), np.int32), "simplices must have 3 or 4 columns, got 2"),
        (p2, np.zeros((1, 1), np.int32), "simplices must have 3 or 4 columns, got 1"),
        # then the width of the points, also with no simplices and before the range
        (p3, np.zeros((0, 3), np.int32), unsupported.format(3, 3)),
        (p3, np.full((1, 3), -1, np.int32), unsupported.format(3, 3)),
        (p2, np.zeros((2, 4), np.int32), unsupported.format(2, 4)),
        (np.zeros((4, 4), dtype), np.zeros((1, 4), np.int32), unsupported.format(4, 4)),
        # then the first vertex out of range in row-major order, read as unsigned
        (p2, np.array([[0, 1, 2], [0, 9, 7]], np.int32), "simplex vertex 9 out of range for 4 points"),
        (p2, np.array([[0, 1, 4]], np.int32), "simplex vertex 4 out of range for 4 points"),
        (p2, np.array([[0, -1, 9]], np.int32), "simplex vertex 4294967295 out of range for 4 points"),
        (p2, np.array([[-2147483648, 0, 1]], np.int32), "simplex vertex 2147483648 out of range for 4 points"),
        (p3, np.array([[0, 1, 2, 3], [3, 2, 1, 4]], np.int32), "simplex vertex 4 out of range for 4 points"),
        (np.zeros((0, 2), dtype), np.array([[0, 0, 0]], np.int32), "simplex vertex 0 out of range for 0 points"),
    ]
    for points, simplices, text in cases:
        with pytest.raises(ValueError) as info:
            f(points, simplices)
        assert str(info.value) == text


def test_vertex_neighbor_vertices_checks():
    f = _kavro.vertex_neighbor_vertices
    cases = [
        # the column count comes before the size of n_points
        (np.zeros((3, 1), np.int32), 2**31, "simplices must have at least 2 columns"),
        (np.zeros((0, 0), np.int32), 4, "simplices must have at least 2 columns"),
        (SIMPLICES, 2**31, "n_points does not fit int32"),
        (SIMPLICES, 2**64 - 1, "n_points does not fit int32"),
        (np.array([[0, 1, 2], [1, -1, 5]], np.int32), 4, "simplex vertex -1 out of range for 4 points"),
        (SIMPLICES, 3, "simplex vertex 3 out of range for 3 points"),
        (np.array([[0, 0]], np.int32), 0, "simplex vertex 0 out of range for 0 points"),
    ]
    for simplices, n_points, text in cases:
        with pytest.raises(ValueError) as info:
            f(simplices, n_points)
        assert str(info.value) == text


def test_adjacency_size_limit_comes_after_the_range_test():
    # one row of k vertices needs k(k-1) slots; 46342 * 46341 exceeds 2**31 - 1
    row = np.arange(46342, dtype=np.int32)[None, :]
    with pytest.raises(ValueError, match="^adjacency does not fit int32 indptr$"):
        _kavro.vertex_neighbor_vertices(row, 46342)
    with pytest.raises(ValueError, match="^simplex vertex 46342 out of range for 46342 points$"):
        _kavro.vertex_neighbor_vertices(row + 1, 46342)


@pytest.mark.parametrize("n_points, exc_type", [
    (-1, OverflowError), (-(2**70), OverflowError), (2**64, OverflowError),
    (1.5, TypeError), (4.0, TypeError), ("4", TypeError), (None, TypeError),
])
def test_n_points_conversion(n_points, exc_type):
    with pytest.raises(exc_type) as info:
        _kavro.vertex_neighbor_vertices(SIMPLICES, n_points)
    assert type(info.value) is exc_type
    assert info.value.__notes__ == ["while processing 'n_points'"]


def test_n_points_takes_any_index_that_fits():
    class Four:
        def __index__(self):
            return 4

    indptr, indices = _kavro.vertex_neighbor_vertices(SIMPLICES, 1_000_000)
    assert len(indptr) == 1_000_001 and indptr[-1] == len(indices) == 10
    expected = _kavro.vertex_neighbor_vertices(SIMPLICES, 4)
    for n_points in (np.int64(4), np.uint8(4), True + 3, Four()):
        for a, b in zip(_kavro.vertex_neighbor_vertices(SIMPLICES, n_points), expected):
            np.testing.assert_array_equal(a, b)

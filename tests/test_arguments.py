"""Argument binding, conversion and the order of the module's own checks."""

import inspect

import numpy as np
import pytest

import _kavro
from helpers import COLLINEAR, raises_exactly, triangle_set

F = _kavro.calculate_kavro_2d
P = np.random.default_rng(1).random((8, 2))
BUILDS = {"calculate_kavro_2d": (np.float64, 2), "calculate_kavro_2d_f32": (np.float32, 2),
          "calculate_kavro_3d": (np.float64, 3), "calculate_kavro_3d_f32": (np.float32, 3)}
SQUARE = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
SIMPLICES = np.array([[0, 1, 2], [1, 3, 2]], np.int32)


def valid_args(name):
    if name in BUILDS:
        dtype, cols = BUILDS[name]
        return [np.random.default_rng(1).random((8, cols)).astype(dtype)]
    if name == "vertex_neighbor_vertices":
        return [SIMPLICES, 4]
    return [SQUARE.astype(np.float32 if name.endswith("f32") else np.float64), SIMPLICES]


@pytest.mark.parametrize("call, text", [
    (lambda: F(), "missing required argument 'points' (pos 1)"),
    (lambda: F(bogus=1), "missing required argument 'points' (pos 1)"),
    (lambda: F(P, False), "takes at most 1 positional argument (2 given)"),  # keyword-only
    (lambda: F(P, P, bogus=1), "takes at most 1 positional argument (2 given)"),
    (lambda: F(P, bogus=1, points=P), "got multiple values for argument 'points'"),
    (lambda: F(P, parallel=1, bogus=2), "got an unexpected keyword argument 'bogus'"),
])
def test_binding_errors(call, text):
    raises_exactly(TypeError, "calculate_kavro_2d() " + text, None, call)


@pytest.mark.parametrize("name", [n for n in _kavro.__all__ if n != "calculate_kavro_2d"])
def test_binding_errors_of_the_other_functions(name):
    f, args = getattr(_kavro, name), valid_args(name)
    first = next(iter(inspect.signature(f).parameters))
    raises_exactly(TypeError, f"{name}() missing required argument '{first}' (pos 1)", None, f)
    raises_exactly(TypeError, f"{name}() got multiple values for argument '{first}'", None,
                   f, *args, **{first: args[0]})
    count = len(args)
    raises_exactly(TypeError, f"{name}() takes at most {count} positional argument{'s' * (count > 1)} "
                   f"({count + 1} given)", None, f, *args, args[0])


def test_arguments_by_keyword():
    np.testing.assert_array_equal(F(points=P, parallel=False, progress=None)[0], F(P)[0])
    np.testing.assert_array_equal(F(P, parallel=np.False_)[0], F(P)[0])
    np.testing.assert_array_equal(_kavro.circumradii(simplices=SIMPLICES, points=SQUARE),
                                  _kavro.circumradii(SQUARE, SIMPLICES))
    indptr, _ = _kavro.vertex_neighbor_vertices(n_points=4, simplices=SIMPLICES)
    assert indptr.tolist() == [0, 2, 5, 8, 10]


class NotAnArray:
    pass


@pytest.mark.parametrize("value, qualname", [
    (P.tolist(), "list"), (tuple(map(tuple, P.tolist())), "tuple"), (NotAnArray(), "NotAnArray"),
    (P[:, 0].copy(), "ndarray"), (P[None], "ndarray"), (np.array(1.0), "ndarray"),
    (P.astype(np.int64), "ndarray"), (P.astype(np.complex128), "ndarray"), (P.astype(object), "ndarray"),
    (P.astype(np.float32), "ndarray"), (P.astype(">f8" if np.little_endian else "<f8"), "ndarray"),
])
def test_points_must_be_a_float64_matrix(value, qualname):
    raises_exactly(TypeError, f"'{qualname}' object is not an instance of 'ndarray'", "points", F, value)


@pytest.mark.parametrize("name, args, param", [
    ("calculate_kavro_2d_f32", [P], "points"),
    ("calculate_kavro_3d", [np.zeros((4, 3), np.float32)], "points"),
    ("calculate_kavro_3d_f32", [np.zeros(3, np.float32)], "points"),
    ("circumradii", [SQUARE.astype(np.float32), SIMPLICES], "points"),
    ("circumradii", [None, None], "points"),  # arguments are converted in order
    ("circumradii", [SQUARE, SIMPLICES.astype(np.int64)], "simplices"),
    ("circumradii_f32", [SQUARE, SIMPLICES], "points"),
    ("circumradii_f32", [SQUARE.astype(np.float32), SIMPLICES.astype(np.uint32)], "simplices"),
    ("vertex_neighbor_vertices", [SIMPLICES.tolist(), 4], "simplices"),
    ("vertex_neighbor_vertices", [None, -1], "simplices"),
])
def test_array_arguments_of_the_other_functions(name, args, param):
    f = getattr(_kavro, name)
    wrong = args[list(inspect.signature(f).parameters).index(param)]
    who = "'None' is" if wrong is None else f"'{type(wrong).__name__}' object is"
    raises_exactly(TypeError, f"{who} not an instance of 'ndarray'", param, f, *args)


@pytest.mark.parametrize("value, text", [
    (1, "'int' object is"), (0.0, "'float' object is"), ("yes", "'str' object is"),
    (np.int8(1), "'int8' object is"), (None, "'None' is"),
])
def test_parallel_must_be_a_bool(value, text):
    raises_exactly(TypeError, text + " not an instance of 'bool'", "parallel", F, P, parallel=value)


@pytest.mark.parametrize("name", BUILDS)
def test_checks_run_in_order(name):
    (dtype, cols), f, calls = BUILDS[name], getattr(_kavro, name), []
    wrong_shape, shape_text = np.zeros((5, 5 - cols), dtype), f"input points must have shape (n, {cols})"
    raises_exactly(TypeError, "'list' object is not an instance of 'ndarray'", "points",
                   f, [[0.0] * cols], parallel=1)
    raises_exactly(TypeError, "'int' object is not an instance of 'bool'", "parallel",
                   f, wrong_shape, parallel=1, progress="not even callable")
    raises_exactly(TypeError, "'str' object is not callable", "progress",
                   f, wrong_shape, parallel=True, progress="not even callable")
    raises_exactly(ValueError, shape_text, None, f, np.empty((0, 5 - cols), dtype))
    raises_exactly(ValueError, shape_text, None, f, wrong_shape, parallel=True, progress=calls.append)
    # the point count comes after the shape and the progress checks (zero strides: no memory)
    raises_exactly(ValueError, shape_text, None, f, np.broadcast_to(wrong_shape[0], (2**31 + 1, 5 - cols)))
    raises_exactly(ValueError, "progress reporting requires parallel=True", None,
                   f, np.broadcast_to(np.zeros(cols, dtype), (2**31 + 1, cols)), progress=calls.append)
    for progress in (calls.append, "not even callable"):
        for parallel in ({}, {"parallel": False}):
            raises_exactly(ValueError, "progress reporting requires parallel=True", None,
                           f, *valid_args(name), progress=progress, **parallel)
    result = f(*valid_args(name), parallel=True, progress=lambda *event: None)
    assert triangle_set(result[0]) == triangle_set(f(*valid_args(name))[0])
    assert calls == []


def _with(value, row=17, col=1):
    points = np.random.default_rng(3).random((30, 2))
    points[row, col] = value
    return points


LINE = np.column_stack([np.arange(20.0), 3 * np.arange(20.0) - 1])


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("points, text", [
    (np.empty((0, 2)), "not enough distinct points (got 0)"),
    ([[1.0, 2.0]], "not enough distinct points (got 1)"),
    ([[1.0, 2.0], [1.0, 2.0]], "not enough distinct points (got 2)"),
    (np.full((7, 2), 0.3), "not enough distinct points (got 1)"),
    ([[0.0, -0.0], [-0.0, 0.0], [0.0, 0.0]], "not enough distinct points (got 1)"),
    ([[0.0, 0.0], [1.0, 1.0]] * 5, COLLINEAR),
    (LINE[np.random.default_rng(3).permutation(20)], COLLINEAR),
    (np.vstack([LINE, LINE[::3]]), COLLINEAR),
    (_with(np.nan), COLLINEAR),
    (_with(np.inf, 4, 0), COLLINEAR),
], ids=["empty", "one", "two_equal", "all_equal", "signed_zeros", "two_positions", "collinear",
        "collinear_with_copies", "nan", "inf"])
def test_kernel_refusals(points, text, dtype):
    f = F if dtype == np.float64 else _kavro.calculate_kavro_2d_f32
    raises_exactly(ValueError, text, None, f, np.array(points, dtype))


@pytest.mark.parametrize("n_points, exc_type, text", [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    ("4", TypeError, "'str' object cannot be interpreted as an integer"),
    (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
])
def test_n_points_conversion(n_points, exc_type, text):
    raises_exactly(exc_type, text, "n_points", _kavro.vertex_neighbor_vertices, SIMPLICES, n_points)


def test_n_points_takes_any_index_that_fits():
    class Four:
        def __index__(self):
            return 4

    for n_points in (np.int64(4), np.uint8(4), True + 3, Four()):
        assert _kavro.vertex_neighbor_vertices(SIMPLICES, n_points)[0].tolist() == [0, 2, 5, 8, 10]
    indptr, indices = _kavro.vertex_neighbor_vertices(SIMPLICES, 1_000_000)
    assert len(indptr) == 1_000_001 and indptr[-1] == len(indices) == 10

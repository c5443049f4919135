"""The parallel build from Python: the pipeline on test-sized inputs (many small blocks),
its fallback to the sequential build, the progress callable and the settings."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import _kavro
from helpers import (POINT_SETS, POINT_SETS_3D, assert_same, check_tetrahedralization,
                     check_triangulation, grid, grid3, power_of_two_exponents, raises_exactly, rng,
                     triangle_set)

BUILDS = {2: (_kavro.calculate_kavro_2d, _kavro.calculate_kavro_2d_f32, check_triangulation),
          3: (_kavro.calculate_kavro_3d, _kavro.calculate_kavro_3d_f32, check_tetrahedralization)}


@pytest.fixture
def small_blocks(monkeypatch):
    """Every parallel call goes to the grid, with blocks of about 200 points."""
    monkeypatch.setenv("KAVRO_PARALLEL_MIN_POINTS", "0")
    monkeypatch.setenv("KAVRO_PARALLEL_BLOCK_TARGET", "200")


def parallel(f, points):
    """(result, events) of f(points, parallel=True) with a recording callable."""
    events = []
    result = f(points, parallel=True, progress=lambda *event: events.append(event))
    return result, events


def check_events(events):
    """The events of one call form one of the paths of the parallel build; True when the
    pipeline's own result came back."""
    stages = [e[0] for e in events]
    assert stages[-1] == "done" and stages.count("done") == 1 and events[-1] == ("done", 0, 0)
    if stages[0] == "fallback":
        assert events == [("fallback", 0, 0), ("done", 0, 0)]
        return False
    total = events[0][2]
    assert events[0] == ("blocks", 0, total) and total >= 2
    assert events[1:total + 1] == [("blocks", d, total) for d in range(1, total + 1)]
    tail = stages[total + 1:]
    assert tail in (["crust", "fallback", "done"], ["crust", "merge", "fallback", "done"],
                    ["crust", "merge", "done"]), tail
    return tail == ["crust", "merge", "done"]


def check_parallel(dim, points):
    """The parallel build is a valid mesh from the pipeline, or exactly the sequential one."""
    f, _, check = BUILDS[dim]
    try:
        want = f(points)
    except ValueError as exc:
        with pytest.raises(ValueError) as info:
            parallel(f, points)
        assert str(info.value) == str(exc)
        return None
    got, events = parallel(f, points)
    if check_events(events):
        check(points, *got)
        assert triangle_set(got[0]) and len(got[2]) == len(want[2])
    else:
        assert_same(got, want)
    return got, events


GENERAL = {2: lambda n, s: rng(f"par2{n}{s}").uniform(-5, 5, (n, 2)),
           3: lambda n, s: rng(f"par3{n}{s}").uniform(-5, 5, (n, 3))}


@pytest.mark.parametrize("dim, n", [(2, 1000), (2, 20000), (3, 1000), (3, 8000)])
def test_pipeline_matches_the_sequential_build_in_general_position(small_blocks, dim, n):
    points = GENERAL[dim](n, 0)
    got, events = check_parallel(dim, points)
    assert check_events(events), "uniform input must not fall back"
    assert triangle_set(got[0]) == triangle_set(BUILDS[dim][0](points)[0])


def _far_clusters(dim):
    r = rng(f"farclusters{dim}")
    return np.vstack([r.normal(0, 1e-3, (800, dim)) + c for c in (0.0, 1e4, -3e5)])


DEGENERATE = {
    2: {
        "integer_grid": lambda: grid(60),
        "on_circle": POINT_SETS["on_circle"],
        "clusters_far_apart": lambda: _far_clusters(2),
        "one_far_outlier": lambda: np.vstack([rng("outl2").random((3000, 2)), [[1e9, -1e9]]]),
        "one_cell": lambda: rng("onecell2").random((400, 2)) * 1e-9 + 7.0,
        "copies_of_few": lambda: rng("few2").random((9, 2))[rng("fewi2").integers(0, 9, 3000)],
        "nan_rows": lambda: np.vstack([rng("nan2").random((2000, 2)), [[np.nan, 0.5]]]),
        "duplicated_grid": POINT_SETS["duplicated_grid"],
        "offset": lambda: rng("off2").random((3000, 2)) + 1e6,
    },
    3: {
        "integer_grid": lambda: grid3(14),
        "sphere": lambda: POINT_SETS_3D["sphere_with_interior"]()[:600],
        "clusters_far_apart": lambda: _far_clusters(3),
        "one_far_outlier": lambda: np.vstack([rng("outl3").random((3000, 3)), [[1e9, -1e9, 5.0]]]),
        "one_cell": lambda: rng("onecell3").random((400, 3)) * 1e-9 + 7.0,
        "copies_of_few": lambda: rng("few3").random((9, 3))[rng("fewi3").integers(0, 9, 3000)],
        "nan_rows": lambda: np.vstack([rng("nan3").random((2000, 3)), [[np.nan, 0.5, 0.5]]]),
        "duplicated_grid": POINT_SETS_3D["duplicated_grid"],
        "offset": lambda: rng("off3").random((3000, 3)) + 1e6,
    },
}


@pytest.mark.parametrize("dim, name", [(d, k) for d in (2, 3) for k in DEGENERATE[d]])
def test_degenerate_inputs_give_a_valid_mesh_or_the_sequential_one(small_blocks, dim, name):
    check_parallel(dim, DEGENERATE[dim][name]())


@pytest.mark.parametrize("dim", [2, 3])
def test_float32_equals_the_widened_build_or_the_float32_sequential_one(small_blocks, dim):
    f, f32, _ = BUILDS[dim]
    for points in (GENERAL[dim](3000, 1).astype(np.float32), np.float32(DEGENERATE[dim]["copies_of_few"]())):
        got, events = parallel(f32, points)
        if check_events(events):
            assert_same(got, f(points.astype(np.float64), parallel=True))
        else:
            assert_same(got, f32(points))


@pytest.mark.parametrize("dim", [2, 3])
def test_same_result_whatever_the_block_cut_or_the_progress(monkeypatch, small_blocks, dim):
    f = BUILDS[dim][0]
    points = GENERAL[dim](4000, 2)
    with_events, events = parallel(f, points)
    assert check_events(events)
    assert_same(f(points, parallel=True), with_events)  # no sink: the same result
    monkeypatch.setenv("KAVRO_PARALLEL_BLOCK_TARGET", "700")
    other, events = parallel(f, points)
    assert check_events(events) and events[0][2] < 20
    assert triangle_set(other[0]) == triangle_set(with_events[0])


# --------------------------------------------------------------------------------------
# scale, exact range and signed zeros


# Where the in-circle (2D) and in-sphere (3D) values of unscaled coordinates overflowed to
# NaN, and where those coordinates sent the pipeline to the fallback.
OVERFLOW_BANDS = {2: [262, 300, 340, -300], 3: [210, 230, 250, -230]}


@pytest.mark.parametrize("dim, n", [(2, 3000), (3, 2000)])
def test_every_power_of_two_multiple_takes_the_pipeline_to_the_same_arrays(small_blocks, dim, n):
    f = BUILDS[dim][0]
    points = 1.0 + rng(f"binade{dim}").random((n, dim))  # every coordinate in [1, 2)
    want, events = parallel(f, points)
    assert check_events(events)
    for e in sorted(set(power_of_two_exponents(points, 50)) | set(OVERFLOW_BANDS[dim])):
        got, events = parallel(f, np.ldexp(points, e))
        assert check_events(events), f"fell back at 2**{e}"
        assert_same(got, want, f"2**{e}")


# One coordinate (row, column, value) planted among coordinates of about 1: the cloud's
# span is more than the plain predicates hold exactly.
BEYOND_EXACT_RANGE = {"tiny": (17, 0, 1e-150), "subnormal": (17, 1, 5e-324), "huge": (17, 0, 1e200)}


@pytest.mark.parametrize("dim", [2, 3])
@pytest.mark.parametrize("name", BEYOND_EXACT_RANGE)
def test_a_cloud_beyond_the_exact_range_is_built_by_the_sequential_kernel(small_blocks, dim, name):
    f = BUILDS[dim][0]
    points = GENERAL[dim](3000, 8)
    row, col, value = BEYOND_EXACT_RANGE[name]
    points[row, col] = value
    try:
        want = f(points)
    except ValueError as exc:
        want = str(exc)
    try:
        got, events = parallel(f, points)
    except ValueError as exc:
        got, events = str(exc), None
    assert_same(got, want)
    if events is not None:
        assert events == [("fallback", 0, 0), ("done", 0, 0)]


@pytest.mark.parametrize("dim", [2, 3])
def test_signed_zero_copies_kept_apart_by_total_order_are_grouped(small_blocks, dim):
    # In plain total order (-0.0, 0.5000001) sorts between the two equal points.
    f, _, check = BUILDS[dim]
    tail = [0.25] * (dim - 2)
    twins = np.array([[-0.0, 0.5, *tail], [0.0, 0.5, *tail], [-0.0, 0.5000001, *tail]])
    points = np.vstack([GENERAL[dim](3000, 9), twins, twins[[1]]])
    n = 3000
    got, events = parallel(f, points)
    assert check_events(events), "the copies must not send the build to the fallback"
    check(points, *got)
    assert sorted(got[2].tolist()) == [[n + 1, n], [n + 3, n]]


# --------------------------------------------------------------------------------------
# the progress callable


class Raiser:
    def __init__(self, on_call, exc):
        self.calls, self.on_call, self.exc = [], on_call, exc

    def __call__(self, *event):
        self.calls.append(event)
        if len(self.calls) == self.on_call:
            raise self.exc


@pytest.mark.parametrize("on_call, exc", [(1, KeyError("first")), (3, RuntimeError("third")),
                                          (2, KeyboardInterrupt())])
def test_the_callables_first_exception_replaces_the_result(small_blocks, on_call, exc):
    progress = Raiser(on_call, exc)
    with pytest.raises(type(exc)) as info:
        _kavro.calculate_kavro_2d(GENERAL[2](3000, 3), parallel=True, progress=progress)
    assert info.value is exc and len(progress.calls) == on_call


@pytest.mark.parametrize("progress", [42, "text", np.zeros(3), object()])
def test_a_non_callable_progress_is_refused_with_the_interpreters_error(small_blocks, progress):
    with pytest.raises(TypeError) as called:
        progress()
    for dim in (2, 3):
        raises_exactly(TypeError, str(called.value), "progress",
                       BUILDS[dim][0], GENERAL[dim](2000, 3), parallel=True, progress=progress)


def builds_from_the_callable(dim, reps):
    """Run in a child process: `reps` builds whose callable, on the worker threads that
    report finished blocks, runs builds of its own, in parallel with and without a callable
    and sequentially, and checks what they return. Prints the events of every build."""
    f = BUILDS[dim][0]
    outer = GENERAL[dim](3000 if dim == 2 else 2000, 8)
    inner = GENERAL[dim](1000 if dim == 2 else 300, 9)

    def by_vertices(simplices):  # a canonical row order: cheaper than a set, at this rate
        rows = np.sort(simplices, axis=1)
        return rows[np.lexsort(rows.T[::-1])]

    want = by_vertices(f(inner)[0])
    log, busy = {"outer": [], "inner": []}, [False]

    def progress(stage, done, total):
        assert not busy[0], "overlapping progress calls"
        busy[0] = True
        log["outer"][-1].append((stage, done, total))
        if stage == "blocks" and done:
            if done % 3 == 0:
                got, events = parallel(f, inner)
                log["inner"].append(events)
            else:
                got = f(inner, parallel=done % 3 == 1)
            assert np.array_equal(by_vertices(got[0]), want)
        busy[0] = False

    for _ in range(reps):
        log["outer"].append([])
        f(outer, parallel=True, progress=progress)
    print(json.dumps(log))


@pytest.mark.parametrize("dim, reps", [(2, 40), (3, 25)])
def test_a_callable_that_builds_in_parallel_does_not_stall_the_build(dim, reps):
    # A stalled build fails through the timeout instead of hanging the suite.
    child = subprocess.run(
        [sys.executable, "-c", f"import test_parallel; test_parallel.builds_from_the_callable({dim}, {reps})"],
        cwd=os.path.dirname(os.path.abspath(__file__)), capture_output=True, text=True, timeout=60,
        env=dict(os.environ, KAVRO_PARALLEL_MIN_POINTS="0", KAVRO_PARALLEL_BLOCK_TARGET="100"))
    assert child.returncode == 0, child.stderr
    log = json.loads(child.stdout)
    assert len(log["outer"]) == reps and log["inner"]
    for events in log["outer"]:
        assert check_events([tuple(e) for e in events]) and events[0][2] >= 10
    for events in log["inner"]:
        check_events([tuple(e) for e in events])


def test_an_exception_wins_over_a_build_error(small_blocks):
    with pytest.raises(KeyError):
        _kavro.calculate_kavro_2d(np.zeros((5, 2)), parallel=True, progress=Raiser(2, KeyError()))


def test_return_values_of_the_callable_are_ignored(small_blocks):
    points = GENERAL[2](3000, 4)
    got = _kavro.calculate_kavro_2d(points, parallel=True, progress=lambda *e: "ignored")
    assert_same(got, _kavro.calculate_kavro_2d(points, parallel=True))


# --------------------------------------------------------------------------------------
# the settings, as seen from Python


def test_settings_are_read_on_every_call(monkeypatch):
    f, points = _kavro.calculate_kavro_2d, GENERAL[2](1000, 5)
    for value, pipeline in (("0", True), ("+250", True), ("1000", True), ("1001", False),
                            (" 0", False), ("-0", False), ("2_5", False), ("", False)):
        monkeypatch.setenv("KAVRO_PARALLEL_MIN_POINTS", value)
        monkeypatch.setenv("KAVRO_PARALLEL_BLOCK_TARGET", "100")
        _, events = parallel(f, points)
        assert check_events(events) == pipeline and (events[0][0] == "fallback") != pipeline, value
    monkeypatch.setenv("KAVRO_PARALLEL_MIN_POINTS", "0")
    monkeypatch.setenv("KAVRO_PARALLEL_BLOCK_TARGET", "600")  # fewer than two blocks of 600
    assert parallel(f, points)[1] == [("fallback", 0, 0), ("done", 0, 0)]
    monkeypatch.setenv("KAVRO_PARALLEL_BLOCK_TARGET", "x")  # the default 150000: one block
    assert parallel(f, points)[1] == [("fallback", 0, 0), ("done", 0, 0)]


def test_below_the_minimum_the_result_is_the_sequential_one(monkeypatch):
    monkeypatch.delenv("KAVRO_PARALLEL_MIN_POINTS", raising=False)
    for dim in (2, 3):
        f, _, _ = BUILDS[dim]
        points = GENERAL[dim](500, 6)
        got, events = parallel(f, points)
        assert events == [("fallback", 0, 0), ("done", 0, 0)]
        assert_same(got, f(points))
    with pytest.raises(ValueError, match=r"not enough distinct points \(got 1\)"):
        parallel(_kavro.calculate_kavro_2d, np.ones((7, 2)))


def test_large_inputs_read_alike_in_every_memory_order(monkeypatch):
    # Above 4 MiB the input is copied by the pool, in pieces; strided input element-wise.
    monkeypatch.setenv("KAVRO_PARALLEL_MIN_POINTS", "0")
    monkeypatch.setenv("KAVRO_PARALLEL_BLOCK_TARGET", "60000")
    points = GENERAL[2](300_000, 7)
    want, events = parallel(_kavro.calculate_kavro_2d, points)
    assert check_events(events)
    by_vertices = [np.sort(t, axis=1) for t in (want[0], _kavro.calculate_kavro_2d(points)[0])]
    by_vertices = [t[np.lexsort(t.T[::-1])] for t in by_vertices]
    np.testing.assert_array_equal(*by_vertices)  # the sequential build's triangles
    wide = np.zeros((300_000, 5))
    wide[:, 1::3] = points
    for layout in (np.asfortranarray(points), wide[:, 1::3]):
        assert_same(_kavro.calculate_kavro_2d(layout, parallel=True), want)

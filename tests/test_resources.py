"""References, memory and the interpreter lock."""

import ctypes
import gc
import os
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import _kavro

RNG = np.random.default_rng(31)
POINTS = RNG.random((300, 2))
POINTS32 = POINTS.astype(np.float32)
POINTS3 = RNG.random((300, 3))
COLLINEAR = np.column_stack([np.arange(300.0), np.arange(300.0)])
SIMPLICES = _kavro.calculate_kavro_2d(POINTS)[0]
OUT_OF_RANGE = np.array([[0, 1, 400]], np.int32)


def on_progress(stage, done, total):
    pass


# (function, positional args, keyword args); every object passed is watched
CALLS = {
    "build": (_kavro.calculate_kavro_2d, (POINTS,), {}),
    "build_f32": (_kavro.calculate_kavro_2d_f32, (POINTS32,), {}),
    "build_refused_after_copy": (_kavro.calculate_kavro_2d, (COLLINEAR,), {}),
    "wrong_shape": (_kavro.calculate_kavro_2d, (POINTS3,), {"progress": on_progress}),
    "progress_without_parallel": (_kavro.calculate_kavro_2d, (POINTS,), {"progress": on_progress}),
    "parallel_with_progress": (_kavro.calculate_kavro_2d, (POINTS,),
                               {"parallel": True, "progress": on_progress}),
    "parallel_not_bool": (_kavro.calculate_kavro_2d, (POINTS,), {"parallel": 1}),
    "wrong_dtype": (_kavro.calculate_kavro_2d, (POINTS32,), {}),
    "build_3d": (_kavro.calculate_kavro_3d, (POINTS3,), {"parallel": False}),
    "circumradii": (_kavro.circumradii, (POINTS, SIMPLICES), {}),
    "circumradii_out_of_range": (_kavro.circumradii, (POINTS, OUT_OF_RANGE), {}),
    "circumradii_wrong_simplices": (_kavro.circumradii, (POINTS, POINTS), {}),
    "adjacency": (_kavro.vertex_neighbor_vertices, (SIMPLICES, 300), {}),
    "adjacency_n_points_negative": (_kavro.vertex_neighbor_vertices, (SIMPLICES, -1), {}),
    "adjacency_n_points_too_big": (_kavro.vertex_neighbor_vertices, (SIMPLICES, 2**31), {}),
}


def _call(f, args, kwargs):
    try:
        return f(*args, **kwargs)
    except Exception:  # every outcome counts; only the references are judged
        return None


@pytest.mark.parametrize("case", CALLS)
def test_calls_leak_no_references(case):
    f, args, kwargs = CALLS[case]
    watched = list(args) + list(kwargs.values())
    for _ in range(5):
        _call(f, args, kwargs)
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(300):
        result = _call(f, args, kwargs)
    del result
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


@pytest.mark.parametrize("case", ["build", "circumradii", "adjacency"])
def test_results_are_freed_with_their_last_reference(case):
    f, args, kwargs = CALLS[case]
    result = f(*args, **kwargs)
    arrays = list(result) if isinstance(result, tuple) else [result]
    probes = [weakref.ref(a) for a in arrays]
    del result, arrays
    gc.collect()
    assert all(p() is None for p in probes)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _heap_probe():
    """(bytes in use, tolerance): glibc's malloc statistics count the module's buffers
    exactly; elsewhere the resident size stands in, with a looser tolerance."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        if not os.path.exists("/proc/self/statm"):
            pytest.skip("no way to read the process's memory use")
        page = os.sysconf("SC_PAGE_SIZE")
        return lambda: int(open("/proc/self/statm").read().split()[1]) * page, 64 * 2**20
    mallinfo2.restype = _MallInfo2
    return lambda: mallinfo2().uordblks + mallinfo2().hblkhd, 4 * 2**20


def test_repeated_calls_do_not_grow_memory():
    # every copy and result below is at least 400 kB, so leaking any one of them
    # on any path outgrows the tolerance within the loop
    in_use, tolerance = _heap_probe()
    points = RNG.random((50_000, 2))
    points32 = points.astype(np.float32)
    collinear = np.column_stack([np.arange(100_000.0), np.zeros(100_000)])
    simplices = _kavro.calculate_kavro_2d(points)[0]

    def round_():
        _kavro.calculate_kavro_2d(points)
        _kavro.calculate_kavro_2d_f32(points32)
        _call(_kavro.calculate_kavro_2d, (collinear,), {})
        _kavro.circumradii(points, simplices)
        _call(_kavro.circumradii, (points[:10], simplices), {})
        _kavro.vertex_neighbor_vertices(simplices, len(points))
        _call(_kavro.vertex_neighbor_vertices, (simplices, 10), {})

    for _ in range(3):
        round_()
    gc.collect()
    before = in_use()
    for _ in range(25):
        round_()
    gc.collect()
    assert in_use() - before < tolerance


def test_build_releases_the_interpreter_lock():
    points = np.random.default_rng(32).random((2_000_000, 2))
    count = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1

    spinner = threading.Thread(target=spin, daemon=True)
    spinner.start()
    try:
        start = count[0]
        time.sleep(0.2)  # the main thread idles: the spinner's free-running pace
        pace = (count[0] - start) / 0.2
        start, t0 = count[0], time.perf_counter()
        _kavro.calculate_kavro_2d(points)
        elapsed, progress = time.perf_counter() - t0, count[0] - start
    finally:
        stop.set()
        spinner.join()
    # holding the lock would leave the spinner at most a switch interval or two
    assert progress > 0.1 * pace * elapsed, (progress, pace, elapsed)

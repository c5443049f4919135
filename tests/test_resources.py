"""References, memory and the interpreter lock."""

import ctypes
import gc
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import _kavro

RNG = np.random.default_rng(31)
POINTS, POINTS3 = RNG.random((300, 2)), RNG.random((300, 3))
SIMPLICES = _kavro.calculate_kavro_2d(POINTS)[0]
BUILD, RADII, ADJACENCY = _kavro.calculate_kavro_2d, _kavro.circumradii, _kavro.vertex_neighbor_vertices


def on_progress(stage, done, total):
    pass


# (function, positional args, keyword args): every object passed is watched
CALLS = {
    "build": (BUILD, (POINTS,), {}),
    "build_f32": (_kavro.calculate_kavro_2d_f32, (POINTS.astype(np.float32),), {}),
    "refused_after_copy": (BUILD, (np.column_stack([np.arange(300.0)] * 2),), {}),
    "wrong_shape": (BUILD, (POINTS3,), {"progress": on_progress}),
    "progress_without_parallel": (BUILD, (POINTS,), {"progress": on_progress}),
    "parallel_with_progress": (BUILD, (POINTS,), {"parallel": True, "progress": on_progress}),
    "wrong_dtype": (BUILD, (POINTS3.astype(np.float32),), {"parallel": 1}),
    "build_3d": (_kavro.calculate_kavro_3d, (POINTS3,), {"parallel": False}),
    "circumradii": (RADII, (POINTS, SIMPLICES), {}),
    "circumradii_out_of_range": (RADII, (POINTS[:10], SIMPLICES), {}),
    "adjacency": (ADJACENCY, (SIMPLICES, 300), {}),
    "adjacency_n_points_negative": (ADJACENCY, (SIMPLICES, -1), {}),
}


def _call(f, *args, **kwargs):
    try:
        return f(*args, **kwargs)
    except Exception:  # every outcome counts; only the references are judged
        return None


@pytest.mark.parametrize("case", CALLS)
def test_calls_leak_no_references(case):
    f, args, kwargs = CALLS[case]
    watched = list(args) + list(kwargs.values())
    result = [_call(f, *args, **kwargs) for _ in range(5)][-1]
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(300):
        _call(f, *args, **kwargs)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before
    # results are freed with their last reference
    arrays = result if isinstance(result, tuple) else [result] * (result is not None)
    probes = [weakref.ref(a) for a in arrays]
    del arrays
    del result
    gc.collect()
    assert all(p() is None for p in probes)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split())]


def test_repeated_calls_do_not_grow_memory():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        pytest.skip("needs glibc's malloc statistics")
    mallinfo2.restype = _MallInfo2
    points = RNG.random((50_000, 2))
    simplices = BUILD(points)[0]
    # every copy and result is at least 400 kB: leaking any one on any path outgrows the bound
    calls = [(BUILD, points), (_kavro.calculate_kavro_2d_f32, points.astype(np.float32)),
             (BUILD, np.column_stack([np.arange(1e5), np.zeros(100_000)])), (RADII, points, simplices),
             (RADII, points[:10], simplices), (ADJACENCY, simplices, 50_000), (ADJACENCY, simplices, 10)]

    def in_use_after(rounds):
        for _ in range(rounds):
            for f, *args in calls:
                _call(f, *args)
        gc.collect()
        return mallinfo2().uordblks + mallinfo2().hblkhd

    before = in_use_after(3)
    assert in_use_after(25) - before < 4 * 2**20


def test_build_releases_the_interpreter_lock():
    points = np.random.default_rng(32).random((1_000_000, 2))
    count, stop = [0], threading.Event()

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

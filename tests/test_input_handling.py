"""How the build functions read their input and hand out their results."""

import gc
import subprocess
import sys

import numpy as np
import pytest

import _kavro
from helpers import POINT_SETS, check_result_array, raises_exactly

BUILD = {np.float64: _kavro.calculate_kavro_2d, np.float32: _kavro.calculate_kavro_2d_f32}


def _points(dtype=np.float64):
    rng = np.random.default_rng(5)  # with copies, so that duplicate rows are compared too
    return np.vstack([rng.random((400, 2)), np.round(rng.random((100, 2)) * 8) / 8]).astype(dtype)


def _same_outcome(f, a, g, b):
    try:
        expected = g(b)
    except ValueError as exc:
        return raises_exactly(ValueError, str(exc), None, f, a)
    for got, want in zip(f(a), expected, strict=True):
        np.testing.assert_array_equal(got, want)


class Tagged(np.ndarray):
    pass


def _views(points):
    wide = np.zeros((2 * len(points), 5), dtype=points.dtype)
    wide[::2, 1:4:2] = points
    frozen = points.copy()
    frozen.flags.writeable = False
    return {"every_other_row": wide[::2, 1:4:2], "fortran": np.asfortranarray(points),
            "reversed_rows": points[::-1], "reversed_both": wide[::-2, 3::-2],
            "subclass": points.view(Tagged), "read_only": frozen}


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("view", list(_views(_points())))
def test_any_layout_reads_like_its_contiguous_copy(view, dtype):
    array = _views(_points(dtype))[view]
    _same_outcome(BUILD[dtype], array, BUILD[dtype], np.array(array, order="C"))


@pytest.mark.parametrize("name", POINT_SETS)
def test_float32_gives_what_its_widened_copy_gives(name):
    narrow = POINT_SETS[name]().astype(np.float32)
    _same_outcome(BUILD[np.float32], narrow, BUILD[np.float64], narrow.astype(np.float64))


def test_results_are_fresh_arrays_independent_of_the_input():
    points = _points()
    kept = points.copy()
    first, second = _kavro.calculate_kavro_2d(points), _kavro.calculate_kavro_2d(points)
    np.testing.assert_array_equal(points, kept)  # the input is only read
    arrays = list(first) + list(second)
    for i, (arr, cols) in enumerate(zip(arrays, (3, 3, 2) * 2)):
        check_result_array(arr, cols)
        assert not any(np.shares_memory(arr, other) for other in [points] + arrays[i + 1:])
    snapshot = [a.copy() for a in first]
    points[:] = 0.0
    second[0][:] = -7
    for a, b in zip(first, snapshot):
        np.testing.assert_array_equal(a, b)
    # a view outlives the tuple and its array; memory freed too early would be reused here
    tail, expected = first[0][5:], snapshot[0][5:]
    del first, second, arrays
    gc.collect()
    scribble = [np.full(expected.shape, -1, np.int32) for _ in range(50)]
    np.testing.assert_array_equal(tail, expected)
    assert scribble and tail.flags.writeable


# Zero-stride inputs of 2**31 + 1 and 2**31 rows, in a process that cannot map even one
# copy of them: a refusal decided on the shape gets its ValueError there, and an input
# at the limit passes it and then fails on the copy's memory.
_AT_THE_POINT_LIMIT = """
import resource
import numpy as np
import _kavro
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
for name, cols, dtype in [("calculate_kavro_2d", 2, np.float64), ("calculate_kavro_2d_f32", 2, np.float32),
                          ("calculate_kavro_3d", 3, np.float64), ("calculate_kavro_3d_f32", 3, np.float32)]:
    for rows in (2**31 + 1, 2**31):
        for parallel in (False, True):
            try:
                getattr(_kavro, name)(np.broadcast_to(np.zeros(cols, dtype), (rows, cols)), parallel=parallel)
                outcome = "built"
            except (ValueError, MemoryError) as exc:
                outcome = f"{type(exc).__name__}: {exc}"
            print(name, rows, parallel, outcome, sep="|")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
def test_inputs_past_the_point_limit_are_refused_from_their_shape():
    out = subprocess.run([sys.executable, "-c", _AT_THE_POINT_LIMIT], capture_output=True,
                         text=True, check=True, timeout=300)
    refusal = "ValueError: degenerate input: too many points (2147483649), maximum is 2147483648"
    expected = [f"{name}|{rows}|{parallel}|{refusal if rows > 2**31 else 'MemoryError: '}"
                for name in ("calculate_kavro_2d", "calculate_kavro_2d_f32",
                             "calculate_kavro_3d", "calculate_kavro_3d_f32")
                for rows in (2**31 + 1, 2**31) for parallel in (False, True)]
    assert out.stdout.splitlines() == expected


# Another thread retypes or reshapes the points (legal NumPy: no resize, no refcheck) while
# parallel builds run: the first call of the process that gets past the argument checks
# starts the pool (the changes mostly come while it does), later calls find it running.
# Each call triangulates the array as it stands when it is copied, or refuses that array;
# it never reads the old shape with the new item size. The array spends most of its time
# changed, so that a change is likely in place when the first start ends.
_CHANGING_INPUT = """
import sys, threading, time
import numpy as np
import _kavro

mode, seed, calls = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
n = 1_000_000 if calls == 1 else 20_000
a = np.random.default_rng(seed).random((n, 2))
pristine = a.copy()
stop, go, changes = False, threading.Event(), []

def noop():
    pass

def mutate():
    go.set()
    while not stop:
        if mode == "shape":
            a.shape = (n // 2, 4)
        else:
            a.dtype = np.dtype(mode)
        for _ in range(7):
            noop()
        a.dtype = np.float64
        a.shape = (n, 2)
        noop()
    changes.append("ended")

changer = threading.Thread(target=mutate, daemon=True)
changer.start()
go.wait()
outcomes = []
# A first call refused at once starts nothing: the first calls go on until one builds,
# with a pause between them in which the other thread changes the array.
while len(outcomes) < calls or calls == 1 and len(outcomes) < 200 and isinstance(outcomes[-1], str):
    try:
        outcomes.append(_kavro.calculate_kavro_2d(a, parallel=True))
    except (TypeError, ValueError) as exc:
        outcomes.append(type(exc).__name__)
    if calls == 1:
        time.sleep(0.0005)
stop = True
changer.join()
assert changes == ["ended"], "the array was not changed throughout"
want = _kavro.calculate_kavro_2d(pristine, parallel=True)
built = [o for o in outcomes if not isinstance(o, str)]
wrong = [o for o in built if not all(np.array_equal(x, y) for x, y in zip(o, want))]
print(len(built), len(wrong), sorted({o for o in outcomes if isinstance(o, str)}))
"""

_REFUSALS = {"float32": ["TypeError"], "complex128": ["TypeError"], "shape": ["ValueError"]}


def _run_changing(mode, seed, calls):
    done = subprocess.run([sys.executable, "-c", _CHANGING_INPUT, mode, str(seed), str(calls)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"status {done.returncode}: {done.stderr[-500:]}"
    built, wrong, refusals = done.stdout.split(maxsplit=2)
    assert wrong == "0" and eval(refusals) in ([], _REFUSALS[mode]), done.stdout
    return int(built)


# A reshape keeps the byte count: a copy with the old shape would still read the right
# numbers, so fewer runs are spent on it.
@pytest.mark.parametrize("mode, runs", [("float32", 10), ("complex128", 10), ("shape", 4)])
def test_points_changed_by_another_thread_during_the_first_parallel_call(mode, runs):
    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda seed: _run_changing(mode, seed, 1), range(runs)))


@pytest.mark.parametrize("mode", ["float32", "complex128", "shape"])
def test_points_changed_by_another_thread_during_repeated_parallel_calls(mode):
    _run_changing(mode, 0, 400)

"""The interpreter exits while builds and queries run in daemon threads: the process must
end as it would without the module (the script's own exit status and output, no abort, no
segmentation fault, no hang), whatever stage each call has reached. Each case runs many
times in fresh interpreters, half of them with small blocks so that progress events come
often and the pipeline is always taken."""

import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

REPS = 30
TIMEOUT = 60
SMALL_BLOCKS = {"KAVRO_PARALLEL_MIN_POINTS": "0", "KAVRO_PARALLEL_BLOCK_TARGET": "20000"}

# Daemon threads build (or query) in a loop; the main thread exits at a random moment
# once every thread has finished a call or seen an event, with the status rep % 3. In
# two runs of three an object's __del__ makes finalization last long enough for every
# loop to meet it.
LOOP = """
import gc, random, sys, threading, time
import numpy as np
import _kavro

kind, rep = sys.argv[1], int(sys.argv[2])
f32 = rep % 4 >= 2
dtype = np.float32 if f32 else np.float64
suffix = "_f32" if f32 else ""
P2 = np.random.default_rng(rep).random((200_000, 2)).astype(dtype)
P3 = np.random.default_rng(rep).random((50_000, 3)).astype(dtype)
build2 = getattr(_kavro, "calculate_kavro_2d" + suffix)
build3 = getattr(_kavro, "calculate_kavro_3d" + suffix)
threads = []

def start(call):
    ran = threading.Event()
    def loop():
        while True:
            call(ran)
            ran.set()
    threading.Thread(target=loop, daemon=True).start()
    threads.append(ran)

def builds(build, points, mode):
    if mode == "sequential":
        start(lambda ran: build(points))
    elif mode == "parallel":
        start(lambda ran: build(points, parallel=True))
    else:
        # The callable sleeps, so that exits often find a thread inside it.
        start(lambda ran: build(points, parallel=True,
                                progress=lambda *e: (ran.set(), time.sleep(0.001))))

if kind == "queries":
    S2, S3 = build2(P2)[0], build3(P3)[0]
    radii = getattr(_kavro, "circumradii" + suffix)
    start(lambda ran: radii(P2, S2))
    start(lambda ran: radii(P3, S3))
    start(lambda ran: _kavro.vertex_neighbor_vertices(S3, len(P3)))
elif kind == "nested":
    # The callable builds as well, so exits also meet a build inside a callable.
    small = P2[:30_000]
    def nest(ran):
        def progress(stage, done, total):
            ran.set()
            if stage in ("blocks", "crust"):
                build2(small, parallel=True, progress=lambda *e: None)
        build2(P2, parallel=True, progress=progress)
    start(nest)
    builds(build3, P3, "progress")
    builds(build2, P2, "sequential")
else:
    dim, mode = kind.split("-")
    builds(build2 if dim == "2d" else build3, P2 if dim == "2d" else P3, mode)
for ran in threads:
    ran.wait()
if rep % 3 != 2:
    class Linger:
        def __del__(self, sleep=time.sleep, seconds=random.Random(rep).uniform(0.2, 0.5)):
            sleep(seconds)
    gc.disable()   # the cycle is collected only once the interpreter finalizes
    linger = Linger(); linger.me = linger; del linger
time.sleep(random.Random(-rep).uniform(0, 0.3))
print("main done", rep)
sys.exit(rep % 3)
"""

# The script: the exit comes while the build sends progress events.
PROGRESS_AT_EXIT = """
import os; os.environ["KAVRO_PARALLEL_BLOCK_TARGET"] = "20000"
import threading, numpy as np, _kavro
P = np.random.default_rng(0).random((1_000_000, 2))
started = threading.Event()
threading.Thread(target=lambda: _kavro.calculate_kavro_2d(
    P, parallel=True, progress=lambda *a: started.set()), daemon=True).start()
started.wait()
print("main done")
"""

# A daemon thread's build ends while the interpreter finalizes: the cycle is collected,
# and its __del__ sleeps, after finalization has begun.
BUILD_ENDS_DURING_FINALIZATION = """
import gc, threading, time, numpy as np, _kavro
P = np.random.default_rng(0).random((2_000_000, 2))
class Slow:
    def __del__(self, sleep=time.sleep):
        sleep(3)
gc.disable()
a = Slow(); a.me = a; del a
threading.Thread(target=lambda: _kavro.calculate_kavro_2d(P), daemon=True).start()
time.sleep(0.2)
print("main done")
"""

# The thread that runs the exit may still call the module: from an atexit handler that
# runs after the module's own, and from a __del__ during finalization, with daemon
# builds around it.
EXITING_THREAD_STILL_BUILDS = """
import atexit, gc, os, random, sys, threading, time
import numpy as np

def late():
    n = len(_kavro.calculate_kavro_2d(Q2, parallel=True, progress=lambda *e: None)[0])
    print("atexit built", n > 0)
atexit.register(late)   # before the import, so it runs after the module's own handler
import _kavro

rep = int(sys.argv[1])
Q2 = np.random.default_rng(1).random((60_000, 2))
Q3 = np.random.default_rng(1).random((20_000, 3))
class Collected:
    def __del__(self, build=_kavro.calculate_kavro_3d, write=os.write):
        write(1, f"finalizer built {len(build(Q3, parallel=True)[0]) > 0}\\n".encode())
gc.disable()   # the cycle is collected only once the interpreter finalizes
c = Collected(); c.me = c; del c

P = np.random.default_rng(rep).random((200_000, 2))
started = threading.Event()
def loop():
    while True:
        _kavro.calculate_kavro_2d(P, parallel=True, progress=lambda *e: started.set())
for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
started.wait()
time.sleep(random.Random(rep).uniform(0, 0.2))
print("main done")
"""

# A call that starts on another thread after the module's exit handler has run (an atexit
# handler registered before the import runs after it) must run to its end and return,
# keeping the interpreter lock throughout; its progress events are dropped.
LATE_CALL = """
import atexit, sys, threading

def same(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and (a == b if isinstance(a, str) else np.array_equal(a, b))

def late():
    got = []
    t = threading.Thread(target=lambda: got.append(call(kind)))
    t.start()
    t.join()
    print("late", same(got[0], expected), events)

atexit.register(late)
import numpy as np
import _kavro

kind = sys.argv[1]
rng = np.random.default_rng(5)
P2, P3 = rng.random((5_000, 2)), rng.random((2_000, 3))
S2, S3 = _kavro.calculate_kavro_2d(P2)[0], _kavro.calculate_kavro_3d(P3)[0]
events = []
CALLS = {
    "2d": lambda: _kavro.calculate_kavro_2d(P2),
    "2d_f32": lambda: _kavro.calculate_kavro_2d_f32(P2.astype(np.float32)),
    "3d_f32": lambda: _kavro.calculate_kavro_3d_f32(P3.astype(np.float32)),
    "2d_parallel": lambda: _kavro.calculate_kavro_2d(P2, parallel=True),
    "2d_progress": lambda: _kavro.calculate_kavro_2d(P2, parallel=True,
                                                     progress=lambda *e: events.append(e)),
    "3d_progress": lambda: _kavro.calculate_kavro_3d(P3, parallel=True,
                                                     progress=lambda *e: events.append(e)),
    "refused": lambda: _kavro.calculate_kavro_3d(P2[:, [0, 0, 1]]),
    "circumradii": lambda: _kavro.circumradii(P2, S2),
    "circumradii_f32": lambda: _kavro.circumradii_f32(P3.astype(np.float32), S3),
    "vertex_neighbor_vertices": lambda: _kavro.vertex_neighbor_vertices(S3, len(P3)),
}

def call(kind):
    try:
        return CALLS[kind]()
    except ValueError as e:
        return str(e)

expected = call(kind)
events.clear()
print("main done")
"""

# The standard library's way to meet it: a ThreadPool left open at exit, whose results
# call the module from multiprocessing's result-handler thread, which multiprocessing's
# own exit handler (registered before the module's) then joins. A handler between the two
# waits until every task has ended, so that every call starts after the module's handler.
THREAD_POOL_AT_EXIT = """
import atexit, multiprocessing.pool, random, sys, time
import numpy as np

built = []
atexit.register(lambda: (time.sleep(0.6), print("callbacks", len(built))))
import _kavro

rep = int(sys.argv[1])
P = np.random.default_rng(rep).random((20_000, 2))
pool = multiprocessing.pool.ThreadPool(2)
delays = random.Random(rep)
for i in range(8):
    pool.apply_async(time.sleep, (delays.uniform(0.02, 0.08),), callback=lambda _, i=i:
                     built.append(_kavro.calculate_kavro_2d(P, parallel=i % 2 == 0)))
print("main done")
"""


def failure(source, args, env):
    """None when the script ended with its own status and output, else what went wrong."""
    rep = args[-1]
    expected_status, expected_out = 0, "main done\n"
    if source is LOOP:
        expected_status, expected_out = rep % 3, f"main done {rep}\n"
    elif source is EXITING_THREAD_STILL_BUILDS:
        expected_out = "main done\natexit built True\nfinalizer built True\n"
    elif source is THREAD_POOL_AT_EXIT:
        expected_out = "main done\ncallbacks 8\n"
    elif source is LATE_CALL:
        expected_out = "main done\nlate True []\n"
    try:
        done = subprocess.run([sys.executable, "-c", source, *map(str, args)], env=env,
                              capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return f"run {rep}: no exit within {TIMEOUT} s"
    if done.returncode == expected_status and done.stdout == expected_out:
        return None
    return (f"run {rep}: status {done.returncode}, stdout {done.stdout!r}, "
            f"stderr {done.stderr[-300:]!r}")


def check_exits(source, *args, reps=REPS):
    """Runs the script `reps` times, four at a time, half of them with small blocks."""
    def one(rep):
        env = dict(os.environ)
        if rep % 2 == 0:
            env.update(SMALL_BLOCKS)
        return failure(source, (*args, rep), env)
    with ThreadPoolExecutor(4) as pool:
        failures = [f for f in pool.map(one, range(reps)) if f]
    assert not failures, f"{len(failures)} of {reps} runs failed:\n" + "\n".join(failures[:5])


@pytest.mark.parametrize("dim", ["2d", "3d"])
@pytest.mark.parametrize("mode", ["sequential", "parallel", "progress"])
def test_exit_during_builds_in_daemon_threads(dim, mode):
    check_exits(LOOP, f"{dim}-{mode}")


@pytest.mark.parametrize("kind", ["queries", "nested"])
def test_exit_during_queries_and_builds_inside_callables(kind):
    check_exits(LOOP, kind)


@pytest.mark.parametrize("source", [PROGRESS_AT_EXIT, BUILD_ENDS_DURING_FINALIZATION],
                         ids=["progress_at_exit", "build_ends_during_finalization"])
def test_exit_in_the_reported_scripts(source):
    check_exits(source)


def test_exiting_thread_still_builds_during_exit():
    check_exits(EXITING_THREAD_STILL_BUILDS)


@pytest.mark.parametrize("kind", ["2d", "2d_f32", "3d_f32", "2d_parallel", "2d_progress",
                                  "3d_progress", "refused", "circumradii", "circumradii_f32",
                                  "vertex_neighbor_vertices"])
def test_a_call_that_starts_after_the_exit_handler_returns(kind):
    env = dict(os.environ, KAVRO_PARALLEL_MIN_POINTS="0", KAVRO_PARALLEL_BLOCK_TARGET="300")
    assert failure(LATE_CALL, (kind, 0), env) is None


def test_thread_pool_callbacks_at_exit():
    check_exits(THREAD_POOL_AT_EXIT, reps=12)

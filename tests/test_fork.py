"""Processes forked at any moment: another thread inside a parallel build or its progress
callable, the pool starting for the first time, right after a build, or from inside a
callable. Every child must end with its own status, and every call in it must return
what the parent's same call returns; a child whose fork found the pool at work builds
sequentially (with the events of an input below the minimum) instead of touching it.
Each scenario runs in a fresh interpreter under a timeout; children are waited for with
a timeout of their own and killed when they hang."""

import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")

TIMEOUT = 240

PRELUDE = """
import atexit, os, signal, sys, threading, time
os.environ["KAVRO_PARALLEL_BLOCK_TARGET"] = "2000"
os.environ["KAVRO_PARALLEL_MIN_POINTS"] = "0"
import numpy as np
import _kavro

dim, forks = int(sys.argv[2]), int(sys.argv[3])
build = _kavro.calculate_kavro_2d if dim == 2 else _kavro.calculate_kavro_3d
rng = np.random.default_rng(dim)
BIG = rng.random((200_000, 2) if dim == 2 else (50_000, 3))
SMALL = rng.random((30_000, 2) if dim == 2 else (8_000, 3))
FALLBACK = [("fallback", 0, 0), ("done", 0, 0)]
problems = []

def wait(pid, timeout=15):
    # The child's exit status, or "hung" (then it is killed).
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.002)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"

def traced(points):
    events = []
    result = build(points, parallel=True, progress=lambda *e: events.append(e))
    return result, events

def same(a, b):
    return all(np.array_equal(x, y) for x, y in zip(a, b))

def triangles(result):
    return sorted(map(tuple, np.sort(result[0], axis=1).tolist()))

def keep_building():
    # A daemon thread making parallel builds with a progress callable and small blocks.
    started = threading.Event()
    def work():
        while True:
            build(BIG, parallel=True, progress=lambda *e: started.set())
    threading.Thread(target=work, daemon=True).start()
    started.wait()

def fork_child(body):
    # Runs body() in a child; its return value is the child's exit status. An exception
    # in the child never goes back up the parent's stack.
    pid = os.fork()
    if pid == 0:
        code = 70
        try:
            code = body()
        finally:
            os._exit(code)
    return pid

SEQ = build(SMALL)
"""

SCENARIOS = {
    # The child exits through the interpreter (atexit handlers, finalization) while the
    # parent's other thread is inside builds and callables.
    "exit": """
keep_building()
r, w = os.pipe()
for i in range(forks):
    pid = os.fork()
    if pid == 0:
        atexit.register(os.write, w, b"x")
        sys.exit(3 + i % 5)
    status = wait(pid)
    if status != 3 + i % 5:
        problems.append(f"fork {i}: {status}")
os.close(w)
ran = b""
while chunk := os.read(r, 1024):
    ran += chunk
if len(ran) != forks:
    problems.append(f"{len(ran)} of {forks} children ran their atexit handlers")
""",
    # The child builds sequentially and in parallel. Its fork found the pool in use by the
    # other thread, so its parallel build is the sequential one, with fallback events.
    "build": """
keep_building()
def child():
    if not same(build(SMALL), SEQ):
        return 3
    result, events = traced(SMALL)
    if events != FALLBACK:
        return 4
    return 0 if same(result, SEQ) else 5
for i in range(forks):
    status = wait(fork_child(child))
    if status != 0:
        problems.append(f"fork {i}: {status}")
""",
    # No other thread: each fork comes right after a parallel build, so the pool can be
    # ended first; the child starts its own threads and builds exactly as the parent does.
    "after": """
PAR = build(SMALL, parallel=True)
def child():
    result, events = traced(SMALL)
    if events == FALLBACK:
        return 3
    if not same(result, PAR):
        return 4
    threads = len(os.listdir("/proc/self/task"))
    return 0 if threads > 1 or len(os.sched_getaffinity(0)) == 1 else 5
for i in range(forks):
    if not same(build(SMALL, parallel=True), PAR):
        problems.append(f"parent build {i} changed")
    status = wait(fork_child(child))
    if status != 0:
        problems.append(f"fork {i}: {status}")
""",
    # multiprocessing's workers, forked by a pool made after the parent's parallel builds.
    "multiprocessing": """
import multiprocessing

PAR = build(SMALL, parallel=True)

def work(i):
    return traced(SMALL)

with multiprocessing.get_context("fork").Pool(4) as pool:
    for i, (result, events) in enumerate(pool.map(work, range(forks))):
        if events == FALLBACK or not same(result, PAR):
            problems.append(f"task {i}: {events[:2]}")
""",
    # Forks from inside the progress callable, on the calling thread and on pool workers;
    # such a child may only exec or _exit. The parent's build goes on unharmed.
    "callable": """
PAR = build(SMALL, parallel=True)
children = []
def progress(stage, done, total):
    if len(children) < forks:
        children.append(fork_child(lambda: 7))
for rep in range(3):
    children.clear()
    result = build(SMALL, parallel=True, progress=progress)
    if not same(result, PAR):
        problems.append(f"build {rep} changed")
    for pid in children:
        status = wait(pid)
        if status != 7:
            problems.append(f"build {rep}: {status}")
""",
    # Forks while another thread makes the process's first parallel call, which starts the
    # pool. Each child builds the same triangulation, by whichever path its fork allows.
    "first_start": """
want = triangles(SEQ)
def child():
    result, events = traced(SMALL)
    return 0 if triangles(result) == want else 3
first = threading.Thread(target=build, args=(BIG,), kwargs={"parallel": True})
first.start()
for i in range(forks):
    status = wait(fork_child(child))
    if status != 0:
        problems.append(f"fork {i}: {status}")
first.join()
""",
}

EPILOGUE = """
print(f"{len(problems)} problems")
for p in problems[:10]:
    print(p)
"""


def run(scenario, dim, forks):
    source = PRELUDE + SCENARIOS[scenario] + EPILOGUE
    try:
        done = subprocess.run([sys.executable, "-c", source, scenario, str(dim), str(forks)],
                              capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{scenario}: no end within {TIMEOUT} s")
    assert done.returncode == 0 and done.stdout.startswith("0 problems"), (
        f"status {done.returncode}\n{done.stdout}\n{done.stderr[-2000:]}")


@pytest.mark.parametrize("dim", [2, 3])
def test_children_exit_normally_while_another_thread_builds(dim):
    run("exit", dim, 40)


@pytest.mark.parametrize("dim, forks", [(2, 150), (3, 50)])
def test_children_of_a_busy_pool_build_sequentially(dim, forks):
    run("build", dim, forks)


@pytest.mark.parametrize("dim", [2, 3])
def test_children_forked_after_a_build_start_their_own_pool(dim):
    run("after", dim, 100 if dim == 2 else 30)


def test_multiprocessing_fork_workers_build_in_parallel():
    run("multiprocessing", 2, 16)


def test_fork_from_inside_a_progress_callable():
    run("callable", 2, 10)


@pytest.mark.parametrize("rep", range(3))
def test_fork_while_another_thread_starts_the_pool(rep):
    run("first_start", 2, 20)

"""The worker pool's first start in a process whose address space is nearly used up."""

import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="needs RLIMIT_AS and /proc/self/status")

MB = 1_000_000
CPUS = len(os.sched_getaffinity(0))

# Caps the address space at the size it has now plus argv[1] bytes, then makes the first
# parallel call of the process; prints the outcome. With argv[3] == "retry" the cap is
# lifted afterwards and a second call must start the pool after all.
SCRIPT = textwrap.dedent("""
    import os, resource, sys
    import numpy as np
    import _kavro

    def vm():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))

    budget, dim, mode = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    points = np.random.default_rng(0).random((200_000, dim))
    build = _kavro.calculate_kavro_3d if dim == 3 else _kavro.calculate_kavro_2d
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm() + budget, hard))
    try:
        build(points, parallel=True)
        outcome = "ok"
    except BaseException as e:
        outcome = type(e).__name__ + ": " + str(e)
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(outcome, flush=True)
    if mode == "retry":
        threads = len(os.listdir("/proc/self/task"))
        build(points, parallel=True)
        print("threads", threads, len(os.listdir("/proc/self/task")), flush=True)
""")


def _run(budget, dim, mode="once"):
    env = dict(os.environ, KAVRO_PARALLEL_MIN_POINTS="0", KAVRO_PARALLEL_BLOCK_TARGET="20000")
    try:
        p = subprocess.run([sys.executable, "-c", SCRIPT, str(budget), str(dim), mode],
                           env=env, capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return "hang", ""
    if p.returncode != 0:
        return f"exit status {p.returncode}: {p.stderr.strip()[-300:]}", p.stdout
    return p.stdout.splitlines()[0], p.stdout


# Up to +20 MB the first call used to hang, raise PanicException or abort (8 cores); then on
# to where the threads' stacks (4 MB each) and what the start needs beside them fit.
BUDGETS = list(range(1, 21)) + list(range(21, 4 * CPUS + 50, 3))


@pytest.mark.parametrize("dim", [2, 3])
def test_first_parallel_call_under_an_address_space_cap_is_ok_or_memory_error(dim):
    with ThreadPoolExecutor(max_workers=4) as ex:
        outcomes = list(ex.map(lambda mb: _run(mb * MB, dim)[0], BUDGETS))
    bad = {f"+{mb} MB": o for mb, o in zip(BUDGETS, outcomes)
           if o != "ok" and not o.startswith("MemoryError")}
    assert not bad
    # the sweep reaches budgets where the pool starts
    assert any("could not start" not in o for o in outcomes)


@pytest.mark.skipif(CPUS < 2, reason="no worker threads on one CPU")
def test_pool_starts_once_the_cap_is_lifted_after_a_refused_start():
    outcome, out = _run(8 * MB, 2, "retry")
    assert outcome.startswith("MemoryError: could not start the worker threads"), outcome
    before, after = map(int, out.splitlines()[1].split()[1:])
    assert after > before

"""Times parallel builds in a forked child against the same builds in its parent.

    python bench/bench_fork.py                  # 2e6 2D points, best of 3
    python bench/bench_fork.py --n 1000000 --dim 3 --repeat 5

The parent makes parallel builds on its own thread, then forks while no build runs: the
pool's threads are ended for the fork, and the child starts its own at its first parallel
call. Prints the best time of a parallel build in the parent before the fork, in the
child (its first call, which starts the pool, is timed apart), in the parent after the
fork (likewise), and of the sequential build, with the child / parent ratio. A second
child is forked while another thread of the parent is inside a parallel build: its
parallel calls run the sequential kernel, and their time is printed too.
"""
import argparse
import os
import sys
import threading
import time

import numpy as np

import _kavro


def timed(f):
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


def best(f, repeat):
    return min(timed(f) for _ in range(repeat))


def in_child(measure):
    """Runs measure() in a forked child and returns the floats it measured."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            os.write(w, " ".join(map(repr, measure())).encode())
        finally:
            os._exit(0)
    os.close(w)
    out = b""
    while chunk := os.read(r, 4096):
        out += chunk
    os.close(r)
    os.waitpid(pid, 0)
    return [float(x) for x in out.split()]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=2_000_000)
    ap.add_argument("--dim", type=int, choices=(2, 3), default=2)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    build = _kavro.calculate_kavro_2d if args.dim == 2 else _kavro.calculate_kavro_3d
    points = np.random.default_rng(12345).random((args.n, args.dim))
    parallel = lambda: build(points, parallel=True)  # noqa: E731

    print(f"cores: {len(os.sched_getaffinity(0))} (os.cpu_count() = {os.cpu_count()}), "
          f"{args.dim}D, {args.n} points, best of {args.repeat}", flush=True)
    parallel()
    sequential = best(lambda: build(points), args.repeat)
    parent = best(parallel, args.repeat)
    child_first, child = in_child(lambda: (timed(parallel), best(parallel, args.repeat)))
    parent_first = timed(parallel)
    parent_after = best(parallel, args.repeat)

    small = points[:200_000]
    busy = threading.Event()
    stop = False

    def keep_building():
        while not stop:
            build(small, parallel=True)
            busy.set()

    other = threading.Thread(target=keep_building)
    other.start()
    busy.wait()
    (busy_child,) = in_child(lambda: (best(parallel, args.repeat),))
    stop = True
    other.join()

    rows = [("sequential, parent", sequential), ("parallel, parent", parent),
            ("parallel, child's first call", child_first), ("parallel, child", child),
            ("parallel, parent's first call after the fork", parent_first),
            ("parallel, parent after the fork", parent_after),
            ("parallel, child of a busy pool", busy_child)]
    for name, seconds in rows:
        print(f"  {name:<48} {seconds:8.3f} s")
    print(f"child / parent: {child / parent:.2f}; child of a busy pool / sequential: "
          f"{busy_child / sequential:.2f}")


if __name__ == "__main__":
    sys.exit(main())

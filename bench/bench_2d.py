"""Times calculate_kavro_2d against scipy.spatial.Delaunay on the same seeded points.

    python bench/bench_2d.py                 # 1e5, 1e6, 4e6 uniform points and a 1000x1000 grid
    python bench/bench_2d.py --sizes 100000 --repeat 3
    python bench/bench_2d.py --hull          # 1e5 and 1e6 points on a circle and on a square's sides

Prints, per input, the median wall time of each library, the ratio scipy / kavro, and the
peak memory of one kavro call above what the process held before it (bytes per point).
Memory is measured in a fresh subprocess per input so earlier runs cannot hide a peak.

With --hull it times kavro alone on inputs that keep most points on the hull (a circle;
the four sides of a square plus 20 points inside) against uniform points of the same
size, the kinds taking turns within each repeat so that a change in the machine's load
hits all of them, and prints each median's ratio to uniform. Flips move hull edges all
the time on such inputs: a ratio far above 4 means some step scales with the hull's
size. --parallel times parallel=True instead, which sends these inputs to the sequential
kernel.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np


def make_points(kind, n, seed=12345):
    if kind == "uniform":
        return np.random.default_rng(seed).random((n, 2))
    if kind == "grid":
        side = int(round(n ** 0.5))
        x, y = np.meshgrid(np.arange(side, dtype=np.float64), np.arange(side, dtype=np.float64))
        return np.column_stack([x.ravel(), y.ravel()])
    if kind == "circle":
        t = np.random.default_rng(seed).random(n) * (2 * np.pi)
        return np.column_stack([np.cos(t), np.sin(t)])
    if kind == "square_sides":
        rng = np.random.default_rng(seed)
        m = (n - 20) // 4
        t, zero, one = rng.random((4, m)), np.zeros(m), np.ones(m)
        sides = [np.column_stack(s) for s in ((t[0], zero), (one, t[1]), (t[2], one), (zero, t[3]))]
        points = np.vstack(sides + [0.05 + 0.9 * rng.random((n - 4 * m, 2))])
        return points[rng.permutation(len(points))]
    raise ValueError(kind)


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def peak_bytes(build, pts, warmup):
    """Peak RSS of one build(pts) above the RSS just before it; run it in a fresh child."""
    build(warmup)  # loads NumPy's C interface outside the window
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current RSS
    before = rss_kib("VmRSS")
    out = build(pts)
    peak = rss_kib("VmHWM")
    del out
    return (peak - before) * 1024


def measure_peak(kind, n):
    import _kavro

    return peak_bytes(_kavro.calculate_kavro_2d, make_points(kind, n), make_points("uniform", 100))


HULL_KINDS = ("uniform", "circle", "square_sides")


def hull_heavy(sizes, repeat, parallel):
    import _kavro

    print(f"cores: {len(os.sched_getaffinity(0))} (os.cpu_count() = {os.cpu_count()}), "
          f"parallel={parallel}")
    print(f"{'input':>20} {'kavro s':>9} {'/ uniform':>9}")
    def build(pts):
        return _kavro.calculate_kavro_2d(pts, parallel=parallel)

    build(make_points("uniform", 1000))  # warm-up
    worst = 0.0
    for n in sizes:
        inputs = {kind: make_points(kind, n) for kind in HULL_KINDS}
        times = {kind: [] for kind in HULL_KINDS}
        for _ in range(repeat):
            for kind in HULL_KINDS:
                t0 = time.perf_counter()
                build(inputs[kind])
                times[kind].append(time.perf_counter() - t0)
        base = statistics.median(times["uniform"])
        for kind in HULL_KINDS:
            t = statistics.median(times[kind])
            worst = max(worst, t / base)
            print(f"{kind + ' ' + str(n):>20} {t:9.3f} {t / base:9.2f}")
    print(f"largest ratio to uniform: {worst:.2f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="*")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--scipy-repeat", type=int, default=3)
    ap.add_argument("--no-grid", action="store_true")
    ap.add_argument("--hull", action="store_true", help="hull-heavy inputs against uniform ones")
    ap.add_argument("--parallel", action="store_true", help="with --hull: build with parallel=True")
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        print(json.dumps(measure_peak(args.child[0], int(args.child[1]))))
        return
    if args.hull:
        hull_heavy(args.sizes or [100_000, 1_000_000], args.repeat, args.parallel)
        return
    if args.sizes is None:
        args.sizes = [100_000, 1_000_000, 4_000_000]

    import _kavro
    from scipy.spatial import Delaunay

    cases = [("uniform", n) for n in args.sizes]
    if not args.no_grid:
        cases.append(("grid", 1_000_000))
    print(f"{'input':>18} {'kavro s':>9} {'scipy s':>9} {'ratio':>7} {'peak B/pt':>10}")
    kavro_times = {}
    for kind, n in cases:
        pts = make_points(kind, n)
        _kavro.calculate_kavro_2d(make_points("uniform", 1000))  # warm-up
        tk = median_time(lambda: _kavro.calculate_kavro_2d(pts), args.repeat)
        reps = args.scipy_repeat if n <= 1_000_000 else 1
        ts = median_time(lambda: Delaunay(pts), reps)
        child = subprocess.run([sys.executable, __file__, "--child", kind, str(n)],
                               capture_output=True, text=True, check=True)
        peak = json.loads(child.stdout)
        kavro_times[(kind, n)] = tk
        print(f"{kind + ' ' + str(n):>18} {tk:9.3f} {ts:9.3f} {ts / tk:7.1f} {peak / n:10.1f}")
    if ("grid", 1_000_000) in kavro_times and ("uniform", 1_000_000) in kavro_times:
        g = kavro_times[("grid", 1_000_000)] / kavro_times[("uniform", 1_000_000)]
        print(f"grid 1000x1000 / uniform 1e6 time: {g:.2f}")


if __name__ == "__main__":
    main()

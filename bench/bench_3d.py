"""Times calculate_kavro_3d against scipy.spatial.Delaunay on the same seeded points.

    python bench/bench_3d.py                 # 1e5 and 1e6 uniform points in the unit cube
    python bench/bench_3d.py --sizes 100000 --repeat 3

Prints, per size, the median wall time of each library, the ratio scipy / kavro, and the
peak memory of one kavro call above what the process held before it (bytes per point),
measured in a fresh subprocess so that earlier runs cannot hide a peak. scipy needs about
40 s for 1e6 points, so sizes above 1e5 time it once.
"""
import argparse
import json
import subprocess
import sys

import numpy as np

from bench_2d import median_time, peak_bytes


def make_points(n, seed=12345):
    return np.random.default_rng(seed).random((n, 3))


def measure_peak(n):
    import _kavro

    return peak_bytes(_kavro.calculate_kavro_3d, make_points(n), make_points(100))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="*", default=[100_000, 1_000_000])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--scipy-repeat", type=int, default=3)
    ap.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child is not None:
        print(json.dumps(measure_peak(args.child)))
        return

    import _kavro
    from scipy.spatial import Delaunay

    print(f"{'input':>16} {'kavro s':>9} {'scipy s':>9} {'ratio':>7} {'tets/pt':>8} {'peak B/pt':>10}")
    for n in args.sizes:
        pts = make_points(n)
        _kavro.calculate_kavro_3d(make_points(1000))  # warm-up
        tk = median_time(lambda: _kavro.calculate_kavro_3d(pts), args.repeat)
        tets = len(_kavro.calculate_kavro_3d(pts)[0])
        ts = median_time(lambda: Delaunay(pts), args.scipy_repeat if n <= 100_000 else 1)
        child = subprocess.run([sys.executable, __file__, "--child", str(n)],
                               capture_output=True, text=True, check=True)
        peak = json.loads(child.stdout)
        print(f"{'uniform ' + str(n):>16} {tk:9.3f} {ts:9.3f} {ts / tk:7.1f} {tets / n:8.2f} "
              f"{peak / n:10.1f}")


if __name__ == "__main__":
    main()

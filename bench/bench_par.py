"""Times parallel=True against the sequential build, and against scipy.spatial.Delaunay at
the smaller sizes, on the same seeded uniform points, with 1, 2, 4 and all cores.

    python bench/bench_par.py                     # 2D 1e6, 4e6, 1e7; 3D 1e6, 4e6
    python bench/bench_par.py --quick             # 2D 2e5, 3D 1e5, blocks of 20000 (a smoke run)
    python bench/bench_par.py --dims 3 --sizes 1000000 --repeat 3

Each thread count runs in a child process pinned to that many cores with taskset
(oneTBB sizes its pool by the cores the process may use). Per input it prints the
median wall time of the sequential and the parallel build, the speed-up, the peak memory
of one call above what the process held before it (bytes per point, each call in a fresh
child), the path the parallel build took ("pipeline" or "fallback"), the block count and
the wall time of each phase, read from the progress events: grid (call start to the
first "blocks" event), blocks, crust and merge. The crust size in % of the distinct
points comes from the C++ bench (build/bench/bench_pipeline), which this script runs when
it is built. Finally the fallback rate on uniform, clustered and grid inputs.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

from bench_2d import rss_kib

HERE = os.path.dirname(os.path.abspath(__file__))


def make_points(kind, n, dim, seed=12345):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((n, dim))
    if kind == "clustered":
        centres = rng.random((max(n // 2000, 2), dim))
        return centres[rng.integers(0, len(centres), n)] + rng.normal(0, 2e-3, (n, dim))
    if kind == "grid":
        side = int(round(n ** (1 / dim)))
        return np.indices((side,) * dim).reshape(dim, -1).T.astype(np.float64)
    raise ValueError(kind)


def build_fn(dim):
    import _kavro

    return _kavro.calculate_kavro_2d if dim == 2 else _kavro.calculate_kavro_3d


def child(args):
    """One measurement in this (pinned) process; prints a JSON record."""
    f = build_fn(args.dim)
    pts = make_points(args.kind, args.n, args.dim, args.seed)
    # Loads NumPy's interface and starts the pool (a pipeline run on small blocks), so that
    # neither counts in what is measured below.
    saved = {k: os.environ.get(k) for k in ("KAVRO_PARALLEL_MIN_POINTS", "KAVRO_PARALLEL_BLOCK_TARGET")}
    os.environ.update(KAVRO_PARALLEL_MIN_POINTS="0", KAVRO_PARALLEL_BLOCK_TARGET="2000")
    f(make_points("uniform", 20000, args.dim), parallel=True)
    for k, v in saved.items():
        if v is None:
            os.environ.pop(k)
        else:
            os.environ[k] = v
    if args.what == "peak":
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")  # resets VmHWM to the current RSS
        before = rss_kib("VmRSS")
        out = f(pts, parallel=args.parallel)
        print(json.dumps((rss_kib("VmHWM") - before) * 1024))
        del out
        return
    if args.what == "scipy":
        from scipy.spatial import Delaunay

        t = time.perf_counter()
        Delaunay(pts)
        print(json.dumps(time.perf_counter() - t))
        return
    times = []
    for _ in range(args.repeat):
        t = time.perf_counter()
        f(pts, parallel=args.parallel)
        times.append(time.perf_counter() - t)
    record = {"seconds": statistics.median(times), "cores": os.cpu_count(),
              "pool": len(os.sched_getaffinity(0))}
    if args.parallel:
        events = []
        t0 = time.perf_counter()
        f(pts, parallel=True, progress=lambda stage, done, total: events.append(
            (stage, done, total, time.perf_counter())))
        stamp = {}
        for stage, done, total, t in events:
            stamp.setdefault(stage, t)
        record["path"] = "fallback" if "fallback" in stamp else "pipeline"
        record["blocks"] = next((total for stage, done, total, _ in events if stage == "blocks"), 0)
        if record["path"] == "pipeline":
            record["phases"] = [stamp["blocks"] - t0, stamp["crust"] - stamp["blocks"],
                                stamp["merge"] - stamp["crust"], stamp["done"] - stamp["merge"]]
    print(json.dumps(record))


def run_child(dim, n, what, threads=None, parallel=True, kind="uniform", seed=12345, repeat=1):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "--what", what, "--dim", str(dim),
           "--n", str(n), "--kind", kind, "--seed", str(seed), "--repeat", str(repeat)]
    if parallel:
        cmd.append("--parallel")
    if threads is not None:
        cores = sorted(os.sched_getaffinity(0))[:threads]
        cmd = ["taskset", "-c", ",".join(map(str, cores))] + cmd
    out = subprocess.run(cmd, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def thread_counts():
    cores = len(os.sched_getaffinity(0))
    return sorted({k for k in (1, 2, 4, cores) if k <= cores})


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dims", type=int, nargs="*", default=[2, 3])
    ap.add_argument("--sizes", type=int, nargs="*")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--scipy-below", type=int, default=1_500_000,
                    help="time scipy only up to this many points")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--what", default="time", help=argparse.SUPPRESS)
    ap.add_argument("--dim", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--n", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--kind", default="uniform", help=argparse.SUPPRESS)
    ap.add_argument("--seed", type=int, default=12345, help=argparse.SUPPRESS)
    ap.add_argument("--parallel", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args)
        return

    sizes = {2: [1_000_000, 4_000_000, 10_000_000], 3: [1_000_000, 4_000_000]}
    if args.quick:
        sizes = {2: [200_000], 3: [100_000]}
        # small enough for several blocks at these sizes (children inherit it)
        os.environ.setdefault("KAVRO_PARALLEL_BLOCK_TARGET", "20000")
    print(f"cores: {len(os.sched_getaffinity(0))} (os.cpu_count() = {os.cpu_count()})")
    for dim in args.dims:
        for n in args.sizes or sizes[dim]:
            seq = run_child(dim, n, "time", parallel=False, repeat=args.repeat)["seconds"]
            line = f"{dim}D uniform {n:>9}: sequential {seq:7.3f} s"
            if n <= args.scipy_below:
                sp = run_child(dim, n, "scipy", parallel=False)
                line += f", scipy {sp:7.3f} s (scipy / sequential {sp / seq:5.1f})"
            print(line)
            peak_seq = run_child(dim, n, "peak", parallel=False)
            peak_par = run_child(dim, n, "peak", parallel=True)
            print(f"  peak memory: sequential {peak_seq / n:7.1f} B/pt, parallel {peak_par / n:7.1f} B/pt"
                  f" (ratio {peak_par / max(peak_seq, 1):4.2f})")
            print(f"  {'threads':>7} {'parallel s':>10} {'speed-up':>8} {'path':>9} {'blocks':>6} "
                  f"{'grid s':>7} {'blocks s':>8} {'crust s':>7} {'merge s':>7}")
            for k in thread_counts():
                r = run_child(dim, n, "time", threads=k, repeat=args.repeat)
                phases = r.get("phases")
                ph = " ".join(f"{p:7.3f}" for p in phases) if phases else ""
                print(f"  {k:>7} {r['seconds']:10.3f} {seq / r['seconds']:8.2f} {r['path']:>9} "
                      f"{r['blocks']:>6} {ph}")
    print("fallback rate (parallel=True, all cores, 3 seeds each):")
    # An integer grid in 3D is cospherical everywhere: its fallback runs the sequential
    # kernel through slow exact ties, so the grid sizes stay small.
    for dim, n in ((2, 1_000_000), (3, 500_000)) if not args.quick else ((2, 200_000), (3, 100_000)):
        for kind in ("uniform", "clustered", "grid"):
            n = min(n, 30_000) if (dim, kind) == (3, "grid") else n
            paths = [run_child(dim, n, "time", kind=kind, seed=s)["path"] for s in (1, 2, 3)]
            print(f"  {dim}D {kind:>9} {n:>9}: {paths.count('fallback')}/3 fell back")
    exe = os.path.join(HERE, "..", "build", "bench", "bench_pipeline")
    if os.path.exists(exe):
        print("crust size and phases inside the pipeline (build/bench/bench_pipeline):")
        for dim in args.dims:
            ns = args.sizes or sizes[dim]
            subprocess.run([exe, str(dim)] + [str(n) for n in ns], check=True)


if __name__ == "__main__":
    main()

"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_threads.py [--case fits|crossover] [--repeats R] [--build build] [--busy] [--small]

Thread counts: each fit timed with the default threads (RAYON_NUM_THREADS and
OPENBLAS_NUM_THREADS unset) and with one (RAYON_NUM_THREADS=1), one fit per fresh process,
the two alternating, side by side with the ratio default / one and whether every run gave
the same result to the last bit.

fits       spatial_fit on 300 people at 60 sites on the machine as it is ("idle") and with one
           spinning process per processor started by this script ("busy"); spatial_fit on
           1,000 people at 200 sites and autoregressive_fit on a 32 x 32 grid (1,024
           people), busy. Targets: idle <= 1.1, busy <= 1.3. The best of R fits per cell
           (4 R for the 300-person rows); --small keeps those rows alone.
crossover  dpotrf, dpotrs (as many right-hand sides as the order), dpotri and dsyevd at
           orders 128 to 3,072 on one OpenBLAS thread and on the pool, with the crossover
           the library uses for each (bench/lapack_threads.cpp; runs when --build is given).
           Add --busy to time them beside the spinning processes instead.

"idle" means nothing started here: the script prints the load average first, since other
work on the machine moves every figure.
"""

import argparse
import contextlib
import hashlib
import json
import os
import pathlib
import signal
import subprocess
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import best_time, parser, run_native  # noqa: E402


def spatial_problem(n, sites):
    from bench_spatial import sample
    k, distance, x, y = sample(n, sites)
    return lambda core: core.spatial_fit([k], distance, x, y)


def grid_problem(side):
    from bench_autoregressive import problem
    k, rows, cols, x, y = problem(side)
    return lambda core: core.autoregressive_fit([k], rows, cols, x, y)


# (label, problem, machine states to time it in, target ratio per state, runs per repeat): a
# fit of half a second on a busy machine varies threefold from run to run, so it runs more.
ROWS = [
    ("spatial_fit, 300 people", lambda: spatial_problem(300, 60), {"idle": 1.1, "busy": 1.3}, 4),
    ("spatial_fit, 1,000 people", lambda: spatial_problem(1000, 200), {"busy": 1.3}, 1),
    ("autoregressive_fit, 1,024 people", lambda: grid_problem(32), {"busy": 1.3}, 1),
]


def child(row):
    """In a fresh process: the time of one fit of ROWS[row], and a digest of its result."""
    from kestrune import _core
    fit = ROWS[row][1]()
    seconds, result = best_time(lambda: fit(_core), 1)
    print(json.dumps({"seconds": seconds, "digest": hashlib.sha256(repr(result).encode()).hexdigest()}))


def timed_in_child(row, threads):
    env = {key: value for key, value in os.environ.items()
           if key not in ("RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS")}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, "-P", __file__, "--child", str(row)],
                         env=env, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(out.stdout.splitlines()[-1])


@contextlib.contextmanager
def machine(state):
    """With state "busy", one spinning process per processor for the duration."""
    spinners = []
    if state == "busy":
        for _ in range(len(os.sched_getaffinity(0))):
            spinners.append(subprocess.Popen([sys.executable, "-c", "while True: pass"]))
    try:
        yield
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()


def fits_case(repeats, small):
    print(f"{'':36} {'machine':7} {'one thread':>11} {'default':>11} {'ratio':>7}  target  same result")
    for state in ("idle", "busy"):
        with machine(state):
            for row, (label, _, targets, runs_per_repeat) in enumerate(ROWS):
                if state not in targets or (small and row > 0):
                    continue
                # One fit per process, the two settings alternating, the best of each kept.
                runs = [(timed_in_child(row, 1), timed_in_child(row, None))
                        for _ in range(max(1, repeats) * runs_per_repeat)]
                one = min(r[0]["seconds"] for r in runs)
                default = min(r[1]["seconds"] for r in runs)
                same = len({r[i]["digest"] for r in runs for i in (0, 1)}) == 1
                print(f"{label:36} {state:7} {one:9.2f} s {default:9.2f} s {default / one:6.2f}x  <= {targets[state]}"
                      f"  {'yes' if same else 'no'}", flush=True)


def crossover_case(build, repeats, busy):
    kinds = ("factor", "solve", "inverse", "eigen")
    names = {"factor": "dpotrf", "solve": "dpotrs", "inverse": "dpotri", "eigen": "dsyevd"}
    header = "".join(f"{names[k] + ' one / pool ms':>28}" for k in kinds)
    with machine("busy" if busy else "idle"):
        rows = [run_native(build, "lapack_threads", {"unused": np.zeros(1)}, repeats, order)
                for order in (128, 256, 384, 512, 768, 1024, 1536, 2048, 3072)]
    print(f"one OpenBLAS thread against its pool of {rows[0]['pool']:.0f} (ratio one / pool: above 1 the pool is faster)")
    print(f"{'order':>6}{header}")
    for row in rows:
        cells = "".join(f"{row[k + '_one'] * 1e3:9.2f} /{row[k + '_pool'] * 1e3:8.2f} {row[k + '_one'] / row[k + '_pool']:6.2f}x"
                        for k in kinds)
        print(f"{row['order']:6.0f}{cells}")
    print("crossovers used: " + ", ".join(f"{names[k]} {rows[0][k + '_crossover']:.0f}" for k in kinds))


def main():
    arguments = parser(__doc__)
    arguments.add_argument("--case", choices=["fits", "crossover"])
    arguments.add_argument("--repeats", type=int, default=3)
    arguments.add_argument("--build", type=pathlib.Path)
    arguments.add_argument("--busy", action="store_true")
    arguments.add_argument("--small", action="store_true", help="fits: only the 300-person rows")
    arguments.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = arguments.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # unwinds, so spinners and children stop
    if args.child is not None:
        child(args.child)
        return
    print("load average before:", " ".join(f"{load:.2f}" for load in os.getloadavg()), flush=True)
    if args.case == "crossover" and args.build is None:
        raise SystemExit("--case crossover needs --build, a tree configured with -DKESTRUNE_BENCH=ON")
    if args.case == "crossover" or (args.case is None and args.build is not None):
        crossover_case(args.build, args.repeats, args.busy)
    if args.case in (None, "fits"):
        fits_case(args.repeats, args.small)


if __name__ == "__main__":
    main()

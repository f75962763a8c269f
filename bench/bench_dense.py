"""Run from the repository root:

    PYTHONPATH=build/python python3 bench/bench_dense.py [--repeats R] [--markers M] [--threads T]

One dense relationship block: a genomic relationship matrix K = W W' / 3,000 over 1,410
unrelated people (W centred simulated genotypes), X = 1, M = 11,000 markers. Each row is timed
in a fresh process on one thread (RAYON_NUM_THREADS=OPENBLAS_NUM_THREADS=1) and on T threads
(default 8), beside the plain numpy route in the same process: numpy.linalg.eigh(K) and one
product U' M.

  held       association_sweep(variance="held"). Targets: <= 1.3x numpy on one thread,
             <= 1.5x on T threads.
  refitted   association_sweep(variance="refitted"). Targets: <= 3x numpy on one thread,
             at least 4x faster on T threads than on one.
  variant    variant_set_scan of 500 sets of 20 variants on the same people, beside the same
             numpy route (no target: it shows what one dense block costs a scan).

numpy and kestrune run in separate fresh processes. OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE,
which pin OpenBLAS's kernel, are removed from the children's environment so that numpy's
OpenBLAS and ours pick their kernels for the machine; the kernel each loaded is printed.
"""

import argparse
import ctypes
import json
import os
import pathlib
import subprocess
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import best_time, parser  # noqa: E402

PEOPLE = 1410
LOCI = 3000


def sample(markers, seed=7):
    rng = np.random.default_rng(seed)
    frequencies = rng.uniform(0.05, 0.5, LOCI)
    w = rng.binomial(2, frequencies, size=(PEOPLE, LOCI)).astype(float)
    w -= w.mean(axis=0)
    k = w @ w.T / LOCI
    x = np.ones((PEOPLE, 1))
    genetic = w[:, :300] @ rng.normal(0.0, 0.06, 300)
    y = 1.0 + genetic + rng.normal(size=PEOPLE)
    g = rng.binomial(2, rng.uniform(0.05, 0.5, markers), size=(PEOPLE, markers)).astype(float)
    roots = [rng.binomial(2, 0.1, size=(PEOPLE, 20)) * rng.uniform(0.5, 2.0, 20) for _ in range(500)]
    return k, x, y, g, roots


def corename(path_part, symbol):
    """The kernel an OpenBLAS already loaded in this process uses, or '?'."""
    for line in pathlib.Path("/proc/self/maps").read_text().splitlines():
        if path_part in line and ".so" in line:
            library = ctypes.CDLL(line.split()[-1])
            if hasattr(library, symbol):
                getattr(library, symbol).restype = ctypes.c_char_p
                return getattr(library, symbol)().decode()
    return "?"


def child(args):
    """One side's times in this process: numpy's pool, once used, keeps polling for a while and
    would take processors from ours."""
    k, x, y, g, roots = sample(args.markers)
    if args.child == "numpy":
        eigh, (values, vectors) = best_time(lambda: np.linalg.eigh(k), args.repeats)
        product, _ = best_time(lambda: vectors.T @ g, args.repeats)
        print(json.dumps({"times": {"eigh": eigh, "product": product},
                          "kernel": corename("scipy_openblas", "scipy_openblas_get_corename64_")}))
        return
    from kestrune import _core
    times = {}
    times["held"], held = best_time(lambda: _core.association_sweep(k, x, y, g, "held"), args.repeats)
    times["refitted"], refitted = best_time(lambda: _core.association_sweep(k, x, y, g, "refitted"), 1)
    times["variant"], _ = best_time(lambda: _core.variant_set_scan([k], x, y, roots), args.repeats)
    print(json.dumps({"times": times, "kernel": corename("libopenblas", "openblas_get_corename"),
                      "held": [row[4] for row in held[2]], "refitted": [row[4] for row in refitted[2]]}))


def in_child(args, threads, side):
    env = {key: value for key, value in os.environ.items()
           if key not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    env.update(RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads))
    command = [sys.executable, "-P", __file__, "--child", side, "--repeats", str(args.repeats),
               "--markers", str(args.markers)]
    out = subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out.splitlines()[-1])


def both_sides(args, threads):
    numpy, ours = in_child(args, threads, "numpy"), in_child(args, threads, "ours")
    ours["times"].update(numpy["times"])
    ours["kernels"] = {"numpy": numpy["kernel"], "ours": ours["kernel"]}
    return ours


def main():
    arguments = parser(__doc__)
    arguments.add_argument("--repeats", type=int, default=3)
    arguments.add_argument("--markers", type=int, default=11000)
    arguments.add_argument("--threads", type=int, default=8)
    arguments.add_argument("--child", choices=["numpy", "ours"], help=argparse.SUPPRESS)
    args = arguments.parse_args()
    if args.child is not None:
        child(args)
        return
    print(f"load average {os.getloadavg()[0]:.2f}; {os.cpu_count()} processors; "
          f"{PEOPLE} people, {args.markers} markers")
    runs = {threads: both_sides(args, threads) for threads in (1, args.threads)}
    for threads, run in runs.items():
        print(f"kernels on {threads} thread(s): numpy {run['kernels']['numpy']}, ours {run['kernels']['ours']}")
    print(f"{'':10}{'threads':>8}{'ours':>10}{'numpy eigh + U`M':>22}{'ratio':>8}  target")
    for mode, target in (("held", {1: 1.3, args.threads: 1.5}), ("refitted", {1: 3.0}), ("variant", {})):
        for threads, run in runs.items():
            t = run["times"]
            reference = t["eigh"] + t["product"]
            goal = f"<= {target[threads]}" if threads in target else ""
            print(f"{mode:10}{threads:>8}{t[mode]:>8.2f} s{t['eigh']:>9.2f} + {t['product']:.2f} s"
                  f"{t[mode] / reference:>8.2f}x  {goal}")
    one, pool = runs[1]["times"]["refitted"], runs[args.threads]["times"]["refitted"]
    print(f"refitted, one thread / {args.threads} threads: {one / pool:.2f}x  (target >= 4)")
    for mode in ("held", "refitted"):
        a, b = np.array(runs[1][mode]), np.array(runs[args.threads][mode])
        print(f"{mode} p-values on 1 and {args.threads} threads: largest relative difference "
              f"{np.nanmax(np.abs(a - b) / np.abs(b)):.1e}")


if __name__ == "__main__":
    main()

"""Run from the repository root:

    PYTHONPATH=build/python python3 bench/bench_sweeps.py [--repeats R] [--markers M] [--sets S]

The genome scans side by side in one run, each on one thread (RAYON_NUM_THREADS=1 and
OPENBLAS_NUM_THREADS=1, in a child process) and on the default pool:

  refitted   association_sweep(variance="refitted") on 2,002 people in 383 families of five
             and six with 2,000 markers, against GEMMA's likelihood-ratio test `gemma -lmm 2`
             (heritability refitted per marker). Target: at least 3 times faster.
  held       association_sweep(variance="held") on the same sample, against GEMMA's score
             test `gemma -lmm 3` (heritability held at the null's). Target: about 20 times.
  variant    variant_set_scan of 1,000 sets of 10 variants on 3,000 people (bench_scans.py's
             sample), against a dense Cholesky factor of V and P applied set by set in numpy,
             on one thread. Target: at least 20 times faster.

GEMMA (the Debian package `gemma`, 0.98.5) runs where it is on the PATH, given K (`-k`, as we
are; it centres K, which moves ML slightly) and given K's eigendecomposition (`-d/-u`, which
it does not centre: its p-values are printed beside ours from that run). GEMMA's wall time
includes reading its text inputs, as ours includes decomposing K.
"""

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
import bench_scans  # noqa: E402
from common import best_time, parser  # noqa: E402

from kestrune import _core  # noqa: E402

SIZES = [5] * 296 + [6] * 87  # 383 families, 2,002 people


def family(m):
    """Two unrelated parents and m - 2 children."""
    k = np.eye(m)
    k[:2, 2:] = k[2:, :2] = 0.5
    k[2:, 2:] = 0.5 + 0.5 * np.eye(m - 2)
    return k


def sweep_sample(markers, seed=1):
    rng = np.random.default_rng(seed)
    sizes = list(SIZES)
    rng.shuffle(sizes)
    n = sum(sizes)
    k, genetic, at = np.zeros((n, n)), np.empty(n), 0
    for m in sizes:
        k[at:at + m, at:at + m] = family(m)
        genetic[at:at + m] = np.linalg.cholesky(family(m)) @ rng.normal(size=m)
        at += m
    order = rng.permutation(n)
    k, genetic = k[np.ix_(order, order)], genetic[order]
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    g = rng.binomial(2, rng.uniform(0.05, 0.5, markers), size=(n, markers)).astype(float)
    y = x @ [1.0, 0.3] + 0.8 * genetic + 0.6 * rng.normal(size=n) + g[:, :20] @ rng.normal(0.0, 0.15, 20)
    return k, x, y, g


def variant_sample(sets):
    rng, k, x, y = bench_scans.sample()
    roots = [rng.binomial(2, 0.1, size=(len(y), 10)) * rng.uniform(0.5, 2.0, 10) for _ in range(sets)]
    return k, x, y, roots


def our_times(args):
    """Our three timings, with the refitted and held p-values and the dense route's time."""
    k, x, y, g = sweep_sample(args.markers)
    times, p_values = {}, {}
    for mode in ("refitted", "held"):
        times[mode], result = best_time(lambda: _core.association_sweep(k, x, y, g, mode), args.repeats)
        p_values[mode] = [row[4] for row in result[2]]
    k, x, y, roots = variant_sample(args.sets)
    times["variant"], _ = best_time(lambda: _core.variant_set_scan([k], x, y, roots), args.repeats)
    dense = None
    if args.dense:
        coefficients = _core.component_fit([k], x, y)[0]
        dense, _ = best_time(lambda: bench_scans.dense_scan(k, x, y, roots, coefficients), 1)
    return {"times": times, "p_values": p_values, "dense": dense}


def in_child(args, threads, dense):
    env = dict(os.environ)
    if threads is not None:
        env.update(RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads))
    command = [sys.executable, "-P", __file__, "--child", "--repeats", str(args.repeats), "--markers",
               str(args.markers), "--sets", str(args.sets)] + (["--dense"] if dense else [])
    out = subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out)


def gemma_inputs(folder, k, x, y, g):
    np.savetxt(folder / "pheno.txt", y, fmt="%.17g")
    np.savetxt(folder / "cov.txt", x, fmt="%.17g", delimiter="\t")
    np.savetxt(folder / "k.txt", k, fmt="%.17g", delimiter="\t")
    values, vectors = np.linalg.eigh(k)
    np.savetxt(folder / "d.txt", values, fmt="%.17g")
    np.savetxt(folder / "u.txt", vectors, fmt="%.17g", delimiter="\t")
    with open(folder / "geno.txt", "w") as out:
        for j in range(g.shape[1]):
            out.write(f"rs{j}, A, T, " + ", ".join(f"{v:g}" for v in g[:, j]) + "\n")


def run_gemma(gemma, folder, test, kinship, repeats):
    """The best wall time of `repeats` runs and the last run's p-values, in marker order."""
    command = [gemma, "-g", "geno.txt", "-p", "pheno.txt", "-c", "cov.txt", *kinship, "-lmm", str(test),
               "-o", "run", "-outdir", "out"]
    best = float("inf")
    for _ in range(max(1, repeats)):
        start = time.perf_counter()
        subprocess.run(command, cwd=folder, check=True, capture_output=True)
        best = min(best, time.perf_counter() - start)
    lines = (folder / "out" / "run.assoc.txt").read_text().splitlines()
    header = lines[0].split("\t")
    column = header.index("p_lrt" if test == 2 else "p_score")
    rs = header.index("rs")
    rows = {line.split("\t")[rs]: float(line.split("\t")[column]) for line in lines[1:]}
    return best, rows


def gemma_times(args):
    gemma = shutil.which("gemma")
    if gemma is None:
        return None
    k, x, y, g = sweep_sample(args.markers)
    found = {}
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        gemma_inputs(folder, k, x, y, g)
        for mode, test in (("refitted", 2), ("held", 3)):
            given_k, _ = run_gemma(gemma, folder, test, ["-k", "k.txt"], args.repeats)
            given_eigen, p = run_gemma(gemma, folder, test, ["-d", "d.txt", "-u", "u.txt"], args.repeats)
            found[mode] = (given_k, given_eigen, [p.get(f"rs{j}", np.nan) for j in range(args.markers)])
    return found


def log_p_difference(ours, theirs):
    ours, theirs = np.asarray(ours), np.asarray(theirs)
    kept = (ours > 0) & (theirs > 0)
    return np.max(np.abs(np.log10(ours[kept]) - np.log10(theirs[kept])))


def main():
    arguments = parser(__doc__)
    arguments.add_argument("--repeats", type=int, default=2)
    arguments.add_argument("--markers", type=int, default=2000)
    arguments.add_argument("--sets", type=int, default=1000)
    arguments.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    arguments.add_argument("--dense", action="store_true", help=argparse.SUPPRESS)
    args = arguments.parse_args()
    if args.child:
        print(json.dumps(our_times(args)))
        return

    one = in_child(args, 1, dense=True)
    pool = in_child(args, None, dense=False)
    gemma = gemma_times(args)
    print(f"load average {os.getloadavg()[0]:.2f}; {os.cpu_count()} processors")
    print(f"{'job':<10}{'ours, 1 thread':>16}{'ours, pool':>12}{'reference':>26}{'ratio (1 thread)':>18}  target")
    for mode, target in (("refitted", "3"), ("held", "~20")):
        ours = one["times"][mode]
        if gemma is None:
            print(f"{mode:<10}{ours:>14.3f} s{pool['times'][mode]:>10.3f} s{'gemma not on PATH':>26}")
            continue
        given_k, given_eigen, p = gemma[mode]
        print(f"{mode:<10}{ours:>14.3f} s{pool['times'][mode]:>10.3f} s{given_k:>16.3f} s GEMMA -k"
              f"{given_k / ours:>17.1f}x  {target}")
        print(f"{'':<38}{given_eigen:>16.3f} s GEMMA -d/-u{given_eigen / ours:>14.1f}x")
        statistic = "same statistic" if mode == "refitted" else "our Wald against its score test"
        print(f"{'':<10}largest |log10 p ours - log10 p GEMMA -d/-u| {log_p_difference(one['p_values'][mode], p):.1e}"
              f" ({statistic})")
    ours = one["times"]["variant"]
    print(f"{'variant':<10}{ours:>14.3f} s{pool['times']['variant']:>10.3f} s{one['dense']:>16.3f} s numpy"
          f"{one['dense'] / ours:>20.1f}x  20")
    same = all(np.array_equal(one["p_values"][m], pool["p_values"][m], equal_nan=True) for m in ("refitted", "held"))
    print(f"sweep p-values on one thread and on the pool {'identical' if same else 'DIFFER'}")


if __name__ == "__main__":
    main()

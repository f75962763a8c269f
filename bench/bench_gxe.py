"""GxeModel's block likelihood against a dense numpy route to the same value and gradient.

One evaluation of the REML objective with its six-slot gradient on 400 families of five
(2,000 people), timed natively (bench_gxe_evaluate.cpp, compiled here against a build's
static libraries) and by numpy on the whole 2,000 x 2,000 covariance, in the same run; the
two must agree. Target: at least 50 times faster. Then gxe_fit is timed on 2,000 families
(10,000 people) and reported.

    PYTHONPATH=<build>/python python bench/bench_gxe.py --build <build> [--repeats R]
"""

import argparse
import math
import pathlib
import subprocess
import tempfile
import time

import numpy as np

from kestrune import _core

ROOT = pathlib.Path(__file__).resolve().parent.parent
LOG_2PI = 1.8378770664093453
EXPONENTIAL = 4
THETA = np.array([-0.4, 0.3, 0.7, -0.2, -0.25, 0.0])


def data(families, seed=5):
    block = np.full((5, 5), 0.5)
    np.fill_diagonal(block, 1.0)
    block[0, 1] = block[1, 0] = 0.0
    rng = np.random.default_rng(seed)
    n = 5 * families
    k = np.kron(np.eye(families), block)
    env = rng.uniform(-1.0, 1.0, n)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [1.0, 0.4] + (rng.normal(size=(families, 5)) @ np.linalg.cholesky(block).T).ravel() + rng.normal(size=n)
    return k, env, x, y


def dense_value_and_gradient(k, env, x, y, t):
    """The exponential surface's REML objective and gradient on the whole covariance."""
    n, p = x.shape
    half = np.exp((t[0] + t[1] * env) / 2)
    distance = np.abs(env[:, None] - env[None, :])
    g = k * np.outer(half, half) * np.exp(-t[2] * distance)
    r = np.exp(t[3] + t[4] * env)
    v = g + np.diag(r)
    c = np.linalg.cholesky(v)
    vi = np.linalg.inv(v)
    vi_x = vi @ x
    a = x.T @ vi_x
    a_inv = np.linalg.inv(a)
    beta = a_inv @ (x.T @ (vi @ y))
    resid = vi @ (y - x @ beta)
    quad = (y - x @ beta) @ resid
    value = 0.5 * (quad + 2 * np.log(np.diag(c)).sum() + n * LOG_2PI)
    value += 0.5 * (np.linalg.slogdet(a)[1] - np.linalg.slogdet(x.T @ x)[1]) - p / 2 * LOG_2PI
    derivatives = [g, g * (env[:, None] + env[None, :]) / 2, -g * distance, np.diag(r), np.diag(env * r)]
    gradient = [0.5 * (np.sum(vi * d) - resid @ d @ resid) - 0.5 * np.sum(a_inv * (vi_x.T @ d @ vi_x))
                for d in derivatives]
    return value, np.array(gradient + [0.0])


def native_timer(build):
    binary = pathlib.Path(tempfile.mkdtemp()) / "bench_gxe_evaluate"
    subprocess.run(["g++", "-std=c++23", "-O2", "-DNDEBUG", "-ffp-contract=off", f"-I{ROOT / 'src'}",
                    f"-I{ROOT / 'optimizer/include'}", "-I/usr/include/eigen3",
                    str(ROOT / "bench/bench_gxe_evaluate.cpp"), str(build / "libkestrune_core.a"),
                    str(build / "optimizer/libcompat_lbfgsb.a"), "-lopenblas", "-llapack", "-o", str(binary)],
                   check=True)
    return binary


def evaluation(build, repeats):
    k, env, x, y = data(400)
    with tempfile.TemporaryDirectory() as folder:
        for name, values in [("relationship", k), ("environment", env), ("design", x), ("y", y), ("theta", THETA)]:
            np.asfortranarray(values).ravel(order="F").tofile(f"{folder}/{name}.bin")
        out = subprocess.run([str(native_timer(build)), folder, str(len(y)), str(x.shape[1]), str(EXPONENTIAL),
                              "1", str(repeats)], check=True, capture_output=True, text=True).stdout.split()
    ours_value, ours_gradient, ours_time = float(out[0]), np.array(out[1:7], float), float(out[7])
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        value, gradient = dense_value_and_gradient(k, env, x, y, THETA)
        times.append(time.perf_counter() - start)
    numpy_time = min(times)
    assert math.isclose(ours_value, value, rel_tol=1e-10), (ours_value, value)
    np.testing.assert_allclose(ours_gradient, gradient, rtol=1e-7, atol=1e-9)
    print(f"evaluation with gradient, 400 families of five: kestrune {ours_time * 1e3:.3f} ms, "
          f"numpy {numpy_time * 1e3:.1f} ms, speed-up {numpy_time / ours_time:.0f}x (target 50x)")
    print(f"  objective {ours_value:.10f} vs {value:.10f}")


def fit(families):
    k, env, x, y = data(families)
    start = time.perf_counter()
    result = _core.gxe_fit(k, env, x, y, "exponential", [-1.0, 0.0, 1.0])
    took = time.perf_counter() - start
    print(f"gxe_fit, {families} families of five (exponential, REML): {took:.2f} s, loglik {result[1]:.6f}, "
          f"converged {result[2]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    evaluation(args.build, args.repeats)
    fit(2000)


if __name__ == "__main__":
    main()

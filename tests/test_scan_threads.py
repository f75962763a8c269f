"""The scans spread markers and sets over the pool, and the component fit its starts: every
thread count gives the same rows, bit for bit, on families and on one dense block. Each call runs
in a child process whose pool RAYON_NUM_THREADS sizes; the markers and sets cross a slab's or
batch's boundary and include ones that fail with a code."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from kestrune import _core

SETUP = """
import numpy as np
from helpers import nuclear_families
from kestrune import _core
rng = np.random.default_rng(4)
n = 200
k, x = nuclear_families(40), np.column_stack([np.ones(n), rng.normal(size=n)])
y = x @ [1.0, 0.3] + rng.normal(size=n)
g = rng.binomial(2, rng.uniform(0.05, 0.5, 300), size=(n, 300)).astype(float)
g[:, 7] = 1.0
g[3, 260] = np.nan
y += 0.4 * g[:, 11]
roots = [rng.binomial(2, 0.2, size=(n, 1 + j % 6)) * rng.uniform(0.5, 2.0, 1 + j % 6) for j in range(70)]
roots[66][:] = 0.0
w = rng.normal(size=(n, 40))
dense = w @ w.T / 40
w = rng.binomial(2, 0.3, size=(n, 300)).astype(float)
w -= w.mean(axis=0)
grm = w @ w.T / 300  # one dense block
"""

# Each call with a code one of its items fails with.
CALLS = {
    "held sweep refitted below 0.1": ("_core.association_sweep(k, x, y, g, 'held', 0.1)", "NOT_FINITE"),
    "refitted sweep": ("_core.association_sweep(k, x, y, g[:, :270], 'refitted')", "HAS_NO_VARIATION"),
    "held sweep on one dense block": ("_core.association_sweep(grm, x, y, g, 'held', 0.1)", "NOT_FINITE"),
    "variant_set_scan on one dense block": ("_core.variant_set_scan([grm], x, y, roots)", "NO_CARRIERS"),
    "variant_set_scan": ("_core.variant_set_scan([k], x, y, roots)", "NO_CARRIERS"),
    "variant_set_family_scan": ("_core.variant_set_family_scan([k], x, y, roots, [0.0, 0.5, 0.9])", "NO_CARRIERS"),
    "component_fit of a dense block, ML": ("_core.component_fit([k, dense], x, y, False)", ", True, ["),
}


def run(call, threads):
    script = textwrap.dedent(SETUP) + f"print(repr({call}))\n"
    paths = [str(pathlib.Path(_core.__file__).resolve().parents[1]), str(pathlib.Path(__file__).parent)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-P", "-c", script], env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return out.stdout


@pytest.mark.parametrize("call, code", CALLS.values(), ids=CALLS.keys())
def test_every_thread_count_gives_the_same_rows(call, code):
    one = run(call, 1)
    assert code in one
    assert run(call, 4) == one

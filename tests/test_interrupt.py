"""Ctrl-C stops long work with KeyboardInterrupt within about a second, and the module stays
usable afterwards: each case runs in a child process that the test interrupts."""

import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from kestrune import _core

SPATIAL = """
rng = np.random.default_rng(3)
n = 24
place = rng.uniform(0.0, 50.0, 8)[np.arange(n) % 8]
distance = np.abs(place[:, None] - place[None, :])
fixed = [np.kron(np.eye(8), np.full((3, 3), 0.5)) + 0.5 * np.eye(n)]
x = np.column_stack([np.ones(n), rng.normal(size=n)])
y = x @ [1.0, 0.5] + np.sin(place / 10.0) + rng.normal(size=n)
"""

SCANS = """
from helpers import nuclear_families
rng = np.random.default_rng(1)
n = 2000
k, x = nuclear_families(400), np.column_stack([np.ones(n), rng.normal(size=n)])
y, g = rng.normal(size=n), rng.integers(0, 3, size=n).astype(float)
"""

# Sibships of 250 make every evaluation a long sequential conditioning: one search runs for
# seconds, and the stop must come from inside it.
LIABILITY = """
rng = np.random.default_rng(3)
a = np.kron(np.eye(8), np.full((250, 250), 0.5) + 0.5 * np.eye(250))
x = np.column_stack([np.ones(2000), rng.normal(size=2000)])
status = (x[:, 1] + rng.normal(size=2000) > 0).astype(float)
"""

# Four families of 600, a third of them measured on one trait: one two-trait search runs for
# minutes.
BIVARIATE = """
s = 600
k = np.kron(np.eye(4), 0.5 * np.ones((s, s)) + 0.5 * np.eye(s))
observed = [(True, i % 3 != 0) for i in range(4 * s)]
x = np.kron(np.ones((4 * s, 1)), np.eye(2))[np.array(observed).ravel()]
y = np.random.default_rng(4).normal(size=len(x))
"""

# One dense block of 2,500: each evaluation of a component search factors and inverts it.
COMPONENTS = """
rng = np.random.default_rng(5)
w = rng.normal(size=(2500, 50))
k = w @ w.T / 50
h = k @ k / 50
x = np.ones((2500, 1))
y = rng.normal(size=2500)
"""

MEDIATION = """
from test_latent_mediation import PARAMETERS, build, three_outcomes
endless = build([three_outcomes()], qmc_points=8 * 2 ** 40)
"""

# setup, the long call, and a check after it that must be True.
CASES = {
    "spatial_bootstrap": (SPATIAL, "_core.spatial_bootstrap(fixed, distance, x, y, 10**6, 1)",
                          "_core.spatial_fit(fixed, distance, x, y)[7]"),
    "association_sweep": (SCANS, "_core.association_sweep(k, x, y, np.broadcast_to(g[:, None], (n, 10**6)))",
                          "_core.variant_set_scan([k], x, y, [g[:, None]])[0]['code'] == ''"),
    "variant_set_scan": (SCANS, "_core.variant_set_scan([k], x, y, [g[:, None]] * 10**6)",
                         "_core.variant_set_scan([k], x, y, [g[:, None]])[0]['code'] == ''"),
    "liability_fit": (LIABILITY, "_core.liability_fit(a, status, x)",
                      "_core.liability_fit(np.eye(40), status[:40], x[:40])[3]"),
    "bivariate_fit": (BIVARIATE, "_core.bivariate_fit(k, observed, x, y)",
                      "np.isfinite(_core.bivariate_objective(k[:40, :40], observed[:40], x[:66], y[:66], [1, 1, .5, .5, 0, 0])[0])"),
    "component_fit": (COMPONENTS, "_core.component_fit([k, h], x, y)",
                      "_core.component_fit([k[:60, :60]], x[:60], y[:60])[5]"),
    "latent_mediation_integration": (MEDIATION, "endless.evaluate(**PARAMETERS)",
                                     "np.isfinite(build([three_outcomes()]).evaluate(**PARAMETERS)['log_likelihood'])"),
}

CHILD = """
import time
import numpy as np
from kestrune import _core
{setup}
print("ready", flush=True)
try:
    {call}
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print("after", {after}, flush=True)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT is a POSIX signal")
@pytest.mark.parametrize("setup, call, after", CASES.values(), ids=CASES.keys())
def test_ctrl_c_stops_long_work_and_the_module_stays_usable(setup, call, after, tmp_path):
    script = CHILD.format(setup=textwrap.dedent(setup), call=call, after=after)
    paths = [str(pathlib.Path(_core.__file__).resolve().parents[1]), str(pathlib.Path(__file__).parent)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    child = subprocess.Popen([sys.executable, "-P", "-c", script], cwd=tmp_path, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.communicate()[1]
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    lines = [line.split() for line in out.splitlines()]
    assert lines[0][0] == "interrupted", (out, err)
    # Between two steps, not after the rest of the work has run.
    assert float(lines[0][1]) - sent < 1.0
    assert lines[1] == ["after", "True"], (out, err)

"""Ctrl-C stops a long call with KeyboardInterrupt, and the module stays usable afterwards."""

import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from kestrune import _core

CHILD = r"""
import sys, time
import numpy as np
from kestrune import _core

rng = np.random.default_rng(3)
n = 24
place = rng.uniform(0.0, 50.0, 8)[np.arange(n) % 8]
distance = np.abs(place[:, None] - place[None, :])
fixed = [np.kron(np.eye(8), np.full((3, 3), 0.5)) + 0.5 * np.eye(n)]
x = np.column_stack([np.ones(n), rng.normal(size=n)])
y = x @ [1.0, 0.5] + np.sin(place / 10.0) + rng.normal(size=n)
print("ready", flush=True)
try:
    _core.spatial_bootstrap(fixed, distance, x, y, 10**6, 1)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.time(), flush=True)
print("fit", _core.spatial_fit(fixed, distance, x, y)[7], flush=True)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT is a POSIX signal")
def test_ctrl_c_stops_a_million_replicate_bootstrap_and_the_module_still_fits(tmp_path):
    package = pathlib.Path(_core.__file__).resolve().parent.parent
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(package), os.environ.get("PYTHONPATH", "")]))
    child = subprocess.Popen([sys.executable, "-c", CHILD], cwd=tmp_path, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().split() == ["ready"]
        time.sleep(1.0)
        sent = time.time()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    lines = [line.split() for line in out.splitlines()]
    assert lines[0][0] == "interrupted", (out, err)
    # Within about a second: between two replicates, not after a million of them failing fast.
    assert float(lines[0][1]) - sent < 1.0
    assert lines[1] == ["fit", "True"]
    assert child.returncode == 0

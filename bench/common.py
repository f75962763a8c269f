"""What the benchmark drivers share: timing, the family shape several samples use, and running
the C++ timing programs of bench/ that CMake builds with -DKESTRUNE_BENCH=ON.

A driver imports this as `common`; it puts its own folder on sys.path first, because
`python -P` leaves it off.
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import tempfile
import time

import numpy as np

LOG_2PI = 1.8378770664093453

# Two unrelated parents and three children.
NUCLEAR = np.array([
    [1.0, 0.0, 0.5, 0.5, 0.5],
    [0.0, 1.0, 0.5, 0.5, 0.5],
    [0.5, 0.5, 1.0, 0.5, 0.5],
    [0.5, 0.5, 0.5, 1.0, 0.5],
    [0.5, 0.5, 0.5, 0.5, 1.0],
])


def nuclear_families(families):
    """Block-diagonal relationship of `families` nuclear families of five."""
    return np.kron(np.eye(families), NUCLEAR)


def parser(doc):
    """An argument parser whose help is the driver's whole docstring, run command first."""
    return argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)


def add_build(arguments):
    arguments.add_argument("--build", type=pathlib.Path, required=True,
                           help="a build tree configured with -DKESTRUNE_BENCH=ON")


def _times(call, repeats):
    times, result = [], None
    for _ in range(max(1, repeats)):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return times, result


def best_time(call, repeats):
    """The fastest of `repeats` calls (at least one), with the last call's result."""
    times, result = _times(call, repeats)
    return min(times), result


def median_time(call, repeats):
    """The median of `repeats` calls (at least one), with the last call's result."""
    times, result = _times(call, repeats)
    return statistics.median(times), result


def _status_bytes(field):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise SystemExit(f"/proc/self/status has no {field}: peak memory needs Linux")


def peak_growth(call):
    """The call's result and how far it raised the process's peak resident memory above what
    was resident when it started, in bytes (Linux: the peak is reset through clear_refs)."""
    pathlib.Path("/proc/self/clear_refs").write_text("5")
    before = _status_bytes("VmRSS")
    result = call()
    return result, _status_bytes("VmHWM") - before


def write_arrays(folder, arrays):
    """Each array as <folder>/<name>.i64 (integers) or .f64 (anything else): raw native-endian
    8-byte values, matrices column-major, as bench/common.hpp reads them."""
    for name, array in arrays.items():
        array = np.asarray(array)
        integer = np.issubdtype(array.dtype, np.integer)
        array.astype(np.int64 if integer else np.float64).ravel(order="F").tofile(
            pathlib.Path(folder) / f"{name}.{'i64' if integer else 'f64'}")


def run_native(build, program, arrays, *arguments):
    """Runs `<build>/<program> <folder> <arguments>` on `arrays` written to a temporary folder,
    and returns the JSON line it prints."""
    path = pathlib.Path(build) / program
    if not path.is_file():
        raise SystemExit(f"{path} not found: configure the build with -DKESTRUNE_BENCH=ON and build it")
    with tempfile.TemporaryDirectory() as folder:
        write_arrays(folder, arrays)
        out = subprocess.run([str(path), folder, *map(str, arguments)], check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(out.stdout)

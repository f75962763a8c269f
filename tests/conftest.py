"""Scaffolding shared by the Python tests: the helper modules beside them made importable, and
a fixture that keeps NumPy's and SciPy's BLAS on one thread."""

import ctypes
import pathlib
import sys

import pytest

# The suite runs in importlib mode, which puts no test folder on the path: the helper modules
# here (helpers.py, liability_reference.py) are imported by plain name.
sys.path.insert(0, str(pathlib.Path(__file__).parent))


@pytest.fixture(scope="module")
def one_blas_thread():
    """Dense references made of hundreds of small solves: NumPy's and SciPy's own OpenBLAS
    run them on one thread, which a busy machine otherwise turns into minutes of hand-offs."""
    restore = []
    try:
        with open("/proc/self/maps") as maps:
            paths = sorted({line.split()[-1] for line in maps if "scipy_openblas" in line})
    except OSError:
        paths = []
    for path in paths:
        library = ctypes.CDLL(path)
        for suffix in ("64_", ""):
            get = getattr(library, f"scipy_openblas_get_num_threads{suffix}", None)
            put = getattr(library, f"scipy_openblas_set_num_threads{suffix}", None)
            if get and put:
                restore.append((put, get()))
                put(1)
    yield
    for put, threads in restore:
        put(threads)

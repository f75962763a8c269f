"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_relationship.py [--people N]

Time and peak memory of the additive relationship matrix of a large pedigree.

The floor for memory is one N x N matrix of float64 (8 N^2 bytes): the returned array itself.
"""

import pathlib
import random
import resource
import sys
import time

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import parser  # noqa: E402


def pedigree(people, founders_per_generation=500, seed=20261207):
    """Generations of random matings (sib and cousin matings included), given in shuffled order."""
    rng = random.Random(seed)
    ids, father, mother = [], [], []
    previous = []
    while len(ids) < people:
        generation = []
        for _ in range(min(founders_per_generation, people - len(ids))):
            name = f"p{len(ids)}"
            ids.append(name)
            if len(previous) >= 2:
                f, m = rng.sample(previous, 2)
                father.append(f)
                mother.append(m)
            else:
                father.append(None)
                mother.append(None)
            generation.append(name)
        previous = generation
    order = list(range(len(ids)))
    rng.shuffle(order)
    return [ids[i] for i in order], [father[i] for i in order], [mother[i] for i in order]


def main():
    arguments = parser(__doc__)
    arguments.add_argument("--people", type=int, default=20_000)
    args = arguments.parse_args()

    ids, father, mother = pedigree(args.people)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    matrix, rows = _core.relationship(ids, father, mother)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    n = len(rows)
    floor = 8 * n * n
    print(f"people            {n}")
    print(f"time              {seconds:.3f} s")
    print(f"peak RSS          {peak / 2**20:.1f} MiB (before the call {before / 2**20:.1f} MiB)")
    print(f"N^2 float64 floor {floor / 2**20:.1f} MiB")
    print(f"peak / floor      {peak / floor:.3f}")
    print(f"mean diagonal     {matrix.trace() / n:.6f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

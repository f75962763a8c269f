#!/usr/bin/env bash
# The main job: installs what it needs, builds and installs the package, and fits
# the heritability of a simulated trait on a small shipped pedigree.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
PYTHON=${PYTHON:-python3}
"$PYTHON" -m pip install -q --root-user-action=ignore --no-build-isolation .
cd examples
"$PYTHON" heritability.py

#!/usr/bin/env bash
# Builds the module and the C++ tests, then runs every test: CTest, then pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

PYTHON=${PYTHON:-python3}
BUILD=$(realpath -m "${BUILD:-build}")
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_TESTS=ON \
      -DPython_EXECUTABLE="$(command -v "$PYTHON")"
cmake --build "$BUILD" -j "$jobs"
ctest --test-dir "$BUILD" --output-on-failure -j "$jobs"
PYTHONPATH="$BUILD/python" "$PYTHON" -P -m pytest -q -p no:cacheprovider tests

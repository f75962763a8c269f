#!/usr/bin/env bash
# Installs what the build and the tests need, skipping what is already there.
set -euo pipefail

debian_packages=(g++ git libeigen3-dev libboost-dev libopenblas-dev liblapacke-dev libgtest-dev)
missing=()
for package in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

PYTHON=${PYTHON:-python3}
"$PYTHON" - <<'PY' || "$PYTHON" -m pip install -q --root-user-action=ignore "numpy>=2" "pytest>=8" "scipy>=1.11" "scikit-build-core>=0.10" "cmake>=3.26" ninja
import importlib.util, sys
import numpy
need = ["pytest", "scipy", "scikit_build_core", "cmake", "ninja"]
sys.exit(int(numpy.__version__.split(".")[0]) < 2 or any(importlib.util.find_spec(n) is None for n in need))
PY

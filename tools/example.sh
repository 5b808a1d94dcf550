#!/usr/bin/env bash
# The main job: builds vantrel and runs the variational example, a
# ground-state search for an 8-qubit transverse-field Ising chain.
#
# Sets up only what that needs: a C++ compiler, CMake, Ninja and the Python
# headers from Debian, NumPy and SciPy from PyPI, each only when missing (the
# test command, tools/test.sh, sets up everything else). The module is built
# by Ninja in build/example, which shows its progress; a later run rebuilds
# only what changed, so unchanged sources are not compiled again. Nothing is
# installed into Python: the example runs against that build (`pip install .`
# installs the module).
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
python3 -c 'import os, sysconfig; exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
  || need_apt+=(python3-dev)
python3 -m pip --version >/dev/null 2>&1 || need_apt+=(python3-pip)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "== installing ${need_apt[*]} (apt-get)"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

need_pip=()
python3 -c 'import numpy, sys; sys.exit(tuple(map(int, numpy.__version__.split(".")[:2])) < (1, 26))' \
  >/dev/null 2>&1 || need_pip+=("numpy>=1.26")
python3 -c 'import scipy' >/dev/null 2>&1 || need_pip+=(scipy)
if [ ${#need_pip[@]} -gt 0 ]; then
  echo "== installing ${need_pip[*]} (pip)"
  python3 -m pip install -q --disable-pip-version-check "${need_pip[@]}"
fi

dir=build/example
echo "== building the module in $dir (only what changed since the last build)"
# Configured once per Python (Ninja re-runs CMake itself when the build files
# change); configuring again would re-link the module.
python="$(command -v python3)"
if ! grep -qxE "Python_EXECUTABLE:[A-Z]+=$python" "$dir/CMakeCache.txt" 2>/dev/null; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_PYTHON=ON \
    -DVANTREL_TESTS=OFF -DPython_EXECUTABLE="$python" >/dev/null
fi
cmake --build "$dir"
echo "== running examples/vqe.py"
PYTHONPATH="$PWD/$dir${PYTHONPATH:+:$PYTHONPATH}" python3 examples/vqe.py

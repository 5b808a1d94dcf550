#!/usr/bin/env bash
# Runs every test: the engine's GoogleTest suite through CTest, then the
# module's pytest suite against a freshly installed build. Each skipped engine
# test is listed with its reason (pytest gives its own with -rs).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

python3 tools/check_layers.py
cmake -S . -B build/engine -G Ninja -DVANTREL_PYTHON=OFF -DVANTREL_TESTS=ON
cmake --build build/engine
ctest --test-dir build/engine --output-on-failure -j2
bash tools/skipped_tests.sh build/engine
# Which kernel tables the engine tests ran: every one the processor offers,
# or the KernelTables test above has failed.
build/engine/sim_tests --gtest_filter='KernelTables.*' | grep 'kernel tables tested'

python3 -m pip install -q --disable-pip-version-check .
python3 -m pytest -q -rs tests

# PennyLane's own device test suite against the installed vantrel.qubit,
# analytic and with finite shots (its flaky reruns absorb the statistical
# checks), from a scratch directory so nothing is written beside it.
suite="$(python3 -c 'import os, pennylane.devices.tests as t; print(os.path.dirname(t.__file__))')"
for shots in None 10000; do
  (cd "$(mktemp -d)" && python3 -m pytest -q -p no:cacheprovider --no-success-flaky-report \
    "$suite" --device vantrel.qubit --shots "$shots")
done

#!/usr/bin/env bash
# Runs every test: the engine's GoogleTest suite through CTest, then the
# module's pytest suite against a freshly installed build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

cmake -S . -B build/engine -G Ninja -DVANTREL_PYTHON=OFF -DVANTREL_TESTS=ON
cmake --build build/engine
ctest --test-dir build/engine --output-on-failure -j2

python3 -m pip install -q --disable-pip-version-check .
python3 -m pytest -q tests

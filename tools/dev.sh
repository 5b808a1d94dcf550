#!/usr/bin/env bash
# Developer loop without installing anything: builds the engine tests and the
# module side by side in build/dev, runs the engine tests, then the pytest
# suite against that build (PYTHONPATH), so several checkouts can be tested at
# once without replacing the installed module. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${VANTREL_DEV_DIR:-build/dev}"
cmake -S . -B "$dir" -G Ninja -DVANTREL_TESTS=ON -DVANTREL_PERF=ON >/dev/null
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j2
bash tools/skipped_tests.sh "$dir"
PYTHONPATH="$PWD/$dir${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest -q tests "$@"

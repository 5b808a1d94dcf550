#!/usr/bin/env bash
# Runs the engine tests under ThreadSanitizer, then under AddressSanitizer
# with UndefinedBehaviorSanitizer, each in a build of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

for san in thread address; do
  dir="build/sanitize-$san"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_PYTHON=OFF \
    -DVANTREL_TESTS=ON -DVANTREL_SANITIZE="$san"
  cmake --build "$dir"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$dir" --output-on-failure -j2
done

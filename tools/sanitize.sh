#!/usr/bin/env bash
# Runs the engine tests under ThreadSanitizer, then the engine tests and the
# module's pytest suite under AddressSanitizer with
# UndefinedBehaviorSanitizer, each sanitizer in a build of its own. Nothing is
# installed: pytest imports the sanitized module from its build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

for san in thread address; do
  dir="build/sanitize-$san"
  python=OFF
  [ "$san" = address ] && python=ON
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_PYTHON="$python" \
    -DVANTREL_TESTS=ON -DVANTREL_SANITIZE="$san"
  cmake --build "$dir"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$dir" --output-on-failure -j2
done

# The module under AddressSanitizer and UndefinedBehaviorSanitizer. The
# interpreter is not instrumented, so the sanitizer's runtime is preloaded,
# with the C++ runtime whose exceptions it intercepts (loaded later by the
# module, it would be missed). Python's own objects go through malloc so that
# they are checked too. The interpreter keeps memory to the end on purpose:
# no leak report. Allocations that cannot be satisfied return null, as the
# module's MemoryError paths expect. Tests that cannot run this way skip
# themselves (tests/conftest.py, marker not_under_asan).
cxx="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/sanitize-address/CMakeCache.txt)"
LD_PRELOAD="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so)" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONMALLOC=malloc \
PYTHONPATH="$PWD/build/sanitize-address${PYTHONPATH:+:$PYTHONPATH}" \
  python3 -m pytest -q tests

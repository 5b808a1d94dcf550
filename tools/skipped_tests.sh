#!/usr/bin/env bash
# Prints why each engine test that CTest reported as skipped was skipped: the
# GoogleTest skip message of every test in the build directory's last CTest
# log (a test skips with GTEST_SKIP() << "reason"). Usage:
#   bash tools/skipped_tests.sh BUILD_DIR
set -euo pipefail
log="$1/Testing/Temporary/LastTest.log"
[ -f "$log" ] || exit 0
awk '
  /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); next }
  /: Skipped$/ { reason = ""; reading = 1; next }
  reading && /^\[  SKIPPED \]/ { printf "  %s: %s\n", name, reason; reading = 0; count++; next }
  reading { reason = reason (reason == "" ? "" : " ") $0; next }
  END { if (count) printf "%d engine test(s) skipped, with the reasons above\n", count }
' "$log" | { mapfile -t lines; if [ ${#lines[@]} -gt 0 ]; then echo "Skipped engine tests:"; printf '%s\n' "${lines[@]}"; fi; }

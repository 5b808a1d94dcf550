#!/usr/bin/env bash
# Builds the engine micro-benchmarks and runs the kernel benchmark once per
# thread count (the pool's size is fixed per process).
#   bench/kernels.sh [qubits...]        default: 20 24
#   bench/kernels.sh layered [qubits...]   passes per gate of whole runs
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/perf -G Ninja -DVANTREL_PYTHON=OFF -DVANTREL_PERF=ON >/dev/null
cmake --build build/perf >/dev/null
for threads in 1 2; do
  echo "== RAYON_NUM_THREADS=$threads"
  RAYON_NUM_THREADS=$threads ./build/perf/sim_perf "$@"
done

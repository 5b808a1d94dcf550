#!/usr/bin/env bash
# The main job: installs vantrel and runs the variational example, a
# ground-state search for an 8-qubit transverse-field Ising chain.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
python3 -m pip install -q --disable-pip-version-check .
python3 examples/vqe.py

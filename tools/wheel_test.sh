#!/usr/bin/env bash
# Installs the wheels that tools/wheel.sh built into fresh virtual
# environments (build/venv-cpXY) for the oldest and the newest CPython on this
# machine, each with the oldest NumPy release that supports that Python and
# meets the project's numpy>=1.26, and runs the pytest suite there against
# the installed module. The oldest gets pytest alone, so the tests that need
# optional packages must skip cleanly; the newest also gets SciPy, matplotlib,
# mypy and Hypothesis, so the examples, the stub checks and the property
# tests run against an installed wheel. With --all, every Python found gets
# its environment (the newest the optional packages). Wheels are read from
# dist/, or from the directory given as the last argument.
set -euo pipefail
cd "$(dirname "$0")/.."
all=0
if [ "${1:-}" = "--all" ]; then
  all=1
  shift
fi
dist="${1:-dist}"

# The oldest NumPy with wheels for each Python that satisfies numpy>=1.26.
min_numpy() {
  case "$1" in
    3.9 | 3.10 | 3.11 | 3.12) echo 1.26.0 ;;
    3.13) echo 2.1.0 ;;
    *) echo "wheel_test.sh: no NumPy minimum known for Python $1" >&2; return 1 ;;
  esac
}

mapfile -t pythons < <(bash tools/pythons.sh)
if [ ${#pythons[@]} -eq 0 ]; then
  echo "wheel_test.sh: no CPython from 3.9 to 3.13 found" >&2
  exit 1
fi
if [ "$all" -eq 1 ]; then
  targets=("${pythons[@]}")
else
  targets=("${pythons[0]}")
  [ ${#pythons[@]} -gt 1 ] && targets+=("${pythons[-1]}")
fi

for py in "${targets[@]}"; do
  version="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  tag="cp${version/./}"
  wheels=("$dist"/vantrel-*-"$tag"-"$tag"-*.whl)
  if [ ! -f "${wheels[0]}" ]; then
    echo "wheel_test.sh: no $tag wheel in $dist (run tools/wheel.sh)" >&2
    exit 1
  fi
  numpy="$(min_numpy "$version")"
  packages=("numpy==$numpy" pytest)
  # The optional packages the tests and examples use (they skip without them).
  [ "$py" = "${targets[-1]}" ] && packages+=(scipy matplotlib mypy hypothesis qiskit qiskit-qasm3-import)
  echo "== Python $version, ${wheels[0]##*/}, ${packages[*]}"

  venv="build/venv-$tag"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${packages[@]}"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${wheels[0]}"
  (
    unset PYTHONPATH MYPYPATH
    export PYTHONNOUSERSITE=1
    "$venv/bin/python" - "$numpy" <<'PY'
import sys, numpy, vantrel
assert numpy.__version__ == sys.argv[1], numpy.__version__
assert "site-packages" in vantrel.__file__, vantrel.__file__
print("vantrel", vantrel.__version__, "from", vantrel.__file__, "with NumPy", numpy.__version__)
PY
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
  )
done

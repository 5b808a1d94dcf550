#!/usr/bin/env bash
# Builds a wheel of vantrel for every CPython from 3.9 to 3.13 on this machine
# (tools/pythons.sh). Each build runs in a temporary directory outside the
# source tree. `auditwheel show` checks each wheel, and `auditwheel repair`
# gives it the most compatible manylinux tag that the symbol versions it uses
# allow (the glibc and libstdc++ of the build machine set the floor); a wheel
# that no manylinux policy accepts keeps its plain linux tag. Wheels go to
# dist/, or to the directory given as the first argument.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-dist}"
mkdir -p "$out"
raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT

mapfile -t pythons < <(bash tools/pythons.sh)
if [ ${#pythons[@]} -eq 0 ]; then
  echo "wheel.sh: no CPython from 3.9 to 3.13 found" >&2
  exit 1
fi

for py in "${pythons[@]}"; do
  tag="$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
  echo "== $tag: $py"
  rm -f "$out"/vantrel-*-"$tag"-"$tag"-*.whl
  "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw/$tag" .
  wheel="$(ls "$raw/$tag"/vantrel-*.whl)"
  show="$(auditwheel show "$wheel")"
  echo "$show"
  if grep -q '"manylinux_' <<<"$show"; then
    auditwheel repair -w "$out" "$wheel"
  else
    echo "wheel.sh: no manylinux policy accepts the $tag wheel; it keeps its linux tag" >&2
    cp "$wheel" "$out"
  fi
done
ls -l "$out"

#!/usr/bin/env bash
# Prints one CPython interpreter per line for each version from 3.9 to 3.13
# found on this machine, oldest first: the command python3.X when it runs,
# otherwise the newest pyenv installation of 3.X.
set -uo pipefail
for minor in 9 10 11 12 13; do
  py=""
  if python3.$minor -c "" >/dev/null 2>&1; then
    py="python3.$minor"
  elif command -v pyenv >/dev/null 2>&1; then
    version="$(pyenv versions --bare 2>/dev/null | grep -E "^3\.$minor\.[0-9]+$" | sort -V | tail -n 1)"
    [ -n "$version" ] && py="$(pyenv root)/versions/$version/bin/python3.$minor"
  fi
  [ -n "$py" ] || continue
  "$py" -c 'import sys; assert sys.implementation.name == "cpython"; print(sys.executable)' 2>/dev/null
done
exit 0

#!/usr/bin/env python3
"""Checks that each engine folder includes only the folders below it.

The order is that of src/sim/README.md; testing/ may include anything and is
never included by engine code. Exits 1 listing every include that breaks it.
"""
import pathlib
import re
import sys

ORDER = ["base", "kernels", "model", "state", "run", "diff", "batch", "io"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"sim/([a-z_]+)/', re.M)


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent / "src" / "sim"
    bad = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        folder = path.relative_to(root).parts[0]
        if folder == "testing":
            continue
        is_test = path.name.endswith((".test.cpp", ".perf.cpp"))
        for target in INCLUDE.findall(path.read_text()):
            if target == "testing" and is_test:
                continue
            if target == "testing" or target not in ORDER or folder not in ORDER:
                bad.append((path, target))
            elif ORDER.index(target) > ORDER.index(folder) and not is_test:
                bad.append((path, target))
    for path, target in bad:
        print(f"{path.relative_to(root)} includes sim/{target}/", file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

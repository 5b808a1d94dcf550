"""Every examples/*.py runs to completion at its small size.

Convention for examples: run as `python examples/NAME.py --small`, an example
does the same work at a size that takes a few seconds, and exits with a
non-zero status when its result is wrong. Files it writes go to the working
directory (a temporary one here). An example that needs a package that is
not installed is skipped."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples").glob("*.py"))
# (example, extra arguments): each example at its small size, and the VQE
# also in double precision, where it must converge (it exits non-zero if not).
RUNS = [(p, []) for p in EXAMPLES] + [
    (p, ["--precision", "double"]) for p in EXAMPLES if p.name == "vqe.py"]


@pytest.mark.parametrize("path, extra", RUNS, ids=[" ".join([p.name, *a]) for p, a in RUNS])
def test_example_runs_small(path, extra, tmp_path):
    env = dict(os.environ, MPLBACKEND="Agg")  # no display: plots go to files
    result = subprocess.run(
        [sys.executable, str(path), "--small", *extra],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    missing = re.search(r"ModuleNotFoundError: No module named '([^']+)'", result.stderr)
    if result.returncode != 0 and missing and missing.group(1).split(".")[0] != "vantrel":
        pytest.skip(f"{path.name} needs {missing.group(1)}")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip()

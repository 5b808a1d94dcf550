"""Every Python code block of the README runs, in order, in one namespace (a
block may use what an earlier one made), in a temporary working directory.
A block that imports a package that is not installed is skipped together with
the blocks after it. The examples' --small runs are in test_examples.py."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def python_blocks():
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 2, m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M)]


@pytest.mark.not_under_asan("its blocks start worker processes, each loading the sanitizer runtime")
def test_every_python_block_runs(tmp_path, monkeypatch):
    blocks = python_blocks()
    assert len(blocks) >= 10
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    for line, code in blocks:
        try:
            exec(compile(code, f"README.md:{line}", "exec"), namespace)
        except ModuleNotFoundError as e:
            if e.name is not None and e.name.split(".")[0] == "vantrel":
                raise
            pytest.skip(f"README.md:{line} and later blocks need {e.name}")
    # The scale-out blocks leave their clients and clusters open.
    for name in ("client", "cluster"):
        if name in namespace:
            namespace[name].close()

"""The type stubs against the module: mypy's stubtest over every name and text
signature, mypy over the examples, and the two signatures stubtest cannot read
(an argument named `lambda`). Skipped where mypy is not installed.

Against a developer build (the module outside site-packages) the stub beside
it is given to mypy through MYPYPATH; against an installed wheel mypy must find
the installed stubs by itself."""

import ast
import os
import pathlib
import site
import subprocess
import sys

import pytest

import vantrel

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE_DIR = pathlib.Path(vantrel.__file__).resolve().parent


def mypy_env():
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    installed = {pathlib.Path(p).resolve() for p in site.getsitepackages() + [site.getusersitepackages()]}
    if MODULE_DIR not in installed:
        env["MYPYPATH"] = str(MODULE_DIR)
    return env


def run_module(*args):
    result = subprocess.run(
        [sys.executable, "-m", *args],
        cwd=ROOT,
        env=mypy_env(),
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_match_the_module():
    run_module("mypy.stubtest", "vantrel")


def test_examples_type_check(tmp_path):
    # Options in pyproject.toml ([tool.mypy]).
    run_module("mypy", "--cache-dir", str(tmp_path), "examples")


def stub_signature(node):
    """The text signature a stub overload stands for: positional arguments,
    then `lambda` when it comes through **kwargs, then keyword-only ones."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    pairs = [(a.arg.rstrip("_"), d) for a, d in zip(positional, defaults)]
    if args.kwarg is not None:
        pairs.append(("lambda", None))
    pairs += [(a.arg, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return "(" + ", ".join(n if d is None else f"{n}={ast.unparse(d)}" for n, d in pairs) + ")"


def test_lambda_overloads_follow_text_signatures():
    tree = ast.parse((MODULE_DIR / "vantrel.pyi").read_text())
    gate = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Gate")
    for name in ("u", "cu"):
        overloads = [n for n in gate.body if isinstance(n, ast.FunctionDef) and n.name == name]
        assert len(overloads) == 2
        for node in overloads:
            assert stub_signature(node) == getattr(vantrel.Gate, name).__text_signature__

"""Writes the module's docstrings into its stub (src/lib/vantrel.pyi).

The docstrings the module carries at run time are the text; the stub repeats
them so that editors show the same words. Run after changing a docstring in
src/lib (with the module built, e.g. PYTHONPATH=build/dev):

    python3 tools/stub_docs.py

tests/test_module.py fails while the two differ. A note the stub had beyond
the module's text (an array's shape, say) stays above its entry as a
comment."""

import ast
import inspect
import pathlib
import sys

import vantrel

STUB = pathlib.Path(__file__).resolve().parent.parent / "src" / "lib" / "vantrel.pyi"


def runtime_doc(owner, name):
    """The cleaned docstring of owner.name (None when it has none)."""
    obj = owner if name is None else getattr(owner, name)
    doc = getattr(obj, "__doc__", None)
    return inspect.cleandoc(doc) if doc else None


def entries(tree):
    """(node, runtime docstring) for every class and function of the stub."""
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            cls = getattr(vantrel, node.name)
            yield node, runtime_doc(cls, None)
            for sub in node.body:
                # A constructor's docstring is the interpreter's own.
                if isinstance(sub, ast.FunctionDef) and sub.name != "__new__":
                    yield sub, runtime_doc(cls, sub.name)
        elif isinstance(node, ast.FunctionDef):
            yield node, runtime_doc(vantrel, node.name)


def quoted(text, indent):
    """A docstring literal of `text` at `indent`."""
    lines = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"').split("\n")
    if len(lines) == 1:
        return [f'{indent}"""{lines[0]}"""']
    out = [f'{indent}"""{lines[0]}']
    out += [indent + line if line else "" for line in lines[1:]]
    out[-1] += '"""'
    return out


def flat(text):
    return " ".join(text.split()).lower()


def rewrite(source):
    tree = ast.parse(source)
    lines = source.split("\n")
    # Bottom up, so that earlier line numbers stay valid.
    for node, doc in sorted(entries(tree), key=lambda e: -e[0].lineno):
        first = node.body[0]
        has_doc = (isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant)
                   and isinstance(first.value.value, str))
        old = inspect.cleandoc(first.value.value) if has_doc else None
        if old == doc:
            continue
        indent = " " * (node.col_offset + 4)
        new = quoted(doc, indent) if doc is not None else []
        if has_doc:
            start, end = first.lineno - 1, first.end_lineno
            lines[start:end] = new
            if not new:
                lines[start - 1] += " ..."
        else:
            # `def f(...) -> T: ...` on its last line: the docstring replaces the `...`.
            last = first.lineno - 1
            assert lines[last].rstrip().endswith(": ..."), lines[last]
            lines[last] = lines[last].rstrip()[: -len(" ...")]
            lines[last + 1:last + 1] = new
        if old is not None and (doc is None or flat(old) not in flat(doc)):
            at = (node.decorator_list[0].lineno if node.decorator_list else node.lineno) - 1
            note = [" " * node.col_offset + "# " + line for line in old.split("\n")]
            lines[at:at] = note
    return "\n".join(lines)


def main():
    STUB.write_text(rewrite(STUB.read_text()))


if __name__ == "__main__":
    sys.exit(main())

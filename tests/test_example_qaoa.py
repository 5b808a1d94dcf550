"""examples/qaoa_maxcut.py at a small size, with and without matplotlib."""

import os
import subprocess
import sys

EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "qaoa_maxcut.py")
SMALL = ["--nodes", "6", "--layers", "2", "--shots", "400", "--steps", "15"]


def run(png, block_matplotlib):
    # With matplotlib blocked, importing it raises ImportError as on a machine
    # without it.
    code = ("import runpy, sys\n"
            + ("sys.modules['matplotlib'] = None\n" if block_matplotlib else "")
            + "sys.argv = sys.argv[1:]\n"
            + "runpy.run_path(sys.argv[0], run_name='__main__')\n")
    result = subprocess.run([sys.executable, "-c", code, EXAMPLE, *SMALL, "--png", str(png)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout


def best_and_maximum(out):
    line = next(l for l in out.splitlines() if l.startswith("best sampled cut"))
    words = line.replace(";", "").split()
    return float(words[3]), float(words[-1])


def test_qaoa_example_finds_the_maximum_cut(tmp_path):
    try:
        import matplotlib  # noqa: F401
        have_matplotlib = True
    except ImportError:
        have_matplotlib = False

    png = tmp_path / "hist.png"
    out = run(png, block_matplotlib=False)
    best, maximum = best_and_maximum(out)
    assert best == maximum  # the seeded samples of a 6-node graph hit the optimum
    assert png.exists() == have_matplotlib
    if have_matplotlib:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    bare = tmp_path / "none.png"
    out_bare = run(bare, block_matplotlib=True)
    assert "matplotlib is not installed: no histogram written" in out_bare
    assert not bare.exists()
    # Seeded sampling: the same cut and counts without the plot.
    assert out_bare.splitlines()[:4] == out.splitlines()[:4]

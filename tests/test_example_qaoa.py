"""examples/qaoa_maxcut.py without matplotlib: the same seeded result, no plot.
(tests/test_examples.py runs every example as it is installed.)"""

import os
import subprocess
import sys

EXAMPLE = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "qaoa_maxcut.py")


def run(cwd, block_matplotlib):
    # With matplotlib blocked, importing it raises ImportError as on a machine
    # without it.
    code = ("import runpy, sys\n"
            + ("sys.modules['matplotlib'] = None\n" if block_matplotlib else "")
            + "sys.argv = sys.argv[1:]\n"
            + "runpy.run_path(sys.argv[0], run_name='__main__')\n")
    result = subprocess.run([sys.executable, "-c", code, os.path.abspath(EXAMPLE), "--small"],
                            cwd=cwd, env=dict(os.environ, MPLBACKEND="Agg"),
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_qaoa_example_with_and_without_matplotlib(tmp_path):
    try:
        import matplotlib  # noqa: F401
        have_matplotlib = True
    except ImportError:
        have_matplotlib = False
    (tmp_path / "plain").mkdir()
    (tmp_path / "bare").mkdir()
    out = run(tmp_path / "plain", block_matplotlib=False)
    png = tmp_path / "plain" / "qaoa_maxcut.png"
    assert png.exists() == have_matplotlib
    if have_matplotlib:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    bare = run(tmp_path / "bare", block_matplotlib=True)
    assert "matplotlib is not installed: no histogram written" in bare
    assert not (tmp_path / "bare" / "qaoa_maxcut.png").exists()
    # Seeded sampling: the same cut and counts either way.
    assert bare.splitlines()[:4] == out.splitlines()[:4]
    assert "best sampled cut" in out

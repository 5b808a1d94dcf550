"""The module frame: registration, class properties, set_num_threads and the
worker pool's size. Pool behaviour is process-wide and fixed once, so each
pool case runs in a subprocess of its own."""

import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import vantrel

CLASS_ORDER = [
    "Gate",
    "Parameter",
    "Observable",
    "CompiledCircuit",
    "ParamBuffer",
    "ParamBatchBuffer",
    "ExecutionContext",
    "CircuitSpec",
    "Circuit",
]

DOCS = {
    "Gate": "Gate constructors for one-off circuit building and custom unitary definition.",
    "Parameter": "Symbolic parameter handle used when building a compiled circuit specification.",
    "Observable": "Pauli observables and Hamiltonians for expectation-value workflows.",
    "CompiledCircuit": "Reusable compiled execution plan for repeated parameterized circuit evaluation.",
    "ParamBuffer": "Reusable parameter buffer for zero-copy compiled scalar execution.",
    "ParamBatchBuffer": "Reusable parameter batch buffer for zero-copy compiled batch execution.",
    "ExecutionContext": "Reusable execution buffer for repeated scalar compiled-circuit calls.",
    "CircuitSpec": "Builder for reusable parameterized circuit structure.",
    "Circuit": "One-off gate-by-gate circuit execution API.",
}

CONSTRUCTOR_SIGNATURES = {"Circuit": "(gates)", "CircuitSpec": "(num_qubits)"}

NO_CONSTRUCTOR = [name for name in CLASS_ORDER if name not in CONSTRUCTOR_SIGNATURES]


def run_python(code, env_extra=None, env_remove=()):
    env = dict(os.environ)
    for key in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", *env_remove):
        env.pop(key, None)
    env.update(env_extra or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_public_names_in_registration_order():
    public = [name for name in vars(vantrel) if not name.startswith("__")]
    assert public == CLASS_ORDER + ["set_num_threads"]
    assert vantrel.__doc__ == ""


def test_version_is_the_project_version():
    pyproject = (pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
    version = re.search(r'^version = "([^"]+)"$', pyproject, re.M).group(1)
    assert vantrel.__version__ == version
    # An installed module also agrees with its distribution's metadata.
    try:
        dist = importlib.metadata.distribution("vantrel")
    except importlib.metadata.PackageNotFoundError:
        return
    module = pathlib.Path(vantrel.__file__).resolve()
    if any(pathlib.Path(dist.locate_file(f)).resolve() == module for f in dist.files or ()):
        assert dist.version == version


@pytest.mark.parametrize("name", CLASS_ORDER)
def test_class_properties(name):
    cls = getattr(vantrel, name)
    assert cls.__name__ == name
    assert cls.__doc__ == DOCS[name]
    assert cls.__bases__ == (object,)
    assert getattr(cls, "__text_signature__", None) == CONSTRUCTOR_SIGNATURES.get(name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    # No instance __dict__ and no weak references.
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0
    # The interpreter's default representation and comparison.
    if name != "Parameter":
        assert cls.__repr__ is object.__repr__
    assert cls.__eq__ is object.__eq__
    assert cls.__hash__ is object.__hash__


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor(name):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        getattr(vantrel, name)()


def test_instances_have_no_dict_and_no_weakref():
    import weakref

    gate = vantrel.Gate.h(0)
    with pytest.raises(AttributeError):
        gate.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(gate)


def test_set_num_threads_signature_and_arguments():
    doc = vantrel.set_num_threads.__doc__
    assert vantrel.set_num_threads.__text_signature__ == "(num_threads)"
    assert doc.startswith("Set") and doc.endswith(".")
    with pytest.raises(ValueError, match="^number of threads must be greater than 0$"):
        vantrel.set_num_threads(0)
    with pytest.raises(ValueError, match="^number of threads must be greater than 0$"):
        vantrel.set_num_threads(num_threads=0)
    with pytest.raises(OverflowError):
        vantrel.set_num_threads(-1)
    with pytest.raises(TypeError) as info:
        vantrel.set_num_threads(1.5)
    assert str(info.value) == (
        "argument 'num_threads': 'float' object cannot be interpreted as an integer"
    )
    with pytest.raises(TypeError, match=r"^argument 'num_threads': "):
        vantrel.set_num_threads("2")
    with pytest.raises(
        TypeError, match=r"^set_num_threads\(\) missing required argument 'num_threads' \(pos 1\)$"
    ):
        vantrel.set_num_threads()
    with pytest.raises(TypeError, match=r"^set_num_threads\(\) takes at most 1 argument \(2 given\)$"):
        vantrel.set_num_threads(1, 2)
    with pytest.raises(
        TypeError, match=r"^set_num_threads\(\) takes at most 1 keyword argument \(2 given\)$"
    ):
        vantrel.set_num_threads(num_threads=1, x=2)


def test_import_emits_no_deprecation_warning():
    result = run_python("import vantrel", env_extra={"PYTHONWARNINGS": "error"})
    assert result.returncode == 0, result.stderr
    result = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import vantrel"], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr


def test_only_the_init_function_is_exported():
    import shutil

    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    result = subprocess.run(["nm", "-D", "--defined-only", vantrel.__file__],
                            capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in result.stdout.splitlines()] == ["PyInit_vantrel"]


def test_second_initialisation_fails_with_import_error():
    result = run_python(
        """
        import ctypes, vantrel
        lib = ctypes.PyDLL(vantrel.__file__)
        lib.PyInit_vantrel.restype = ctypes.py_object
        try:
            lib.PyInit_vantrel()
        except ImportError as e:
            print("ImportError:", e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError:")
    assert "only be initialised once per interpreter process" in result.stdout


# --- the worker pool, one process per case ----------------------------------

POOL_PROBE = """
import os
if {pin}:
    # One processor, so that the default size is 1 whatever the machine's
    # processor count and CPU quota.
    os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
import vantrel
def threads():
    return len(os.listdir("/proc/self/task"))
before = threads()
{setup}
vantrel.Circuit([vantrel.Gate.h(0), vantrel.Gate.cx(0, 1)]).run(12)
print(threads() - before)
try:
    vantrel.set_num_threads(2)
    print("set")
except RuntimeError as e:
    print("RuntimeError:", e)
print(threads() - before)
"""

ALREADY = "RuntimeError: failed to set number of threads: The global thread pool has already been initialized."


def probe_pool(setup="", pin=True, **env):
    # One BLAS thread keeps NumPy's own threads out of the count.
    env = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", **env}
    result = run_python(POOL_PROBE.format(setup=setup, pin=pin), env_extra=env)
    assert result.returncode == 0, result.stderr
    first, message, last = result.stdout.splitlines()
    return int(first), message, int(last)


def processors():
    return 1  # the probe runs on one processor


def test_set_num_threads_fixes_the_pool_once():
    assert probe_pool("vantrel.set_num_threads(4)") == (4, ALREADY, 4)


def test_failed_set_num_threads_leaves_no_pool():
    setup = "\ntry:\n    vantrel.set_num_threads(0)\nexcept ValueError:\n    pass\nvantrel.set_num_threads(3)"
    assert probe_pool(setup) == (3, ALREADY, 3)


def test_first_parallel_operation_creates_the_default_pool():
    assert probe_pool() == (processors(), ALREADY, processors())


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "0"}, None),
        ({"RAYON_NUM_THREADS": "many", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_RS_NUM_CPUS": "0"}, None),
    ],
)
def test_pool_size_from_environment(env, expected):
    expected = processors() if expected is None else expected
    assert probe_pool(**env) == (expected, ALREADY, expected)


def test_memory_errors_always_carry_a_message():
    # A MemoryError without a message (as the interpreter raises for a
    # failed allocation) leaves the module with the generic one.
    class Exhausted:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise MemoryError

    with pytest.raises(MemoryError, match="^cannot allocate memory: an allocation failed during the call$"):
        vantrel.Gate.mcx(Exhausted(), 0)


def test_default_pool_size_follows_affinity_and_quota():
    # Unpinned: the processors of the affinity mask, fewer under a CPU quota.
    first, message, last = probe_pool(pin=False)
    assert 1 <= first <= len(os.sched_getaffinity(0)) and message == ALREADY and last == first


def test_huge_pool_sizes_are_clamped_or_refused():
    # From the environment: clamped to 4096 threads (fewer if the system
    # cannot start them); by set_num_threads: refused before any thread starts.
    first, message, last = probe_pool(RAYON_NUM_THREADS=str(2**64 - 1))
    assert 1 <= first <= 4096 and message == ALREADY and last == first
    result = run_python(
        """
        import vantrel
        try:
            vantrel.set_num_threads(4097)
        except RuntimeError as e:
            print(e)
        vantrel.set_num_threads(2)
        print("set")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "failed to set number of threads: the worker pool is limited to 4096 threads", "set"]


def test_stub_docstrings_are_the_modules():
    # tools/stub_docs.py writes the module's docstrings into the stub.
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
    try:
        import stub_docs
    finally:
        sys.path.pop(0)
    stub = pathlib.Path(vantrel.__file__).resolve().parent / "vantrel.pyi"
    if not stub.exists():
        stub = stub_docs.STUB
    text = stub.read_text()
    assert stub_docs.rewrite(text) == text, "run tools/stub_docs.py"

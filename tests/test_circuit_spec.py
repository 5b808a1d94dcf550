import numpy as np
import pytest

import reference as ref
import vantrel as vt
from compiled_helpers import build


def state_of(spec, params=()):
    return spec.compile().statevector(np.asarray(params, np.float32))


def test_constructor_and_attributes():
    with pytest.raises(ValueError, match="^compiled circuits must have at least one qubit$"):
        vt.CircuitSpec(0)
    spec = vt.CircuitSpec(num_qubits=1)
    assert spec.num_qubits == 1 and spec.parameter_count == 0
    with pytest.raises(OverflowError):
        vt.CircuitSpec(-1)
    with pytest.raises(TypeError, match="^argument 'num_qubits': "):
        vt.CircuitSpec(1.5)
    with pytest.raises(TypeError):
        vt.CircuitSpec()


def test_class_documentation():
    assert vt.CircuitSpec.__text_signature__ == "(num_qubits)"
    assert vt.CircuitSpec.__doc__.endswith("Builder for reusable parameterized circuit structure.")
    assert vt.Parameter.__doc__ == (
        "Symbolic parameter handle used when building a compiled circuit specification.")
    assert vt.CircuitSpec.param.__doc__.endswith(
        "Register a new symbolic parameter and return its handle.")
    assert vt.CircuitSpec.param.__text_signature__ == "($self, name=None)"
    assert vt.CircuitSpec.compile.__doc__.endswith(
        "Compile the circuit specification into a reusable execution plan.")
    assert vt.CircuitSpec.cx.__text_signature__ == "($self, control, target)"
    assert vt.CircuitSpec.rx.__text_signature__ == "($self, target, param)"
    assert vt.CircuitSpec.num_qubits.__doc__ == "Number of qubits declared for the circuit specification."
    assert vt.CircuitSpec.parameter_count.__doc__ == (
        "Number of symbolic parameters currently registered on the specification.")
    assert vt.Parameter.index.__doc__ == "Stable zero-based slot used when binding parameter vectors."
    assert vt.Parameter.name.__doc__ == "Optional user-provided parameter name."


def test_parameters_and_their_handles():
    spec = vt.CircuitSpec(2)
    a = spec.param()
    b = spec.param("theta")
    c = spec.param(name="")
    assert (a.index, b.index, c.index) == (0, 1, 2)
    assert spec.parameter_count == 3
    assert a.name is None and b.name == "theta" and c.name == ""
    assert repr(a) == "Parameter(index=0)"
    assert repr(b) == "Parameter(index=1, name='theta')"
    assert repr(spec.param("it's")) == "Parameter(index=3, name='it's')"
    with pytest.raises(TypeError, match="^argument 'name': "):
        spec.param(3)
    assert spec.parameter_count == 4
    with pytest.raises(AttributeError):
        a.index = 5
    with pytest.raises(TypeError, match="^No constructor defined$"):
        vt.Parameter()
    with pytest.raises(TypeError):
        class Sub(vt.CircuitSpec):
            pass


def test_fixed_gates_match_the_reference():
    spec = vt.CircuitSpec(3)
    spec.h(0)
    spec.x(target=2)
    spec.cx(0, 1)
    spec.h(2)
    spec.z(1)
    spec.cnot(control=1, target=2)
    spec.cz(2, 0)
    expected = ref.run_plan([("h", 0), ("x", 2), ("cx", 0, 1), ("h", 2), ("z", 1), ("cx", 1, 2),
                             ("cz", 2, 0)], 3, [])
    np.testing.assert_allclose(state_of(spec), expected, atol=1e-6)


def test_fusion_does_not_change_results():
    spec = vt.CircuitSpec(2)
    spec.h(0)
    spec.h(0)
    np.testing.assert_allclose(state_of(spec), [1, 0, 0, 0], atol=1e-6)
    spec = vt.CircuitSpec(1)
    t = spec.param()
    spec.h(0)
    spec.rz(0, t)
    spec.h(0)
    np.testing.assert_allclose(state_of(spec, [0.7]),
                               ref.run_plan([("h", 0), ("rz", 0, 0), ("h", 0)], 1, [0.7]),
                               atol=1e-6)


def test_builder_errors_leave_the_spec_unchanged():
    spec = vt.CircuitSpec(2)
    t = spec.param()
    spec.h(0)
    before = state_of(spec, [0.0])
    with pytest.raises(ValueError, match=r"^duplicate qubit index: 0$"):
        spec.cx(0, 0)
    for control, target in ((5, 0), (0, 5)):
        with pytest.raises(ValueError, match=r"^qubit index 5 is out of range for 2 qubits$"):
            spec.cx(control, target)
    with pytest.raises(ValueError, match=r"^qubit index 2 is out of range for 2 qubits$"):
        spec.cz(2, 3)
    with pytest.raises(ValueError, match=r"^qubit index 7 is out of range for 2 qubits$"):
        spec.h(7)
    with pytest.raises(TypeError, match="^argument 'param': "):
        spec.rx(0, 0.5)
    with pytest.raises(TypeError, match="^argument 'target': "):
        spec.rx("0", 0.5)
    with pytest.raises(OverflowError):
        spec.x(-1)
    other = vt.CircuitSpec(1)
    for _ in range(4):
        handle = other.param()
    with pytest.raises(ValueError, match=r"^parameter slot 3 does not exist in this circuit spec$"):
        spec.ry(0, handle)
    with pytest.raises(ValueError, match=r"^qubit index 9 is out of range for 2 qubits$"):
        spec.p(9, handle)
    assert spec.parameter_count == 1 and t.index == 0
    np.testing.assert_array_equal(state_of(spec, [0.0]), before)


def test_rotations_and_shared_parameters():
    spec = vt.CircuitSpec(2)
    a = spec.param("a")
    b = spec.param("b")
    spec.h(1)
    spec.rx(0, a)
    spec.ry(target=1, param=b)
    spec.rz(0, b)
    spec.p(1, a)
    spec.rx(0, a)
    steps = [("h", 1), ("rx", 0, 0), ("ry", 1, 1), ("rz", 0, 1), ("p", 1, 0), ("rx", 0, 0)]
    params = [0.4, -1.3]
    np.testing.assert_allclose(state_of(spec, params), ref.run_plan(steps, 2, params), atol=1e-6)


def test_handles_of_another_spec_denote_the_same_slot():
    first, second = vt.CircuitSpec(1), vt.CircuitSpec(1)
    first.param()
    handle = first.param()
    second.param()
    second.param()
    second.ry(0, handle)
    np.testing.assert_allclose(state_of(second, [0.0, np.pi]), [0, 1], atol=1e-6)


def test_compile_gives_independent_plans():
    spec = vt.CircuitSpec(2)
    spec.param()
    spec.param()
    empty = spec.compile()
    assert (empty.num_qubits, empty.parameter_count) == (2, 2)
    np.testing.assert_array_equal(empty.statevector([1.0, 2.0]), [1, 0, 0, 0])
    spec.x(1)
    spec.param()
    later = spec.compile()
    assert empty.parameter_count == 2 and later.parameter_count == 3
    np.testing.assert_array_equal(empty.statevector([1.0, 2.0]), [1, 0, 0, 0])
    np.testing.assert_array_equal(later.statevector([0.0] * 3), [0, 0, 1, 0])
    assert isinstance(later, vt.CompiledCircuit)


def test_random_specs_compile_to_the_reference():
    from compiled_helpers import random_steps
    rng = np.random.default_rng(5)
    for n in (1, 3, 5):
        steps = random_steps(rng, n, 3, 30)
        params = rng.uniform(-3, 3, 3)
        state = build(steps, n, 3).statevector(params.astype(np.float32))
        np.testing.assert_allclose(state, ref.run_plan(steps, n, params.astype(np.float32)),
                                   atol=2e-5)

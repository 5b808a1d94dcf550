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
    assert vt.CircuitSpec.cnot.__text_signature__ == "($self, control, target)"
    spec = vt.CircuitSpec(2)
    for name in ("cx", "cnot"):
        with pytest.raises(TypeError, match=rf"^{name}\(\) missing required argument 'target' \(pos 2\)$"):
            getattr(spec, name)(0)
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
    # Any name gives a valid Python expression of the name.
    assert repr(spec.param("it's")) == """Parameter(index=3, name="it's")"""
    for index, name in enumerate(["'\"\\", "\n\x00é", "", "θ 1"], start=4):
        assert eval(repr(spec.param(name)), {"Parameter": dict}) == dict(index=index, name=name)
    with pytest.raises(TypeError, match="^argument 'name': "):
        spec.param(3)
    assert spec.parameter_count == 8
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


def prepared(n):
    """A spec on n qubits that starts from an entangled state with no symmetry."""
    spec = vt.CircuitSpec(n)
    t = spec.param()
    for q in range(n):
        spec.h(q)
        spec.ry(q, t)
    for q in range(n - 1):
        spec.cx(q, q + 1)
    for q in range(n):
        spec.rz(q, t)
    steps = ([("h", q) for q in range(n)] + [("ry", q, 0) for q in range(n)]
             + [("cx", q, q + 1) for q in range(n - 1)] + [("rz", q, 0) for q in range(n)])
    return spec, t, steps


def test_gate_appends_every_standard_and_custom_gate():
    from test_gate import CASES
    for name, (gate, qubits, matrix) in CASES.items():
        spec, _, steps = prepared(3)
        spec.gate(gate)
        spec.gate(gate=vt.Gate.barrier())
        want = ref.apply(ref.run_plan(steps, 3, [0.4]), qubits, matrix)
        np.testing.assert_allclose(state_of(spec, [0.4]), want, atol=2e-6, err_msg=name)
    # Fixed gates given as Gate objects fuse exactly as the named methods do.
    named, _, _ = prepared(2)
    given, _, _ = prepared(2)
    named.h(0), named.x(0), named.cz(1, 0), named.z(1), named.h(1)
    for g in (vt.Gate.h(0), vt.Gate.x(0), vt.Gate.cz(1, 0), vt.Gate.z(1), vt.Gate.h(1)):
        given.gate(g)
    assert np.array_equal(state_of(named, [1.1]), state_of(given, [1.1]))


def test_gate_measure_and_reset_steps():
    spec = vt.CircuitSpec(3)
    for g in (vt.Gate.x(0), vt.Gate.x(2), vt.Gate.measure(0), vt.Gate.reset(2),
              vt.Gate.measure(1), vt.Gate.h(1), vt.Gate.reset(1)):
        spec.gate(g)
    np.testing.assert_array_equal(state_of(spec), np.eye(8)[1])
    with pytest.raises(ValueError, match=r"^qubit index 3 is out of range for 3 qubits$"):
        spec.gate(vt.Gate.measure(3))
    with pytest.raises(ValueError, match=r"^qubit index 4 is out of range for 3 qubits$"):
        spec.gate(vt.Gate.cswap(0, 4, 1))
    with pytest.raises(TypeError, match="^argument 'gate': "):
        spec.gate(vt.Observable.pauli_x(0))
    np.testing.assert_array_equal(state_of(spec), np.eye(8)[1])


@pytest.mark.parametrize("n", range(1, 11))
def test_pauli_rotations_of_every_label_combination_match_the_reference(n):
    import itertools
    rng = np.random.default_rng(n)
    qubits = sorted({0, n // 2, n - 1})
    params = np.float32([0.7, rng.uniform(-4, 4)])
    for labels in itertools.product("IXYZ", repeat=len(qubits)):
        if set(labels) == {"I"}:
            continue
        # Labels in either case, factors in any order.
        factors = [(l.lower() if rng.random() < 0.5 else l, q) for l, q in zip(labels, qubits)]
        factors = [factors[i] for i in rng.permutation(len(factors))]
        scale = float(np.float32(rng.choice([1.0, -0.5, 2.25])))
        spec, t, steps = prepared(n)
        theta = spec.param()
        spec.pauli_rotation(factors, theta, scale)
        want = ref.run_plan(steps + [("pauli", factors, 1, scale)], n, params)
        np.testing.assert_allclose(state_of(spec, params), want, atol=2e-6, err_msg=str(factors))


def test_one_factor_and_two_qubit_shorthands_are_exactly_their_steps():
    def plan(add):
        spec, t, _ = prepared(3)
        theta = spec.param()
        add(spec, theta)
        return spec.compile()

    z = vt.Observable.hamiltonian([vt.Observable.pauli_z(1), vt.Observable.pauli_x(2, 0.5)])
    params = np.float32([0.3, -1.2])
    rows = np.float32([[0.3, -1.2], [2.0, 0.1]])
    same = [
        (lambda s, t: s.rx(1, t), lambda s, t: s.pauli_rotation([("X", 1)], t)),
        (lambda s, t: s.ry(2, t), lambda s, t: s.pauli_rotation([("i", 0), ("y", 2)], t, 1.0)),
        (lambda s, t: s.rz(0, t), lambda s, t: s.pauli_rotation([("Z", 0), ("I", 2)], t, scale=1)),
        (lambda s, t: s.rxx(0, 2, t, 0.5), lambda s, t: s.pauli_rotation([("X", 0), ("X", 2)], t, 0.5)),
        (lambda s, t: s.ryy(2, 1, t), lambda s, t: s.pauli_rotation([("Y", 1), ("Y", 2)], t)),
        (lambda s, t: s.rzz(q0=1, q1=0, param=t, scale=-3.0),
         lambda s, t: s.pauli_rotation([("Z", 0), ("Z", 1)], t, -3.0)),
    ]
    for one, other in same:
        a, b = plan(one), plan(other)
        assert np.array_equal(a.statevector(params), b.statevector(params))
        va, ga = a.value_and_gradient(params, z)
        vb, gb = b.value_and_gradient(params, z)
        assert va == vb and np.array_equal(ga, gb)
        assert np.array_equal(a.batch_gradient(rows, z), b.batch_gradient(rows, z))


def test_pauli_rotation_errors_leave_the_spec_unchanged():
    spec = vt.CircuitSpec(3)
    t = spec.param()
    spec.h(0)
    before = state_of(spec, [0.5])
    for call, error, message in (
        (lambda: spec.pauli_rotation([], t), ValueError,
         r"^pauli rotation needs at least one X, Y or Z factor$"),
        (lambda: spec.pauli_rotation([("I", 0), ("i", 2)], t), ValueError,
         r"^pauli rotation needs at least one X, Y or Z factor$"),
        (lambda: spec.pauli_rotation([("X", 1), ("Z", 2), ("I", 1)], t), ValueError,
         r"^duplicate qubit index: 1$"),
        (lambda: spec.rzz(2, 2, t), ValueError, r"^duplicate qubit index: 2$"),
        (lambda: spec.pauli_rotation([("Z", 0), ("I", 5)], t), ValueError,
         r"^qubit index 5 is out of range for 3 qubits$"),
        (lambda: spec.ryy(0, 3, t), ValueError, r"^qubit index 3 is out of range for 3 qubits$"),
        (lambda: spec.pauli_rotation([("XX", 0)], t), ValueError,
         r"^unsupported Pauli label 'XX'; expected I, X, Y, or Z$"),
        (lambda: spec.rxx(0, 1, t, float("nan")), ValueError, r"^rotation scale must be finite$"),
        (lambda: spec.rzz(0, 1, t, -np.inf), ValueError, r"^rotation scale must be finite$"),
        (lambda: spec.rzz(0, 1, t, 1e39), ValueError, r"^rotation scale must be finite$"),
        (lambda: spec.pauli_rotation("XZ", t), TypeError, "^argument 'paulis': "),
        (lambda: spec.pauli_rotation([["X", 0]], t), TypeError, "^argument 'paulis': "),
        (lambda: spec.pauli_rotation([("X", -1)], t), OverflowError, None),
        (lambda: spec.rxx(0, 1, 0.5), TypeError, "^argument 'param': "),
        (lambda: spec.rxx(0, 1, t, "2"), TypeError, "^argument 'scale': "),
    ):
        with pytest.raises(error, match=message):
            call()
    other = vt.CircuitSpec(1)
    for _ in range(3):
        handle = other.param()
    with pytest.raises(ValueError, match=r"^parameter slot 2 does not exist in this circuit spec$"):
        spec.rzz(0, 1, handle)
    np.testing.assert_array_equal(state_of(spec, [0.5]), before)
    assert vt.CircuitSpec.pauli_rotation.__text_signature__ == "($self, paulis, param, scale=1.0)"
    for name in ("rxx", "ryy", "rzz"):
        assert getattr(vt.CircuitSpec, name).__text_signature__ == "($self, q0, q1, param, scale=1.0)"
    assert vt.CircuitSpec.gate.__text_signature__ == "($self, gate)"

import numpy as np
import pytest

import reference as ref
import vantrel as vt
from compiled_helpers import build, float32_terms, observable, random_steps, random_terms

PLAIN = ("statevector", "expectation", "gradient", "value_and_gradient")


def rx_twice():
    spec = vt.CircuitSpec(1)
    theta = spec.param("theta")
    spec.rx(0, theta)
    spec.rx(0, theta)
    return spec.compile()


@pytest.mark.parametrize("pauli", [False, True])
@pytest.mark.parametrize("n", [1, 2, 3, 5, 7, 10])
def test_random_circuits_match_the_reference(n, pauli):
    rng = np.random.default_rng(100 + n)
    num_params = int(rng.integers(1, 6))
    # With `pauli`, scaled Pauli-string rotations on random strings as well:
    # their gradients are checked against finite differences of the reference.
    steps = random_steps(rng, n, num_params, 4 * n + 6, pauli)
    terms = random_terms(rng, n, 4)
    circuit, obs = build(steps, n, num_params), observable(terms)
    ctx = circuit.execution_context()
    buf = circuit.param_buffer()
    params = rng.uniform(-np.pi, np.pi, num_params).astype(np.float32)
    buf.numpy()[:] = params
    terms32 = float32_terms(terms)

    state = ref.run_plan(steps, n, params)
    value = ref.expectation(state, terms32)
    grad = ref.plan_gradient(steps, n, params, terms32)

    got = circuit.statevector(params)
    assert got.dtype == np.complex64 and got.shape == (1 << n,)
    np.testing.assert_allclose(got, state, atol=2e-5)
    np.testing.assert_array_equal(circuit.statevector_buffer(buf), got)
    np.testing.assert_array_equal(ctx.statevector(circuit, params), got)
    np.testing.assert_array_equal(ctx.statevector_buffer(circuit, buf), got)

    e = circuit.expectation(params, obs)
    assert isinstance(e, float) and e == pytest.approx(value, abs=1e-4)
    assert circuit.expectation_buffer(buf, obs) == e
    assert ctx.expectation(circuit, params, obs) == e
    assert ctx.expectation_buffer(circuit, buf, obs) == e

    g = circuit.gradient(params, obs)
    assert g.dtype == np.float32 and g.shape == (num_params,)
    np.testing.assert_allclose(g, grad, atol=2e-4)
    for other in (circuit.gradient_buffer(buf, obs), ctx.gradient(circuit, params, obs),
                  ctx.gradient_buffer(circuit, buf, obs)):
        np.testing.assert_array_equal(other, g)
    for v, vg in (circuit.value_and_gradient(params, obs),
                  circuit.value_and_gradient_buffer(buf, obs),
                  ctx.value_and_gradient(circuit, params, obs),
                  ctx.value_and_gradient_buffer(circuit, buf, obs)):
        assert v == e
        np.testing.assert_array_equal(vg, g)


def test_shared_parameter_gradient_is_the_total_derivative():
    circuit = rx_twice()
    z = vt.Observable.pauli_z(0)
    for theta in (0.3, 1.0, -2.2):
        value, grad = circuit.value_and_gradient([theta], z)
        assert value == pytest.approx(np.cos(2 * theta), abs=1e-6)
        assert grad[0] == pytest.approx(-2 * np.sin(2 * theta), abs=1e-5)
        eps = 1e-2
        fd = (circuit.expectation([theta + eps], z) - circuit.expectation([theta - eps], z)) / (2 * eps)
        assert grad[0] == pytest.approx(fd, abs=2e-2)


def test_gradients_against_finite_differences_of_expectation():
    rng = np.random.default_rng(7)
    steps = random_steps(rng, 4, 3, 24) + [("ry", 2, 1), ("ry", 2, 1), ("p", 0, 1)]
    circuit = build(steps, 4, 3)
    obs = observable(random_terms(rng, 4, 5))
    params = rng.uniform(-2, 2, 3)
    grad = circuit.gradient(params, obs)
    eps = 1e-2
    for i in range(3):
        up, down = params.copy(), params.copy()
        up[i] += eps
        down[i] -= eps
        fd = (circuit.expectation(up, obs) - circuit.expectation(down, obs)) / (2 * eps)
        assert grad[i] == pytest.approx(fd, abs=2e-2)


def test_unused_parameter_and_no_parameters():
    spec = vt.CircuitSpec(2)
    spec.param()
    spec.h(0)
    circuit = spec.compile()
    x0 = vt.Observable.pauli_x(0)
    value, grad = circuit.value_and_gradient([0.4], x0)
    assert value == pytest.approx(1.0, abs=1e-6) and grad.tolist() == [0.0]

    spec = vt.CircuitSpec(2)
    spec.h(0)
    none = spec.compile()
    value, grad = none.value_and_gradient(np.zeros(0, np.float32), x0)
    assert value == pytest.approx(1.0, abs=1e-6)
    assert grad.dtype == np.float32 and grad.shape == (0,)
    assert none.param_buffer().numpy().shape == (0,)
    assert none.expectation_buffer(none.param_buffer(), x0) == value
    with pytest.raises(ValueError, match=r"^parameter vector has length 1, expected 0$"):
        none.expectation([0.0], x0)


def test_empty_plan_gives_the_zero_state():
    circuit = vt.CircuitSpec(3).compile()
    state = circuit.statevector([])
    np.testing.assert_array_equal(state, np.eye(8, dtype=np.complex64)[0])
    assert circuit.expectation([], vt.Observable.pauli_z(2, -0.5)) == -0.5


def test_attributes_and_documentation():
    circuit = rx_twice()
    assert (circuit.num_qubits, circuit.parameter_count) == (1, 1)
    assert vt.CompiledCircuit.__doc__ == (
        "Reusable compiled execution plan for repeated parameterized circuit evaluation.")
    assert vt.ExecutionContext.__doc__ == (
        "Reusable execution buffer for repeated scalar compiled-circuit calls.")
    assert vt.CompiledCircuit.num_qubits.__doc__ == "Number of qubits in the compiled circuit."
    assert vt.CompiledCircuit.parameter_count.__doc__ == (
        "Number of parameters expected in each bound parameter vector.")
    sigs = {
        "statevector": "($self, params)", "statevector_buffer": "($self, params)",
        "expectation": "($self, params, observable)", "gradient_buffer": "($self, params, observable)",
        "value_and_gradient": "($self, params, observable)", "execution_context": "($self)",
        "param_buffer": "($self)", "param_batch_buffer": "($self, batch_size)",
    }
    for name, sig in sigs.items():
        assert getattr(vt.CompiledCircuit, name).__text_signature__ == sig, name
    assert vt.CompiledCircuit.param_buffer.__doc__.endswith(
        "Allocate a reusable parameter buffer backed by a NumPy array.")
    assert vt.CompiledCircuit.param_batch_buffer.__doc__.endswith(
        "Allocate a reusable parameter batch buffer backed by a NumPy array.")
    assert vt.ExecutionContext.statevector.__text_signature__ == "($self, circuit, params)"
    assert vt.ExecutionContext.value_and_gradient_buffer.__text_signature__ == (
        "($self, circuit, params, observable)")
    for cls in (vt.CompiledCircuit, vt.ExecutionContext):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()


def test_keyword_arguments():
    circuit = rx_twice()
    z = vt.Observable.pauli_z(0)
    ctx = circuit.execution_context()
    buf = circuit.param_buffer()
    assert circuit.expectation(params=[0.5], observable=z) == circuit.expectation([0.5], z)
    assert ctx.gradient(circuit=circuit, params=[0.5], observable=z)[0] == circuit.gradient([0.5], z)[0]
    assert ctx.statevector_buffer(params=buf, circuit=circuit).shape == (2,)
    with pytest.raises(TypeError):
        circuit.expectation([0.5], z, observable=z)
    with pytest.raises(TypeError):
        circuit.expectation([0.5])


def test_argument_kinds_are_checked_in_order():
    circuit = rx_twice()
    z = vt.Observable.pauli_z(0)
    ctx = circuit.execution_context()
    buf = circuit.param_buffer()
    with pytest.raises(TypeError, match="^argument 'observable': "):
        circuit.expectation([0.5], "Z")
    with pytest.raises(TypeError, match="^argument 'params': "):
        circuit.gradient_buffer(np.zeros(1, np.float32), z)
    with pytest.raises(TypeError, match="^argument 'params': "):
        circuit.expectation_buffer(circuit.param_batch_buffer(1), "not checked yet")
    with pytest.raises(TypeError, match="^argument 'circuit': "):
        ctx.expectation(z, [0.5], z)
    with pytest.raises(TypeError, match="^argument 'observable': "):
        ctx.value_and_gradient_buffer(circuit, buf, circuit)
    # Kinds come before the conversion of params.
    with pytest.raises(TypeError, match="^argument 'observable': "):
        circuit.expectation([[1, 2]], None)
    with pytest.raises(TypeError, match="^params must be convertible to a 1D numpy float32 array$"):
        ctx.gradient(circuit, [[0.5]], z)


def test_engine_errors():
    circuit = rx_twice()
    z = vt.Observable.pauli_z(0)
    far = vt.Observable.pauli_z(3)
    ctx = circuit.execution_context()
    with pytest.raises(ValueError, match=r"^parameter vector has length 2, expected 1$"):
        circuit.value_and_gradient([0.1, 0.2], far)
    with pytest.raises(ValueError, match=r"^parameter vector has length 0, expected 1$"):
        ctx.statevector(circuit, [])
    message = r"^observable references qubit 3 but state vector only has 1 qubits$"
    for call in (lambda: circuit.expectation([0.1], far), lambda: circuit.gradient([0.1], far),
                 lambda: ctx.value_and_gradient(circuit, [0.1], far),
                 lambda: ctx.expectation_buffer(circuit, circuit.param_buffer(), far)):
        with pytest.raises(ValueError, match=message):
            call()
    assert ctx.expectation(circuit, [0.0], z) == 1.0  # the context still works


def test_memory_errors():
    # 64 qubits and more are too large to allocate, as 63 are.
    huge = vt.CircuitSpec(64).compile()
    huge_message = r"^cannot allocate a state vector of 64 qubits \(128 EiB\)$"
    with pytest.raises(MemoryError, match=huge_message):
        huge.statevector([])
    with pytest.raises(MemoryError, match=huge_message):
        huge.execution_context()
    ctx = rx_twice().execution_context()
    with pytest.raises(MemoryError, match=huge_message):
        ctx.expectation(huge, [], vt.Observable.pauli_z(0))
    with pytest.raises(MemoryError, match=r"^cannot allocate a state vector of 200 qubits \(2\^200 amplitudes\)$"):
        vt.CircuitSpec(200).compile().statevector([])
    # 2^50 amplitudes exceed any address space; every MemoryError says what
    # could not be allocated and how large it was.
    big = vt.CircuitSpec(50).compile()
    state_message = r"^cannot allocate a state vector of 50 qubits \(8 PiB\)$"
    with pytest.raises(MemoryError, match=state_message):
        big.statevector([])
    with pytest.raises(MemoryError, match=state_message):
        big.gradient([], vt.Observable.pauli_z(0))
    with pytest.raises(MemoryError, match=state_message):
        ctx.statevector(big, [])
    with pytest.raises(MemoryError, match="4.00 PiB"):  # NumPy's own message
        rx_twice().param_batch_buffer(1 << 50)
    with pytest.raises(MemoryError, match=r"^cannot allocate a float32 array of shape "
                       r"\(9223372036854775808, 0\) \(32 EiB\)$"):
        vt.CircuitSpec(1).compile().param_batch_buffer(1 << 63)
    assert vt.CircuitSpec(1).compile().param_batch_buffer(1 << 60).numpy().shape == (1 << 60, 0)


def test_context_follows_the_circuit_width():
    small = build([("h", 0), ("cx", 0, 1)], 2, 0)
    wide = build([("x", 3), ("h", 1)], 4, 0)
    z3 = vt.Observable.pauli_z(3)
    ctx = small.execution_context()
    assert ctx.expectation(small, [], vt.Observable.pauli_z(0)) == pytest.approx(0.0, abs=1e-6)
    assert ctx.expectation(wide, [], z3) == pytest.approx(-1.0)
    np.testing.assert_allclose(ctx.statevector(small, []), ref.run_plan([("h", 0), ("cx", 0, 1)], 2, []),
                               atol=1e-6)


def test_context_statevector_returns_copies():
    circuit = rx_twice()
    ctx = circuit.execution_context()
    first = ctx.statevector(circuit, [0.4])
    kept = first.copy()
    second = ctx.statevector(circuit, [1.3])
    np.testing.assert_array_equal(first, kept)
    assert not np.array_equal(first, second)
    assert first.flags.writeable
    first[:] = 0  # the caller owns it
    np.testing.assert_array_equal(ctx.statevector(circuit, [1.3]), second)


def test_failed_length_check_leaves_the_context_reset():
    spec = vt.CircuitSpec(1)
    spec.x(0)
    spec.param()
    flip = spec.compile()
    ctx = flip.execution_context()
    assert ctx.expectation(flip, [0.0], vt.Observable.pauli_z(0)) == -1.0
    with pytest.raises(ValueError):
        ctx.expectation(flip, [0.0, 0.0], vt.Observable.pauli_z(0))
    # The next run starts from a reset state either way; the context is usable.
    assert ctx.expectation(flip, [0.0], vt.Observable.pauli_z(0)) == -1.0


def test_state_arrays_own_their_memory():
    circuit = rx_twice()
    state = circuit.statevector([0.3])
    assert state.flags.writeable and state.flags.c_contiguous
    # The engine's buffer itself, held by a capsule that frees it with the array.
    assert type(state.base).__name__ == "PyCapsule" and not state.flags.owndata
    grad = circuit.gradient([0.3], vt.Observable.pauli_z(0))
    assert type(grad.base).__name__ == "PyCapsule"
    grad[0] = 5.0
    assert grad[0] == 5.0
    del circuit
    assert abs(np.vdot(state, state) - 1) < 1e-6


def test_one_off_rotations_and_compiled_steps_have_the_same_bits():
    # Both take their matrices from the engine's one gate table.
    angles = np.float32(np.random.default_rng(3).uniform(-10, 10, 6)).tolist() + [0.0, np.pi, -1e-30]
    prep = [vt.Gate.h(0), vt.Gate.h(1), vt.Gate.cx(0, 1), vt.Gate.s(1)]
    for name in ("rx", "ry", "rz", "p"):
        spec = vt.CircuitSpec(2)
        t = spec.param()
        for g in prep:
            spec.gate(g)
        getattr(spec, name)(1, t)
        plan = spec.compile()
        for theta in angles:
            one_off = vt.Circuit(prep + [getattr(vt.Gate, name)(1, theta)]).run(2)
            compiled = plan.statevector(np.float32([theta]))
            assert one_off.tobytes() == compiled.tobytes(), (name, theta)

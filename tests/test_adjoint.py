"""Adjoint differentiation: CompiledCircuit and ExecutionContext methods and
their batch twins, cross-checked against the parameter-shift methods, the
expectation, central differences and the NumPy reference."""

import numpy as np
import pytest

import reference as ref
import vantrel as vt
from compiled_helpers import (ROTATIONS, build, float32_terms, observable, outputs_at_pool_sizes,
                              random_steps, random_terms)

DOC = "Return the expectation value and its gradient by adjoint differentiation."
BUFFER_DOC = ("Return the expectation value and its gradient by adjoint differentiation, "
              "reading the parameters from a ParamBuffer.")


def all_forms(circuit, params, obs):
    """(value, gradient) from each scalar form and, as row 0 of a batch, each batch form."""
    ctx = circuit.execution_context()
    buf = circuit.param_buffer()
    buf.numpy()[:] = params
    batch = circuit.param_batch_buffer(1)
    batch.numpy()[0] = params
    out = [circuit.adjoint_value_and_gradient(params, obs),
           circuit.adjoint_value_and_gradient_buffer(buf, obs),
           ctx.adjoint_value_and_gradient(circuit, params, obs),
           ctx.adjoint_value_and_gradient_buffer(circuit, buf, obs),
           ctx.adjoint_value_and_gradient(circuit, params, obs)]  # the context reused
    for values, grads in (circuit.batch_adjoint_value_and_gradient(params[None, :], obs),
                          circuit.batch_adjoint_value_and_gradient_buffer(batch, obs)):
        out.append((float(values[0]), grads[0]))
    return out


@pytest.mark.parametrize("n", [1, 3, 6, 9, 12])
def test_random_plans_agree_with_the_shift_rule(n):
    rng = np.random.default_rng(500 + n)
    num_params = int(rng.integers(1, 3 * n + 2))
    steps = random_steps(rng, n, num_params, 12 * n + 8, pauli=True)
    terms = random_terms(rng, n, 5)
    circuit, obs = build(steps, n, num_params), observable(terms)
    params = rng.uniform(-np.pi, np.pi, num_params).astype(np.float32)

    forms = all_forms(circuit, params, obs)
    value, grad = forms[0]
    assert isinstance(value, float)
    assert grad.dtype == np.float32 and grad.shape == (num_params,)
    for v, g in forms[1:]:
        assert v == value
        np.testing.assert_array_equal(g, grad)

    assert value == circuit.expectation(params, obs)
    shift = circuit.gradient(params, obs)
    scale = sum(abs(np.float32(c)) for c, _ in terms)
    np.testing.assert_allclose(grad, shift, rtol=0, atol=1e-4 * scale)
    if n <= 6:  # the reference's central differences are slow on larger plans
        reference = ref.plan_gradient(steps, n, params, float32_terms(terms))
        np.testing.assert_allclose(grad, reference, rtol=0, atol=2e-4)
    unused = set(range(num_params)) - {s[2] for s in steps if s[0] in ROTATIONS + ("pauli",)}
    for slot in unused:
        assert grad[slot] == 0 and not np.signbit(grad[slot])


def test_shared_slots_central_differences_and_no_parameters():
    spec = vt.CircuitSpec(2)
    theta, phi, unused = spec.param("theta"), spec.param("phi"), spec.param("unused")
    spec.h(1)
    spec.rx(0, theta)
    spec.p(1, phi)
    spec.cx(1, 0)
    spec.rx(0, theta)
    spec.rz(1, phi)
    spec.ry(1, theta)
    circuit = spec.compile()
    obs = vt.Observable.hamiltonian([vt.Observable.pauli_z(0), vt.Observable.pauli_y(1, -0.7),
                                     vt.Observable.pauli_string([("X", 0), ("X", 1)], 0.4)])
    params = np.array([0.7, -1.3, 2.0], np.float32)
    _, grad = circuit.adjoint_value_and_gradient(params, obs)
    eps = 1e-2
    for i in range(2):
        up, down = params.copy(), params.copy()
        up[i] += eps
        down[i] -= eps
        fd = (circuit.expectation(up, obs) - circuit.expectation(down, obs)) / (2 * eps)
        assert grad[i] == pytest.approx(fd, abs=3e-3)
    assert grad[2] == 0 and not np.signbit(grad[2])

    # RX(theta) twice: <Z> = cos 2 theta, the derivative -2 sin 2 theta.
    spec = vt.CircuitSpec(1)
    t = spec.param()
    spec.rx(0, t)
    spec.rx(0, t)
    twice = spec.compile()
    for x in (0.3, -2.2):
        value, grad = twice.adjoint_value_and_gradient([x], vt.Observable.pauli_z(0))
        assert value == pytest.approx(np.cos(2 * x), abs=1e-6)
        assert grad[0] == pytest.approx(-2 * np.sin(2 * x), abs=1e-5)

    spec = vt.CircuitSpec(2)
    spec.h(0)
    none = spec.compile()
    value, grad = none.adjoint_value_and_gradient([], vt.Observable.pauli_x(0))
    assert value == none.expectation([], vt.Observable.pauli_x(0))
    assert grad.dtype == np.float32 and grad.shape == (0,)
    values, grads = none.batch_adjoint_value_and_gradient(np.zeros((3, 0), np.float32),
                                                          vt.Observable.pauli_x(0))
    assert values.tolist() == [value] * 3 and grads.shape == (3, 0) and grads.dtype == np.float32


def test_batches_equal_the_scalar_method_row_by_row():
    rng = np.random.default_rng(17)
    steps = random_steps(rng, 7, 6, 40)
    circuit, obs = build(steps, 7, 6), observable(random_terms(rng, 7, 4))
    data = rng.uniform(-np.pi, np.pi, (13, 6)).astype(np.float32)
    values, grads = circuit.batch_adjoint_value_and_gradient(data, obs)
    assert values.dtype == grads.dtype == np.float32
    assert values.shape == (13,) and grads.shape == (13, 6)
    for r, row in enumerate(data):
        v, g = circuit.adjoint_value_and_gradient(row, obs)
        assert values[r] == np.float32(v)
        np.testing.assert_array_equal(grads[r], g)
    batch = circuit.param_batch_buffer(13)
    batch.numpy()[:] = data
    v2, g2 = circuit.batch_adjoint_value_and_gradient_buffer(params_batch=batch, observable=obs)
    np.testing.assert_array_equal(v2, values)
    np.testing.assert_array_equal(g2, grads)
    empty_v, empty_g = circuit.batch_adjoint_value_and_gradient(np.zeros((0, 6)), obs)
    assert empty_v.shape == (0,) and empty_g.shape == (0, 6)
    with pytest.raises(ValueError, match=r"^params_batch has width 5, expected 6$"):
        circuit.batch_adjoint_value_and_gradient(data[:, :5], obs)
    with pytest.raises(ValueError, match=r"^param_batch_buffer has width 6, expected 1$"):
        build([("ry", 0, 0)], 1, 1).batch_adjoint_value_and_gradient_buffer(batch, obs)


def test_plans_that_measure_or_reset_are_refused_before_any_work():
    message = r"^adjoint differentiation does not support measurement or reset steps$"
    z = vt.Observable.pauli_z(0)
    for gate in (vt.Gate.measure(1), vt.Gate.reset(0)):
        spec = vt.CircuitSpec(2)
        t = spec.param()
        spec.ry(0, t)
        spec.gate(gate)
        circuit = spec.compile()
        ctx = circuit.execution_context()
        buf = circuit.param_buffer()
        batch = circuit.param_batch_buffer(0)
        for call in (lambda: circuit.adjoint_value_and_gradient([0.1], z),
                     lambda: circuit.adjoint_value_and_gradient_buffer(buf, z),
                     lambda: ctx.adjoint_value_and_gradient(circuit, [0.1], z),
                     lambda: ctx.adjoint_value_and_gradient_buffer(circuit, buf, z),
                     lambda: circuit.batch_adjoint_value_and_gradient(np.zeros((0, 1)), z),
                     lambda: circuit.batch_adjoint_value_and_gradient_buffer(batch, z)):
            with pytest.raises(ValueError, match=message):
                call()
        # The length and the observable are checked first.
        with pytest.raises(ValueError, match=r"^parameter vector has length 0, expected 1$"):
            circuit.adjoint_value_and_gradient([], vt.Observable.pauli_z(5))
        with pytest.raises(ValueError, match=r"^observable references qubit 5"):
            circuit.adjoint_value_and_gradient([0.1], vt.Observable.pauli_z(5))

    # Barriers are fine.
    spec = vt.CircuitSpec(1)
    t = spec.param()
    spec.gate(vt.Gate.barrier())
    spec.rx(0, t)
    spec.gate(vt.Gate.barrier())
    value, grad = spec.compile().adjoint_value_and_gradient([0.4], z)
    assert value == pytest.approx(np.cos(0.4), abs=1e-6)
    assert grad[0] == pytest.approx(-np.sin(0.4), abs=1e-6)


def test_errors_in_order():
    circuit = build([("ry", 0, 0), ("cx", 0, 1)], 2, 1)
    z = vt.Observable.pauli_z(1)
    far = vt.Observable.pauli_z(2)
    ctx = circuit.execution_context()
    with pytest.raises(ValueError, match=r"^parameter vector has length 2, expected 1$"):
        circuit.adjoint_value_and_gradient([0.1, 0.2], far)
    with pytest.raises(ValueError, match=r"^observable references qubit 2 but state vector only has 2 qubits$"):
        ctx.adjoint_value_and_gradient(circuit, [0.1], far)
    with pytest.raises(ValueError, match=r"^observable references qubit 2 but state vector only has 2 qubits$"):
        circuit.batch_adjoint_value_and_gradient(np.zeros((0, 1)), far)
    with pytest.raises(TypeError, match="^argument 'params': "):
        circuit.adjoint_value_and_gradient_buffer(np.zeros(1, np.float32), z)
    with pytest.raises(TypeError, match="^argument 'circuit': "):
        ctx.adjoint_value_and_gradient_buffer(z, circuit.param_buffer(), z)
    with pytest.raises(TypeError, match="^argument 'observable': "):
        circuit.batch_adjoint_value_and_gradient([[0.1]], "Z")
    with pytest.raises(ValueError, match=r"^param_buffer has length 3, expected 1$"):
        ctx.adjoint_value_and_gradient_buffer(circuit, build([], 1, 3).param_buffer(), z)
    with pytest.raises(TypeError, match="^params must be convertible to a 1D numpy float32 array$"):
        circuit.adjoint_value_and_gradient([[0.1]], z)
    assert ctx.adjoint_value_and_gradient(circuit, [0.0], z)[0] == pytest.approx(1.0)

    with pytest.raises(MemoryError, match=r"^cannot allocate a state vector of 64 qubits \(128 EiB\)$"):
        vt.CircuitSpec(64).compile().adjoint_value_and_gradient([], z)
    with pytest.raises(MemoryError, match=r"^cannot allocate a state vector of 50 qubits \(8 PiB\)$"):
        vt.CircuitSpec(50).compile().adjoint_value_and_gradient([], z)


def test_signatures_and_documentation():
    for cls, args, names in (
            (vt.CompiledCircuit, "($self, params, observable)",
             ("adjoint_value_and_gradient", "adjoint_value_and_gradient_buffer")),
            (vt.ExecutionContext, "($self, circuit, params, observable)",
             ("adjoint_value_and_gradient", "adjoint_value_and_gradient_buffer")),
            (vt.CompiledCircuit, "($self, params_batch, observable)",
             ("batch_adjoint_value_and_gradient", "batch_adjoint_value_and_gradient_buffer"))):
        for name in names:
            assert getattr(cls, name).__text_signature__ == args, name
    assert vt.CompiledCircuit.adjoint_value_and_gradient.__doc__.endswith(DOC)
    assert vt.ExecutionContext.adjoint_value_and_gradient_buffer.__doc__.endswith(BUFFER_DOC)
    assert vt.CompiledCircuit.batch_adjoint_value_and_gradient_buffer.__doc__.endswith(
        "reading the rows from a ParamBatchBuffer.")


POOL_SIZES = """
import hashlib
import sys
import numpy as np
import vantrel as vt
from compiled_helpers import build, observable, random_steps, random_terms

vt.set_num_threads(int(sys.argv[1]))
rng = np.random.default_rng(9)
# 16 qubits: every kernel of a row splits over the pool, and batch rows too.
steps = [("h", q) for q in range(16)] + random_steps(rng, 16, 10, 40, pauli=True)
circuit, obs = build(steps, 16, 10), observable(random_terms(rng, 16, 6))
data = rng.uniform(-3, 3, (3, 10)).astype(np.float32)
digest = hashlib.sha256()
ctx = circuit.execution_context()
for row in data:
    for value, grad in (circuit.adjoint_value_and_gradient(row, obs),
                        ctx.adjoint_value_and_gradient(circuit, row, obs)):
        digest.update(np.float32(value).tobytes() + grad.tobytes())
for array in circuit.batch_adjoint_value_and_gradient(data, obs):
    digest.update(array.tobytes())
print(digest.hexdigest())
"""


def test_results_are_the_same_bits_for_every_pool_size():
    assert len(set(outputs_at_pool_sizes(POOL_SIZES))) == 1

import numpy as np
import pytest

import reference as ref
import vantrel as vt
from compiled_helpers import (build, float32_terms, observable, outputs_at_pool_sizes, random_steps,
                              random_terms)

SIGNATURES = {
    "batch_expectation": "($self, params_batch, observable)",
    "batch_expectation_buffer": "($self, params_batch, observable)",
    "batch_gradient": "($self, params_batch, observable)",
    "batch_gradient_buffer": "($self, params_batch, observable)",
    "batch_value_and_gradient": "($self, params_batch, observable)",
    "batch_value_and_gradient_buffer": "($self, params_batch, observable)",
}


def random_case(seed, n, num_params, rows, pauli=False):
    rng = np.random.default_rng(seed)
    steps = random_steps(rng, n, num_params, 4 * n + 6, pauli)
    terms = random_terms(rng, n, 3)
    data = rng.uniform(-np.pi, np.pi, (rows, num_params)).astype(np.float32)
    return steps, terms, build(steps, n, num_params), observable(terms), data


def test_signatures():
    for name, sig in SIGNATURES.items():
        assert getattr(vt.CompiledCircuit, name).__text_signature__ == sig, name


@pytest.mark.parametrize("n,num_params,rows,pauli", [(1, 1, 5, False), (3, 4, 17, False),
                                                     (6, 3, 9, False), (9, 5, 4, False),
                                                     (5, 3, 6, True)])
def test_rows_equal_the_scalar_methods(n, num_params, rows, pauli):
    steps, terms, circuit, obs, data = random_case(n, n, num_params, rows, pauli)
    batch = circuit.param_batch_buffer(rows)
    batch.numpy()[:] = data

    values = circuit.batch_expectation(data, obs)
    assert values.dtype == np.float32 and values.shape == (rows,)
    grads = circuit.batch_gradient(data, obs)
    assert grads.dtype == np.float32 and grads.shape == (rows, num_params)
    v2, g2 = circuit.batch_value_and_gradient(data, obs)
    for r in range(rows):
        assert values[r] == circuit.expectation(data[r], obs)
        np.testing.assert_array_equal(grads[r], circuit.gradient(data[r], obs))
    np.testing.assert_array_equal(v2, values)
    np.testing.assert_array_equal(g2, grads)
    np.testing.assert_array_equal(circuit.batch_expectation_buffer(batch, obs), values)
    np.testing.assert_array_equal(circuit.batch_gradient_buffer(batch, obs), grads)
    v3, g3 = circuit.batch_value_and_gradient_buffer(params_batch=batch, observable=obs)
    np.testing.assert_array_equal(v3, values)
    np.testing.assert_array_equal(g3, grads)

    terms32 = float32_terms(terms)
    for r in range(min(rows, 3)):
        assert values[r] == pytest.approx(ref.plan_expectation(steps, n, data[r], terms32), abs=1e-4)
        np.testing.assert_allclose(grads[r], ref.plan_gradient(steps, n, data[r], terms32), atol=2e-4)


def test_empty_batches():
    _, _, circuit, obs, _ = random_case(1, 2, 3, 0)
    for data in (np.zeros((0, 3), np.float32), circuit.param_batch_buffer(0)):
        suffix = "" if isinstance(data, np.ndarray) else "_buffer"
        values = getattr(circuit, "batch_expectation" + suffix)(data, obs)
        assert values.dtype == np.float32 and values.shape == (0,)
        grads = getattr(circuit, "batch_gradient" + suffix)(data, obs)
        assert grads.dtype == np.float32 and grads.shape == (0, 3)
        v, g = getattr(circuit, "batch_value_and_gradient" + suffix)(data, obs)
        assert v.shape == (0,) and g.shape == (0, 3)


def test_circuit_without_parameters():
    circuit = build([("h", 0), ("cx", 0, 1)], 2, 0)
    xx = vt.Observable.pauli_string([("X", 0), ("X", 1)])
    for data in (np.zeros((3, 0), np.float32), circuit.param_batch_buffer(3)):
        suffix = "" if isinstance(data, np.ndarray) else "_buffer"
        values = getattr(circuit, "batch_expectation" + suffix)(data, xx)
        assert values.shape == (3,) and values[0] == pytest.approx(1.0, abs=1e-6)
        assert values[0] == values[1] == values[2]
        v, g = getattr(circuit, "batch_value_and_gradient" + suffix)(data, xx)
        np.testing.assert_array_equal(v, values)
        assert g.dtype == np.float32 and g.shape == (3, 0)
        assert getattr(circuit, "batch_gradient" + suffix)(data, xx).shape == (3, 0)


def test_batch_errors():
    _, _, circuit, obs, data = random_case(2, 2, 3, 4)
    far = vt.Observable.pauli_y(2)
    message = r"^observable references qubit 2 but state vector only has 2 qubits$"
    for call in (lambda: circuit.batch_expectation(data, far),
                 lambda: circuit.batch_gradient(np.zeros((0, 3)), far),
                 lambda: circuit.batch_value_and_gradient_buffer(circuit.param_batch_buffer(0), far)):
        with pytest.raises(ValueError, match=message):
            call()
    with pytest.raises(ValueError, match=r"^params_batch has width 4, expected 3$"):
        circuit.batch_value_and_gradient(np.zeros((2, 4)), far)
    with pytest.raises(TypeError, match="^argument 'observable': "):
        circuit.batch_gradient(data, [obs])
    with pytest.raises(TypeError, match="^argument 'params_batch': "):
        circuit.batch_expectation_buffer(data, obs)
    with pytest.raises(TypeError, match="^argument 'params_batch': "):
        circuit.batch_gradient_buffer(circuit.param_buffer(), obs)
    with pytest.raises(TypeError, match="^params_batch must be convertible to a 2D numpy float32 array$"):
        circuit.batch_value_and_gradient(np.zeros((2, 3, 1)), obs)
    with pytest.raises(TypeError):
        circuit.batch_expectation(data)


def test_shared_parameter_in_a_batch():
    spec = vt.CircuitSpec(1)
    theta = spec.param()
    spec.rx(0, theta)
    spec.rx(0, theta)
    circuit = spec.compile()
    thetas = np.linspace(-1.5, 1.5, 7, dtype=np.float32)
    values, grads = circuit.batch_value_and_gradient(thetas[:, None], vt.Observable.pauli_z(0))
    np.testing.assert_allclose(values, np.cos(2 * thetas), atol=1e-6)
    np.testing.assert_allclose(grads[:, 0], -2 * np.sin(2 * thetas), atol=1e-5)


def test_every_row_failing_reports_one_error():
    # No unit can allocate its state: each one fails, one error comes back.
    for n, size in ((50, "8 PiB"), (64, "128 EiB")):
        spec = vt.CircuitSpec(n)
        spec.rx(0, spec.param())
        circuit = spec.compile()
        z = vt.Observable.pauli_z(0)
        with pytest.raises(MemoryError) as info:
            circuit.batch_value_and_gradient(np.zeros((16, 1), np.float32), z)
        assert str(info.value) == f"cannot allocate a state vector of {n} qubits ({size})"
        with pytest.raises(MemoryError):
            circuit.batch_expectation_buffer(circuit.param_batch_buffer(16), z)
        assert circuit.batch_expectation(np.zeros((0, 1), np.float32), z).shape == (0,)


NESTED_BATCH = """
import sys
import numpy as np
import vantrel as vt

vt.set_num_threads(int(sys.argv[1]))
# 16 qubits: each row's gates are large enough to split over the pool from
# inside the batch's own units.
spec = vt.CircuitSpec(16)
params = [spec.param() for _ in range(3)]
for q in range(16):
    spec.h(q)
spec.rx(0, params[0])
spec.ry(15, params[1])
spec.cx(0, 15)
spec.rz(7, params[2])
circuit = spec.compile()
obs = vt.Observable.hamiltonian([vt.Observable.pauli_z(15), vt.Observable.pauli_x(7, 0.5)])
data = np.random.default_rng(3).uniform(-3, 3, (6, 3)).astype(np.float32)
values, grads = circuit.batch_value_and_gradient(data, obs)
for r, row in enumerate(data):
    v, g = circuit.value_and_gradient(row, obs)
    assert values[r] == np.float32(v), (r, values[r], v)
    assert np.array_equal(grads[r], g), r
print("ok")
"""


@pytest.mark.parametrize("threads", [1, 2, 8])
def test_nested_parallel_batches_finish_at_every_pool_size(threads):
    import subprocess
    import sys

    result = subprocess.run([sys.executable, "-c", NESTED_BATCH, str(threads)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


MANY_TERMS = """
import sys
import numpy as np
import vantrel as vt
from compiled_helpers import ry_chain

vt.set_num_threads(int(sys.argv[1]))
# 16 qubits and 31 terms: called from outside the pool, the terms may be
# shared between two sweeps; inside a batch row they are not.
n = 16
circuit, zz, xy = ry_chain(n)
obs = vt.Observable.hamiltonian(zz + xy)
data = np.random.default_rng(5).uniform(-3, 3, (3, n)).astype(np.float32)
batch = circuit.batch_expectation(data, obs)
single = [circuit.expectation(row, obs) for row in data]
assert [np.float32(v) for v in single] == list(batch), (single, batch)
print(" ".join(float(v).hex() for v in single))
"""


def test_many_term_expectations_are_the_same_bits_at_every_pool_size():
    outputs = outputs_at_pool_sizes(MANY_TERMS)
    assert len(set(outputs)) == 1, outputs

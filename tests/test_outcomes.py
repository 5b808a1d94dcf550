"""Outcome methods: exact probabilities, counts, several observables per run.
Cross-checked against the final state vantrel reports and the NumPy reference
(tests/reference.py)."""

import collections

import numpy as np
import pytest

import reference as ref
import vantrel as vt
from compiled_helpers import (build, float32_terms, observable, outputs_at_pool_sizes, random_steps,
                              random_terms)


def random_plan(seed, n=5, p=3, length=30):
    rng = np.random.default_rng(seed)
    steps = random_steps(rng, n, p, length, pauli=True)
    params = rng.uniform(-3, 3, p).astype(np.float32)
    return rng, steps, build(steps, n, p), params


def marginal(weights, qubits):
    """Sums of the weights by the bits of `qubits`, in ascending index order."""
    index = np.zeros(weights.size, dtype=np.int64)
    for j, q in enumerate(qubits):
        index |= ((np.arange(weights.size) >> q) & 1) << j
    out = np.zeros(1 << len(qubits))
    np.add.at(out, index, weights)
    return out


@pytest.mark.parametrize("qubits", [None, [3, 1], [4, 0, 2, 1, 3], [2], []])
def test_probabilities_are_the_squared_amplitudes_summed_in_index_order(qubits):
    _, steps, circuit, params = random_plan(1)
    state = circuit.statevector(params)
    weights = state.real.astype(np.float64) ** 2 + state.imag.astype(np.float64) ** 2
    expected = marginal(weights, range(5) if qubits is None else qubits)
    context = circuit.execution_context()
    for got in (circuit.probabilities(params, qubits),
                context.probabilities(circuit, params, qubits=qubits)):
        assert got.dtype == np.float64 and np.array_equal(got, expected)
    exact = np.abs(ref.run_plan(steps, 5, params)) ** 2
    assert np.allclose(expected, marginal(exact, range(5) if qubits is None else qubits),
                       atol=1e-5)


def test_circuit_probabilities_and_counts():
    gates = [vt.Gate.h(0), vt.Gate.cx(0, 1), vt.Gate.ry(2, 0.7)]
    circuit = vt.Circuit(gates)
    state = ref.zero_state(3)
    state = ref.apply(state, [0], ref.H)
    state = ref.apply(state, [0, 1], ref.controlled(ref.X))
    state = ref.apply(state, [2], ref.RY(0.7))
    assert np.allclose(circuit.probabilities(3, [2, 1]), marginal(np.abs(state) ** 2, [2, 1]),
                       atol=1e-6)
    counts = circuit.counts(3, 500, seed=9)
    assert list(counts) == sorted(counts) and sum(counts.values()) == 500
    assert set(counts) <= {0, 3, 4, 7}
    assert circuit.counts(3, 500, seed=9) == counts
    assert sum(circuit.counts(3, 20).values()) == 20


def test_counts_tally_the_samples_of_the_same_seed():
    spec = vt.CircuitSpec(3)
    theta = spec.param()
    spec.h(0)
    spec.ry(1, theta)
    spec.cx(1, 2)
    circuit = spec.compile()
    for seed in (0, 7, 2**64 - 1):
        samples = circuit.sample([0.9], 1000, seed=seed)
        counts = circuit.counts([0.9], 1000, seed=seed)
        assert counts == dict(sorted(collections.Counter(samples).items()))
        assert list(counts) == sorted(counts)
    assert circuit.counts([0.9], 0, seed=1) == {}
    # Measurements inside the circuit are drawn from the seed as well.
    measured = vt.Circuit([vt.Gate.h(0), vt.Gate.measure(0), vt.Gate.h(1)])
    assert len({tuple(measured.counts(2, 50, seed=s).items()) for s in range(8)}) > 1
    assert measured.counts(2, 50, seed=3) == measured.counts(2, 50, seed=3)


def test_probabilities_refusals():
    _, _, circuit, params = random_plan(2)
    context = circuit.execution_context()
    for call in (lambda q: circuit.probabilities(params, q),
                 lambda q: context.probabilities(circuit, params, q),
                 lambda q: vt.Circuit([vt.Gate.h(0)]).probabilities(5, q)):
        with pytest.raises(ValueError, match="duplicate qubit index: 1"):
            call([1, 0, 1])
        with pytest.raises(ValueError, match="qubit index 5 is out of range for 5 qubits"):
            call([0, 5])
        with pytest.raises(ValueError, match="duplicate qubit index: 0"):
            call([0] * 100000)
        with pytest.raises((TypeError, OverflowError)):
            call([-1])
        with pytest.raises(TypeError):
            call("01")
    spec = vt.CircuitSpec(2)
    spec.h(0)
    measured = vt.Circuit([vt.Gate.h(0), vt.Gate.reset(0)])
    for call in (lambda: measured.probabilities(2),
                 lambda: vt.Circuit([vt.Gate.measure(1)]).probabilities(2, [0])):
        with pytest.raises(ValueError, match="without measurement or reset"):
            call()


def test_expectations_are_the_bits_of_one_expectation_each():
    rng, steps, circuit, params = random_plan(3, n=6, p=4, length=40)
    lists = [random_terms(rng, 6, k) for k in (1, 5, 70)]
    observables = [observable(t) for t in lists]
    single = [circuit.expectation(params, o) for o in observables]
    values = circuit.expectations(params, observables)
    assert values.dtype == np.float64 and values.tolist() == single
    context = circuit.execution_context()
    assert context.expectations(circuit, params, tuple(observables)).tolist() == single
    state = ref.run_plan(steps, 6, params)
    assert np.allclose(values, [ref.expectation(state, float32_terms(t)) for t in lists],
                       atol=1e-4)
    batch = rng.uniform(-3, 3, (4, 4)).astype(np.float32)
    table = circuit.batch_expectations(batch, observables)
    assert table.shape == (4, 3) and table.dtype == np.float64
    for r, row in enumerate(batch):
        assert table[r].tolist() == circuit.expectations(row, observables).tolist()
        assert table[r, 2] == circuit.batch_expectation(batch, observables[2])[r]
    assert circuit.expectations(params, []).shape == (0,)
    assert circuit.batch_expectations(batch, []).shape == (4, 0)
    assert circuit.batch_expectations(np.zeros((0, 4)), observables).shape == (0, 3)


def test_expectations_refusals():
    _, _, circuit, params = random_plan(4, n=3)
    wide = vt.Observable.pauli_z(7)
    with pytest.raises(ValueError, match="observable references qubit 7 but state vector only"):
        circuit.expectations(params, [vt.Observable.pauli_z(0), wide])
    with pytest.raises(ValueError, match="observable references qubit 7"):
        circuit.batch_expectations([params], [wide])
    with pytest.raises(TypeError, match="argument 'observables': observables must all be"):
        circuit.expectations(params, [vt.Observable.pauli_z(0), "Z0"])
    with pytest.raises(TypeError, match="argument 'observables'"):
        circuit.expectations(params, 3)
    with pytest.raises(ValueError, match="parameter vector has length 2, expected 3"):
        circuit.expectations(params[:2], [vt.Observable.pauli_z(0)])
    with pytest.raises(ValueError, match=r"expected 3"):
        circuit.batch_expectations(np.zeros((2, 2)), [vt.Observable.pauli_z(0)])


POOL_SIZES = """
import sys
import numpy as np
import vantrel as vt
from compiled_helpers import ry_chain

vt.set_num_threads(int(sys.argv[1]))
n = 16
circuit, zz, xy = ry_chain(n)
observables = [vt.Observable.hamiltonian(zz + xy)] + zz + xy
data = np.random.default_rng(5).uniform(-3, 3, (3, n)).astype(np.float32)
table = circuit.batch_expectations(data, observables)
for r, row in enumerate(data):
    assert table[r].tolist() == circuit.expectations(row, observables).tolist()
probabilities = circuit.probabilities(data[0], [15, 3, 8])
print(" ".join(float(v).hex() for v in list(table.ravel()) + list(probabilities)))
"""


def test_the_same_bits_at_every_pool_size():
    assert len(set(outputs_at_pool_sizes(POOL_SIZES))) == 1

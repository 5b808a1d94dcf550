"""vantrel_qiskit against Qiskit's own reference: from_qiskit and from_qasm
against Statevector, Estimator and Sampler against StatevectorEstimator and
StatevectorSampler, the backend through transpile and run. Skipped without
Qiskit."""

import subprocess
import sys

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister, transpile  # noqa: E402
from qiskit.circuit import Parameter, ParameterVector  # noqa: E402
from qiskit.circuit.library import PauliEvolutionGate, get_standard_gate_name_mapping  # noqa: E402
from qiskit.primitives import StatevectorEstimator, StatevectorSampler  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402

import vantrel_qiskit as vq  # noqa: E402

STANDARD = {n: g for n, g in get_standard_gate_name_mapping().items()
            if n not in ("measure", "reset", "delay")}


def assert_same_state(circuit, spec, values=(), precision="single"):
    """The spec's state equals Qiskit's up to a global phase."""
    state = spec.compile(precision=precision).statevector(values)
    reference = Statevector(circuit.assign_parameters(list(values)) if len(values) else circuit).data
    assert abs(np.vdot(reference, state)) == pytest.approx(1.0, abs=2e-6 if precision == "single" else 1e-12)


def random_circuit(num_qubits, depth, rng, params):
    """Every standard gate of Qiskit's library by turns, its angles affine in
    one of params (or constants), on random qubits."""
    circuit = QuantumCircuit(num_qubits)
    names = [n for n, g in sorted(STANDARD.items()) if g.num_qubits <= num_qubits]
    for i in range(depth):
        gate = STANDARD[names[i % len(names)]]
        angles = [rng.uniform(-2, 2) * params[rng.integers(len(params))] + rng.uniform(-1, 1)
                  if rng.random() < 0.7 else rng.uniform(-3, 3) for _ in gate.params]
        # Gates of several angles read one parameter each: their
        # decompositions mix angles, which stay affine in one parameter.
        if len(angles) > 1 and any(not isinstance(a, float) for a in angles):
            p = params[i % len(params)]
            angles = [rng.uniform(-2, 2) * p + rng.uniform(-1, 1) for _ in angles]
        op = gate.base_class(*angles) if angles else gate
        circuit.append(op, [int(q) for q in rng.permutation(num_qubits)[:gate.num_qubits]])
    return circuit


def random_observable(num_qubits, terms, rng):
    labels = ["".join(rng.choice(list("IXYZ"), num_qubits)) for _ in range(terms)]
    return SparsePauliOp(labels, rng.normal(size=terms) / terms)


@pytest.mark.parametrize("num_qubits", [1, 2, 3, 5, 8, 12])
def test_estimator_matches_reference_on_every_gate(num_qubits):
    rng = np.random.default_rng(num_qubits)
    params = ParameterVector("t", 3)
    circuit = random_circuit(num_qubits, 3 * len(STANDARD), rng, list(params))
    values = rng.uniform(-np.pi, np.pi, len(circuit.parameters))
    assert_same_state(circuit, vq.from_qiskit(circuit), np.float32(values))
    assert_same_state(circuit, vq.from_qiskit(circuit), values, "double")
    observables = [random_observable(num_qubits, 2 * num_qubits, rng) for _ in range(3)]
    values = rng.uniform(-np.pi, np.pi, (4, 1, len(circuit.parameters)))
    pubs = [(circuit, observables, values), (circuit, observables, values[:3, 0])]  # outer, zipped
    want = StatevectorEstimator().run(pubs).result()
    for precision, atol in (("single", 1e-5), ("double", 1e-10)):
        got = vq.Estimator(precision=precision).run(pubs).result()
        assert got[0].data.evs.shape == (4, 3) and got[1].data.evs.shape == (3,)
        for g, w in zip(got, want):
            np.testing.assert_allclose(g.data.evs, w.data.evs, atol=atol)


def test_scaled_parameters_pauli_evolution_and_refusals():
    a, b = Parameter("a"), Parameter("b")
    circuit = QuantumCircuit(4)
    circuit.h(range(4))
    circuit.append(PauliEvolutionGate(SparsePauliOp("XYZI", 0.3), time=2 * a), range(4))
    circuit.append(PauliEvolutionGate(SparsePauliOp("XYZY", -0.7), time=0.4), range(4))
    circuit.append(PauliEvolutionGate(SparsePauliOp(["ZZII", "IIXX"], [0.5, 1.5]), time=b), range(4))
    circuit.rzz(-a / 2, 0, 3)
    spec = vq.from_qiskit(circuit)
    assert spec.parameter_count == 2 and spec.compile().draw()  # slots follow circuit.parameters
    assert_same_state(circuit, spec, (0.9, -0.4))

    bad = QuantumCircuit(1)
    bad.rx(a * b, 0)
    with pytest.raises(ValueError, match=r"a\*b"):
        vq.from_qiskit(bad)
    bad = QuantumCircuit(1)
    bad.rx(a ** 2, 0)
    with pytest.raises(ValueError, match=r"a\*\*2"):
        vq.from_qiskit(bad)
    bad = QuantumCircuit(1, 1)
    bad.measure(0, 0)
    with bad.if_test((bad.clbits[0], 1)):
        bad.x(0)
    with pytest.raises(ValueError, match="classically controlled"):
        vq.from_qiskit(bad)
    with pytest.raises(ValueError, match="'single' or 'double', got 'half'"):
        vq.Estimator(precision="half")


def test_estimator_precision_and_seed_repeat():
    circuit = QuantumCircuit(2)
    circuit.h(0)
    circuit.cx(0, 1)
    pub = (circuit, ["ZZ", "XX", "II", "ZI"])
    exact = vq.Estimator().run([pub]).result()[0].data.evs
    np.testing.assert_allclose(exact, [1, 1, 1, 0], atol=1e-6)
    runs = [vq.Estimator(seed=5).run([pub, pub], precision=0.01).result() for _ in range(2)]
    noisy = runs[0][0].data.evs
    assert np.array_equal(noisy, runs[1][0].data.evs)
    assert not np.array_equal(noisy, runs[0][1].data.evs)  # each PUB its own stream
    assert np.all(np.abs(noisy - exact) < 0.06) and np.any(noisy != exact)
    assert runs[0][0].data.stds.tolist() == [0.01] * 4


def chi_square(counts_a, counts_b, shots):
    """Pearson's statistic of two samples of equal size, and its degrees of freedom."""
    keys = set(counts_a) | set(counts_b)
    stat = sum((counts_a.get(k, 0) - counts_b.get(k, 0)) ** 2 / (counts_a.get(k, 0) + counts_b.get(k, 0))
               for k in keys)
    return stat, len(keys) - 1


def test_sampler_distribution_registers_and_seed():
    rng = np.random.default_rng(3)
    params = ParameterVector("t", 2)
    body = random_circuit(5, 40, rng, list(params))
    circuit = QuantumCircuit(QuantumRegister(5), ClassicalRegister(3, "low"), ClassicalRegister(2, "high"))
    circuit.compose(body, range(5), inplace=True)
    circuit.measure([0, 1, 2, 3, 4], [0, 1, 2, 3, 4])
    values = rng.uniform(-1, 1, (2, 2))
    shots = 20000
    result = vq.Sampler(seed=11).run([(circuit, values)], shots=shots).result()[0]
    reference = StatevectorSampler(seed=11).run([(circuit, values)], shots=shots).result()[0]
    assert result.data.low.shape == (2,) and result.data.low.num_shots == shots
    for row in range(2):
        for name in ("low", "high"):
            got = getattr(result.data, name)[row].get_counts()
            want = getattr(reference.data, name)[row].get_counts()
            stat, dof = chi_square(got, want, shots)
            assert stat < dof + 6 * np.sqrt(2 * dof) + 10, (name, stat, dof)
    again = vq.Sampler(seed=11).run([(circuit, values)], shots=shots).result()[0]
    assert np.array_equal(again.data.low.array, result.data.low.array)
    double = vq.Sampler(seed=11, precision="double").run([(circuit, values)], shots=shots).result()[0]
    for row in range(2):
        stat, dof = chi_square(double.data.high[row].get_counts(),
                               reference.data.high[row].get_counts(), shots)
        assert stat < dof + 6 * np.sqrt(2 * dof) + 10, (stat, dof)


def test_sampler_mid_circuit_measurement_and_reset_are_per_shot():
    # Each shot measures a fresh |+>: the first bit is a fair coin, then the
    # reset and X make the qubit 1 in every shot, and the copy agrees with the
    # first measurement shot by shot.
    circuit = QuantumCircuit(2, 3)
    circuit.h(0)
    circuit.measure(0, 0)
    circuit.cx(0, 1)
    circuit.reset(0)
    circuit.x(0)
    circuit.measure(0, 1)
    circuit.measure(1, 2)
    bits = vq.Sampler(seed=1).run([circuit], shots=4000).result()[0].data.c
    counts = bits.get_counts()
    assert set(counts) == {"111", "010"}
    assert abs(counts["111"] - 2000) < 200


def test_from_qasm_2_and_3():
    qasm2 = """OPENQASM 2.0;
include "qelib1.inc";
gate twist(a) p, q { rz(a/2) p; cx p, q; ry(-pi/4) q; }
qreg r[3];
creg c[3];
h r;
twist(pi/3) r[0], r[2];
cu1(0.3) r[1], r[0];
u3(0.1, 0.2, 0.3) r[2];
"""
    circuit = vq.load_qasm(qasm2)
    assert_same_state(circuit, vq.from_qasm(qasm2))

    pytest.importorskip("qiskit_qasm3_import")
    qasm3 = """OPENQASM 3.0;
include "stdgates.inc";
input angle theta;
gate spin(a) q { rx(2*a) q; rz(pi) q; }
qubit[3] r;
bit[3] c;
h r;
spin(theta) r[1];
crx(theta / 2) r[1], r[2];
cx r[0], r[1];
c = measure r;
"""
    circuit = vq.load_qasm(qasm3)
    spec = vq.from_qasm(qasm3)
    assert spec.parameter_count == 1
    circuit.remove_final_measurements()
    assert_same_state(circuit, vq.from_qiskit(circuit), (0.8,))

    with pytest.raises(Exception, match=r"3,11"):
        vq.from_qasm('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[1]; hh q[0];\n')
    with pytest.raises(Exception, match=r"3,0"):
        vq.from_qasm("OPENQASM 3.0;\nqubit q;\nfoo q;\n")


@pytest.mark.parametrize("precision", ["single", "double"])
def test_backend_transpile_and_run(precision):
    backend = vq.Backend(precision=precision)
    circuit = QuantumCircuit(3, 3)
    circuit.h(0)
    circuit.append(get_standard_gate_name_mapping()["ecr"], [0, 1])
    circuit.ccz(0, 1, 2)
    circuit.measure(range(3), range(3))
    compiled = transpile(circuit, backend, optimization_level=1)
    assert compiled.num_qubits == 3
    assert set(compiled.count_ops()) <= set(backend.target.operation_names)
    job = backend.run(compiled, shots=500, seed_simulator=4, memory=True)
    counts = job.result().get_counts()
    memory = job.result().get_memory()
    assert sum(counts.values()) == 500 and len(memory) == 500
    assert counts == {k: memory.count(k) for k in set(memory)}
    assert counts == backend.run(compiled, shots=500, seed_simulator=4).result().get_counts()
    reference = Statevector(circuit.remove_final_measurements(inplace=False)).probabilities_dict()
    assert set(counts) <= {k for k, p in reference.items() if p > 1e-9}


def test_import_vantrel_alone_does_not_import_qiskit():
    code = "import sys, vantrel; assert 'qiskit' not in sys.modules"
    subprocess.run([sys.executable, "-c", code], check=True)

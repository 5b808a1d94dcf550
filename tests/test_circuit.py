"""Circuit: runs on fresh registers, measurement records, sampling, the
zero-copy state arrays and the failure paths."""

import gc
import os

import numpy as np
import pytest

import reference as ref
from random_gates import random_gate
from vantrel import Circuit, Gate


@pytest.mark.parametrize("num_qubits", range(1, 11))
def test_random_circuits_match_the_reference(num_qubits):
    rng = np.random.default_rng(1000 + num_qubits)
    # 12 gates keep every gate as given; 40 gates usually cross the fusion threshold.
    for length in (12, 40):
        gates, state = [], ref.zero_state(num_qubits)
        for _ in range(length):
            gate, qubits, matrix = random_gate(rng, num_qubits)
            gates.append(gate)
            if qubits is not None:
                state = ref.apply(state, qubits, matrix)
        got = Circuit(gates).run(num_qubits)
        np.testing.assert_allclose(got, state, atol=1e-5)


def test_documented_edge_cases():
    empty = Circuit([])
    a = empty.run(2)
    assert a.dtype == np.complex64 and list(a) == [1, 0, 0, 0]
    assert list(empty.run(0)) == [1]
    assert empty.sample(0, 3) == [0, 0, 0]
    assert list(Circuit([Gate.x(0)]).run(2)) == [0, 1, 0, 0]
    assert list(Circuit([Gate.x(1)]).run(2)) == [0, 0, 1, 0]
    state, records = Circuit([Gate.x(0), Gate.measure(0)]).run_with_measurements(1)
    assert list(state) == [0, 1] and records == [(0, True)]
    _, records = Circuit([Gate.measure(0), Gate.reset(0)]).run_with_measurements(1)
    assert len(records) == 1
    assert Circuit([Gate.h(0)]).sample(1, 0) == []
    x3 = Circuit([Gate.x(3)])
    with pytest.raises(ValueError, match="^qubit index 3 is out of range for 2 qubits$"):
        x3.run(2)
    assert x3.run(4)[8] == 1


def test_measure_reset_measure_records_and_final_state():
    circuit = Circuit([Gate.x(0), Gate.measure(0), Gate.reset(0), Gate.measure(0)])
    state, records = circuit.run_with_measurements(1)
    assert records == [(0, True), (0, False)]
    assert list(state) == [1, 0]
    qubit, outcome = records[0]
    assert type(qubit) is int and type(outcome) is bool


def test_constructor_arguments():
    with pytest.raises(TypeError) as info:
        Circuit((Gate.h(0),))
    assert str(info.value) == "argument 'gates': 'tuple' object cannot be converted to 'PyList'"
    with pytest.raises(TypeError) as info:
        Circuit([Gate.h(0), 5])
    assert str(info.value) == "all circuit items must be vantrel.Gate instances"
    with pytest.raises(TypeError, match=r"^Circuit\(\) missing required argument 'gates' \(pos 1\)$"):
        Circuit()
    with pytest.raises(TypeError, match=r"^Circuit\(\) takes at most 1 argument \(2 given\)$"):
        Circuit([], [])

    class GateList(list):
        pass

    assert list(Circuit(gates=GateList([Gate.x(0)])).run(1)) == [0, 1]


def test_method_signatures_and_arguments():
    assert Circuit.__text_signature__ == "(gates)"
    assert Circuit.run.__text_signature__ == "($self, num_qubits, seed=None, precision='single')"
    assert Circuit.run_with_measurements.__text_signature__ == (
        "($self, num_qubits, seed=None, precision='single')")
    assert Circuit.sample.__text_signature__ == "($self, num_qubits, shots, seed=None, precision='single')"
    c = Circuit([])
    assert list(c.run(num_qubits=1)) == [1, 0]
    assert c.sample(shots=2, num_qubits=1) == [0, 0]
    with pytest.raises(OverflowError):
        c.run(-1)
    with pytest.raises(TypeError, match="^argument 'num_qubits': "):
        c.run(1.0)
    # Both counts convert before any work: a bad shots wins over a huge register.
    with pytest.raises(TypeError, match="^argument 'shots': "):
        c.sample(64, "3")
    with pytest.raises(TypeError, match=r"^run\(\) takes at most 3 arguments \(4 given\)$"):
        c.run(1, 2, "single", 3)
    with pytest.raises(TypeError, match=r"^sample\(\) got an unexpected keyword argument|missing"):
        c.sample(1, shot=2)


def test_circuit_owns_copies_of_its_gates():
    gates = [Gate.x(0)]
    circuit = Circuit(gates)
    gates.append(Gate.x(0))
    del gates
    gc.collect()
    assert list(circuit.run(1)) == [0, 1]


def test_state_array_takes_over_the_engine_buffer():
    state = Circuit([Gate.h(0)]).run(3)
    assert state.shape == (8,) and state.strides == (8,)
    assert state.flags.c_contiguous and state.flags.writeable
    assert not state.flags.owndata and state.base is not None
    state[:] = 2  # the memory is the caller's now
    assert np.all(state == 2)


def test_register_limits():
    with pytest.raises(MemoryError, match=r"^cannot allocate a state vector of 64 qubits \(128 EiB\)$"):
        Circuit([]).run(64)
    with pytest.raises(MemoryError, match=r"^cannot allocate a state vector of 100 qubits \(8388608 YiB\)$"):
        Circuit([Gate.h(0)]).sample(100, 1)
    # A register far beyond memory is a MemoryError saying so, and the
    # process goes on.
    state_message = r"^cannot allocate a state vector of 50 qubits \(8 PiB\)$"
    for method in ("run", "run_with_measurements"):
        with pytest.raises(MemoryError, match=state_message):
            getattr(Circuit([Gate.h(0)]), method)(50)
    with pytest.raises(MemoryError, match=state_message):
        Circuit([]).sample(50, 1)
    # So is a sample list that cannot be allocated.
    with pytest.raises(MemoryError, match=r"^cannot allocate 4611686018427387904 samples \(32 EiB\)$"):
        Circuit([]).sample(1, 2**62)
    assert list(Circuit([Gate.x(0)]).run(1)) == [0, 1]


def test_non_finite_angles_give_nan_amplitudes():
    for angle in (float("nan"), float("inf")):
        state = Circuit([Gate.rx(0, angle)]).run(1)
        assert np.isnan(state.real).all()


def test_failed_run_returns_nothing():
    circuit = Circuit([Gate.h(0), Gate.cx(0, 2)])
    for call in (lambda: circuit.run(2), lambda: circuit.run_with_measurements(2),
                 lambda: circuit.sample(2, 5)):
        with pytest.raises(ValueError, match="^qubit index 2 is out of range for 2 qubits$"):
            call()


def test_sampling_statistics():
    samples = Circuit([Gate.h(0), Gate.cx(0, 1)]).sample(2, 1000)
    assert len(samples) == 1000 and set(samples) <= {0, 3}
    assert all(type(s) is int for s in samples)
    assert 350 < samples.count(3) < 650
    # RY(theta) gives P(1) = sin^2(theta / 2) = 0.2.
    theta = 2 * np.arcsin(np.sqrt(0.2))
    ones = sum(Circuit([Gate.ry(0, theta)]).sample(1, 4000))
    assert 0.15 < ones / 4000 < 0.25


def test_measurement_collapses_consistently():
    circuit = Circuit([Gate.h(0), Gate.cx(0, 1), Gate.measure(1)])
    ones = 0
    for _ in range(200):
        state, [(qubit, outcome)] = circuit.run_with_measurements(2)
        assert qubit == 1
        expected = [0, 0, 0, 1] if outcome else [1, 0, 0, 0]
        np.testing.assert_allclose(state, expected, atol=1e-6)
        ones += outcome
    assert 50 < ones < 150
    # Samples come from the collapsed state.
    samples = Circuit([Gate.h(0), Gate.measure(0)]).sample(1, 50)
    assert len(set(samples)) == 1


def test_sixteen_one_qubit_gates_are_fused_without_changing_the_result():
    state = Circuit([Gate.h(0)] * 16).run(1)
    np.testing.assert_allclose(state, [1, 0], atol=1e-6)
    state = Circuit([Gate.t(1)] * 15 + [Gate.cx(0, 1), Gate.h(0)]).run(2)
    np.testing.assert_allclose(state, ref.apply(ref.zero_state(2), [0], ref.H), atol=1e-6)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.not_under_asan("its quarantine holds freed memory, so the resident size grows")
def test_runs_do_not_leak():
    # A 16-qubit state is 512 KiB: 2000 leaked states would be 1 GiB.
    circuit = Circuit([Gate.h(0), Gate.x(15), Gate.measure(7)])
    for _ in range(50):
        circuit.run(16)
    before = rss_bytes()
    for _ in range(2000):
        circuit.run(16)
    for _ in range(100):
        circuit.run_with_measurements(16)
        circuit.sample(16, 10)
    gc.collect()
    assert rss_bytes() - before < 64 * 1024 * 1024

"""CompiledCircuit.sample: draws from a compiled plan, seeded or not."""

import ast
import threading

import numpy as np
import pytest

import vantrel as vt
from compiled_helpers import outputs_at_pool_sizes


def measured_plan():
    """H(0), H(1), CX(0, 2), a measurement of qubit 1, then H CZ H on qubit 3."""
    spec = vt.CircuitSpec(4)
    for g in (vt.Gate.h(0), vt.Gate.h(1), vt.Gate.cx(0, 2), vt.Gate.measure(1), vt.Gate.h(3),
              vt.Gate.cz(3, 0), vt.Gate.h(3)):
        spec.gate(g)
    return spec.compile()


def test_seeded_samples_are_pinned_by_the_seed():
    # The seed fixes the generator's key (documented derivation), so these are
    # the samples on any machine: the measurement step draws first, the
    # samples after it.
    plan = measured_plan()
    assert plan.sample([], 24, seed=2024) == [
        2, 2, 2, 2, 2, 2, 2, 15, 15, 2, 15, 2, 15, 2, 15, 2, 15, 2, 15, 15, 15, 2, 15, 15]
    assert plan.sample([], 12, 0) == [13, 0, 13, 0, 13, 0, 13, 13, 13, 13, 13, 0]
    assert plan.sample(params=[], shots=5, seed=2**64 - 1) == [15, 15, 15, 2, 2]
    # Measurement outcomes in the plan follow the seed as well: qubit 1 is
    # measured once per call, so every sample of a call agrees on it, and
    # both outcomes occur over seeds.
    outcomes = set()
    for seed in range(40):
        samples = plan.sample([], 16, seed)
        assert len({s >> 1 & 1 for s in samples}) == 1
        assert plan.sample([], 16, seed) == samples
        outcomes.add(samples[0] >> 1 & 1)
    assert outcomes == {0, 1}


def test_samples_follow_the_final_state():
    spec = vt.CircuitSpec(3)
    t = spec.param("t")
    spec.h(0)
    spec.rzz(0, 2, t, scale=0.5)
    spec.ry(2, t)
    spec.cx(2, 1)
    plan = spec.compile()
    params = np.float32([1.3])
    probs = np.abs(plan.statevector(params).astype(np.complex128)) ** 2
    for seed in (None, 17):
        samples = plan.sample(params, 20000, seed)
        assert isinstance(samples, list) and all(type(s) is int for s in samples)
        counts = np.bincount(samples, minlength=8)
        assert np.all(counts[probs < 1e-12] == 0)
        # Five standard deviations of a binomial count.
        np.testing.assert_allclose(counts / 20000, probs, atol=5 * np.sqrt(0.25 / 20000))
    assert plan.sample(params, 0, 3) == []
    basis = vt.CircuitSpec(2)
    basis.x(1)
    assert basis.compile().sample([], 5) == [2] * 5


def test_sample_arguments():
    plan = measured_plan()
    assert vt.CompiledCircuit.sample.__text_signature__ == "($self, params, shots, seed=None)"
    assert len(plan.sample([], 3, None)) == 3
    with pytest.raises(OverflowError):
        plan.sample([], 3, -1)
    with pytest.raises(OverflowError):
        plan.sample([], 3, 2**64)
    with pytest.raises(TypeError, match="^argument 'seed': "):
        plan.sample([], 3, 1.0)
    with pytest.raises(TypeError, match="^argument 'seed': "):
        plan.sample([], 3, "7")
    with pytest.raises(OverflowError):
        plan.sample([], -3)
    with pytest.raises(ValueError, match=r"^parameter vector has length 1, expected 0$"):
        plan.sample([0.5], 3, 1)
    with pytest.raises(TypeError, match="^params must be convertible to a 1D numpy float32 array$"):
        plan.sample([[0.5]], 3, 1)
    with pytest.raises(MemoryError, match=r"^cannot allocate a state vector of 64 qubits \(128 EiB\)$"):
        vt.CircuitSpec(64).compile().sample([], 1, 1)


def test_states_without_a_distribution_and_none_params_are_ordinary_errors():
    # NaN or overflowing angles leave no distribution to draw from, on every
    # route that draws: a plan's measurement step or its samples, a one-off
    # circuit's measurement, reset or samples.
    spec = vt.CircuitSpec(2)
    theta = spec.param()
    spec.rx(1, theta)
    spec.gate(vt.Gate.measure(0))
    plan = spec.compile()
    nan, inf = float("nan"), float("inf")
    calls = [lambda: plan.sample([nan], 3), lambda: plan.sample([inf], 3, 1),
             lambda: vt.Circuit([vt.Gate.rx(1, nan)]).sample(2, 3)]
    for gates in ([vt.Gate.rx(1, nan), vt.Gate.measure(0)], [vt.Gate.u(0, inf, 0, 0), vt.Gate.reset(1)]):
        calls += [lambda g=gates: vt.Circuit(g).sample(2, 3),
                  lambda g=gates: vt.Circuit(g).run_with_measurements(2)]
    for call in calls:
        with pytest.raises(ValueError, match="^probabilities are not finite$"):
            call()
    # None is not a parameter vector (NumPy would read it as [nan]).
    z = vt.Observable.pauli_z(0)
    for call in (lambda: plan.sample(None, 3), lambda: plan.statevector(None),
                 lambda: plan.expectation(None, z), lambda: plan.execution_context().gradient(plan, None, z)):
        with pytest.raises(TypeError, match="^params must be convertible to a 1D numpy float32 array$"):
            call()


def test_threads_sampling_one_plan_with_one_seed_agree():
    plan = measured_plan()
    expected = plan.sample([], 500, 99)
    results = []

    def work():
        results.append([plan.sample([], 500, 99) for _ in range(5)])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(run == expected for runs in results for run in runs)


SAMPLE_IN_A_POOL = """
import sys
import vantrel as vt

vt.set_num_threads(int(sys.argv[1]))
# 17 qubits: every gate's pass is cut into pieces on pools of two or more.
spec = vt.CircuitSpec(17)
t = spec.param()
for q in range(17):
    spec.h(q)
spec.rzz(0, 16, t, scale=2.0)
spec.rxx(3, 9, t)
spec.gate(vt.Gate.measure(5))
spec.pauli_rotation([("Y", 16), ("X", 1), ("Z", 8)], t, -0.75)
spec.ry(12, t)
spec.cx(12, 0)
print(spec.compile().sample([0.9], 2000, seed=12345))
"""


def test_seeded_samples_do_not_depend_on_the_pool_size_or_the_process():
    outputs = set(outputs_at_pool_sizes(SAMPLE_IN_A_POOL))
    assert len(outputs) == 1
    samples = ast.literal_eval(outputs.pop())
    assert len(samples) == 2000 and len(set(samples)) > 100

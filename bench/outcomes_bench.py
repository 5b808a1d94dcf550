"""What the outcome methods cost, against the work they stand for.

Run: python3 bench/outcomes_bench.py [num_qubits ...]   (default: 12 20)

- expectations(params, K observables) against one run of the plan plus K
  expectation sweeps, where one sweep is what expectation() of that
  observable costs beyond a run (statevector()); and against K separate
  expectation() calls. The bound the method keeps is a ratio of at most about 1.
- ExecutionContext.probabilities (every qubit, half of them, one) beyond the
  run, in passes over the state: one pass is a NumPy copy of the 2**n
  amplitudes, and the run is ExecutionContext.statevector less that copy.

Each figure is the median of several repetitions in this process
(bench/harness.py); the run
is timed again next to every measurement it is compared with, so that a
machine whose load changes during the benchmark moves both alike.
"""

import sys

import numpy as np

import vantrel as vt
from harness import median_time


def plan(n):
    spec = vt.CircuitSpec(n)
    params = [spec.param() for _ in range(2 * n)]
    for layer in range(2):
        for q in range(n):
            spec.ry(q, params[layer * n + q])
        for q in range(n - 1):
            spec.cx(q, q + 1)
    return spec.compile()


def observables(n, k):
    """K one-term observables of mixed kinds: ZZ, X, YY."""
    out = []
    for i in range(k):
        a, b = i % n, (i + 1) % n
        kind = i % 3
        if kind == 0:
            out.append(vt.Observable.pauli_string([("Z", a), ("Z", b)], 0.5))
        elif kind == 1:
            out.append(vt.Observable.pauli_x(a, -0.25))
        else:
            out.append(vt.Observable.pauli_string([("Y", a), ("Y", b)], 0.75))
    return out


def bench(n):
    circuit = plan(n)
    theta = np.random.default_rng(1).uniform(-3, 3, circuit.parameter_count).astype(np.float32)
    number = 50 if n <= 14 else 1
    t_run = median_time(lambda: circuit.statevector(theta), repeat=7, number=number)
    print(f"== {n} qubits, {circuit.parameter_count} "
          f"parameters; one run (statevector) {t_run * 1e3:.3f} ms ==")
    def run():
        return median_time(lambda: circuit.statevector(theta), repeat=7, number=number)

    for k in (1, 8, 64):
        obs = observables(n, k)
        sweeps = 0.0
        singles = []
        for o in obs:
            before = run()
            singles.append(median_time(lambda o=o: circuit.expectation(theta, o), repeat=7, number=number))
            sweeps += max(singles[-1] - (before + run()) / 2, 0.0)
        before = run()
        t_many = median_time(lambda: circuit.expectations(theta, obs), repeat=7, number=number)
        t_run = (before + run()) / 2
        print(f"K = {k:2d}: expectations {t_many * 1e3:9.3f} ms; one run + K sweeps "
              f"{(t_run + sweeps) * 1e3:9.3f} ms (ratio {t_many / (t_run + sweeps):.2f}); "
              f"K expectation calls {sum(singles) * 1e3:9.3f} ms (x{sum(singles) / t_many:.1f})")
    # Probabilities through a context, which reuses its state: the run is
    # what ExecutionContext.statevector costs less its copy of the state.
    context = circuit.execution_context()
    state = circuit.statevector(theta)
    copy = np.empty_like(state)
    t_pass = median_time(lambda: np.copyto(copy, state), repeat=7, number=number)

    def context_run():
        return median_time(lambda: context.statevector(circuit, theta), repeat=7, number=number) - t_pass

    for label, qubits in (("every qubit", None), ("half the qubits", list(range(0, n, 2))),
                          ("one qubit", [n // 2])):
        before = context_run()
        t_prob = median_time(lambda: context.probabilities(circuit, theta, qubits), repeat=7, number=number)
        t_run = (before + context_run()) / 2
        print(f"probabilities, {label}: {t_prob * 1e3:.3f} ms, {(t_prob - t_run) / t_pass:.2f} "
              f"passes beyond the run (one pass, a copy of the state: {t_pass * 1e3:.3f} ms)")


if __name__ == "__main__":
    for n in [int(a) for a in sys.argv[1:]] or [12, 20]:
        bench(n)

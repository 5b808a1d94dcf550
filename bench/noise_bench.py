"""vantrel's noisy simulation against the simulators users would otherwise
pick for noise: sampling a noisy layered circuit by trajectories, and a noisy
expectation value.

Run: python3 bench/noise_bench.py --peer-python /path/to/venv/bin/python ...
                                  [--cases sample:16:1000 sample:20:100 expect:12:1000]
                                  [--threads 1 2] [--layers 4]

Circuit: d layers of RY on every qubit and a CX chain (angles from a seeded
generator), depolarizing noise with p = 0.01 on every qubit a gate touched,
after every gate (vantrel's depolarizing: X, Y, Z each with p/3; Qiskit
Aer's depolarizing_error with lambda = 4p/3 is the same channel; PennyLane's
DepolarizingChannel(p) is the same).
Cases:
  sample:n:shots   shots samples, one trajectory per shot (vantrel:
                   Circuit.sample; Aer: statevector method with a noise model);
  expect:n:T       <Z_0> of the noisy state (vantrel: noisy_expectation over T
                   trajectories; Aer: T trajectories with a per-shot
                   expectation value; PennyLane default.mixed: the exact
                   density matrix, one evaluation, where it fits in memory).
Each (library, case, thread count) is timed in its own process (vantrel's
pool size is fixed per process by RAYON_NUM_THREADS; the peers read
OMP_NUM_THREADS or an option). Figures are medians of repeated calls; the
ratios (peer / vantrel, above 1 vantrel is faster; vantrel 1 thread / 2
threads) come from this one run.
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402

CHILD = r'''
import json, math, sys
sys.path.insert(0, {here!r})
from harness import median_time
lib, kind, n, count, layers, threads = {args!r}
import numpy as np
P = 0.01
rng = np.random.default_rng(7)
ops = []  # (name, qubits, angle)
for _ in range(layers):
    ops += [("ry", (q,), float(a)) for q, a in enumerate(rng.uniform(-math.pi, math.pi, n))]
    ops += [("cx", (q, q + 1), None) for q in range(n - 1)]

if lib == "vantrel":
    import vantrel as vt
    gates = []
    for k, q, a in ops:
        gates.append(vt.Gate.ry(q[0], a) if k == "ry" else vt.Gate.cx(*q))
        gates += [vt.Gate.depolarizing(t, P) for t in q]
    if kind == "sample":
        c = vt.Circuit(gates)
        call = lambda: c.sample(n, count, seed=1)
    else:
        spec = vt.CircuitSpec(n)
        for g in gates:
            spec.gate(g)
        plan = spec.compile()
        z0 = vt.Observable.pauli_z(0)
        call = lambda: plan.noisy_expectation([], z0, count, seed=1)
elif lib == "aer":
    from qiskit import QuantumCircuit
    from qiskit_aer import AerSimulator
    from qiskit_aer.noise import NoiseModel, depolarizing_error
    from qiskit.quantum_info import SparsePauliOp
    noise = NoiseModel()
    noise.add_all_qubit_quantum_error(depolarizing_error(4 * P / 3, 1), ["ry"])
    one = depolarizing_error(4 * P / 3, 1)
    noise.add_all_qubit_quantum_error(one.tensor(one), ["cx"])
    qc = QuantumCircuit(n)
    for k, q, a in ops:
        qc.ry(a, q[0]) if k == "ry" else qc.cx(*q)
    sim = AerSimulator(method="statevector", max_parallel_threads=threads, noise_model=noise)
    if kind == "sample":
        qc.measure_all()
    else:
        qc.save_expectation_value(SparsePauliOp("Z"), [0], pershot=True)
    from qiskit import transpile
    qc = transpile(qc, sim, optimization_level=0)
    call = lambda: sim.run(qc, shots=count, seed_simulator=1).result()
elif lib == "default.mixed":
    if kind != "expect" or n > 12:
        raise SystemExit(3)
    import pennylane as qml
    dev = qml.device("default.mixed", wires=n)
    @qml.qnode(dev)
    def circuit():
        for k, q, a in ops:
            qml.RY(a, wires=q[0]) if k == "ry" else qml.CNOT(wires=list(q))
            for t in q:
                qml.DepolarizingChannel(P, wires=t)
        return qml.expval(qml.PauliZ(0))
    call = circuit
else:
    raise SystemExit(2)
# The density-matrix peer takes minutes per evaluation at 12 qubits: one.
slow = lib == "default.mixed"
t = median_time(call, repeat=1 if slow else 3, number=1, warm_up=not slow)
print(json.dumps(t))
'''

def time_in_child(python, lib, kind, n, count, layers, threads):
    return harness.time_in_child(python, CHILD.format(here=HERE, args=(lib, kind, n, count, layers, threads)), threads)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--peer-python", action="append", default=[],
                    help="an interpreter with peers installed (repeatable)")
    ap.add_argument("--cases", nargs="+", default=["sample:16:1000", "sample:20:100", "expect:12:1000"])
    ap.add_argument("--threads", nargs="+", type=int, default=[1, 2])
    ap.add_argument("--layers", type=int, default=4)
    ap.add_argument("--peers", nargs="+", default=["aer", "default.mixed"])
    a = ap.parse_args()
    pythons = a.peer_python or [sys.executable]
    print("ratio = peer time / vantrel time (above 1: vantrel faster)")
    for case in a.cases:
        kind, n, count = case.split(":")
        n, count = int(n), int(count)
        base_1 = None
        for th in a.threads:
            base, err = time_in_child(sys.executable, "vantrel", kind, n, count, a.layers, th)
            if base is None:
                print(f"{case:16} threads={th}: vantrel failed: {err}")
                continue
            row = [f"{case:16} d={a.layers} threads={th}: vantrel {base * 1e3:10.2f} ms"]
            if base_1 is None:
                base_1 = base
            else:
                row.append(f"1 thread / this {base_1 / base:5.2f}x")
            for peer in a.peers:
                for py in pythons:
                    t, err = time_in_child(py, peer, kind, n, count, a.layers, th)
                    if t is not None:
                        row.append(f"{peer} {t * 1e3:10.2f} ms ({t / base:6.2f}x)")
                        break
            print(" | ".join(row), flush=True)


if __name__ == "__main__":
    main()

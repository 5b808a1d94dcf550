"""vantrel against the state-vector simulators users would otherwise pick,
on whole circuits: the final state of a layered circuit, one call at a time.

Run: python3 bench/peers.py [--peer-python PATH ...] [--sizes 12:10 20:10 24:4]
                            [--circuits ry-cx rzrx-cz] [--threads 1 2]
                            [--precision single|double]

Circuits (d layers on n qubits, angles fixed from a seeded generator):
  ry-cx    RY on every qubit, then a CX chain;
  rzrx-cz  RZ then RX on every qubit, then a CZ chain.
Each (library, size, thread count) is timed in its own process: vantrel's
pool size is fixed per process (RAYON_NUM_THREADS), the peers read
OMP_NUM_THREADS or an option. The figure is the median time of one call that
returns the final state (vantrel: Circuit.run; the peers: their own
state-vector call on a circuit built once), and the ratios (peer / vantrel,
above 1 vantrel is faster) are formed from figures of this one run.

Peers run under each --peer-python interpreter that has them installed
(separate virtual environments; none is a dependency of vantrel): qulacs,
qsimcirq, Qiskit Aer, PennyLane Lightning. A peer that is not importable
there is skipped. Precision: vantrel computes in the precision asked for;
each peer in its own double precision, or single where it offers it
(qsim is single only and is listed only for single).
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402

CHILD = r'''
import json, math, os, sys, time
sys.path.insert(0, {here!r})
from harness import median_time
lib, circ, n, layers, threads, precision = {args!r}
import numpy as np
rng = np.random.default_rng(7)
ops = []  # (name, qubits, angle)
for _ in range(layers):
    if circ == "ry-cx":
        ops += [("ry", (q,), float(a)) for q, a in enumerate(rng.uniform(-math.pi, math.pi, n))]
        ops += [("cx", (q, q + 1), None) for q in range(n - 1)]
    else:
        ops += [("rz", (q,), float(a)) for q, a in enumerate(rng.uniform(-math.pi, math.pi, n))]
        ops += [("rx", (q,), float(a)) for q, a in enumerate(rng.uniform(-math.pi, math.pi, n))]
        ops += [("cz", (q, q + 1), None) for q in range(n - 1)]
double = precision == "double"

if lib == "vantrel":
    import vantrel
    g = {{"ry": vantrel.Gate.ry, "rz": vantrel.Gate.rz, "rx": vantrel.Gate.rx,
         "cx": vantrel.Gate.cx, "cz": vantrel.Gate.cz}}
    c = vantrel.Circuit([g[k](*q, a) if a is not None else g[k](*q) for k, q, a in ops])
    kw = {{"precision": precision}} if double else {{}}
    call = lambda: c.run(n, **kw)
elif lib == "qulacs":
    import qulacs
    from qulacs.gate import RY, RZ, RX, CNOT, CZ
    # qulacs rotations use the opposite sign convention; the cost is the same.
    mk = {{"ry": RY, "rz": RZ, "rx": RX, "cx": CNOT, "cz": CZ}}
    qc = qulacs.QuantumCircuit(n)
    for k, q, a in ops:
        qc.add_gate(mk[k](*q, a) if a is not None else mk[k](*q))
    def call():
        s = qulacs.QuantumState(n)
        qc.update_quantum_state(s)
        return s
elif lib == "qsim":
    if double:
        raise SystemExit(3)
    import cirq, qsimcirq
    qs = cirq.LineQubit.range(n)
    mk = {{"ry": lambda q, a: cirq.ry(a)(qs[q]), "rz": lambda q, a: cirq.rz(a)(qs[q]),
          "rx": lambda q, a: cirq.rx(a)(qs[q]), "cx": lambda a, b: cirq.CNOT(qs[a], qs[b]),
          "cz": lambda a, b: cirq.CZ(qs[a], qs[b])}}
    cc = cirq.Circuit([mk[k](*q, a) if a is not None else mk[k](*q) for k, q, a in ops])
    sim = qsimcirq.QSimSimulator(qsimcirq.QSimOptions(cpu_threads=threads))
    call = lambda: sim.simulate(cc)
elif lib == "aer":
    from qiskit import QuantumCircuit
    from qiskit_aer import AerSimulator
    qc = QuantumCircuit(n)
    for k, q, a in ops:
        getattr(qc, k)(*( (a,) + q if a is not None else q))
    qc.save_statevector()
    sim = AerSimulator(method="statevector", precision=precision, max_parallel_threads=threads,
                       fusion_enable=True)
    call = lambda: sim.run(qc).result()
elif lib == "lightning":
    from pennylane_lightning.lightning_qubit_ops import StateVectorC128, StateVectorC64
    SV = StateVectorC128 if double else StateVectorC64
    from pennylane_lightning.lightning_qubit._state_vector import LightningStateVector
    import pennylane as qml
    name = {{"ry": "RY", "rz": "RZ", "rx": "RX", "cx": "CNOT", "cz": "CZ"}}
    tape_ops = [getattr(qml, name[k])(a, wires=list(q)) if a is not None else getattr(qml, name[k])(wires=list(q))
                for k, q, a in ops]
    dtype = np.complex128 if double else np.complex64
    def call():
        sv = LightningStateVector(n, dtype=dtype)
        sv.apply_operations(tape_ops)
        return sv.state
else:
    raise SystemExit(2)
t = median_time(call, repeat=7 if n <= 20 else 3, number=max(1, int(2 ** max(0, 14 - n))), warm_up=True)
print(json.dumps(t))
'''

def time_in_child(python, lib, circ, n, layers, threads, precision):
    return harness.time_in_child(python, CHILD.format(here=HERE, args=(lib, circ, n, layers, threads, precision)), threads)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--peer-python", action="append", default=[],
                    help="an interpreter with peers installed (repeatable)")
    ap.add_argument("--sizes", nargs="+", default=["12:10", "16:10", "20:10", "24:4"],
                    help="qubits:layers")
    ap.add_argument("--circuits", nargs="+", default=["ry-cx", "rzrx-cz"])
    ap.add_argument("--threads", nargs="+", type=int, default=[1, 2])
    ap.add_argument("--precision", choices=["single", "double"], default="single")
    ap.add_argument("--peers", nargs="+", default=["qulacs", "qsim", "aer", "lightning"])
    a = ap.parse_args()
    pythons = a.peer_python or [sys.executable]
    print("precision:", a.precision, "| ratio = peer time / vantrel time (above 1: vantrel faster)")
    for circ in a.circuits:
        for size in a.sizes:
            n, layers = (int(x) for x in size.split(":"))
            for th in a.threads:
                base, err = time_in_child(sys.executable, "vantrel", circ, n, layers, th, a.precision)
                if base is None:
                    print(f"{circ:8} n={n:2} d={layers:2} threads={th}: vantrel failed: {err}")
                    continue
                row = [f"{circ:8} n={n:2} d={layers:2} threads={th}: vantrel {base * 1e3:9.3f} ms"]
                for peer in a.peers:
                    for py in pythons:
                        t, err = time_in_child(py, peer, circ, n, layers, th, a.precision)
                        if t is not None:
                            row.append(f"{peer} {t * 1e3:9.3f} ms ({t / base:5.2f}x)")
                            break
                print(" | ".join(row), flush=True)


if __name__ == "__main__":
    main()

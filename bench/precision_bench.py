"""Double precision: its cost against single precision, and vantrel in double
against the double-precision simulators users would otherwise pick.

Run: python3 bench/precision_bench.py [ratio] [peers] [--lightning-python PATH]
                                      [--aer-python PATH] [--quick]

ratio: the layered ansatz (RY on every qubit, then a CX chain; 4 layers) at 20
and 24 qubits, statevector and adjoint_value_and_gradient of a 2n-1 term
Hamiltonian (ZZ on neighbours, X on every qubit), single and double timed in
the same process; the figure is double / single (at most 2.2 is the target).

peers: vantrel in double against PennyLane Lightning (lightning.qubit,
complex128, through its device API on tapes built and preprocessed once) and
Qiskit Aer (AerSimulator and EstimatorV2, double), on the same ansatz:
  state       final state, 20, 22, 24 qubits;
  gradient    value and gradient, 12, 16, 20 qubits: vantrel's and Lightning's
              adjoint method; Aer has none, so its figure is the shift rule's
              2P + 1 parameter rows in one EstimatorV2 call;
  batch       256 parameter rows at 12 qubits, one value each;
  per call    one expectation value of Z0 at 4 qubits, one call at a time.
The ratio is peer / vantrel (above 1 vantrel is faster).

Every (library, thread count) runs in its own process (vantrel's pool size
is fixed per process: RAYON_NUM_THREADS; the peers read OMP_NUM_THREADS or an
option); each figure is the median of several timings (bench/harness.py) and
the ratios come from figures of this one run. The peers run under their own
interpreters (virtual environments with pennylane-lightning, or qiskit and
qiskit-aer; none is a dependency of vantrel); a peer that is not importable
there is skipped.
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

LAYERS = 4


def angles(n, rows=None):
    import numpy as np

    rng = np.random.default_rng(n)
    shape = (LAYERS * n,) if rows is None else (rows, LAYERS * n)
    return rng.uniform(-np.pi, np.pi, shape)


def cases(quick):
    state = [12, 16] if quick else [20, 22, 24]
    gradient = [8, 12] if quick else [12, 16, 20]
    return ([("state", n) for n in state] + [("gradient", n) for n in gradient]
            + [("batch", 12), ("per call", 4)])


def repeats(n):
    return 7 if n <= 16 else 3


# --- vantrel --------------------------------------------------------------

def vantrel_plan(vt, n, precision):
    spec = vt.CircuitSpec(n)
    slots = iter([spec.param() for _ in range(LAYERS * n)])
    for _ in range(LAYERS):
        for q in range(n):
            spec.ry(q, next(slots))
        for q in range(n - 1):
            spec.cx(q, q + 1)
    return spec.compile(precision=precision)


def vantrel_hamiltonian(vt, n):
    terms = [vt.Observable.pauli_string([("Z", q), ("Z", q + 1)]) for q in range(n - 1)]
    return vt.Observable.hamiltonian(terms + [vt.Observable.pauli_x(q, 0.5) for q in range(n)])


def child_ratio(sizes):
    import vantrel as vt
    from harness import median_time

    out = {}
    for n in sizes:
        h = vantrel_hamiltonian(vt, n)
        x = angles(n)
        for precision in ("single", "double"):
            plan = vantrel_plan(vt, n, precision)
            ctx = plan.execution_context()
            out[f"state {n} {precision}"] = median_time(lambda: plan.statevector(x), repeats(n),
                                                        warm_up=True)
            out[f"gradient {n} {precision}"] = median_time(
                lambda: ctx.adjoint_value_and_gradient(plan, x, h), repeats(n), warm_up=True)
            del ctx, plan
    return out


def child_vantrel(todo):
    import vantrel as vt
    from harness import median_time

    out = {}
    for kind, n in todo:
        plan = vantrel_plan(vt, n, "double")
        ctx = plan.execution_context()
        h = vantrel_hamiltonian(vt, n)
        if kind == "state":
            x = angles(n)
            call = lambda: plan.statevector(x)  # noqa: E731
        elif kind == "gradient":
            x = angles(n)
            call = lambda: ctx.adjoint_value_and_gradient(plan, x, h)  # noqa: E731
        elif kind == "batch":
            rows = angles(n, 256)
            call = lambda: plan.batch_expectation(rows, h)  # noqa: E731
        else:
            x, z = angles(n), vt.Observable.pauli_z(0)
            call = lambda: ctx.expectation(plan, x, z)  # noqa: E731
        number = 2000 if kind == "per call" else 1
        out[f"{kind} {n}"] = median_time(call, repeats(n), number, warm_up=True)
    return out


# --- PennyLane Lightning ---------------------------------------------------

def child_lightning(todo):
    import numpy as np
    import pennylane as qml
    from harness import median_time
    from pennylane.devices import ExecutionConfig

    out = {}
    for kind, n in todo:
        dev = qml.device("lightning.qubit", wires=n, c_dtype=np.complex128)
        h = qml.sum(*[qml.Z(q) @ qml.Z(q + 1) for q in range(n - 1)],
                    *[0.5 * qml.X(q) for q in range(n)])

        def tape(x, measurement):
            ops = []
            for layer in range(LAYERS):
                ops += [qml.RY(x[layer * n + q], wires=q) for q in range(n)]
                ops += [qml.CNOT(wires=[q, q + 1]) for q in range(n - 1)]
            return qml.tape.QuantumScript(ops, [measurement], trainable_params=list(range(LAYERS * n)))

        method = "adjoint" if kind == "gradient" else None
        config = dev.setup_execution_config(ExecutionConfig(gradient_method=method))
        program = dev.preprocess_transforms(config)
        if kind == "state":
            tapes, _ = program((tape(angles(n), qml.state()),))
            call = lambda: dev.execute(tapes, config)  # noqa: E731
        elif kind == "gradient":
            tapes, _ = program((tape(angles(n), qml.expval(h)),))
            call = lambda: dev.execute_and_compute_derivatives(tapes, config)  # noqa: E731
        elif kind == "batch":
            tapes, _ = program(tuple(tape(row, qml.expval(h)) for row in angles(n, 256)))
            call = lambda: dev.execute(tapes, config)  # noqa: E731
        else:
            tapes, _ = program((tape(angles(n), qml.expval(qml.Z(0))),))
            call = lambda: dev.execute(tapes, config)  # noqa: E731
        number = 200 if kind == "per call" else 1
        out[f"{kind} {n}"] = median_time(call, repeats(n), number, warm_up=True)
    return out


# --- Qiskit Aer ------------------------------------------------------------

def child_aer(todo, threads):
    from harness import median_time
    from qiskit import QuantumCircuit
    from qiskit.circuit import ParameterVector
    from qiskit.quantum_info import SparsePauliOp
    from qiskit_aer import AerSimulator
    from qiskit_aer.primitives import EstimatorV2

    options = {"max_parallel_threads": threads, "precision": "double"}
    estimator = EstimatorV2(options={"backend_options": options})
    out = {}
    for kind, n in todo:
        theta = ParameterVector("t", LAYERS * n)
        qc = QuantumCircuit(n)
        for layer in range(LAYERS):
            for q in range(n):
                qc.ry(theta[layer * n + q], q)
            for q in range(n - 1):
                qc.cx(q, q + 1)
        # Qiskit's labels put qubit 0 last.
        h = SparsePauliOp.from_sparse_list(
            [("ZZ", [q, q + 1], 1.0) for q in range(n - 1)] + [("X", [q], 0.5) for q in range(n)], n)
        if kind == "state":
            simulator = AerSimulator(method="statevector", **options)
            bound = qc.assign_parameters(angles(n))
            bound.save_statevector()
            call = lambda: simulator.run(bound).result().get_statevector()  # noqa: E731
        elif kind == "gradient":
            import numpy as np

            x = angles(n)
            shifts = np.pi / 2 * np.eye(len(x))
            rows = np.vstack([x, x + shifts, x - shifts])
            call = lambda: estimator.run([(qc, h, rows)]).result()[0].data.evs  # noqa: E731
        elif kind == "batch":
            rows = angles(n, 256)
            call = lambda: estimator.run([(qc, h, rows)]).result()[0].data.evs  # noqa: E731
        else:
            z = SparsePauliOp.from_sparse_list([("Z", [0], 1.0)], n)
            x = angles(n)
            call = lambda: estimator.run([(qc, z, x)]).result()[0].data.evs  # noqa: E731
        number = 20 if kind == "per call" else 1
        out[f"{kind} {n}"] = median_time(call, repeats(n), number, warm_up=True)
    return out


# --- driver ----------------------------------------------------------------

def run_child(python, args, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    result = subprocess.run([python, os.path.abspath(__file__), "--child", *args], env=env,
                            capture_output=True, text=True, check=False)
    if result.returncode != 0:
        if "ModuleNotFoundError" in result.stderr:
            return None
        sys.stderr.write(result.stderr)
        raise SystemExit(f"child {args} failed")
    return json.loads(result.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("sections", nargs="*", help="ratio, peers (default: both)")
    parser.add_argument("--lightning-python", default=sys.executable)
    parser.add_argument("--aer-python", default=sys.executable)
    parser.add_argument("--quick", action="store_true", help="smaller registers")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        library, threads, todo = args.child[0], int(args.child[1]), json.loads(args.child[2])
        if library == "ratio":
            result = child_ratio(todo)
        else:
            todo = [tuple(t) for t in todo]
            result = {"vantrel": child_vantrel, "lightning": child_lightning,
                      "aer": lambda t: child_aer(t, threads)}[library](todo)
        print(json.dumps(result))
        return
    sections = args.sections or ["ratio", "peers"]
    if not set(sections) <= {"ratio", "peers"}:
        parser.error(f"unknown sections: {sorted(set(sections) - {'ratio', 'peers'})}")

    if "ratio" in sections:
        sizes = [12, 16] if args.quick else [20, 24]
        print("== double / single, layered ansatz (4 layers), same process ==")
        print(f"{'qubits':>6} {'threads':>7} {'what':>9} {'single ms':>10} {'double ms':>10} {'ratio':>6}")
        for threads in (1, 2):
            t = run_child(sys.executable, ["ratio", str(threads), json.dumps(sizes)], threads)
            for n in sizes:
                for what in ("state", "gradient"):
                    s, d = t[f"{what} {n} single"], t[f"{what} {n} double"]
                    print(f"{n:6d} {threads:7d} {what:>9} {s * 1e3:10.2f} {d * 1e3:10.2f} {d / s:6.2f}",
                          flush=True)

    if "peers" in sections:
        todo = json.dumps(cases(args.quick))
        print("== vantrel in double against peers in double (ratio = peer / vantrel) ==")
        print(f"{'case':>14} {'threads':>7} {'vantrel ms':>11} {'lightning ms':>13} {'ratio':>6}"
              f" {'aer ms':>10} {'ratio':>6}")
        for threads in (1, 2):
            v = run_child(sys.executable, ["vantrel", str(threads), todo], threads)
            light = run_child(args.lightning_python, ["lightning", str(threads), todo], threads)
            aer = run_child(args.aer_python, ["aer", str(threads), todo], threads)
            for key, ours in v.items():
                cells = []
                for peer in (light, aer):
                    if peer is None:
                        cells.append(f"{'-':>13} {'-':>6}")
                    else:
                        cells.append(f"{peer[key] * 1e3:13.3f} {peer[key] / ours:6.2f}")
                print(f"{key:>14} {threads:7d} {ours * 1e3:11.3f} {cells[0]} {cells[1]}", flush=True)


if __name__ == "__main__":
    main()

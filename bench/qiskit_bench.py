"""vantrel_qiskit's V2 primitives against the Qiskit-native simulator's
(qiskit-aer's EstimatorV2 and SamplerV2) on the same circuits, each library
in its own process, on 1 and 2 threads; the ratios come from one run.

Cases: a layered ansatz (Qiskit's n_local: RY and RZ on every qubit, a CX
chain, twice, and a last RY, RZ layer) at 12, 16 and 20 qubits, one PUB of
256 parameter rows against a 2n-term Hamiltonian (ZZ on neighbours around a
ring, X on every qubit); and 10^5 shots of the bound 20-qubit ansatz, every
qubit measured.

    python3 bench/qiskit_bench.py --aer-python /path/to/venv/bin/python

The other Python needs qiskit and qiskit-aer (keep qiskit-aer out of the
project's environment); this one needs qiskit and vantrel (PYTHONPATH to a
build directory, or an installed wheel). --quick runs smaller cases; --only
TEXT the cases whose name contains TEXT (e.g. --only sampler). --precision
double runs vantrel's primitives in double precision, the peer's own.
"""

import argparse
import json
import os
import subprocess
import sys

from harness import median_time


def ansatz(n, layers):
    from qiskit.circuit.library import n_local

    return n_local(n, ["ry", "rz"], "cx", "linear", reps=layers)


def hamiltonian(n):
    from qiskit.quantum_info import SparsePauliOp

    terms = [("ZZ", [q, (q + 1) % n], 1.0) for q in range(n)] + [("X", [q], -0.5) for q in range(n)]
    return SparsePauliOp.from_sparse_list(terms, n)


def child(library, threads, cases, precision):
    import numpy as np

    if library == "vantrel":
        import vantrel
        import vantrel_qiskit

        vantrel.set_num_threads(threads)
        estimator = vantrel_qiskit.Estimator(precision=precision)
        sampler = vantrel_qiskit.Sampler(seed=1, precision=precision)
    else:
        from qiskit_aer.primitives import EstimatorV2, SamplerV2

        options = {"max_parallel_threads": threads}
        estimator = EstimatorV2(options={"backend_options": options})
        sampler = SamplerV2(seed=1, options={"backend_options": options})
    out = {}
    for case in cases:
        kind, n, layers, rows = case["kind"], case["n"], case["layers"], case["rows"]
        circuit = ansatz(n, layers)
        count = rows if kind == "estimate" else 1
        values = np.random.default_rng(n).uniform(-np.pi, np.pi, (count, circuit.num_parameters))
        if kind == "estimate":
            pub = (circuit, hamiltonian(n), values)
            seconds = median_time(lambda: estimator.run([pub]).result()[0].data.evs, case["repeats"],
                                  warm_up=case["repeats"] > 1)
        else:
            bound = circuit.assign_parameters(values[0])
            bound.measure_all()
            seconds = median_time(lambda: sampler.run([bound], shots=rows).result()[0].data.meas,
                                  case["repeats"], warm_up=True)
        out[case["name"]] = seconds
    print(json.dumps(out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--aer-python", default=sys.executable)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", help="run the cases whose name contains this text")
    parser.add_argument("--precision", choices=("single", "double"), default="single",
                        help="vantrel's precision (the peer computes in double)")
    parser.add_argument("--child", nargs=2, metavar=("LIBRARY", "THREADS"), help=argparse.SUPPRESS)
    parser.add_argument("--cases", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), json.loads(args.cases), args.precision)
        return
    layers = 2
    sizes = [8, 12] if args.quick else [12, 16, 20]
    cases = [{"kind": "estimate", "name": f"estimator {n} qubits, 256 rows, {2 * n} terms", "n": n,
              "layers": layers, "rows": 256, "repeats": 3 if n < 16 else 1} for n in sizes]
    shots = 10_000 if args.quick else 100_000
    n = sizes[-1]
    cases.append({"kind": "sample", "name": f"sampler {n} qubits, {shots} shots", "n": n, "layers": layers,
                  "rows": shots, "repeats": 3})
    if args.only:
        cases = [case for case in cases if args.only in case["name"]]
    here = os.path.abspath(__file__)
    print(f"vantrel in {args.precision} precision, aer in double")
    print(f"{'case':44} {'threads':>7} {'vantrel s':>10} {'aer s':>10} {'ratio':>7}", flush=True)
    for case in cases:
        for threads in (1, 2):
            times = {}
            for library, python in (("vantrel", sys.executable), ("aer", args.aer_python)):
                env = dict(os.environ, OMP_NUM_THREADS=str(threads), RAYON_NUM_THREADS=str(threads))
                command = [python, here, "--child", library, str(threads), "--cases", json.dumps([case]),
                           "--precision", args.precision]
                result = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
                if result.returncode != 0:
                    sys.exit(f"{library} on {threads} thread(s) failed:\n{result.stderr}")
                times[library] = json.loads(result.stdout.strip().splitlines()[-1])[case["name"]]
            ours, theirs = times["vantrel"], times["aer"]
            print(f"{case['name']:44} {threads:>7} {ours:>10.4f} {theirs:>10.4f} {theirs / ours:>6.2f}x",
                  flush=True)


if __name__ == "__main__":
    main()

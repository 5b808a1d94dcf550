"""Variational ground-state search written in PennyLane, run on vantrel.

The transverse-field Ising chain H = -sum Z_i Z_i+1 - h sum X_i on n qubits;
an ansatz of RY rotations and CNOT chains; a QNode on the device
"vantrel.qubit" differentiated by the adjoint method (one forward run and one
backward sweep per gradient, whatever the number of parameters), trained with
PennyLane's Adam optimizer. The device compiles the circuit once and re-uses
the plan at every step. Exits with status 1 when the energy found is not
within 1% of the exact ground energy.

Run: python examples/pennylane_vqe.py [--small] [--qubits N] [--layers L]
Needs PennyLane (pip install vantrel[pennylane]).
"""

import argparse
import sys
import time

import numpy as np
import pennylane as qml
from pennylane import numpy as pnp

from vantrel_pennylane import VantrelQubit


def ising_chain(n, field):
    coeffs = [-1.0] * (n - 1) + [-field] * n
    terms = [qml.Z(i) @ qml.Z(i + 1) for i in range(n - 1)] + [qml.X(i) for i in range(n)]
    return qml.Hamiltonian(coeffs, terms)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="4 qubits, a few seconds")
    parser.add_argument("--qubits", type=int, default=8)
    parser.add_argument("--layers", type=int, default=4)
    parser.add_argument("--steps", type=int, default=300)
    args = parser.parse_args()
    n, layers = (4, 3) if args.small else (args.qubits, args.layers)
    steps = 100 if args.small else args.steps
    field = 1.0

    hamiltonian = ising_chain(n, field)
    # Creating the device by name needs the installed package's entry point;
    # the class itself works from a build tree as well.
    dev = VantrelQubit(wires=n)

    @qml.qnode(dev, diff_method="adjoint")
    def energy(weights):
        for q in range(n):
            qml.Hadamard(wires=q)
        for layer in weights:
            for q in range(n):
                qml.RY(layer[q], wires=q)
            for q in range(n - 1):
                qml.CNOT(wires=[q, q + 1])
        return qml.expval(hamiltonian)

    rng = np.random.default_rng(1)
    weights = pnp.array(rng.normal(0.0, 0.1, (layers, n)), requires_grad=True)
    optimizer = qml.AdamOptimizer(stepsize=0.05)
    start = time.perf_counter()
    value = float(energy(weights))
    for step in range(steps):
        weights, value = optimizer.step_and_cost(energy, weights)
        if step % 50 == 0:
            print(f"step {step:4d}: energy {float(value):+.6f}")
    value = float(energy(weights))
    seconds = time.perf_counter() - start

    exact = float(np.linalg.eigvalsh(qml.matrix(hamiltonian, wire_order=range(n)))[0])
    error = abs(value - exact) / abs(exact)
    print(f"{n} qubits, {layers * n} parameters, {steps} Adam steps in {seconds:.2f} s "
          f"({dev.compile_count} plan compiled)")
    print(f"VQE energy {value:+.6f}, exact {exact:+.6f}, relative error {error:.2e}")
    if error > 0.01 or dev.compile_count != 1:
        print("FAILED: not within 1% of the exact ground energy, or the plan was recompiled")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

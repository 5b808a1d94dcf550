"""A Qiskit VQE loop on vantrel: the ground energy of a transverse-field Ising
chain, H = -sum Z_i Z_{i+1} - h sum X_i, with a Qiskit QuantumCircuit ansatz and
SparsePauliOp Hamiltonian evaluated by vantrel_qiskit.Estimator (Qiskit's
BaseEstimatorV2). Each optimizer step is one PUB: the point and its 2P
parameter-shift neighbours as 2P + 1 rows of one parameter array, which the
Estimator evaluates in one batch call. SciPy's L-BFGS-B then gets the energy
and its exact gradient. Exits with status 1 when the result is more than 1%
above the exact ground energy (NumPy's eigvalsh of the dense Hamiltonian).

    python examples/qiskit_estimator.py [--small]
"""

import argparse
import sys

import numpy as np
from qiskit import QuantumCircuit
from qiskit.circuit import ParameterVector
from qiskit.quantum_info import SparsePauliOp
from scipy.optimize import minimize

import vantrel_qiskit


def ising(n: int, h: float) -> SparsePauliOp:
    terms = [("ZZ", [q, q + 1], -1.0) for q in range(n - 1)] + [("X", [q], -h) for q in range(n)]
    return SparsePauliOp.from_sparse_list(terms, n)


def ansatz(n: int, layers: int) -> QuantumCircuit:
    theta = ParameterVector("theta", 2 * n * layers)
    circuit = QuantumCircuit(n)
    k = 0
    for _ in range(layers):
        for q in range(n):
            circuit.ry(theta[k], q)
            circuit.rz(theta[k + 1], q)
            k += 2
        for q in range(n - 1):
            circuit.cx(q, q + 1)
    return circuit


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--small", action="store_true", help="4 qubits instead of 8")
    args = parser.parse_args()
    n = 4 if args.small else 8
    hamiltonian = ising(n, h=0.7)
    circuit = ansatz(n, layers=3)
    estimator = vantrel_qiskit.Estimator()
    count = circuit.num_parameters
    # Every parameter drives exactly one rotation exp(-i theta P / 2), so the
    # parameter-shift rule is exact: dE/dtheta_k = (E(+pi/2 e_k) - E(-pi/2 e_k)) / 2.
    shifts = np.vstack([np.eye(count) * np.pi / 2, -np.eye(count) * np.pi / 2])
    calls = 0

    def energy_and_gradient(theta: np.ndarray) -> tuple[float, np.ndarray]:
        nonlocal calls
        calls += 1
        rows = np.vstack([theta, theta + shifts])
        evs = estimator.run([(circuit, hamiltonian, rows)]).result()[0].data.evs
        return float(evs[0]), (evs[1 : count + 1] - evs[count + 1 :]) / 2

    start = np.random.default_rng(1).uniform(-0.1, 0.1, count)
    result = minimize(energy_and_gradient, start, jac=True, method="L-BFGS-B", options={"maxiter": 300})
    exact = float(np.linalg.eigvalsh(hamiltonian.to_matrix())[0])
    print(f"{n} qubits, {count} parameters, {calls} estimator calls of {2 * count + 1} rows")
    print(f"VQE energy {result.fun:.6f}, exact ground energy {exact:.6f}")
    return 0 if result.fun - exact <= 0.01 * abs(exact) else 1


if __name__ == "__main__":
    sys.exit(main())

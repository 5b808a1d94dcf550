"""Variational ground state of a transverse-field Ising chain.

    H = -J * sum_i Z_i Z_{i+1} - h * sum_i X_i      (open chain of n qubits)

A layered RY/CX ansatz is declared once with CircuitSpec and compiled; SciPy's
L-BFGS-B then minimises <H> with the exact energy gradient that vantrel returns
with the value by adjoint differentiation (jac=True), evaluated through one ExecutionContext and one
ParamBuffer so that no call allocates a state or converts parameters. The
result is compared with the exact ground energy from dense diagonalisation.

    python examples/vqe.py                       # 8 qubits, single precision
    python examples/vqe.py --precision double    # the same in double precision
    python examples/vqe.py --small               # 4 qubits, as the test suite runs it

Single precision is fast and close enough for the energy, but its values and
gradients carry rounding noise around 1e-7 relative: L-BFGS-B's line search,
under SciPy's default tolerances, may then stop with ABNORMAL_TERMINATION_IN_LNSRCH
once the energy is almost converged. In double precision it ends with success.

Needs SciPy (pip install scipy).
"""

import argparse
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray
from scipy.optimize import minimize

import vantrel as vt

COUPLING = 1.0  # J
FIELD = 1.0  # h: the chain is critical at h = J, the hardest case for a shallow circuit


def ising_hamiltonian(n: int) -> vt.Observable:
    zz = [vt.Observable.pauli_string([("Z", i), ("Z", i + 1)], -COUPLING) for i in range(n - 1)]
    x = [vt.Observable.pauli_x(i, -FIELD) for i in range(n)]
    return vt.Observable.hamiltonian(zz + x)


def exact_ground_energy(n: int) -> float:
    """Smallest eigenvalue of the same H as a dense 2^n x 2^n matrix."""
    pauli_x = np.array([[0.0, 1.0], [1.0, 0.0]])
    pauli_z = np.diag([1.0, -1.0])

    def on(ops: dict[int, NDArray[np.float64]]) -> NDArray[np.floating[Any]]:
        # Qubit 0 is the least significant bit of a basis index, so it is the
        # last factor of the Kronecker product.
        out: NDArray[np.floating[Any]] = np.ones((1, 1))
        for q in reversed(range(n)):
            out = np.kron(out, ops.get(q, np.eye(2)))
        return out

    h: NDArray[np.floating[Any]] = np.zeros((2**n, 2**n))
    for i in range(n - 1):
        h -= COUPLING * on({i: pauli_z, i + 1: pauli_z})
    for i in range(n):
        h -= FIELD * on({i: pauli_x})
    return float(np.linalg.eigvalsh(h)[0])


def ansatz(n: int, layers: int, precision: Literal["single", "double"]) -> vt.CompiledCircuit:
    """RY on every qubit, then `layers` times a CX ladder and RY on every
    qubit. Each rotation has a parameter of its own. The ground state of H
    has real amplitudes, which this ansatz can reach."""
    spec = vt.CircuitSpec(n)
    for q in range(n):
        spec.ry(q, spec.param(f"ry_0_{q}"))
    for layer in range(1, layers + 1):
        for q in range(n - 1):
            spec.cx(q, q + 1)
        for q in range(n):
            spec.ry(q, spec.param(f"ry_{layer}_{q}"))
    return spec.compile(precision=precision)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="4 qubits, 2 layers")
    parser.add_argument("--precision", choices=("single", "double"), default="single")
    args = parser.parse_args()
    n, layers = (4, 2) if args.small else (8, 4)

    precision: Literal["single", "double"] = args.precision
    hamiltonian = ising_hamiltonian(n)
    circuit = ansatz(n, layers, precision)
    context = circuit.execution_context()
    params = circuit.param_buffer()
    theta = params.numpy()  # the buffer's own array: float32, or float64 in double precision
    print(f"{n} qubits, {circuit.parameter_count} parameters, {circuit.precision} precision")

    def energy_and_gradient(x: NDArray[np.float64]) -> tuple[float, NDArray[np.float64]]:
        theta[:] = x
        value, grad = context.adjoint_value_and_gradient_buffer(circuit, params, hamiltonian)
        return value, grad.astype(np.float64)

    rng = np.random.default_rng(1)
    x0 = rng.uniform(-0.1, 0.1, circuit.parameter_count)
    result = minimize(energy_and_gradient, x0, jac=True, method="L-BFGS-B")

    exact = exact_ground_energy(n)
    error = (result.fun - exact) / abs(exact)
    print(f"{result.nfev} evaluations: {result.message}")
    print(f"variational energy {result.fun:+.6f}")
    print(f"exact ground energy {exact:+.6f}  (relative error {error:.2e})")
    if error > 0.02:
        raise SystemExit("the minimisation did not come within 2% of the ground energy")
    if precision == "double" and not result.success:
        raise SystemExit(f"L-BFGS-B did not converge in double precision: {result.message}")


if __name__ == "__main__":
    main()

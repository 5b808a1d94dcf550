"""Noisy sampling by trajectories, checked against the exact density matrix.

A layered circuit (RY rotations and a CNOT ladder) with depolarizing noise
after every gate and amplitude damping at the end of each layer: samples
drawn one trajectory per shot, and <Z_0 Z_1> averaged over trajectories on a
compiled plan, both compared with the density matrix computed exactly in
NumPy. Exits non-zero when they disagree beyond the sampling error.
"""

import argparse
import sys

import numpy as np

import vantrel as vt

I2 = np.eye(2)
PAULIS = [I2, np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])]


def on(matrix, targets, n):
    """The 2**n x 2**n matrix of `matrix` on `targets` (first target the high bit)."""
    k = len(targets)
    full = np.zeros((2**n, 2**n), dtype=complex)
    for col in range(2**n):
        local = sum(((col >> t) & 1) << (k - 1 - j) for j, t in enumerate(targets))
        for row_local in range(2**k):
            row = col
            for j, t in enumerate(targets):
                bit = (row_local >> (k - 1 - j)) & 1
                row = (row & ~(1 << t)) | (bit << t)
            full[row, col] += matrix[row_local, local]
    return full


def build(n, layers, p, gamma, rng):
    """(gates, [(targets, Kraus operators)]) of the layered noisy circuit."""
    gates, steps = [], []
    for _ in range(layers):
        for q in range(n):
            theta = float(rng.uniform(0, np.pi))
            gates += [vt.Gate.ry(q, theta), vt.Gate.depolarizing(q, p)]
            c, s = np.cos(theta / 2), np.sin(theta / 2)
            steps.append(([q], [np.array([[c, -s], [s, c]])]))
            steps.append(([q], [np.sqrt(1 - p) * I2] + [np.sqrt(p / 3) * m for m in PAULIS[1:]]))
        for q in range(n - 1):
            gates += [vt.Gate.cx(q, q + 1), vt.Gate.depolarizing(q + 1, p)]
            cx = np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]])
            steps.append(([q, q + 1], [cx]))
            steps.append(([q + 1], [np.sqrt(1 - p) * I2] + [np.sqrt(p / 3) * m for m in PAULIS[1:]]))
        for q in range(n):
            gates.append(vt.Gate.amplitude_damping(q, gamma))
            steps.append(([q], [np.diag([1, np.sqrt(1 - gamma)]),
                                np.array([[0, np.sqrt(gamma)], [0, 0]])]))
    return gates, steps


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--small", action="store_true", help="a few seconds' worth")
    args = parser.parse_args()
    n, layers, shots, trajectories = (4, 2, 4000, 2000) if args.small else (6, 4, 20000, 10000)
    rng = np.random.default_rng(3)
    gates, steps = build(n, layers, 0.02, 0.05, rng)

    rho = np.zeros((2**n, 2**n), dtype=complex)
    rho[0, 0] = 1
    for targets, ops in steps:
        full = [on(k, targets, n) for k in ops]
        rho = sum(k @ rho @ k.conj().T for k in full)
    probs = np.real(np.diag(rho))

    counts = np.bincount(vt.Circuit(gates).sample(n, shots, seed=11), minlength=2**n)
    tv = 0.5 * np.abs(counts / shots - probs).sum()
    print(f"{n} qubits, {len(gates)} gates, {shots} shots: total variation {tv:.4f}")

    spec = vt.CircuitSpec(n)
    for g in gates:
        spec.gate(g)
    zz = vt.Observable.pauli_string([("Z", 0), ("Z", 1)])
    mean, error = spec.compile().noisy_expectation([], zz, trajectories, seed=5)
    exact = float(np.real(np.trace(rho @ on(np.kron(PAULIS[3], PAULIS[3]), [1, 0], n))))
    print(f"<Z0 Z1>: {mean:.4f} +- {error:.4f} over {trajectories} trajectories, exact {exact:.4f}")

    ok = tv < 4 * np.sqrt(2**n / shots) and abs(mean - exact) < 4 * error + 1e-4
    print("agrees with the density matrix" if ok else "DISAGREES with the density matrix")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

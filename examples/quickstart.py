"""Variational ground-state search for a transverse-field Ising chain.

Builds a layered ansatz once with CircuitSpec, compiles it, and minimises the
energy <H> by gradient descent with parameter-shift gradients, reusing one
ExecutionContext and one ParamBuffer for every step. Then evaluates a batch of
random parameter vectors on the worker pool and samples a one-off circuit.
"""

import numpy as np

import vantrel as vt

N_QUBITS = 4
N_LAYERS = 2
FIELD = 1.0


def ising_hamiltonian(n, field):
    """H = -sum Z_i Z_{i+1} - field * sum X_i, as a vantrel Observable."""
    terms = [vt.Observable.pauli_string([("Z", i), ("Z", i + 1)], -1.0) for i in range(n - 1)]
    terms += [vt.Observable.pauli_x(i, -field) for i in range(n)]
    return vt.Observable.hamiltonian(terms)


def exact_ground_energy(n, field):
    """Smallest eigenvalue of the same Hamiltonian, by dense diagonalisation."""
    x = np.array([[0, 1], [1, 0]], dtype=float)
    z = np.diag([1.0, -1.0])

    def on(op, q):
        # Qubit 0 is the least significant bit of a basis index.
        mats = [op if k == q else np.eye(2) for k in reversed(range(n))]
        out = mats[0]
        for m in mats[1:]:
            out = np.kron(out, m)
        return out

    h = sum(-on(z, i) @ on(z, i + 1) for i in range(n - 1))
    h = h + sum(-field * on(x, i) for i in range(n))
    return float(np.linalg.eigvalsh(h)[0])


def build_ansatz(n, layers):
    spec = vt.CircuitSpec(n)
    for layer in range(layers):
        for q in range(n):
            spec.ry(q, spec.param(f"ry_{layer}_{q}"))
            spec.rz(q, spec.param(f"rz_{layer}_{q}"))
        for q in range(n - 1):
            spec.cx(q, q + 1)
    for q in range(n):
        spec.ry(q, spec.param(f"ry_final_{q}"))
    return spec.compile()


def main():
    hamiltonian = ising_hamiltonian(N_QUBITS, FIELD)
    circuit = build_ansatz(N_QUBITS, N_LAYERS)
    print(f"ansatz: {circuit.num_qubits} qubits, {circuit.parameter_count} parameters")

    rng = np.random.default_rng(7)
    context = circuit.execution_context()
    params = circuit.param_buffer()
    theta = params.numpy()  # the buffer's own array: writes are seen by the next call
    theta[:] = rng.uniform(-0.1, 0.1, size=theta.shape)

    learning_rate = 0.1
    for step in range(301):
        energy, grad = context.value_and_gradient_buffer(circuit, params, hamiltonian)
        theta -= learning_rate * grad
        if step % 50 == 0:
            print(f"step {step:3d}  energy {energy:+.5f}")

    exact = exact_ground_energy(N_QUBITS, FIELD)
    final = circuit.expectation_buffer(params, hamiltonian)
    print(f"variational energy {final:+.5f}, exact ground energy {exact:+.5f}")

    batch = rng.uniform(-np.pi, np.pi, size=(64, circuit.parameter_count)).astype(np.float32)
    energies = circuit.batch_expectation(batch, hamiltonian)
    print(f"64 random parameter vectors: mean energy {energies.mean():+.4f}, "
          f"best {energies.min():+.4f}")

    ghz = vt.Circuit([vt.Gate.h(0)] + [vt.Gate.cx(q, q + 1) for q in range(N_QUBITS - 1)])
    shots = ghz.sample(N_QUBITS, 1000)
    counts = {format(k, f"0{N_QUBITS}b"): shots.count(k) for k in sorted(set(shots))}
    print(f"GHZ samples: {counts}")

    if final > exact + 0.05:
        raise SystemExit("the optimisation did not come close to the ground energy")


if __name__ == "__main__":
    main()

"""Noise channels and trajectories against an exact density-matrix reference."""

import pickle
import subprocess
import sys

import numpy as np
import pytest
import vantrel as vt

import reference as ref

G = vt.Gate
PAULIS = [ref.I, ref.X, ref.Y, ref.Z]


def kraus_of(kind, p):
    """The Kraus operators of a channel kind at its probabilities (textbook forms)."""
    if kind == "bit_flip":
        return [np.sqrt(1 - p[0]) * ref.I, np.sqrt(p[0]) * ref.X]
    if kind == "phase_flip":
        return [np.sqrt(1 - p[0]) * ref.I, np.sqrt(p[0]) * ref.Z]
    if kind == "depolarizing":
        return [np.sqrt(1 - p[0]) * ref.I] + [np.sqrt(p[0] / 3) * m for m in PAULIS[1:]]
    if kind == "two_qubit_depolarizing":
        ops = [np.kron(a, b) for a in PAULIS for b in PAULIS]
        return [np.sqrt(1 - p[0]) * ops[0]] + [np.sqrt(p[0] / 15) * m for m in ops[1:]]
    if kind == "pauli_channel":
        return [np.sqrt(1 - sum(p)) * ref.I] + [np.sqrt(q) * m for q, m in zip(p, PAULIS[1:])]
    if kind == "amplitude_damping":
        return [np.diag([1, np.sqrt(1 - p[0])]), np.array([[0, np.sqrt(p[0])], [0, 0]])]
    if kind == "phase_damping":
        return [np.diag([1, np.sqrt(1 - p[0])]), np.diag([0, np.sqrt(p[0])])]
    raise ValueError(kind)


def apply_density(rho, targets, ops):
    """sum_i K_i rho K_i^dagger, each K_i on `targets` (first target the high bit)."""
    out = np.zeros_like(rho)
    for k in ops:
        left = np.stack([ref.apply(rho[:, c], targets, k) for c in range(rho.shape[1])], axis=1)
        out += np.stack([ref.apply(left[r, :].conj(), targets, k) for r in range(rho.shape[0])]).conj()
    return out


def random_unitary(rng, k):
    q, r = np.linalg.qr(rng.normal(size=(2**k, 2**k)) + 1j * rng.normal(size=(2**k, 2**k)))
    return q * (np.diag(r) / abs(np.diag(r)))


def random_noisy_circuit(rng, n, kinds):
    """(gates, reference steps): random unitaries with every channel kind in `kinds`."""
    gates, steps = [], []
    for kind in kinds:
        q = [int(x) for x in rng.choice(n, size=min(n, 2), replace=False)]
        u = random_unitary(rng, 1)
        gates.append(G.unitary([q[0]], u.astype(np.complex64)))
        steps.append(([q[0]], [u]))
        if n > 1:
            gates.append(G.cx(q[0], q[1]))
            steps.append(([q[0], q[1]], [ref.controlled(ref.X)]))
        if kind == "two_qubit_depolarizing":
            if n < 2:
                continue
            targets, p = q[:2], [float(rng.uniform(0.05, 0.6))]
            gate = G.two_qubit_depolarizing(*targets, *p)
        elif kind == "kraus":
            targets = q[:min(n, 2)]
            u = random_unitary(rng, len(targets))
            g = float(rng.uniform(0.1, 0.9))
            # A damping-like pair made non-diagonal by a random unitary.
            k0 = u @ np.diag([1] + [np.sqrt(1 - g)] * (2 ** len(targets) - 1))
            k1 = u @ (np.sqrt(g) * np.eye(2 ** len(targets), k=1))
            ops = [k0, k1]
            # Completed to a trace-preserving set by the remainder's square root.
            rest = np.eye(2 ** len(targets)) - sum(k.conj().T @ k for k in ops)
            w, v = np.linalg.eigh(rest)
            ops.append((v * np.sqrt(np.clip(w, 0, None))) @ v.conj().T)
            gate = G.kraus(targets, [k.astype(np.complex64) for k in ops])
            steps.append((targets, ops))
            gates.append(gate)
            continue
        else:
            count = 3 if kind == "pauli_channel" else 1
            targets = q[:1]
            p = [float(x) for x in rng.uniform(0.05, 0.3 if count == 3 else 0.9, size=count)]
            gate = getattr(G, kind)(targets[0], *p)
        gates.append(gate)
        steps.append((targets, kraus_of(kind, p)))
    return gates, steps


KINDS = ["bit_flip", "phase_flip", "depolarizing", "two_qubit_depolarizing", "pauli_channel",
         "amplitude_damping", "phase_damping", "kraus"]


@pytest.mark.parametrize("n", [1, 2, 3, 4, 6])
def test_trajectories_match_the_density_matrix(n):
    rng = np.random.default_rng(100 + n)
    gates, steps = random_noisy_circuit(rng, n, KINDS)
    rho = np.zeros((2**n, 2**n), dtype=np.complex128)
    rho[0, 0] = 1
    for targets, ops in steps:
        rho = apply_density(rho, targets, ops)
    probs = np.real(np.diag(rho))

    # Plans: the mean of exact expectations over trajectories.
    spec = vt.CircuitSpec(n)
    for g in gates:
        spec.gate(g)
    plan = spec.compile()
    for q in range(n):
        exact = float(np.real(np.trace(rho @ np.kron(np.eye(2 ** (n - 1 - q)), np.kron(ref.Z, np.eye(2**q))))))
        mean, se = plan.noisy_expectation([], vt.Observable.pauli_z(q), 4000, seed=7 + q)
        assert abs(mean - exact) < 4 * se + 1e-4, (q, mean, exact, se)

    # One-off circuits (pickled and back): one trajectory per shot, chi-square
    # against the exact distribution at a fixed seed.
    circuit = pickle.loads(pickle.dumps(vt.Circuit(gates)))
    shots = 20000
    counts = np.bincount(circuit.sample(n, shots, seed=11), minlength=2**n)
    keep = probs * shots > 5
    expected = probs[keep] * shots
    chi2 = float((((counts[keep] - expected) ** 2) / expected).sum()) + counts[~keep].sum()
    df = max(int(keep.sum()) - 1, 1)
    # Wilson-Hilferty 0.999 quantile of chi-square with df degrees of freedom.
    limit = df * (1 - 2 / (9 * df) + 3.09 * np.sqrt(2 / (9 * df))) ** 3 + 5
    assert chi2 < limit, (chi2, limit)
    assert plan.sample([], 50, seed=3) == plan.sample([], 50, seed=3)


SEEDED = """
import sys, hashlib, numpy as np, vantrel as vt
vt.set_num_threads(int(sys.argv[1]))
G = vt.Gate
gates = [G.h(0), G.depolarizing(0, 0.2), G.cx(0, 1), G.amplitude_damping(1, 0.3),
         G.rx(2, 0.4), G.two_qubit_depolarizing(1, 2, 0.1), G.measure(2), G.phase_damping(0, 0.4)]
c = vt.Circuit(gates)
spec = vt.CircuitSpec(3)
t = spec.param()
spec.ry(0, t)
for g in gates[:6]:
    spec.gate(g)
plan = spec.compile()
out = [c.sample(3, 300, seed=5), c.run(3, seed=5), c.run_with_measurements(3, seed=5)[1],
       plan.sample([0.3], 300, seed=5), plan.noisy_expectation([0.3], vt.Observable.pauli_z(1), 500, seed=5),
       plan.batch_noisy_expectation(np.array([[0.3], [1.1]], np.float32), vt.Observable.pauli_z(2), 300, seed=5),
       c.sample(3, 300, seed=6)]
print(" ".join(hashlib.sha256(repr(o).encode() if not isinstance(o, np.ndarray) else o.tobytes()).hexdigest()[:12] for o in out))
"""


def test_seeded_results_are_the_same_at_every_pool_size_and_differ_across_seeds():
    digests = []
    for threads in (1, 2, 8):
        result = subprocess.run([sys.executable, "-c", SEEDED, str(threads)], capture_output=True,
                                text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        digests.append(result.stdout.split())
    assert digests[0] == digests[1] == digests[2]
    assert digests[0][0] != digests[0][-1]


def test_hostile_inputs_are_refused():
    eye = np.eye(2, dtype=np.complex64)
    with pytest.raises(ValueError, match="differs from the identity by 1"):
        G.kraus([0], [eye, eye])
    with pytest.raises(ValueError, match="entries, expected 16"):
        G.kraus([0, 1], [eye])
    with pytest.raises(ValueError, match="square"):
        G.kraus([0], [np.ones((2, 3), np.complex64)])
    with pytest.raises(ValueError):
        G.kraus([0], [])
    for bad in (float("nan"), -0.1, 1.5):
        with pytest.raises(ValueError, match="probability"):
            G.bit_flip(0, bad)
    with pytest.raises(ValueError, match="at most 1"):
        G.pauli_channel(0, 0.5, 0.4, 0.3)
    with pytest.raises(ValueError, match="duplicate"):
        G.two_qubit_depolarizing(1, 1, 0.1)
    spec = vt.CircuitSpec(2)
    spec.gate(G.barrier())
    spec.gate(G.barrier())  # the run of two is one value in the plan, listed as two steps
    spec.gate(G.depolarizing(1, 0.1))
    plan = spec.compile()
    with pytest.raises(ValueError, match="trajectories must be at least 1"):
        plan.noisy_expectation([], vt.Observable.pauli_z(0), 0, seed=1)
    for refused in (lambda: plan.statevector([]), lambda: plan.expectation([], vt.Observable.pauli_z(0)),
                    lambda: plan.gradient([], vt.Observable.pauli_z(0))):
        with pytest.raises(ValueError, match=r"step 2 is a noise channel \(Depolarizing\)"):
            refused()
    with pytest.raises(ValueError):
        vt.Circuit([G.bit_flip(5, 0.1)]).sample(2, 10, seed=1)
    # A count of shots that can never be held fails before any trajectory runs.
    with pytest.raises(MemoryError, match="samples"):
        vt.Circuit([G.bit_flip(0, 0.1)]).sample(1, 2**62, seed=1)

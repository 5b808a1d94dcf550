"""Random gates of every kind, built both as vantrel Gates and as matrices of
the reference simulator (tests/reference.py)."""

import numpy as np

import reference as ref
from vantrel import Gate


def random_unitary(dim, rng):
    z = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def random_gate(rng, n, real=np.float32):
    """A random unitary gate (or a barrier) with its qubits and reference
    matrix, its angles rounded by `real` as the run computes with them
    (np.float32 for single precision, float for double)."""
    def qubits(k):
        return [int(q) for q in rng.choice(n, size=k, replace=False)]

    def angle():
        return float(rng.uniform(-np.pi, np.pi))

    one = {
        "h": ref.H, "i": ref.I, "x": ref.X, "y": ref.Y, "z": ref.Z, "s": ref.S,
        "sdg": ref.SDG, "t": ref.T, "tdg": ref.TDG,
    }
    rotations = {"p": ref.P, "phase": ref.P, "rx": ref.RX, "ry": ref.RY, "rz": ref.RZ}
    kinds = ["one", "rot", "u", "barrier"]
    if n >= 2:
        kinds += ["swap", "iswap", "c1", "crot", "cu", "unitary2", "mcx"]
    if n >= 3:
        kinds += ["ccx", "cswap", "mcp", "controlled_unitary"]
    kind = kinds[rng.integers(len(kinds))]
    if kind == "one":
        name = list(one)[rng.integers(len(one))]
        (q,) = qubits(1)
        return getattr(Gate, name)(q), [q], one[name]
    if kind == "rot":
        name = list(rotations)[rng.integers(len(rotations))]
        (q,), a = qubits(1), angle()
        return getattr(Gate, name)(q, a), [q], rotations[name](real(a))
    if kind == "u":
        (q,), a, b, c = qubits(1), angle(), angle(), angle()
        return Gate.u(q, a, b, c), [q], ref.U(*map(real, (a, b, c)))
    if kind == "barrier":
        return Gate.barrier(), None, None
    if kind in ("swap", "iswap"):
        qs = qubits(2)
        return getattr(Gate, kind)(*qs), qs, ref.SWAP if kind == "swap" else ref.ISWAP
    if kind == "c1":
        name, m = [("ch", ref.H), ("cx", ref.X), ("cnot", ref.X), ("cy", ref.Y), ("cz", ref.Z)][
            rng.integers(5)
        ]
        qs = qubits(2)
        return getattr(Gate, name)(*qs), qs, ref.controlled(m)
    if kind == "crot":
        name, f = [("cp", ref.P), ("cphase", ref.P), ("crx", ref.RX), ("cry", ref.RY),
                   ("crz", ref.RZ)][rng.integers(5)]
        qs, a = qubits(2), angle()
        return getattr(Gate, name)(*qs, a), qs, ref.controlled(f(real(a)))
    if kind == "cu":
        qs, (a, b, c, g) = qubits(2), (angle() for _ in range(4))
        a, b, c, g = map(real, (a, b, c, g))
        return (Gate.cu(*qs, float(a), float(b), float(c), float(g)), qs,
                ref.controlled(np.exp(1j * g) * ref.U(a, b, c)))
    if kind == "unitary2":
        qs, m = qubits(2), random_unitary(4, rng)
        return Gate.unitary(qs, m), qs, m
    if kind == "mcx":
        qs = qubits(int(rng.integers(2, min(n, 4) + 1)))
        return Gate.mcx(qs[:-1], qs[-1]), qs, ref.controlled(ref.X, len(qs) - 1)
    if kind == "ccx":
        qs = qubits(3)
        return getattr(Gate, ["ccx", "toffoli"][rng.integers(2)])(*qs), qs, ref.controlled(ref.X, 2)
    if kind == "cswap":
        qs = qubits(3)
        name = ["cswap", "fredkin"][rng.integers(2)]
        return getattr(Gate, name)(*qs), qs, ref.controlled(ref.SWAP)
    if kind == "mcp":
        qs, a = qubits(3), angle()
        name = ["mcp", "mcphase"][rng.integers(2)]
        return getattr(Gate, name)(qs[:2], qs[2], a), qs, ref.controlled(ref.P(real(a)), 2)
    qs, m = qubits(3), random_unitary(4, rng)
    return Gate.controlled_unitary(qs[:1], qs[1:], m), qs, ref.controlled(m)

"""Random parameterized circuits and observables, built both as vantrel objects
and as plans of the reference simulator (tests/reference.py)."""

import numpy as np

import vantrel as vt

ROTATIONS = ("rx", "ry", "rz", "p")


def random_steps(rng, num_qubits, num_params, length):
    steps = []
    for _ in range(length):
        roll = rng.random()
        q = int(rng.integers(num_qubits))
        if roll < 0.45 and num_params > 0:
            steps.append((ROTATIONS[rng.integers(4)], q, int(rng.integers(num_params))))
        elif roll < 0.75 or num_qubits == 1:
            steps.append((("h", "x", "z")[rng.integers(3)], q))
        else:
            other = int(rng.integers(num_qubits - 1))
            other += other >= q
            steps.append((("cx", "cz")[rng.integers(2)], q, other))
    return steps


def build(steps, num_qubits, num_params):
    """Compiles `steps` through CircuitSpec; returns the CompiledCircuit."""
    spec = vt.CircuitSpec(num_qubits)
    params = [spec.param() for _ in range(num_params)]
    for step in steps:
        name = step[0]
        if name in ROTATIONS:
            getattr(spec, name)(step[1], params[step[2]])
        else:
            getattr(spec, name)(*step[1:])
    return spec.compile()


def random_terms(rng, num_qubits, num_terms):
    """Terms with X, Y, Z factors on distinct qubits; the first term is the identity."""
    terms = [(float(rng.uniform(-1, 1)), [])]
    for _ in range(num_terms - 1):
        k = int(rng.integers(1, min(num_qubits, 3) + 1))
        qubits = rng.choice(num_qubits, size=k, replace=False)
        terms.append((float(rng.uniform(-1, 1)),
                      [("XYZ"[rng.integers(3)], int(q)) for q in qubits]))
    return terms


def observable(terms):
    return vt.Observable.hamiltonian(
        [vt.Observable.pauli_string(factors, coefficient) for coefficient, factors in terms])


def float32_terms(terms):
    """The terms with coefficients rounded as the module stores them."""
    return [(float(np.float32(c)), f) for c, f in terms]

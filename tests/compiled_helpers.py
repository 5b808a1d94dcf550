"""Random parameterized circuits and observables, built both as vantrel objects
and as plans of the reference simulator (tests/reference.py)."""

import numpy as np

import vantrel as vt

ROTATIONS = ("rx", "ry", "rz", "p")


def random_pauli_step(rng, num_qubits, num_params):
    """A rotation on a random string of I, X, Y, Z (not all I) with a random scale."""
    while True:
        factors = [("IXYZ"[rng.integers(4)], q) for q in range(num_qubits) if rng.random() < 0.5]
        if any(label != "I" for label, _ in factors):
            break
    scale = float(np.float32((1.0, -0.5, 2.25)[rng.integers(3)]))
    return ("pauli", [factors[i] for i in rng.permutation(len(factors))],
            int(rng.integers(num_params)), scale)


def random_steps(rng, num_qubits, num_params, length, pauli=False):
    """Random steps; with `pauli`, Pauli-string rotations among them."""
    steps = []
    for _ in range(length):
        roll = rng.random()
        q = int(rng.integers(num_qubits))
        if pauli and roll < 0.2 and num_params > 0:
            steps.append(random_pauli_step(rng, num_qubits, num_params))
        elif roll < 0.45 and num_params > 0:
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
        elif name == "pauli":
            spec.pauli_rotation(step[1], params[step[2]], step[3])
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

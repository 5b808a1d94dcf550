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


def add_step(spec, params, step):
    """Appends one step (reference.py's plan format) to the spec."""
    name = step[0]
    if name in ROTATIONS:
        getattr(spec, name)(step[1], params[step[2]])
    elif name == "pauli":
        spec.pauli_rotation(step[1], params[step[2]], step[3])
    else:
        getattr(spec, name)(*step[1:])


def build(steps, num_qubits, num_params, precision="single"):
    """Compiles `steps` through CircuitSpec; returns the CompiledCircuit."""
    spec = vt.CircuitSpec(num_qubits)
    params = [spec.param() for _ in range(num_params)]
    for step in steps:
        add_step(spec, params, step)
    return spec.compile(precision=precision)


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


def ry_chain(n):
    """RY(theta_q) on every qubit q, then a CX chain, compiled; and the terms
    (0.5 + i) Z_i Z_i+1 and (-0.25 i) X_i Y_(i+3 mod n) as two lists of
    Observables."""
    spec = vt.CircuitSpec(n)
    params = [spec.param() for _ in range(n)]
    for q in range(n):
        spec.ry(q, params[q])
    for q in range(n - 1):
        spec.cx(q, q + 1)
    zz = [vt.Observable.pauli_string([("Z", i), ("Z", i + 1)], 0.5 + i) for i in range(n - 1)]
    xy = [vt.Observable.pauli_string([("X", i), ("Y", (i + 3) % n)], -0.25 * i) for i in range(n)]
    return spec.compile(), zz, xy


def outputs_at_pool_sizes(code, timeout=120):
    """The standard output of `code` run in a fresh process for each pool size
    1, 2 and 8 (given as sys.argv[1]), able to import vantrel and these
    helpers; every child must succeed."""
    import os
    import subprocess
    import sys

    path = [os.path.dirname(os.path.abspath(vt.__file__)), os.path.dirname(os.path.abspath(__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path + [os.environ.get("PYTHONPATH", "")]))
    env.pop("RAYON_NUM_THREADS", None)
    outputs = []
    for threads in (1, 2, 8):
        result = subprocess.run([sys.executable, "-c", code, str(threads)], env=env,
                                capture_output=True, text=True, timeout=timeout)
        assert result.returncode == 0, result.stderr
        outputs.append(result.stdout)
    return outputs

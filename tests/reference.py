"""A small NumPy reference simulator for cross-checking vantrel.

Conventions: qubit q is bit q of an amplitude index (qubit 0 is the least
significant bit); the first target of an operation is the most significant bit
of its matrix's row and column index. Everything is complex128, written from
the textbook definitions.
"""

import numpy as np

SQRT_HALF = 1.0 / np.sqrt(2.0)

I = np.eye(2, dtype=np.complex128)
H = np.array([[1, 1], [1, -1]], dtype=np.complex128) * SQRT_HALF
X = np.array([[0, 1], [1, 0]], dtype=np.complex128)
Y = np.array([[0, -1j], [1j, 0]], dtype=np.complex128)
Z = np.array([[1, 0], [0, -1]], dtype=np.complex128)
S = np.diag([1, 1j]).astype(np.complex128)
SDG = np.diag([1, -1j]).astype(np.complex128)
T = np.diag([1, np.exp(1j * np.pi / 4)]).astype(np.complex128)
TDG = np.diag([1, np.exp(-1j * np.pi / 4)]).astype(np.complex128)
SWAP = np.array(
    [[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]], dtype=np.complex128
)
ISWAP = np.array(
    [[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]], dtype=np.complex128
)

PAULI = {"X": X, "Y": Y, "Z": Z}


def P(theta):
    return np.diag([1, np.exp(1j * theta)]).astype(np.complex128)


def RX(theta):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -1j * s], [-1j * s, c]], dtype=np.complex128)


def RY(theta):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -s], [s, c]], dtype=np.complex128)


def RZ(theta):
    return np.diag([np.exp(-0.5j * theta), np.exp(0.5j * theta)]).astype(np.complex128)


def U(theta, phi, lam):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array(
        [[c, -np.exp(1j * lam) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]],
        dtype=np.complex128,
    )


def controlled(matrix, num_controls=1):
    """The matrix on controls + targets: identity except the trailing block."""
    d = matrix.shape[0]
    big = d << num_controls
    out = np.eye(big, dtype=np.complex128)
    out[big - d :, big - d :] = matrix
    return out


def zero_state(num_qubits):
    state = np.zeros(1 << num_qubits, dtype=np.complex128)
    state[0] = 1
    return state


def basis_state(num_qubits, index):
    state = np.zeros(1 << num_qubits, dtype=np.complex128)
    state[index] = 1
    return state


def apply(state, targets, matrix):
    """Returns matrix applied to the listed qubits of state (a new array)."""
    n = int(np.log2(state.size))
    k = len(targets)
    assert matrix.shape == (1 << k, 1 << k)
    # Axis a of the tensor is qubit n - 1 - a (the first axis is the high bit).
    axes = [n - 1 - t for t in targets]
    psi = np.moveaxis(state.reshape([2] * n), axes, list(range(k)))
    shape = psi.shape
    psi = (matrix @ psi.reshape(1 << k, -1)).reshape(shape)
    return np.moveaxis(psi, list(range(k)), axes).reshape(-1)


def pauli_string(state, factors):
    """P state for P the product of the (label, qubit) factors; label I is the identity."""
    for label, qubit in factors:
        if label.upper() != "I":
            state = apply(state, [qubit], PAULI[label.upper()])
    return state


def pauli_rotation(state, factors, angle):
    """exp(-i angle/2 P) state = cos(angle/2) state - i sin(angle/2) P state."""
    return np.cos(angle / 2) * state - 1j * np.sin(angle / 2) * pauli_string(state, factors)


def expectation(state, terms):
    """Sum of coefficient * <state|P|state> over terms (coefficient, [(label, qubit), ...])."""
    total = 0.0
    for coefficient, factors in terms:
        phi = state
        for label, qubit in factors:
            phi = apply(phi, [qubit], PAULI[label.upper()])
        total += coefficient * np.vdot(state, phi).real
    return total


# Plans of parameterized circuits, as lists of steps:
#   ("h" | "x" | "z", q)                     fixed one-qubit gate
#   ("cx" | "cz", control, target)           fixed controlled gate
#   ("rx" | "ry" | "rz" | "p", q, slot)      rotation by params[slot]
#   ("pauli", factors, slot, scale)          exp(-i scale params[slot]/2 P)

FIXED = {"h": H, "x": X, "z": Z}
ROTATIONS = {"rx": RX, "ry": RY, "rz": RZ, "p": P}


def apply_step(state, step, params):
    """Returns the step applied to state (a new array)."""
    name = step[0]
    if name in FIXED:
        return apply(state, [step[1]], FIXED[name])
    if name in ("cx", "cz"):
        return apply(state, [step[1], step[2]], controlled(X if name == "cx" else Z))
    if name == "pauli":
        return pauli_rotation(state, step[1], step[3] * float(params[step[2]]))
    return apply(state, [step[1]], ROTATIONS[name](float(params[step[2]])))


def run_plan(steps, num_qubits, params):
    state = zero_state(num_qubits)
    for step in steps:
        state = apply_step(state, step, params)
    return state


def plan_expectation(steps, num_qubits, params, terms):
    return expectation(run_plan(steps, num_qubits, params), terms)


def plan_gradient(steps, num_qubits, params, terms, eps=1e-6):
    """The derivative of the expectation by central differences in double precision."""
    params = np.asarray(params, dtype=float)
    grad = np.zeros(len(params))
    for i in range(len(params)):
        up, down = params.copy(), params.copy()
        up[i] += eps
        down[i] -= eps
        grad[i] = (plan_expectation(steps, num_qubits, up, terms)
                   - plan_expectation(steps, num_qubits, down, terms)) / (2 * eps)
    return grad

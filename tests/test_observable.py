"""Observable: the five factories, label rules, conversion errors and, through
compiled circuits, the values the observables evaluate to."""

import pickle

import numpy as np
import pytest

import reference as ref
import vantrel
import vantrel as vt
from compiled_helpers import float32_terms, observable, random_terms
from vantrel import Observable

def test_signatures():
    assert Observable.pauli_x.__text_signature__ == "(qubit, coefficient=1.0)"
    assert Observable.pauli_y.__text_signature__ == "(qubit, coefficient=1.0)"
    assert Observable.pauli_z.__text_signature__ == "(qubit, coefficient=1.0)"
    assert Observable.pauli_string.__text_signature__ == "(ops, coefficient=1.0)"
    assert Observable.hamiltonian.__text_signature__ == "(terms)"
    public = sorted(n for n in vars(Observable) if not n.startswith("_"))
    assert public == ["hamiltonian", "num_qubits", "pauli_string", "pauli_x", "pauli_y", "pauli_z",
                      "simplify", "terms", "to_matrix"]


def test_factories_accept_positional_keyword_and_float_like():
    for obs in (
        Observable.pauli_x(0),
        Observable.pauli_y(qubit=1, coefficient=-2),
        Observable.pauli_z(3, np.float64(0.1)),
        Observable.pauli_string(ops=[("x", 0), ("Z", 2)], coefficient=0.5),
        Observable.pauli_string((("Y", 1),)),
        Observable.pauli_string([]),
        Observable.pauli_string([("z", np.int64(2))]),
        Observable.hamiltonian(terms=[Observable.pauli_x(0), Observable.pauli_z(1)]),
    ):
        assert type(obs) is Observable
    # Any qubit index is accepted here; it is checked against a state later.
    Observable.pauli_z(10**6)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: Observable.pauli_string("XZ"), TypeError,
         "argument 'ops': Can't extract `str` to `Vec`"),
        (lambda: Observable.pauli_string([["X", 0]]), TypeError,
         "argument 'ops': 'list' object cannot be converted to 'PyTuple'"),
        (lambda: Observable.pauli_string([("X", 0, 1)]), TypeError, None),
        (lambda: Observable.pauli_string([(0, "X")]), TypeError, None),
        (lambda: Observable.pauli_string({("X", 0)}), TypeError,
         "argument 'ops': 'set' object cannot be converted to 'Sequence'"),
        (lambda: Observable.pauli_string([("X", -1)]), OverflowError, None),
        (lambda: Observable.pauli_string([("X", 1.0)]), TypeError, None),
        (lambda: Observable.pauli_string([("X", 0)], "a"), TypeError,
         "argument 'coefficient': must be real number, not str"),
        # ops converts before coefficient.
        (lambda: Observable.pauli_string("X", "a"), TypeError,
         "argument 'ops': Can't extract `str` to `Vec`"),
        (lambda: Observable.pauli_string([("XX", 0)]), ValueError,
         "unsupported Pauli label 'XX'; expected X, Y, or Z"),
        (lambda: Observable.pauli_string([("X", 0), ("I", 1), ("Q", 2)]), ValueError,
         "unsupported Pauli label 'I'; expected X, Y, or Z"),
        (lambda: Observable.pauli_string([("", 0)]), ValueError,
         "unsupported Pauli label ''; expected X, Y, or Z"),
        (lambda: Observable.pauli_string([("\u03a7", 0)]), ValueError,
         "unsupported Pauli label '\u03a7'; expected X, Y, or Z"),
        # A NUL inside the label is part of the text shown.
        (lambda: Observable.pauli_string([("X\0Y", 0)]), ValueError,
         "unsupported Pauli label 'X\0Y'; expected X, Y, or Z"),
        (lambda: Observable.pauli_string([("X", 1), ("Z", 1)]), ValueError,
         "duplicate qubit index: 1"),
        (lambda: Observable.pauli_string([("Z", 1), ("X", 0), ("Y", 1), ("X", 0)]), ValueError,
         "duplicate qubit index: 1"),
        (lambda: Observable.hamiltonian([]), ValueError,
         "observable must contain at least one term"),
        (lambda: Observable.hamiltonian([Observable.pauli_x(0), 2.0]), TypeError,
         "hamiltonian terms must all be vantrel.Observable instances"),
        (lambda: Observable.hamiltonian((Observable.pauli_x(0),)), TypeError,
         "argument 'terms': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: Observable.pauli_x(-1), OverflowError, None),
        (lambda: Observable.pauli_x(0.5), TypeError,
         "argument 'qubit': 'float' object cannot be interpreted as an integer"),
        (lambda: Observable.pauli_x(), TypeError,
         "pauli_x() missing required argument 'qubit' (pos 1)"),
        (lambda: Observable.pauli_x(0, 1.0, 2), TypeError,
         "pauli_x() takes at most 2 arguments (3 given)"),
        (lambda: Observable.pauli_x(0, coef=1.0), TypeError,
         "pauli_x() got an unexpected keyword argument 'coef'"),
        (lambda: Observable.pauli_x(0, qubit=1), TypeError,
         "argument for pauli_x() given by name ('qubit') and position (1)"),
    ],
)
def test_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    if exc is TypeError and message is None:
        assert str(info.value).startswith("argument 'ops': ")


# --- evaluation through compiled circuits ------------------------------------

def prepared(num_qubits, angles):
    """A compiled circuit preparing RY/RZ product-and-entangled states, with
    the matching reference state."""
    spec = vantrel.CircuitSpec(num_qubits)
    state = ref.zero_state(num_qubits)
    values = []
    for q in range(num_qubits):
        for kind, mat in (("ry", ref.RY), ("rz", ref.RZ)):
            p = spec.param()
            getattr(spec, kind)(q, p)
            theta = np.float32(angles[len(values)])
            values.append(theta)
            state = ref.apply(state, [q], mat(theta))
    for q in range(num_qubits - 1):
        spec.cx(q, q + 1)
        state = ref.apply(state, [q, q + 1], ref.controlled(ref.X))
    return spec.compile(), np.array(values, np.float32), state


def test_values_match_the_reference():
    rng = np.random.default_rng(5)
    n = 3
    circuit, params, state = prepared(n, rng.uniform(-3, 3, size=2 * n))
    cases = [
        (Observable.pauli_x(0), [(1.0, [("X", 0)])]),
        (Observable.pauli_y(1, 0.5), [(0.5, [("Y", 1)])]),
        (Observable.pauli_z(2, -2.0), [(-2.0, [("Z", 2)])]),
        (Observable.pauli_string([("x", 0), ("Z", 2)], 0.25), [(0.25, [("X", 0), ("Z", 2)])]),
        (Observable.pauli_string([("Y", 2), ("y", 0), ("X", 1)]),
         [(1.0, [("Y", 2), ("Y", 0), ("X", 1)])]),
        (Observable.pauli_string([], 0.75), [(0.75, [])]),
        (Observable.hamiltonian([Observable.pauli_x(0), Observable.pauli_z(1, 3.0)]),
         [(1.0, [("X", 0)]), (3.0, [("Z", 1)])]),
    ]
    for obs, terms in cases:
        value = circuit.expectation(params, obs)
        assert value == pytest.approx(ref.expectation(state, terms), abs=1e-5)


def test_factor_order_does_not_matter_and_hamiltonian_flattens():
    circuit, params, _ = prepared(3, [0.3, 0.2, 1.1, -0.4, 2.0, 0.9])
    a = Observable.pauli_string([("x", 0), ("Z", 2)], 0.5)
    b = Observable.pauli_string([("Z", 2), ("X", 0)], 0.5)
    assert circuit.expectation(params, a) == circuit.expectation(params, b)
    single = circuit.expectation(params, a)
    twice = circuit.expectation(params, Observable.hamiltonian([a, a]))
    assert twice == pytest.approx(2 * single, abs=1e-6)
    nested = Observable.hamiltonian([Observable.hamiltonian([a, b]), a])
    assert circuit.expectation(params, nested) == pytest.approx(3 * single, abs=1e-6)


def test_coefficient_is_single_precision_and_qubits_checked_at_evaluation():
    spec = vantrel.CircuitSpec(2)
    circuit = spec.compile()
    empty = np.zeros(0, np.float32)
    # <00|Z|00> = 1, so the value is the stored coefficient itself.
    assert circuit.expectation(empty, Observable.pauli_z(0, 0.1)) == float(np.float32(0.1))
    assert circuit.expectation(empty, Observable.pauli_z(1)) == 1.0
    obs = Observable.pauli_z(3)
    with pytest.raises(ValueError) as info:
        circuit.expectation(empty, obs)
    assert str(info.value) == "observable references qubit 3 but state vector only has 2 qubits"
    assert vantrel.CircuitSpec(4).compile().expectation(empty, obs) == 1.0


def reference_matrix(terms, n):
    """sum of coefficient * P over (coefficient, factors) terms, column by column."""
    columns = [sum(c * ref.pauli_string(ref.basis_state(n, j), f) for c, f in terms)
               for j in range(1 << n)]
    return np.array(columns).T


def test_algebra_against_dense_matrices():
    rng = np.random.default_rng(11)
    lists = [random_terms(rng, 4, k) for k in (3, 4, 2)]
    a, b, c = (observable(t) for t in lists)
    A, B, C = (reference_matrix(float32_terms(t), 4) for t in lists)
    for obs, dense in ((a, A), (a + 0.5 * b - c, A + 0.5 * B - C), (-b, -B), (b * 2, 2 * B),
                       (np.float32(-1.5) * c, -1.5 * C), (True * a, A)):
        m = obs.to_matrix(4)
        assert m.dtype == np.complex128 and m.shape == (16, 16)
        assert np.allclose(m, dense, atol=1e-6)
        assert np.allclose(obs.simplify().to_matrix(4), dense, atol=1e-6)
        assert np.array_equal(pickle.loads(pickle.dumps(obs)).to_matrix(4), m)
    assert (a + b).terms == a.terms + b.terms
    assert a.to_matrix(6).shape == (64, 64)
    # The state's convention: qubit 0 is the lowest bit of an index.
    assert np.array_equal(vt.Observable.pauli_z(0).to_matrix(2), np.diag([1, -1, 1, -1]))


def test_terms_num_qubits_and_simplify():
    Z, X = vt.Observable.pauli_z, vt.Observable.pauli_x
    h = Z(3, 0.5) + vt.Observable.pauli_string([("z", 1), ("X", 0)], 2.0) + X(0) - Z(3, 0.5)
    assert h.terms == [(0.5, [("Z", 3)]), (2.0, [("X", 0), ("Z", 1)]), (1.0, [("X", 0)]),
                       (-0.5, [("Z", 3)])]
    assert h.num_qubits == 4
    assert h.simplify().terms == [(2.0, [("X", 0), ("Z", 1)]), (1.0, [("X", 0)])]
    assert (X(0) + Z(1) + X(0, 2.0)).simplify().terms == [(3.0, [("X", 0)]), (1.0, [("Z", 1)])]
    nothing = (Z(2) - Z(2)).simplify()
    assert nothing.terms == [(0.0, [])] and nothing.num_qubits == 0
    assert np.array_equal(nothing.to_matrix(1), np.zeros((2, 2)))
    assert vt.Observable.pauli_string([]).num_qubits == 0


def test_algebra_refusals():
    z = vt.Observable.pauli_z(2)
    for bad in (float("nan"), float("inf"), np.float64("-inf")):
        with pytest.raises(ValueError, match="finite"):
            z * bad
    for bad in (1j, "2", None, [1.0]):
        with pytest.raises(TypeError):
            z * bad
    for op in (lambda: z * z, lambda: z + 1, lambda: 1 - z, lambda: z @ z):
        with pytest.raises(TypeError):
            op()
    with pytest.raises(ValueError, match="observable references qubit 2 but the matrix is for 2"):
        z.to_matrix(2)
    for n in (40, 2**64 - 1):
        with pytest.raises(MemoryError, match="cannot allocate a dense matrix of"):
            z.to_matrix(n)

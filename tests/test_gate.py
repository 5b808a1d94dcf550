"""Gate: the 41 static constructors, their matrices, argument handling and
the engine's validation messages."""

import numpy as np
import pytest

import reference as ref
from vantrel import Circuit, Gate

R_BITS = 0x3F3504F3  # 1/sqrt(2) in single precision
EPS_BITS = 0xB33BBD2E  # cos(pi/2) in single precision

SIGNATURES = {
    "h": "target", "i": "target", "x": "target", "y": "target", "z": "target",
    "s": "target", "sdg": "target", "t": "target", "tdg": "target",
    "p": "target, theta", "phase": "target, theta",
    "rx": "target, theta", "ry": "target, theta", "rz": "target, theta",
    "u": "target, theta, phi, lambda",
    "swap": "a, b", "iswap": "a, b",
    "ch": "control, target", "cx": "control, target", "cnot": "control, target",
    "cy": "control, target", "cz": "control, target",
    "cp": "control, target, theta", "cphase": "control, target, theta",
    "crx": "control, target, theta", "cry": "control, target, theta",
    "crz": "control, target, theta",
    "cu": "control, target, theta, phi, lambda, gamma=None",
    "ccx": "control_a, control_b, target", "toffoli": "control_a, control_b, target",
    "cswap": "control, a, b", "fredkin": "control, a, b",
    "mcx": "controls, target", "mcz": "controls, target",
    "mcp": "controls, target, theta", "mcphase": "controls, target, theta",
    "unitary": "targets, matrix", "controlled_unitary": "controls, targets, matrix",
    "measure": "target", "reset": "target", "barrier": "",
}


def random_unitary(dim, seed):
    rng = np.random.default_rng(seed)
    z = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


U4 = random_unitary(4, 7)

# (gate, qubits in matrix order, reference matrix) on a 3-qubit register.
CASES = {
    "h": (Gate.h(1), [1], ref.H),
    "i": (Gate.i(2), [2], ref.I),
    "x": (Gate.x(0), [0], ref.X),
    "y": (Gate.y(1), [1], ref.Y),
    "z": (Gate.z(2), [2], ref.Z),
    "s": (Gate.s(0), [0], ref.S),
    "sdg": (Gate.sdg(1), [1], ref.SDG),
    "t": (Gate.t(2), [2], ref.T),
    "tdg": (Gate.tdg(0), [0], ref.TDG),
    "p": (Gate.p(1, 0.7), [1], ref.P(0.7)),
    "phase": (Gate.phase(1, 0.7), [1], ref.P(0.7)),
    "rx": (Gate.rx(2, 0.9), [2], ref.RX(0.9)),
    "ry": (Gate.ry(0, -1.3), [0], ref.RY(-1.3)),
    "rz": (Gate.rz(1, 2.1), [1], ref.RZ(2.1)),
    "u": (Gate.u(2, 0.3, 0.5, 0.7), [2], ref.U(0.3, 0.5, 0.7)),
    "swap": (Gate.swap(2, 0), [2, 0], ref.SWAP),
    "iswap": (Gate.iswap(0, 2), [0, 2], ref.ISWAP),
    "ch": (Gate.ch(2, 0), [2, 0], ref.controlled(ref.H)),
    "cx": (Gate.cx(0, 2), [0, 2], ref.controlled(ref.X)),
    "cnot": (Gate.cnot(0, 2), [0, 2], ref.controlled(ref.X)),
    "cy": (Gate.cy(1, 0), [1, 0], ref.controlled(ref.Y)),
    "cz": (Gate.cz(2, 1), [2, 1], ref.controlled(ref.Z)),
    "cp": (Gate.cp(0, 1, 1.1), [0, 1], ref.controlled(ref.P(1.1))),
    "cphase": (Gate.cphase(0, 1, 1.1), [0, 1], ref.controlled(ref.P(1.1))),
    "crx": (Gate.crx(1, 2, 0.4), [1, 2], ref.controlled(ref.RX(0.4))),
    "cry": (Gate.cry(2, 0, 0.6), [2, 0], ref.controlled(ref.RY(0.6))),
    "crz": (Gate.crz(0, 1, -0.8), [0, 1], ref.controlled(ref.RZ(-0.8))),
    "cu": (
        Gate.cu(1, 0, 0.3, 0.5, 0.7, 0.4),
        [1, 0],
        ref.controlled(np.exp(0.4j) * ref.U(0.3, 0.5, 0.7)),
    ),
    "ccx": (Gate.ccx(0, 2, 1), [0, 2, 1], ref.controlled(ref.X, 2)),
    "toffoli": (Gate.toffoli(0, 2, 1), [0, 2, 1], ref.controlled(ref.X, 2)),
    "cswap": (Gate.cswap(1, 0, 2), [1, 0, 2], ref.controlled(ref.SWAP)),
    "fredkin": (Gate.fredkin(1, 0, 2), [1, 0, 2], ref.controlled(ref.SWAP)),
    "mcx": (Gate.mcx([2, 0], 1), [2, 0, 1], ref.controlled(ref.X, 2)),
    "mcz": (Gate.mcz((1,), 2), [1, 2], ref.controlled(ref.Z)),
    "mcp": (Gate.mcp(range(1, 3), 0, 0.9), [1, 2, 0], ref.controlled(ref.P(0.9), 2)),
    "mcphase": (Gate.mcphase(np.array([1, 2]), 0, 0.9), [1, 2, 0], ref.controlled(ref.P(0.9), 2)),
    "unitary": (Gate.unitary([2, 0], U4), [2, 0], U4),
    "controlled_unitary": (
        Gate.controlled_unitary([1], [2, 0], U4),
        [1, 2, 0],
        ref.controlled(U4),
    ),
}

PAIRS = [("p", "phase"), ("cp", "cphase"), ("cx", "cnot"), ("ccx", "toffoli"),
         ("cswap", "fredkin"), ("mcp", "mcphase")]


def prepare(num_qubits, index):
    """Gates that turn |0...0> into the basis state |index>."""
    return [Gate.x(q) for q in range(num_qubits) if index >> q & 1]


def run_on_basis(gate, num_qubits, index):
    return Circuit(prepare(num_qubits, index) + [gate]).run(num_qubits)


def f32_bits(values):
    return np.asarray(values, dtype=np.complex64).view(np.uint32)


CHANNELS = ["bit_flip", "phase_flip", "depolarizing", "two_qubit_depolarizing", "pauli_channel",
            "amplitude_damping", "phase_damping", "kraus"]


def test_the_41_constructors_and_their_signatures():
    public = sorted(name for name in vars(Gate) if not name.startswith("_"))
    assert public == sorted(list(SIGNATURES) + CHANNELS)
    assert len(SIGNATURES) == 41
    for name, args in SIGNATURES.items():
        method = getattr(Gate, name)
        assert method.__text_signature__ == f"({args})", name
        assert method.__doc__ is None  # nothing beyond the signature
        assert isinstance(vars(Gate)[name], staticmethod), name


@pytest.mark.parametrize("name", sorted(CASES))
def test_matrix_on_every_basis_state(name):
    gate, qubits, matrix = CASES[name]
    for index in range(8):
        got = run_on_basis(gate, 3, index)
        want = ref.apply(ref.basis_state(3, index), qubits, matrix)
        assert got.dtype == np.complex64
        np.testing.assert_allclose(got, want, atol=2e-6, err_msg=f"{name} on |{index}>")


@pytest.mark.parametrize("first, second", PAIRS)
def test_paired_names_build_identical_gates(first, second):
    for index in range(8):
        a = run_on_basis(CASES[first][0], 3, index)
        b = run_on_basis(CASES[second][0], 3, index)
        assert np.array_equal(f32_bits(a), f32_bits(b))
    # One implementation, two names: each name's messages name it.
    arity = SIGNATURES[first].count(",") + 1
    for name in (first, second):
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes at most {arity} arguments "):
            getattr(Gate, name)(*range(arity + 1))
        with pytest.raises(TypeError, match=rf"^{name}\(\) missing required argument "):
            getattr(Gate, name)()


def test_exact_single_precision_constants():
    # H on |0>: both amplitudes are exactly r.
    state = Circuit([Gate.h(0)]).run(1)
    assert list(f32_bits(state)) == [R_BITS, 0, R_BITS, 0]
    # S and Sdg keep cos(pi/2) as the real part of their phase, T/Tdg use r.
    assert list(f32_bits(run_on_basis(Gate.s(0), 1, 1))) == [0, 0, EPS_BITS, 0x3F800000]
    assert list(f32_bits(run_on_basis(Gate.sdg(0), 1, 1))) == [0, 0, EPS_BITS, 0xBF800000]
    assert list(f32_bits(run_on_basis(Gate.t(0), 1, 1))) == [0, 0, R_BITS, R_BITS]
    assert list(f32_bits(run_on_basis(Gate.tdg(0), 1, 1))) == [0, 0, R_BITS, R_BITS | 0x80000000]


def test_angles_are_single_precision_and_not_halved_for_phase():
    theta = 0.1  # not representable: narrowed to float32 first
    t32 = np.float32(theta)
    p = run_on_basis(Gate.p(0, theta), 1, 1)[1]
    assert p == pytest.approx(np.cos(t32) + 1j * np.sin(t32), abs=1e-7)
    rz0 = Circuit([Gate.rz(0, theta)]).run(1)[0]
    rz1 = run_on_basis(Gate.rz(0, theta), 1, 1)[1]
    half = np.float32(0.5) * t32
    assert rz0 == pytest.approx(np.exp(-1j * float(half)), abs=1e-7)
    assert rz1 == pytest.approx(np.exp(1j * float(half)), abs=1e-7)


def test_cu_gamma_defaults_to_no_phase():
    cases = [Gate.cu(0, 1, 0.3, 0.5, 0.7), Gate.cu(0, 1, 0.3, 0.5, 0.7, None),
             Gate.cu(0, 1, 0.3, 0.5, 0.7, 0.0), Gate.cu(0, 1, 0.3, 0.5, 0.7, gamma=0.0),
             Gate.cu(control=0, target=1, theta=0.3, phi=0.5, gamma=None, **{"lambda": 0.7})]
    for index in range(4):
        results = [f32_bits(run_on_basis(g, 2, index)) for g in cases]
        for r in results[1:]:
            assert np.array_equal(results[0], r)
    # A phase shows up on the controlled block only.
    with_phase = run_on_basis(Gate.cu(0, 1, 0.0, 0.0, 0.0, np.pi / 2), 2, 1)
    np.testing.assert_allclose(with_phase, [0, 1j, 0, 0], atol=1e-6)


def test_keyword_arguments_match_positional():
    a = run_on_basis(Gate.rx(theta=0.5, target=1), 2, 3)
    b = run_on_basis(Gate.rx(1, 0.5), 2, 3)
    assert np.array_equal(f32_bits(a), f32_bits(b))
    g = Gate.controlled_unitary(matrix=ref.X, targets=[0], controls=[1])
    assert run_on_basis(g, 2, 2)[3] == 1


def test_mcx_keeps_the_caller_order_of_controls():
    # Qubit list [1, 2, 0]: flips qubit 0 only when qubits 1 and 2 are set.
    gate = Gate.mcx([1, 2], 0)
    assert run_on_basis(gate, 3, 6)[7] == 1
    assert run_on_basis(gate, 3, 2)[2] == 1


def test_measure_reset_barrier_accept_any_qubit():
    Gate.measure(1000000)
    Gate.reset(target=1000000)
    assert Circuit([Gate.barrier()]).run(1)[0] == 1
    with pytest.raises(ValueError, match="^qubit index 1000000 is out of range for 2 qubits$"):
        Circuit([Gate.measure(1000000)]).run(2)


# --- argument conversion -----------------------------------------------------

@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: Gate.rx(0.5, 1), TypeError,
         "argument 'target': 'float' object cannot be interpreted as an integer"),
        (lambda: Gate.rx("a", "b"), TypeError,
         "argument 'target': 'str' object cannot be interpreted as an integer"),
        (lambda: Gate.rx(0, "a"), TypeError, "argument 'theta': must be real number, not str"),
        (lambda: Gate.cu(0, 1, 0, 0, 0, "g"), TypeError,
         "argument 'gamma': must be real number, not str"),
        (lambda: Gate.h(-1), OverflowError, None),
        (lambda: Gate.h(2**64), OverflowError, None),
        (lambda: Gate.mcx("01", 0), TypeError, "argument 'controls': Can't extract `str` to `Vec`"),
        (lambda: Gate.unitary(type("S", (str,), {})("0"), ref.X), TypeError,
         "argument 'targets': Can't extract `str` to `Vec`"),
        (lambda: Gate.mcx({1}, 0), TypeError,
         "argument 'controls': 'set' object cannot be converted to 'Sequence'"),
        (lambda: Gate.mcz(iter([1]), 0), TypeError,
         "argument 'controls': 'list_iterator' object cannot be converted to 'Sequence'"),
        (lambda: Gate.mcx([1.5], 0), TypeError,
         "argument 'controls': 'float' object cannot be interpreted as an integer"),
        (lambda: Gate.mcx([1, -1], 0), OverflowError, None),
        (lambda: Gate.controlled_unitary([0], "1", ref.X), TypeError,
         "argument 'targets': Can't extract `str` to `Vec`"),
        (lambda: Gate.rx(0), TypeError, r"rx() missing required argument 'theta' (pos 2)"),
        (lambda: Gate.rx(0, theta_=1), TypeError, r"rx() missing required argument 'theta' (pos 2)"),
        (lambda: Gate.rx(0, 1, 2), TypeError, "rx() takes at most 2 arguments (3 given)"),
        (lambda: Gate.h(target=0, x=1), TypeError, "h() takes at most 1 keyword argument (2 given)"),
        (lambda: Gate.cu(0, 1, 1, 2, 3, x=1), TypeError, "cu() got an unexpected keyword argument 'x'"),
        (lambda: Gate.cu(0, 1, 1, 2, 3, target=1), TypeError,
         "argument for cu() given by name ('target') and position (2)"),
        (lambda: Gate.barrier(1), TypeError, "barrier() takes no arguments (1 given)"),
        (lambda: Gate.barrier(a=1), TypeError, "barrier() takes no keyword arguments"),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_sequences_of_qubits_accepted():
    for controls in ([1, 2], (1, 2), range(1, 3), np.array([1, 2]), np.array([1, 2], np.uint8)):
        assert run_on_basis(Gate.mcx(controls, 0), 3, 6)[7] == 1


def test_float_like_angles_accepted():
    class Angle:
        def __float__(self):
            return 0.5

    a = run_on_basis(Gate.rx(0, Angle()), 1, 0)
    b = run_on_basis(Gate.rx(0, np.float64(0.5)), 1, 0)
    assert np.array_equal(f32_bits(a), f32_bits(b))


# --- matrix conversion and engine validation ---------------------------------

def test_matrix_conversion():
    # Integers, nested tuples, complex128, Fortran order and strided views.
    for m in ([[0, 1], [1, 0]], ((0, 1), (1, 0)), np.array([[0, 1], [1, 0]], np.complex128),
              np.asfortranarray(np.array([[0, 1], [1, 0]], np.float32)),
              np.array([[0, 9, 1], [1, 9, 0]])[:, ::2]):
        assert run_on_basis(Gate.unitary([0], m), 1, 0)[1] == 1
    # A C-contiguous array at an odd address is read byte by byte.
    raw = np.zeros(1 + 8 * 16, np.uint8)
    for size, targets, controls in ((2, [0], [1]), (4, [1, 0], [2])):
        unaligned = raw[1 : 1 + 8 * size * size].view(np.complex64).reshape(size, size)
        assert unaligned.flags.c_contiguous and not unaligned.flags.aligned
        unaligned[...] = U4 if size == 4 else ref.Y
        want = f32_bits(Circuit([Gate.unitary(targets, unaligned.copy())]).run(3))
        assert np.array_equal(f32_bits(Circuit([Gate.unitary(targets, unaligned)]).run(3)), want)
        got = run_on_basis(Gate.controlled_unitary(controls, targets, unaligned), 3, 4)
        np.testing.assert_allclose(got, ref.apply(ref.basis_state(3, 4), controls + targets,
                                                  ref.controlled(unaligned.astype(complex))), atol=2e-6)
    # Column-major input keeps its meaning (row-major copy).
    m = np.asfortranarray(ref.Y)
    np.testing.assert_allclose(run_on_basis(Gate.unitary([0], m), 1, 0), [0, 1j])
    with pytest.raises(TypeError, match="^matrix must be convertible to a 2D numpy complex64 array$"):
        Gate.unitary([0], [0, 1, 1, 0])
    with pytest.raises(TypeError, match="^matrix must be convertible to a 2D numpy complex64 array$"):
        Gate.controlled_unitary([1], [0], np.zeros((2, 2, 1)))
    with pytest.raises(ValueError, match="^matrix must be square$"):
        Gate.unitary([0], [[1, 0, 0], [0, 1, 0]])
    with pytest.raises(ValueError):  # NumPy's own error for ragged input
        Gate.unitary([0], [[1, 0], [0]])
    with pytest.raises(TypeError):  # NumPy's own error for non-numbers
        Gate.unitary([0], [[object(), 0], [0, 1]])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Gate.unitary([0, 1], ref.X),
         "matrix shape mismatch: expected 16 complex values for 2 targets, got 4"),
        (lambda: Gate.controlled_unitary([2], [0, 1], ref.X),
         "matrix shape mismatch: expected 16 complex values for 2 target qubits, got 4"),
        (lambda: Gate.unitary([0], [[1, 1], [0, 1]]), "matrix must be unitary within tolerance 1e-3"),
        (lambda: Gate.unitary([0], [[1, 0], [0, 1.002]]), "matrix must be unitary within tolerance 1e-3"),
        (lambda: Gate.unitary([], [[1]]), "unitary operation must target at least one qubit"),
        (lambda: Gate.unitary([2, 5, 2], [[1]]), "duplicate qubit index: 2"),
        (lambda: Gate.controlled_unitary([0], [], [[1]]),
         "controlled unitary requires at least one target qubit"),
        (lambda: Gate.mcx([], 0), "controlled unitary requires at least one control qubit"),
        (lambda: Gate.mcz([], 0), "controlled unitary requires at least one control qubit"),
        (lambda: Gate.mcp([], 0, 1.0), "controlled unitary requires at least one control qubit"),
        (lambda: Gate.mcphase([], 0, 1.0), "controlled unitary requires at least one control qubit"),
        (lambda: Gate.swap(1, 1), "duplicate qubit index: 1"),
        (lambda: Gate.iswap(3, 3), "duplicate qubit index: 3"),
        (lambda: Gate.cx(2, 2), "duplicate qubit index: 2"),
        (lambda: Gate.cu(4, 4, 0, 0, 0), "duplicate qubit index: 4"),
        (lambda: Gate.ccx(0, 1, 1), "duplicate qubit index: 1"),
        (lambda: Gate.toffoli(0, 0, 1), "duplicate qubit index: 0"),
        (lambda: Gate.cswap(0, 1, 1), "duplicate qubit index: 1"),
        (lambda: Gate.mcx([1, 1], 0), "duplicate qubit index: 1"),
        (lambda: Gate.mcx([0] * 70, 1), "too many qubits in operation: 71"),
        (lambda: Gate.controlled_unitary([3] * 40, [0, 1], U4), "duplicate qubit index: 3"),
        (lambda: Gate.mcz([0, 1], 0), "duplicate qubit index: 0"),
        (lambda: Gate.unitary(list(range(64)), [[1]]), "too many qubits in operation: 64"),
        (lambda: Gate.controlled_unitary(list(range(64)), [64], ref.X),
         "too many qubits in operation: 65"),
    ],
)
def test_engine_validation_messages(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


def test_nearly_unitary_matrix_within_tolerance_is_accepted():
    Gate.unitary([0], [[1, 0], [0, 1.0004]])


def on_subspace(state, controls, targets, matrix):
    """matrix applied to the targets where every control is 1; the rest unchanged."""
    out = state.copy()
    cmask = sum(1 << q for q in controls)
    offsets = [sum(((j >> (len(targets) - 1 - t)) & 1) << q for t, q in enumerate(targets))
               for j in range(1 << len(targets))]
    tmask = sum(1 << q for q in targets)
    for base in range(state.size):
        if base & cmask == cmask and base & tmask == 0:
            group = [base + o for o in offsets]
            out[group] = matrix @ state[group]
    return out


def test_gates_with_many_controls_are_compact_and_exact():
    # The qubits are checked before anything is built, and 40 controls cost
    # no more than one (their full matrix would take 2^83 bytes).
    with pytest.raises(ValueError, match="^duplicate qubit index: 0$"):
        Gate.mcx([0] * 20, 1)
    many = Gate.mcx(list(range(40)), 40)
    with pytest.raises(ValueError, match="^qubit index 20 is out of range for 20 qubits$"):
        Circuit([many]).run(20)
    # On a register that holds them: 16 controls in shuffled order around
    # one and two targets, on a state with every amplitude nonzero.
    n = 18
    rng = np.random.default_rng(5)
    prep = [Gate.h(q) for q in range(n)] + [Gate.u(q, *rng.uniform(0, 3, 3)) for q in range(n)]
    start = Circuit(prep).run(n).astype(np.complex128)
    qubits = [int(q) for q in rng.permutation(n)]
    for gate, controls, targets, matrix in [
        (Gate.mcx(qubits[:17], qubits[17]), qubits[:17], qubits[17:], ref.X),
        (Gate.mcp(qubits[1:], qubits[0], 0.7), qubits[1:], qubits[:1], ref.P(0.7)),
        (Gate.controlled_unitary(qubits[2:], qubits[:2], U4), qubits[2:], qubits[:2], U4),
    ]:
        got = Circuit(prep + [gate]).run(n)
        want = on_subspace(start, controls, targets, matrix)
        np.testing.assert_allclose(got, want, atol=2e-6)
        untouched = [i for i in range(0, 1 << n, 97) if not all(i >> q & 1 for q in controls)]
        assert np.array_equal(got[untouched], start[untouched].astype(np.complex64))

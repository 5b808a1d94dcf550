"""The PennyLane device vantrel.qubit against PennyLane's default.qubit:
random circuits of every operation the device applies itself, Jacobians by
the adjoint method and the shift rule, plan caching and batches.
PennyLane's own device test suite runs in CI besides (tools/test.sh)."""

import numpy as np
import pytest

qml = pytest.importorskip("pennylane")
pnp = pytest.importorskip("pennylane.numpy")
from vantrel_pennylane import VantrelQubit  # noqa: E402

ATOL = 2e-5  # single-precision amplitudes
# Device precisions and how close each comes to default.qubit: amplitudes and
# values, then Jacobians.
PRECISIONS = pytest.mark.parametrize(
    "c_dtype, atol, jac_atol", [(np.complex64, ATOL, 1e-4), (np.complex128, 1e-10, 1e-9)])


def random_unitary(rng, k):
    z = rng.normal(size=(2**k, 2**k)) + 1j * rng.normal(size=(2**k, 2**k))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / abs(np.diag(r)))


def every_operation(rng):
    """One of each operation the device applies without decomposition, on
    3 wires in shuffled wire orders, with random angles."""
    a = lambda: rng.uniform(-np.pi, np.pi)  # noqa: E731
    w = lambda k: [int(x) for x in rng.permutation(3)[:k]]  # noqa: E731
    ops = [
        lambda: qml.Hadamard(w(1)), lambda: qml.PauliX(w(1)), lambda: qml.PauliY(w(1)),
        lambda: qml.PauliZ(w(1)), lambda: qml.S(w(1)), lambda: qml.T(w(1)),
        lambda: qml.adjoint(qml.S(w(1))), lambda: qml.adjoint(qml.T(w(1))), lambda: qml.SX(w(1)),
        lambda: qml.CNOT(w(2)), lambda: qml.CZ(w(2)), lambda: qml.CY(w(2)), lambda: qml.CH(w(2)),
        lambda: qml.SWAP(w(2)), lambda: qml.ISWAP(w(2)), lambda: qml.Toffoli(w(3)),
        lambda: qml.CSWAP(w(3)), lambda: qml.CCZ(w(3)),
        lambda: qml.RX(a(), w(1)), lambda: qml.RY(a(), w(1)), lambda: qml.RZ(a(), w(1)),
        lambda: qml.PhaseShift(a(), w(1)), lambda: qml.U1(a(), w(1)),
        lambda: qml.Rot(a(), a(), a(), w(1)), lambda: qml.IsingXX(a(), w(2)),
        lambda: qml.IsingYY(a(), w(2)), lambda: qml.IsingZZ(a(), w(2)),
        lambda: qml.MultiRZ(a(), w(3)), lambda: qml.PauliRot(a(), "XIY", w(3)),
        lambda: qml.CRX(a(), w(2)), lambda: qml.QubitUnitary(random_unitary(rng, 2), w(2)),
        lambda: qml.GlobalPhase(a()), lambda: qml.MultiControlledX(w(3), control_values=[0, 1]),
    ]
    return [make() for make in ops]


def both(qfunc, wires=3, c_dtype=np.complex64, **kwargs):
    return (qml.QNode(qfunc, qml.device("default.qubit", wires=wires), **kwargs),
            qml.QNode(qfunc, VantrelQubit(wires=wires, c_dtype=c_dtype), **kwargs))


@PRECISIONS
@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("prep", [None, "StatePrep", "BasisState"])
def test_random_circuits_match_default_qubit(seed, prep, c_dtype, atol, jac_atol):
    rng = np.random.default_rng(seed)
    ops = every_operation(rng)
    rng.shuffle(ops)
    psi = rng.normal(size=8) + 1j * rng.normal(size=8)
    herm = rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4))
    h = qml.Hamiltonian([0.3, -1.2, 0.7], [qml.Z(0) @ qml.X(2), qml.Y(1), qml.Identity(0)])

    def circuit():
        if prep == "StatePrep":
            qml.StatePrep(psi / np.linalg.norm(psi), wires=[2, 0, 1])
        elif prep == "BasisState":
            qml.BasisState(np.array([1, 0, 1]), wires=[0, 1, 2])
        for op in ops:
            qml.apply(op)
        return (qml.state(), qml.probs(wires=[2, 0]), qml.expval(h), qml.var(qml.X(1) @ qml.Z(0)),
                qml.expval(qml.Hermitian(herm + herm.conj().T, wires=[1, 2])))

    expected, got = (node() for node in both(circuit, c_dtype=c_dtype))
    for e, g in zip(expected, got):
        np.testing.assert_allclose(g, e, atol=atol)


def layered(weights, n):
    for layer in weights:
        for q in range(n):
            qml.RY(layer[q], wires=q)
        for q in range(n - 1):
            qml.CNOT(wires=[q, q + 1])


@PRECISIONS
@pytest.mark.parametrize("diff_method", ["adjoint", "parameter-shift", "best"])
def test_jacobians_match_backprop(diff_method, c_dtype, atol, jac_atol):
    rng = np.random.default_rng(5)
    herm = rng.normal(size=(2, 2))
    u = random_unitary(rng, 2)

    def circuit(x):
        qml.Hadamard(0)
        qml.Rot(x[0], x[1], x[2], wires=1)
        qml.IsingZZ(x[3], wires=[0, 2])
        qml.QubitUnitary(u, wires=[2, 1])
        qml.CRY(x[4], wires=[1, 0])  # decomposed for the adjoint method
        qml.PauliRot(x[5], "YXZ", wires=[0, 1, 2])
        qml.U3(x[6], x[0], x[3], wires=2)
        qml.GlobalPhase(x[1])
        return (qml.expval(qml.Hamiltonian([0.5, -0.8], [qml.Z(0) @ qml.Z(1), qml.X(2)])),
                qml.expval(qml.Hermitian(herm + herm.T, wires=1)))

    x = pnp.array(rng.uniform(-np.pi, np.pi, 7), requires_grad=True)
    reference = qml.QNode(circuit, qml.device("default.qubit", wires=3), diff_method="backprop")
    node = qml.QNode(circuit, VantrelQubit(wires=3, c_dtype=c_dtype), diff_method=diff_method)
    jac = lambda f: qml.jacobian(lambda v: qml.math.stack(f(v)))(x)  # noqa: E731
    np.testing.assert_allclose(jac(node), jac(reference), atol=jac_atol)
    np.testing.assert_allclose(node(x), reference(x), atol=atol)


def test_training_loop_compiles_once_and_broadcasts_as_one_batch():
    n = 4
    dev = VantrelQubit(wires=n)
    obs = qml.sum(*(qml.Z(q) for q in range(n)))

    @qml.qnode(dev, diff_method="adjoint")
    def cost(w):
        layered(w, n)
        return qml.expval(obs)

    w = pnp.array(np.random.default_rng(1).uniform(-1, 1, (2, n)), requires_grad=True)
    for _ in range(5):
        w = w - 0.1 * qml.grad(cost)(w)
    assert dev.compile_count == 1

    # parameter-shift tapes and broadcast rows share the plan's structure:
    # one batch call each, equal bit for bit to the scalar evaluations
    shifted = qml.QNode(cost.func, dev, diff_method="parameter-shift")
    np.testing.assert_allclose(qml.grad(shifted)(w), qml.grad(cost)(w), atol=1e-4)
    assert dev.compile_count == 1

    @qml.qnode(dev)
    def sweep(a):
        qml.RX(a, wires=0)
        qml.CNOT([0, 1])
        return qml.expval(qml.Z(1)), qml.expval(qml.X(0))

    angles = np.linspace(-2, 2, 7)
    rows = np.array(sweep(angles))
    singles = np.array([sweep(a) for a in angles]).T
    assert np.array_equal(rows, singles)
    np.testing.assert_allclose(rows[0], np.cos(angles), atol=ATOL)


def test_finite_shots_are_seeded_and_split_into_shot_vectors():
    def make(seed):
        dev = VantrelQubit(wires=2, seed=seed)

        @qml.qnode(dev, shots=[100, (50, 2)])
        def circuit(x):
            qml.RX(x, wires=0)
            qml.CNOT([0, 1])
            return qml.sample(wires=[0, 1]), qml.counts(), qml.expval(qml.Z(1))

        return circuit(0.9)

    a, b, c = make(7), make(7), make(8)
    assert len(a) == 3 and a[0][0].shape == (100, 2) and a[2][0].shape == (50, 2)
    for x, y in zip(a, b):
        assert np.array_equal(x[0], y[0]) and x[1] == y[1] and x[2] == y[2]
    assert not np.array_equal(a[0][0], c[0][0])
    # the two wires agree on every shot; <Z1> = cos 0.9 within sampling error
    assert all(np.all(s[0][:, 0] == s[0][:, 1]) for s in a)
    assert abs(a[0][2] - np.cos(0.9)) < 0.3


def test_refusals():
    with pytest.raises(qml.exceptions.DeviceError, match="complex64 or numpy.complex128, not float32"):
        VantrelQubit(wires=1, c_dtype=np.float32)
    assert VantrelQubit(wires=1, c_dtype=np.complex128).c_dtype is np.complex128

    @qml.qnode(VantrelQubit(wires=1), diff_method="adjoint")
    def probs(x):
        qml.RX(x, 0)
        return qml.probs(wires=0)

    with pytest.raises(qml.exceptions.QuantumFunctionError):
        qml.jacobian(probs)(pnp.array(0.3))


def test_entry_point():
    from importlib import metadata

    points = metadata.entry_points(group="pennylane.plugins")
    if "vantrel.qubit" not in {p.name for p in points}:
        pytest.skip("vantrel.qubit is not registered: neither installed nor a build tree on the path")
    assert isinstance(qml.device("vantrel.qubit", wires=2), VantrelQubit)


def test_broadcast_adjoint_jacobian_runs_as_one_batch():
    def circuit(x, y):
        qml.RX(x, 0)
        qml.CNOT([0, 1])
        qml.RY(y, 1)
        return qml.expval(qml.Z(1)), qml.expval(qml.X(0) @ qml.Z(1) + 0.3 * qml.Identity(0))

    x = pnp.array([0.1, 0.5, 0.9], requires_grad=True)
    y = pnp.array(0.3, requires_grad=True)
    dev = VantrelQubit(wires=2)

    def jac(device, method):
        node = qml.QNode(circuit, device, diff_method=method)
        return qml.jacobian(lambda a, b: qml.math.stack(node(a, b)))(x, y)

    for got, expected in zip(jac(dev, "adjoint"), jac(qml.device("default.qubit", wires=2), "backprop")):
        np.testing.assert_allclose(got, expected, atol=1e-5)
    assert dev.compile_count == 1

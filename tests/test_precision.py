"""Double precision: plans compiled with precision="double" and one-off
circuits run with it against the complex128 reference, gradients against
central differences, every method's precision and types, the refusal of a
context or buffer of the other precision, and pickles. Single precision is
what every other test file checks."""

import copy
import pickle

import numpy as np
import pytest

import reference as ref
import vantrel as vt
from compiled_helpers import add_step, build, observable, random_steps, random_terms
from random_gates import random_gate

LABELS = "XYZ"


def random_program(rng, n, num_params, length):
    """Steps for a plan: fixed gates of every kind as ("gate", Gate, qubits,
    matrix), and parametric steps (reference.py's format) whose Pauli
    rotations have scales that single precision cannot hold exactly."""
    steps = []
    for _ in range(length):
        if rng.random() < 0.5:
            steps.append(("gate", *random_gate(rng, n, float)))
            continue
        step = random_steps(rng, n, num_params, 1, pauli=True)[0]
        if step[0] == "pauli":
            step = (*step[:3], float(rng.uniform(-2, 2)))
        steps.append(step)
    return steps


@pytest.mark.parametrize("n", range(1, 13))
def test_double_states_match_the_reference_on_both_routes(n):
    rng = np.random.default_rng(2400 + n)
    length = int(rng.integers(100, 201))
    terms = random_terms(rng, n, 2 * n)
    scale = sum(abs(c) for c, _ in terms)

    # One-off circuits: gates of every kind, angles kept in double.
    gates, state = [], ref.zero_state(n)
    for _ in range(length):
        gate, qubits, matrix = random_gate(rng, n, float)
        gates.append(gate)
        if qubits is not None:
            state = ref.apply(state, qubits, matrix)
    got = vt.Circuit(gates).run(n, precision="double")
    assert got.dtype == np.complex128
    assert np.max(np.abs(got - state)) <= 1e-12

    # Plans: the same gates as fixed steps among parametric ones.
    spec = vt.CircuitSpec(n)
    slots = [spec.param() for _ in range(4)]
    values = list(rng.uniform(-np.pi, np.pi, 4))  # a list of Python floats
    state = ref.zero_state(n)
    for step in random_program(rng, n, 4, length):
        if step[0] == "gate":
            spec.gate(step[1])
            if step[2] is not None:
                state = ref.apply(state, step[2], step[3])
        else:
            add_step(spec, slots, step)
            state = ref.apply_step(state, step, values)
    plan = spec.compile(precision="double")
    got = plan.statevector(values)
    assert got.dtype == np.complex128
    assert np.max(np.abs(got - state)) <= 1e-12
    value = plan.expectation(values, observable(terms))
    assert abs(value - ref.expectation(state, terms)) <= 1e-12 * scale


@pytest.mark.parametrize("n", [3, 7])
def test_double_gradients_match_central_differences(n):
    rng = np.random.default_rng(n)
    num_params = 5
    steps = [s for s in random_program(rng, n, num_params, 60) if s[0] != "gate"]
    plan = build(steps, n, num_params, precision="double")
    terms = random_terms(rng, n, 2 * n)
    obs, scale = observable(terms), sum(abs(c) for c, _ in terms)
    x = rng.uniform(-np.pi, np.pi, num_params)
    eps = 1e-5
    central = np.array([(plan.expectation(x + eps * e, obs) - plan.expectation(x - eps * e, obs))
                        / (2 * eps) for e in np.eye(num_params)])
    value, adjoint = plan.adjoint_value_and_gradient(x, obs)
    shift = plan.gradient(x, obs)
    assert value == plan.expectation(x, obs)
    assert adjoint.dtype == shift.dtype == np.float64
    assert np.max(np.abs(adjoint - central)) <= 1e-9 * scale
    assert np.max(np.abs(shift - central)) <= 1e-9 * scale
    assert np.max(np.abs(adjoint - shift)) <= 1e-9 * scale


def small_plan(precision):
    steps = [("h", 0), ("ry", 1, 0), ("cx", 0, 2), ("pauli", [("X", 0), ("Y", 2)], 1, 0.3),
             ("rz", 2, 2), ("cz", 1, 2), ("rx", 0, 1)]
    return build(steps, 3, 3, precision)


def test_every_method_computes_in_the_plans_precision():
    plan = small_plan("double")
    assert plan.precision == "double" and small_plan("single").precision == "single"
    z, x0 = vt.Observable.pauli_z(2, 0.7), vt.Observable.pauli_x(0, 1 / 3)
    h = z + x0
    rows = np.random.default_rng(1).uniform(-3, 3, (3, 3))
    x = rows[0]
    ctx = plan.execution_context()
    buf, batch = plan.param_buffer(), plan.param_batch_buffer(3)
    buf.numpy()[:] = x
    batch.numpy()[:] = rows
    assert buf.numpy().dtype == batch.numpy().dtype == np.float64

    state = plan.statevector(x)
    value = plan.expectation(x, h)
    grad = plan.gradient(x, h)
    assert state.dtype == np.complex128 and grad.dtype == np.float64 and type(value) is float
    states = [plan.statevector_buffer(buf), ctx.statevector(plan, x), ctx.statevector_buffer(plan, buf)]
    values = [plan.expectation_buffer(buf, h), ctx.expectation(plan, x, h),
              ctx.expectation_buffer(plan, buf, h), plan.expectations(x, [h, z])[0],
              ctx.expectations(plan, x, [z, h])[1], plan.batch_expectation(rows, h)[0],
              plan.batch_expectation_buffer(batch, h)[0], plan.batch_expectations(rows, [h])[0, 0]]
    grads = [plan.gradient_buffer(buf, h), ctx.gradient(plan, x, h), ctx.gradient_buffer(plan, buf, h),
             plan.batch_gradient(rows, h)[0], plan.batch_gradient_buffer(batch, h)[0]]
    pairs = [plan.value_and_gradient(x, h), plan.value_and_gradient_buffer(buf, h),
             ctx.value_and_gradient(plan, x, h), ctx.value_and_gradient_buffer(plan, buf, h)]
    for form in (plan.batch_value_and_gradient, plan.batch_value_and_gradient_buffer):
        v, g = form(batch if "buffer" in form.__name__ else rows, h)
        assert v.dtype == g.dtype == np.float64 and g.shape == (3, 3)
        pairs.append((v[0], g[0]))
    for s in states:
        assert s.dtype == np.complex128 and np.array_equal(s, state)
    for v in values:
        assert v == value
    for g in grads:
        assert g.dtype == np.float64 and np.array_equal(g, grad)
    for v, g in pairs:
        assert v == value and np.array_equal(g, grad)

    adjoint = [plan.adjoint_value_and_gradient(x, h), plan.adjoint_value_and_gradient_buffer(buf, h),
               ctx.adjoint_value_and_gradient(plan, x, h),
               ctx.adjoint_value_and_gradient_buffer(plan, buf, h)]
    for form in (plan.batch_adjoint_value_and_gradient, plan.batch_adjoint_value_and_gradient_buffer):
        v, g = form(batch if "buffer" in form.__name__ else rows, h)
        assert v.dtype == g.dtype == np.float64
        adjoint.append((v[0], g[0]))
    for v, g in adjoint:
        assert v == value and np.array_equal(g, adjoint[0][1])
    np.testing.assert_allclose(adjoint[0][1], grad, atol=1e-12)

    probabilities = plan.probabilities(x)
    assert np.array_equal(probabilities, ctx.probabilities(plan, x))
    np.testing.assert_allclose(probabilities, np.abs(state) ** 2, atol=1e-15)
    shots = plan.sample(x, 500, seed=3)
    assert shots == plan.sample(list(x), 500, seed=3)
    assert plan.counts(x, 500, seed=3) == {k: shots.count(k) for k in sorted(set(shots))}
    assert plan.draw() == small_plan("single").draw()


def test_one_off_circuits_in_double_precision():
    gates = [vt.Gate.h(0), vt.Gate.rx(1, 0.1), vt.Gate.cx(0, 1), vt.Gate.measure(0)]
    state, records = vt.Circuit(gates).run_with_measurements(2, precision="double")
    assert state.dtype == np.complex128 and len(records) == 1
    assert abs(np.vdot(state, state) - 1) < 1e-14
    assert len(vt.Circuit(gates[:3]).sample(2, 10, precision="double")) == 10
    with pytest.raises(MemoryError, match="double-precision state vector of 62 qubits"):
        vt.Circuit([]).run(62, precision="double")

    # Noise channels: trajectories in double precision, seeded; the same seed
    # draws the same branches at either precision.
    noisy = [vt.Gate.rx(0, 1.0), vt.Gate.depolarizing(0, 0.2), vt.Gate.cx(0, 1)]
    shots = vt.Circuit(noisy).sample(2, 200, seed=4, precision="double")
    assert shots == vt.Circuit(noisy).sample(2, 200, seed=4, precision="double")
    assert set(shots) == {0, 3}
    spec = vt.CircuitSpec(2)
    for gate in noisy:
        spec.gate(gate)
    plan = spec.compile(precision="double")
    mean, _ = plan.noisy_expectation([], vt.Observable.pauli_z(1), 500, seed=1)
    single, _ = spec.compile().noisy_expectation([], vt.Observable.pauli_z(1), 500, seed=1)
    assert mean != single and abs(mean - single) < 1e-6
    means, _ = plan.batch_noisy_expectation(np.zeros((1, 0)), vt.Observable.pauli_z(1), 500, seed=1)
    assert means[0] == mean


def test_precision_is_checked():
    spec = vt.CircuitSpec(1)
    circuit = vt.Circuit([vt.Gate.h(0)])
    calls = [lambda p: spec.compile(precision=p), lambda p: circuit.run(1, precision=p),
             lambda p: circuit.run_with_measurements(1, precision=p),
             lambda p: circuit.sample(1, 1, precision=p)]
    for call in calls:
        for bad in ("half", "Double", None, 64):
            with pytest.raises(ValueError, match=f"^precision must be 'single' or 'double', got {bad!r}$"):
                call(bad)
    assert spec.compile.__text_signature__ == "($self, precision='single')"
    with pytest.raises(AttributeError):
        spec.compile().precision = "double"


@pytest.mark.parametrize("plan_precision, other", [("single", "double"), ("double", "single")])
def test_a_context_or_buffer_of_the_other_precision_is_refused(plan_precision, other):
    plan, foreign = small_plan(plan_precision), small_plan(other)
    obs = vt.Observable.pauli_z(0)
    x = np.zeros(3)
    calls = {
        "ExecutionContext": [
            lambda: foreign.execution_context().expectation(plan, x, obs),
            lambda: foreign.execution_context().statevector_buffer(plan, plan.param_buffer()),
            lambda: foreign.execution_context().expectations(plan, x, [obs]),
        ],
        "ParamBuffer": [
            lambda: plan.statevector_buffer(foreign.param_buffer()),
            lambda: plan.execution_context().adjoint_value_and_gradient_buffer(
                plan, foreign.param_buffer(), obs),
        ],
        "ParamBatchBuffer": [lambda: plan.batch_expectation_buffer(foreign.param_batch_buffer(2), obs)],
    }
    for what, failing in calls.items():
        for call in failing:
            message = f"^{what} is {other} precision, but the CompiledCircuit is {plan_precision} precision$"
            with pytest.raises(TypeError, match=message):
                call()


# A plan pickled before plans had a precision: three qubits, two slots, a
# Pauli-string rotation and a custom unitary; and its final state for
# params [0.25, -1.5] as complex64 bytes.
OLD_PLAN = bytes.fromhex(
    "020503000000000000000200000000000000050000000000000000000000000000000000010000000000000000000000"
    "000000000400000000000000f304353f00000000f304353f00000000f304353f00000000f30435bf0000000001000000"
    "000100000000000000020000000000000000000000000000000100000000000000040000000000000000000000000000"
    "000000803f000000000000803f0000000000000000000000000102000101020000000000000000000000000000000201"
    "000000000000000000003f020000000000000001000000000000000202000000000000000200000000000000000000"
    "020000000000000002000000000000000000000000000000100000000000000000000000000000000000000000000000"
    "ef90743f6d4e973e0000000000000000000000000000000000000000000000000000000000000000ef90743f6d4e973e"
    "ef90743f6d4e973e0000000000000000000000000000000000000000000000000000000000000000ef90743f6d4e973e"
    "0000000000000000000000000000000000010101000000000000006100")
OLD_STATE = bytes.fromhex(
    "6e0ab43d7874d8bb000000000000000000000000000000008ef48c3df7a5613d6c380c3fc978e03e00000000000000000"
    "000000000000000201a333f905357bd")


def test_pickles_keep_the_precision_and_old_payloads_load_as_single():
    old = vt.CompiledCircuit._from_pickle(OLD_PLAN)
    assert old.precision == "single"
    assert old.statevector([0.25, -1.5]).tobytes() == OLD_STATE
    for precision in ("single", "double"):
        plan = small_plan(precision)
        state = plan.statevector([0.1, 0.2, 0.3])
        for twin in (pickle.loads(pickle.dumps(plan)), copy.copy(plan), copy.deepcopy(plan)):
            assert twin.precision == precision
            assert np.array_equal(twin.statevector([0.1, 0.2, 0.3]), state)

"""Pickling and copying. Every value class round-trips, through every pickle
protocol and copy.copy / copy.deepcopy, to a new object that computes the same
bits; the classes that hold scratch state or a caller's array refuse with a
TypeError saying what to pickle instead; a payload from outside is validated
before it is trusted (the engine tests fuzz the decoder itself)."""

import copy
import pickle

import numpy as np
import pytest

import vantrel as vt
from compiled_helpers import build, observable, random_steps, random_terms

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def round_trips(obj):
    """Every copy a user can make: a pickle of each protocol, copy, deepcopy."""
    for protocol in PROTOCOLS:
        yield pickle.loads(pickle.dumps(obj, protocol))
    yield copy.copy(obj)
    yield copy.deepcopy(obj)


def state(obj):
    """The encoded value that an object pickles as."""
    restore, (payload,) = obj.__reduce__()
    assert restore == type(obj)._from_pickle
    return payload


def bits(*values):
    return b"".join(np.asarray(v).tobytes() for v in values)


def every_result(circuit, obs, batch):
    """The bits of every evaluation method of a CompiledCircuit and of a context."""
    ctx, buf, batch_buf = circuit.execution_context(), circuit.param_buffer(), None
    out = [circuit.num_qubits, circuit.parameter_count]
    for params in batch:
        buf.numpy()[:] = params
        out += [bits(circuit.statevector(params)), bits(circuit.statevector_buffer(buf)),
                bits(circuit.expectation(params, obs)), bits(circuit.expectation_buffer(buf, obs)),
                bits(circuit.gradient(params, obs)), bits(circuit.gradient_buffer(buf, obs)),
                bits(*circuit.value_and_gradient(params, obs)),
                bits(*circuit.value_and_gradient_buffer(buf, obs)),
                bits(ctx.statevector(circuit, params)), bits(ctx.expectation(circuit, params, obs)),
                bits(*ctx.value_and_gradient(circuit, params, obs)),
                bits(circuit.sample(params, 8, seed=11))]
    batch_buf = circuit.param_batch_buffer(len(batch))
    batch_buf.numpy()[:] = batch
    out += [bits(circuit.batch_expectation(batch, obs)), bits(circuit.batch_gradient(batch, obs)),
            bits(*circuit.batch_value_and_gradient(batch, obs)),
            bits(*circuit.batch_value_and_gradient_buffer(batch_buf, obs))]
    return out


@pytest.mark.parametrize("seed", range(6))
def test_compiled_circuits_and_observables_round_trip_to_the_same_bits(seed):
    rng = np.random.default_rng(seed)
    n, num_params = 1 + seed, int(rng.integers(0, 5))
    # Runs of fixed gates on one qubit compile into fused steps, kept as they are.
    steps = [("h", 0), ("z", 0), ("x", 0)] + random_steps(rng, n, num_params, 5 * n + 10,
                                                          pauli=True)
    circuit, obs = build(steps, n, num_params), observable(random_terms(rng, n, 4))
    batch = rng.uniform(-np.pi, np.pi, (3, num_params)).astype(np.float32)
    expected = every_result(circuit, obs, batch)
    for c, o in zip(round_trips(circuit), round_trips(obs)):
        assert type(c) is vt.CompiledCircuit and type(o) is vt.Observable
        assert c is not circuit and o is not obs
        assert state(c) == state(circuit) and state(o) == state(obs)
        assert every_result(c, o, batch) == expected


def test_plans_with_measurements_round_trip_to_the_same_seeded_samples():
    spec = vt.CircuitSpec(3)
    a, b = spec.param(), spec.param()
    spec.gate(vt.Gate.h(0))
    spec.rzz(0, 2, a, scale=-0.5)
    spec.gate(vt.Gate.measure(0))
    spec.gate(vt.Gate.barrier())
    spec.pauli_rotation([("X", 1), ("I", 0), ("Y", 2)], b, 2.25)
    spec.gate(vt.Gate.reset(1))
    spec.gate(vt.Gate.crx(2, 1, 0.7))
    circuit = spec.compile()
    params = np.array([0.4, -1.3], np.float32)
    expected = circuit.sample(params, 64, seed=3)
    for back in round_trips(circuit):
        assert state(back) == state(circuit)
        assert back.sample(params, 64, seed=3) == expected
    for back in round_trips(spec):
        assert state(back.compile()) == state(circuit)


def random_unitary(rng, d):
    q, r = np.linalg.qr(rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d)))
    return q * (np.diag(r) / abs(np.diag(r)))


def every_gate(rng):
    angle = lambda: float(rng.uniform(-4, 4))  # noqa: E731
    G = vt.Gate
    gates = [getattr(G, name)(q % 4) for q, name in enumerate(("h", "i", "x", "y", "z", "s", "sdg", "t", "tdg"))]
    gates += [getattr(G, name)(2, angle()) for name in ("p", "phase", "rx", "ry", "rz")]
    gates += [G.u(1, angle(), angle(), angle()), G.swap(0, 3), G.iswap(3, 1)]
    gates += [getattr(G, name)(1, 2) for name in ("ch", "cx", "cnot", "cy", "cz")]
    gates += [getattr(G, name)(3, 0, angle()) for name in ("cp", "cphase", "crx", "cry", "crz")]
    gates += [G.cu(0, 2, angle(), angle(), angle()), G.cu(2, 0, angle(), angle(), angle(), gamma=angle()),
              G.ccx(0, 1, 2), G.toffoli(3, 2, 1), G.cswap(1, 0, 3), G.fredkin(0, 2, 1),
              G.mcx([3, 0, 1], 2), G.mcz([2], 0), G.mcp([1, 2], 3, angle()), G.mcphase([0], 1, angle()),
              G.unitary([2, 0], random_unitary(rng, 4)),
              G.controlled_unitary([3], [1, 0], random_unitary(rng, 4)),
              G.unitary([1], [[1, 0], [0, 1.0004]]),  # unitary only within the tolerance
              G.rx(0, float("nan"))]  # accepted when built, so accepted when loaded
    return gates


def test_gates_and_circuits_round_trip_to_the_same_bits():
    rng = np.random.default_rng(3)
    gates = every_gate(rng)
    prepare = [vt.Gate.h(q) for q in range(4)] + [vt.Gate.t(q) for q in range(4)]
    for g in gates:
        expected = bits(vt.Circuit(prepare + [g]).run(4))
        for back in round_trips(g):
            assert type(back) is vt.Gate and state(back) == state(g)
            assert bits(vt.Circuit(prepare + [back]).run(4)) == expected
    for g in (vt.Gate.measure(7), vt.Gate.reset(2**64 - 1), vt.Gate.barrier()):
        assert all(state(back) == state(g) for back in round_trips(g))

    # 16 or more one-qubit gates: the circuit holds its gates fused, and a
    # loaded circuit holds the same fused list (it is not fused again).
    long = vt.Circuit(gates[:-1] + [vt.Gate.barrier()] + prepare * 2)
    measured = vt.Circuit([vt.Gate.x(1), vt.Gate.measure(1), vt.Gate.reset(1), vt.Gate.measure(1)])
    for c in (long, measured, vt.Circuit([])):
        for back in round_trips(c):
            assert type(back) is vt.Circuit and state(back) == state(c)
    for back in round_trips(long):
        assert bits(back.run(5)) == bits(long.run(5))
    for back in round_trips(measured):
        state_vector, records = back.run_with_measurements(2)
        assert records == [(1, True), (1, False)] and state_vector[0] == 1


def test_specs_and_parameters_round_trip_as_independent_objects():
    spec = vt.CircuitSpec(3)
    handles = [spec.param(), spec.param(""), spec.param("θ"), spec.param("a\x00b")]
    spec.h(0)
    spec.h(0)
    spec.rx(1, handles[2])
    spec.cz(2, 0)
    for p in handles:
        for back in round_trips(p):
            assert type(back) is vt.Parameter and back is not p
            assert (back.index, back.name, repr(back)) == (p.index, p.name, repr(p))
    plan = state(spec.compile())
    for back in round_trips(spec):
        assert type(back) is vt.CircuitSpec and state(back) == state(spec)
        assert (back.num_qubits, back.parameter_count) == (3, 4)
        assert state(back.compile()) == plan
        # A loaded handle names its slot in any spec, like the original.
        back.ry(2, pickle.loads(pickle.dumps(handles[3])))
        back.param()
        assert back.parameter_count == 5 and spec.parameter_count == 4
    assert state(spec.compile()) == plan


@pytest.mark.parametrize("make, instead", [
    (lambda c: c.execution_context(), r"pickle the CompiledCircuit and call its execution_context\(\)"),
    (lambda c: c.param_buffer(), r"pickle the array from numpy\(\), or the CompiledCircuit and call its param_buffer\(\)"),
    (lambda c: c.param_batch_buffer(2), r"param_batch_buffer\(batch_size\)"),
])
def test_scratch_and_shared_state_refuse_to_pickle_or_copy(make, instead):
    obj = make(build([("ry", 0, 0)], 1, 1))
    name = type(obj).__name__
    for attempt in [lambda: copy.copy(obj), lambda: copy.deepcopy(obj)] + [
            lambda p=p: pickle.dumps(obj, p) for p in PROTOCOLS]:
        with pytest.raises(TypeError, match=rf"^cannot pickle '{name}' object: .*{instead}"):
            attempt()


def test_loading_validates_the_payload():
    spec = vt.CircuitSpec(2)
    spec.rx(1, spec.param("a"))
    spec.cx(0, 1)
    circuit = spec.compile()
    good = state(circuit)
    load = vt.CompiledCircuit._from_pickle
    assert load.__text_signature__ == "($type, state)"
    for cut in range(len(good)):
        with pytest.raises(ValueError, match="^invalid CompiledCircuit payload: "):
            load(good[:cut])
    with pytest.raises(ValueError, match="^invalid CompiledCircuit payload: 1 trailing bytes after the value$"):
        load(good + b"\0")
    with pytest.raises(ValueError, match="^invalid CompiledCircuit payload: format version 9 is not supported"):
        load(b"\x09" + good[1:])
    with pytest.raises(ValueError, match="^invalid Gate payload: it holds a CompiledCircuit, not a Gate$"):
        vt.Gate._from_pickle(good)
    with pytest.raises(TypeError, match="^argument 'state': 'str' object cannot be converted to 'PyBytes'$"):
        load("payload")
    # A forged pickle: the slot of the rotation moved beyond the parameter count.
    slot_at = good.index(b"\x01\x00" + (1).to_bytes(8, "little")) + 10
    forged = good[:slot_at] + (5).to_bytes(8, "little") + good[slot_at + 8:]
    with pytest.raises(ValueError, match="step 0: parameter slot 5 does not exist"):
        pickle.loads(pickle.dumps(circuit).replace(good, forged))

    # Random corruption: each payload loads as a valid value or is refused
    # with ValueError; nothing else happens to the interpreter.
    rng = np.random.default_rng(0)
    for _ in range(300):
        data = bytearray(good)
        for _ in range(int(rng.integers(1, 4))):
            data[int(rng.integers(len(data)))] = int(rng.integers(256))
        try:
            loaded = load(bytes(data))
        except ValueError as e:
            assert str(e).startswith("invalid CompiledCircuit payload: ")
        else:
            assert state(loaded) == bytes(data)


def u64(value):
    return value.to_bytes(8, "little")


def unitary_payload(targets, matrix=b"", controls=0, label=b"\0"):
    """A Gate payload written by hand: a unitary on `targets` with the raw
    complex64 entries `matrix`."""
    return (bytes([2, 1, 0]) + u64(controls) + u64(len(targets)) + b"".join(map(u64, targets))
            + u64(len(matrix) // 8) + matrix + label)


def run_limited(code, cpu_seconds):
    """Runs `code` in a child limited to `cpu_seconds` of CPU time: work that
    should be quick but is not gets the child killed instead of hanging."""
    import inspect
    import subprocess
    import sys
    prelude = ("import resource\n"
               f"resource.setrlimit(resource.RLIMIT_CPU, ({cpu_seconds}, {cpu_seconds}))\n"
               + inspect.getsource(u64) + inspect.getsource(unitary_payload))
    result = subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


def test_forged_sizes_are_refused_without_quadratic_work():
    # A million targets: the refusal (first duplicate, else too many qubits)
    # takes a pairwise scan of 5e11 comparisons if done naively.
    out = run_limited(f"""
import vantrel as vt
many = list(range(10**6))
for targets, expected in [(many, "too many qubits in operation: 1000000"),
                          (many + [999], "duplicate qubit index: 999")]:
    try:
        vt.Gate._from_pickle(unitary_payload(targets))
    except ValueError as e:
        assert str(e) == "invalid Gate payload: " + expected, e
try:
    vt.Gate.unitary(many, [[1]])
except ValueError as e:
    assert str(e) == "too many qubits in operation: 1000000", e
print("refused")
""", cpu_seconds=30)
    assert out == "refused\n"


@pytest.mark.not_under_asan("the resident size includes the sanitizer's own allocations")
def test_decoding_memory_is_a_small_multiple_of_the_payload():
    # 4 MB payloads of the cheapest item of each list repeated: a barrier (one
    # or two bytes, kept as one run) and an unnamed parameter (nothing kept)
    # cost nothing each; a measurement (22 times its 10 bytes as a step
    # today), a rotation and a noise channel (its probabilities, no matrix)
    # cost one list value each, reserved once. The
    # growth of the peak resident size is measured from a peak reset after
    # the payload is built (where Linux allows it; otherwise from the peak so
    # far, which can only understate it).
    out = run_limited("""
import resource
import vantrel as vt
def peak():
    try:
        with open("/proc/self/status") as f:
            return int(f.read().split("VmHWM:")[1].split()[0]) * 1024
    except (OSError, IndexError):
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
def payloads(build):
    # The payloads of an empty list and of one item: where they first differ
    # is the list's count, what the second adds after it is the item.
    none, one = (build(k).__reduce__()[1][0] for k in (0, 1))
    at = next(i for i in range(len(none)) if none[i] != one[i])
    item = one[at + 8:at + 8 + len(one) - len(none)]
    return lambda n: none[:at] + u64(n) + item * n + none[at + 8:], item
def spec(k, add):
    s = vt.CircuitSpec(1)
    t = [s.param() for _ in range(k if add is None else 1)]
    for _ in range(k if add else 0):
        add(s, t[0])
    return s
cases = [payloads(lambda k: vt.Circuit([g] * k))
         for g in (vt.Gate.barrier(), vt.Gate.measure(0), vt.Gate.two_qubit_depolarizing(0, 1, 0.1))]
for add in (lambda s, t: s.gate(vt.Gate.barrier()), lambda s, t: s.gate(vt.Gate.measure(0)),
            lambda s, t: s.rx(0, t), None):
    cases += [payloads(lambda k: spec(k, add)), payloads(lambda k: spec(k, add).compile())]
# A plan naming its slots, none by name (the names follow its steps).
cases[-1] = (lambda n: bytes([2, 5]) + u64(1) + u64(n) + u64(0) + b"\\1" + b"\\0" * n), b"\\0"
for make, item in cases:
    payload = make((4 << 20) // len(item))
    cls = {4: vt.CircuitSpec, 5: vt.CompiledCircuit}.get(payload[1], vt.Circuit)
    reset_peak()
    before = peak()
    value = cls._from_pickle(payload)
    print(f"{(peak() - before) / len(payload):.1f}", item in (b"\\0", b"\\3", b"\\0\\3"),
          cls.__name__, item[:2].hex())
    del value, payload
""", cpu_seconds=60)
    rows = [line.split() for line in out.splitlines()]
    assert len(rows) == 11 and sum(free == "True" for _, free, *_ in rows) == 5, out
    assert all(float(ratio) < (1 if free == "True" else 24) for ratio, free, *_ in rows), out


@pytest.mark.not_under_asan("a 128 MiB matrix is checked for unitarity")
def test_a_long_decode_stops_on_ctrl_c():
    # A 12-qubit identity: checking its unitarity is 7e10 complex products.
    out = run_limited("""
import signal
import numpy as np
import vantrel as vt
payload = unitary_payload(range(12), np.eye(4096, dtype=np.complex64).tobytes())
signal.signal(signal.SIGALRM, signal.default_int_handler)
signal.setitimer(signal.ITIMER_REAL, 0.3)
try:
    vt.Gate._from_pickle(payload)
except KeyboardInterrupt:
    print("interrupted")
assert vt.Gate._from_pickle(unitary_payload([0], np.eye(2, dtype=np.complex64).tobytes()))
""", cpu_seconds=15)
    assert out == "interrupted\n"


def test_a_label_must_name_the_gates_matrix():
    h = state(vt.Gate.h(0))
    rx = state(vt.Gate.crx(0, 1, 0.5))
    assert vt.Gate._from_pickle(h).__reduce__()[1][0] == h
    as_x = h[:-2] + bytes([2, 0])  # label: standard gate 2 (X), no angles
    with pytest.raises(ValueError, match="^invalid Gate payload: the label X does not match the gate's matrix$"):
        vt.Gate._from_pickle(as_x)
    other_angle = rx[:-4] + np.float32(0.25).tobytes()
    with pytest.raises(ValueError, match="^invalid Gate payload: the label RX does not match"):
        vt.Gate._from_pickle(other_angle)

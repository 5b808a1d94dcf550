import _thread
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vantrel as vt
from compiled_helpers import build, observable, random_steps, random_terms


def medium_case(seed=3, n=13, num_params=8):
    rng = np.random.default_rng(seed)
    steps = random_steps(rng, n, num_params, 60)
    circuit = build(steps, n, num_params)
    obs = observable(random_terms(rng, n, 4))
    data = rng.uniform(-np.pi, np.pi, (6, num_params)).astype(np.float32)
    return circuit, obs, data


def run_threads(target, count):
    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_threads_with_their_own_contexts_match_a_serial_loop():
    circuit, obs, data = medium_case(n=9)
    serial = [(circuit.expectation(row, obs), circuit.gradient(row, obs),
               circuit.statevector(row), circuit.adjoint_value_and_gradient(row, obs)[1])
              for row in data]
    results = {}

    def work(i):
        ctx = circuit.execution_context()
        buf = circuit.param_buffer()
        out = []
        for _ in range(3):
            for row in data:
                buf.numpy()[:] = row
                out.append((ctx.expectation(circuit, row, obs), ctx.gradient(circuit, row, obs),
                            ctx.statevector(circuit, row), circuit.expectation(row, obs),
                            ctx.value_and_gradient_buffer(circuit, buf, obs),
                            ctx.adjoint_value_and_gradient(circuit, row, obs)))
        results[i] = out

    run_threads(work, 4)
    for out in results.values():
        assert len(out) == 3 * len(data)
        for k, (e, g, s, e_plain, (v, g_buf), (va, ga)) in enumerate(out):
            se, sg, ss, sa = serial[k % len(data)]
            assert e == se and e_plain == se and v == se and va == se
            np.testing.assert_array_equal(ga, sa)
            np.testing.assert_array_equal(g, sg)
            np.testing.assert_array_equal(g_buf, sg)
            np.testing.assert_array_equal(s, ss)


def test_concurrent_batches_on_one_circuit():
    circuit, obs, data = medium_case(n=8)
    expected = circuit.batch_value_and_gradient(data, obs)
    results = {}

    def work(i):
        results[i] = [circuit.batch_value_and_gradient(data, obs) for _ in range(3)]

    run_threads(work, 3)
    for runs in results.values():
        for values, grads in runs:
            np.testing.assert_array_equal(values, expected[0])
            np.testing.assert_array_equal(grads, expected[1])


def test_a_context_in_use_is_refused_to_other_threads():
    circuit, obs, data = medium_case()
    params = data[0]
    ctx = circuit.execution_context()
    expected = circuit.gradient(params, obs)
    refused, other_errors, results = [0], [], []
    stop = threading.Event()

    def work(_):
        while not stop.is_set():
            try:
                results.append(ctx.gradient(circuit, params, obs))
            except RuntimeError as e:
                if str(e) == "Already borrowed":
                    refused[0] += 1
                else:
                    other_errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not (refused[0] and len(results) >= 3):
        time.sleep(0.01)
    stop.set()
    for t in threads:
        t.join()
    assert not other_errors
    assert refused[0] >= 1 and len(results) >= 3
    for g in results:
        np.testing.assert_array_equal(g, expected)
    np.testing.assert_array_equal(ctx.gradient(circuit, params, obs), expected)


class Stopped(Exception):
    pass


def ran_other_thread(call):
    """Whether another Python thread ran while `call` was in progress.

    The other thread waits on an event the caller sets just before the call;
    with a switch interval far longer than any call it can take the
    interpreter lock during the call only if the call releases it. Finding
    the call in progress, it stops it through the main thread's signal
    handlers, which a released call runs while it works: such a call can be
    made long enough for any scheduling delay and still ends soon after the
    other thread got in. A call that keeps the lock ends before the other
    thread runs, which then finds no call in progress."""
    in_call, seen = [False], []
    go = threading.Event()

    def other():
        go.wait()
        seen.append(in_call[0])
        if in_call[0]:
            _thread.interrupt_main()

    def stop(signum, frame):
        if in_call[0]:
            raise Stopped

    previous = signal.signal(signal.SIGINT, stop)
    old = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    thread = threading.Thread(target=other)
    try:
        thread.start()
        go.set()
        in_call[0] = True
        try:
            call()
            in_call[0] = False
        except Stopped:
            in_call[0] = False
    finally:
        in_call[0] = False
        sys.setswitchinterval(old)
        thread.join()
        signal.signal(signal.SIGINT, previous)  # runs a pending handler first
    return seen[0]


def test_plain_methods_release_the_interpreter_lock_and_buffer_methods_keep_it():
    # The released calls would take minutes to finish: the other thread stops
    # them once it is in.
    rng = np.random.default_rng(0)
    long_circuit = build(random_steps(rng, 21, 8, 800), 21, 8)
    long_obs = observable(random_terms(rng, 21, 4))
    rows = rng.uniform(-1, 1, (4, 8)).astype(np.float32)
    released = [lambda: long_circuit.batch_value_and_gradient(rows, long_obs),
                lambda: long_circuit.value_and_gradient(rows[0], long_obs),
                lambda: long_circuit.batch_adjoint_value_and_gradient(rows, long_obs),
                lambda: long_circuit.adjoint_value_and_gradient(rows[0], long_obs)]
    for call in released:
        assert ran_other_thread(call)

    circuit, obs, _ = medium_case(n=12, num_params=6)
    data = rng.uniform(-1, 1, (64, 6)).astype(np.float32)
    batch = circuit.param_batch_buffer(64)
    batch.numpy()[:] = data
    buf = circuit.param_buffer()
    buf.numpy()[:] = data[0]
    held = [lambda: circuit.batch_value_and_gradient_buffer(batch, obs),
            lambda: circuit.value_and_gradient_buffer(buf, obs),
            lambda: circuit.batch_adjoint_value_and_gradient_buffer(batch, obs),
            lambda: circuit.adjoint_value_and_gradient_buffer(buf, obs)]
    for call in held:
        assert not any(ran_other_thread(call) for _ in range(3))
    np.testing.assert_array_equal(circuit.batch_expectation_buffer(batch, obs),
                                  circuit.batch_expectation(data, obs))
    np.testing.assert_equal(circuit.batch_adjoint_value_and_gradient_buffer(batch, obs),
                            circuit.batch_adjoint_value_and_gradient(data, obs))


def test_daemon_threads_inside_calls_at_interpreter_exit():
    # Threads still inside released calls when the interpreter exits are ended
    # by it as they re-take the lock; the process exits normally. Each call
    # would take a minute.
    code = """
import sys, threading
import numpy as np
import vantrel as vt
from compiled_helpers import build, random_steps
# With a switch interval far longer than the test, a thread gives up the
# interpreter lock only by blocking: once the main thread has seen every
# thread's event, each of them is in the call after it.
sys.setswitchinterval(100.0)
circuit = build(random_steps(np.random.default_rng(0), 20, 8, 400), 20, 8)
obs = vt.Observable.pauli_z(0)
data = np.zeros((64, 8), np.float32)
entered = [threading.Event() for _ in range(3)]
def work(event):
    while True:
        event.set()
        circuit.batch_expectation(data, obs)
        circuit.gradient(data[0], obs)
for event in entered:
    threading.Thread(target=work, args=(event,), daemon=True).start()
for event in entered:
    event.wait()
print("inside")
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                env=env, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout == "inside\n"


POOL_SIZE_RESULTS = """
import hashlib
import sys
import numpy as np
import vantrel as vt

vt.set_num_threads(int(sys.argv[1]))
precision = sys.argv[2]
n = 16
rng = np.random.default_rng(5)
# Layers of every rotation kind (Pauli strings too) and of fixed gates of
# several shapes, on every qubit: the runs span several blocks, the gates on
# the upper qubits need blocks that are not contiguous, and the diagonal
# gates join any block.
# The one-off circuit leaves qubit `spare` alone except to measure and
# reset it in basis states: outcomes and collapse then do not depend on the
# random draws.
spec = vt.CircuitSpec(n)
params = [spec.param() for _ in range(6)]
spare = 7
others = [q for q in range(n) if q != spare]
gates = []
for layer in range(2):
    for q in range(n):
        getattr(spec, ("rx", "ry", "rz", "p")[(q + layer) % 4])(q, params[(q + layer) % 6])
    for q in others:
        gates.append(vt.Gate.u(q, *rng.uniform(-3, 3, 3)))
    for q in range(layer, n - 1, 2):
        (spec.cx if layer % 2 else spec.cz)(q, q + 1)
    for i in range(layer, len(others) - 1, 2):
        a, b, c = others[i], others[-1 - i], others[(i + 5) % len(others)]
        gates += [vt.Gate.cx(a, b) if a != b else vt.Gate.h(a),
                  vt.Gate.cp(n - 1, a, float(rng.uniform(-3, 3))) if a != n - 1 else vt.Gate.s(a),
                  vt.Gate.swap(a, c) if a != c else vt.Gate.t(a)]
    spec.h(n - 1 - layer)
    spec.rzz(layer, n - 1 - layer, params[layer], scale=0.5)
    spec.pauli_rotation([("X", 2 * layer), ("Y", n - 2), ("Z", n // 2 + layer)], params[5 - layer])
    gates += [vt.Gate.ccx(0, n // 2, n - 1), vt.Gate.mcz([1, 2, n - 2], n - 1),
              vt.Gate.x(spare), vt.Gate.measure(spare), vt.Gate.reset(spare), vt.Gate.measure(spare),
              vt.Gate.barrier()]
circuit = spec.compile(precision=precision)
obs = vt.Observable.hamiltonian([vt.Observable.pauli_string([("Z", q), ("Z", q + 1)]) for q in range(n - 1)]
                                + [vt.Observable.pauli_x(q, 0.5) for q in range(0, n, 3)])
data = rng.uniform(-3, 3, (2, 6))
ctx = circuit.execution_context()
results = [circuit.statevector(data[0]), np.float64(circuit.expectation(data[0], obs)),
           *circuit.value_and_gradient(data[1], obs), circuit.gradient(data[0], obs),
           *circuit.batch_value_and_gradient(data, obs), ctx.gradient(circuit, data[1], obs),
           ctx.statevector(circuit, data[0]), *circuit.adjoint_value_and_gradient(data[1], obs),
           *circuit.batch_adjoint_value_and_gradient(data, obs),
           np.array(circuit.sample(data[0], 1000, seed=9), dtype=np.uint64)]
state, records = vt.Circuit(gates).run_with_measurements(n, precision=precision)
results += [state, np.array(records, dtype=np.int64)]
print(" ".join(hashlib.sha256(np.ascontiguousarray(r).tobytes()).hexdigest()[:16] for r in results))
"""


@pytest.mark.parametrize("precision", ["single", "double"])
def test_every_path_gives_the_same_bits_at_every_pool_size(precision):
    import subprocess

    digests = []
    for threads in (1, 2, 8):
        result = subprocess.run([sys.executable, "-c", POOL_SIZE_RESULTS, str(threads), precision],
                                capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        digests.append(result.stdout.strip())
    assert digests[0] == digests[1] == digests[2]

"""Ctrl-C stops long calls: a real SIGINT sent to a child process in the middle
of a call that would run for many seconds ends it with KeyboardInterrupt soon
after, and everything used by the call works afterwards.

Each call is sized in the child from a short calibration so that it would
take at least FULL seconds; the test asserts only that the interrupted call
ended within a fifth of that, whatever the machine's speed."""

import os
import queue
import signal
import subprocess
import sys
import threading
import time

import pytest

FULL = 20.0

CHILD = r"""
import sys, time
import numpy as np
import vantrel as vt

FULL = float(sys.argv[2])
vt.set_num_threads(int(sys.argv[1]))
obs = vt.Observable.pauli_z(0)

def ladder(n, rotations, num_params):
    spec = vt.CircuitSpec(n)
    params = [spec.param() for _ in range(num_params)]
    for i in range(rotations):
        q = i % n
        spec.ry(q, params[i % num_params])
        spec.cx(q, (q + 1) % n)
    return spec.compile()

def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start

def interrupted(name, call, lower_bound):
    print("ready", name, flush=True)
    start = time.monotonic()
    try:
        call()
    except KeyboardInterrupt:
        now = time.monotonic()
        print("stopped", name, now - start, now, lower_bound, flush=True)
    else:
        print("finished", name, time.monotonic() - start, flush=True)
        sys.exit(1)

# A batch: rows on the workers (or on the caller with one thread).
small = ladder(8, 16, 8)
rows = np.random.default_rng(0).uniform(-1, 1, (32, 8)).astype(np.float32)
expected = small.batch_value_and_gradient(rows, obs)
copies = int(FULL / min(timed(lambda: small.batch_value_and_gradient(rows, obs)) for _ in range(3))) + 1
big = np.tile(rows, (copies, 1))
interrupted("batch", lambda: small.batch_value_and_gradient(big, obs), FULL)
again = small.batch_value_and_gradient(rows, obs)
assert np.array_equal(again[0], expected[0]) and np.array_equal(again[1], expected[1])

# One gradient with a context: its runs' steps on the calling thread. With R
# rotations it makes about R runs of the whole plan; at least R / 2.
probe = ladder(12, 256, 256)
per_rotation = min(timed(lambda: probe.statevector(np.zeros(256, np.float32))) for _ in range(3)) / 256
count = min(int((2 * FULL / per_rotation) ** 0.5) + 1, 20000)
deep = ladder(12, count, count)
params = np.linspace(-1, 1, count, dtype=np.float32)
ctx = deep.execution_context()
interrupted("gradient", lambda: ctx.gradient(deep, params, obs), count / 2 * count * per_rotation)
assert ctx.expectation(deep, params, obs) == deep.expectation(params, obs)

# Adjoint differentiation: the backward sweep's steps on the calling thread
# (about four passes over the state per step).
wide = ladder(20, 64, 64)
per_step = min(timed(lambda: wide.statevector(np.zeros(64, np.float32))) for _ in range(2)) / 128
steps = min(int(FULL / (4 * per_step)) + 1, 200000)
sweep = ladder(20, steps, 64)
angles = np.linspace(-1, 1, 64, dtype=np.float32)
interrupted("adjoint", lambda: ctx.adjoint_value_and_gradient(sweep, angles, obs), 4 * steps * per_step)
assert ctx.adjoint_value_and_gradient(wide, angles, obs)[0] == wide.expectation(angles, obs)

# A one-off circuit, which keeps the interpreter lock.
layer = [g for q in range(19) for g in (vt.Gate.h(q), vt.Gate.cx(q, q + 1))]
seconds = min(timed(lambda: vt.Circuit(layer).run(20)) for _ in range(2))
circuit = vt.Circuit(layer * (int(FULL / seconds) + 1))
interrupted("circuit", lambda: circuit.run(20), FULL)
assert np.array_equal(vt.Circuit(layer).run(20), vt.Circuit(layer).run(20))
print("done", flush=True)
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_sigint_stops_long_calls(threads):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(threads), str(FULL)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
    )
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(x.split()) for x in child.stdout], daemon=True).start()
    stopped = []
    try:
        while True:
            words = lines.get(timeout=120)
            if words[0] == "done":
                break
            assert words[0] == "ready", words
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            # A call that ignores the signal would run on for FULL seconds.
            words = lines.get(timeout=FULL / 2)
            assert words[0] == "stopped", words
            stopped.append((words[1], float(words[2]), float(words[4])))
        assert child.wait(timeout=60) == 0, child.stderr.read()
    except queue.Empty:
        pytest.fail(f"no answer from the child after {len(stopped)} interrupted calls")
    finally:
        child.kill()
        child.wait()
    assert [name for name, _, _ in stopped] == ["batch", "gradient", "adjoint", "circuit"]
    for name, elapsed, full in stopped:
        assert full >= FULL / 2, name
        assert elapsed < full / 5, (name, elapsed, full)

"""How a call fares beside another Python thread's long batch, on a pool of
two threads: the time of a 21-qubit adjoint gradient and of a 2-row batch,
alone and while another thread runs a 400-row batch_expectation of 20
qubits, and the time from a SIGINT to the KeyboardInterrupt of a long call
made meanwhile.

Run: python3 bench/beside_a_batch.py

Prints each time alone, beside the batch, and their ratio (measured in this
one run).
"""

import os
import signal
import sys
import threading
import time

import numpy as np
import vantrel as vt
from harness import ladder, seconds

vt.set_num_threads(2)
obs = vt.Observable.pauli_z(0)

adjoint = ladder(21, 64, 64)
angles = np.linspace(-1, 1, 64, dtype=np.float32)
two_rows = ladder(20, 40, 8)
small_batch = np.random.default_rng(0).uniform(-1, 1, (2, 8)).astype(np.float32)
cases = {
    "adjoint_value_and_gradient, 21 qubits": lambda: adjoint.adjoint_value_and_gradient(angles, obs),
    "batch_expectation, 2 rows of 20 qubits": lambda: two_rows.batch_expectation(small_batch, obs),
}
alone = {name: min(seconds(call) for _ in range(3)) for name, call in cases.items()}

busy = ladder(20, 40, 8)
rows = np.random.default_rng(1).uniform(-1, 1, (400, 8)).astype(np.float32)
done = threading.Event()
worker = threading.Thread(target=lambda: (busy.batch_expectation(rows, obs), done.set()), daemon=True)
worker.start()
time.sleep(0.5)
for name, call in cases.items():
    beside = seconds(call)
    print(f"{name:42s} alone {alone[name]:7.3f} s, beside the batch {beside:7.3f} s "
          f"(x{beside / alone[name]:.1f}){'' if not done.is_set() else '  [batch ended first]'}")

# Ctrl-C of a long call beside the batch: a timer thread sends SIGINT.
sweep = ladder(20, 20000, 64)
latencies = []
for _ in range(5):
    if done.is_set():
        break
    sent = []
    timer = threading.Timer(0.3, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    try:
        sweep.adjoint_value_and_gradient(angles, obs)
    except KeyboardInterrupt:
        latencies.append(time.monotonic() - sent[0])
if latencies:
    print(f"Ctrl-C beside the batch: median {sorted(latencies)[len(latencies) // 2] * 1e3:.0f} ms, "
          f"max {max(latencies) * 1e3:.0f} ms over {len(latencies)}")
print("batch still running at the end:", not done.is_set())
sys.stdout.flush()
os._exit(0)

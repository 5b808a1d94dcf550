"""How soon Ctrl-C stops a long call: the time from a SIGINT sent by this
process to the KeyboardInterrupt caught in a child that is inside a call
sized to run for about 20 seconds.

Run: python3 bench/interrupt_latency.py [repeats]

The signal is sent at a random moment 0.3 to 0.5 s into the call, so at a
random phase of the call's 100 ms poll interval. Prints, per pool size and
kind of call, the median and the largest latency over the repeats, then over
all of them. time.monotonic is the same clock in both processes.
"""

import os
import random
import signal
import statistics
import subprocess
import sys
import time

CHILD = r"""
import sys, time
sys.path.insert(0, sys.argv[3])
import numpy as np
import vantrel as vt
from harness import ladder, seconds

vt.set_num_threads(int(sys.argv[1]))
repeats = int(sys.argv[2])
obs = vt.Observable.pauli_z(0)

def measure(name, call):
    for _ in range(repeats):
        print("ready", flush=True)
        try:
            call()
            print("finished", name, flush=True)
        except KeyboardInterrupt:
            print("stopped", name, time.monotonic(), flush=True)

small = ladder(8, 16)
rows = np.random.default_rng(0).uniform(-1, 1, (32, 16)).astype(np.float32)
copies = int(20 / seconds(lambda: small.batch_value_and_gradient(rows, obs))) + 1
big = np.tile(rows, (copies, 1))
measure("batch_value_and_gradient, 8 qubits", lambda: small.batch_value_and_gradient(big, obs))

deep = ladder(12, 2000)
params = np.linspace(-1, 1, 2000, dtype=np.float32)
measure("gradient, 12 qubits, 2000 rotations", lambda: deep.gradient(params, obs))

wide = ladder(22, 400)
measure("gradient, 22 qubits, 400 rotations", lambda: wide.gradient(np.zeros(400, np.float32), obs))

layer = [g for q in range(19) for g in (vt.Gate.h(q), vt.Gate.cx(q, q + 1))]
circuit = vt.Circuit(layer * (int(20 / seconds(lambda: vt.Circuit(layer).run(20))) + 1))
measure("Circuit.run, 20 qubits (lock held)", lambda: circuit.run(20))
"""


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    phase = random.Random(2026)
    everything = []
    for threads in (1, 2):
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(threads), str(repeats),
                                  os.path.dirname(os.path.abspath(__file__))],
                                 stdout=subprocess.PIPE, text=True)
        latencies = {}
        sent = 0.0
        for line in child.stdout:
            words = line.split()
            if words[0] == "ready":
                time.sleep(0.3 + phase.uniform(0, 0.2))
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
            elif words[0] == "stopped":
                name = " ".join(words[1:-1])
                latencies.setdefault(name, []).append(float(words[-1]) - sent)
            else:
                print("not interrupted:", line.strip())
        child.wait()
        for name, values in latencies.items():
            everything += values
            print(f"{threads} thread{'s' if threads > 1 else ' '}  {name:40s} median "
                  f"{statistics.median(values) * 1e3:6.1f} ms, max {max(values) * 1e3:6.1f} ms")
    print(f"all calls: median {statistics.median(everything) * 1e3:.1f} ms, "
          f"max {max(everything) * 1e3:.1f} ms over {len(everything)} signals")


if __name__ == "__main__":
    main()

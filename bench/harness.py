"""The timers of the Python benchmarks, a median of repeated runs and a
one-shot time, and the plans several scripts time.

Scripts in bench/ import it beside them (`from harness import median_time`);
figures are ratios or times from one run of one script, never thresholds."""

import json
import os
import statistics
import subprocess
import time

# The variables by which vantrel and the peers take their thread counts.
ENV_THREADS = ("RAYON_NUM_THREADS", "OMP_NUM_THREADS", "QULACS_NUM_THREADS", "MKL_NUM_THREADS",
               "OPENBLAS_NUM_THREADS")


def time_in_child(python, code, threads):
    """Runs `code` under `python` with every thread-count variable set to
    `threads`; returns (the JSON value of its last output line, None), or
    (None, the last line of its error output) when it fails."""
    env = dict(os.environ)
    for k in ENV_THREADS:
        env[k] = str(threads)
    r = subprocess.run([python, "-c", code], env=env, capture_output=True, text=True)
    if r.returncode != 0:
        return None, (r.stderr.strip().splitlines() or ["exit %d" % r.returncode])[-1]
    return json.loads(r.stdout.strip().splitlines()[-1]), None


def median_time(fn, repeat=5, number=1, warm_up=False, clock=time.perf_counter):
    """Median over `repeat` runs of the time of one call of fn, each run
    timing `number` calls in a row with `clock` (time.process_time for a
    single thread's own work on a busy machine); with `warm_up`, after one
    untimed call (compilation, caches)."""
    if warm_up:
        fn()
    times = []
    for _ in range(repeat):
        start = clock()
        for _ in range(number):
            fn()
        times.append((clock() - start) / number)
    return statistics.median(times)


def seconds(fn):
    """The wall-clock time of one call of fn: for calls that cannot be
    repeated alike (stopped by a signal, beside another thread's work)."""
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def ladder(n, rotations, num_params=None):
    """A compiled plan of `rotations` RY rotations, the i-th on qubit i % n
    reading parameter i % num_params (its own parameter by default) and
    followed by CX(i % n, (i + 1) % n)."""
    import vantrel as vt

    spec = vt.CircuitSpec(n)
    params = [spec.param() for _ in range(num_params or rotations)]
    for i in range(rotations):
        spec.ry(i % n, params[i % len(params)])
        spec.cx(i % n, (i + 1) % n)
    return spec.compile()

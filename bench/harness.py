"""The one timer of the Python benchmarks: a median of repeated runs.

Scripts in bench/ import it beside them (`from harness import median_time`);
figures are ratios or times from one run of one script, never thresholds."""

import statistics
import time


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

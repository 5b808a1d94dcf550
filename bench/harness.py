"""The one timer of the Python benchmarks: a median of repeated runs.

Scripts in bench/ import it beside them (`from harness import median_time`);
figures are ratios or times from one run of one script, never thresholds."""

import statistics
import time


def median_time(fn, repeat=5, number=1, warm_up=False):
    """Median over `repeat` runs of the time of one call of fn, each run
    timing `number` calls in a row with time.perf_counter; with `warm_up`,
    after one untimed call (compilation, caches)."""
    if warm_up:
        fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)

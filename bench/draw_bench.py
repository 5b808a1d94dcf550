"""Diagram drawing time against circuit size.

Run: python3 bench/draw_bench.py

For each circuit family, draws a circuit of 10,000 gates and one of 100,000
(the same layers, ten times as many) and prints the time of each, the time
per gate and the ratio of the two times. Drawing is linear in the size of the
circuit, so the ratio is about 10 (up to about 20 when the larger circuit no
longer fits in the processor's caches); a layout quadratic in the gates would
make it about 100. Each figure is the median of three draws (bench/harness.py).
"""

import vantrel as vt
from harness import median_time


def brickwork(n, count):
    """Layers of RX on every qubit, then CX on the pairs (0, 1), (2, 3), ...
    and (1, 2), (3, 4), ...: three columns per layer, cut at `count` gates."""
    gates = []
    layer = 0
    while len(gates) < count:
        gates += [vt.Gate.rx(q, 0.1 * (layer + 1)) for q in range(n)]
        gates += [vt.Gate.cx(q, q + 1) for start in (0, 1) for q in range(start, n - 1, 2)]
        layer += 1
    return gates[:count]


def spec_brickwork(n, count):
    spec = vt.CircuitSpec(n)
    theta = spec.param("theta")
    steps = 0
    while steps < count:
        for q in range(n):
            spec.rx(q, theta)
        for start in (0, 1):
            for q in range(start, n - 1, 2):
                spec.cx(q, q + 1)
        steps += 2 * n - 1
    return spec


def report(label, build):
    small, large = build(10_000), build(100_000)
    for kwargs in ({}, {"fold": 0}, {"output": "svg"}):
        t_small = median_time(lambda: small.draw(**kwargs), repeat=3)
        t_large = median_time(lambda: large.draw(**kwargs), repeat=3)
        options = ", ".join(f"{k}={v!r}" for k, v in kwargs.items()) or "defaults"
        print(f"{label:30s} {options:14s} 10,000 gates {t_small * 1e3:8.2f} ms, 100,000 gates "
              f"{t_large * 1e3:9.2f} ms ({t_large / 1e5 * 1e9:6.0f} ns per gate), "
              f"ratio {t_large / t_small:5.1f}")


def main():
    print("== draw: 100,000 gates against 10,000 (linear: ratio 10 to 20; quadratic: 100) ==")
    report("Circuit, 20 qubits", lambda count: vt.Circuit(brickwork(20, count)))
    report("Circuit, 1,000 qubits", lambda count: vt.Circuit(brickwork(1000, count)))
    report("CircuitSpec, 20 qubits", lambda count: spec_brickwork(20, count))
    report("CompiledCircuit, 20 qubits", lambda count: spec_brickwork(20, count).compile())


if __name__ == "__main__":
    main()

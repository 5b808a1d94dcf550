"""Benchmarks of vantrel from Python.

Run: python3 bench/python_bench.py [section ...]
Sections: circuit, scalar, gradient, batch, pauli, adjoint, adjoint-accuracy, threads
(default: all). "threads 12 16 20" limits the thread section to those register sizes.

Each figure is the median of several repetitions (bench/harness.py). Thread counts are fixed per process, so sections that
compare 1 and 2 threads run themselves in subprocesses with RAYON_NUM_THREADS.
"""

import os
import subprocess
import sys

import numpy as np

import vantrel as vt
from harness import median_time


def layered_gates(n, layers):
    gates = []
    for layer in range(layers):
        for q in range(n):
            gates.append(vt.Gate.rx(q, 0.1 * (layer + 1) + 0.01 * q))
            gates.append(vt.Gate.rz(q, 0.2 * (layer + 1) - 0.01 * q))
        for q in range(n - 1):
            gates.append(vt.Gate.cx(q, q + 1))
    return gates


def bench_circuit():
    print("== one-off layered circuit (Circuit.run) ==")
    for n, layers in ((12, 20), (20, 4), (24, 2)):
        gates = layered_gates(n, layers)
        circuit = vt.Circuit(gates)
        t = median_time(lambda: circuit.run(n), repeat=3)
        print(f"{n:2d} qubits, {len(gates):4d} gates: {t * 1e3:9.3f} ms per run, "
              f"{t / len(gates) * 1e6:9.3f} us per gate")


def ansatz(n, n_params, interleaved=False):
    """RY and RZ in turn, rotation i on qubit i % n: a CX chain after each
    layer of n rotations, or with `interleaved` CX(q, q + 1 mod n) after each
    rotation (the fixed gates spread over the plan)."""
    spec = vt.CircuitSpec(n)
    params = [spec.param() for _ in range(n_params)]
    for i, p in enumerate(params):
        q = i % n
        (spec.ry if i % 2 == 0 else spec.rz)(q, p)
        if interleaved:
            spec.cx(q, (q + 1) % n)
        elif q == n - 1:
            for a in range(n - 1):
                spec.cx(a, a + 1)
    return spec.compile()


def hamiltonian(n):
    terms = [vt.Observable.pauli_string([("Z", i), ("Z", i + 1)]) for i in range(n - 1)]
    terms += [vt.Observable.pauli_x(i, 0.5) for i in range(n)]
    return vt.Observable.hamiltonian(terms)


def bench_scalar():
    print("== per-call expectation (Python call overhead dominates) ==")
    for n in (4, 8, 12):
        circuit = ansatz(n, 2 * n)
        obs = vt.Observable.pauli_z(0)
        ctx = circuit.execution_context()
        buf = circuit.param_buffer()
        buf.numpy()[:] = 0.3
        arr = np.full(circuit.parameter_count, 0.3, np.float32)
        number = 20000 if n <= 8 else 2000
        t_plain = median_time(lambda: circuit.expectation(arr, obs), number=number)
        t_ctx = median_time(lambda: ctx.expectation(circuit, arr, obs), number=number)
        t_buf = median_time(lambda: ctx.expectation_buffer(circuit, buf, obs), number=number)
        print(f"{n:2d} qubits: expectation {t_plain * 1e6:8.2f} us, with context "
              f"{t_ctx * 1e6:8.2f} us, with context and buffer {t_buf * 1e6:8.2f} us")


def bench_gradient():
    print("== value_and_gradient, 20 parameters ==")
    for n in (12, 20):
        for name, circuit in (("ansatz", ansatz(n, 20)),
                               ("interleaved", ansatz(n, 20, interleaved=True))):
            for obs_name, obs in (("H", hamiltonian(n)), ("Z0", vt.Observable.pauli_z(0))):
                arr = np.full(20, 0.3, np.float32)
                number = 20 if n <= 12 else 1
                t = median_time(lambda: circuit.value_and_gradient(arr, obs), repeat=3,
                                number=number)
                print(f"{n:2d} qubits, {name:11s} <{obs_name}>: {t * 1e3:9.3f} ms per call")


def batch_child(n, batch):
    circuit = ansatz(n, 2 * n)
    obs = hamiltonian(n)
    data = np.random.default_rng(1).uniform(-1, 1, (batch, circuit.parameter_count)).astype(np.float32)
    # Small registers repeat each call so that a figure spans milliseconds.
    number = 20 if n <= 10 else 1
    t_e = median_time(lambda: circuit.batch_expectation(data, obs), repeat=5, number=number)
    t_g = median_time(lambda: circuit.batch_value_and_gradient(data, obs), repeat=3,
                      number=max(1, number // 10))
    t_loop = median_time(lambda: [circuit.expectation(row, obs) for row in data], repeat=5,
                         number=number)
    print(f"{t_e} {t_g} {t_loop}")


def bench_batch():
    print("== batches of 256 parameter vectors ==")
    for n in (8, 16):
        results = {}
        for threads in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            out = subprocess.run([sys.executable, __file__, "--batch-child", str(n), "256"],
                                 env=env, check=True, capture_output=True, text=True).stdout
            results[threads] = [float(x) for x in out.split()]
        e1, g1, loop1 = results[1]
        e2, g2, _ = results[2]
        print(f"{n:2d} qubits: batch_expectation 1 thread {e1 * 1e3:8.2f} ms, 2 threads "
              f"{e2 * 1e3:8.2f} ms (x{e1 / e2:.2f}); Python loop of expectation "
              f"{loop1 * 1e3:8.2f} ms")
        print(f"{n:2d} qubits: batch_value_and_gradient 1 thread {g1 * 1e3:8.2f} ms, 2 threads "
              f"{g2 * 1e3:8.2f} ms (x{g1 / g2:.2f})")


def zz_ring(n, one_step):
    """A QAOA cost layer on a ring: ZZ rotations sharing one scaled parameter,
    as Pauli-string steps or decomposed as CX RZ CX."""
    spec = vt.CircuitSpec(n)
    gamma = spec.param()
    for q in range(n):
        a, b = q, (q + 1) % n
        if one_step:
            spec.rzz(a, b, gamma, scale=1.0 + 0.1 * q)
        else:
            # Without a scale the angle of each edge needs a slot of its own.
            spec.cx(a, b)
            spec.rz(b, gamma)
            spec.cx(a, b)
    return spec.compile()


def bench_pauli():
    print("== Pauli-string rotations: one pass against their decomposition ==")
    for n in (12, 20):
        fused, decomposed = zz_ring(n, True), zz_ring(n, False)
        arr = np.float32([0.4])
        number = 50 if n <= 12 else 3
        t_one = median_time(lambda: fused.statevector(arr), number=number)
        t_dec = median_time(lambda: decomposed.statevector(arr), number=number)
        print(f"{n:2d} qubits, ring of {n} ZZ rotations: rzz steps {t_one * 1e3:8.3f} ms, "
              f"CX RZ CX {t_dec * 1e3:8.3f} ms (x{t_dec / t_one:.2f})")
        spec = vt.CircuitSpec(n)
        t = spec.param()
        for q in range(0, n - 1, 2):
            spec.rxx(q, q + 1, t, 0.5)
            spec.pauli_rotation([("Y", q), ("Z", (q + 5) % n), ("X", n - 1 - q)], t)
        mixed = spec.compile()
        t_mixed = median_time(lambda: mixed.statevector(arr), number=number)
        print(f"{n:2d} qubits, {n} XX and XYZ rotations: {t_mixed * 1e3:8.3f} ms, "
              f"{t_mixed / n * 1e6:8.1f} us per rotation")
        t_sample = median_time(lambda: fused.sample(arr, 10000, seed=1), number=max(1, number // 5))
        print(f"{n:2d} qubits: the rzz ring sampled, 10000 shots with a seed "
              f"{t_sample * 1e3:8.3f} ms (the run alone {t_one * 1e3:.3f} ms)")


def layered_ansatz(n, layers=4):
    # RY on every qubit, then a CX chain; P = layers * n.
    spec = vt.CircuitSpec(n)
    for _ in range(layers):
        for q in range(n):
            spec.ry(q, spec.param())
        for q in range(n - 1):
            spec.cx(q, q + 1)
    return spec.compile()


# Methods timed by the thread section, and the largest register each is
# timed on (a gradient of 96 parameters at 24 qubits takes minutes).
THREAD_METHODS = (("statevector", 24), ("expectation", 24), ("value_and_gradient", 20),
                  ("adjoint_value_and_gradient", 24))


def threads_child(n):
    circuit = layered_ansatz(n)
    obs = vt.Observable.hamiltonian([vt.Observable.pauli_z(q) for q in range(n)])
    params = np.random.default_rng(2).uniform(-1, 1, circuit.parameter_count).astype(np.float32)
    calls = {"statevector": lambda: circuit.statevector(params),
             "expectation": lambda: circuit.expectation(params, obs),
             "value_and_gradient": lambda: circuit.value_and_gradient(params, obs),
             "adjoint_value_and_gradient": lambda: circuit.adjoint_value_and_gradient(params, obs)}
    out = []
    for name, largest in THREAD_METHODS:
        if n > largest:
            out.append("nan")
            continue
        fn = calls[name]
        fn()  # warm up: pool, buffers
        once = median_time(fn, repeat=1)
        repeat = 7 if once < 0.05 else 5 if once < 1 else 3
        number = max(1, int(0.05 / once)) if once < 0.05 else 1
        out.append(str(median_time(fn, repeat=repeat, number=number)))
    print(" ".join(out))


def bench_threads(sizes=(12, 14, 16, 18, 20, 24)):
    print("== layered ansatz (RY on every qubit, CX chain, 4 layers, P = 4n, <sum Z>): 1 and 2 threads ==")
    for n in sizes:
        results = {}
        for threads in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            out = subprocess.run([sys.executable, __file__, "--threads-child", str(n)],
                                 env=env, check=True, capture_output=True, text=True).stdout
            results[threads] = [float(x) for x in out.split()]
        cells = []
        for (name, _), t1, t2 in zip(THREAD_METHODS, results[1], results[2]):
            if t1 != t1:  # not timed at this size
                continue
            cells.append(f"{name} {t1 * 1e3:9.3f} -> {t2 * 1e3:9.3f} ms (x{t1 / t2:.2f})")
        print(f"{n:2d} qubits: " + "; ".join(cells))



def ry_layers(n, n_params):
    """RY on every qubit then a CX chain, repeated: layer k holds parameters
    k*n .. k*n + n - 1; a last partial layer takes the remainder."""
    spec = vt.CircuitSpec(n)
    params = [spec.param() for _ in range(n_params)]
    for i, p in enumerate(params):
        spec.ry(i % n, p)
        if i % n == n - 1 or i == n_params - 1:
            for q in range(n - 1):
                spec.cx(q, q + 1)
    return spec.compile()


def ring_hamiltonian(n):
    """2n terms: Z_i Z_{i+1} around a ring and 0.5 X_i on every qubit."""
    terms = [vt.Observable.pauli_string([("Z", i), ("Z", (i + 1) % n)]) for i in range(n)]
    terms += [vt.Observable.pauli_x(i, 0.5) for i in range(n)]
    return vt.Observable.hamiltonian(terms)


def adjoint_child(n, n_params, with_shift):
    circuit = ry_layers(n, n_params)
    obs = ring_hamiltonian(n)
    params = np.random.default_rng(2).uniform(-1, 1, n_params).astype(np.float32)
    repeat = 5 if n <= 16 else 3
    t_e = median_time(lambda: circuit.expectation(params, obs), repeat=repeat)
    t_a = median_time(lambda: circuit.adjoint_value_and_gradient(params, obs), repeat=repeat)
    t_s = median_time(lambda: circuit.value_and_gradient(params, obs), repeat=3) if with_shift else 0.0
    data = np.random.default_rng(3).uniform(-1, 1, (8, n_params)).astype(np.float32)
    t_b = median_time(lambda: circuit.batch_adjoint_value_and_gradient(data, obs), repeat=3)
    print(f"{t_e} {t_a} {t_s} {t_b}")


def bench_adjoint():
    print("== adjoint_value_and_gradient: RY layers and CX chains, 2n-term ring Hamiltonian ==")
    for n, n_params in ((16, 64), (16, 256), (20, 64), (20, 256)):
        results = {}
        for threads in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            shift = n == 16 and n_params == 64
            out = subprocess.run([sys.executable, __file__, "--adjoint-child", str(n), str(n_params),
                                  str(int(shift))],
                                 env=env, check=True, capture_output=True, text=True).stdout
            results[threads] = [float(x) for x in out.split()]
        for threads, (t_e, t_a, t_s, t_b) in results.items():
            line = (f"{n:2d} qubits, P = {n_params:3d}, {threads} thread(s): expectation "
                    f"{t_e * 1e3:8.2f} ms, adjoint {t_a * 1e3:8.2f} ms (x{t_a / t_e:.2f} of expectation)")
            if t_s:
                line += f", value_and_gradient {t_s * 1e3:8.2f} ms (adjoint x{t_s / t_a:.1f} faster)"
            print(line)
        b1, b2 = results[1][3], results[2][3]
        print(f"{n:2d} qubits, P = {n_params:3d}: batch_adjoint_value_and_gradient of 8 rows "
              f"1 thread {b1 * 1e3:8.2f} ms, 2 threads {b2 * 1e3:8.2f} ms (x{b1 / b2:.2f})")


def bench_adjoint_accuracy():
    print("== max |adjoint - parameter shift| / sum |c_k| by depth, 10 qubits "
          "(angles in [-pi, pi], then in [-0.2, 0.2]; max |gradient| beside) ==")
    n = 10
    obs = ring_hamiltonian(n)
    scale = 1.5 * n  # n terms of weight 1 and n of weight 0.5
    rng = np.random.default_rng(4)
    for layers in (1, 2, 4, 8, 16, 32, 64):
        circuit = ry_layers(n, n * layers)
        cells = []
        for spread in (np.pi, 0.2):
            worst, largest = 0.0, 0.0
            for _ in range(3):
                params = rng.uniform(-spread, spread, n * layers).astype(np.float32)
                _, adjoint = circuit.adjoint_value_and_gradient(params, obs)
                _, shift = circuit.value_and_gradient(params, obs)
                worst = max(worst, float(np.max(np.abs(adjoint.astype(np.float64) - shift))))
                largest = max(largest, float(np.max(np.abs(shift))))
            cells.append(f"{worst / scale:.2e} (|g| <= {largest:6.3f})")
        print(f"{layers:3d} layers ({circuit.parameter_count:4d} parameters, "
              f"{2 * layers * n - layers:5d} steps): " + "   ".join(cells))


SECTIONS = {"circuit": bench_circuit, "scalar": bench_scalar, "gradient": bench_gradient,
            "batch": bench_batch, "pauli": bench_pauli, "adjoint": bench_adjoint,
            "adjoint-accuracy": bench_adjoint_accuracy, "threads": bench_threads}

if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--batch-child":
        batch_child(int(sys.argv[2]), int(sys.argv[3]))
        sys.exit(0)
    if len(sys.argv) > 1 and sys.argv[1] == "--adjoint-child":
        adjoint_child(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "1")
        sys.exit(0)
    if len(sys.argv) > 1 and sys.argv[1] == "--threads-child":
        threads_child(int(sys.argv[2]))
        sys.exit(0)
    if len(sys.argv) > 2 and sys.argv[1] == "threads":
        bench_threads([int(n) for n in sys.argv[2:]])
        sys.exit(0)
    for name in sys.argv[1:] or list(SECTIONS):
        SECTIONS[name]()

"""vantrel.qubit against PennyLane's Lightning device, and the device's own
overhead per execution.

Run: python3 bench/pennylane_bench.py [--peer-python PATH] [--sizes 12 16 20]

A QNode of the layered ansatz (RY on every qubit, then a CX chain; 4 layers)
measuring <sum_i Z_i> with diff_method="adjoint": the time of one value and
gradient through qml.grad (median of several), per device, register size and
thread count. Every figure comes from its own process (the thread count of
vantrel's pool is fixed per process: RAYON_NUM_THREADS; Lightning reads
OMP_NUM_THREADS), and the ratios are formed from figures of this one run.
The peer runs under --peer-python, an interpreter with pennylane-lightning
installed (default: this one), e.g. a separate virtual environment.

The overhead section times, at 4 qubits on one thread, the device's execute
and execute_and_compute_derivatives on a preprocessed tape and the vantrel
calls they make, with the plan already cached, in processor time: the
difference is the time spent in the device's Python.
"""

import argparse
import json
import os
import subprocess
import sys
import time

from harness import median_time

LAYERS = 4


def make_cost(qml, dev, n):
    obs = qml.sum(*(qml.Z(q) for q in range(n)))

    @qml.qnode(dev, diff_method="adjoint")
    def cost(w):
        for layer in range(LAYERS):
            for q in range(n):
                qml.RY(w[layer, q], wires=q)
            for q in range(n - 1):
                qml.CNOT(wires=[q, q + 1])
        return qml.expval(obs)

    return cost


def layered_tape(qml, np, n):
    obs = qml.sum(*(qml.Z(q) for q in range(n)))
    w = np.random.default_rng(0).uniform(-np.pi, np.pi, (LAYERS, n))
    ops = []
    for layer in range(LAYERS):
        ops += [qml.RY(w[layer, q], wires=q) for q in range(n)]
        ops += [qml.CNOT(wires=[q, q + 1]) for q in range(n - 1)]
    return qml.tape.QuantumScript(ops, [qml.expval(obs)], trainable_params=list(range(LAYERS * n)))


def child_gradient(device, n, threads):
    import numpy as np
    import pennylane as qml
    from pennylane import numpy as pnp
    from pennylane.devices import ExecutionConfig

    if device.startswith("vantrel"):
        from vantrel_pennylane import VantrelQubit

        dev = VantrelQubit(wires=n, c_dtype=np.complex128 if device == "vantrel128" else np.complex64)
    elif device == "lightning64":
        dev = qml.device("lightning.qubit", wires=n, c_dtype=np.complex64)
    else:
        dev = qml.device("lightning.qubit", wires=n)
    # One thread: processor time, the run's own work on a shared machine;
    # two: the wall clock.
    clock = time.process_time if threads == 1 else time.perf_counter
    repeat = 7 if n <= 16 else 3
    cost = make_cost(qml, dev, n)
    w = pnp.array(np.random.default_rng(0).uniform(-np.pi, np.pi, (LAYERS, n)), requires_grad=True)
    grad = qml.grad(cost)
    qnode = median_time(lambda: grad(w), repeat, warm_up=True, clock=clock)
    # The device alone: execute_and_compute_derivatives on the preprocessed tape.
    program, config = dev.preprocess(ExecutionConfig(gradient_method="adjoint"))
    tapes, _ = program((layered_tape(qml, np, n),))
    in_device = median_time(lambda: dev.execute_and_compute_derivatives(tapes, config), repeat,
                            warm_up=True, clock=clock)
    return {"qnode": qnode, "device": in_device}


def child_overhead():
    import numpy as np
    import pennylane as qml
    from pennylane.devices import ExecutionConfig
    from vantrel_pennylane import VantrelQubit
    from vantrel_pennylane.device import _Lowered

    n = 4
    dev = VantrelQubit(wires=n)
    tape = layered_tape(qml, np, n)
    out = {}
    for method in ("execute", "adjoint"):
        config = dev.setup_execution_config(ExecutionConfig(gradient_method="adjoint"))
        tapes, _ = dev.preprocess_transforms(config)((tape,))
        register = dev._register_for(tapes[0])
        lowered = _Lowered(tapes[0], register, dev._param_dtype)
        plan = dev._plan(tapes[0], lowered, register)
        native = dev._observable(tapes[0].measurements[0].obs, register, False)[0]
        if method == "execute":
            in_device = lambda: dev.execute(tapes, config)  # noqa: E731
            in_vantrel = lambda: plan.context.expectation(plan.circuit, lowered.values, native)  # noqa: E731
        else:
            in_device = lambda: dev.execute_and_compute_derivatives(tapes, config)  # noqa: E731
            in_vantrel = lambda: plan.context.adjoint_value_and_gradient(  # noqa: E731
                plan.circuit, lowered.values, native)
        # Processor time: on one thread it is the call's own work, whatever
        # else the machine runs.
        device_s = median_time(in_device, 9, 2000, warm_up=True, clock=time.process_time)
        vantrel_s = median_time(in_vantrel, 9, 2000, warm_up=True, clock=time.process_time)
        out[method] = {"device": device_s, "vantrel": vantrel_s}
    return out


def run_child(python, args, env_extra):
    env = dict(os.environ)
    env.update(env_extra)
    result = subprocess.run([python, __file__, "--child", *args], env=env,
                            capture_output=True, text=True, check=False)
    if result.returncode != 0:
        sys.stderr.write(result.stderr)
        raise SystemExit(f"child {args} failed")
    return json.loads(result.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--peer-python", default=sys.executable)
    parser.add_argument("--sizes", type=int, nargs="+", default=[12, 16, 20])
    parser.add_argument("--child", nargs="+")
    args = parser.parse_args()
    if args.child:
        kind = args.child[0]
        result = (child_overhead() if kind == "overhead"
                  else child_gradient(kind, int(args.child[1]), int(args.child[2])))
        print(json.dumps(result))
        return

    print("== value and gradient, layered ansatz (4 layers), <sum Z>, diff_method='adjoint' ==")
    print("qnode: qml.grad of the QNode (PennyLane's own per-call work included, the same for")
    print("every device); device: execute_and_compute_derivatives on the preprocessed tape.")
    print("ms per value and gradient (1 thread: processor time; 2 threads: wall clock);")
    print("c128: complex128 (lightning.qubit's default; vantrel.qubit with c_dtype=numpy.complex128),")
    print("c64: complex64 (vantrel.qubit's default); ratio = lightning / vantrel at the same precision")
    print(f"{'qubits':>6} {'thr':>3} {'what':>6} {'vt c128':>9} {'light c128':>10} {'ratio':>6}"
          f" {'vt c64':>9} {'light c64':>10} {'ratio':>6}")
    for n in args.sizes:
        for threads in (1, 2):
            env = {"RAYON_NUM_THREADS": str(threads), "OMP_NUM_THREADS": str(threads)}
            child = [str(n), str(threads)]
            v128 = run_child(sys.executable, ["vantrel128", *child], env)
            v64 = run_child(sys.executable, ["vantrel", *child], env)
            l128 = run_child(args.peer_python, ["lightning", *child], env)
            l64 = run_child(args.peer_python, ["lightning64", *child], env)
            for what in ("qnode", "device"):
                print(f"{n:6d} {threads:3d} {what:>6} {v128[what] * 1e3:9.2f} {l128[what] * 1e3:10.2f}"
                      f" {l128[what] / v128[what]:6.2f} {v64[what] * 1e3:9.2f} {l64[what] * 1e3:10.2f}"
                      f" {l64[what] / v64[what]:6.2f}")

    print("== device overhead per execution, 4 qubits, plan cached (1 thread, processor time) ==")
    result = run_child(sys.executable, ["overhead"], {"RAYON_NUM_THREADS": "1"})
    for method, label in (("execute", "execute (expval)"),
                          ("adjoint", "execute_and_compute_derivatives (adjoint)")):
        d, v = result[method]["device"], result[method]["vantrel"]
        print(f"{label:45s} device {d * 1e6:7.2f} us, vantrel {v * 1e6:6.2f} us, "
              f"overhead {(d - v) * 1e6:7.2f} us")


if __name__ == "__main__":
    main()

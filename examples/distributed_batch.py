"""Many-start search for the ground state of an Ising chain, spread over a Dask cluster.

A variational search started from many random points needs the energy and
gradient at every start: one large batch of parameter vectors. This example
splits that batch into chunks and maps `batch_expectation` and
`batch_value_and_gradient` over a `dask.distributed.Client`, then checks that
the distributed results equal, bit for bit, the same batch evaluated in this
process: every sum in vantrel has a fixed order, whatever the machine, the
process or the number of threads.

Compiled circuits and observables pickle, so each worker receives the plan
itself (sent once, with `scatter`) instead of rebuilding it from a recipe.
Each worker evaluates its chunks on its own vantrel thread pool, sized either
from the worker's environment (`RAYON_NUM_THREADS`, set here for the local
cluster) or by `set_num_threads` at worker start (a worker plugin, used for an
existing cluster).

    python examples/distributed_batch.py                 # a LocalCluster of worker processes
    python examples/distributed_batch.py --scheduler tcp://host:8786
    python examples/distributed_batch.py --small         # the size the tests run
"""

import argparse
import os
import time

import numpy as np
from dask.distributed import Client, LocalCluster, WorkerPlugin

import vantrel as vt

FIELD = 1.0


def ising_hamiltonian(n, field):
    """H = -sum Z_i Z_{i+1} - field * sum X_i."""
    terms = [vt.Observable.pauli_string([("Z", i), ("Z", i + 1)], -1.0) for i in range(n - 1)]
    terms += [vt.Observable.pauli_x(i, -field) for i in range(n)]
    return vt.Observable.hamiltonian(terms)


def hardware_efficient_ansatz(n, layers):
    """Layers of RY and RZ on every qubit followed by a CX ladder."""
    spec = vt.CircuitSpec(n)
    for layer in range(layers):
        for q in range(n):
            spec.ry(q, spec.param(f"ry_{layer}_{q}"))
            spec.rz(q, spec.param(f"rz_{layer}_{q}"))
        for q in range(n - 1):
            spec.cx(q, q + 1)
    return spec.compile()


def energies(circuit, chunk, observable):
    """One task: the energies of one chunk of starts, on the worker's pool."""
    return circuit.batch_expectation(chunk, observable)


def energies_and_gradients(circuit, chunk, observable):
    return circuit.batch_value_and_gradient(chunk, observable)


class VantrelThreads(WorkerPlugin):
    """Sizes each worker's vantrel pool when the worker starts (or joins later)."""

    def __init__(self, threads):
        self.threads = threads

    def setup(self, worker):
        try:
            vt.set_num_threads(self.threads)
        except RuntimeError as error:
            # The pool exists already: this worker has run vantrel before.
            print(f"worker {worker.address}: {error}")


def map_chunks(client, fn, circuit, observable, batch, chunk_rows):
    """fn(circuit, chunk, observable) over row chunks, results in row order.
    `circuit` and `observable` are futures of data scattered to the workers."""
    chunks = [batch[i:i + chunk_rows] for i in range(0, len(batch), chunk_rows)]
    futures = client.map(fn, [circuit] * len(chunks), chunks, [observable] * len(chunks))
    return client.gather(futures)


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--threads", type=int, help="vantrel threads per worker")
    parser.add_argument("--qubits", type=int)
    parser.add_argument("--layers", type=int)
    parser.add_argument("--starts", type=int, help="parameter vectors in the batch")
    parser.add_argument("--chunk", type=int, help="rows per task")
    parser.add_argument("--small", action="store_true", help="a size that runs in seconds")
    args = parser.parse_args()
    # By default the local workers share this machine's processors.
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    threads = max(1, cores // args.workers)
    defaults = (1, 6, 2, 64, 16) if args.small else (threads, 10, 3, 2048, 128)
    for name, value in zip(("threads", "qubits", "layers", "starts", "chunk"), defaults):
        if getattr(args, name) is None:
            setattr(args, name, value)

    circuit = hardware_efficient_ansatz(args.qubits, args.layers)
    hamiltonian = ising_hamiltonian(args.qubits, FIELD)
    rng = np.random.default_rng(7)
    starts = rng.uniform(-np.pi, np.pi, (args.starts, circuit.parameter_count)).astype(np.float32)

    if args.scheduler:
        client = Client(args.scheduler)
        client.register_plugin(VantrelThreads(args.threads))
        cluster = None
    else:
        # One Dask thread per worker process; vantrel's own pool does the
        # parallel work inside each task, sized from the worker's environment.
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None,
                               env={"RAYON_NUM_THREADS": str(args.threads)})
        client = Client(cluster)
    try:
        workers = len(client.scheduler_info()["workers"])
        print(f"{args.starts} starts of a {args.qubits}-qubit ansatz with "
              f"{circuit.parameter_count} parameters, in chunks of {args.chunk}, "
              f"on {workers} Dask workers")

        t0 = time.perf_counter()
        # The plan and the observable travel pickled, once to every worker.
        plan, observable = client.scatter([circuit, hamiltonian], broadcast=True)
        values = np.concatenate(map_chunks(client, energies, plan, observable, starts, args.chunk))
        t1 = time.perf_counter()
        pairs = map_chunks(client, energies_and_gradients, plan, observable, starts, args.chunk)
        t2 = time.perf_counter()
        values2 = np.concatenate([v for v, _ in pairs])
        gradients = np.concatenate([g for _, g in pairs])
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    t3 = time.perf_counter()
    local_values = circuit.batch_expectation(starts, hamiltonian)
    local_values2, local_gradients = circuit.batch_value_and_gradient(starts, hamiltonian)
    t4 = time.perf_counter()

    best = int(np.argmin(values))
    print(f"energies on the cluster: {t1 - t0:.2f} s; energies and gradients: {t2 - t1:.2f} s; "
          f"both in this process: {t4 - t3:.2f} s")
    print(f"best start {best}: energy {values[best]:.6f}, "
          f"gradient norm {np.linalg.norm(gradients[best]):.6f}")
    equal = (same_bits(values, local_values) and same_bits(values2, local_values2)
             and same_bits(gradients, local_gradients))
    print(f"distributed results equal the single-process batch bit for bit: {equal}")
    if not equal:
        raise SystemExit(1)


if __name__ == "__main__":
    main()

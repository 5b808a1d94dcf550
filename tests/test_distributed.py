"""Scale-out: a batch split into chunks over worker processes (a Dask
LocalCluster; a process pool with the spawn and with the fork start method)
gives the same bits as the whole batch in this process. The plan and the
observable reach the workers pickled; the workers import vantrel as this
process does (spawned children get this process's sys.path and environment)."""

import concurrent.futures
import multiprocessing

import numpy as np
import pytest

import vantrel as vt
from compiled_helpers import build, observable, random_steps, random_terms

TIMEOUT = 180  # seconds; generous for a loaded machine, never reached when things work


@pytest.fixture(scope="module")
def problem():
    rng = np.random.default_rng(5)
    circuit = build(random_steps(rng, 5, 6, 40), 5, 6)
    obs = observable(random_terms(rng, 5, 5))
    batch = rng.uniform(-np.pi, np.pi, (23, 6)).astype(np.float32)
    chunks = [batch[i:i + 5] for i in range(0, len(batch), 5)]
    return circuit, obs, batch, chunks


def assert_same_bits(problem, values, pairs):
    circuit, obs, batch, _ = problem
    local_values = circuit.batch_expectation(batch, obs)
    local_pair = circuit.batch_value_and_gradient(batch, obs)
    got = (np.concatenate(values), np.concatenate([v for v, _ in pairs]),
           np.concatenate([g for _, g in pairs]))
    for a, b in zip(got, (local_values,) + local_pair):
        assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_process_pool_chunks_equal_the_single_process_batch(problem, method):
    circuit, obs, _, chunks = problem
    k = len(chunks)
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        # The unbound methods pickle by name; each call pickles its circuit.
        values = list(pool.map(vt.CompiledCircuit.batch_expectation, [circuit] * k, chunks,
                               [obs] * k, timeout=TIMEOUT))
        pairs = list(pool.map(vt.CompiledCircuit.batch_value_and_gradient, [circuit] * k, chunks,
                              [obs] * k, timeout=TIMEOUT))
    assert_same_bits(problem, values, pairs)


def test_dask_local_cluster_chunks_equal_the_single_process_batch(problem):
    distributed = pytest.importorskip("distributed")
    circuit, obs, _, chunks = problem
    k = len(chunks)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40) as cluster, \
            distributed.Client(cluster, timeout=TIMEOUT) as client:
        # Each worker process sizes its own pool before its first evaluation.
        assert list(client.run(vt.set_num_threads, 1).values()) == [None, None]
        plan, shared_obs = client.scatter([circuit, obs], broadcast=True)

        def run(method):
            futures = client.map(method, [plan] * k, chunks, [shared_obs] * k)
            distributed.wait(futures, timeout=TIMEOUT)
            return client.gather(futures)

        values = run(vt.CompiledCircuit.batch_expectation)
        pairs = run(vt.CompiledCircuit.batch_value_and_gradient)
    assert_same_bits(problem, values, pairs)

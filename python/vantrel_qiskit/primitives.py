"""Qiskit's V2 primitives on vantrel: Estimator and Sampler.

Each distinct circuit of a run() call is converted and compiled once; all
the parameter rows a PUB needs for one observable go to the engine in one
batch call. Seeds: a run's seed and a PUB's position give that PUB's
generator (NumPy's SeedSequence, the same on every machine), and vantrel's
seeded sampling gives the same shots for every pool size, so a seeded run
repeats exactly.
"""

from __future__ import annotations

from typing import Any, Iterable, Optional

import numpy as np

import vantrel as vt
from qiskit.primitives import BaseEstimatorV2, BaseSamplerV2, PrimitiveJob, PrimitiveResult
from qiskit.primitives.containers import BitArray, DataBin, PubResult, SamplerPubResult
from qiskit.primitives.containers.estimator_pub import EstimatorPub
from qiskit.primitives.containers.sampler_pub import SamplerPub

from ._convert import Translation, observable, translate


_PARAM_DTYPES = {"single": np.float32, "double": np.float64}


def check_precision(precision: str) -> str:
    """The arithmetic of the plans: 'single' or 'double'."""
    if not isinstance(precision, str) or precision not in _PARAM_DTYPES:
        raise ValueError(f"precision must be 'single' or 'double', got {precision!r}")
    return precision


class _Compiled:
    """A circuit converted for the primitives and compiled at a precision."""

    def __init__(self, circuit: Any, precision: str):
        self.translation: Translation = translate(circuit, defer=True)
        self.plan = self.translation.spec.compile(precision=precision)
        self.dtype = _PARAM_DTYPES[precision]

    def rows(self, parameter_values: Any) -> np.ndarray:
        """Parameter rows, shape (prod(shape), P), in slot order, of the
        plan's parameter type (float32 or float64)."""
        values = parameter_values.as_array(self.translation.parameters)
        rows = int(np.prod(parameter_values.shape, dtype=np.int64))
        return np.ascontiguousarray(values.reshape(rows, len(self.translation.parameters)), self.dtype)


class _Cache(dict):
    def __init__(self, precision: str):
        super().__init__()
        self.precision = precision

    def get_compiled(self, circuit: Any) -> _Compiled:
        key = id(circuit)
        if key not in self:
            # holding circuit keeps its id unique
            self[key] = (circuit, _Compiled(circuit, self.precision))
        return self[key][1]


def _entropy(seed: Optional[int]) -> int:
    """The seed, or fresh entropy from the operating system."""
    return int(np.random.SeedSequence().entropy) if seed is None else int(seed)  # type: ignore[arg-type]


def _submit(run_pub: Any, pubs: list[Any], seed: Optional[int], precision: str) -> PrimitiveJob:
    """A job running run_pub(pub, cache, entropy, index) on every PUB, with one
    compiled-circuit cache (plans of `precision`) and one seed for the whole
    call."""

    def run() -> PrimitiveResult:
        cache = _Cache(precision)
        entropy = _entropy(seed)
        return PrimitiveResult([run_pub(pub, cache, entropy, i) for i, pub in enumerate(pubs)],
                               metadata={"version": 2})

    job = PrimitiveJob(run)
    job._submit()
    return job


def _row_seeds(entropy: int, pub_index: int, count: int) -> list[int]:
    words = np.random.SeedSequence(entropy, spawn_key=(pub_index,)).generate_state(count, np.uint64)
    return [int(w) for w in words]


class Estimator(BaseEstimatorV2):
    """BaseEstimatorV2 on vantrel: exact expectation values, plus Gaussian
    noise of standard deviation `precision` when it is above 0 (as Qiskit's
    reference estimator), drawn from `seed`.

    precision (keyword of the constructor, a string) is the arithmetic:
    'single' (the default) or 'double'. default_precision is Qiskit's target
    precision."""

    def __init__(self, *, default_precision: float = 0.0, seed: Optional[int] = None,
                 precision: str = "single"):
        self._arithmetic = check_precision(precision)
        self._default_precision = default_precision
        self._seed = seed

    @property
    def default_precision(self) -> float:
        return self._default_precision

    @property
    def seed(self) -> Optional[int]:
        return self._seed

    def run(self, pubs: Iterable[Any], *, precision: Optional[float] = None) -> PrimitiveJob:
        if precision is None:
            precision = self._default_precision
        return _submit(self._run_pub, [EstimatorPub.coerce(pub, precision) for pub in pubs],
                       self._seed, self._arithmetic)

    def _run_pub(self, pub: EstimatorPub, cache: _Cache, entropy: int, index: int) -> PubResult:
        compiled = cache.get_compiled(pub.circuit)
        rows = compiled.rows(pub.parameter_values)
        shape = pub.shape
        row_of = np.broadcast_to(np.arange(len(rows)).reshape(pub.parameter_values.shape), shape)
        terms = pub.observables.ravel().tolist()
        obs_of = np.broadcast_to(np.arange(len(terms)).reshape(pub.observables.shape), shape)
        converted = [observable(t) for t in terms]
        # table[r, j]: observable j at parameter row r, filled where a pair needs it.
        table = np.zeros((len(rows), len(terms)))
        used_rows, used_obs = np.unique(row_of), np.unique(obs_of)
        pauli = [j for j in used_obs if converted[j][0] is not None]
        pairs = len(np.unique(row_of * len(terms) + obs_of))
        if pauli and pairs == len(used_rows) * len(used_obs):
            # Every row meets every observable: one run per row serves them all.
            table[np.ix_(used_rows, pauli)] = compiled.plan.batch_expectations(
                rows[used_rows], [converted[j][0] for j in pauli])
        else:
            for j in pauli:
                needed = np.unique(row_of[obs_of == j])
                table[needed, j] = compiled.plan.batch_expectation(rows[needed], converted[j][0])
        table += np.array([constant for _, constant in converted])
        evs = table[row_of, obs_of]
        if pub.precision != 0:
            rng = np.random.default_rng(np.random.SeedSequence(entropy, spawn_key=(index,)))
            evs = rng.normal(evs, pub.precision)
        stds = np.full(shape, float(pub.precision))
        data = DataBin(evs=evs, stds=stds, shape=shape)
        return PubResult(data, metadata={"target_precision": pub.precision,
                                         "circuit_metadata": pub.circuit.metadata})


def _pack(samples: np.ndarray, qubits: list[int]) -> np.ndarray:
    """Bytes of a BitArray, shape (shots, ceil(len(qubits)/8)): bit i of each
    shot is the sampled value of qubits[i] (0 where qubits[i] is -1)."""
    bits = np.zeros((len(samples), len(qubits) + (-len(qubits) % 8)), np.uint8)
    for i, q in enumerate(qubits):
        if q >= 0:
            bits[:, -1 - i] = (samples >> np.uint64(q)) & np.uint64(1)
    return np.packbits(bits, axis=-1)


def sample_values(plan: vt.CompiledCircuit, row: np.ndarray, shots: int, seed: int) -> np.ndarray:
    """shots basis-state indices, as an array of uint64."""
    return np.fromiter(plan.sample(row, shots, seed=seed), np.uint64, count=shots)


class Sampler(BaseSamplerV2):
    """BaseSamplerV2 on vantrel: `shots` samples per parameter row, seeded by
    `seed`, in one BitArray per classical register. Measurements in the
    middle of a circuit and resets are deferred to ancilla qubits, so every
    shot is an independent run. precision (a string) is the arithmetic:
    'single' (the default) or 'double'."""

    def __init__(self, *, default_shots: int = 1024, seed: Optional[int] = None,
                 precision: str = "single"):
        self._arithmetic = check_precision(precision)
        self._default_shots = default_shots
        self._seed = seed

    @property
    def default_shots(self) -> int:
        return self._default_shots

    @property
    def seed(self) -> Optional[int]:
        return self._seed

    def run(self, pubs: Iterable[Any], *, shots: Optional[int] = None) -> PrimitiveJob:
        if shots is None:
            shots = self._default_shots
        return _submit(self._run_pub, [SamplerPub.coerce(pub, shots) for pub in pubs], self._seed,
                       self._arithmetic)

    def _run_pub(self, pub: SamplerPub, cache: _Cache, entropy: int, index: int) -> SamplerPubResult:
        circuit = pub.circuit
        compiled = cache.get_compiled(circuit)
        rows = compiled.rows(pub.parameter_values)
        clbit_qubits = compiled.translation.clbit_qubits
        registers = [(reg.name, reg.size, [clbit_qubits[circuit.find_bit(b).index] for b in reg])
                     for reg in circuit.cregs]
        arrays = {name: np.zeros((len(rows), pub.shots, (size + 7) // 8), np.uint8)
                  for name, size, _ in registers}
        for r, seed in enumerate(_row_seeds(entropy, index, len(rows))):
            samples = sample_values(compiled.plan, rows[r], pub.shots, seed)
            for name, _, qubits in registers:
                arrays[name][r] = _pack(samples, qubits)
        shape = pub.shape
        data = {name: BitArray(arrays[name].reshape(shape + arrays[name].shape[1:]), size)
                for name, size, _ in registers}
        return SamplerPubResult(DataBin(**data, shape=shape),
                                metadata={"shots": pub.shots, "circuit_metadata": circuit.metadata})

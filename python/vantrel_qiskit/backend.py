"""A BackendV2 that runs circuits on vantrel and returns counts and memory."""

from __future__ import annotations

import uuid
from typing import Any, Optional

import numpy as np

import vantrel as vt
from qiskit import QuantumCircuit
from qiskit.circuit import Measure, Parameter, Reset
from qiskit.circuit import library as lib
from qiskit.providers import BackendV2, JobStatus, JobV1, Options
from qiskit.result import Result
from qiskit.transpiler import Target

from ._convert import translate
from .primitives import _row_seeds, check_precision, sample_values, _entropy


def _target(num_qubits: int) -> Target:
    """vantrel's native gates, on every qubit and pair (no coupling map)."""
    theta, phi, lam, gamma = (Parameter(n) for n in ("θ", "φ", "λ", "γ"))
    target = Target(description="vantrel state-vector simulator", num_qubits=num_qubits)
    gates = [
        lib.IGate(), lib.HGate(), lib.XGate(), lib.YGate(), lib.ZGate(), lib.SGate(), lib.SdgGate(),
        lib.TGate(), lib.TdgGate(), lib.SXGate(), lib.SXdgGate(), lib.PhaseGate(theta),
        lib.RXGate(theta), lib.RYGate(theta), lib.RZGate(theta), lib.UGate(theta, phi, lam),
        lib.SwapGate(), lib.iSwapGate(), lib.CHGate(), lib.CXGate(), lib.CYGate(), lib.CZGate(),
        lib.CPhaseGate(theta), lib.CRXGate(theta), lib.CRYGate(theta), lib.CRZGate(theta),
        lib.CUGate(theta, phi, lam, gamma), lib.CCXGate(), lib.CSwapGate(), lib.RXXGate(theta),
        lib.RYYGate(theta), lib.RZZGate(theta), lib.RZXGate(theta), Measure(), Reset(),
    ]
    for gate in gates:
        target.add_instruction(gate)
    return target


class _Job(JobV1):
    """A finished job: run() computes before returning it."""

    def __init__(self, backend: BackendV2, job_id: str, result: Result):
        super().__init__(backend, job_id)
        self._result = result

    def submit(self) -> None:
        pass

    def result(self) -> Result:
        return self._result

    def status(self) -> JobStatus:
        return JobStatus.DONE


class Backend(BackendV2):
    """vantrel as a Qiskit backend: transpile(circuit, backend) targets its
    native gates; run(circuits, shots=1024, seed_simulator=None,
    memory=False) returns a job whose result() gives get_counts() and, with
    memory=True, get_memory(). Circuits must have their parameters bound.

    precision (a string) is the arithmetic: 'single' (the default) or
    'double'."""

    def __init__(self, *, num_qubits: int = 30, precision: str = "single"):
        self._arithmetic = check_precision(precision)
        super().__init__(name="vantrel", backend_version=vt.__version__,
                         description="vantrel state-vector simulator")
        self._target = _target(num_qubits)

    @property
    def target(self) -> Target:
        return self._target

    @property
    def max_circuits(self) -> None:
        return None

    @classmethod
    def _default_options(cls) -> Options:
        return Options(shots=1024, seed_simulator=None, memory=False)

    def run(self, run_input: Any, **options: Any) -> _Job:
        unknown = set(options) - {"shots", "seed_simulator", "memory"}
        if unknown:
            raise ValueError(f"unknown run options: {sorted(unknown)}")
        shots = int(options.get("shots", self.options.shots))
        seed = options.get("seed_simulator", self.options.seed_simulator)
        memory = bool(options.get("memory", self.options.memory))
        circuits = [run_input] if isinstance(run_input, QuantumCircuit) else list(run_input)
        seeds = _row_seeds(_entropy(seed), 0, len(circuits))
        results = [self._experiment(c, shots, s, memory) for c, s in zip(circuits, seeds)]
        job_id = str(uuid.uuid4())
        result = Result.from_dict({
            "backend_name": self.name, "backend_version": self.backend_version, "qobj_id": "",
            "job_id": job_id, "success": True, "results": results,
        })
        return _Job(self, job_id, result)

    def _experiment(self, circuit: QuantumCircuit, shots: int, seed: int, memory: bool) -> dict:
        if circuit.parameters:
            raise ValueError(f"circuit '{circuit.name}' has unbound parameters: "
                             f"{', '.join(p.name for p in circuit.parameters)}")
        translation = translate(circuit, defer=True)
        plan = translation.spec.compile(precision=self._arithmetic)
        no_params = np.zeros(0, np.float32)
        data: dict[str, Any] = {}
        if memory:
            keys = [hex(v) for v in _clbit_values(sample_values(plan, no_params, shots, seed),
                                                  translation.clbit_qubits)]
            outcomes, counts = np.unique(np.array(keys), return_counts=True)
            data["counts"] = {str(k): int(n) for k, n in zip(outcomes, counts)}
            data["memory"] = keys
        else:
            # The same draws as sample() with this seed, tallied by the engine.
            tally = plan.counts(no_params, shots, seed=seed)
            indices = np.fromiter(tally, np.uint64, count=len(tally))
            totals: dict[str, int] = {}
            for value, n in zip(_clbit_values(indices, translation.clbit_qubits), tally.values()):
                totals[hex(value)] = totals.get(hex(value), 0) + n
            data["counts"] = totals
        header = {
            "name": circuit.name,
            "creg_sizes": [[reg.name, reg.size] for reg in circuit.cregs],
            "memory_slots": circuit.num_clbits,
            "metadata": circuit.metadata,
        }
        return {"shots": shots, "success": True, "data": data, "header": header,
                "seed_simulator": seed}


def _clbit_values(samples: np.ndarray, clbit_qubits: list[int]) -> list[int]:
    """The classical register of each shot as an int: bit i is clbit i."""
    values = np.zeros(len(samples), np.uint64) if len(clbit_qubits) <= 64 else None
    if values is not None:
        for i, q in enumerate(clbit_qubits):
            if q >= 0:
                values |= ((samples >> np.uint64(q)) & np.uint64(1)) << np.uint64(i)
        return values.tolist()
    return [sum(((int(s) >> q) & 1) << i for i, q in enumerate(clbit_qubits) if q >= 0)
            for s in samples]

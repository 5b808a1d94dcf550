"""Qiskit and OpenQASM on vantrel.

- from_qiskit(circuit) and from_qasm(text): a vantrel CircuitSpec (compile it
  yourself), one parameter slot per Qiskit Parameter in circuit.parameters
  order;
- Estimator and Sampler: Qiskit's V2 primitives (BaseEstimatorV2,
  BaseSamplerV2), seeded;
- Backend: a BackendV2 with a Target of vantrel's native gates, for
  transpile() and run() with counts and memory.

Needs Qiskit 2 (pip install 'vantrel[qiskit]'); `import vantrel` alone never
imports Qiskit.
"""

from ._convert import UnsupportedError, from_qasm, from_qiskit, load_qasm
from .backend import Backend
from .primitives import Estimator, Sampler

__all__ = ["Backend", "Estimator", "Sampler", "UnsupportedError", "from_qasm", "from_qiskit",
           "load_qasm"]

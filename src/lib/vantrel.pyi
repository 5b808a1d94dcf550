# Type stubs of the extension module, installed beside it.
#
# Every method added to the module gets its entry here, with the argument
# names and defaults of its text signature; `python -m mypy.stubtest vantrel`
# (tests/test_typing.py, CI) compares the two. Docstrings are the module's
# own, written here by tools/stub_docs.py (tests/test_module.py compares
# them); shapes are given in the comments: n is num_qubits, P the circuit's
# parameter_count, B the number of rows of a batch. Qubit q is bit q of a state index (qubit 0 the least
# significant bit).
#
# A CompiledCircuit computes in the precision it was compiled for
# (CircuitSpec.compile(precision=...)): its arrays are complex64 and float32
# in single precision, complex128 and float64 in double.
#
# Gate, Parameter, Observable, CompiledCircuit, CircuitSpec and Circuit
# pickle (every protocol) and copy: the copy computes the same bits and owns
# its own value. ExecutionContext and the buffers refuse with TypeError.

from typing import Any, Literal, Sequence, SupportsFloat, SupportsIndex, final, overload

import numpy as np
from numpy.typing import NDArray
from typing_extensions import TypeAlias, TypedDict, Unpack

__version__: str

# A qubit index or a count: any integer (int, numpy integer); negative values
# raise OverflowError.
_Int: TypeAlias = SupportsIndex
# An angle, scale or coefficient, kept in double precision (single-precision
# runs round it).
_Real: TypeAlias = SupportsFloat | SupportsIndex
# An ordered list of qubits: a list, tuple or range of integers, or a
# one-dimensional integer array (not a str, set or iterator).
_Qubits: TypeAlias = Sequence[SupportsIndex] | NDArray[np.integer[Any]]
# A square matrix of 2**k rows, converted to complex128 (single-precision runs
# round it to complex64); the first qubit of the operation is the most
# significant bit of the row and column index.
_Matrix: TypeAlias = NDArray[np.number[Any]] | Sequence[Sequence[complex | _Real]]
_RealArray: TypeAlias = NDArray[np.floating[Any]] | NDArray[np.integer[Any]]
# One parameter vector, shape (P,), converted to float32, or to float64 for a
# double-precision plan (an array of that type, contiguous, is read without
# conversion, then copied once).
_Params: TypeAlias = _RealArray | Sequence[_Real]
# A batch of parameter vectors, shape (B, P), converted likewise.
_ParamsBatch: TypeAlias = _RealArray | Sequence[Sequence[_Real]]
# The arithmetic of a computation: "single" (complex64 states, float32 values)
# or "double" (complex128, float64).
_Precision: TypeAlias = Literal["single", "double"]
# Arrays of a plan's precision: complex64 and float32 for a single-precision
# plan, complex128 and float64 for a double-precision one.
_State: TypeAlias = NDArray[np.complex64 | np.complex128]
_Reals: TypeAlias = NDArray[np.float32 | np.float64]

# Gate.u and Gate.cu name an argument `lambda`, a Python keyword: it is given
# by position (all arguments before it then by position too) or by name only
# through `**{"lambda": value}`. The two overloads of each say exactly that.
_LambdaKw = TypedDict("_LambdaKw", {"lambda": _Real})
# What draw() returns: a text diagram, or an SVG document.
_DiagramOutput: TypeAlias = Literal["text", "svg"]

@final
class Gate:
    """Gate constructors for one-off circuit building and custom unitary definition."""

    @staticmethod
    def h(target: _Int) -> Gate: ...
    @staticmethod
    def i(target: _Int) -> Gate: ...
    @staticmethod
    def x(target: _Int) -> Gate: ...
    @staticmethod
    def y(target: _Int) -> Gate: ...
    @staticmethod
    def z(target: _Int) -> Gate: ...
    @staticmethod
    def s(target: _Int) -> Gate: ...
    @staticmethod
    def sdg(target: _Int) -> Gate: ...
    @staticmethod
    def t(target: _Int) -> Gate: ...
    @staticmethod
    def tdg(target: _Int) -> Gate: ...
    @staticmethod
    def p(target: _Int, theta: _Real) -> Gate: ...
    @staticmethod
    def phase(target: _Int, theta: _Real) -> Gate: ...
    @staticmethod
    def rx(target: _Int, theta: _Real) -> Gate: ...
    @staticmethod
    def ry(target: _Int, theta: _Real) -> Gate: ...
    @staticmethod
    def rz(target: _Int, theta: _Real) -> Gate: ...
    @overload
    @staticmethod
    def u(target: _Int, theta: _Real, phi: _Real, lambda_: _Real, /) -> Gate: ...
    @overload
    @staticmethod
    def u(target: _Int, theta: _Real, phi: _Real, **kwargs: Unpack[_LambdaKw]) -> Gate: ...
    @staticmethod
    def swap(a: _Int, b: _Int) -> Gate: ...
    @staticmethod
    def iswap(a: _Int, b: _Int) -> Gate: ...
    @staticmethod
    def ch(control: _Int, target: _Int) -> Gate: ...
    @staticmethod
    def cx(control: _Int, target: _Int) -> Gate: ...
    @staticmethod
    def cnot(control: _Int, target: _Int) -> Gate: ...
    @staticmethod
    def cy(control: _Int, target: _Int) -> Gate: ...
    @staticmethod
    def cz(control: _Int, target: _Int) -> Gate: ...
    @staticmethod
    def cp(control: _Int, target: _Int, theta: _Real) -> Gate: ...
    @staticmethod
    def cphase(control: _Int, target: _Int, theta: _Real) -> Gate: ...
    @staticmethod
    def crx(control: _Int, target: _Int, theta: _Real) -> Gate: ...
    @staticmethod
    def cry(control: _Int, target: _Int, theta: _Real) -> Gate: ...
    @staticmethod
    def crz(control: _Int, target: _Int, theta: _Real) -> Gate: ...
    @overload
    @staticmethod
    def cu(
        control: _Int,
        target: _Int,
        theta: _Real,
        phi: _Real,
        lambda_: _Real,
        /,
        gamma: _Real | None = None,
    ) -> Gate: ...
    @overload
    @staticmethod
    def cu(
        control: _Int,
        target: _Int,
        theta: _Real,
        phi: _Real,
        *,
        gamma: _Real | None = None,
        **kwargs: Unpack[_LambdaKw],
    ) -> Gate: ...
    @staticmethod
    def ccx(control_a: _Int, control_b: _Int, target: _Int) -> Gate: ...
    @staticmethod
    def toffoli(control_a: _Int, control_b: _Int, target: _Int) -> Gate: ...
    @staticmethod
    def cswap(control: _Int, a: _Int, b: _Int) -> Gate: ...
    @staticmethod
    def fredkin(control: _Int, a: _Int, b: _Int) -> Gate: ...
    @staticmethod
    def mcx(controls: _Qubits, target: _Int) -> Gate: ...
    @staticmethod
    def mcz(controls: _Qubits, target: _Int) -> Gate: ...
    @staticmethod
    def mcp(controls: _Qubits, target: _Int, theta: _Real) -> Gate: ...
    @staticmethod
    def mcphase(controls: _Qubits, target: _Int, theta: _Real) -> Gate: ...
    # matrix: shape (2**k, 2**k) for k = len(targets).
    @staticmethod
    def unitary(targets: _Qubits, matrix: _Matrix) -> Gate: ...
    # matrix: shape (2**k, 2**k) for k = len(targets), applied where every control is 1.
    @staticmethod
    def controlled_unitary(controls: _Qubits, targets: _Qubits, matrix: _Matrix) -> Gate: ...
    @staticmethod
    def measure(target: _Int) -> Gate: ...
    @staticmethod
    def reset(target: _Int) -> Gate: ...
    @staticmethod
    def barrier() -> Gate: ...
    @staticmethod
    def bit_flip(target: _Int, p: _Real) -> Gate:
        """Noise channel: X on target with probability p, nothing otherwise."""
    @staticmethod
    def phase_flip(target: _Int, p: _Real) -> Gate:
        """Noise channel: Z on target with probability p, nothing otherwise."""
    @staticmethod
    def depolarizing(target: _Int, p: _Real) -> Gate:
        """Noise channel: X, Y or Z on target, each with probability p/3."""
    @staticmethod
    def two_qubit_depolarizing(a: _Int, b: _Int, p: _Real) -> Gate:
        """Noise channel: each of the 15 non-identity Pauli pairs on (a, b) with probability p/15."""
    @staticmethod
    def pauli_channel(target: _Int, px: _Real, py: _Real, pz: _Real) -> Gate:
        """Noise channel: X, Y, Z on target with probabilities px, py, pz (px+py+pz <= 1)."""
    @staticmethod
    def amplitude_damping(target: _Int, gamma: _Real) -> Gate:
        """Noise channel: amplitude damping with Kraus operators diag(1, sqrt(1-gamma)) and sqrt(gamma)|0><1|."""
    @staticmethod
    def phase_damping(target: _Int, lam: _Real) -> Gate:
        """Noise channel: phase damping with Kraus operators diag(1, sqrt(1-lam)) and diag(0, sqrt(lam))."""
    @staticmethod
    def kraus(targets: _Qubits, operators: Sequence[_Matrix]) -> Gate:
        """Noise channel given by Kraus operators (2**k x 2**k matrices on k targets, the first target the high bit), refused unless sum K^dagger K is the identity within 1e-5*2**k. Runs draw K_i with probability ||K_i psi||**2 and renormalise."""
    def __copy__(self) -> Gate:
        """Return a copy that owns its own value."""
    def __deepcopy__(self, memo: dict[int, Any]) -> Gate:
        """Return a copy that owns its own value."""

@final
class Parameter:
    """Symbolic parameter handle used when building a compiled circuit specification."""

    @property
    def index(self) -> int:
        """Stable zero-based slot used when binding parameter vectors."""
    @property
    def name(self) -> str | None:
        """Optional user-provided parameter name."""
    def __copy__(self) -> Parameter:
        """Return a copy that owns its own value."""
    def __deepcopy__(self, memo: dict[int, Any]) -> Parameter:
        """Return a copy that owns its own value."""

@final
class Observable:
    """Pauli observables and Hamiltonians for expectation-value workflows."""

    @staticmethod
    def pauli_x(qubit: _Int, coefficient: _Real = 1.0) -> Observable: ...
    @staticmethod
    def pauli_y(qubit: _Int, coefficient: _Real = 1.0) -> Observable: ...
    @staticmethod
    def pauli_z(qubit: _Int, coefficient: _Real = 1.0) -> Observable: ...
    # ops: (label, qubit) tuples, label one of X, Y, Z (either case).
    @staticmethod
    def pauli_string(ops: Sequence[tuple[str, _Int]], coefficient: _Real = 1.0) -> Observable: ...
    @staticmethod
    def hamiltonian(terms: list[Observable]) -> Observable: ...
    def to_matrix(self, num_qubits: _Int) -> NDArray[np.complex128]:
        """Return the dense 2**num_qubits square matrix as a complex128 array (qubit q is bit q of a row or column index)."""
    def simplify(self) -> Observable:
        """Return an equal observable with like terms merged into their first occurrence and zero coefficients dropped."""
    @property
    def terms(self) -> list[tuple[float, list[tuple[str, int]]]]:
        """The terms in order as (coefficient, [(pauli, qubit), ...]), factors by qubit."""
    @property
    def num_qubits(self) -> int:
        """One more than the highest qubit acted on (0 for none)."""
    # Sums keep every term of both sides, unmerged; a factor must be a finite
    # real number (ValueError otherwise).
    def __add__(self, other: Observable, /) -> Observable:
        """Return self+value."""
    def __radd__(self, other: Observable, /) -> Observable:
        """Return value+self."""
    def __sub__(self, other: Observable, /) -> Observable:
        """Return self-value."""
    def __rsub__(self, other: Observable, /) -> Observable:
        """Return value-self."""
    def __neg__(self) -> Observable:
        """-self"""
    def __mul__(self, other: _Real, /) -> Observable:
        """Return self*value."""
    def __rmul__(self, other: _Real, /) -> Observable:
        """Return value*self."""
    def __copy__(self) -> Observable:
        """Return a copy that owns its own value."""
    def __deepcopy__(self, memo: dict[int, Any]) -> Observable:
        """Return a copy that owns its own value."""

@final
class CompiledCircuit:
    """Reusable compiled execution plan for repeated parameterized circuit evaluation."""

    # Final state, shape (2**n,).
    def statevector(self, params: _Params) -> _State: ...
    # Final state, shape (2**n,).
    def statevector_buffer(self, params: ParamBuffer) -> _State: ...
    def expectation(self, params: _Params, observable: Observable) -> float: ...
    def expectation_buffer(self, params: ParamBuffer, observable: Observable) -> float: ...
    # Gradient, shape (P,).
    def gradient(self, params: _Params, observable: Observable) -> _Reals: ...
    # Gradient, shape (P,).
    def gradient_buffer(self, params: ParamBuffer, observable: Observable) -> _Reals: ...
    # Expectation value and gradient, shape (P,).
    def value_and_gradient(
        self, params: _Params, observable: Observable
    ) -> tuple[float, _Reals]: ...
    # Expectation value and gradient, shape (P,).
    def value_and_gradient_buffer(
        self, params: ParamBuffer, observable: Observable
    ) -> tuple[float, _Reals]: ...
    # Expectation value and gradient, shape (P,), by adjoint differentiation; plans that
    # measure or reset are refused.
    def adjoint_value_and_gradient(
        self, params: _Params, observable: Observable
    ) -> tuple[float, _Reals]:
        """Return the expectation value and its gradient by adjoint differentiation."""
    # Expectation value and gradient, shape (P,), by adjoint differentiation.
    def adjoint_value_and_gradient_buffer(
        self, params: ParamBuffer, observable: Observable
    ) -> tuple[float, _Reals]:
        """Return the expectation value and its gradient by adjoint differentiation, reading the parameters from a ParamBuffer."""
    # shots basis-state indices drawn from the final state (bit q is qubit q); a seed
    # (0 to 2**64 - 1) makes them, and the plan's measurements, reproducible.
    def sample(self, params: _Params, shots: _Int, seed: _Int | None = None) -> list[int]:
        """Run the plan once and draw shots basis-state indices from the final state; a seed makes the draws, and the plan's measurements, the same on every run."""
    def probabilities(self, params: _Params, qubits: _Qubits | None = None) -> NDArray[np.float64]:
        """Return the exact probabilities of the basis states of the listed qubits (all by default) as a float64 array of length 2**k, bit j of an index for qubits[j]; plans that measure or reset are refused."""
    def counts(self, params: _Params, shots: _Int, seed: _Int | None = None) -> dict[int, int]:
        """Return {basis-state index: count} in increasing order of index, from the draws sample makes with the same arguments."""
    def expectations(self, params: _Params, observables: Sequence[Observable]) -> NDArray[np.float64]:
        """Return the expectation value of each observable from one run, as a float64 array."""
    def batch_expectations(
        self, params_batch: _ParamsBatch, observables: Sequence[Observable]
    ) -> NDArray[np.float64]:
        """Return the value of each observable for each parameter row, one run per row, as a float64 array of shape (B, K)."""
    def noisy_expectation(
        self, params: _Params, observable: Observable, trajectories: _Int, seed: _Int | None = None
    ) -> tuple[float, float]:
        """Average the exact expectation value over trajectories runs of the plan, each drawing its channels' branches from its own stream of the seed; returns (mean, standard_error). A seed gives the same result on every machine and pool size."""
    # Means and standard errors, shape (B,) each.
    def batch_noisy_expectation(
        self,
        params_batch: _ParamsBatch,
        observable: Observable,
        trajectories: _Int,
        seed: _Int | None = None,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """noisy_expectation for each row of params_batch (every row with the same seed); returns (means, standard_errors) as float64 arrays of shape (B,)."""
    # A context holding a state of the plan's precision: it serves plans of that
    # precision only (others raise TypeError).
    def execution_context(self) -> ExecutionContext: ...
    def param_buffer(self) -> ParamBuffer:
        """Allocate a reusable parameter buffer backed by a NumPy array."""
    def param_batch_buffer(self, batch_size: _Int) -> ParamBatchBuffer:
        """Allocate a reusable parameter batch buffer backed by a NumPy array."""
    # Values, shape (B,).
    def batch_expectation(self, params_batch: _ParamsBatch, observable: Observable) -> _Reals: ...
    # Values, shape (B,).
    def batch_expectation_buffer(
        self, params_batch: ParamBatchBuffer, observable: Observable
    ) -> _Reals: ...
    # Gradients, shape (B, P).
    def batch_gradient(self, params_batch: _ParamsBatch, observable: Observable) -> _Reals: ...
    # Gradients, shape (B, P).
    def batch_gradient_buffer(
        self, params_batch: ParamBatchBuffer, observable: Observable
    ) -> _Reals: ...
    # Values, shape (B,), and gradients, shape (B, P).
    def batch_value_and_gradient(
        self, params_batch: _ParamsBatch, observable: Observable
    ) -> tuple[_Reals, _Reals]: ...
    # Values, shape (B,), and gradients, shape (B, P).
    def batch_value_and_gradient_buffer(
        self, params_batch: ParamBatchBuffer, observable: Observable
    ) -> tuple[_Reals, _Reals]: ...
    # Values, shape (B,), and gradients, shape (B, P), by adjoint differentiation.
    def batch_adjoint_value_and_gradient(
        self, params_batch: _ParamsBatch, observable: Observable
    ) -> tuple[_Reals, _Reals]:
        """Return the values and gradients of a parameter batch by adjoint differentiation."""
    # Values, shape (B,), and gradients, shape (B, P), by adjoint differentiation.
    def batch_adjoint_value_and_gradient_buffer(
        self, params_batch: ParamBatchBuffer, observable: Observable
    ) -> tuple[_Reals, _Reals]:
        """Return the values and gradients of a parameter batch by adjoint differentiation, reading the rows from a ParamBatchBuffer."""
    def draw(self, fold: _Int = 80, ascii: bool = False, output: _DiagramOutput = "text") -> str:
        """Draw the plan after fusion (fused gates as U) as text, or as SVG with output='svg'; a custom unitary marks its targets U0, U1, ... in the order given."""
    @property
    def num_qubits(self) -> int:
        """Number of qubits in the compiled circuit."""
    @property
    def parameter_count(self) -> int:
        """Number of parameters expected in each bound parameter vector."""
    @property
    def precision(self) -> _Precision:
        """The arithmetic of the plan's runs, 'single' or 'double', chosen by compile()."""
    def __copy__(self) -> CompiledCircuit:
        """Return a copy that owns its own value."""
    def __deepcopy__(self, memo: dict[int, Any]) -> CompiledCircuit:
        """Return a copy that owns its own value."""

@final
class ParamBuffer:
    """Reusable parameter buffer for zero-copy compiled scalar execution."""

    # The buffer's own array, shape (size,), float32 or float64 as the plan that
    # made it; writes are seen by the next call. Only plans of that precision
    # read it (others raise TypeError).
    def numpy(self) -> _Reals:
        """Return the writable NumPy array backing this buffer."""
    @property
    def size(self) -> int:
        """Number of parameters stored in the buffer."""

@final
class ParamBatchBuffer:
    """Reusable parameter batch buffer for zero-copy compiled batch execution."""

    # The buffer's own array, shape (batch_size, parameter_count), float32 or
    # float64 as the plan that made it.
    def numpy(self) -> _Reals:
        """Return the writable NumPy array backing this batch buffer."""
    @property
    def batch_size(self) -> int:
        """Number of parameter vectors stored in the batch buffer."""
    @property
    def parameter_count(self) -> int:
        """Number of parameters in each row of the batch buffer."""

@final
class ExecutionContext:
    """Reusable execution buffer for repeated scalar compiled-circuit calls."""

    # A copy of the final state, shape (2**n,).
    def statevector(self, circuit: CompiledCircuit, params: _Params) -> _State: ...
    # A copy of the final state, shape (2**n,).
    def statevector_buffer(self, circuit: CompiledCircuit, params: ParamBuffer) -> _State: ...
    def expectation(self, circuit: CompiledCircuit, params: _Params, observable: Observable) -> float: ...
    def expectation_buffer(
        self, circuit: CompiledCircuit, params: ParamBuffer, observable: Observable
    ) -> float: ...
    # Gradient, shape (P,).
    def gradient(
        self, circuit: CompiledCircuit, params: _Params, observable: Observable
    ) -> _Reals: ...
    # Gradient, shape (P,).
    def gradient_buffer(
        self, circuit: CompiledCircuit, params: ParamBuffer, observable: Observable
    ) -> _Reals: ...
    # Expectation value and gradient, shape (P,).
    def value_and_gradient(
        self, circuit: CompiledCircuit, params: _Params, observable: Observable
    ) -> tuple[float, _Reals]: ...
    # Expectation value and gradient, shape (P,).
    def value_and_gradient_buffer(
        self, circuit: CompiledCircuit, params: ParamBuffer, observable: Observable
    ) -> tuple[float, _Reals]: ...
    # Expectation value and gradient, shape (P,), by adjoint differentiation; the context
    # keeps its two state vectors between calls.
    def adjoint_value_and_gradient(
        self, circuit: CompiledCircuit, params: _Params, observable: Observable
    ) -> tuple[float, _Reals]:
        """Return the expectation value and its gradient by adjoint differentiation."""
    # Expectation value and gradient, shape (P,), by adjoint differentiation.
    def adjoint_value_and_gradient_buffer(
        self, circuit: CompiledCircuit, params: ParamBuffer, observable: Observable
    ) -> tuple[float, _Reals]:
        """Return the expectation value and its gradient by adjoint differentiation, reading the parameters from a ParamBuffer."""
    def probabilities(
        self, circuit: CompiledCircuit, params: _Params, qubits: _Qubits | None = None
    ) -> NDArray[np.float64]:
        """Return the exact probabilities of the basis states of the listed qubits (all by default) as a float64 array of length 2**k, bit j of an index for qubits[j]; plans that measure or reset are refused."""
    def expectations(
        self, circuit: CompiledCircuit, params: _Params, observables: Sequence[Observable]
    ) -> NDArray[np.float64]:
        """Return the expectation value of each observable from one run, as a float64 array."""

@final
class CircuitSpec:
    """Builder for reusable parameterized circuit structure."""

    def __new__(cls, num_qubits: _Int) -> CircuitSpec: ...
    def param(self, name: str | None = None) -> Parameter:
        """Register a new symbolic parameter and return its handle."""
    def h(self, target: _Int) -> None: ...
    def x(self, target: _Int) -> None: ...
    def z(self, target: _Int) -> None: ...
    def cx(self, control: _Int, target: _Int) -> None: ...
    def cnot(self, control: _Int, target: _Int) -> None: ...
    def cz(self, control: _Int, target: _Int) -> None: ...
    def rx(self, target: _Int, param: Parameter) -> None: ...
    def ry(self, target: _Int, param: Parameter) -> None: ...
    def rz(self, target: _Int, param: Parameter) -> None: ...
    def p(self, target: _Int, param: Parameter) -> None: ...
    def gate(self, gate: Gate) -> None:
        """Append a copy of a Gate as a fixed step."""
    # Append exp(-i*scale*theta/2*P); paulis: (label, qubit) tuples, label one of
    # I, X, Y, Z (either case), I dropped, at least one other.
    def pauli_rotation(
        self, paulis: Sequence[tuple[str, _Int]], param: Parameter, scale: _Real = 1.0
    ) -> None:
        """Append exp(-i*scale*theta/2*P) for the Pauli string P given as (label, qubit) pairs, theta being the parameter's value."""
    def rxx(self, q0: _Int, q1: _Int, param: Parameter, scale: _Real = 1.0) -> None:
        """Append exp(-i*scale*theta/2*X(q0)X(q1))."""
    def ryy(self, q0: _Int, q1: _Int, param: Parameter, scale: _Real = 1.0) -> None:
        """Append exp(-i*scale*theta/2*Y(q0)Y(q1))."""
    def rzz(self, q0: _Int, q1: _Int, param: Parameter, scale: _Real = 1.0) -> None:
        """Append exp(-i*scale*theta/2*Z(q0)Z(q1))."""
    def compile(self, precision: _Precision = "single") -> CompiledCircuit:
        """Compile the circuit specification into a reusable execution plan."""
    def draw(self, fold: _Int = 80, ascii: bool = False, output: _DiagramOutput = "text") -> str:
        """Draw the steps as text, or as SVG with output='svg'; unnamed parameters show their slot (θ3, or t3 in ASCII), a custom unitary its targets as U0, U1, ... in the order given."""
    @property
    def num_qubits(self) -> int:
        """Number of qubits declared for the circuit specification."""
    @property
    def parameter_count(self) -> int:
        """Number of symbolic parameters currently registered on the specification."""
    def __copy__(self) -> CircuitSpec:
        """Return a copy that owns its own value."""
    def __deepcopy__(self, memo: dict[int, Any]) -> CircuitSpec:
        """Return a copy that owns its own value."""

@final
class Circuit:
    """One-off gate-by-gate circuit execution API."""

    def __new__(cls, gates: list[Gate]) -> Circuit: ...
    # Final state, shape (2**num_qubits,), complex64 (complex128 in double precision).
    def run(
        self, num_qubits: _Int, seed: _Int | None = None, precision: _Precision = "single"
    ) -> _State: ...
    # Final state and the (qubit, outcome) record of every measurement, in order.
    def run_with_measurements(
        self, num_qubits: _Int, seed: _Int | None = None, precision: _Precision = "single"
    ) -> tuple[_State, list[tuple[int, bool]]]: ...
    # shots basis-state indices drawn from the final state (bit q is qubit q); with
    # channels, each shot from a trajectory of its own.
    def sample(
        self, num_qubits: _Int, shots: _Int, seed: _Int | None = None, precision: _Precision = "single"
    ) -> list[int]: ...
    def probabilities(self, num_qubits: _Int, qubits: _Qubits | None = None) -> NDArray[np.float64]:
        """Return the exact probabilities of the basis states of the listed qubits (all by default) as a float64 array of length 2**k, bit j of an index for qubits[j]; circuits that measure or reset are refused."""
    def counts(self, num_qubits: _Int, shots: _Int, seed: _Int | None = None) -> dict[int, int]:
        """Return {basis-state index: count} in increasing order of index; a seed makes the draws, and the circuit's measurements, the same on every run."""
    def draw(self, fold: _Int = 80, ascii: bool = False, output: _DiagramOutput = "text") -> str:
        """Draw the gates as they run (after fusion) as text, or as SVG with output='svg'; a custom unitary marks its targets U0, U1, ... in the order given."""
    def __copy__(self) -> Circuit:
        """Return a copy that owns its own value."""
    def __deepcopy__(self, memo: dict[int, Any]) -> Circuit:
        """Return a copy that owns its own value."""

def set_num_threads(num_threads: _Int) -> None:
    """Set the number of threads of the global worker pool."""

"""The ``vantrel.qubit`` device.

A tape is lowered to a vantrel plan: the parameters of rotations vantrel can
read from a slot (RX, RY, RZ, PhaseShift, Rot, IsingXX/YY/ZZ, MultiRZ,
PauliRot) become slots, every other operation a fixed step. Plans are cached
by structure (operation names and wires, fixed operations with their data),
so a training loop compiles once and then only fills slots. Tapes of one
structure measured by the same Pauli expectation values run as one batch.

Expectation values of observables with a Pauli representation, and their
adjoint derivatives, are computed by vantrel; every other measurement (and
every finite-shot result) comes from the final state through PennyLane's own
measurement code, in double precision over the device's amplitudes.

Precision: c_dtype numpy.complex64 (the default) runs single-precision plans,
numpy.complex128 double-precision plans (states, values and gradients in
double).

Wires: device wire i is vantrel qubit n - 1 - i, so vantrel's amplitude index
(qubit 0 the least significant bit) is PennyLane's (first wire the most
significant bit) and matrices keep PennyLane's order.
"""

from collections import OrderedDict
from dataclasses import replace

import numpy as np
import pennylane as qml
import vantrel as vt
from pennylane.devices import Device, ExecutionConfig
from pennylane.devices.modifiers import simulator_tracking, single_tape_support
from pennylane.devices.preprocess import (
    decompose,
    no_sampling,
    validate_adjoint_trainable_params,
    validate_device_wires,
    validate_measurements,
    validate_observables,
)
from pennylane.devices.qubit.simulate import measure_final_state
from pennylane.exceptions import DeviceError
from pennylane.measurements import ExpectationMP, MidMeasureMP, SampleMeasurement, StateMeasurement
from pennylane.operation import StatePrepBase
from pennylane.ops.op_math import Controlled
from pennylane.transforms import broadcast_expand, defer_measurements
from pennylane.transforms.core import CompilePipeline

# Operations without parameters vantrel applies by name: appends the step for
# vantrel qubits q (in the operation's wire order).
_FIXED = {
    "Hadamard": lambda s, q: s.h(q[0]),
    "PauliX": lambda s, q: s.x(q[0]),
    "PauliY": lambda s, q: s.gate(vt.Gate.y(q[0])),
    "PauliZ": lambda s, q: s.z(q[0]),
    "S": lambda s, q: s.gate(vt.Gate.s(q[0])),
    "T": lambda s, q: s.gate(vt.Gate.t(q[0])),
    "Adjoint(S)": lambda s, q: s.gate(vt.Gate.sdg(q[0])),
    "Adjoint(T)": lambda s, q: s.gate(vt.Gate.tdg(q[0])),
    "CNOT": lambda s, q: s.cx(q[0], q[1]),
    "CZ": lambda s, q: s.cz(q[0], q[1]),
    "CY": lambda s, q: s.gate(vt.Gate.cy(q[0], q[1])),
    "CH": lambda s, q: s.gate(vt.Gate.ch(q[0], q[1])),
    "SWAP": lambda s, q: s.gate(vt.Gate.swap(q[0], q[1])),
    "ISWAP": lambda s, q: s.gate(vt.Gate.iswap(q[0], q[1])),
    "Toffoli": lambda s, q: s.gate(vt.Gate.ccx(q[0], q[1], q[2])),
    "CSWAP": lambda s, q: s.gate(vt.Gate.cswap(q[0], q[1], q[2])),
    "CCZ": lambda s, q: s.gate(vt.Gate.mcz([q[0], q[1]], q[2])),
}


def _pauli_rot(s, q, p, op):
    paulis = [(c, qi) for c, qi in zip(op.hyperparameters["pauli_word"], q) if c != "I"]
    s.pauli_rotation(paulis, p[0])


def _rot(s, q, p, op):
    s.rz(q[0], p[0])
    s.ry(q[0], p[1])
    s.rz(q[0], p[2])


# Operations whose every parameter becomes a slot: appends the steps for
# vantrel qubits q and slot parameters p (one per operation parameter).
_SLOTTED = {
    "RX": lambda s, q, p, op: s.rx(q[0], p[0]),
    "RY": lambda s, q, p, op: s.ry(q[0], p[0]),
    "RZ": lambda s, q, p, op: s.rz(q[0], p[0]),
    "PhaseShift": lambda s, q, p, op: s.p(q[0], p[0]),
    "U1": lambda s, q, p, op: s.p(q[0], p[0]),
    "Rot": _rot,
    "IsingXX": lambda s, q, p, op: s.rxx(q[0], q[1], p[0]),
    "IsingYY": lambda s, q, p, op: s.ryy(q[0], q[1], p[0]),
    "IsingZZ": lambda s, q, p, op: s.rzz(q[0], q[1], p[0]),
    "MultiRZ": lambda s, q, p, op: s.pauli_rotation([("Z", qi) for qi in q], p[0]),
    "PauliRot": _pauli_rot,
}

# Operations that change nothing but the global phase or nothing at all.
_PHASE_ONLY = {"GlobalPhase", "Identity", "Snapshot", "Barrier"}

# Widest operation applied as one dense matrix; wider ones are decomposed.
_MAX_MATRIX_WIRES = 6

# The plans' precision and parameter type for each c_dtype.
_PRECISIONS = {
    np.dtype(np.complex64): ("single", np.float32),
    np.dtype(np.complex128): ("double", np.float64),
}

# Plans kept per device, least recently used dropped first.
_PLAN_CACHE_SIZE = 512

# The gate set graph-based decomposition aims for.
_TARGET_GATES = set(_FIXED) | set(_SLOTTED) | {"GlobalPhase", "Identity", "QubitUnitary"}


def _has_pauli_word(op):
    return op.name != "PauliRot" or any(c != "I" for c in op.hyperparameters["pauli_word"])


def _supported(op):
    """Operations execute() applies as they are."""
    name = op.name
    if name in _FIXED or name in _SLOTTED or name in _PHASE_ONLY:
        return True
    if isinstance(op, MidMeasureMP):
        return False
    return op.has_matrix and len(op.wires) <= _MAX_MATRIX_WIRES


def _adjoint_supported(op):
    """Operations the adjoint method differentiates: slotted rotations, or
    operations none of whose parameters is trainable."""
    if not _supported(op):
        return False
    if op.name in _SLOTTED:
        return _has_pauli_word(op)
    return op.name in _PHASE_ONLY or not any(qml.math.requires_grad(d) for d in op.data)


def _analytic_measurement(m):
    return isinstance(m, StateMeasurement)


def _sample_measurement(m):
    return isinstance(m, SampleMeasurement)


def _householder(psi):
    """A unitary whose first column is the unit vector psi: a phase times the
    reflection that swaps e0 and the phase-free psi."""
    psi = np.asarray(psi, dtype=np.complex128).reshape(-1)
    alpha = psi[0] / abs(psi[0]) if abs(psi[0]) > 0 else 1.0
    phi = np.conj(alpha) * psi
    w = -phi
    w[0] += 1.0
    norm = np.linalg.norm(w)
    u = np.eye(psi.size, dtype=np.complex128)
    if norm > 1e-15:
        w /= norm
        u -= 2.0 * np.outer(w, np.conj(w))
    return alpha * u


class _Plan:
    """A compiled plan and the scratch state its scalar calls reuse."""

    __slots__ = ("circuit", "context")

    def __init__(self, circuit):
        self.circuit = circuit
        self.context = circuit.execution_context()


# Operation types that are controlled operations, learnt as met: a controlled
# operation's wires property builds a new Wires on every access (about 40 us),
# its parts are at hand.
_CONTROLLED_TYPES = {}


class _Register:
    """Wires as vantrel qubits: wire i of the order is qubit n - 1 - i. Keeps
    the qubits of every wire tuple met."""

    __slots__ = ("index", "n", "memo", "standard")

    def __init__(self, wire_order):
        self.index = {w: i for i, w in enumerate(wire_order)}
        self.n = len(self.index)
        self.memo = {}
        self.standard = all(self.index.get(i) == i for i in range(self.n))

    def qubits(self, op):
        controlled = _CONTROLLED_TYPES.get(type(op))
        if controlled is None:
            controlled = _CONTROLLED_TYPES[type(op)] = isinstance(op, Controlled)
        if controlled:
            hyper = op.hyperparameters
            labels = hyper["control_wires"].labels + hyper["base"].wires.labels
        else:
            labels = op.wires.labels
        q = self.memo.get(labels)
        if q is None:
            if len(self.memo) > 4096:
                self.memo.clear()
            n, index = self.n, self.index
            q = self.memo[labels] = tuple([n - 1 - index[w] for w in labels])
        return q


class _Lowered:
    """One tape in vantrel's terms: the plan's cache key, the slot values,
    for every operation parameter its slot (-1: none, the parameter is fixed
    in the plan or changes only the global phase), and the global phase."""

    __slots__ = ("key", "values", "slot_of", "phase", "n")

    def __init__(self, tape, register, dtype):
        n = register.n
        qubits = register.qubits
        key = [n]
        values = []
        slot_of = []
        phase = 1.0
        ops = tape.operations
        for index, op in enumerate(ops):
            name = op.name
            if name in _SLOTTED:
                if name == "PauliRot":
                    key.append((name, qubits(op), op.hyperparameters["pauli_word"]))
                else:
                    key.append((name, qubits(op)))
                for d in op.data:
                    slot_of.append(len(values))
                    values.append(d)
            elif name in _FIXED:
                key.append((name, qubits(op)))
            elif name in _PHASE_ONLY:
                if name == "GlobalPhase":
                    phase *= np.exp(-1j * complex(op.data[0]))
                slot_of.extend([-1] * len(op.data))
            else:
                if index == 0 and isinstance(op, StatePrepBase):
                    data = np.asarray(op.state_vector(wire_order=op.wires)).tobytes()
                else:
                    data = tuple(np.asarray(d).tobytes() for d in op.data)
                key.append((name, qubits(op), data, repr(op.hyperparameters)))
                slot_of.extend([-1] * len(op.data))
        self.key = tuple(key)
        self.values = np.array(values, dtype=dtype) if values else np.zeros(0, dtype)
        self.slot_of = slot_of
        self.phase = phase
        self.n = n


def _compile(tape, register, precision):
    """A plan of `precision` for the tape's operations on n qubits, its slots
    declared in the order _Lowered reads their values."""
    n = register.n
    spec = vt.CircuitSpec(n)
    for index, op in enumerate(tape.operations):
        name = op.name
        q = list(register.qubits(op))
        if name in _SLOTTED:
            _SLOTTED[name](spec, q, [spec.param() for _ in op.data], op)
        elif name in _FIXED:
            _FIXED[name](spec, q)
        elif name in _PHASE_ONLY:
            continue
        elif index == 0 and isinstance(op, StatePrepBase):
            if isinstance(op, qml.BasisState):
                for qi, bit in zip(q, np.asarray(op.parameters[0]).reshape(-1)):
                    if int(bit):
                        spec.x(qi)
            else:
                state = op.state_vector(wire_order=op.wires)
                spec.gate(vt.Gate.unitary(q, _householder(state)))
        else:
            spec.gate(vt.Gate.unitary(q, qml.matrix(op, wire_order=op.wires)))
    return _Plan(spec.compile(precision=precision))


def _pauli_observable(obs, register, allow_matrix=False):
    """The observable as (vantrel Observable, constant term), or None where it
    has no real Pauli representation (a Hermitian matrix unless allow_matrix)."""
    sentence = obs.pauli_rep
    if sentence is None:
        if not (allow_matrix and obs.has_matrix and len(obs.wires) <= _MAX_MATRIX_WIRES):
            return None
        sentence = qml.pauli_decompose(obs.matrix(), wire_order=obs.wires, pauli=True)
    terms = []
    constant = 0.0
    for word, coefficient in sentence.items():
        coefficient = complex(coefficient)
        if abs(coefficient.imag) > 1e-12:
            return None
        if not word:
            constant += coefficient.real
            continue
        paulis = [(p, register.n - 1 - register.index[w]) for w, p in word.items()]
        terms.append(vt.Observable.pauli_string(paulis, coefficient.real))
    if not terms:
        terms.append(vt.Observable.pauli_string([], 0.0))
    return vt.Observable.hamiltonian(terms), constant


def _jacobian_shape(jac):
    """PennyLane's layout of a tape's Jacobian (measurements by trainable
    parameters): a scalar, one tuple, or a tuple of tuples."""
    jac = np.squeeze(jac)
    if jac.ndim == 0:
        return np.array(jac)
    if jac.ndim == 1:
        return tuple(np.array(j) for j in jac)
    return tuple(tuple(np.array(j_) for j_ in j) for j in jac)


@simulator_tracking
@single_tape_support
class VantrelQubit(Device):
    """State-vector simulator device backed by vantrel.

    Args:
        wires (int, Iterable): the device's wires; ``None`` takes each tape's
            own wires.
        shots (None, int, Sequence[int]): default shots (tapes carry their own).
        seed (None, int, numpy.random.Generator): seeds the generator that
            draws finite-shot samples; the same seed gives the same samples
            on every machine and pool size.
        c_dtype: complex dtype of the simulation: ``numpy.complex64`` (single
            precision, the default) or ``numpy.complex128`` (double).
    """

    name = "vantrel.qubit"

    def __init__(self, wires=None, shots=None, seed=None, c_dtype=np.complex64):
        dtype = np.dtype(c_dtype)
        if dtype not in _PRECISIONS:
            raise DeviceError(
                f"vantrel.qubit simulates in complex64 or complex128: c_dtype must be "
                f"numpy.complex64 or numpy.complex128, not {dtype.name}"
            )
        super().__init__(wires=wires, shots=shots)
        self._c_dtype = dtype.type
        self._precision, self._param_dtype = _PRECISIONS[dtype]
        self._rng = np.random.default_rng(seed)
        self._plans = OrderedDict()
        self._matrix_observables = {}
        self._register = None if self.wires is None else _Register(self.wires)
        # Number of plans compiled by this device (a cache miss each).
        self.compile_count = 0

    @property
    def c_dtype(self):
        return self._c_dtype

    # -- configuration -----------------------------------------------------

    def supports_derivatives(self, execution_config=None, circuit=None):
        if execution_config is None:
            return True
        if execution_config.gradient_method not in {"adjoint", "best"}:
            return False
        if circuit is None:
            return True
        if circuit.shots or not all(isinstance(m, ExpectationMP) for m in circuit.measurements):
            return False
        # Asked on every QNode call: the usual tape needs no decomposition,
        # so no preprocessing run.
        if all(_adjoint_supported(op) for op in circuit.operations):
            return True
        program = CompilePipeline()
        program.add_transform(validate_device_wires, self.wires, name=self.name)
        self._add_adjoint_transforms(program)
        try:
            program((circuit,))
        except (DeviceError, qml.exceptions.DecompositionUndefinedError, AttributeError):
            return False
        return True

    def supports_vjp(self, execution_config=None, circuit=None):
        return self.supports_derivatives(execution_config, circuit)

    def setup_execution_config(self, config=None, circuit=None):
        config = config or ExecutionConfig()
        updated = {}
        method = config.gradient_method
        if method == "best":
            method = "adjoint"
            updated["gradient_method"] = method
        if config.use_device_gradient is None:
            updated["use_device_gradient"] = method == "adjoint"
        if config.use_device_jacobian_product is None:
            updated["use_device_jacobian_product"] = False
        if config.grad_on_execution is None:
            updated["grad_on_execution"] = method == "adjoint"
        mcm = config.mcm_config
        if mcm.mcm_method not in (None, "deferred"):
            raise DeviceError(
                f"vantrel.qubit runs mid-circuit measurements deferred, not by "
                f"mcm_method={mcm.mcm_method!r}"
            )
        updated["mcm_config"] = replace(mcm, mcm_method="deferred")
        return replace(config, **updated)

    def _add_decompose(self, program, stopping_condition, name):
        """Decomposes what the stopping condition refuses; a state
        preparation opening the tape is kept (set by one unitary)."""
        program.add_transform(
            decompose,
            stopping_condition=stopping_condition,
            device_wires=self.wires,
            target_gates=_TARGET_GATES,
            skip_initial_state_prep=True,
            name=name,
        )

    def _add_adjoint_transforms(self, program):
        name = "adjoint + vantrel.qubit"
        program.add_transform(no_sampling, name=name)
        self._add_decompose(program, _adjoint_supported, name)
        program.add_transform(validate_observables, lambda obs: obs.has_matrix, name=name)
        program.add_transform(validate_measurements, name=name)
        program.add_transform(_expectations_only)
        program.add_transform(broadcast_expand)
        program.add_transform(validate_adjoint_trainable_params)

    def preprocess_transforms(self, execution_config=None):
        config = execution_config or ExecutionConfig()
        program = CompilePipeline()
        program.add_transform(defer_measurements, allow_postselect=False)
        self._add_decompose(program, _supported, self.name)
        program.add_transform(validate_device_wires, self.wires, name=self.name)
        program.add_transform(
            validate_measurements,
            analytic_measurements=_analytic_measurement,
            sample_measurements=_sample_measurement,
            name=self.name,
        )
        program.add_transform(broadcast_expand)
        if config.gradient_method == "adjoint":
            self._add_adjoint_transforms(program)
        return program

    # -- lowering and caching ----------------------------------------------

    def _plan(self, tape, lowered, register):
        plans = self._plans
        plan = plans.get(lowered.key)
        if plan is None:
            plan = _compile(tape, register, self._precision)
            self.compile_count += 1
            plans[lowered.key] = plan
            if len(plans) > _PLAN_CACHE_SIZE:
                plans.popitem(last=False)
        else:
            plans.move_to_end(lowered.key)
        return plan

    def _observable(self, obs, register, allow_matrix):
        """(vantrel Observable, constant, comparison key) or None. Pauli
        sentences convert in a few microseconds a term; matrices, decomposed
        into Pauli words, are kept by their bytes and wires."""
        sentence = obs.pauli_rep
        if sentence is not None:
            native = _pauli_observable(obs, register)
            return None if native is None else (*native, sentence)
        if not allow_matrix:
            return None
        key = (np.asarray(obs.matrix()).tobytes(), tuple(register.index[w] for w in obs.wires),
               register.n)
        found = self._matrix_observables.get(key, False)
        if found is False:
            if len(self._matrix_observables) > _PLAN_CACHE_SIZE:
                self._matrix_observables.clear()
            native = _pauli_observable(obs, register, allow_matrix=True)
            found = None if native is None else (*native, key)
            self._matrix_observables[key] = found
        return found

    def _natives(self, tape, register, allow_matrix=False):
        """The tape's observables in vantrel's terms when every measurement
        is an expectation value vantrel computes, else None."""
        natives = []
        for m in tape.measurements:
            if type(m) is not ExpectationMP or m.obs is None:
                return None
            native = self._observable(m.obs, register, allow_matrix)
            if native is None:
                return None
            natives.append(native)
        return natives

    def _register_for(self, tape):
        """The device's wires, or without them the tape's."""
        return self._register if self._register is not None else _Register(tape.wires)

    @staticmethod
    def _group_key(lowered, natives):
        """Tapes alike in plan and observables (Pauli sentences compared as
        sets of terms) run as one batch."""
        return (lowered.key, tuple(
            frozenset(k.items()) if isinstance(k, qml.pauli.PauliSentence) else k
            for _, _, k in natives))

    def _grouped(self, circuits, allow_matrix):
        """Yields (index, tape, register, lowered, natives) for every tape,
        natives None where a tape needs its final state."""
        for i, tape in enumerate(circuits):
            register = self._register_for(tape)
            lowered = _Lowered(tape, register, self._param_dtype)
            natives = None if tape.shots else self._natives(tape, register, allow_matrix)
            yield i, tape, register, lowered, natives

    # -- execution ---------------------------------------------------------

    def execute(self, circuits, execution_config=None):
        results = [None] * len(circuits)
        groups = OrderedDict()
        single = len(circuits) == 1
        for i, tape, register, lowered, natives in self._grouped(circuits, False):
            if natives is None:
                results[i] = self._measure_state(tape, register, lowered)
                continue
            gkey = None if single else self._group_key(lowered, natives)
            groups.setdefault(gkey, []).append((i, tape, register, lowered, natives))
        for members in groups.values():
            _, tape, register, lowered, natives = members[0]
            plan = self._plan(tape, lowered, register)
            constants = np.array([const for _, const, _ in natives])
            if len(members) == 1:
                if len(natives) == 1:
                    values = [plan.context.expectation(plan.circuit, lowered.values, natives[0][0])]
                else:  # several observables from one run
                    values = plan.context.expectations(
                        plan.circuit, lowered.values, [obs for obs, _, _ in natives])
                results[members[0][0]] = self._pack(values + constants)
                continue
            rows = np.stack([m[3].values for m in members])
            if len(natives) == 1:
                table = plan.circuit.batch_expectation(rows, natives[0][0])[:, np.newaxis]
            else:
                table = plan.circuit.batch_expectations(rows, [obs for obs, _, _ in natives])
            for row, member in enumerate(members):
                results[member[0]] = self._pack(table[row] + constants)
        return tuple(results)

    @staticmethod
    def _pack(values):
        if len(values) == 1:
            return np.float64(values[0])
        return tuple(np.float64(v) for v in values)

    def _measure_state(self, tape, register, lowered):
        plan = self._plan(tape, lowered, register)
        state = plan.circuit.statevector(lowered.values).astype(np.complex128)
        if lowered.phase != 1.0:
            state *= lowered.phase
        if tape.shots:
            # Single-precision amplitudes miss a unit norm by up to about
            # 1e-7, more than the sampler's check of the probabilities allows
            # (double-precision ones by far less: the division changes
            # nothing the sampler sees).
            state /= np.linalg.norm(state)
        if not register.standard:
            tapes, fn = qml.map_wires(tape, register.index)
            tape = fn(tapes)
        state = state.reshape((2,) * lowered.n)
        return measure_final_state(tape, state, False, rng=self._rng)

    # -- derivatives -------------------------------------------------------

    def _value_and_jacobian(self, tapes):
        """Values and Jacobians of tapes measuring expectation values only;
        tapes of one structure and observables run as one batch."""
        out = [None] * len(tapes)
        groups = OrderedDict()
        single = len(tapes) == 1
        for i, tape, register, lowered, natives in self._grouped(tapes, True):
            if natives is None:
                raise DeviceError(
                    "vantrel.qubit differentiates expectation values of observables with a "
                    "Pauli decomposition or a Hermitian matrix only"
                )
            # Trainable parameters without a slot (observables' data, fixed
            # operations preprocessing let through because autodiff does not
            # track them) get zero columns, never read.
            slot_of = lowered.slot_of
            columns = np.array(
                [slot_of[p] if p < len(slot_of) else -1 for p in tape.trainable_params], dtype=np.intp
            )
            gkey = None if single else self._group_key(lowered, natives)
            groups.setdefault(gkey, []).append((i, tape, register, lowered, natives, columns))
        for members in groups.values():
            _, tape, register, lowered, natives, _ = members[0]
            plan = self._plan(tape, lowered, register)
            if len(members) == 1:
                pairs = [
                    plan.context.adjoint_value_and_gradient(plan.circuit, lowered.values, obs)
                    for obs, _, _ in natives
                ]
                values = [[v] for v, _ in pairs]
                grads = [g[np.newaxis] for _, g in pairs]
            else:
                rows = np.stack([m[3].values for m in members])
                batches = [
                    plan.circuit.batch_adjoint_value_and_gradient(rows, obs)
                    for obs, _, _ in natives
                ]
                values = [b[0] for b in batches]
                grads = [b[1] for b in batches]
            for row, member in enumerate(members):
                columns = member[5]
                jac = np.zeros((len(natives), len(columns)))
                read = columns >= 0
                for k, grad in enumerate(grads):
                    jac[k, read] = grad[row, columns[read]]
                value = self._pack([v[row] + native[1] for v, native in zip(values, natives)])
                out[member[0]] = (value, _jacobian_shape(jac))
        return out

    def compute_derivatives(self, circuits, execution_config=None):
        return tuple(j for _, j in self._value_and_jacobian(circuits))

    def execute_and_compute_derivatives(self, circuits, execution_config=None):
        pairs = self._value_and_jacobian(circuits)
        return tuple(v for v, _ in pairs), tuple(j for _, j in pairs)

    def compute_vjp(self, circuits, cotangents, execution_config=None):
        return tuple(
            _vjp(jac, cot, len(tape.measurements), len(tape.trainable_params))
            for (_, jac), cot, tape in zip(self._value_and_jacobian(circuits), cotangents, circuits)
        )

    def execute_and_compute_vjp(self, circuits, cotangents, execution_config=None):
        pairs = self._value_and_jacobian(circuits)
        vjps = tuple(
            _vjp(jac, cot, len(tape.measurements), len(tape.trainable_params))
            for (_, jac), cot, tape in zip(pairs, cotangents, circuits)
        )
        return tuple(v for v, _ in pairs), vjps


def _vjp(jac, cotangent, n_measurements, n_params):
    """Cotangent (one entry per measurement) times the Jacobian, one entry per
    trainable parameter."""
    matrix = np.asarray(jac, dtype=np.float64).reshape(n_measurements, n_params)
    cot = np.asarray(cotangent, dtype=np.float64).reshape(n_measurements)
    return tuple(cot @ matrix)


@qml.transform
def _expectations_only(tape):
    """Adjoint differentiation here covers expectation values only."""
    if not all(isinstance(m, ExpectationMP) for m in tape.measurements):
        raise DeviceError(
            "vantrel.qubit differentiates expectation values only by the adjoint method"
        )
    return (tape,), lambda results: results[0]

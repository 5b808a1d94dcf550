"""QuantumCircuit and OpenQASM programs to vantrel CircuitSpecs.

Bit order needs no translation: Qiskit's qubit q is vantrel's qubit q (the
low bit of a basis index). Matrices do: Qiskit's matrix of an operation on
(q0, q1, ...) has q0 as its lowest index bit, vantrel's first target is the
highest, so targets are always passed reversed.

The global phase of a circuit (and of the decompositions used here) is
dropped: states agree with Qiskit's up to a global phase, and expectation
values and samples exactly.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

import vantrel as vt
from qiskit import QuantumCircuit
from qiskit.circuit import ControlledGate, Gate, Instruction, ParameterExpression

# Operations that mean nothing to a state vector up to global phase.
_IGNORED = frozenset({"delay", "global_phase", "id", "i"})
_CONTROL_FLOW = frozenset({"if_else", "while_loop", "for_loop", "switch_case"})
# Largest operation (qubits) turned into one dense unitary before trying its
# definition.
_MAX_MATRIX_QUBITS = 6
# Points where a one-parameter expression is checked to be affine.
_PROBES = (0.0, 1.0, -0.7310585786300049, 2.718281828459045, 3.3166247903554)


class UnsupportedError(ValueError):
    """An operation or parameter expression vantrel cannot represent."""


def _affine(value: Any) -> tuple[Any, float, float]:
    """(parameter or None, scale, offset) with value == scale*parameter + offset.

    Raises UnsupportedError naming the expression when it is complex, uses
    several parameters, or is not affine in its one parameter."""
    if not isinstance(value, ParameterExpression):
        return None, 0.0, _real(value, value)
    params = value.parameters
    if not params:
        return None, 0.0, _real(value.numeric(), value)
    if len(params) > 1:
        raise UnsupportedError(
            f"parameter expression '{value}' uses several parameters; vantrel reads one "
            "parameter per rotation (bind the others first)")
    (param,) = params
    if value == param:
        return param, 1.0, 0.0
    try:
        points = [_real(value.bind({param: t}).numeric(), value) for t in _PROBES]
    except (TypeError, ZeroDivisionError, ValueError) as exc:
        raise UnsupportedError(
            f"parameter expression '{value}' is not a scale times a parameter plus a constant"
        ) from exc
    offset = points[0]
    scale = points[1] - offset
    for t, y in zip(_PROBES, points):
        if not math.isclose(y, scale * t + offset, rel_tol=1e-9, abs_tol=1e-9):
            raise UnsupportedError(
                f"parameter expression '{value}' is not a scale times a parameter plus a "
                "constant; bind it before converting")
    return param, scale, offset


def _real(number: Any, expr: Any) -> float:
    z = complex(number)
    if abs(z.imag) > 1e-12:
        raise UnsupportedError(f"parameter value '{expr}' is complex")
    return z.real


def _is_symbolic(op: Instruction) -> bool:
    return any(isinstance(p, ParameterExpression) and p.parameters for p in op.params)


_PAULI = {
    "I": np.eye(2, dtype=complex),
    "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "Z": np.array([[1, 0], [0, -1]], dtype=complex),
}


@dataclass
class _Item:
    """One flattened operation: kind is 'gate', 'measure', 'reset' or 'barrier'."""

    kind: str
    op: Any = None
    qubits: tuple[int, ...] = ()
    clbit: int = -1


@dataclass
class Translation:
    """A converted circuit: the spec, the Qiskit parameters in slot order, and
    for each classical bit the vantrel qubit holding its value at the end (or
    -1 when nothing is measured into it)."""

    spec: vt.CircuitSpec
    parameters: list[Any]
    clbit_qubits: list[int] = field(default_factory=list)


def _flatten(circuit: QuantumCircuit, qmap: list[int], cmap: list[int], out: list[_Item]) -> None:
    for inst in circuit.data:
        op = inst.operation
        qubits = tuple(qmap[circuit.find_bit(q).index] for q in inst.qubits)
        clbits = [cmap[circuit.find_bit(c).index] for c in inst.clbits]
        name = op.name
        if name in _CONTROL_FLOW or getattr(op, "condition", None) is not None:
            raise UnsupportedError(
                f"classically controlled operation '{name}' is not supported; vantrel runs "
                "circuits without classical control")
        if name == "box":
            body = op.blocks[0]
            _flatten(body, [qubits[body.find_bit(q).index] for q in body.qubits],
                     [clbits[body.find_bit(c).index] for c in body.clbits], out)
        elif name == "measure":
            out.append(_Item("measure", qubits=qubits, clbit=clbits[0]))
        elif name == "reset":
            out.append(_Item("reset", qubits=qubits))
        elif name == "barrier":
            out.append(_Item("barrier"))
        elif name in _IGNORED:
            continue
        elif isinstance(op, Gate) and _direct(op):
            out.append(_Item("gate", op, qubits))
        elif op.definition is not None:
            definition = op.definition
            _flatten(definition, [qubits[definition.find_bit(q).index] for q in definition.qubits],
                     [clbits[definition.find_bit(c).index] for c in definition.clbits], out)
        else:
            raise UnsupportedError(f"operation '{name}' has no definition vantrel can run")


class _Emitter:
    """Appends flattened gates to a CircuitSpec, reading parameter slots."""

    def __init__(self, spec: vt.CircuitSpec, slots: dict[Any, vt.Parameter]):
        self.spec = spec
        self.slots = slots

    def const(self, gate: vt.Gate) -> None:
        self.spec.gate(gate)

    def rotation(self, paulis: list[tuple[str, int]], angle: Any, factor: float = 1.0) -> None:
        """exp(-i*factor*angle/2*P) for the Pauli string P = paulis."""
        paulis = [(p, q) for p, q in paulis if p != "I"]
        if not paulis:
            return
        param, scale, offset = _affine(angle)
        if offset * factor != 0.0:
            self._const_rotation(paulis, offset * factor)
        if param is None or scale == 0.0:
            return
        slot, scale = self.slots[param], scale * factor
        if scale == 1.0 and len(paulis) == 1:
            label, qubit = paulis[0]
            {"X": self.spec.rx, "Y": self.spec.ry, "Z": self.spec.rz}[label](qubit, slot)
        else:
            self.spec.pauli_rotation(paulis, slot, scale=scale)

    def _const_rotation(self, paulis: list[tuple[str, int]], angle: float) -> None:
        if len(paulis) == 1:
            label, qubit = paulis[0]
            self.const(getattr(vt.Gate, "r" + label.lower())(qubit, angle))
            return
        if len(paulis) <= 4:
            p = np.eye(1, dtype=complex)
            for label, _ in paulis:
                p = np.kron(p, _PAULI[label])
            m = math.cos(angle / 2) * np.eye(len(p)) - 1j * math.sin(angle / 2) * p
            self.const(vt.Gate.unitary([q for _, q in paulis], m))
            return
        # Change every factor to Z, gather the parity on the last qubit, turn it.
        basis = []
        for label, qubit in paulis:
            if label == "X":
                basis.append((vt.Gate.h(qubit), vt.Gate.h(qubit)))
            elif label == "Y":
                basis.append((vt.Gate.rx(qubit, math.pi / 2), vt.Gate.rx(qubit, -math.pi / 2)))
        qubits = [q for _, q in paulis]
        ladder = [vt.Gate.cx(a, b) for a, b in zip(qubits, qubits[1:])]
        for into, _ in basis:
            self.const(into)
        for g in ladder:
            self.const(g)
        self.const(vt.Gate.rz(qubits[-1], angle))
        for g in reversed(ladder):
            self.const(g)
        for _, back in basis:
            self.const(back)

    def u(self, q: int, theta: Any, phi: Any, lam: Any) -> None:
        """U(theta, phi, lambda) = RZ(phi) RY(theta) RZ(lambda) up to global phase."""
        if not any(isinstance(v, ParameterExpression) and v.parameters for v in (theta, phi, lam)):
            self.const(vt.Gate.u(q, float(theta), float(phi), float(lam)))
            return
        self.rotation([("Z", q)], lam)
        self.rotation([("Y", q)], theta)
        self.rotation([("Z", q)], phi)

    def matrix(self, op: Instruction, qubits: tuple[int, ...]) -> None:
        self.const(vt.Gate.unitary(list(reversed(qubits)), op.to_matrix()))

    def gate(self, op: Gate, qubits: tuple[int, ...]) -> None:
        handler = _HANDLERS.get(op.name) if _all_ones(op) else None
        if handler is not None and (not _is_symbolic(op) or op.name in _SYMBOLIC):
            handler(self, op, qubits)
        elif isinstance(op, ControlledGate) and not _is_symbolic(op.base_gate):
            self.controlled(op, qubits)
        else:
            self.matrix(op, qubits)

    def controlled(self, op: ControlledGate, qubits: tuple[int, ...]) -> None:
        n = op.num_ctrl_qubits
        controls, targets = list(qubits[:n]), qubits[n:]
        flips = [vt.Gate.x(c) for i, c in enumerate(controls) if not (op.ctrl_state >> i) & 1]
        for g in flips:
            self.const(g)
        base = op.base_gate
        if base.name == "x" and len(targets) == 1:
            self.const(vt.Gate.mcx(controls, targets[0]))
        elif base.name == "z" and len(targets) == 1:
            self.const(vt.Gate.mcz(controls, targets[0]))
        elif base.name == "p" and len(targets) == 1:
            self.const(vt.Gate.mcp(controls, targets[0], float(base.params[0])))
        else:
            self.const(vt.Gate.controlled_unitary(controls, list(reversed(targets)), base.to_matrix()))
        for g in flips:
            self.const(g)


def _all_ones(op: Instruction) -> bool:
    return not isinstance(op, ControlledGate) or op.ctrl_state == (1 << op.num_ctrl_qubits) - 1


def _params(op: Instruction) -> list[float]:
    return [float(p) for p in op.params]


def _fixed(make: Callable[..., vt.Gate]) -> Callable[[_Emitter, Instruction, tuple[int, ...]], None]:
    return lambda e, op, q: e.const(make(*q, *_params(op)))


def _pauli_gate(labels: str) -> Callable[[_Emitter, Instruction, tuple[int, ...]], None]:
    # Qiskit's two-qubit rotations: the label's last letter acts on the first qubit.
    return lambda e, op, q: e.rotation(list(zip(reversed(labels), q)), op.params[0])


def _controlled_rotation(label: str) -> Callable[[_Emitter, Instruction, tuple[int, ...]], None]:
    # C-R_P(theta) = exp(-i theta/4 P_t) exp(+i theta/4 Z_c P_t): the two factors
    # cancel where the control is 0 and add up where it is 1.
    def emit(e: _Emitter, op: Instruction, q: tuple[int, ...]) -> None:
        c, t = q
        if not _is_symbolic(op):
            e.const(getattr(vt.Gate, "cr" + label.lower())(c, t, float(op.params[0])))
            return
        e.rotation([(label, t)], op.params[0], 0.5)
        e.rotation([("Z", c), (label, t)], op.params[0], -0.5)
    return emit


def _phase(e: _Emitter, op: Instruction, q: tuple[int, ...]) -> None:
    param, scale, offset = _affine(op.params[0])
    if param is None:
        e.const(vt.Gate.p(q[0], offset))
    elif scale == 1.0 and offset == 0.0:
        e.spec.p(q[0], e.slots[param])
    else:
        e.rotation([("Z", q[0])], op.params[0])


def _controlled_phase(e: _Emitter, op: Instruction, q: tuple[int, ...]) -> None:
    # diag(1, 1, 1, e^{i theta}) = e^{i theta/4} RZ_c(theta/2) RZ_t(theta/2) RZZ(-theta/2).
    if not _is_symbolic(op):
        e.const(vt.Gate.cp(q[0], q[1], float(op.params[0])))
        return
    e.rotation([("Z", q[0])], op.params[0], 0.5)
    e.rotation([("Z", q[1])], op.params[0], 0.5)
    e.rotation([("Z", q[0]), ("Z", q[1])], op.params[0], -0.5)


def _r(e: _Emitter, op: Instruction, q: tuple[int, ...]) -> None:
    # R(theta, phi) = RZ(phi) RX(theta) RZ(-phi).
    theta, phi = op.params
    phi = float(phi)
    e.const(vt.Gate.rz(q[0], -phi))
    e.rotation([("X", q[0])], theta)
    e.const(vt.Gate.rz(q[0], phi))


def _pauli_evolution(e: _Emitter, op: Instruction, q: tuple[int, ...]) -> None:
    # exp(-i t c P) = exp(-i (2c) t/2 P).
    label, coeff = _single_term(op)
    e.rotation([(p, q[i]) for i, p in enumerate(reversed(label))], op.params[0], 2.0 * coeff)


def _single_term(op: Instruction) -> tuple[str, float]:
    operator = op.operator
    if isinstance(operator, list) and len(operator) == 1:
        operator = operator[0]
    if isinstance(operator, list):
        raise UnsupportedError("several operators")
    terms = operator.simplify(atol=0).to_list() if hasattr(operator, "simplify") else None
    if not terms or len(terms) != 1 or abs(complex(terms[0][1]).imag) > 1e-12:
        raise UnsupportedError("not one Pauli string with a real coefficient")
    return str(terms[0][0]), complex(terms[0][1]).real


def _direct(op: Gate) -> bool:
    """True when the emitter handles op itself (directly, as a controlled
    unitary, or as a dense matrix); otherwise its definition is used."""
    if op.name == "PauliEvolution":
        try:
            _single_term(op)
        except (UnsupportedError, AttributeError, TypeError):
            return False
        return True
    if op.name in _HANDLERS and _all_ones(op):
        return not _is_symbolic(op) or op.name in _SYMBOLIC and not (
            op.name == "r" and isinstance(op.params[1], ParameterExpression) and op.params[1].parameters)
    if _is_symbolic(op):
        return False
    if isinstance(op, ControlledGate) and not _is_symbolic(op.base_gate):
        return True
    return op.num_qubits <= _MAX_MATRIX_QUBITS and hasattr(op, "to_matrix") and _has_matrix(op)


def _has_matrix(op: Gate) -> bool:
    try:
        op.to_matrix()
    except Exception:  # Qiskit raises CircuitError or its own subclass
        return False
    return True


_HANDLERS: dict[str, Callable[[_Emitter, Any, tuple[int, ...]], None]] = {
    "h": _fixed(vt.Gate.h),
    "x": _fixed(vt.Gate.x),
    "y": _fixed(vt.Gate.y),
    "z": _fixed(vt.Gate.z),
    "s": _fixed(vt.Gate.s),
    "sdg": _fixed(vt.Gate.sdg),
    "t": _fixed(vt.Gate.t),
    "tdg": _fixed(vt.Gate.tdg),
    "swap": _fixed(vt.Gate.swap),
    "iswap": _fixed(vt.Gate.iswap),
    "ch": _fixed(vt.Gate.ch),
    "cx": _fixed(vt.Gate.cx),
    "cy": _fixed(vt.Gate.cy),
    "cz": _fixed(vt.Gate.cz),
    "ccx": _fixed(vt.Gate.ccx),
    "cswap": _fixed(vt.Gate.cswap),
    "cu": _fixed(lambda c, t, theta, phi, lam, gamma: vt.Gate.cu(c, t, theta, phi, lam, gamma=gamma)),
    "cu3": _fixed(lambda c, t, theta, phi, lam: vt.Gate.cu(c, t, theta, phi, lam)),
    "rx": lambda e, op, q: e.rotation([("X", q[0])], op.params[0]),
    "ry": lambda e, op, q: e.rotation([("Y", q[0])], op.params[0]),
    "rz": lambda e, op, q: e.rotation([("Z", q[0])], op.params[0]),
    "p": _phase,
    "u1": _phase,
    "r": _r,
    "u": lambda e, op, q: e.u(q[0], *op.params),
    "u3": lambda e, op, q: e.u(q[0], *op.params),
    "u2": lambda e, op, q: e.u(q[0], math.pi / 2, *op.params),
    "rxx": _pauli_gate("XX"),
    "ryy": _pauli_gate("YY"),
    "rzz": _pauli_gate("ZZ"),
    "rzx": _pauli_gate("XZ"),
    "crx": _controlled_rotation("X"),
    "cry": _controlled_rotation("Y"),
    "crz": _controlled_rotation("Z"),
    "cp": _controlled_phase,
    "cu1": _controlled_phase,
    "PauliEvolution": _pauli_evolution,
}
# Handlers that accept symbolic parameters (the others get constants only).
_SYMBOLIC = frozenset({"rx", "ry", "rz", "p", "u1", "r", "u", "u3", "u2", "rxx", "ryy", "rzz",
                       "rzx", "crx", "cry", "crz", "cp", "cu1", "PauliEvolution"})


def translate(circuit: QuantumCircuit, defer: bool) -> Translation:
    """Convert circuit.

    defer=False keeps measurements and resets as vantrel's measure and reset
    steps (from_qiskit). defer=True is for the primitives, which draw many
    shots from one run: a measurement followed by more operations on its
    qubit copies the qubit onto a fresh ancilla with a CX (deferred
    measurement), a reset of a used qubit swaps it with a fresh ancilla, and
    measurements at the end only record where each classical bit is read.
    Samples and expectation values on the circuit's qubits then equal those
    of independent runs, shot by shot."""
    if not isinstance(circuit, QuantumCircuit):
        raise TypeError(f"expected a qiskit QuantumCircuit, got {type(circuit).__name__}")
    items: list[_Item] = []
    _flatten(circuit, list(range(circuit.num_qubits)), list(range(circuit.num_clbits)), items)

    # Measurements after which their qubit is left alone are terminal.
    terminal = [False] * len(items)
    touched: set[int] = set()
    for i in range(len(items) - 1, -1, -1):
        item = items[i]
        if item.kind == "measure":
            terminal[i] = item.qubits[0] not in touched
        elif item.kind != "barrier":
            touched.update(item.qubits)

    ancillas = 0
    if defer:
        used: set[int] = set()
        for i, item in enumerate(items):
            if item.kind == "reset" and item.qubits[0] in used:
                ancillas += 1
                used.discard(item.qubits[0])
            elif item.kind == "measure" and not terminal[i]:
                ancillas += 1
            else:
                used.update(item.qubits)

    parameters = list(circuit.parameters)
    spec = vt.CircuitSpec(circuit.num_qubits + ancillas)
    slots = {p: spec.param(p.name) for p in parameters}
    emitter = _Emitter(spec, slots)
    clbit_qubits = [-1] * circuit.num_clbits
    next_ancilla = circuit.num_qubits
    used = set()
    for i, item in enumerate(items):
        if item.kind == "gate":
            emitter.gate(item.op, item.qubits)
            used.update(item.qubits)
        elif item.kind == "barrier":
            spec.gate(vt.Gate.barrier())
        elif not defer:
            q = item.qubits[0]
            spec.gate(vt.Gate.measure(q) if item.kind == "measure" else vt.Gate.reset(q))
            if item.kind == "measure":
                clbit_qubits[item.clbit] = q
        elif item.kind == "measure":
            q = item.qubits[0]
            if terminal[i]:
                clbit_qubits[item.clbit] = q
            else:
                spec.gate(vt.Gate.cx(q, next_ancilla))
                clbit_qubits[item.clbit] = next_ancilla
                next_ancilla += 1
        else:  # reset
            q = item.qubits[0]
            if q in used:
                spec.gate(vt.Gate.swap(q, next_ancilla))
                next_ancilla += 1
                used.discard(q)
    return Translation(spec, parameters, clbit_qubits)


def from_qiskit(circuit: QuantumCircuit) -> vt.CircuitSpec:
    """A CircuitSpec equivalent to circuit (up to its global phase).

    Slot i of the spec is circuit.parameters[i] (Qiskit's order, so a row of
    parameter values for Qiskit is a row for the compiled spec). A gate
    angle must be affine in at most one parameter (a*theta + b): it becomes a
    rotation by b and a rotation reading theta with scale a; anything else
    raises ValueError naming the expression. Gates vantrel lacks run as
    dense unitaries or through their Qiskit definitions. Measurements, resets
    and barriers become vantrel's; classically controlled operations raise
    ValueError."""
    return translate(circuit, defer=False).spec


def load_qasm(text: str) -> QuantumCircuit:
    """Parse an OpenQASM 2 or 3 program into a QuantumCircuit: version 2 when
    its version statement says so, 3 otherwise (the statement is optional in
    OpenQASM 3 only)."""
    if _QASM2.match(text):
        from qiskit import qasm2

        return qasm2.loads(text, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    from qiskit import qasm3

    return qasm3.loads(text)


# The version statement, after any comments and blank space.
_QASM2 = re.compile(r"(?:\s+|//[^\n]*\n|/\*.*?\*/)*OPENQASM\s+2\b", re.DOTALL)


def from_qasm(text: str) -> vt.CircuitSpec:
    """from_qiskit of an OpenQASM 2 or 3 program; its input parameters (OpenQASM
    3 `input angle`) become slots. Parser errors propagate with their line and
    column."""
    return from_qiskit(load_qasm(text))


def observable(terms: dict[str, float]) -> tuple[vt.Observable | None, float]:
    """A vantrel Hamiltonian and a constant for a {Pauli label: coefficient}
    dict (labels in Qiskit's order: the last letter is qubit 0)."""
    strings = []
    constant = 0.0
    for label, coeff in terms.items():
        coeff = complex(coeff).real  # <P> is real for every Pauli string P
        ops = [(p, q) for q, p in enumerate(reversed(label)) if p != "I"]
        if any(p not in "XYZ" for p, _ in ops):
            raise UnsupportedError(f"observable term '{label}' is not a Pauli string")
        if ops:
            strings.append(vt.Observable.pauli_string(ops, coeff))
        else:
            constant += coeff
    return (vt.Observable.hamiltonian(strings) if strings else None), constant

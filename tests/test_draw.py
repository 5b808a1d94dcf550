"""Diagrams of Circuit, CircuitSpec and CompiledCircuit: golden texts of each
element, folding, the SVG document and the argument checks."""

import os
import pickle
import subprocess
import sys
import textwrap
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import vantrel as vt
from vantrel import Circuit, CircuitSpec, Gate

SVG = "{http://www.w3.org/2000/svg}"
X = [[0, 1], [1, 0]]
CNOT = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]]


def text(block):
    return textwrap.dedent(block).strip("\n")


def spec_with(num_qubits, build):
    spec = CircuitSpec(num_qubits)
    build(spec)
    return spec


def named_and_unnamed(spec):
    a, b = spec.param("a"), spec.param()
    spec.rx(0, a)
    spec.ry(1, b)
    spec.cx(0, 1)
    spec.p(1, a)
    spec.rz(0, b)


def scaled_rotations(spec):
    g, b = spec.param("γ"), spec.param()
    spec.rzz(0, 1, g, 2.0)
    spec.rxx(1, 2, b)
    spec.pauli_rotation([("X", 0), ("I", 1), ("Y", 2)], g, -1.0)
    spec.pauli_rotation([("Z", 1)], b, 1 / 3)


GOLDEN = {
    "single-qubit": (Circuit([Gate.h(0), Gate.rx(1, 0.5), Gate.x(0),
                              Gate.u(1, 0.1, -0.2, 3.14159)]), {}, """
        q0: ─────H──────────────X───────────

        q1: ──RX(0.50)──U(0.10,-0.20,3.14)──
    """),
    # CX with a crossing, CCX, CZ and CP (boxes under their controls) and a
    # controlled custom X (drawn as the X target it is).
    "controlled": (Circuit([Gate.cx(0, 2), Gate.ccx(2, 1, 0), Gate.cz(1, 0),
                            Gate.controlled_unitary([2], [0], X), Gate.cp(2, 1, 1.25)]), {}, """
        q0: ──●──⊕──Z──⊕───────────
              │  │  │  │
        q1: ──┼──●──●──┼──P(1.25)──
              │  │     │     │
        q2: ──⊕──●─────●─────●─────
    """),
    # Custom unitaries number their targets in the order given: U0 is the
    # first target, the high bit of the matrix index.
    "multi-target and custom": (Circuit([Gate.swap(0, 2), Gate.unitary([2, 0], CNOT),
                                         Gate.controlled_unitary([1], [2, 0], CNOT),
                                         Gate.iswap(0, 1)]), {}, """
        q0: ──×──U1──U1──iSWAP──
              │  │   │     │
        q1: ──┼──┼───●───iSWAP──
              │  │   │
        q2: ──×──U0──U0─────────
    """),
    "measure, reset, barrier": (Circuit([Gate.h(1), Gate.barrier(), Gate.measure(0),
                                         Gate.reset(1), Gate.measure(1)]), {}, """
        q0: ─────░───M──────
                 ░
        q1: ──H──░──|0>──M──
    """),
    "parametric": (spec_with(2, named_and_unnamed), {}, """
        q0: ──RX(a)───●──RZ(θ1)──
                      │
        q1: ──RY(θ1)──⊕───P(a)───
    """),
    # Pauli-string rotations: R and the letters in qubit order, the scale
    # unless it is 1; a single Z with scale 1 is the plain RZ step.
    "scaled rotations": (spec_with(3, scaled_rotations), {}, """
        q0: ──RZZ(2.0·γ)───────────RXY(-γ)────────────────
                  │                   │
        q1: ──RZZ(2.0·γ)──RXX(θ1)─────┼─────RZ(0.333·θ1)──
                             │        │
        q2: ──────────────RXX(θ1)──RXY(-γ)────────────────
    """),
    "ascii": (spec_with(3, lambda s: (named_and_unnamed(s), s.cx(2, 0),
                                      s.rzz(0, 2, s.param("γ"), 0.5))), {"ascii": True}, r"""
        q0: --RX(a)---*--RZ(t1)--X--RZZ(0.5*\u03b3)--
                      |          |         |
        q1: --RY(t1)--X---P(a)---+---------+---------
                                 |         |
        q2: ---------------------*--RZZ(0.5*\u03b3)--
    """),
    "ascii barrier, measure, reset and swap": (
        Circuit([Gate.h(1), Gate.barrier(), Gate.measure(0), Gate.reset(1), Gate.cswap(0, 1, 2)]),
        {"ascii": True}, """
        q0: -----|---M---*--
                 |       |
        q1: --H--|--|0>--x--
                 |       |
        q2: -----|-------x--
    """),
    # Folded at 20 characters: every section has the wire labels; « and »
    # mark the cuts.
    "folding": (Circuit([Gate.cx(0, 1)] * 6), {"fold": 20}, """
        q0: ──●──●──●──●──»
              │  │  │  │
        q1: ──⊕──⊕──⊕──⊕──»

        q0: «──●──●──
               │  │
        q1: «──⊕──⊕──
    """),
}


@pytest.mark.parametrize("name", GOLDEN)
def test_golden_texts(name):
    obj, kwargs, expected = GOLDEN[name]
    assert obj.draw(**kwargs) == text(expected)


def test_tall_diagrams_keep_every_connector():
    # Elements crossing many wires, drawn in bands of rows: every row between
    # an element's ends shows its connector or barrier.
    n = 70
    circuit = Circuit([Gate.cx(0, n - 1), Gate.barrier(),
                       Gate.controlled_unitary([n - 1], [2, 40], CNOT)])
    rows = circuit.draw(fold=0).split("\n")
    assert len(rows) == 2 * n - 1
    cx, barrier, unitary = 7, 10, 13
    assert "".join(row[cx] for row in rows) == "●" + "│┼" * (n - 2) + "│⊕"
    assert {row[barrier] for row in rows} == {"░"}
    assert "".join(row[unitary] for row in rows[4:]) == (
        "U" + "│┼" * 37 + "│U" + "│┼" * 28 + "│●")


def test_compiled_plans_and_circuits_draw_after_fusion():
    spec = CircuitSpec(2)
    theta = spec.param("theta")
    for _ in range(2):
        spec.h(0)
    spec.rx(1, theta)
    assert spec.draw() == text("""
        q0: ──────H──────H──

        q1: ──RX(theta)─────
    """)
    # H H fused into one U; the names travel with the plan, pickled too.
    plan = spec.compile()
    assert plan.draw() == pickle.loads(pickle.dumps(plan)).draw() == text("""
        q0: ──────U──────

        q1: ──RX(theta)──
    """)
    # 16 one-qubit gates or more: the circuit holds, and shows, their products.
    assert Circuit([Gate.h(0)] * 16 + [Gate.cx(0, 1)]).draw() == text("""
        q0: ──U──●──
                 │
        q1: ─────⊕──
    """)


def random_circuit(rng, num_qubits, count):
    gates = []
    for _ in range(count):
        kind = rng.integers(5)
        a, b, c = (int(q) for q in rng.choice(num_qubits, 3, replace=False))
        gates.append([Gate.rx(a, float(rng.uniform(-4, 4))), Gate.cx(a, b), Gate.ccx(a, b, c),
                      Gate.measure(a), Gate.barrier()][kind])
    return Circuit(gates)


def sections(diagram, num_qubits):
    """The sections of a diagram, each a list of 2n - 1 rows."""
    lines = diagram.split("\n")
    rows = 2 * num_qubits - 1
    assert (len(lines) + 1) % (rows + 1) == 0
    chunks = [lines[k:k + rows] for k in range(0, len(lines), rows + 1)]
    assert all(lines[k + rows] == "" for k in range(0, len(lines) - rows, rows + 1))
    return chunks


def test_folded_sections_fit_and_join_into_the_unfolded_diagram():
    n = 4
    circuit = random_circuit(np.random.default_rng(7), n, 40)
    whole = circuit.draw(fold=0)
    (unfolded,) = sections(whole, n)
    assert len(unfolded[0]) > 100  # fold=0 never folds
    for fold in (20, 23, 37, 80):
        parts = sections(circuit.draw(fold=fold), n)
        assert len(parts) > 1
        joined = [""] * (2 * n - 1)
        for k, part in enumerate(parts):
            width = len(part[0])
            for r, row in enumerate(part):
                assert len(row) <= fold
                if r % 2 == 0:
                    assert row.startswith(f"q{r // 2}: ")
                body = row[4:].ljust(width - 4)
                if k > 0:
                    assert body[0] == "«" or r % 2
                    body = body[2:]
                if k < len(parts) - 1:
                    assert body[-1] == "»" or r % 2
                    body = body[:-2]
                joined[r] += body
        assert [row.rstrip() for row in joined] == [row[4:].rstrip() for row in unfolded]


def test_arguments():
    circuit = Circuit([Gate.h(0)])
    for cls in (Circuit, CircuitSpec, vt.CompiledCircuit):
        assert cls.draw.__text_signature__ == "($self, fold=80, ascii=False, output='text')"
        assert "U0, U1, ... in the order given." in cls.draw.__doc__
    assert circuit.draw(0, True, "text") == circuit.draw(fold=0, ascii=True)
    for fold in (1, 19):
        with pytest.raises(ValueError, match=f"^fold must be 0 or at least 20, got {fold}$"):
            circuit.draw(fold=fold)
    assert circuit.draw(fold=20) == circuit.draw()
    for output in ("png", "SVG", ""):
        with pytest.raises(ValueError, match="^output must be 'text' or 'svg'$"):
            circuit.draw(output=output)
    with pytest.raises(TypeError, match="^argument 'output': "):
        circuit.draw(output=None)
    with pytest.raises(OverflowError):
        circuit.draw(fold=-1)
    assert repr(circuit).startswith("<vantrel.Circuit object at 0x")
    assert Circuit([]).draw() == "" and Circuit([Gate.barrier()]).draw() == ""


@pytest.mark.not_under_asan("its operator new aborts on a request beyond its size limit")
def test_impossible_diagrams_are_memory_errors():
    with pytest.raises(MemoryError, match="^cannot allocate a diagram of the wires q0 to q"):
        Circuit([Gate.measure(2**50)]).draw()


def test_names_are_shown_safely():
    spec = CircuitSpec(1)
    spec.rx(0, spec.param("γ<&>\"'\x01\u202e"))
    assert spec.draw() == "q0: ──RX(γ<&>\"'\\x01\\u202e)──"
    assert spec.draw(ascii=True) == "q0: --RX(\\u03b3<&>\"'\\x01\\u202e)--"
    label = ET.fromstring(spec.draw(output="svg")).findall(f".//{SVG}g[@class='gate']/{SVG}text")
    assert [t.text for t in label] == ["RX(γ<&>\"'\\x01\\u202e)"]


def svg_counts(svg):
    root = ET.fromstring(svg)
    assert root.tag == SVG + "svg"
    wires = root.findall(f".//{SVG}line[@class='wire']")
    gates = [g for g in root.iter(SVG + "g") if "gate" in g.get("class", "").split()]
    return len(root.findall(f"{SVG}g[@class='section']")), len(wires), len(gates)


def test_svg_documents_parse_with_one_wire_per_qubit_and_one_group_per_gate():
    n = 5
    circuit = random_circuit(np.random.default_rng(3), n, 30)
    assert svg_counts(circuit.draw(fold=0, output="svg")) == (1, n, 30)
    sections_count, wires, gates = svg_counts(circuit.draw(output="svg"))
    assert sections_count > 1 and wires == n * sections_count and gates == 30

    spec = CircuitSpec(3)
    named_and_unnamed(spec)
    assert svg_counts(spec.draw(output="svg", fold=0))[1:] == (3, 5)
    assert svg_counts(spec.compile().draw(output="svg", fold=0))[1:] == (3, 5)


WIDE_DRAW = """
import resource, sys
import vantrel as vt
limit = 3 << 30
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for n in (2**27, 2**30, 2**63 + 1):
    for output in ("text", "svg"):
        try:
            vt.CircuitSpec(n).draw(output=output)
        except MemoryError as e:
            print(e)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""


@pytest.mark.not_under_asan("the address-space limit leaves no room for the sanitizer's shadow memory")
def test_a_register_too_wide_to_draw_is_refused_before_its_layout():
    # The output of the bare wires already exceeds the limit: it is refused
    # before the layout takes one word per wire (1 GiB for 2^27 wires). Past
    # 2^63 wires the size does not wrap around.
    result = subprocess.run([sys.executable, "-c", WIDE_DRAW], capture_output=True, text=True,
                            timeout=120, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert result.returncode == 0, result.stderr
    *messages, grown_mib = result.stdout.splitlines()
    assert messages == [
        "cannot allocate a diagram of the wires q0 to q134217727 (4.8 GiB)",
        "cannot allocate a diagram of the wires q0 to q134217727 (31.3 GiB)",
        "cannot allocate a diagram of the wires q0 to q1073741823 (40 GiB)",
        "cannot allocate a diagram of the wires q0 to q1073741823 (250 GiB)",
        "cannot allocate a diagram of the wires q0 to q9223372036854775808 (464 EiB)",
        "cannot allocate a diagram of the wires q0 to q9223372036854775808 (2 ZiB)",
    ]
    assert int(grown_mib) < 256

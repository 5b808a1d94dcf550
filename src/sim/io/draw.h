// Circuit diagrams: gate lists, specifications and compiled plans drawn as
// text (Unicode or ASCII) or as a standalone SVG document.
//
// A diagram has one horizontal wire per qubit, q0 at the top. Each element
// (a gate, a measurement, a reset, a barrier) goes into the first column
// that is free on every wire from its lowest to its highest qubit (a barrier
// spans every wire), so a gate never hides another behind its vertical
// connector. Layout is one pass over the elements: O(elements + wires + the
// wires the elements span), with nothing of size wires x columns.
//
// Text layout: a wire row per qubit with a spacer row between two wires for
// the connectors. Every column is as wide as its widest cell plus one wire
// character on either side; rows start with the wire labels ("q0: ") and one
// wire character and end with one. When `fold` is not 0, the columns are cut
// into sections of at most `fold` characters per line (a section always takes
// at least one column, so one very wide cell can exceed it), stacked one under
// the other with a blank line between them, each with the wire labels. Only
// one section is held in memory at a time besides the output. Spacer rows
// carry no trailing spaces and the text carries no final newline.
//
// The SVG document draws the same sections and columns on a grid of 10 x 20
// pixels per character: wires are <line class="wire">, one per qubit and
// section; every element is one <g class="gate"> (with "measure", "reset" or
// "barrier" added to the class for those kinds), its labels as <text>.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/model/operation.h"
#include "sim/model/plan.h"
#include "sim/base/result.h"

namespace vantrel::sim {

enum class DiagramFormat : std::uint8_t { kText, kSvg };

struct DiagramOptions {
  // Longest line of a section in characters; 0 never folds. Otherwise at
  // least kMinFold.
  std::uint64_t fold = 80;
  // ASCII glyphs ('-', '|', '+', '*', 'X') and labels (t3 for θ3, '*' for
  // '·', non-ASCII characters of names escaped as \uXXXX).
  bool ascii = false;
  DiagramFormat format = DiagramFormat::kText;

  static constexpr std::uint64_t kMinFold = 20;
};

// "fold must be 0 or at least 20, got {}".
Status validate(const DiagramOptions& options);
// Options from their user-facing form, checked in this order: the fold as
// validate() does, then the output name, "text" or "svg" ("output must be
// 'text' or 'svg'").
Result<DiagramOptions> diagram_options(std::uint64_t fold, bool ascii, std::string_view output);

// One element of a diagram.
struct DiagramElement {
  enum class Kind : std::uint8_t { kGate, kMeasure, kReset, kBarrier };
  // How the targets of a gate are drawn.
  enum class Targets : std::uint8_t {
    kLabel,     // each target shows `label`
    kNumbered,  // target i (in the order of `qubits`) shows `label` then i
    kXor,       // the one target shows the controlled-NOT target (⊕)
    kSwap,      // each of the two targets shows × (a swap)
  };
  Kind kind = Kind::kGate;
  Targets targets = Targets::kLabel;
  std::uint64_t num_controls = 0;
  // The element's qubits are Diagram::qubits[first_qubit, first_qubit +
  // num_qubits). Gate: the controls, then the targets. Measure, reset: the one
  // qubit. Barrier: none (it spans every wire).
  std::uint64_t first_qubit = 0;
  std::uint64_t num_qubits = 0;
  // Display text of a gate's targets (valid UTF-8, no control characters).
  std::string label;
};

struct Diagram {
  // At least one more than every qubit of the elements.
  std::uint64_t num_wires = 0;
  std::vector<DiagramElement> elements;
  // The qubits of all elements, one element after the other.
  std::vector<std::uint64_t> qubits;

  std::span<const std::uint64_t> qubits_of(const DiagramElement& e) const {
    return {qubits.data() + e.first_qubit, e.num_qubits};
  }
};

// The elements of gates, labelled for `ascii` or Unicode display. A
// controlled gate whose one target carries the X matrix shows ⊕ there, a
// swap × on both qubits; other gates of the standard table show their name
// and angles ("RX(0.50)"), custom unitaries and products of fusion U (U0, U1,
// ... over several targets, in their order). Wires: the highest qubit named
// plus one.
Result<Diagram> diagram_of_gates(std::span<const Gate> gates, bool ascii);
// The steps of a specification or a plan; parametric rotations are labelled
// RX(name), RY, RZ or P, Pauli-string rotations R and their letters with the
// scale when it is not 1 ("RZZ(2.0·γ)"), with θ3 (t3) for slot 3 when it has
// no name. `parameter_names` (one per slot, or empty) name the slots.
Result<Diagram> diagram_of_steps(std::span<const CompiledOp> ops, std::uint64_t num_qubits,
                                 const ParameterNames& parameter_names, bool ascii);

// Lays the diagram out and renders it. kOutOfMemory, naming the diagram and
// the output's size, when the output or the layout cannot be allocated; the
// output of the bare wires is reserved first, so a register too wide to
// draw fails before anything is laid out. Checks the thread's Interrupt
// (base/interrupt.h) while it lays out and renders.
Result<std::string> render_diagram(const Diagram& diagram, const DiagramOptions& options);

// Validation, elements and rendering in one call.
Result<std::string> draw(std::span<const Gate> gates, const DiagramOptions& options);
Result<std::string> draw(const ParameterizedCircuitSpec& spec, const DiagramOptions& options);
Result<std::string> draw(const CompiledCircuit& plan, const DiagramOptions& options);

// Label text helpers, exposed for their tests.
// `text` (UTF-8, possibly invalid) appended to `out` for display: control
// characters, U+FFFE, U+FFFF and invalid bytes as \xNN or \uXXXX escapes; with
// `ascii`, every non-ASCII character escaped too (\xNN, \uXXXX, \UXXXXXXXX).
void append_display_text(std::string& out, std::string_view text, bool ascii);
// An angle with two decimals ("0.50", "-1.25"; never "-0.00"; "nan", "inf").
std::string format_angle(float value);
// A rotation's scale with three significant digits and at least one decimal
// or an exponent ("2.0", "0.333", "1e-05").
std::string format_scale(float value);
// Columns taken by display text: two for East Asian wide characters, one for
// every other character.
std::uint64_t display_width(std::string_view text);

}  // namespace vantrel::sim

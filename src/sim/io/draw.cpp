#include "sim/io/draw.h"

#include "sim/model/channel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <utility>

#include "sim/base/alloc.h"
#include "sim/io/draw_layout.h"

namespace vantrel::sim {
namespace drawing {

// ---------------------------------------------------------------------------
// Display text.

bool is_wide(char32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
         (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
         (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
         (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

const Glyphs& glyphs(bool ascii) {
  static constexpr Glyphs kUnicode{U'\u2500', U'\u2502', U'\u253C', U'\u25CF',
                                   U'\u2295', U'\u00D7', U'\u2591', U'\u00AB',
                                   U'\u00BB', "\u03B8",  "\u00B7"};
  static constexpr Glyphs kAscii{'-', '|', '+', '*', 'X', 'x', '|', '<', '>', "t", "*"};
  return ascii ? kAscii : kUnicode;
}

namespace {

// Characters that would break a line or the layout, or reorder the text
// around them: C0 and C1 controls, line and paragraph separators, bidi
// controls, the byte-order mark and the two non-characters XML refuses.
bool is_unprintable(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF ||
         cp == 0xFFFE || cp == 0xFFFF;
}

void append_escape(std::string& out, char32_t cp) {
  char buf[12];
  if (cp < 0x100)
    std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
  else if (cp < 0x10000)
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
  else
    std::snprintf(buf, sizeof buf, "\\U%08x", static_cast<unsigned>(cp));
  out += buf;
}

std::uint64_t decimal_digits(std::uint64_t v) {
  std::uint64_t n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

// ---------------------------------------------------------------------------
// Elements.

bool is_x_matrix(const std::vector<Complex>& m) {
  return m.size() == 4 && m[0] == Complex{0, 0} && m[1] == Complex{1, 0} &&
         m[2] == Complex{1, 0} && m[3] == Complex{0, 0};
}

// Appends an element of `kind` to the diagram; its qubits follow through
// add_qubit.
Element& add_element(Diagram& d, Element::Kind kind) {
  Element& e = d.elements.emplace_back();
  e.kind = kind;
  e.first_qubit = d.qubits.size();
  return e;
}

// Appends q to the element just added and widens the diagram to it. False
// for the last qubit index, whose wire count (2^64) cannot be drawn.
bool add_qubit(Diagram& d, Element& e, std::uint64_t q) {
  if (q == UINT64_MAX) return false;
  d.qubits.push_back(q);
  ++e.num_qubits;
  d.num_wires = std::max(d.num_wires, q + 1);
  return true;
}

// The short name of a standard gate and its angles: "H", "RX(0.50)",
// "U(0.10,0.20,0.30)".
std::string standard_label(const GateLabel& label) {
  std::string text = standard_gate_info(label.gate).name;
  // Shown as single precision, whatever the precision of a run.
  const std::span<const double> angles = label.angle_values();
  if (angles.empty()) return text;
  text += '(';
  for (std::size_t i = 0; i < angles.size(); ++i) {
    if (i > 0) text += ',';
    text += format_angle(static_cast<float>(angles[i]));
  }
  text += ')';
  return text;
}

bool add_gate(Diagram& d, const Gate& gate) {
  switch (gate.kind) {
    case Gate::Kind::kUnitary: {
      const Operation& op = gate.op;
      Element& e = add_element(d, Element::Kind::kGate);
      e.num_controls = op.num_controls;
      const std::size_t num_targets = op.targets.size() - op.num_controls;
      if (op.num_controls > 0 && is_x_matrix(op.matrix)) {
        e.targets = Element::Targets::kXor;
      } else if (gate.label && standard_gate_info(gate.label->gate).glyph == GateGlyph::kSwapCross) {
        e.targets = Element::Targets::kSwap;
      } else if (gate.label) {
        e.label = standard_label(*gate.label);
      } else {
        // Custom unitaries and products of fusion.
        e.label.push_back('U');
        if (num_targets > 1) e.targets = Element::Targets::kNumbered;
      }
      for (std::uint64_t q : op.targets)
        if (!add_qubit(d, e, q)) return false;
      return true;
    }
    case Gate::Kind::kMeasure:
      return add_qubit(d, add_element(d, Element::Kind::kMeasure), gate.qubit);
    case Gate::Kind::kReset:
      return add_qubit(d, add_element(d, Element::Kind::kReset), gate.qubit);
    case Gate::Kind::kBarrier:
      for (std::uint32_t i = 0; i < gate.barriers; ++i) add_element(d, Element::Kind::kBarrier);
      return true;
    case Gate::Kind::kChannel: {
      // Its name and probabilities, numbered on each target when it has
      // several: "Depolarizing(0.10)", "Kraus0", "Kraus1".
      const Channel& c = *gate.channel;
      Element& e = add_element(d, Element::Kind::kGate);
      e.label = channel_name(c.kind);
      for (std::size_t i = 0; i < c.parameters.size(); ++i) {
        e.label += i == 0 ? '(' : ',';
        e.label += format_angle(static_cast<float>(c.parameters[i]));
      }
      if (!c.parameters.empty()) e.label += ')';
      if (c.targets.size() > 1) e.targets = Element::Targets::kNumbered;
      for (std::uint64_t q : c.targets)
        if (!add_qubit(d, e, q)) return false;
      return true;
    }
  }
  return true;
}

const char* rotation_name(RotationKind kind) {
  switch (kind) {
    case RotationKind::kRX:
      return "RX";
    case RotationKind::kRY:
      return "RY";
    case RotationKind::kRZ:
      return "RZ";
    case RotationKind::kP:
      return "P";
  }
  return "R";
}

// The name of a parameter slot: its own, else θ{slot}.
void append_parameter(std::string& out, std::uint64_t slot, const ParameterNames& names,
                      bool ascii) {
  if (const std::string* name = names.name(slot)) {
    append_display_text(out, *name, ascii);
    return;
  }
  out += glyphs(ascii).theta;
  out += dec(slot);
}

const char kPauliLetters[] = "XYZ";

bool add_step(Diagram& d, const CompiledOp& op, const ParameterNames& names, bool ascii) {
  std::string label;
  switch (op.kind) {
    case CompiledOp::Kind::kFixed:
      return add_gate(d, op.gate);
    case CompiledOp::Kind::kParam:
      label.append(rotation_name(op.rotation));
      label += '(';
      break;
    case CompiledOp::Kind::kPauliRotation:
      // R and the string's letters in the order of its (ascending) qubits,
      // then the angle: RZZ(2.0·γ).
      label = 'R';
      for (const PauliFactor& f : op.paulis) label += kPauliLetters[static_cast<int>(f.label)];
      label += '(';
      // The scale is shown as single precision.
      const float scale = static_cast<float>(op.scale);
      if (scale == -1.0f) {
        label += '-';
      } else if (scale != 1.0f) {
        label += format_scale(scale);
        label += glyphs(ascii).times;
      }
      break;
  }
  append_parameter(label, op.slot, names, ascii);
  label += ')';
  Element& e = add_element(d, Element::Kind::kGate);
  e.label = std::move(label);
  if (op.kind == CompiledOp::Kind::kParam) return add_qubit(d, e, op.target);
  for (const PauliFactor& f : op.paulis)
    if (!add_qubit(d, e, f.qubit)) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Layout.

// Columns of the widest target cell of a gate, or of the cell of another kind.
std::uint64_t cell_width(const Element& e) {
  switch (e.kind) {
    case Element::Kind::kMeasure:
    case Element::Kind::kBarrier:
      return 1;
    case Element::Kind::kReset:
      return kResetLabel.size();
    case Element::Kind::kGate:
      break;
  }
  if (e.targets == Element::Targets::kXor || e.targets == Element::Targets::kSwap) return 1;
  std::uint64_t w = display_width(e.label);
  if (e.targets == Element::Targets::kNumbered)
    w += decimal_digits(e.num_qubits - e.num_controls - 1);
  return std::max<std::uint64_t>(w, 1);
}

Span span_of(const Diagram& d, const Element& e) {
  if (e.kind == Element::Kind::kBarrier) return {0, d.num_wires - 1};
  const std::span<const std::uint64_t> qubits = d.qubits_of(e);
  const auto [lo, hi] = std::minmax_element(qubits.begin(), qubits.end());
  return {*lo, *hi};
}

// Greedy placement. A barrier closes every wire: `floor` is the first column
// after the latest one, so a barrier costs O(1) rather than a pass over the
// wires, and `frontier` is one past the last column used. False when `stop`
// stopped it.
bool lay_out(const Diagram& d, StopCheck& stop, Layout& layout) {
  std::vector<std::uint64_t> next(d.num_wires, 0);
  layout.column.resize(d.elements.size());
  layout.span.resize(d.elements.size());
  std::uint64_t floor = 0, frontier = 0;
  for (std::size_t i = 0; i < d.elements.size(); ++i) {
    const Element& e = d.elements[i];
    std::uint64_t col;
    if (e.kind == Element::Kind::kBarrier) {
      layout.span[i] = span_of(d, e);
      col = std::max(floor, frontier);
      floor = col + 1;
    } else {
      const auto [lo, hi] = layout.span[i] = span_of(d, e);
      if (stop(hi - lo + 1)) return false;
      col = floor;
      for (std::uint64_t q = lo; q <= hi; ++q) col = std::max(col, next[q]);
      for (std::uint64_t q = lo; q <= hi; ++q) next[q] = col + 1;
    }
    frontier = std::max(frontier, col + 1);
    layout.column[i] = col;
    if (col >= layout.width.size()) layout.width.resize(col + 1, 0);
    layout.width[col] = std::max(layout.width[col], cell_width(e));
  }
  // Counting sort of the elements by column, stable in element order.
  const std::size_t columns = layout.width.size();
  layout.first.assign(columns + 1, 0);
  for (std::uint64_t c : layout.column) ++layout.first[c + 1];
  for (std::size_t c = 0; c < columns; ++c) layout.first[c + 1] += layout.first[c];
  layout.order.resize(d.elements.size());
  std::vector<std::uint64_t> fill(layout.first.begin(), layout.first.end() - 1);
  for (std::size_t i = 0; i < d.elements.size(); ++i) layout.order[fill[layout.column[i]]++] = i;
  return true;
}

// Cuts the columns into sections whose lines (labels included) fit `fold`,
// markers included; one section when fold is 0 or everything fits.
std::vector<Section> sections_of(const Layout& layout, std::uint64_t label_chars,
                                 std::uint64_t fold) {
  std::uint64_t total = label_chars + 2;
  for (std::uint64_t w : layout.width) total += w + 2;
  std::vector<Section> sections(1);
  if (fold == 0 || total <= fold) {
    sections[0].end = layout.width.size();
    sections[0].chars = total - label_chars;
    return sections;
  }
  // Two characters for the markers, whether or not a section gets both.
  const std::uint64_t limit = fold > label_chars + 2 ? fold - label_chars - 2 : 0;
  for (std::uint64_t c = 0; c < layout.width.size(); ++c) {
    const std::uint64_t need = layout.width[c] + 2;
    if (sections.back().end > sections.back().begin && sections.back().chars + need > limit) {
      sections.back().continues = true;
      ++sections.back().chars;
      sections.push_back({c, c, true, false, 3});
    }
    sections.back().end = c + 1;
    sections.back().chars += need;
  }
  return sections;
}

// What the first allocation, of one word per wire, would take for every
// qubit index.
constexpr unsigned __int128 kAllWiresBytes = (unsigned __int128)UINT64_MAX * 8 + 8;

Error diagram_allocation_failure(std::uint64_t last_wire, unsigned __int128 bytes) {
  return allocation_failure("a diagram of the wires q0 to q" + dec(last_wire), bytes);
}

}  // namespace
}  // namespace drawing

// ---------------------------------------------------------------------------
// Public functions.

using namespace drawing;

Status validate(const DiagramOptions& options) {
  if (options.fold != 0 && options.fold < DiagramOptions::kMinFold)
    return invalid("fold must be 0 or at least " + dec(DiagramOptions::kMinFold) + ", got " +
                   dec(options.fold));
  return Status::Ok();
}

Result<DiagramOptions> diagram_options(std::uint64_t fold, bool ascii, std::string_view output) {
  DiagramOptions options;
  options.fold = fold;
  options.ascii = ascii;
  VANTREL_TRY(validate(options));
  if (output == "svg")
    options.format = DiagramFormat::kSvg;
  else if (output != "text")
    return invalid("output must be 'text' or 'svg'");
  return options;
}

void append_display_text(std::string& out, std::string_view text, bool ascii) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    const std::size_t len = decode_utf8(text, i, cp);
    if (len == 0) {
      append_escape(out, static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    if (is_unprintable(cp) || (ascii && cp >= 0x80))
      append_escape(out, cp);
    else
      out.append(text, i, len);
    i += len;
  }
}

namespace {

// "nan", "inf" or "-inf" for a value that is not finite, else the value
// through printf's `format`.
std::string printed(float value, const char* format) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, format, static_cast<double>(value));
  return buf;
}

}  // namespace

std::string format_angle(float value) {
  std::string s = printed(value, "%.2f");
  if (s == "-0.00") s = "0.00";
  return s;
}

std::string format_scale(float value) {
  std::string s = printed(value, "%.3g");
  if (std::isfinite(value) && s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

std::uint64_t display_width(std::string_view text) {
  std::uint64_t w = 0;
  for_each_char(text, [&](char32_t cp) { w += is_wide(cp) ? 2 : 1; });
  return w;
}

Result<Diagram> diagram_of_gates(std::span<const Gate> gates, bool) {
  Diagram d;
  d.elements.reserve(listed_size(gates));
  for (const Gate& g : gates)
    if (!add_gate(d, g)) return diagram_allocation_failure(UINT64_MAX, kAllWiresBytes);
  return d;
}

Result<Diagram> diagram_of_steps(std::span<const CompiledOp> ops, std::uint64_t num_qubits,
                                 const ParameterNames& parameter_names, bool ascii) {
  Diagram d;
  d.num_wires = num_qubits;
  d.elements.reserve(listed_size(ops));
  // Plans are not validated when made: a step beyond the qubit count widens
  // the drawing rather than reaching outside it.
  for (const CompiledOp& op : ops)
    if (!add_step(d, op, parameter_names, ascii))
      return diagram_allocation_failure(UINT64_MAX, kAllWiresBytes);
  return d;
}

Result<std::string> render_diagram(const Diagram& d, const DiagramOptions& options) {
  if (d.num_wires == 0) {
    // Nothing names a qubit (no gates, or only barriers).
    if (options.format == DiagramFormat::kText) return std::string();
    return std::string(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"20\" height=\"20\" "
        "viewBox=\"0 0 20 20\"></svg>\n");
  }
  // Wire labels: "q{n}:" and a space, as wide as the longest.
  const std::uint64_t label_chars = wire_name(d.num_wires - 1).size() + 2;
  // The size of the output: for text, every character of a wire at its
  // widest encoding (wire characters take three bytes in Unicode); for SVG,
  // a few hundred bytes per wire, section and element.
  const bool svg = options.format == DiagramFormat::kSvg;
  const unsigned cell_bytes = options.ascii ? 1 : 3;
  const auto output_bytes = [&](const std::vector<Section>& sections) {
    unsigned __int128 total = static_cast<unsigned __int128>(kSvgElementBytes) * d.elements.size();
    for (const Section& s : sections)
      total += svg ? static_cast<unsigned __int128>(kSvgWireBytes) * d.num_wires
                   : 2 * static_cast<unsigned __int128>(d.num_wires) *
                         (label_chars + cell_bytes * s.chars + 1);
    return total;
  };
  // The output of no columns at all, which the layout (one word per wire)
  // can only make larger, is reserved before anything is laid out: a
  // register too wide to draw fails at once, naming that size.
  unsigned __int128 bytes = output_bytes(std::vector<Section>(1));
  const auto failure = [&] { return diagram_allocation_failure(d.num_wires - 1, bytes); };
  // Bounds every product of rows and characters below (no wrap-around).
  if (bytes > std::string().max_size()) return failure();
  return guard_allocation([&]() -> Result<std::string> {
    std::string out;
    out.reserve(static_cast<std::size_t>(bytes));
    StopCheck stop;
    Layout layout;
    if (!lay_out(d, stop, layout)) return interrupted();
    const std::vector<Section> sections = sections_of(layout, label_chars, options.fold);
    bytes = output_bytes(sections);
    if (bytes > std::string().max_size()) return failure();
    out.reserve(static_cast<std::size_t>(bytes));
    const bool done = svg ? render_svg(d, layout, sections, label_chars, out, stop)
                          : render_text(d, layout, sections, label_chars, options.ascii, out, stop);
    if (!done) return interrupted();
    return out;
  }, failure);
}

namespace {

// Builds the diagram of `count` gates or steps with build(), then renders it.
template <class Build>
Result<std::string> draw_with(const DiagramOptions& options, std::size_t count, Build&& build) {
  VANTREL_TRY(validate(options));
  const auto failure = [&] {
    return allocation_failure("the elements of a diagram of " + dec(count) + " gates",
                              static_cast<unsigned __int128>(count) * sizeof(DiagramElement));
  };
  Result<Diagram> diagram = guard_allocation([&]() -> Result<Diagram> { return build(); }, failure);
  if (!diagram) return std::move(diagram).error();
  return render_diagram(*diagram, options);
}

}  // namespace

Result<std::string> draw(std::span<const Gate> gates, const DiagramOptions& options) {
  return draw_with(options, listed_size(gates), [&] { return diagram_of_gates(gates, options.ascii); });
}

Result<std::string> draw(const ParameterizedCircuitSpec& spec, const DiagramOptions& options) {
  return draw_with(options, listed_size(spec.ops()), [&] {
    return diagram_of_steps(spec.ops(), spec.num_qubits(), spec.parameter_names(), options.ascii);
  });
}

Result<std::string> draw(const CompiledCircuit& plan, const DiagramOptions& options) {
  return draw_with(options, listed_size(plan.ops()), [&] {
    return diagram_of_steps(plan.ops(), plan.num_qubits(), plan.parameter_names(), options.ascii);
  });
}

}  // namespace vantrel::sim

// SVG diagrams: the text layout's grid drawn with lines, circles and boxes,
// labels as text.
#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "sim/io/draw_layout.h"

namespace vantrel::sim::drawing {
namespace {

constexpr std::uint64_t kMargin = 10;   // pixels around the drawing
constexpr std::uint64_t kCharW = 10;    // pixels per character column
constexpr std::uint64_t kRowH = 20;     // pixels per text row
constexpr std::uint64_t kBoxH = 24;     // height of a gate box
constexpr std::uint64_t kBoxPad = 4;    // box beyond its text, on each side
constexpr std::uint64_t kControlR = 5;  // radius of a control dot
constexpr std::uint64_t kXorR = 9;      // radius of the controlled-NOT target

void append_xml_text(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
}

// Appends `<name a="1" b="2"/>`-style markup from integer attributes.
class SvgWriter {
 public:
  explicit SvgWriter(std::string& out) : out_(out) {}

  SvgWriter& open(const char* name) {
    out_ += '<';
    out_ += name;
    return *this;
  }
  SvgWriter& attr(const char* name, std::uint64_t v) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    const std::size_t size = static_cast<std::size_t>(end - digits);
    out_ += ' ';
    out_ += name;
    out_ += "=\"";
    out_.append(digits, size);
    out_ += '"';
    return *this;
  }
  SvgWriter& attr(const char* name, std::string_view v) {
    out_ += ' ';
    out_ += name;
    out_ += "=\"";
    append_xml_text(out_, v);
    out_ += '"';
    return *this;
  }
  void close() { out_ += "/>\n"; }
  void text(std::string_view content, std::string_view suffix = {}) {
    out_ += '>';
    append_xml_text(out_, content);
    append_xml_text(out_, suffix);
    out_ += "</text>\n";
  }
  void raw(std::string_view s) { out_ += s; }

 private:
  std::string& out_;
};

struct SvgFrame {
  std::uint64_t x0;  // pixel of the first wire character
  std::uint64_t y0;  // pixel of the section's top
  std::uint64_t wire_y(std::uint64_t q) const { return y0 + wire_row(q) * kRowH + kRowH / 2; }
};

void svg_line(SvgWriter& w, std::uint64_t x1, std::uint64_t y1, std::uint64_t x2,
              std::uint64_t y2) {
  w.open("line").attr("x1", x1).attr("y1", y1).attr("x2", x2).attr("y2", y2).close();
}

void svg_box(SvgWriter& w, std::uint64_t cx, std::uint64_t cy, std::string_view text,
             std::string_view suffix = {}) {
  const std::uint64_t half = (display_width(text) + suffix.size()) * kCharW / 2 + kBoxPad;
  w.open("rect").attr("x", cx - half).attr("y", cy - kBoxH / 2).attr("width", 2 * half)
      .attr("height", kBoxH).close();
  w.open("text").attr("x", cx).attr("y", cy).attr("dominant-baseline", "central")
      .attr("stroke", "none").attr("fill", "black").text(text, suffix);
}

void draw_svg_element(SvgWriter& w, const Element& e, std::span<const std::uint64_t> qubits,
                      std::uint64_t x, std::uint64_t width, Span span, const SvgFrame& f) {
  const std::uint64_t cx = f.x0 + x * kCharW + width * kCharW / 2;
  switch (e.kind) {
    case Element::Kind::kBarrier: {
      const std::uint64_t top = f.wire_y(span.lo) - kRowH / 2;
      w.open("g").attr("class", "gate barrier");
      w.raw(">\n");
      w.open("rect").attr("x", cx - kCharW / 2).attr("y", top).attr("width", kCharW)
          .attr("height", f.wire_y(span.hi) + kRowH / 2 - top).attr("fill", "#bbbbbb")
          .attr("stroke", "none").close();
      w.raw("</g>\n");
      return;
    }
    case Element::Kind::kMeasure:
    case Element::Kind::kReset:
      w.open("g").attr("class", e.kind == Element::Kind::kMeasure ? "gate measure" : "gate reset");
      w.raw(">\n");
      svg_box(w, cx, f.wire_y(qubits[0]), e.kind == Element::Kind::kMeasure ? "M" : kResetLabel);
      w.raw("</g>\n");
      return;
    case Element::Kind::kGate:
      break;
  }
  w.open("g").attr("class", "gate");
  w.raw(">\n");
  const auto [lo, hi] = span;
  if (lo != hi) svg_line(w, cx, f.wire_y(lo), cx, f.wire_y(hi));
  for (std::uint64_t i = 0; i < e.num_controls; ++i)
    w.open("circle").attr("cx", cx).attr("cy", f.wire_y(qubits[i])).attr("r", kControlR)
        .attr("fill", "black").close();
  for (std::uint64_t i = e.num_controls; i < qubits.size(); ++i) {
    const std::uint64_t cy = f.wire_y(qubits[i]);
    switch (e.targets) {
      case Element::Targets::kXor:
        w.open("circle").attr("cx", cx).attr("cy", cy).attr("r", kXorR).close();
        svg_line(w, cx - kXorR, cy, cx + kXorR, cy);
        svg_line(w, cx, cy - kXorR, cx, cy + kXorR);
        break;
      case Element::Targets::kSwap: {
        const std::uint64_t r = kXorR * 2 / 3;
        svg_line(w, cx - r, cy - r, cx + r, cy + r);
        svg_line(w, cx - r, cy + r, cx + r, cy - r);
        break;
      }
      case Element::Targets::kLabel:
        svg_box(w, cx, cy, e.label);
        break;
      case Element::Targets::kNumbered:
        svg_box(w, cx, cy, e.label, dec(i - e.num_controls));
        break;
    }
  }
  w.raw("</g>\n");
}

}  // namespace

bool render_svg(const Diagram& d, const Layout& layout, const std::vector<Section>& sections,
                std::uint64_t label_chars, std::string& out, StopCheck& stop) {
  const std::uint64_t rows = 2 * d.num_wires - 1;
  std::uint64_t chars = 0;
  for (const Section& s : sections) chars = std::max(chars, s.chars);
  const std::uint64_t width = 2 * kMargin + (label_chars + chars) * kCharW;
  const std::uint64_t height = 2 * kMargin + (sections.size() * (rows + 1) - 1) * kRowH;

  SvgWriter w(out);
  w.open("svg").attr("xmlns", "http://www.w3.org/2000/svg").attr("width", width)
      .attr("height", height).attr("viewBox", "0 0 " + dec(width) + " " + dec(height))
      .attr("font-family", "monospace").attr("font-size", 14).attr("text-anchor", "middle")
      .attr("stroke", "black").attr("fill", "white");
  w.raw(">\n");
  w.open("rect").attr("width", width).attr("height", height).attr("stroke", "none").close();
  for (std::size_t si = 0; si < sections.size(); ++si) {
    const Section& s = sections[si];
    const SvgFrame f{kMargin + label_chars * kCharW, kMargin + si * (rows + 1) * kRowH};
    w.open("g").attr("class", "section");
    w.raw(">\n");
    for (std::uint64_t q = 0; q < d.num_wires; ++q) {
      if (stop(kSvgWireBytes)) return false;
      const std::uint64_t y = f.wire_y(q);
      w.open("text").attr("class", "wire-label").attr("x", kMargin).attr("y", y)
          .attr("text-anchor", "start").attr("dominant-baseline", "central")
          .attr("stroke", "none").attr("fill", "black").text(wire_name(q));
      w.open("line").attr("class", "wire").attr("x1", f.x0).attr("y1", y)
          .attr("x2", f.x0 + s.chars * kCharW).attr("y2", y).close();
    }
    bool stopped = false;
    for_each_in_section(layout, s, [&](std::uint64_t i, std::uint64_t x, std::uint64_t cw) {
      if (stopped || (stopped = stop(kSvgElementBytes))) return;
      draw_svg_element(w, d.elements[i], d.qubits_of(d.elements[i]), x, cw, layout.span[i], f);
    });
    if (stopped) return false;
    w.raw("</g>\n");
  }
  w.raw("</svg>\n");
  return true;
}

}  // namespace vantrel::sim::drawing

// The layout and renderers behind draw.h, shared by its three sources:
// draw.cpp (elements, layout, sections), draw_text.cpp and draw_svg.cpp.
// Not part of the engine's interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/base/interrupt.h"
#include "sim/base/utf8.h"
#include "sim/io/draw.h"

namespace vantrel::sim::drawing {

using Element = DiagramElement;

// East Asian wide characters, which take two columns.
bool is_wide(char32_t cp);

// Calls f(code point) for each character of display text (valid UTF-8).
template <class F>
void for_each_char(std::string_view text, F&& f) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    const std::size_t len = decode_utf8(text, i, cp);
    i += len ? len : 1;
    f(len ? cp : U'\uFFFD');
  }
}

// The characters of a text diagram, Unicode or ASCII.
struct Glyphs {
  char32_t wire, connector, crossing, control, xor_target, swap, barrier, continued, continues;
  const char* theta;  // unnamed parameters
  const char* times;  // a rotation's scale times its parameter
};
const Glyphs& glyphs(bool ascii);

constexpr std::string_view kResetLabel = "|0>";

inline std::string wire_name(std::uint64_t q) {
  std::string name = "q";
  name += dec(q);
  return name;
}

// The row of wire q and of the spacer below it.
constexpr std::uint64_t wire_row(std::uint64_t q) { return 2 * q; }

struct Span {
  std::uint64_t lo, hi;  // the element's outermost wires
};

// Where lay_out (draw.cpp) put every element.
struct Layout {
  std::vector<std::uint64_t> column;  // per element
  std::vector<Span> span;             // per element
  std::vector<std::uint64_t> width;   // per column: its widest cell
  // Elements by column: order[first[c] .. first[c + 1]) are those of column c.
  std::vector<std::uint64_t> first;
  std::vector<std::uint64_t> order;
};

// A run of columns drawn side by side. Folded sections mark the cut: a
// section continued from the previous one starts its wires with « (<), one
// continued in the next ends them with » (>).
struct Section {
  std::uint64_t begin = 0, end = 0;  // columns [begin, end)
  bool continued = false;            // from the previous section
  bool continues = false;            // in the next section
  // Characters of a wire (labels excluded): the markers, a wire character
  // at either end, and the columns.
  std::uint64_t chars = 2;
  // Character of the first column, after the leading marker and wire.
  std::uint64_t first_x() const { return continued ? 2 : 1; }
};

// The elements of section s, each drawn at its column.
template <class F>
void for_each_in_section(const Layout& layout, const Section& s, F&& f) {
  std::uint64_t x = s.first_x();
  for (std::uint64_t c = s.begin; c < s.end; ++c) {
    const std::uint64_t w = layout.width[c];
    for (std::uint64_t k = layout.first[c]; k < layout.first[c + 1]; ++k)
      f(layout.order[k], x + 1, w);
    x += w + 2;
  }
}

// The diagram as text, appended to `out` (reserved by the caller): sections
// one under the other, `label_chars` wide wire labels. False when `stop`
// stopped it (out is then incomplete).
bool render_text(const Diagram& d, const Layout& layout, const std::vector<Section>& sections,
                 std::uint64_t label_chars, bool ascii, std::string& out, StopCheck& stop);
// The diagram as an SVG document on the same grid, the same way.
bool render_svg(const Diagram& d, const Layout& layout, const std::vector<Section>& sections,
                std::uint64_t label_chars, std::string& out, StopCheck& stop);

// Typical bytes of the SVG markup of one element, and of one wire in a
// section (what render_diagram reserves).
constexpr std::uint64_t kSvgElementBytes = 200;
constexpr std::uint64_t kSvgWireBytes = 250;

}  // namespace vantrel::sim::drawing

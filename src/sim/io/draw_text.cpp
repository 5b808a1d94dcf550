// Text diagrams: each section rendered in bands of rows, then encoded as
// UTF-8 row by row.
#include <algorithm>
#include <string>
#include <vector>

#include "sim/io/draw_layout.h"

namespace vantrel::sim::drawing {
namespace {

// Writes the UTF-8 form of cp at p; returns the end.
char* encode_utf8(char* p, char32_t cp) {
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return p;
}

// The characters of a band of rows [first, end) of one section. Writes to
// rows outside the band are dropped, so an element is drawn into each band
// it crosses by the same code. kSkip marks the second column of a wide
// character.
class TextBand {
 public:
  static constexpr char32_t kSkip = 0xFFFFFFFF;

  void reset(std::uint64_t first, std::uint64_t end, const Section& s, const Glyphs& g) {
    first_ = first;
    end_ = end;
    chars_ = s.chars;
    cells_.assign((end - first) * chars_, U' ');
    for (std::uint64_t r = first + first % 2; r < end; r += 2) {
      char32_t* row = &cells_[(r - first) * chars_];
      std::fill_n(row, chars_, g.wire);
      if (s.continued) row[0] = g.continued;
      if (s.continues) row[chars_ - 1] = g.continues;
    }
  }
  std::uint64_t first() const { return first_; }
  std::uint64_t end() const { return end_; }

  void set(std::uint64_t row, std::uint64_t x, char32_t cp) {
    if (row >= first_ && row < end_) cells_[(row - first_) * chars_ + x] = cp;
  }

  // Writes display text from x on; `suffix` (digits) follows it.
  void put(std::uint64_t row, std::uint64_t x, std::string_view text,
           std::string_view suffix = {}) {
    if (row < first_ || row >= end_) return;
    char32_t* cells = &cells_[(row - first_) * chars_];
    const auto one = [&](char32_t cp) {
      cells[x++] = cp;
      if (is_wide(cp)) cells[x++] = kSkip;
    };
    for_each_char(text, one);
    for_each_char(suffix, one);
  }

  // Appends the row as UTF-8 after `prefix`; spacer rows lose their trailing
  // spaces (and their prefix when nothing is left).
  void append_row(std::string& out, std::uint64_t row, std::string_view prefix) {
    const char32_t* cells = &cells_[(row - first_) * chars_];
    std::uint64_t end = chars_;
    if (row % 2 == 1)
      while (end > 0 && cells[end - 1] == U' ') --end;
    if (end == 0) return;
    bytes_.resize(4 * chars_);
    char* p = bytes_.data();
    for (std::uint64_t x = 0; x < end; ++x) {
      const char32_t cp = cells[x];
      if (cp < 0x80)
        *p++ = static_cast<char>(cp);
      else if (cp != kSkip)
        p = encode_utf8(p, cp);
    }
    out += prefix;
    out.append(bytes_.data(), static_cast<std::size_t>(p - bytes_.data()));
  }

 private:
  std::uint64_t first_ = 0, end_ = 0, chars_ = 0;
  std::vector<char32_t> cells_;
  std::vector<char> bytes_;  // one row's UTF-8
};

// Draws the part of an element that falls in the band.
void draw_text_element(TextBand& band, const Element& e, std::span<const std::uint64_t> qubits,
                       std::uint64_t x, std::uint64_t w, std::uint64_t lo, std::uint64_t hi,
                       const Glyphs& g) {
  const std::uint64_t cx = x + (w - 1) / 2;
  // The connector, between the outermost wires only.
  const std::uint64_t from = std::max(wire_row(lo) + 1, band.first());
  const std::uint64_t to = std::min(wire_row(hi), band.end());
  switch (e.kind) {
    case Element::Kind::kBarrier:
      for (std::uint64_t r = std::max(wire_row(lo), band.first());
           r < band.end() && r <= wire_row(hi); ++r)
        band.set(r, cx, g.barrier);
      return;
    case Element::Kind::kMeasure:
      band.set(wire_row(qubits[0]), cx, U'M');
      return;
    case Element::Kind::kReset:
      band.put(wire_row(qubits[0]), x + (w - kResetLabel.size()) / 2, kResetLabel);
      return;
    case Element::Kind::kGate:
      break;
  }
  for (std::uint64_t r = from; r < to; ++r) band.set(r, cx, r % 2 == 0 ? g.crossing : g.connector);
  for (std::uint64_t i = 0; i < e.num_controls; ++i) band.set(wire_row(qubits[i]), cx, g.control);
  const std::uint64_t label_width = display_width(e.label);
  for (std::uint64_t i = e.num_controls; i < qubits.size(); ++i) {
    const std::uint64_t row = wire_row(qubits[i]);
    switch (e.targets) {
      case Element::Targets::kXor:
        band.set(row, cx, g.xor_target);
        break;
      case Element::Targets::kSwap:
        band.set(row, cx, g.swap);
        break;
      case Element::Targets::kLabel:
        band.put(row, x + (w - label_width) / 2, e.label);
        break;
      case Element::Targets::kNumbered: {
        const std::string n = dec(i - e.num_controls);
        band.put(row, x + (w - label_width - n.size()) / 2, e.label, n);
        break;
      }
    }
  }
}

// A band holds at most 64 rows and, for wide sections (fold=0), about a
// megabyte of characters, so that it stays in the caches however long the
// diagram is.
constexpr std::uint64_t kBandRows = 64;
constexpr std::uint64_t kBandCells = std::uint64_t{1} << 18;

// One element placed in a section.
struct Placed {
  std::uint64_t element, x, width, lo, hi;
};

}  // namespace

bool render_text(const Diagram& d, const Layout& layout, const std::vector<Section>& sections,
                 std::uint64_t label_chars, bool ascii, std::string& out, StopCheck& stop) {
  const Glyphs& g = glyphs(ascii);
  const std::uint64_t rows = 2 * d.num_wires - 1;
  std::string prefix;
  TextBand band;
  std::vector<Placed> placed, sorted, active;
  std::vector<std::uint64_t> first_of_wire;
  for (std::size_t si = 0; si < sections.size(); ++si) {
    const Section& s = sections[si];
    placed.clear();
    for_each_in_section(layout, s, [&](std::uint64_t i, std::uint64_t x, std::uint64_t w) {
      placed.push_back({i, x, w, layout.span[i].lo, layout.span[i].hi});
    });
    // The section's elements by their top wire (a counting sort), so that
    // each band takes in the elements that start in it and keeps those that
    // cross into the next: every element is visited once per band it spans.
    first_of_wire.assign(d.num_wires + 1, 0);
    for (const Placed& p : placed) ++first_of_wire[p.lo + 1];
    for (std::uint64_t q = 0; q < d.num_wires; ++q) first_of_wire[q + 1] += first_of_wire[q];
    sorted.resize(placed.size());
    for (const Placed& p : placed) sorted[first_of_wire[p.lo]++] = p;
    std::size_t next = 0;
    active.clear();

    if (si > 0) out += "\n\n";
    const std::uint64_t band_rows = std::clamp<std::uint64_t>(kBandCells / s.chars, 1, kBandRows);
    for (std::uint64_t r0 = 0; r0 < rows; r0 += band_rows) {
      const std::uint64_t r1 = std::min(rows, r0 + band_rows);
      if (stop((r1 - r0) * (label_chars + s.chars))) return false;
      band.reset(r0, r1, s, g);
      while (next < sorted.size() && wire_row(sorted[next].lo) < r1)
        active.push_back(sorted[next++]);
      for (const Placed& p : active)
        draw_text_element(band, d.elements[p.element], d.qubits_of(d.elements[p.element]), p.x,
                          p.width, p.lo, p.hi, g);
      std::erase_if(active, [&](const Placed& p) { return wire_row(p.hi) < r1; });
      for (std::uint64_t r = r0; r < r1; ++r) {
        if (r > 0) out += '\n';
        prefix.clear();
        if (r % 2 == 0) {
          prefix = wire_name(r / 2);
          prefix += ':';
        }
        prefix.resize(label_chars, ' ');
        band.append_row(out, r, prefix);
      }
    }
  }
  return true;
}

}  // namespace vantrel::sim::drawing

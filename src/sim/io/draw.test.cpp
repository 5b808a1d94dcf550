#include "sim/io/draw.h"
#include "sim/base/interrupt.h"
#include "sim/testing/gates.h"
#include "sim/testing/sanitizers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vantrel::sim {
namespace {

using namespace testing;

TEST(DiagramText, DisplayTextEscapesWhatWouldBreakTheLayout) {
  struct Case {
    std::string in;
    std::string unicode, ascii;
  };
  const Case cases[] = {
      {"theta_1", "theta_1", "theta_1"},
      {"\u03b3", "\u03b3", "\\u03b3"},
      {"a\nb\tc\x7f", "a\\x0ab\\x09c\\x7f", "a\\x0ab\\x09c\\x7f"},
      {"\u0085\u202e\ufeff\uffff", "\\x85\\u202e\\ufeff\\uffff", "\\x85\\u202e\\ufeff\\uffff"},
      {"\U0001F600", "\U0001F600", "\\U0001f600"},
      // Invalid bytes: a lone continuation, a truncated sequence, an overlong
      // form, an encoded surrogate.
      {"\x80z\xe2\x82", "\\x80z\\xe2\\x82", "\\x80z\\xe2\\x82"},
      {"\xc0\xaf\xed\xa0\x80", "\\xc0\\xaf\\xed\\xa0\\x80", "\\xc0\\xaf\\xed\\xa0\\x80"},
  };
  for (const Case& c : cases) {
    std::string unicode, ascii;
    append_display_text(unicode, c.in, false);
    append_display_text(ascii, c.in, true);
    EXPECT_EQ(unicode, c.unicode) << c.in;
    EXPECT_EQ(ascii, c.ascii) << c.in;
  }
  EXPECT_EQ(display_width("RX(\u03b8)"), 5u);
  EXPECT_EQ(display_width("\u89d2\u5ea6"), 4u);  // two wide characters
}

TEST(DiagramText, AnglesWithTwoDecimalsAndScales) {
  const std::pair<float, const char*> cases[] = {
      {0.5f, "0.50"},   {-1.25f, "-1.25"}, {3.14159f, "3.14"},
      {-0.001f, "0.00"}, {-0.0f, "0.00"},  {1e6f, "1000000.00"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
      {-std::numeric_limits<float>::quiet_NaN(), "nan"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_angle(value), text) << value;
  // Scales keep three significant digits, so that a small one never reads 0.
  const std::pair<float, const char*> scales[] = {
      {2.0f, "2.0"}, {0.5f, "0.5"}, {1.0f / 3, "0.333"}, {-12.0f, "-12.0"},
      {1e-5f, "1e-05"}, {12345.0f, "1.23e+04"}, {std::numeric_limits<float>::quiet_NaN(), "nan"},
  };
  for (const auto& [value, text] : scales) EXPECT_EQ(format_scale(value), text) << value;
}

TEST(DiagramOptions, FoldThenOutputChecked) {
  EXPECT_TRUE(diagram_options(0, false, "text").ok());
  EXPECT_TRUE(diagram_options(20, true, "svg").ok());
  EXPECT_EQ(diagram_options(19, false, "png").error().message,
            "fold must be 0 or at least 20, got 19");
  EXPECT_EQ(diagram_options(80, false, "png").error().message, "output must be 'text' or 'svg'");
  // draw() checks its options too.
  DiagramOptions bad;
  bad.fold = 1;
  EXPECT_EQ(draw(std::vector<Gate>{}, bad).error().message,
            "fold must be 0 or at least 20, got 1");
}

TEST(Diagram, WideNamesKeepColumnsAlignedAndStepsBeyondTheQubitsWidenIt) {
  // A plan is not validated when made: its rotation on qubit 2 of 2 draws a
  // third wire instead of writing past the last one.
  const CompiledCircuit plan({CompiledOp::param(RotationKind::kRX, 0, 0),
                              CompiledOp::param(RotationKind::kP, 1, 1),
                              CompiledOp::param(RotationKind::kRY, 2, 1)},
                             2, 2, {"\u89d2", std::nullopt});
  EXPECT_EQ(draw(plan, {}).value(),
            "q0: \u2500\u2500RX(\u89d2)\u2500\u2500\n"
            "\n"
            "q1: \u2500\u2500P(\u03b81)\u2500\u2500\u2500\n"
            "\n"
            "q2: \u2500\u2500RY(\u03b81)\u2500\u2500");
}

TEST(Diagram, ARunOfBarriersDrawsAsItsBarriers) {
  const std::vector<Gate> separate = {Gate::barrier(), Gate::measure(1), Gate::barrier(),
                                      Gate::barrier(), Gate::barrier(), Gate::reset(2)};
  std::vector<Gate> joined;
  std::vector<CompiledOp> steps, separate_steps;
  for (const Gate& g : separate) {
    append_gate(joined, g);
    append_step(steps, CompiledOp::fixed(g));
    separate_steps.push_back(CompiledOp::fixed(g));
  }
  ASSERT_EQ(joined.size(), 4u);
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(listed_size(joined), separate.size());
  for (DiagramFormat format : {DiagramFormat::kText, DiagramFormat::kSvg}) {
    DiagramOptions options;
    options.format = format;
    EXPECT_EQ(draw(joined, options).value(), draw(separate, options).value());
    EXPECT_EQ(draw(CompiledCircuit(steps, 3, 0), options).value(),
              draw(CompiledCircuit(separate_steps, 3, 0), options).value());
  }
  // A run holds at most UINT32_MAX barriers; the next one starts another.
  Gate full = Gate::barrier();
  full.barriers = UINT32_MAX;
  std::vector<Gate> runs = {full};
  append_gate(runs, Gate::barrier());
  EXPECT_EQ(runs.size(), 2u);
  EXPECT_EQ(listed_size(runs), std::uint64_t{UINT32_MAX} + 1);
}

TEST(Diagram, WiresThatCannotBeAllocatedAreNamed) {
  // The last qubit index is refused before anything is allocated; 2^50 wires
  // fail at the allocation.
  for (std::uint64_t q : {~std::uint64_t{0}, std::uint64_t{1} << 50}) {
    if (q >> 63 == 0 && kSanitized)
      GTEST_SKIP() << "sanitizer allocators abort on impossible sizes";
    const std::vector<Gate> gates = {Gate::measure(q)};
    const Result<std::string> text = draw(gates, {});
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error().kind, ErrorKind::kOutOfMemory);
    EXPECT_EQ(text.error().message.rfind("cannot allocate a diagram of the wires q0 to q" + dec(q) +
                                             " (",
                                         0),
              0u)
        << text.error().message;
  }
}

TEST(Diagram, StopsThroughTheThreadsInterrupt) {
  // A stop requested before the call is seen at the layout's first check;
  // an unbound call draws as usual.
  const std::vector<Gate> gates = {Gate::measure(3)};
  Interrupt irq(+[](void*) { return false; }, nullptr);
  irq.request_stop();
  for (DiagramFormat format : {DiagramFormat::kText, DiagramFormat::kSvg}) {
    DiagramOptions options;
    options.format = format;
    {
      InterruptScope bound(irq);
      const Result<std::string> stopped = draw(gates, options);
      ASSERT_FALSE(stopped.ok());
      EXPECT_EQ(stopped.error().kind, ErrorKind::kInterrupted);
    }
    EXPECT_TRUE(draw(gates, options).ok());
  }
}

}  // namespace
}  // namespace vantrel::sim

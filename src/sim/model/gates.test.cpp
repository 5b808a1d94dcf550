#include "sim/model/gates.h"

#include <gtest/gtest.h>

namespace vantrel::sim {
namespace {

void expect_label(const Gate& g, StandardGate gate, std::vector<double> angles) {
  ASSERT_TRUE(g.label.has_value());
  EXPECT_EQ(g.label->gate, gate);
  ASSERT_EQ(g.label->num_angles, angles.size());
  for (std::size_t i = 0; i < angles.size(); ++i) EXPECT_EQ(g.label->angles[i], angles[i]);
}

TEST(StandardGateBuilders, MatricesFromTheTableAndLabels) {
  // Each precision's matrix from the angle in that precision.
  const double theta = 0.1;
  const float theta_f = 0.1f;
  Gate rx = make_standard_gate(StandardGate::kRX, {2}, {&theta, 1}).value();
  EXPECT_EQ(rx.op.targets, std::vector<std::uint64_t>{2});
  EXPECT_EQ(rx.op.matrix, standard_matrix(StandardGate::kRX, {&theta_f, 1}));
  EXPECT_EQ(rx.op.matrix_d, standard_matrix<double>(StandardGate::kRX, {&theta, 1}));
  expect_label(rx, StandardGate::kRX, {0.1});
  expect_label(make_standard_gate(StandardGate::kSwap, {0, 1}).value(), StandardGate::kSwap, {});

  // Controlled: the operation of make_controlled_unitary_gate, labelled with
  // the entry.
  Gate ccx = make_controlled_standard_gate(StandardGate::kX, {0, 1}, {2}).value();
  Gate plain =
      make_controlled_unitary_gate({0, 1}, {2}, standard_matrix(StandardGate::kX)).value();
  EXPECT_EQ(ccx.op.targets, plain.op.targets);
  EXPECT_EQ(ccx.op.matrix, plain.op.matrix);
  expect_label(ccx, StandardGate::kX, {});
  EXPECT_FALSE(plain.label.has_value());  // custom unitaries carry none

  // U with and without a global phase: gamma is a fourth angle when given.
  expect_label(make_controlled_u_gate({1}, {0}, 0.1f, 0.2f, 0.3f, 0.4f).value(), StandardGate::kU,
               {0.1f, 0.2f, 0.3f, 0.4f});
  expect_label(make_controlled_u_gate({1}, {0}, 0.1f, 0.2f, 0.3f, std::nullopt).value(),
               StandardGate::kU, {0.1f, 0.2f, 0.3f});

  // Errors are the engine's.
  auto dup = make_controlled_standard_gate(StandardGate::kZ, {3}, {3});
  ASSERT_FALSE(dup.ok());
  EXPECT_EQ(dup.error().message, "duplicate qubit index: 3");
  auto shape = make_standard_gate(StandardGate::kSwap, {4});
  ASSERT_FALSE(shape.ok());
  EXPECT_EQ(shape.error().message,
            "matrix shape mismatch: expected 4 complex values for 1 targets, got 16");
}

}  // namespace
}  // namespace vantrel::sim

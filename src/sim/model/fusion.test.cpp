#include "sim/model/fusion.h"
#include "sim/testing/gates.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vantrel::sim {
namespace {

using namespace testing;

const std::vector<Complex> kS = {{1, 0}, {0, 0}, {0, 0}, {0, 1}};

bool same_gate(const Gate& a, const Gate& b) {
  return a.kind == b.kind && a.qubit == b.qubit && a.op.targets == b.op.targets &&
         a.op.matrix == b.op.matrix;
}

// B x M with the fusion product rule.
std::vector<Complex> times(const std::vector<Complex>& b, const std::vector<Complex>& m) {
  std::vector<Complex> out(4);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 2; ++c)
      out[2 * r + c] = cadd(cmul(b[2 * r], m[c]), cmul(b[2 * r + 1], m[2 + c]));
  return out;
}

TEST(FuseGates, EmptyAndLoneGates) {
  EXPECT_TRUE(fuse_gates({}).empty());
  const std::vector<Gate> lone = {unitary({3}, kS)};
  const auto out = fuse_gates(lone);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(same_gate(out[0], lone[0]));
}

TEST(FuseGates, LoneGatesKeepTheirLabelsProductsHaveNone) {
  const double t = 0.25;
  const std::vector<Gate> in = {make_standard_gate(StandardGate::kRY, {0}, {&t, 1}).value(),
                                hadamard(1), hadamard(1), cnot(0, 1), hadamard(0)};
  const auto out = fuse_gates(in);
  ASSERT_EQ(out.size(), 4u);
  ASSERT_TRUE(out[0].label.has_value());
  EXPECT_EQ(out[0].label->gate, StandardGate::kRY);
  EXPECT_EQ(out[0].label->num_angles, 1u);
  EXPECT_EQ(out[0].label->angles[0], t);
  EXPECT_FALSE(out[1].label.has_value());  // H H fused
  EXPECT_EQ(out[2].label->gate, StandardGate::kX);  // the controlled gate, copied
  EXPECT_EQ(out[3].label->gate, StandardGate::kH);
  EXPECT_TRUE(same_gate(out[3], in[4]));
}

TEST(FuseGates, ProductAppliesTheFirstGateFirst) {
  const std::vector<Gate> hh = {unitary({0}, kH), unitary({0}, kH)};
  auto out = fuse_gates(hh);
  ASSERT_EQ(out.size(), 1u);  // the identity up to rounding stays a step
  EXPECT_EQ(out[0].op.targets, (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(out[0].op.matrix, times(kH, kH));

  // H then X is X x H = [[a, -a], [a, a]], not H x X = [[a, a], [-a, a]].
  const std::vector<Gate> hx = {unitary({0}, kH), unitary({0}, kX)};
  out = fuse_gates(hx);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].op.matrix,
            (std::vector<Complex>{{kHalf, 0}, {-kHalf, 0}, {kHalf, 0}, {kHalf, 0}}));

  // Three gates accumulate from the left: S x (X x H), not (S x X) x H.
  const std::vector<Gate> hxs = {unitary({2}, kH), unitary({2}, kX), unitary({2}, kS)};
  out = fuse_gates(hxs);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].op.targets, (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(out[0].op.matrix, times(kS, times(kX, kH)));
}

TEST(FuseGates, RunsEndAtOtherQubitsAndNonUnitarySteps) {
  for (const Gate& separator :
       {unitary({1}, kH), Gate::barrier(), Gate::measure(5), Gate::reset(0)}) {
    const std::vector<Gate> in = {unitary({0}, kH), separator, unitary({0}, kH)};
    const auto out = fuse_gates(in);
    ASSERT_EQ(out.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(same_gate(out[i], in[i])) << i;
  }
  // A two-qubit gate is copied and ends the run, whatever its qubits.
  const std::vector<Gate> in = {unitary({0}, kH), unitary({0}, kX), unitary({2, 3}, kCnot),
                                unitary({0}, kS), unitary({0}, kH)};
  const auto out = fuse_gates(in);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].op.matrix, times(kX, kH));
  EXPECT_TRUE(same_gate(out[1], in[2]));
  EXPECT_EQ(out[2].op.matrix, times(kH, kS));
}

// Each factor passes the unitarity test (row norm 1.0004^2, deviation about
// 0.0008) but products of two or more do not: that run stays unfused,
// while runs around it are fused as usual.
TEST(FuseGates, KeepsRunsWhoseProductFailsValidation) {
  const std::vector<Complex> nearly = {{1, 0}, {0, 0}, {0, 0}, {1.0004f, 0}};
  std::vector<Gate> in = {unitary({1}, kH), unitary({1}, kH), unitary({0, 1}, kCnot)};
  for (int i = 0; i < 12; ++i) in.push_back(unitary({0}, nearly));
  in.push_back(Gate::barrier());
  in.push_back(unitary({0}, kS));
  in.push_back(unitary({0}, kX));

  const auto out = fuse_gates(in);
  ASSERT_EQ(out.size(), 1u + 1 + 12 + 1 + 1);
  EXPECT_EQ(out[0].op.matrix, times(kH, kH));
  for (std::size_t i = 0; i < 12; ++i) EXPECT_TRUE(same_gate(out[2 + i], in[3 + i])) << i;
  EXPECT_EQ(out[14].kind, Gate::Kind::kBarrier);
  EXPECT_EQ(out[15].op.matrix, times(kX, kS));
}

}  // namespace
}  // namespace vantrel::sim

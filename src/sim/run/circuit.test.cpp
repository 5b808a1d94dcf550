#include "sim/run/circuit.h"
#include "sim/testing/gates.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vantrel::sim {
namespace {

using namespace testing;

StateVector fresh(std::uint64_t n) {
  auto s = StateVector::create(n);
  EXPECT_TRUE(s.ok());
  return std::move(s).value();
}

std::vector<Complex> amplitudes(const StateVector& s) { return {s.data(), s.data() + s.size()}; }

TEST(Circuit, EmptyCircuitLeavesTheStateAlone) {
  const Circuit c = Circuit::create({});
  auto s = fresh(2);
  auto records = c.run(s);
  ASSERT_TRUE(records.ok());
  EXPECT_TRUE(records->empty());
  EXPECT_EQ(amplitudes(s), amplitudes(fresh(2)));
}

TEST(Circuit, FusesFromSixteenSingleQubitUnitaries) {
  std::vector<Gate> fifteen;
  for (int i = 0; i < 15; ++i) fifteen.push_back(unitary({0}, kH));
  EXPECT_EQ(Circuit::create(fifteen).gates().size(), 15u);

  // The sixteenth counts wherever it is, even on another qubit behind a
  // two-qubit gate that ends the run.
  std::vector<Gate> sixteen = fifteen;
  sixteen.push_back(unitary({0, 1}, kCnot));
  sixteen.push_back(unitary({1}, kX));
  const Circuit c = Circuit::create(sixteen);
  ASSERT_EQ(c.gates().size(), 3u);
  EXPECT_EQ(c.gates()[1].op.targets, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(c.gates()[2].op.matrix, kX);

  std::vector<Gate> sixteen_h = fifteen;
  sixteen_h.push_back(unitary({0}, kH));
  const Circuit id = Circuit::create(sixteen_h);
  ASSERT_EQ(id.gates().size(), 1u);
  const auto& m = id.gates()[0].op.matrix;
  EXPECT_NEAR(m[0].re, 1.0f, 1e-5f);
  EXPECT_NEAR(m[1].re, 0.0f, 1e-5f);
  EXPECT_NEAR(m[2].re, 0.0f, 1e-5f);
  EXPECT_NEAR(m[3].re, 1.0f, 1e-5f);

  // Multi-qubit gates do not count towards the threshold.
  std::vector<Gate> mixed;
  for (int i = 0; i < 15; ++i) mixed.push_back(unitary({0}, kH));
  for (int i = 0; i < 5; ++i) mixed.push_back(unitary({0, 1}, kCnot));
  EXPECT_EQ(Circuit::create(mixed).gates().size(), 20u);

  // Factors that are only just unitary make a product that fails validation:
  // the circuit keeps them one by one.
  const std::vector<Complex> nearly = {{1, 0}, {0, 0}, {0, 0}, {1.0004f, 0}};
  std::vector<Gate> drifting;
  for (int i = 0; i < 20; ++i) drifting.push_back(unitary({0}, nearly));
  EXPECT_EQ(Circuit::create(drifting).gates().size(), 20u);
}

TEST(Circuit, MeasureResetMeasure) {
  const Circuit c = Circuit::create(
      {unitary({0}, kX), Gate::measure(0), Gate::reset(0), Gate::measure(0)});
  for (int rep = 0; rep < 10; ++rep) {
    auto s = fresh(1);
    auto records = c.run(s);
    ASSERT_TRUE(records.ok());
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[0].qubit, 0u);
    EXPECT_TRUE((*records)[0].outcome);
    EXPECT_EQ((*records)[1].qubit, 0u);
    EXPECT_FALSE((*records)[1].outcome);
    EXPECT_EQ(amplitudes(s), amplitudes(fresh(1)));
  }
}

TEST(Circuit, BellPairOutcomesAgree) {
  const Circuit c = Circuit::create(
      {unitary({0}, kH), unitary({0, 1}, kCnot), Gate::measure(1), Gate::measure(0)});
  bool seen[2] = {false, false};
  for (int rep = 0; rep < 200; ++rep) {
    auto s = fresh(2);
    auto records = c.run(s);
    ASSERT_TRUE(records.ok());
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[0].qubit, 1u);
    EXPECT_EQ((*records)[1].qubit, 0u);
    EXPECT_EQ((*records)[0].outcome, (*records)[1].outcome);
    seen[(*records)[0].outcome] = true;
  }
  EXPECT_TRUE(seen[0] && seen[1]);
}

TEST(Circuit, BarrierChangesNothing) {
  const Circuit plain = Circuit::create({unitary({0}, kH), unitary({0, 1}, kCnot)});
  const Circuit fenced =
      Circuit::create({unitary({0}, kH), Gate::barrier(), unitary({0, 1}, kCnot)});
  auto a = fresh(2);
  auto b = fresh(2);
  ASSERT_TRUE(plain.run(a).ok());
  ASSERT_TRUE(fenced.run(b).ok());
  EXPECT_EQ(amplitudes(a), amplitudes(b));
}

TEST(Circuit, StopsAtTheFirstFailingGate) {
  const Circuit c = Circuit::create({unitary({0}, kX), unitary({3}, kX), Gate::measure(0)});
  auto small = fresh(2);
  auto out = c.run(small);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().kind, ErrorKind::kInvalid);
  EXPECT_EQ(out.error().message, "qubit index 3 is out of range for 2 qubits");
  // The first gate has been applied.
  EXPECT_EQ(amplitudes(small), (std::vector<Complex>{{0, 0}, {1, 0}, {0, 0}, {0, 0}}));

  // The register size belongs to the run, not to the circuit.
  auto large = fresh(4);
  out = c.run(large);
  ASSERT_TRUE(out.ok());
  ASSERT_EQ(out->size(), 1u);
  EXPECT_TRUE((*out)[0].outcome);

  for (const Gate& g : {Gate::measure(2), Gate::reset(2)}) {
    auto s = fresh(2);
    auto bad = Circuit::create({unitary({1}, kX), g}).run(s);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message, "qubit index 2 is out of range for 2 qubits");
    EXPECT_EQ(amplitudes(s), (std::vector<Complex>{{0, 0}, {0, 0}, {1, 0}, {0, 0}}));
  }
  auto s = fresh(3);
  auto dup = Circuit::create({unitary({0, 1}, kCnot)}).run(s);
  ASSERT_TRUE(dup.ok());
  Operation twice{{1, 1}, kCnot};  // bypasses validation, as a corrupt gate would
  auto rejected = Circuit::create({Gate::unitary(twice)}).run(s);
  ASSERT_FALSE(rejected.ok());
  EXPECT_EQ(rejected.error().message, "duplicate qubit index: 1");
}

}  // namespace
}  // namespace vantrel::sim

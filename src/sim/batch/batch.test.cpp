#include "sim/batch/batch.h"
#include "sim/diff/adjoint.h"
#include "sim/testing/gates.h"
#include "sim/testing/plans.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

namespace vantrel::sim {
namespace {

using namespace testing;

// Three qubits, three slots (slot 1 read twice).
CompiledCircuit layered_plan() {
  return spec_with(3, 3,
                   {hadamard(0), {RotationKind::kRY, 1, 0}, {RotationKind::kRX, 2, 1}, cnot(0, 2),
                    {RotationKind::kRZ, 0, 2}, {RotationKind::kRY, 0, 1}, cnot(1, 0)})
      .compile();
}

std::vector<PauliTerm> mixed_observable() {
  return {PauliTerm::create({{0, PauliLabel::kZ}, {1, PauliLabel::kX}}, 0.7f).value(),
          PauliTerm::create({{2, PauliLabel::kY}}, -1.3f).value(),
          PauliTerm::create({}, 0.25f).value()};
}

std::vector<float> batch_data(std::size_t rows, std::size_t p) {
  std::vector<float> data(rows * p);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = 0.37f * static_cast<float>(i) - 2.0f;
  return data;
}

// A plan that fails on every row: its fixed step names a qubit the state
// does not have (compile() never builds such a plan).
CompiledCircuit failing_plan(std::uint64_t parameter_count) {
  std::vector<CompiledOp> ops;
  if (parameter_count) ops.push_back(CompiledOp::param(RotationKind::kRX, 0, 0));
  ops.push_back(CompiledOp::fixed(
      Gate::unitary(Operation{{5}, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}})));
  return CompiledCircuit(std::move(ops), 2, parameter_count);
}

TEST(Batch, RowsComeBackInOrderAndEqualSingleRuns) {
  const CompiledCircuit plan = layered_plan();
  const auto obs = mixed_observable();
  const std::size_t rows = 11;
  const std::vector<float> data = batch_data(rows, 3);

  auto values = batch_expectation(plan, data, rows, obs);
  auto vg = batch_value_and_gradient(plan, data, rows, obs);
  ASSERT_TRUE(values.ok());
  ASSERT_TRUE(vg.ok());
  ASSERT_EQ(values->size(), rows);
  ASSERT_EQ(vg->values.size(), rows);
  ASSERT_EQ(vg->gradients.size(), rows);
  ExecutionContext ctx = execution_context(plan).value();
  for (std::size_t r = 0; r < rows; ++r) {
    std::span<const float> row(data.data() + 3 * r, 3);
    const float single = expectation_with_context(plan, row, obs, ctx).value();
    const ValueAndGradient one = value_and_gradient(plan, row, obs).value();
    EXPECT_EQ(bits((*values)[r]), bits(single)) << r;
    EXPECT_EQ(bits(vg->values[r]), bits(one.value)) << r;
    ASSERT_EQ(vg->gradients[r].size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_EQ(bits(vg->gradients[r][i]), bits(one.gradient[i])) << r << "," << i;
  }
}

TEST(Batch, ChecksInOrder) {
  const CompiledCircuit plan = layered_plan();
  const auto obs = mixed_observable();
  const auto far = Observable::single(PauliLabel::kX, 3, 1.0f)->terms();
  const std::vector<float> five = batch_data(1, 5);

  // The observable first, even for an empty batch.
  auto bad_obs = batch_expectation(plan, {}, 0, far);
  ASSERT_FALSE(bad_obs.ok());
  EXPECT_EQ(bad_obs.error().message,
            "observable references qubit 3 but state vector only has 3 qubits");
  auto bad_obs_vg = batch_value_and_gradient(plan, five, 2, far);
  ASSERT_FALSE(bad_obs_vg.ok());
  EXPECT_EQ(bad_obs_vg.error().message, bad_obs.error().message);

  // An empty batch ignores the data.
  EXPECT_TRUE(batch_expectation(plan, five, 0, obs)->empty());
  auto empty_vg = batch_value_and_gradient(plan, five, 0, obs);
  EXPECT_TRUE(empty_vg->values.empty());
  EXPECT_TRUE(empty_vg->gradients.empty());

  auto overflow = batch_expectation(plan, five, std::uint64_t{1} << 63, obs);
  ASSERT_FALSE(overflow.ok());
  EXPECT_EQ(overflow.error().message, "parameter batch is too large");
  auto overflow_vg = batch_value_and_gradient(plan, {}, std::uint64_t{1} << 63, obs);
  ASSERT_FALSE(overflow_vg.ok());
  EXPECT_EQ(overflow_vg.error().message, "parameter batch is too large");

  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(1).value();
  for (int i = 0; i < 3; ++i) spec.add_parameter(std::nullopt);
  const CompiledCircuit p3 = spec.compile();
  const auto z = Observable::single(PauliLabel::kZ, 0, 1.0f)->terms();
  auto length = batch_expectation(p3, five, 2, z);
  ASSERT_FALSE(length.ok());
  EXPECT_EQ(length.error().message, "parameter batch contains 5 values, expected 6 for shape (2, 3)");
  auto length_vg = batch_value_and_gradient(p3, five, 2, z);
  ASSERT_FALSE(length_vg.ok());
  EXPECT_EQ(length_vg.error().message, length.error().message);
}

TEST(Batch, WithoutParametersOneRunServesEveryRow) {
  // H then a measurement: each run ends in |0> or |1> at random, so equal
  // values on 64 rows show that a single run was made.
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(1).value();
  ASSERT_TRUE(spec.add_fixed_gate(hadamard(0)).ok());
  ASSERT_TRUE(spec.add_fixed_gate(Gate::measure(0)).ok());
  const CompiledCircuit plan = spec.compile();
  const auto z = Observable::single(PauliLabel::kZ, 0, 1.0f)->terms();
  const std::vector<float> junk = {1.0f, 2.0f};  // never looked at

  auto values = batch_expectation(plan, junk, 64, z);
  ASSERT_TRUE(values.ok());
  ASSERT_EQ(values->size(), 64u);
  EXPECT_EQ(std::fabs((*values)[0]), 1.0f);
  for (float v : *values) EXPECT_EQ(v, (*values)[0]);

  auto vg = batch_value_and_gradient(plan, junk, 3, z);
  ASSERT_TRUE(vg.ok());
  ASSERT_EQ(vg->values.size(), 3u);
  ASSERT_EQ(vg->gradients.size(), 3u);
  for (std::size_t r = 0; r < 3; ++r) {
    EXPECT_EQ(vg->values[r], vg->values[0]);
    EXPECT_TRUE(vg->gradients[r].empty());
  }

  // A row count that no result could hold is a memory error, not a crash.
  auto huge = batch_expectation(plan, {}, std::uint64_t{1} << 62, z);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(huge.error().message, "cannot allocate the results of 4611686018427387904 batch rows (16 EiB)");
  auto huge_vg = batch_value_and_gradient(plan, {}, std::uint64_t{1} << 62, z);
  ASSERT_FALSE(huge_vg.ok());
  EXPECT_EQ(huge_vg.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(huge_vg.error().message.rfind("cannot allocate the results of 4611686018427387904 batch rows (", 0), 0u);
}

TEST(Batch, FailingRowsReportOneError) {
  const auto z = Observable::single(PauliLabel::kZ, 0, 1.0f)->terms();
  const std::string message = "qubit index 5 is out of range for 2 qubits";
  const CompiledCircuit plan = failing_plan(1);
  const std::vector<float> data = batch_data(16, 1);
  auto values = batch_expectation(plan, data, 16, z);
  ASSERT_FALSE(values.ok());
  EXPECT_EQ(values.error().kind, ErrorKind::kInvalid);
  EXPECT_EQ(values.error().message, message);
  auto vg = batch_value_and_gradient(plan, data, 16, z);
  ASSERT_FALSE(vg.ok());
  EXPECT_EQ(vg.error().message, message);

  // The single run of a parameterless batch fails the same way.
  auto p0 = batch_value_and_gradient(failing_plan(0), {}, 4, z);
  ASSERT_FALSE(p0.ok());
  EXPECT_EQ(p0.error().message, message);
}

TEST(Batch, RowsOfLargerStatesNestKernelsOnThePool) {
  // 15 qubits: the one-qubit and general kernels inside each row split over
  // the same pool as the rows.
  const CompiledCircuit plan =
      spec_with(15, 2,
                {hadamard(0), {RotationKind::kRY, 14, 0}, cnot(0, 14), {RotationKind::kRX, 7, 1}})
          .compile();
  const std::vector<PauliTerm> obs = {
      PauliTerm::create({{0, PauliLabel::kZ}, {14, PauliLabel::kZ}}, 1.0f).value(),
      PauliTerm::create({{7, PauliLabel::kX}, {14, PauliLabel::kX}}, 0.5f).value()};
  const std::vector<float> data = batch_data(4, 2);
  auto values = batch_expectation(plan, data, 4, obs);
  ASSERT_TRUE(values.ok());
  ExecutionContext ctx = execution_context(plan).value();
  for (std::size_t r = 0; r < 4; ++r) {
    std::span<const float> row(data.data() + 2 * r, 2);
    EXPECT_EQ(bits((*values)[r]), bits(expectation_with_context(plan, row, obs, ctx).value())) << r;
  }
  auto vg = batch_value_and_gradient(plan, std::span<const float>(data.data(), 2), 1, obs);
  ASSERT_TRUE(vg.ok());
  EXPECT_EQ(bits(vg->values[0]), bits((*values)[0]));
}

TEST(Batch, AdjointRowsEqualScalarCalls) {
  // 15 qubits, so that the kernels inside each row split over the same pool
  // as the rows; slot 1 read twice.
  const CompiledCircuit plan =
      spec_with(15, 3,
                {hadamard(0), {RotationKind::kRY, 14, 0}, {RotationKind::kRX, 7, 1}, cnot(0, 14),
                 {RotationKind::kP, 0, 2}, {RotationKind::kRZ, 7, 1}})
          .compile();
  const std::vector<PauliTerm> obs = {
      PauliTerm::create({{0, PauliLabel::kY}, {14, PauliLabel::kZ}}, 1.0f).value(),
      PauliTerm::create({{7, PauliLabel::kX}, {14, PauliLabel::kX}}, 0.5f).value()};
  const std::size_t rows = 7;
  const std::vector<float> data = batch_data(rows, 3);
  auto batch = batch_adjoint_value_and_gradient(plan, data, rows, obs);
  ASSERT_TRUE(batch.ok());
  ASSERT_EQ(batch->values.size(), rows);
  ASSERT_EQ(batch->gradients.size(), rows * 3);
  for (std::size_t r = 0; r < rows; ++r) {
    const auto one = adjoint_value_and_gradient(plan, {data.data() + 3 * r, 3}, obs).value();
    EXPECT_EQ(bits(batch->values[r]), bits(one.value)) << r;
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_EQ(bits(batch->gradients[3 * r + i]), bits(one.gradient[i])) << r << "," << i;
  }
}

TEST(Batch, AdjointChecksInOrder) {
  const auto z = Observable::single(PauliLabel::kZ, 0, 1.0f)->terms();
  const std::string refusal = "adjoint differentiation does not support measurement or reset steps";
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(2).value();
  spec.add_parameter("a");
  ASSERT_TRUE(spec.add_fixed_gate(Gate::measure(1)).ok());
  const CompiledCircuit measuring = spec.compile();
  // The observable, then the refusal, both before an empty batch succeeds.
  auto far = batch_adjoint_value_and_gradient(measuring, {}, 0,
                                              Observable::single(PauliLabel::kX, 2, 1.0f)->terms());
  ASSERT_FALSE(far.ok());
  EXPECT_EQ(far.error().message, "observable references qubit 2 but state vector only has 2 qubits");
  auto refused = batch_adjoint_value_and_gradient(measuring, {}, 0, z);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message, refusal);

  const CompiledCircuit plan = layered_plan();
  const auto obs = mixed_observable();
  auto empty = batch_adjoint_value_and_gradient(plan, batch_data(1, 5), 0, obs);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->values.empty() && empty->gradients.empty());
  auto overflow = batch_adjoint_value_and_gradient(plan, {}, std::uint64_t{1} << 63, obs);
  ASSERT_FALSE(overflow.ok());
  EXPECT_EQ(overflow.error().message, "parameter batch is too large");
  auto length = batch_adjoint_value_and_gradient(plan, batch_data(1, 5), 2, obs);
  ASSERT_FALSE(length.ok());
  EXPECT_EQ(length.error().message, "parameter batch contains 5 values, expected 6 for shape (2, 3)");

  // No parameters: one value for every row, no gradient entries.
  ParameterizedCircuitSpec fixed = ParameterizedCircuitSpec::create(1).value();
  ASSERT_TRUE(fixed.add_fixed_gate(hadamard(0)).ok());
  auto p0 = batch_adjoint_value_and_gradient(fixed.compile(), {}, 3,
                                             Observable::single(PauliLabel::kX, 0, 1.0f)->terms());
  ASSERT_TRUE(p0.ok());
  EXPECT_EQ(p0->values.size(), 3u);
  EXPECT_NEAR(p0->values[2], 1.0f, 1e-6);
  EXPECT_TRUE(p0->gradients.empty());
  auto huge = batch_adjoint_value_and_gradient(fixed.compile(), {}, std::uint64_t{1} << 62, z);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(huge.error().message,
            "cannot allocate the results of 4611686018427387904 batch rows (16 EiB)");

  // Failing rows report one error.
  auto failing = batch_adjoint_value_and_gradient(failing_plan(1), batch_data(16, 1), 16, z);
  ASSERT_FALSE(failing.ok());
  EXPECT_EQ(failing.error().message, "qubit index 5 is out of range for 2 qubits");
}

}  // namespace
}  // namespace vantrel::sim

namespace vantrel::sim {
namespace {

TEST(Batch, SeveralObservablesPerRowEqualOneExpectationEach) {
  const CompiledCircuit plan = layered_plan();
  const auto mixed = mixed_observable();
  const std::vector<PauliTerm> z = {PauliTerm::create({{1, PauliLabel::kZ}}, 1.0f).value()};
  const std::span<const PauliTerm> lists[] = {mixed, z, mixed};
  const std::size_t rows = 9;
  const std::vector<float> data = batch_data(rows, 3);
  auto table = batch_expectations(plan, data, rows, lists);
  ASSERT_TRUE(table.ok());
  ASSERT_EQ(table->size(), rows * 3);
  ExecutionContext ctx = execution_context(plan).value();
  for (std::size_t r = 0; r < rows; ++r) {
    std::span<const float> row(data.data() + 3 * r, 3);
    auto one_run = expectations(plan, row, lists);
    ASSERT_TRUE(one_run.ok());
    for (std::size_t k = 0; k < 3; ++k) {
      const float single = expectation_with_context(plan, row, lists[k], ctx).value();
      EXPECT_EQ(bits((*table)[r * 3 + k]), bits(single)) << r << "," << k;
      EXPECT_EQ(bits((*one_run)[k]), bits(single)) << r << "," << k;
    }
  }
  const std::vector<PauliTerm> wide = {PauliTerm::create({{3, PauliLabel::kX}}, 1.0f).value()};
  const std::span<const PauliTerm> bad[] = {mixed, wide};
  EXPECT_EQ(batch_expectations(plan, data, rows, bad).error().message,
            "observable references qubit 3 but state vector only has 3 qubits");
}

}  // namespace
}  // namespace vantrel::sim

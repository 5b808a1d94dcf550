#include "sim/diff/gradient.h"
#include "sim/testing/plans.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>

namespace vantrel::sim {
namespace {

using namespace testing;

std::vector<PauliTerm> z_on(std::uint64_t q) {
  return Observable::single(PauliLabel::kZ, q, 1.0f)->terms();
}

float value_at(const CompiledCircuit& plan, std::vector<float> params,
               std::span<const PauliTerm> obs) {
  ExecutionContext ctx = execution_context(plan).value();
  return expectation_with_context(plan, params, obs, ctx).value();
}

// Central difference of the plan's expectation along slot `slot`.
double central_difference(const CompiledCircuit& plan, std::vector<float> params,
                          std::span<const PauliTerm> obs, std::size_t slot, float h) {
  std::vector<float> up = params;
  std::vector<float> down = params;
  up[slot] += h;
  down[slot] -= h;
  const double step = static_cast<double>(up[slot]) - static_cast<double>(down[slot]);
  return (static_cast<double>(value_at(plan, up, obs)) - value_at(plan, down, obs)) / step;
}

TEST(Gradient, SingleReaderIsTheShiftRuleExactly) {
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(1).value();
  ASSERT_TRUE(spec.add_param_single(RotationKind::kRY, 0, spec.add_parameter("t")).ok());
  const CompiledCircuit plan = spec.compile();
  const auto z = z_on(0);

  auto at0 = value_and_gradient(plan, std::vector<float>{0.0f}, z).value();
  EXPECT_EQ(at0.value, 1.0f);
  ASSERT_EQ(at0.gradient.size(), 1u);
  EXPECT_NEAR(at0.gradient[0], 0.0f, 1e-6);
  auto at_half_pi = value_and_gradient(plan, std::vector<float>{1.5707964f}, z).value();
  EXPECT_NEAR(at_half_pi.gradient[0], -1.0f, 1e-6);

  for (float t : {0.0f, 0.37f, -2.5f, 1.5707964f, 6.0f}) {
    const float plus = value_at(plan, {t + 1.5707964f}, z);
    const float minus = value_at(plan, {t + -1.5707964f}, z);
    auto vg = value_and_gradient(plan, std::vector<float>{t}, z).value();
    EXPECT_EQ(bits(vg.gradient[0]), bits((plus - minus) * 0.5f)) << t;
    EXPECT_EQ(bits(vg.value), bits(value_at(plan, {t}, z)));
  }
}

TEST(Gradient, SharedSlotSumsOneShiftPerStep) {
  // RX(t) twice: <Z> = cos 2t, d/dt = -2 sin 2t. Shifting both rotations at
  // once would report 0.
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(1).value();
  const std::uint64_t t = spec.add_parameter("t");
  ASSERT_TRUE(spec.add_param_single(RotationKind::kRX, 0, t).ok());
  ASSERT_TRUE(spec.add_param_single(RotationKind::kRX, 0, t).ok());
  const CompiledCircuit plan = spec.compile();
  const auto z = z_on(0);
  for (float theta : {0.3f, 1.0f, -0.8f, 2.2f}) {
    auto vg = value_and_gradient(plan, std::vector<float>{theta}, z).value();
    EXPECT_NEAR(vg.value, std::cos(2.0 * theta), 1e-5);
    EXPECT_NEAR(vg.gradient[0], -2.0 * std::sin(2.0 * theta), 1e-5) << theta;
    EXPECT_NEAR(vg.gradient[0], central_difference(plan, {theta}, z, 0, 1e-2f), 2e-3);
  }
}

TEST(Gradient, MatchesFiniteDifferencesOnAnEntangledPlan) {
  // Four slots over three qubits: slot 0 read by three steps of different
  // kinds, slot 2 by two, slot 3 by none.
  // Scaled rotations on strings of every label at the end: slot 0 once
  // more, slot 1 (otherwise read once) twice.
  const CompiledCircuit plan =
      spec_with(3, 4,
                {hadamard(0), {RotationKind::kRY, 0, 0}, {RotationKind::kRX, 1, 1}, cnot(0, 1),
                 {RotationKind::kRZ, 1, 0}, {RotationKind::kRY, 2, 2}, cnot(1, 2),
                 {RotationKind::kRX, 2, 0}, {RotationKind::kP, 1, 2}, hadamard(1),
                 {{{0, PauliLabel::kX}, {1, PauliLabel::kY}, {2, PauliLabel::kZ}}, 0, -1.75f},
                 {{{2, PauliLabel::kY}, {0, PauliLabel::kY}}, 1, 0.5f},
                 {{{1, PauliLabel::kZ}, {2, PauliLabel::kZ}}, 1, 3.0f}})
          .compile();
  const std::vector<PauliTerm> obs = {
      PauliTerm::create({{0, PauliLabel::kZ}, {2, PauliLabel::kX}}, 0.8f).value(),
      PauliTerm::create({{1, PauliLabel::kY}}, -0.5f).value(),
      PauliTerm::create({{2, PauliLabel::kZ}}, 1.25f).value(),
  };
  const std::vector<float> params = {0.4f, -1.1f, 0.9f, 3.0f};
  auto vg = value_and_gradient(plan, params, obs).value();
  ASSERT_EQ(vg.gradient.size(), 4u);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_NEAR(vg.gradient[i], central_difference(plan, params, obs, i, 1e-2f), 3e-3) << i;
  EXPECT_EQ(bits(vg.gradient[3]), bits(0.0f));  // unused slot: exactly +0
  EXPECT_EQ(bits(vg.value), bits(value_at(plan, params, obs)));

  // gradient() agrees with value_and_gradient() for plans that draw nothing.
  auto g = gradient(plan, params, obs).value();
  ASSERT_EQ(g.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(bits(g[i]), bits(vg.gradient[i]));
}

TEST(Gradient, ContextHoldsTheLastRun) {
  // Slot 0 is read by steps 1 and 3; slot 1 by none. The last run is step 3
  // lowered by pi/2.
  const CompiledCircuit plan =
      spec_with(2, 2, {hadamard(0), {RotationKind::kRY, 1, 0}, cnot(0, 1), {RotationKind::kRX, 0, 0}})
          .compile();
  ASSERT_EQ(plan.ops().size(), 4u);
  const std::vector<float> params = {0.6f, 5.0f};
  ExecutionContext ctx = execution_context(plan).value();
  ASSERT_TRUE(gradient_with_context(plan, params, z_on(1), ctx).ok());

  StateVector last = StateVector::create(2).value();
  ASSERT_TRUE(run_into_overriding(plan, params, last, AngleOverride{3, 0.6f + -1.5707964f}).ok());
  for (std::size_t i = 0; i < last.size(); ++i) EXPECT_EQ(ctx.state.data()[i], last.data()[i]) << i;

  // No slot read at all: only the value run happens.
  ParameterizedCircuitSpec idle = ParameterizedCircuitSpec::create(1).value();
  idle.add_parameter("x");
  ASSERT_TRUE(idle.add_fixed_gate(hadamard(0)).ok());
  const CompiledCircuit idle_plan = idle.compile();
  ExecutionContext ictx = execution_context(idle_plan).value();
  auto ivg = value_and_gradient_with_context(idle_plan, std::vector<float>{1.0f},
                                             Observable::single(PauliLabel::kX, 0, 1.0f)->terms(),
                                             ictx)
                 .value();
  EXPECT_NEAR(ivg.value, 1.0f, 1e-6);
  EXPECT_EQ(ivg.gradient, std::vector<float>{0.0f});
}

// Today's rule written out plainly: the value run, then for each slot and
// each of its reading steps in plan order two full runs from |0...0> with only
// that step's angle moved. `last` receives the final state of the last run.
ValueAndGradient plain_shift_rule(const CompiledCircuit& plan, const std::vector<float>& params,
                                  std::span<const PauliTerm> obs, StateVector& last) {
  ValueAndGradient out;
  last = run_statevector(plan, params).value();
  out.value = expectation(last, obs).value();
  out.gradient.assign(plan.parameter_count(), 0.0f);
  for (std::uint64_t slot = 0; slot < plan.parameter_count(); ++slot) {
    bool first = true;
    for (std::size_t k = 0; k < plan.ops().size(); ++k) {
      const CompiledOp& op = plan.ops()[k];
      if (!op.is_parametric() || op.slot != slot) continue;
      // A Pauli-string rotation turns by scale * theta: the shift rule on
      // that angle, times the scale.
      const bool scaled = op.kind == CompiledOp::Kind::kPauliRotation;
      const float angle = scaled ? static_cast<float>(op.scale) * params[slot] : params[slot];
      float e[2];
      const float shifts[2] = {1.5707964f, -1.5707964f};
      for (int side = 0; side < 2; ++side) {
        last = StateVector::create(plan.num_qubits()).value();
        EXPECT_TRUE(
            run_into_overriding(plan, params, last, AngleOverride{k, angle + shifts[side]}).ok());
        e[side] = expectation(last, obs).value();
      }
      const float term = scaled ? (e[0] - e[1]) * 0.5f * static_cast<float>(op.scale) : (e[0] - e[1]) * 0.5f;
      out.gradient[slot] = first ? term : out.gradient[slot] + term;
      first = false;
    }
  }
  return out;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}
bool same_bits(const StateVector& a, const StateVector& b) {
  return a.num_qubits() == b.num_qubits() &&
         std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}

TEST(Gradient, SharedPrefixMatchesFullRunsBitForBit) {
  std::mt19937 rng(20261207);
  // One context for every plan: widths change from call to call.
  ExecutionContext shared = execution_context(
                                ParameterizedCircuitSpec::create(3).value().compile())
                                .value();
  for (int trial = 0; trial < 400; ++trial) {
    const RandomPlan r = random_plan(rng);
    StateVector last;
    const ValueAndGradient want = plain_shift_rule(r.plan, r.params, r.obs, last);

    auto got = value_and_gradient_with_context(r.plan, r.params, r.obs, shared);
    ASSERT_TRUE(got.ok()) << trial;
    EXPECT_EQ(bits(got->value), bits(want.value)) << trial;
    EXPECT_TRUE(same_bits(got->gradient, want.gradient)) << trial;
    EXPECT_TRUE(same_bits(shared.state, last)) << trial;

    ExecutionContext fresh = execution_context(r.plan).value();
    auto full = detail::value_and_gradient_by_full_runs(r.plan, r.params, r.obs, fresh);
    ASSERT_TRUE(full.ok()) << trial;
    EXPECT_EQ(bits(full->value), bits(want.value)) << trial;
    EXPECT_TRUE(same_bits(full->gradient, want.gradient)) << trial;
    EXPECT_TRUE(same_bits(fresh.state, last)) << trial;
  }
}

TEST(Gradient, FullRunsWhenThePrefixCannotBeAllocated) {
  std::mt19937 rng(7);
  detail::set_prefix_allocation_fails(true);
  for (int trial = 0; trial < 60; ++trial) {
    const RandomPlan r = random_plan(rng);
    StateVector last;
    const ValueAndGradient want = plain_shift_rule(r.plan, r.params, r.obs, last);
    ExecutionContext ctx = execution_context(r.plan).value();
    auto got = value_and_gradient_with_context(r.plan, r.params, r.obs, ctx);
    ASSERT_TRUE(got.ok()) << trial;
    EXPECT_EQ(bits(got->value), bits(want.value)) << trial;
    EXPECT_TRUE(same_bits(got->gradient, want.gradient)) << trial;
    EXPECT_TRUE(same_bits(ctx.state, last)) << trial;
  }
  detail::set_prefix_allocation_fails(false);
}

TEST(Gradient, ContextEndsWithTheHighestSlotsLastRun) {
  // Slot 1 is read first and slot 0 last: the runs resumed from the prefix
  // end with step 3, but the context must hold step 1 lowered (slot 1's only
  // reader).
  const CompiledCircuit plan =
      spec_with(2, 2, {hadamard(0), {RotationKind::kRY, 1, 1}, cnot(0, 1), {RotationKind::kRZ, 0, 0}})
          .compile();
  ASSERT_EQ(plan.ops().size(), 4u);
  const std::vector<float> params = {0.25f, -0.7f};
  const auto obs = z_on(1);
  StateVector last;
  const ValueAndGradient want = plain_shift_rule(plan, params, obs, last);
  ExecutionContext ctx = execution_context(plan).value();
  auto got = value_and_gradient_with_context(plan, params, obs, ctx).value();
  EXPECT_TRUE(same_bits(got.gradient, want.gradient));
  EXPECT_TRUE(same_bits(ctx.state, last));
  StateVector step1 = StateVector::create(2).value();
  ASSERT_TRUE(
      run_into_overriding(plan, params, step1, AngleOverride{1, -0.7f + -1.5707964f}).ok());
  EXPECT_TRUE(same_bits(ctx.state, step1));
}

TEST(Gradient, PlansThatMeasureKeepFullRuns) {
  // A measurement makes each run draw anew; results stay finite and well
  // formed, and a deterministic measurement (of a basis state) gives the
  // same numbers as the plain rule.
  const CompiledCircuit plan =
      spec_with(2, 1, {Gate::measure(1), {RotationKind::kRY, 0, 0}, Gate::reset(1), cnot(0, 1)})
          .compile();
  ASSERT_TRUE(plan.has_random_steps());
  const std::vector<float> params = {0.9f};
  const auto obs = z_on(1);
  StateVector last;
  const ValueAndGradient want = plain_shift_rule(plan, params, obs, last);
  ExecutionContext ctx = execution_context(plan).value();
  auto got = value_and_gradient_with_context(plan, params, obs, ctx).value();
  EXPECT_EQ(bits(got.value), bits(want.value));
  EXPECT_TRUE(same_bits(got.gradient, want.gradient));
  EXPECT_TRUE(same_bits(ctx.state, last));
  EXPECT_NEAR(got.gradient[0], -std::sin(0.9), 1e-5);
}

TEST(Gradient, ChecksBeforeAnyRun) {
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(2).value();
  ASSERT_TRUE(spec.add_param_single(RotationKind::kRY, 0, spec.add_parameter("t")).ok());
  const CompiledCircuit plan = spec.compile();
  ExecutionContext ctx = execution_context(plan).value();
  ASSERT_TRUE(run_statevector_with_context(plan, std::vector<float>{1.0f}, ctx).ok());
  const Complex marker = ctx.state.data()[1];
  ASSERT_NE(marker.re, 0.0f);

  // Length first, even with a bad observable.
  auto both = value_and_gradient_with_context(plan, std::vector<float>{1.0f, 2.0f},
                                              z_on(7), ctx);
  ASSERT_FALSE(both.ok());
  EXPECT_EQ(both.error().message, "parameter vector has length 2, expected 1");
  auto far = value_and_gradient_with_context(plan, std::vector<float>{1.0f}, z_on(2), ctx);
  ASSERT_FALSE(far.ok());
  EXPECT_EQ(far.error().message, "observable references qubit 2 but state vector only has 2 qubits");
  EXPECT_EQ(ctx.state.data()[1], marker);  // nothing ran

  // No parameters: one run, an empty gradient.
  ParameterizedCircuitSpec fixed = ParameterizedCircuitSpec::create(1).value();
  ASSERT_TRUE(fixed.add_fixed_gate(hadamard(0)).ok());
  auto p0 = value_and_gradient(fixed.compile(), {}, z_on(0)).value();
  EXPECT_NEAR(p0.value, 0.0f, 1e-6);
  EXPECT_TRUE(p0.gradient.empty());
  auto g0 = gradient(fixed.compile(), std::vector<float>{0.5f}, z_on(0));
  ASSERT_FALSE(g0.ok());
  EXPECT_EQ(g0.error().message, "parameter vector has length 1, expected 0");
}

TEST(Gradient, RunErrorsPassThrough) {
  std::vector<CompiledOp> ops;
  ops.push_back(CompiledOp::param(RotationKind::kRX, 0, 0));
  ops.push_back(CompiledOp::fixed(Gate::measure(3)));
  const CompiledCircuit bad(std::move(ops), 2, 1);
  auto r = value_and_gradient(bad, std::vector<float>{0.1f}, z_on(0));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "qubit index 3 is out of range for 2 qubits");
}

}  // namespace
}  // namespace vantrel::sim

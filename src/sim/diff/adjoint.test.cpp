#include "sim/diff/adjoint.h"

#include "sim/kernels/adjoint_inner.h"
#include "sim/testing/plans.h"
#include "sim/testing/sanitizers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace vantrel::sim {
namespace {

using namespace testing;


std::vector<PauliTerm> single(PauliLabel label, std::uint64_t q, float c = 1.0f) {
  return Observable::single(label, q, c)->terms();
}

float value_at(const CompiledCircuit& plan, const std::vector<float>& params,
               std::span<const PauliTerm> obs) {
  ExecutionContext ctx = execution_context(plan).value();
  return expectation_with_context(plan, params, obs, ctx).value();
}

TEST(Adjoint, AgreesWithTheShiftRuleOnRandomPlans) {
  // Every step kind (rotations of the four kinds, one-, two- and three-qubit
  // fixed gates, barriers), shared and unused slots; many small plans and a
  // few of up to 14 qubits and 200 steps. One context serves them all, its
  // width changing from call to call.
  std::mt19937 rng(808);
  ExecutionContext ctx;
  const PlanShape small{6, 6, 40, true};
  const PlanShape large{14, 48, 201, true, 12, 120};
  for (int trial = 0; trial < 254; ++trial) {
    const RandomPlan r = random_plan(rng, trial < 250 ? small : large);
    auto got = adjoint_value_and_gradient_with_context(r.plan, r.params, r.obs, ctx);
    ASSERT_TRUE(got.ok()) << trial << ": " << got.error().message;
    const ValueAndGradient want = value_and_gradient(r.plan, r.params, r.obs).value();
    EXPECT_EQ(bits(got->value), bits(value_at(r.plan, r.params, r.obs))) << trial;

    float scale = 0.0f;
    for (const PauliTerm& t : r.obs) scale += std::fabs(t.coefficient);
    std::vector<bool> read(r.params.size(), false);
    for (const CompiledOp& op : r.plan.ops())
      if (op.is_parametric()) read[op.slot] = true;
    ASSERT_EQ(got->gradient.size(), r.params.size());
    for (std::size_t i = 0; i < r.params.size(); ++i) {
      EXPECT_NEAR(got->gradient[i], want.gradient[i], 1e-4 * scale) << trial << " slot " << i;
      if (!read[i]) {
        EXPECT_EQ(bits(got->gradient[i]), bits(0.0f)) << trial << " slot " << i;
      }
    }

    // A fresh context gives the same bits as the reused one.
    auto again = adjoint_value_and_gradient(r.plan, r.params, r.obs).value();
    EXPECT_EQ(bits(again.value), bits(got->value));
    for (std::size_t i = 0; i < r.params.size(); ++i)
      EXPECT_EQ(bits(again.gradient[i]), bits(got->gradient[i])) << trial;
  }
}

TEST(Adjoint, EachKindHasTheRightSign) {
  // One rotation on one qubit (after H where the kind is diagonal), the
  // expectation and its derivative in closed form.
  struct Case {
    RotationKind kind;
    bool hadamard_first;
    PauliLabel label;
    double (*value)(double);
    double (*derivative)(double);
  };
  const Case cases[] = {
      {RotationKind::kRX, false, PauliLabel::kZ, [](double t) { return std::cos(t); },
       [](double t) { return -std::sin(t); }},
      {RotationKind::kRX, false, PauliLabel::kY, [](double t) { return -std::sin(t); },
       [](double t) { return -std::cos(t); }},
      {RotationKind::kRY, false, PauliLabel::kX, [](double t) { return std::sin(t); },
       [](double t) { return std::cos(t); }},
      {RotationKind::kRZ, true, PauliLabel::kY, [](double t) { return std::sin(t); },
       [](double t) { return std::cos(t); }},
      {RotationKind::kP, true, PauliLabel::kY, [](double t) { return std::sin(t); },
       [](double t) { return std::cos(t); }},
      {RotationKind::kP, true, PauliLabel::kX, [](double t) { return std::cos(t); },
       [](double t) { return -std::sin(t); }},
  };
  for (const Case& c : cases) {
    ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(1).value();
    const std::uint64_t slot = spec.add_parameter("t");
    if (c.hadamard_first) {
      ASSERT_TRUE(spec.add_fixed_gate(hadamard(0)).ok());
    }
    ASSERT_TRUE(spec.add_param_single(c.kind, 0, slot).ok());
    const CompiledCircuit plan = spec.compile();
    for (float t : {-2.5f, -0.4f, 0.0f, 0.9f, 3.0f}) {
      auto vg = adjoint_value_and_gradient(plan, std::vector<float>{t}, single(c.label, 0)).value();
      EXPECT_NEAR(vg.value, c.value(t), 1e-6) << static_cast<int>(c.kind) << " " << t;
      EXPECT_NEAR(vg.gradient[0], c.derivative(t), 1e-6) << static_cast<int>(c.kind) << " " << t;
    }
  }

  // A scaled Pauli-string rotation: exp(-i 2.5 t/2 Y0 Z1) on |00> gives
  // <X0> = sin 2.5 t, whose derivative is 2.5 cos 2.5 t.
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(2).value();
  const std::uint64_t slot = spec.add_parameter("t");
  ASSERT_TRUE(spec.add_pauli_rotation({{0, PauliLabel::kY}, {1, PauliLabel::kZ}}, slot, 2.5f).ok());
  const CompiledCircuit plan = spec.compile();
  ASSERT_EQ(plan.ops()[0].kind, CompiledOp::Kind::kPauliRotation);
  for (float t : {-1.5f, 0.2f, 1.1f}) {
    auto vg = adjoint_value_and_gradient(plan, std::vector<float>{t}, single(PauliLabel::kX, 0)).value();
    EXPECT_NEAR(vg.value, std::sin(2.5 * t), 1e-6) << t;
    EXPECT_NEAR(vg.gradient[0], 2.5 * std::cos(2.5 * t), 3e-6) << t;
  }
}

TEST(Adjoint, MatchesCentralDifferences) {
  // Three qubits, four slots: slot 0 read by steps of three kinds, slot 2 by
  // two, slot 3 by none; RX(slot 1) twice on one qubit and a scaled
  // Pauli-string rotation on slot 1 too.
  const CompiledCircuit plan =
      spec_with(3, 4,
                {hadamard(0), {RotationKind::kRY, 0, 0}, {RotationKind::kRX, 1, 1},
                 {RotationKind::kRX, 1, 1}, cnot(0, 1), {RotationKind::kRZ, 1, 0},
                 {RotationKind::kRY, 2, 2}, Gate::barrier(), cnot(1, 2), {RotationKind::kRX, 2, 0},
                 {RotationKind::kP, 1, 2}, {{{0, PauliLabel::kX}, {2, PauliLabel::kY}}, 1, -0.75f},
                 hadamard(1)})
          .compile();
  const std::vector<PauliTerm> obs = {
      PauliTerm::create({{0, PauliLabel::kZ}, {2, PauliLabel::kX}}, 0.8f).value(),
      PauliTerm::create({{1, PauliLabel::kY}}, -0.5f).value(),
      PauliTerm::create({{0, PauliLabel::kY}, {1, PauliLabel::kY}}, 0.3f).value(),
      PauliTerm::create({}, 2.0f).value(),
  };
  const std::vector<float> params = {0.4f, -1.1f, 0.9f, 3.0f};
  auto vg = adjoint_value_and_gradient(plan, params, obs).value();
  for (std::size_t i = 0; i < 3; ++i) {
    std::vector<float> up = params;
    std::vector<float> down = params;
    up[i] += 1e-2f;
    down[i] -= 1e-2f;
    const double step = static_cast<double>(up[i]) - down[i];
    const double fd =
        (static_cast<double>(value_at(plan, up, obs)) - value_at(plan, down, obs)) / step;
    EXPECT_NEAR(vg.gradient[i], fd, 3e-3) << i;
  }
  EXPECT_EQ(bits(vg.gradient[3]), bits(0.0f));
}

TEST(Adjoint, ChecksInOrderBeforeAnyWork) {
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(2).value();
  const std::uint64_t t = spec.add_parameter("t");
  ASSERT_TRUE(spec.add_param_single(RotationKind::kRY, 0, t).ok());
  ASSERT_TRUE(spec.add_fixed_gate(Gate::measure(1)).ok());
  const CompiledCircuit measuring = spec.compile();
  ExecutionContext ctx = execution_context(measuring).value();
  ctx.state.data()[3] = {0.5f, 0.25f};  // a marker that no run leaves

  const std::vector<float> one = {0.3f};
  auto length = adjoint_value_and_gradient_with_context(measuring, std::vector<float>{1, 2},
                                                        single(PauliLabel::kZ, 9), ctx);
  ASSERT_FALSE(length.ok());
  EXPECT_EQ(length.error().message, "parameter vector has length 2, expected 1");
  auto far = adjoint_value_and_gradient_with_context(measuring, one, single(PauliLabel::kZ, 2), ctx);
  ASSERT_FALSE(far.ok());
  EXPECT_EQ(far.error().message, "observable references qubit 2 but state vector only has 2 qubits");
  const std::string refusal = "adjoint differentiation does not support measurement or reset steps";
  auto measured = adjoint_value_and_gradient_with_context(measuring, one, single(PauliLabel::kZ, 1), ctx);
  ASSERT_FALSE(measured.ok());
  EXPECT_EQ(measured.error().kind, ErrorKind::kInvalid);
  EXPECT_EQ(measured.error().message, refusal);
  EXPECT_EQ(ctx.state.data()[3], (Complex{0.5f, 0.25f}));  // nothing ran
  EXPECT_EQ(ctx.backward.data(), nullptr);

  ParameterizedCircuitSpec resetting = ParameterizedCircuitSpec::create(1).value();
  ASSERT_TRUE(resetting.add_fixed_gate(Gate::reset(0)).ok());
  auto reset = adjoint_value_and_gradient(resetting.compile(), {}, single(PauliLabel::kZ, 0));
  ASSERT_FALSE(reset.ok());
  EXPECT_EQ(reset.error().message, refusal);

  // The width comes last: a plan of 64 qubits fails as every run of it does.
  const CompiledCircuit huge({}, 64, 0);
  auto too_wide = adjoint_value_and_gradient(huge, {}, single(PauliLabel::kZ, 63));
  ASSERT_FALSE(too_wide.ok());
  EXPECT_EQ(too_wide.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(too_wide.error().message, "cannot allocate a state vector of 64 qubits (128 EiB)");
  if (kSanitized) return;  // sanitizer allocators abort on impossible sizes
  std::vector<CompiledOp> ops;
  ops.push_back(CompiledOp::param(RotationKind::kRX, 0, 0));
  const CompiledCircuit big(std::move(ops), 50, 1);  // 8 PiB of amplitudes
  auto oom = adjoint_value_and_gradient(big, one, single(PauliLabel::kZ, 0));
  ASSERT_FALSE(oom.ok());
  EXPECT_EQ(oom.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(oom.error().message, "cannot allocate a state vector of 50 qubits (8 PiB)");
}

TEST(Adjoint, PlansWithoutParametricStepsNeedNoBackwardState) {
  // No parameters, or parameters that no step reads: the value, +0 entries,
  // and no backward state; the context keeps the final state.
  const CompiledCircuit plan = spec_with(2, 1, {hadamard(0), cnot(0, 1)}).compile();
  const std::vector<PauliTerm> zz = {
      PauliTerm::create({{0, PauliLabel::kZ}, {1, PauliLabel::kZ}}, 1.0f).value()};
  ExecutionContext ctx;
  auto vg = adjoint_value_and_gradient_with_context(plan, std::vector<float>{0.7f}, zz, ctx).value();
  EXPECT_NEAR(vg.value, 1.0f, 1e-6);
  EXPECT_EQ(bits(vg.gradient[0]), bits(0.0f));
  EXPECT_EQ(ctx.backward.data(), nullptr);
  const StateVector final_state = run_statevector(plan, std::vector<float>{0.7f}).value();
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(ctx.state.data()[i], final_state.data()[i]);
}

TEST(Adjoint, ReusedContextAllocatesNothing) {
  // Four qubits with one-, two- and three-qubit fixed gates (all small enough
  // for tables on the stack) and rotations of every kind, a Pauli string too.
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(4).value();
  for (int i = 0; i < 3; ++i) spec.add_parameter(std::nullopt);
  std::mt19937 rng(5);
  for (std::uint64_t q = 0; q < 4; ++q) {
    ASSERT_TRUE(spec.add_fixed_gate(hadamard(q)).ok());
    ASSERT_TRUE(spec.add_param_single(static_cast<RotationKind>(q), q, q % 3).ok());
    ASSERT_TRUE(spec.add_fixed_gate(cnot(q, (q + 1) % 4)).ok());
  }
  ASSERT_TRUE(spec.add_fixed_gate(three_qubit_gate(rng, 0, 2, 3)).ok());
  ASSERT_TRUE(spec.add_param_single(RotationKind::kRY, 2, 1).ok());
  ASSERT_TRUE(spec.add_pauli_rotation({{1, PauliLabel::kY}, {3, PauliLabel::kX}}, 2, 1.5f).ok());
  const CompiledCircuit plan = spec.compile();
  const std::vector<PauliTerm> obs = {
      PauliTerm::create({{0, PauliLabel::kX}, {3, PauliLabel::kY}}, 0.5f).value(),
      PauliTerm::create({{2, PauliLabel::kZ}}, -1.0f).value()};
  const std::vector<float> params = {0.3f, -1.2f, 2.0f};
  std::vector<float> gradient(3);
  ExecutionContext ctx;
  ASSERT_TRUE(adjoint_value_and_gradient_into(plan, params, obs, ctx, gradient).ok());  // warm up
  const Complex* state = ctx.state.data();
  const Complex* backward = ctx.backward.data();

  const std::size_t before = allocations_so_far();
  auto value = adjoint_value_and_gradient_into(plan, params, obs, ctx, gradient);
  const std::size_t after = allocations_so_far();
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(after, before);
  EXPECT_EQ(ctx.state.data(), state);
  EXPECT_EQ(ctx.backward.data(), backward);
  auto fresh = adjoint_value_and_gradient(plan, params, obs).value();
  EXPECT_EQ(bits(*value), bits(fresh.value));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(bits(gradient[i]), bits(fresh.gradient[i]));

  // A run at another width drops the backward state of the old one.
  ASSERT_TRUE(run_statevector_with_context(ParameterizedCircuitSpec::create(5)->compile(), {}, ctx).ok());
  EXPECT_EQ(ctx.backward.data(), nullptr);
}

TEST(Adjoint, InnerProductChunksAddInIndexOrder) {
  // The register forms against the plain loop: kernels/adjoint_inner.test.cpp.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> amp(-1.0f, 1.0f);
  std::vector<Complex> lambda(std::size_t{1} << 12), psi(std::size_t{1} << 12);
  for (std::size_t i = 0; i < lambda.size(); ++i) {
    lambda[i] = {amp(rng), i % 11 == 3 ? -0.0f : amp(rng)};
    psi[i] = {i % 7 == 2 ? 0.0f : amp(rng), amp(rng)};
  }

  // A whole state of 17 qubits: 32 chunks, spread over the pool, added in
  // index order in double.
  StateVector l17 = StateVector::create(17).value();
  StateVector p17 = StateVector::create(17).value();
  for (std::size_t i = 0; i < l17.size(); ++i) {
    l17.data()[i] = lambda[i % lambda.size()];
    p17.data()[i] = psi[(i * 7) % psi.size()];
  }
  const kernels::PauliMasks m{0x10005, 0x8003, true, false};
  double sum = 0.0;
  for (std::size_t lo = 0; lo < l17.size(); lo += kernels::kAdjointChunk)
    sum = sum + kernels::imag_pauli_chunk_scalar(l17.data(), p17.data(), m, lo,
                                                 lo + kernels::kAdjointChunk);
  EXPECT_EQ(bits(detail::imag_pauli_inner(l17, p17, m)), bits(static_cast<float>(sum)));
}

}  // namespace
}  // namespace vantrel::sim

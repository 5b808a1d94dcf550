#include "sim/run/plan_run.h"
#include "sim/state/measure.h"
#include "sim/testing/plans.h"
#include "sim/testing/sanitizers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <new>

// Counts every plain operator new in this test binary, so that a test can
// prove a code path allocates nothing. (The replacement pairs malloc with
// free; GCC's heuristic cannot see through the replaced operators.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<std::size_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

std::size_t vantrel::sim::testing::allocations_so_far() { return g_allocations.load(); }

namespace vantrel::sim {
namespace {

using namespace testing;


Gate one_qubit(std::uint64_t q, std::vector<Complex> m) {
  return Gate::unitary(Operation::create({q}, std::move(m)).value());
}
Gate pauli_x(std::uint64_t q) { return one_qubit(q, kX); }

void expect_basis_state(const StateVector& s, std::size_t index) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    EXPECT_EQ(s.data()[i].re, i == index ? 1.0f : 0.0f) << "amplitude " << i;
    EXPECT_EQ(s.data()[i].im, 0.0f) << "amplitude " << i;
  }
}

TEST(RotationMatrix, EntriesFromOneSinCosPerHalfAngle) {
  for (float t : {0.0f, 0.3f, -1.25f, 3.14159265f, 7.5f, -100.0f}) {
    volatile float vt = t;  // keep the compiler from folding the reference calls
    const float theta = vt;
    float s = 0, c = 0, s1 = 0, c1 = 0;
    Complex m[4];

    sincosf(theta * 0.5f, &s, &c);
    rotation_matrix(RotationKind::kRX, theta, m);
    EXPECT_EQ(bits(m[0].re), bits(c));
    EXPECT_EQ(bits(m[0].im), bits(0.0f));
    EXPECT_EQ(bits(m[1].re), bits(0.0f));
    EXPECT_EQ(bits(m[1].im), bits(-s));
    EXPECT_EQ(bits(m[2].im), bits(-s));
    EXPECT_EQ(bits(m[3].re), bits(c));

    rotation_matrix(RotationKind::kRY, theta, m);
    EXPECT_EQ(bits(m[0].re), bits(c));
    EXPECT_EQ(bits(m[1].re), bits(-s));
    EXPECT_EQ(bits(m[2].re), bits(s));
    EXPECT_EQ(bits(m[3].re), bits(c));
    EXPECT_EQ(bits(m[1].im), bits(0.0f));

    sincosf(theta * -0.5f, &s1, &c1);
    rotation_matrix(RotationKind::kRZ, theta, m);
    EXPECT_EQ(bits(m[0].re), bits(c1));
    EXPECT_EQ(bits(m[0].im), bits(s1));
    EXPECT_EQ(bits(m[3].re), bits(c));
    EXPECT_EQ(bits(m[3].im), bits(s));
    for (int k : {1, 2}) {
      EXPECT_EQ(bits(m[k].re), 0u);  // +0.0 in both parts
      EXPECT_EQ(bits(m[k].im), 0u);
    }

    sincosf(theta, &s, &c);
    rotation_matrix(RotationKind::kP, theta, m);
    EXPECT_EQ(bits(m[0].re), bits(1.0f));
    EXPECT_EQ(bits(m[0].im), 0u);
    EXPECT_EQ(bits(m[3].re), bits(c));
    EXPECT_EQ(bits(m[3].im), bits(s));
    EXPECT_EQ(bits(m[1].re) | bits(m[1].im) | bits(m[2].re) | bits(m[2].im), 0u);
  }

  Complex rz0[4];
  rotation_matrix(RotationKind::kRZ, 0.0f, rz0);
  EXPECT_EQ(rz0[0], (Complex{1, 0}));
  EXPECT_EQ(rz0[3], (Complex{1, 0}));
  Complex p_pi[4];
  rotation_matrix(RotationKind::kP, 3.14159265f, p_pi);
  EXPECT_NEAR(p_pi[3].re, -1.0f, 1e-6);
  EXPECT_NEAR(p_pi[3].im, 0.0f, 1e-6);
}

// H(0), RX(a) on 1, CNOT(0 -> 1), RY(b) on 0, RZ(a) on 2, P(b) on 1, X(2).
CompiledCircuit mixed_plan() {
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(3).value();
  const std::uint64_t a = spec.add_parameter("a");
  const std::uint64_t b = spec.add_parameter("b");
  EXPECT_TRUE(spec.add_fixed_gate(hadamard(0)).ok());
  EXPECT_TRUE(spec.add_param_single(RotationKind::kRX, 1, a).ok());
  EXPECT_TRUE(spec.add_fixed_gate(cnot(0, 1)).ok());
  EXPECT_TRUE(spec.add_param_single(RotationKind::kRY, 0, b).ok());
  EXPECT_TRUE(spec.add_param_single(RotationKind::kRZ, 2, a).ok());
  EXPECT_TRUE(spec.add_param_single(RotationKind::kP, 1, b).ok());
  EXPECT_TRUE(spec.add_fixed_gate(pauli_x(2)).ok());
  return spec.compile();
}

TEST(RunInto, AppliesStepsInOrderWithSlotAngles) {
  const CompiledCircuit plan = mixed_plan();
  const std::vector<float> params = {0.7f, -1.9f};
  StateVector got = run_statevector(plan, params).value();

  StateVector want = StateVector::create(3).value();
  Complex m[4];
  ASSERT_TRUE(want.apply_operation(hadamard(0).op).ok());
  rotation_matrix(RotationKind::kRX, params[0], m);
  want.apply_mat2(1, m);
  ASSERT_TRUE(want.apply_operation(cnot(0, 1).op).ok());
  rotation_matrix(RotationKind::kRY, params[1], m);
  want.apply_mat2(0, m);
  rotation_matrix(RotationKind::kRZ, params[0], m);
  want.apply_mat2(2, m);
  rotation_matrix(RotationKind::kP, params[1], m);
  want.apply_mat2(1, m);
  ASSERT_TRUE(want.apply_operation(pauli_x(2).op).ok());

  ASSERT_EQ(got.num_qubits(), 3u);
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(bits(got.data()[i].re), bits(want.data()[i].re)) << i;
    EXPECT_EQ(bits(got.data()[i].im), bits(want.data()[i].im)) << i;
  }

  // An override changes one step only: step 1 (RX reading slot a) turns by
  // 0.2 while the RZ step reading the same slot keeps params[0].
  StateVector over = StateVector::create(3).value();
  ASSERT_TRUE(run_into_overriding(plan, params, over, AngleOverride{1, 0.2f}).ok());
  StateVector manual = StateVector::create(3).value();
  ASSERT_TRUE(manual.apply_operation(hadamard(0).op).ok());
  rotation_matrix(RotationKind::kRX, 0.2f, m);
  manual.apply_mat2(1, m);
  ASSERT_TRUE(manual.apply_operation(cnot(0, 1).op).ok());
  rotation_matrix(RotationKind::kRY, params[1], m);
  manual.apply_mat2(0, m);
  rotation_matrix(RotationKind::kRZ, params[0], m);  // slot a unchanged here
  manual.apply_mat2(2, m);
  rotation_matrix(RotationKind::kP, params[1], m);
  manual.apply_mat2(1, m);
  ASSERT_TRUE(manual.apply_operation(pauli_x(2).op).ok());
  for (std::size_t i = 0; i < manual.size(); ++i) EXPECT_EQ(over.data()[i], manual.data()[i]) << i;
}

TEST(RunInto, ChecksLengthThenWidth) {
  const CompiledCircuit plan = mixed_plan();
  StateVector wrong = StateVector::create(2).value();
  Status len = run_into(plan, std::vector<float>{1.0f}, wrong);
  ASSERT_FALSE(len.ok());
  EXPECT_EQ(len.error().message, "parameter vector has length 1, expected 2");
  Status width = run_into(plan, std::vector<float>{1.0f, 2.0f}, wrong);
  ASSERT_FALSE(width.ok());
  EXPECT_EQ(width.error().message, "state vector has 2 qubits, compiled circuit expects 3");
  expect_basis_state(wrong, 0);

  const CompiledCircuit empty = ParameterizedCircuitSpec::create(2).value().compile();
  auto one = run_statevector(empty, std::vector<float>{0.5f});
  ASSERT_FALSE(one.ok());
  EXPECT_EQ(one.error().message, "parameter vector has length 1, expected 0");
  StateVector zero = run_statevector(empty, {}).value();
  expect_basis_state(zero, 0);
}

TEST(RunInto, FailingStepKeepsEarlierSteps) {
  // Plans made by compile() never hold such steps; a hand-made one is
  // refused at the step rather than touching memory outside the state.
  std::vector<CompiledOp> ops;
  ops.push_back(CompiledOp::fixed(pauli_x(0)));
  ops.push_back(CompiledOp::fixed(Gate::unitary(Operation{{5}, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}})));
  const CompiledCircuit bad_fixed(std::move(ops), 2, 0);
  StateVector s = StateVector::create(2).value();
  Status st = run_into(bad_fixed, {}, s);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message, "qubit index 5 is out of range for 2 qubits");
  expect_basis_state(s, 1);

  const std::pair<CompiledOp, const char*> bad_steps[] = {
      {CompiledOp::param(RotationKind::kRX, 4, 0), "qubit index 4 is out of range for 2 qubits"},
      {CompiledOp::pauli_rotation({{0, PauliLabel::kZ}, {6, PauliLabel::kX}}, 0, 2.0f),
       "qubit index 6 is out of range for 2 qubits"},
      {CompiledOp::param(RotationKind::kRX, 0, 3),
       "parameter slot 3 does not exist in this circuit spec"},
  };
  for (const auto& [step, message] : bad_steps) {
    Status st = run_into(CompiledCircuit({step}, 2, 1), std::vector<float>{1.0f}, s);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().message, message);
  }
}

TEST(RunInto, MeasureAndResetSteps) {
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(2).value();
  ASSERT_TRUE(spec.add_fixed_gate(pauli_x(0)).ok());
  ASSERT_TRUE(spec.add_fixed_gate(pauli_x(1)).ok());
  ASSERT_TRUE(spec.add_fixed_gate(Gate::measure(0)).ok());
  ASSERT_TRUE(spec.add_fixed_gate(Gate::reset(1)).ok());
  const CompiledCircuit plan = spec.compile();
  StateVector s = run_statevector(plan, {}).value();
  expect_basis_state(s, 1);  // qubit 0 measured as 1 and kept, qubit 1 reset

  std::vector<CompiledOp> ops;
  ops.push_back(CompiledOp::fixed(Gate::measure(2)));
  const CompiledCircuit bad(std::move(ops), 2, 0);
  auto r = run_statevector(bad, {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "qubit index 2 is out of range for 2 qubits");
}

TEST(Sample, OneSeededGeneratorServesTheRunAndTheDraws) {
  // H on 0 and 2, CNOT 0 -> 1, a measurement of qubit 2, then RY(t) on 2.
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(3).value();
  const std::uint64_t t = spec.add_parameter("t");
  ASSERT_TRUE(spec.add_fixed_gate(hadamard(0)).ok());
  ASSERT_TRUE(spec.add_fixed_gate(hadamard(2)).ok());
  ASSERT_TRUE(spec.add_fixed_gate(cnot(0, 1)).ok());
  ASSERT_TRUE(spec.add_fixed_gate(Gate::measure(2)).ok());
  ASSERT_TRUE(spec.add_param_single(RotationKind::kRY, 2, t).ok());
  const CompiledCircuit plan = spec.compile();
  const std::vector<float> params = {0.8f};

  for (std::uint64_t seed : {0ull, 5ull, 1ull << 63}) {
    auto got = sample(plan, params, 200, seed);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*sample(plan, params, 200, seed), *got);
    SeededRng generator(seed);
    Rng rng = generator.rng();
    StateVector state = StateVector::create(3).value();
    ASSERT_TRUE(run_into(plan, params, state, rng).ok());
    EXPECT_EQ(*measure(state, 200, rng), *got) << seed;
  }
  EXPECT_NE(*sample(plan, params, 200, 1), *sample(plan, params, 200, 2));
  auto unseeded = sample(plan, params, 64, std::nullopt);
  ASSERT_TRUE(unseeded.ok());
  for (std::uint64_t index : *unseeded) EXPECT_EQ(index & 3, (index & 1) * 3);  // q1 == q0

  auto bad = sample(plan, {}, 10, 3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "parameter vector has length 0, expected 1");
  EXPECT_TRUE(sample(plan, params, 0, 3)->empty());
}

TEST(Context, ReusesItsBufferWithoutAllocating) {
  // One-qubit steps only: the general kernel of multi-qubit gates allocates
  // its own scratch by design.
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(4).value();
  const std::uint64_t a = spec.add_parameter("a");
  const std::uint64_t b = spec.add_parameter("b");
  for (std::uint64_t q = 0; q < 4; ++q) {
    ASSERT_TRUE(spec.add_fixed_gate(hadamard(q)).ok());
    ASSERT_TRUE(spec.add_param_single(RotationKind::kRY, q, q % 2 ? a : b).ok());
    ASSERT_TRUE(spec.add_param_single(RotationKind::kRZ, q, a).ok());
  }
  const CompiledCircuit plan = spec.compile();
  ExecutionContext ctx = execution_context(plan).value();
  expect_basis_state(ctx.state, 0);
  const Complex* buffer = ctx.state.data();
  const std::vector<float> params = {0.4f, 1.1f};
  const std::vector<PauliTerm> z0 = Observable::single(PauliLabel::kZ, 0, 1.0f)->terms();
  ASSERT_TRUE(run_statevector_with_context(plan, params, ctx).ok());  // warm up

  const std::size_t before = g_allocations.load();
  auto first = run_statevector_with_context(plan, params, ctx);
  auto value = expectation_with_context(plan, params, z0, ctx);
  const std::size_t after = g_allocations.load();
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(after, before);
  EXPECT_EQ(ctx.state.data(), buffer);
  EXPECT_EQ(*first, &ctx.state);

  // Same result as a fresh run, and the same expectation as on a fresh state.
  StateVector fresh = run_statevector(plan, params).value();
  for (std::size_t i = 0; i < fresh.size(); ++i) EXPECT_EQ(ctx.state.data()[i], fresh.data()[i]);
  EXPECT_EQ(bits(*value), bits(*expectation(fresh, z0)));
}

TEST(Context, ResetsOrResizesBeforeRunning) {
  const CompiledCircuit plan = mixed_plan();
  ExecutionContext ctx = execution_context(plan).value();
  ASSERT_TRUE(run_statevector_with_context(plan, std::vector<float>{0.4f, 1.1f}, ctx).ok());
  // A failed length check still leaves the context reset, not holding the
  // previous result.
  auto bad = run_statevector_with_context(plan, std::vector<float>{0.4f}, ctx);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "parameter vector has length 1, expected 2");
  expect_basis_state(ctx.state, 0);

  ParameterizedCircuitSpec five = ParameterizedCircuitSpec::create(5).value();
  ASSERT_TRUE(five.add_fixed_gate(pauli_x(4)).ok());
  const CompiledCircuit wide = five.compile();
  auto resized = run_statevector_with_context(wide, {}, ctx);
  ASSERT_TRUE(resized.ok());
  EXPECT_EQ(ctx.state.num_qubits(), 5u);
  expect_basis_state(ctx.state, 16);

  // An observable beyond the state's width is the expectation's error.
  auto far = expectation_with_context(wide, {}, Observable::single(PauliLabel::kX, 5, 1.0f)->terms(),
                                      ctx);
  ASSERT_FALSE(far.ok());
  EXPECT_EQ(far.error().message, "observable references qubit 5 but state vector only has 5 qubits");
  auto z4 = expectation_with_context(wide, {}, Observable::single(PauliLabel::kZ, 4, 2.0f)->terms(),
                                     ctx);
  EXPECT_EQ(*z4, -2.0f);
}

TEST(Context, WidthLimits) {
  const CompiledCircuit huge({}, 64, 0);
  auto s = run_statevector(huge, {});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(s.error().message, "cannot allocate a state vector of 64 qubits (128 EiB)");
  auto c = execution_context(huge);
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().message, "cannot allocate a state vector of 64 qubits (128 EiB)");

  if (kSanitized) GTEST_SKIP() << "sanitizer allocators abort on impossible sizes";
  const CompiledCircuit too_big({}, 50, 0);  // 8 PiB of amplitudes
  auto big = run_statevector(too_big, {});
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(big.error().message, "cannot allocate a state vector of 50 qubits (8 PiB)");
  ExecutionContext ctx = execution_context(mixed_plan()).value();
  auto resized = run_statevector_with_context(too_big, {}, ctx);
  ASSERT_FALSE(resized.ok());
  EXPECT_EQ(resized.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(resized.error().message, "cannot allocate a state vector of 50 qubits (8 PiB)");
  EXPECT_EQ(ctx.state.num_qubits(), 3u);  // the context keeps its old state
  EXPECT_NE(ctx.state.data(), nullptr);
}

}  // namespace
}  // namespace vantrel::sim

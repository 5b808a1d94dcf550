// Plans run in either scalar type: the states of both routes (gate by gate
// and through the executor) against the reference loops fed the plan's
// numbers in that type, and adjoint against shift-rule gradients.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "sim/diff/adjoint.h"
#include "sim/diff/gradient.h"
#include "sim/kernels/reference.h"
#include "sim/model/gate_table.h"
#include "sim/run/block_executor.h"
#include "sim/run/plan_run.h"
#include "sim/testing/plans.h"

namespace vantrel::sim {
namespace {

using testing::PlanShape;
using testing::random_plan;

// The plan's steps applied by the reference loops, in T, from the numbers
// the plan keeps (each rounded to T as a run of that precision takes them).
template <class T>
std::vector<ComplexOf<T>> reference_state(const CompiledCircuit& plan, std::span<const T> params) {
  std::vector<ComplexOf<T>> amps(std::size_t{1} << plan.num_qubits());
  amps[0] = {T(1), T(0)};
  const std::span<ComplexOf<T>> a(amps);
  for (const CompiledOp& op : plan.ops()) {
    if (op.kind == CompiledOp::Kind::kFixed) {
      const Operation& o = op.gate.op;
      if (op.gate.kind != Gate::Kind::kUnitary) continue;
      if (o.num_controls == 0)
        reference::apply_matrix(a, o.targets, o.matrix_of<T>());
      else
        reference::apply_controlled_matrix(a, o.controls(), o.matrix_targets(), o.matrix_of<T>());
      continue;
    }
    if (op.kind == CompiledOp::Kind::kParam) {
      static constexpr StandardGate kGates[] = {StandardGate::kRX, StandardGate::kRY,
                                                StandardGate::kRZ, StandardGate::kP};
      const T angle = params[op.slot];
      const auto m = standard_matrix<T>(kGates[static_cast<int>(op.rotation)], {&angle, 1});
      reference::apply_mat2(a, op.target, m.data());
      continue;
    }
    const kernels::RotationMasks masks = rotation_masks(op.paulis);
    T c, s;
    half_angle_cos_sin(static_cast<T>(op.scale) * params[op.slot], c, s);
    reference::apply_pauli_rotation(a, masks.x, masks.z, masks.ny, c, s);
  }
  return amps;
}

template <class T>
std::vector<T> params_in(const std::vector<float>& drawn, std::mt19937& rng) {
  // Double parameters carry digits a float cannot.
  std::uniform_real_distribution<double> jitter(-1e-3, 1e-3);
  std::vector<T> out;
  for (float v : drawn) out.push_back(static_cast<T>(v + jitter(rng)));
  return out;
}

template <class T>
class PrecisionRuns : public ::testing::Test {
 protected:
  void TearDown() override { detail::set_executor_config(saved_); }
  const detail::ExecutorConfig saved_ = detail::executor_config();
};
using Scalars = ::testing::Types<float, double>;
TYPED_TEST_SUITE(PrecisionRuns, Scalars);

// Every route gives the reference's amplitudes within a few units of T's
// last place (single: the executor's bits equal the gate-by-gate loop's).
TYPED_TEST(PrecisionRuns, StatesMatchTheReferenceOnBothRoutes) {
  using T = TypeParam;
  const double tolerance = std::is_same_v<T, double> ? 1e-12 : 1e-5;
  std::mt19937 rng(2024);
  for (int trial = 0; trial < 24; ++trial) {
    PlanShape shape;
    shape.max_qubits = 13;
    shape.min_qubits = trial % 2 ? 12 : 1;  // 12 and more run through the executor
    shape.max_steps = 60;
    shape.three_qubit_gates = true;
    const auto drawn = random_plan(rng, shape);
    const std::vector<T> params = params_in<T>(drawn.params, rng);
    const auto want = reference_state<T>(drawn.plan, params);
    for (const bool executor : {true, false}) {
      detail::ExecutorConfig c = this->saved_;
      c.enabled = executor;
      c.block_qubits = 10;  // several blocks, some gathered
      detail::set_executor_config(c);
      const StateVectorOf<T> got = run_statevector<T>(drawn.plan, params).value();
      double worst = 0;
      for (std::size_t i = 0; i < want.size(); ++i)
        worst = std::max({worst, std::abs(double(got.data()[i].re) - double(want[i].re)),
                          std::abs(double(got.data()[i].im) - double(want[i].im))});
      EXPECT_LE(worst, tolerance) << "trial " << trial << " executor " << executor;
    }
  }
}

// Adjoint and shift-rule gradients agree, relative to the observable's size.
TYPED_TEST(PrecisionRuns, AdjointAndShiftRuleGradientsAgree) {
  using T = TypeParam;
  const double tolerance = std::is_same_v<T, double> ? 1e-9 : 2e-4;
  std::mt19937 rng(77);
  for (int trial = 0; trial < 30; ++trial) {
    const auto drawn = random_plan(rng);
    const std::vector<T> params = params_in<T>(drawn.params, rng);
    const auto adjoint = adjoint_value_and_gradient<T>(drawn.plan, params, drawn.obs).value();
    const auto shifted = value_and_gradient<T>(drawn.plan, params, drawn.obs).value();
    double weight = 0;
    for (const PauliTerm& t : drawn.obs) weight += std::abs(t.coefficient);
    EXPECT_LE(std::abs(double(adjoint.value) - double(shifted.value)), tolerance * weight);
    for (std::size_t k = 0; k < params.size(); ++k)
      EXPECT_LE(std::abs(double(adjoint.gradient[k]) - double(shifted.gradient[k])),
                tolerance * weight)
          << "trial " << trial << " slot " << k;
  }
}

// A double-precision state that cannot be had names its precision and size.
TEST(PrecisionRuns, DoubleStateAllocationFailureNamesIt) {
  const auto failed = StateVectorOf<double>::create(60);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind, ErrorKind::kOutOfMemory);
  EXPECT_EQ(failed.error().message,
            "cannot allocate a double-precision state vector of 60 qubits (16 EiB)");
}

}  // namespace
}  // namespace vantrel::sim

#include "sim/model/plan.h"
#include "sim/testing/gates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace vantrel::sim {
namespace {

using namespace testing;

ParameterizedCircuitSpec spec_of(std::uint64_t n) { return ParameterizedCircuitSpec::create(n).value(); }

TEST(CircuitSpec, CreateAndParameters) {
  auto none = ParameterizedCircuitSpec::create(0);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().message, "compiled circuits must have at least one qubit");

  ParameterizedCircuitSpec spec = spec_of(2);
  EXPECT_EQ(spec.add_parameter("a"), 0u);
  EXPECT_EQ(spec.add_parameter(std::nullopt), 1u);
  EXPECT_EQ(spec.add_parameter("a"), 2u);  // names need not be unique
  EXPECT_EQ(spec.parameter_count(), 3u);
  EXPECT_EQ(spec.num_qubits(), 2u);
  // Plans keep the names as they were at compile time, for display.
  const CompiledCircuit plan = spec.compile();
  spec.add_parameter("b");
  EXPECT_EQ(plan.parameter_names(),
            (ParameterNames{"a", std::nullopt, "a"}));
}

TEST(CircuitSpec, FixedGateRangeChecks) {
  ParameterizedCircuitSpec spec = spec_of(3);
  // The first target out of range in target-list order is reported.
  // Only the targets matter to the range check.
  Status st = spec.add_fixed_gate(Gate::unitary(Operation{{1, 7, 5}, {}}));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message, "qubit index 7 is out of range for 3 qubits");
  Status m = spec.add_fixed_gate(Gate::measure(3));
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().message, "qubit index 3 is out of range for 3 qubits");
  Status r = spec.add_fixed_gate(Gate::reset(4));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "qubit index 4 is out of range for 3 qubits");
  EXPECT_TRUE(spec.ops().empty());  // failed adds change nothing

  EXPECT_TRUE(spec.add_fixed_gate(Gate::barrier()).ok());
  EXPECT_TRUE(spec.add_fixed_gate(Gate::measure(2)).ok());
  EXPECT_TRUE(spec.add_fixed_gate(cnot(2, 0)).ok());
  EXPECT_EQ(spec.ops().size(), 3u);
}

TEST(CircuitSpec, ParamStepChecksQubitBeforeSlot) {
  ParameterizedCircuitSpec spec = spec_of(3);
  Status no_slot = spec.add_param_single(RotationKind::kRX, 0, 0);
  ASSERT_FALSE(no_slot.ok());
  EXPECT_EQ(no_slot.error().message, "parameter slot 0 does not exist in this circuit spec");
  Status both = spec.add_param_single(RotationKind::kRY, 7, 9);
  ASSERT_FALSE(both.ok());
  EXPECT_EQ(both.error().message, "qubit index 7 is out of range for 3 qubits");
  EXPECT_TRUE(spec.ops().empty());

  const std::uint64_t slot = spec.add_parameter("theta");
  ASSERT_TRUE(spec.add_param_single(RotationKind::kP, 2, slot).ok());
  ASSERT_TRUE(spec.add_param_single(RotationKind::kRZ, 1, slot).ok());  // slots may be shared
  ASSERT_EQ(spec.ops().size(), 2u);
  EXPECT_EQ(spec.ops()[0].kind, CompiledOp::Kind::kParam);
  EXPECT_EQ(spec.ops()[0].target, 2u);
  EXPECT_EQ(spec.ops()[0].slot, slot);
  EXPECT_EQ(spec.ops()[0].rotation, RotationKind::kP);
}

TEST(CircuitSpec, PauliRotationChecksInOrderAndKeepsTheSpecOnFailure) {
  ParameterizedCircuitSpec spec = spec_of(3);
  const std::uint64_t t = spec.add_parameter("t");
  const auto X = PauliLabel::kX, Y = PauliLabel::kY, Z = PauliLabel::kZ;
  const std::optional<PauliLabel> I;
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::vector<RotationFactor> factors;
    std::uint64_t slot;
    float scale;
    const char* message;
  };
  const Case cases[] = {
      // Duplicates over every factor given, identities included, before range.
      {{{1, X}, {7, Z}, {1, I}}, 9, inf, "duplicate qubit index: 1"},
      {{{0, I}, {5, X}, {4, Z}}, 9, inf, "qubit index 5 is out of range for 3 qubits"},
      {{{2, I}, {9, I}}, 9, inf, "qubit index 9 is out of range for 3 qubits"},
      {{}, 9, inf, "pauli rotation needs at least one X, Y or Z factor"},
      {{{0, I}, {2, I}}, 9, inf, "pauli rotation needs at least one X, Y or Z factor"},
      {{{0, Y}}, 9, inf, "parameter slot 9 does not exist in this circuit spec"},
      {{{0, Y}}, t, inf, "rotation scale must be finite"},
      {{{0, Y}, {1, Z}}, t, -inf, "rotation scale must be finite"},
      {{{0, Y}}, t, std::nanf(""), "rotation scale must be finite"},
  };
  for (const Case& c : cases) {
    Status st = spec.add_pauli_rotation(c.factors, c.slot, c.scale);
    ASSERT_FALSE(st.ok()) << c.message;
    EXPECT_EQ(st.error().message, c.message);
  }
  EXPECT_TRUE(spec.ops().empty());

  // One factor with scale 1 is that one-qubit rotation's own step.
  ASSERT_TRUE(spec.add_pauli_rotation({{2, I}, {1, Y}}, t, 1.0f).ok());
  ASSERT_TRUE(spec.add_pauli_rotation({{0, Z}}, t, 1.0f).ok());
  ASSERT_TRUE(spec.add_pauli_rotation({{2, X}}, t, 1.0f).ok());
  const RotationKind kinds[] = {RotationKind::kRY, RotationKind::kRZ, RotationKind::kRX};
  const std::uint64_t targets[] = {1, 0, 2};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(spec.ops()[i].kind, CompiledOp::Kind::kParam);
    EXPECT_EQ(spec.ops()[i].rotation, kinds[i]);
    EXPECT_EQ(spec.ops()[i].target, targets[i]);
  }
  // Otherwise a Pauli-string step: identities dropped, factors by qubit.
  ASSERT_TRUE(spec.add_pauli_rotation({{2, Z}, {1, I}, {0, X}}, t, 1.0f).ok());
  ASSERT_TRUE(spec.add_pauli_rotation({{1, Y}}, t, -0.5f).ok());
  const CompiledOp& zx = spec.ops()[3];
  EXPECT_EQ(zx.kind, CompiledOp::Kind::kPauliRotation);
  ASSERT_EQ(zx.paulis.size(), 2u);
  EXPECT_EQ(zx.paulis[0].qubit, 0u);
  EXPECT_EQ(zx.paulis[0].label, X);
  EXPECT_EQ(zx.paulis[1].qubit, 2u);
  EXPECT_EQ(zx.paulis[1].label, Z);
  EXPECT_EQ(zx.slot, t);
  EXPECT_EQ(zx.scale, 1.0f);
  EXPECT_EQ(spec.ops()[4].kind, CompiledOp::Kind::kPauliRotation);
  EXPECT_EQ(spec.ops()[4].scale, -0.5f);

  // Parametric like the others: fusion does not reach across them.
  ASSERT_TRUE(spec.add_fixed_gate(hadamard(0)).ok());
  ASSERT_TRUE(spec.add_pauli_rotation({{0, Z}, {1, Z}}, t, 2.0f).ok());
  ASSERT_TRUE(spec.add_fixed_gate(hadamard(0)).ok());
  EXPECT_EQ(spec.compile().ops().size(), 8u);
}

TEST(Compile, FusesOnlyWithinFixedStretches) {
  ParameterizedCircuitSpec empty = spec_of(1);
  CompiledCircuit none = empty.compile();
  EXPECT_TRUE(none.ops().empty());
  EXPECT_EQ(none.num_qubits(), 1u);

  ParameterizedCircuitSpec hh = spec_of(2);
  ASSERT_TRUE(hh.add_fixed_gate(hadamard(0)).ok());
  ASSERT_TRUE(hh.add_fixed_gate(hadamard(0)).ok());
  CompiledCircuit fused = hh.compile();
  ASSERT_EQ(fused.ops().size(), 1u);
  EXPECT_EQ(fused.ops()[0].kind, CompiledOp::Kind::kFixed);
  EXPECT_EQ(fused.ops()[0].gate.op.targets, std::vector<std::uint64_t>{0});
  EXPECT_NEAR(fused.ops()[0].gate.op.matrix[0].re, 1.0f, 1e-6);
  EXPECT_NEAR(fused.ops()[0].gate.op.matrix[1].re, 0.0f, 1e-6);
  EXPECT_EQ(hh.ops().size(), 2u);  // the spec itself is untouched

  ParameterizedCircuitSpec other = spec_of(2);
  ASSERT_TRUE(other.add_fixed_gate(hadamard(0)).ok());
  ASSERT_TRUE(other.add_fixed_gate(hadamard(1)).ok());
  ASSERT_TRUE(other.add_fixed_gate(hadamard(0)).ok());
  EXPECT_EQ(other.compile().ops().size(), 3u);

  // A parametric step is never fused and fusion never reaches across it.
  ParameterizedCircuitSpec across = spec_of(1);
  const std::uint64_t s = across.add_parameter(std::nullopt);
  ASSERT_TRUE(across.add_fixed_gate(hadamard(0)).ok());
  ASSERT_TRUE(across.add_param_single(RotationKind::kRX, 0, s).ok());
  ASSERT_TRUE(across.add_fixed_gate(hadamard(0)).ok());
  CompiledCircuit three = across.compile();
  ASSERT_EQ(three.ops().size(), 3u);
  EXPECT_EQ(three.ops()[0].kind, CompiledOp::Kind::kFixed);
  EXPECT_EQ(three.ops()[1].kind, CompiledOp::Kind::kParam);
  EXPECT_EQ(three.ops()[2].kind, CompiledOp::Kind::kFixed);

  // A two-qubit gate is copied and ends the run in progress.
  ParameterizedCircuitSpec cx = spec_of(2);
  ASSERT_TRUE(cx.add_fixed_gate(hadamard(0)).ok());
  ASSERT_TRUE(cx.add_fixed_gate(cnot(1, 0)).ok());
  ASSERT_TRUE(cx.add_fixed_gate(hadamard(0)).ok());
  CompiledCircuit kept = cx.compile();
  ASSERT_EQ(kept.ops().size(), 3u);
  EXPECT_EQ(kept.ops()[1].gate.op.targets, (std::vector<std::uint64_t>{1, 0}));
}

TEST(Compile, PlanKeepsItsParameterCountAndRandomSteps) {
  ParameterizedCircuitSpec spec = spec_of(2);
  spec.add_parameter("a");
  spec.add_parameter("b");  // registered, never used
  ASSERT_TRUE(spec.add_param_single(RotationKind::kRY, 1, 0).ok());
  CompiledCircuit before = spec.compile();
  spec.add_parameter("c");
  EXPECT_EQ(before.parameter_count(), 2u);
  EXPECT_EQ(spec.compile().parameter_count(), 3u);
  EXPECT_FALSE(before.has_random_steps());

  ASSERT_TRUE(spec.add_fixed_gate(Gate::reset(0)).ok());
  EXPECT_TRUE(spec.compile().has_random_steps());
  EXPECT_FALSE(before.has_random_steps());
}

// Each invariant of a plan refused on its own, with the position of the step.
TEST(CompiledCircuitCreate, RefusesEveryBrokenInvariantNamingTheStep) {
  const auto refusal = [](std::vector<CompiledOp> ops, std::uint64_t n = 2, std::uint64_t p = 1,
                          ParameterNames names = {}) {
    auto plan = CompiledCircuit::create(std::move(ops), n, p, std::move(names));
    return plan.ok() ? std::string("accepted") : plan.error().message;
  };
  const auto rotation = [](std::vector<PauliFactor> f, std::uint64_t slot = 0, float scale = 2.0f) {
    return CompiledOp::pauli_rotation(std::move(f), slot, scale);
  };
  const PauliFactor x0{0, PauliLabel::kX}, z1{1, PauliLabel::kZ};
  const CompiledOp fine = CompiledOp::param(RotationKind::kRX, 1, 0);
  EXPECT_EQ(refusal({fine, rotation({x0, z1}), CompiledOp::fixed(Gate::measure(1))}), "accepted");
  EXPECT_EQ(refusal({}, 0, 0), "compiled circuits must have at least one qubit");
  EXPECT_EQ(refusal({fine, CompiledOp::param(RotationKind::kRX, 2, 0)}),
            "step 1: qubit index 2 is out of range for 2 qubits");
  // Positions count each barrier of a run.
  Gate barriers = Gate::barrier();
  barriers.barriers = 3;
  EXPECT_EQ(refusal({CompiledOp::fixed(barriers), CompiledOp::param(RotationKind::kRX, 2, 0)}),
            "step 3: qubit index 2 is out of range for 2 qubits");
  EXPECT_EQ(refusal({CompiledOp::param(RotationKind::kP, 0, 1)}),
            "step 0: parameter slot 1 does not exist in this circuit spec");
  EXPECT_EQ(refusal({rotation({})}), "step 0: pauli rotation needs at least one X, Y or Z factor");
  EXPECT_EQ(refusal({rotation({z1, x0})}),
            "step 0: pauli rotation factors must be on ascending, distinct qubits");
  EXPECT_EQ(refusal({rotation({x0, {5, PauliLabel::kY}})}),
            "step 0: qubit index 5 is out of range for 2 qubits");
  EXPECT_EQ(refusal({rotation({x0}, 0, NAN)}), "step 0: rotation scale must be finite");
  EXPECT_EQ(refusal({CompiledOp::fixed(hadamard(3))}), "step 0: qubit index 3 is out of range for 2 qubits");
  EXPECT_EQ(refusal({CompiledOp::fixed(Gate::reset(2))}), "step 0: qubit index 2 is out of range for 2 qubits");
  EXPECT_EQ(refusal({}, 2, 2, {"a"}), "1 parameter names for 2 parameters");
}

}  // namespace
}  // namespace vantrel::sim

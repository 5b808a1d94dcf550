#include "sim/run/block_executor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <thread>

#include "sim/diff/adjoint.h"
#include "sim/batch/batch.h"
#include "sim/run/circuit.h"
#include "sim/run/plan_run.h"
#include "sim/diff/gradient.h"
#include "sim/kernels/reference.h"
#include "sim/state/measure.h"
#include "sim/base/pool.h"
#include "sim/testing/child.h"
#include "sim/testing/gates.h"
#include "sim/testing/states.h"

namespace vantrel::sim {
namespace {

using namespace testing;

// --- random runs against the plain reference loops -----------------------------

Operation raw_operation(std::vector<std::uint64_t> targets, Amps matrix) {
  Operation op;
  op.targets = std::move(targets);
  op.matrix = std::move(matrix);
  return op;
}

// A controlled gate as the gate constructors make it (controls apart from
// the small matrix on one or two targets) with one to four controls.
Gate controlled_gate(std::mt19937& rng, std::size_t n) {
  const std::size_t targets = n >= 3 && rng() % 3 == 0 ? 2 : 1;
  const std::size_t controls = 1 + rng() % std::min<std::size_t>(4, n - targets);
  const auto qubits = random_targets(n, controls + targets, rng);
  const std::size_t d = std::size_t{1} << targets;
  const unsigned pick = rng() % 4;
  const Amps u = pick == 0 ? random_diagonal(d, rng) : pick == 1 && d == 2 ? kX : random_unitary(d, rng);
  return make_controlled_unitary_gate({qubits.begin(), qubits.begin() + controls},
                                      {qubits.begin() + controls, qubits.end()}, u)
      .value();
}

// Every kind of step: one-qubit matrices (dense, real, diagonal), dense and
// structured two- and three-qubit matrices, controlled gates with their
// controls apart and as full matrices (diagonal ones and controlled X
// among them), diagonal matrices of two to four targets, a large dense
// matrix, measurements, resets and barriers.
Gate random_gate(std::mt19937& rng, std::size_t n) {
  const std::size_t kind = rng() % 15;
  const std::uint64_t q = rng() % n;
  switch (kind) {
    case 0:
    case 1:
      return Gate::unitary(raw_operation({q}, random_unitary(2, rng, kind == 1)));
    case 2:
      return Gate::unitary(raw_operation({q}, random_diagonal(2, rng)));
    case 3:
      if (n >= 2) return Gate::unitary(raw_operation(random_targets(n, 2, rng), random_unitary(4, rng, rng() & 1)));
      break;
    case 4:
      if (n >= 2) {
        const Complex o{0, 0}, l{1, 0}, i{0, 1};
        const Amps iswap = {l, o, o, o, o, o, i, o, o, i, o, o, o, o, o, l};
        return Gate::unitary(raw_operation(random_targets(n, 2, rng), iswap));
      }
      break;
    case 5:
    case 6: {
      const std::size_t controls = 1 + rng() % std::min<std::size_t>(3, n - 1 + (n == 1));
      if (n < controls + 1) break;
      const unsigned pick = rng() % 4;
      const Amps block = pick == 0 ? random_diagonal(2, rng) : pick == 1 ? kX : random_unitary(2, rng);
      return Gate::unitary(raw_operation(random_targets(n, controls + 1, rng), controlled(controls, block, 2)));
    }
    case 7:
    case 8: {
      const std::size_t k = 2 + rng() % std::min<std::size_t>(3, n - 1 + (n == 1));
      if (n < k) break;
      return Gate::unitary(raw_operation(random_targets(n, k, rng), random_diagonal(std::size_t{1} << k, rng)));
    }
    case 9:
      if (n >= 3) return Gate::unitary(raw_operation(random_targets(n, 3, rng), random_unitary(8, rng)));
      break;
    case 10:
      if (n >= 5) {
        const std::size_t k = 5 + rng() % std::min<std::size_t>(3, n - 4);
        return Gate::unitary(raw_operation(random_targets(n, k, rng), random_unitary(std::size_t{1} << k, rng)));
      }
      break;
    case 11:
      return rng() & 1 ? Gate::measure(q) : Gate::reset(q);
    case 12:
    case 13:
      if (n >= 2) return controlled_gate(rng, n);
      break;
    default:
      return Gate::barrier();
  }
  return Gate::unitary(raw_operation({q}, random_unitary(2, rng)));
}

StateVector state_from(const Amps& a) {
  StateVector s = std::move(StateVector::create(std::countr_zero(a.size())).value());
  std::copy(a.begin(), a.end(), s.data());
  return s;
}

Amps amps_of(const StateVector& s) { return Amps(s.amplitudes().begin(), s.amplitudes().end()); }

// The gate-by-gate loop with the plain reference kernels.
Result<std::vector<MeasurementRecord>> reference_run(std::span<const Gate> gates, StateVector& state) {
  Rng rng = thread_rng().value();
  std::vector<MeasurementRecord> records;
  for (const Gate& g : gates) {
    switch (g.kind) {
      case Gate::Kind::kUnitary:
        VANTREL_TRY(validate_targets(state, g.op.targets));
        if (g.op.num_controls > 0) {
          reference::apply_controlled_matrix(state.amplitudes(), g.op.controls(), g.op.matrix_targets(),
                                             g.op.matrix);
        } else if (g.op.targets.size() == 1) {
          reference::apply_mat2(state.amplitudes(), g.op.targets[0], g.op.matrix.data());
        } else {
          reference::apply_matrix(state.amplitudes(), g.op.targets, g.op.matrix);
        }
        break;
      case Gate::Kind::kMeasure:
      case Gate::Kind::kReset: {
        auto outcome = measure_qubit(state, g.qubit, rng);
        if (!outcome.ok()) return std::move(outcome).error();
        if (g.kind == Gate::Kind::kMeasure) {
          records.push_back({g.qubit, *outcome});
        } else if (*outcome) {
          reference::apply_mat2(state.amplitudes(), g.qubit, kX.data());
        }
        break;
      }
      case Gate::Kind::kBarrier:
        break;
      case Gate::Kind::kChannel:
        return internal("no channels in executor runs");
    }
  }
  return records;
}

struct Geometry {
  unsigned block, low, piece, team_min;
  bool no_buffers = false;
};

// Small blocks and pieces, so that registers of 5-11 qubits span many of
// them, with and without the pool's workers (and once without buffers for
// blocks); and the default geometry.
std::vector<Geometry> geometries() {
  return {{2, 0, 1, 0},  {3, 1, 2, 0},  {4, 2, 2, 99},  {5, 2, 3, 0},
          {6, 3, 4, 0},  {7, 5, 3, 0},  {16, 5, 12, 0}, {4, 1, 2, 0, true}};
}

void use_geometry(const Geometry& g) {
  detail::ExecutorConfig c;
  c.enabled = true;
  c.min_qubits = 1;
  c.team_min_qubits = g.team_min;
  c.thread_qubits = 0;
  c.block_qubits = g.block;
  c.low_qubits = g.low;
  c.piece_qubits = g.piece;
  detail::set_executor_config(c);
}

void use_gate_by_gate() {
  detail::ExecutorConfig c = detail::executor_config();
  c.enabled = false;
  detail::set_executor_config(c);
}

struct RestoreConfig {
  detail::ExecutorConfig saved = detail::executor_config();
  ~RestoreConfig() { detail::set_executor_config(saved); }
};

// One-off circuits: state bits, records and errors equal those of the
// reference loop, for random circuits (a failing gate in some of them).
void check_circuits(int trials, unsigned seed) {
  RestoreConfig restore;
  std::mt19937 rng(seed);
  for (const Geometry& geo : geometries()) {
    use_geometry(geo);
    for (int trial = 0; trial < trials; ++trial) {
      const std::size_t n = 1 + rng() % 11;
      std::vector<Gate> gates;
      const std::size_t count = rng() % 40;
      for (std::size_t i = 0; i < count; ++i) gates.push_back(random_gate(rng, n));
      if (rng() % 6 == 0) gates.insert(gates.begin() + rng() % (gates.size() + 1), Gate::measure(n + rng() % 3));
      const Circuit circuit = Circuit::create(gates);
      const Amps start = random_unit_state(n, rng);
      StateVector want = state_from(start), got = state_from(start);
      Result<std::vector<MeasurementRecord>> want_records = std::vector<MeasurementRecord>{};
      Result<std::vector<MeasurementRecord>> got_records = want_records;
      with_known_stream([&] { want_records = reference_run(circuit.gates(), want); });
      with_known_stream([&] {
        detail::set_block_buffers_fail(geo.no_buffers);
        got_records = circuit.run(got);
      });
      const std::string where = "block " + std::to_string(geo.block) + " trial " + std::to_string(trial);
      ASSERT_EQ(got_records.ok(), want_records.ok()) << where;
      if (!want_records.ok()) {
        EXPECT_EQ(got_records.error().message, want_records.error().message) << where;
      } else {
        ASSERT_EQ(got_records->size(), want_records->size()) << where;
        for (std::size_t i = 0; i < want_records->size(); ++i) {
          EXPECT_EQ((*got_records)[i].qubit, (*want_records)[i].qubit) << where;
          EXPECT_EQ((*got_records)[i].outcome, (*want_records)[i].outcome) << where;
        }
      }
      ASSERT_TRUE(same_bits(amps_of(got), amps_of(want)))
          << where << " n=" << n << " at " << first_difference(amps_of(got), amps_of(want));
    }
  }
}

// A plan of random fixed gates and parametric steps of every kind (one-qubit
// rotations, Pauli-string rotations with their scales).
CompiledCircuit random_plan(std::mt19937& rng, std::size_t n, std::size_t steps, bool random_steps) {
  ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(n).value();
  for (int i = 0; i < 4; ++i) spec.add_parameter(std::nullopt);
  for (std::size_t s = 0; s < steps; ++s) {
    if (rng() % 3 == 0) {
      EXPECT_TRUE(spec.add_param_single(static_cast<RotationKind>(rng() % 4), rng() % n, rng() % 4).ok());
      continue;
    }
    if (rng() % 3 == 0) {
      // A Pauli-string rotation: Z factors only (diagonal) in some.
      std::vector<RotationFactor> factors;
      const bool z_only = rng() % 3 == 0;
      for (std::uint64_t q : random_targets(n, 1 + rng() % std::min<std::size_t>(4, n), rng))
        factors.push_back({q, z_only ? PauliLabel::kZ : static_cast<PauliLabel>(rng() % 3)});
      EXPECT_TRUE(spec.add_pauli_rotation(std::move(factors), rng() % 4, 0.5f + (rng() % 4) * 0.75f).ok());
      continue;
    }
    Gate g = random_gate(rng, n);
    if (!random_steps && (g.kind == Gate::Kind::kMeasure || g.kind == Gate::Kind::kReset)) continue;
    EXPECT_TRUE(spec.add_fixed_gate(std::move(g)).ok());
  }
  return spec.compile();
}

// Compiled runs, partial runs with an overridden angle, gradients and
// batches: the executor gives the bits of the step-by-step loop.
void check_plans(int trials, unsigned seed) {
  RestoreConfig restore;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> angle(-4.0f, 4.0f);
  for (const Geometry& geo : geometries()) {
    for (int trial = 0; trial < trials; ++trial) {
      const std::size_t n = 2 + rng() % 9;
      const bool draws = trial % 3 == 0;
      const CompiledCircuit plan = random_plan(rng, n, 1 + rng() % 30, draws);
      std::vector<float> params(4);
      for (float& p : params) p = angle(rng);
      std::vector<PauliTerm> obs = {PauliTerm::create({{rng() % n, PauliLabel::kZ}}, 0.5f).value(),
                                    PauliTerm::create({{0, PauliLabel::kX}, {n - 1, PauliLabel::kY}}, -1.5f).value()};
      const std::size_t begin = rng() % (plan.ops().size() + 1);
      const AngleOverride over{begin + rng() % 3, angle(rng)};
      const Amps start = random_unit_state(n, rng);
      const std::vector<float> rows = {params[0], params[1], params[2], params[3], params[3], params[2], params[1], params[0]};

      struct Outcome {
        Amps run, partial, context;
        ValueAndGradient vg, adjoint;
        std::vector<float> batch;
        BatchValuesAndGradients batch_vg;
      };
      auto evaluate = [&](Outcome& out) {
        StateVector s = StateVector::create(n).value();
        EXPECT_TRUE(run_into_overriding(plan, params, s, over).ok());
        out.run = amps_of(s);
        StateVector p = state_from(start);
        Rng r = thread_rng().value();
        EXPECT_TRUE(apply_steps(plan, params, p, begin, plan.ops().size(), over, &r).ok());
        out.partial = amps_of(p);
        if (!draws) {
          ExecutionContext ctx = execution_context(plan).value();
          out.vg = value_and_gradient_with_context(plan, params, obs, ctx).value();
          out.context = amps_of(ctx.state);
          out.adjoint = adjoint_value_and_gradient_with_context(plan, params, obs, ctx).value();
          out.batch = batch_expectation(plan, rows, 2, obs).value();
          out.batch_vg = batch_value_and_gradient(plan, rows, 2, obs).value();
        }
      };
      Outcome want, got;
      use_gate_by_gate();
      with_known_stream([&] { evaluate(want); });
      use_geometry(geo);
      with_known_stream([&] { evaluate(got); });
      const std::string where = "block " + std::to_string(geo.block) + " trial " + std::to_string(trial);
      ASSERT_TRUE(same_bits(got.run, want.run)) << where;
      ASSERT_TRUE(same_bits(got.partial, want.partial)) << where;
      if (draws) continue;
      EXPECT_TRUE(same_bits(got.context, want.context)) << where;
      EXPECT_EQ(bits(got.vg.value), bits(want.vg.value)) << where;
      ASSERT_EQ(got.vg.gradient.size(), want.vg.gradient.size());
      for (std::size_t i = 0; i < want.vg.gradient.size(); ++i)
        EXPECT_EQ(bits(got.vg.gradient[i]), bits(want.vg.gradient[i])) << where;
      // Adjoint differentiation: runs of undos on psi and lambda (side by
      // side on two threads where pairs are made) against the step-by-step
      // sweep.
      EXPECT_EQ(bits(got.adjoint.value), bits(want.adjoint.value)) << where;
      for (std::size_t i = 0; i < want.adjoint.gradient.size(); ++i)
        EXPECT_EQ(bits(got.adjoint.gradient[i]), bits(want.adjoint.gradient[i])) << where;
      for (std::size_t r = 0; r < 2; ++r) {
        EXPECT_EQ(bits(got.batch[r]), bits(want.batch[r])) << where;
        EXPECT_EQ(bits(got.batch_vg.values[r]), bits(want.batch_vg.values[r])) << where;
        for (std::size_t i = 0; i < 4; ++i)
          EXPECT_EQ(bits(got.batch_vg.gradients[r][i]), bits(want.batch_vg.gradients[r][i])) << where;
      }
    }
  }
}

TEST(Executor, RandomCircuitsMatchTheReferenceLoop) { check_circuits(60, 41); }

TEST(Executor, RandomPlansMatchTheStepByStepLoop) { check_plans(25, 43); }

TEST(ExecutorChild, EveryPathAtThisPoolSize) {
  CHILD_ONLY();
  ASSERT_TRUE(init_global_pool(env_size("POOL_SIZE")).ok());
  check_circuits(25, 47);
  check_plans(10, 53);
}

TEST(Executor, EveryPathAtEveryPoolSize) {
  for (const char* size : {"1", "2", "8"})
    EXPECT_EQ(run_child("ExecutorChild.EveryPathAtThisPoolSize", {{"POOL_SIZE", size}}), 0) << size;
}

TEST(Executor, FailingStepsLeaveTheStepsBeforeThemApplied) {
  RestoreConfig restore;
  use_geometry({3, 1, 2, 0});
  // A plan assembled by hand: a parametric step beyond the register after
  // some valid ones, then a fixed gate that would fail too.
  std::vector<CompiledOp> ops;
  ops.push_back(CompiledOp::fixed(hadamard(0)));
  ops.push_back(CompiledOp::param(RotationKind::kRY, 5, 0));
  ops.push_back(CompiledOp::param(RotationKind::kRX, 9, 0));
  ops.push_back(CompiledOp::fixed(cnot(0, 5)));
  const CompiledCircuit plan(std::move(ops), 6, 1);
  const std::vector<float> params = {0.7f};
  StateVector got = StateVector::create(6).value();
  const Status st = run_into(plan, params, got);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message, "qubit index 9 is out of range for 6 qubits");
  StateVector want = StateVector::create(6).value();
  ASSERT_TRUE(want.apply_operation(hadamard(0).op).ok());
  Complex m[4];
  rotation_matrix(RotationKind::kRY, 0.7f, m);
  want.apply_mat2(5, m);
  EXPECT_TRUE(same_bits(amps_of(got), amps_of(want)));

  // A matrix that does not fit its targets, and a draw without a generator.
  Operation bad = raw_operation({0, 1}, kX);
  std::vector<CompiledOp> ops2;
  ops2.push_back(CompiledOp::fixed(Gate::unitary(bad)));
  const CompiledCircuit plan2(std::move(ops2), 6, 0);
  StateVector s = StateVector::create(6).value();
  EXPECT_EQ(run_into(plan2, {}, s).error().kind, ErrorKind::kInternal);
  std::vector<CompiledOp> ops3;
  ops3.push_back(CompiledOp::fixed(Gate::measure(1)));
  const CompiledCircuit plan3(std::move(ops3), 6, 0);
  EXPECT_EQ(apply_steps(plan3, {}, s, 0, 1, AngleOverride{}, nullptr).error().kind, ErrorKind::kInternal);
}

}  // namespace
}  // namespace vantrel::sim

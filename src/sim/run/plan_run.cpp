#include "sim/run/plan_run.h"

#include "sim/run/noisy.h"
#include "sim/run/trajectory.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>

#include "sim/base/messages.h"
#include "sim/base/alloc.h"
#include "sim/run/circuit.h"
#include "sim/run/block_executor.h"
#include "sim/model/gate_table.h"
#include "sim/base/interrupt.h"
#include "sim/state/expectation.h"
#include "sim/state/measure.h"
#include "sim/base/rng.h"

namespace vantrel::sim {
template <class T>
void rotation_matrix(RotationKind kind, T theta, ComplexOf<T> out[4]) {
  static constexpr StandardGate kGates[] = {StandardGate::kRX, StandardGate::kRY,
                                            StandardGate::kRZ, StandardGate::kP};
  standard_matrix<T>(kGates[static_cast<int>(kind)], std::span<const T>(&theta, 1), out);
}

template <class T>
T step_angle(const CompiledOp& op, ParamsOf<T> params) {
  const T value = params[op.slot];
  return op.kind == CompiledOp::Kind::kPauliRotation ? static_cast<T>(op.scale) * value : value;
}

kernels::RotationMasks rotation_masks(std::span<const PauliFactor> paulis) {
  kernels::RotationMasks m;
  for (const PauliFactor& f : paulis) {
    const std::uint64_t bit = std::uint64_t{1} << f.qubit;
    if (f.label != PauliLabel::kZ) m.x |= bit;
    if (f.label != PauliLabel::kX) m.z |= bit;
    if (f.label == PauliLabel::kY) ++m.ny;
  }
  return m;
}

template <class T>
bool parametric_run_step(const CompiledOp& op, std::type_identity_t<T> angle, StepDirection direction,
                         RunStepOf<T>& step) {
  const bool undo = direction == StepDirection::kUndo;
  if (op.kind == CompiledOp::Kind::kPauliRotation) {
    if (op.paulis.empty()) return false;
    step.kind = RunStepOf<T>::Kind::kPauliRotation;
    step.masks = rotation_masks(op.paulis);
    half_angle_cos_sin(angle, step.c, step.s);
    if (undo) step.s = -step.s;
    return true;
  }
  step.kind = RunStepOf<T>::Kind::kMat2;
  step.qubit = op.target;
  rotation_matrix<T>(op.rotation, angle, step.m);
  if (undo) {
    const ComplexOf<T> m[4] = {step.m[0], step.m[1], step.m[2], step.m[3]};
    step.m[0] = conj(m[0]);
    step.m[1] = conj(m[2]);
    step.m[2] = conj(m[1]);
    step.m[3] = conj(m[3]);
  }
  return true;
}

template <class T>
void apply_parametric_step(const CompiledOp& op, std::type_identity_t<T> angle,
                           StepDirection direction, StateVectorOf<T>& state) {
  RunStepOf<T> step;
  if (!parametric_run_step<T>(op, angle, direction, step)) return;
  if (step.kind == RunStepOf<T>::Kind::kMat2) {
    state.apply_mat2(step.qubit, step.m);
  } else {
    kernels::apply_pauli_rotation<PoolExecutor, T>(state.amplitudes(), step.masks, step.c, step.s);
  }
}

namespace {

// The checks of a parametric step: plans built by compile() always pass
// them; a hand-made plan that does not is refused instead of reading or
// writing out of bounds.
Status check_parametric_step(const CompiledOp& op, std::uint64_t n, std::size_t params) {
  if (op.kind == CompiledOp::Kind::kParam && op.target >= n) return messages::qubit_out_of_range(op.target, n);
  for (const PauliFactor& f : op.paulis)
    if (f.qubit >= n) return messages::qubit_out_of_range(f.qubit, n);
  if (op.slot >= params)
    return messages::no_such_slot(op.slot);
  return Status::Ok();
}

Status missing_generator() {
  return internal("a measurement or reset step was run without a random generator");
}

// The angle parametric step `op`, at position k of the plan, turns by in a
// run with `override_angle`.
template <class T>
T angle_at(std::size_t k, const CompiledOp& op, ParamsOf<T> params,
           AngleOverrideOf<T> override_angle) {
  return k == override_angle.step ? override_angle.angle : step_angle<T>(op, params);
}

bool draws(const Gate& g) {
  return g.kind == Gate::Kind::kMeasure || g.kind == Gate::Kind::kReset ||
         g.kind == Gate::Kind::kChannel;
}

// Steps [begin, end) through the executor: checked in order up to the first
// that fails, the run of those before it applied, then that failure
// reported, as the step-by-step loop does. `steps` has room for them all.
template <class T>
Status apply_steps_as_run(const CompiledCircuit& plan, ParamsOf<T> params,
                          StateVectorOf<T>& state, std::size_t begin, std::size_t end,
                          AngleOverrideOf<T> override_angle, Rng* rng,
                          std::vector<RunStepOf<T>>& steps) {
  const std::uint64_t n = state.num_qubits();
  const std::vector<CompiledOp>& ops = plan.ops();
  Status stop;
  for (std::size_t k = begin; k < end && stop.ok(); ++k) {
    const CompiledOp& op = ops[k];
    if (op.is_parametric()) {
      stop = check_parametric_step(op, n, params.size());
      if (!stop.ok()) break;
      RunStepOf<T> step;
      if (parametric_run_step<T>(op, angle_at<T>(k, op, params, override_angle),
                                 StepDirection::kForward, step))
        steps.push_back(step);
      continue;
    }
    stop = rng == nullptr && draws(op.gate) ? missing_generator() : append_gate_step(state, op.gate, steps);
  }
  VANTREL_TRY(execute_run(state, steps, rng, nullptr));
  return stop;
}

}  // namespace

template <class T>
Status apply_steps(const CompiledCircuit& plan, ParamsOf<T> params, StateVectorOf<T>& state,
                   std::size_t begin, std::size_t end, AngleOverrideOf<T> override_angle,
                   Rng* rng) {
  const std::uint64_t n = state.num_qubits();
  const std::vector<CompiledOp>& ops = plan.ops();
  end = std::min(end, ops.size());
  // Channels run step by step: each draws from `rng` in step order.
  if (begin < end && runs_through_executor(n) && !plan.has_channels()) {
    std::vector<RunStepOf<T>> steps;
    // Without the list, step by step below, which needs none.
    if (allocated([&] { steps.reserve(end - begin); }))
      return apply_steps_as_run<T>(plan, params, state, begin, end, override_angle, rng, steps);
  }
  StopCheck stop;
  const std::uint64_t step_work = state.size();
  for (std::size_t k = begin; k < end; ++k) {
    if (stop(step_work)) return interrupted();
    const CompiledOp& op = ops[k];
    if (op.is_parametric()) {
      VANTREL_TRY(check_parametric_step(op, n, params.size()));
      apply_parametric_step<T>(op, angle_at<T>(k, op, params, override_angle),
                               StepDirection::kForward, state);
      continue;
    }
    if (rng == nullptr && draws(op.gate)) return missing_generator();
    // The outcome of a measurement step is not reported.
    auto outcome = execute_gate(state, op.gate, rng);
    if (!outcome.ok()) return std::move(outcome).error();
  }
  return Status::Ok();
}

namespace {

// The checks of a run, then every step; measurement and reset steps draw
// from `given`, or when it is null from the calling thread's generator.
template <class T>
Status run_checked(const CompiledCircuit& plan, ParamsOf<T> params, StateVectorOf<T>& state,
                   AngleOverrideOf<T> override_angle, Rng* given) {
  if (params.size() != plan.parameter_count())
    return messages::parameter_length(params.size(), plan.parameter_count());
  const std::uint64_t n = state.num_qubits();
  if (n != plan.num_qubits())
    return invalid("state vector has " + dec(n) + " qubits, compiled circuit expects " +
                   dec(plan.num_qubits()));

  if (given == nullptr) VANTREL_TRY(plan.refuse_channels());
  const PlacementScope placed(placement(n));
  // The generator is looked up once per run, and only by plans that draw:
  // a purely unitary run touches no thread-local state.
  std::optional<Rng> rng;
  if (given == nullptr && plan.has_random_steps()) {
    auto r = thread_rng();
    if (!r.ok()) return std::move(r).error();
    rng.emplace(*r);
    given = &*rng;
  }
  return apply_steps<T>(plan, params, state, 0, plan.ops().size(), override_angle, given);
}

}  // namespace

template <class T>
Status run_into_overriding(const CompiledCircuit& plan, ParamsOf<T> params,
                           StateVectorOf<T>& state, AngleOverrideOf<T> override_angle) {
  return run_checked<T>(plan, params, state, override_angle, nullptr);
}

template <class T>
Status run_into(const CompiledCircuit& plan, ParamsOf<T> params, StateVectorOf<T>& state,
                Rng& rng) {
  return run_checked<T>(plan, params, state, AngleOverrideOf<T>{}, &rng);
}

template <class T>
Result<std::vector<std::uint64_t>> sample(const CompiledCircuit& plan, ParamsOf<T> params,
                                          std::uint64_t shots,
                                          std::optional<std::uint64_t> seed) {
  if (plan.has_channels()) {
    // One trajectory per shot.
    std::uint64_t base = 0;
    if (seed) {
      base = *seed;
    } else {
      auto fresh = fresh_seed();
      if (!fresh) return std::move(fresh).error();
      base = *fresh;
    }
    return sample_trajectories<T>(plan, params, shots, base);
  }
  auto state = StateVectorOf<T>::create(plan.num_qubits());
  if (!state.ok()) return std::move(state).error();
  if (!seed) {
    // The calling thread's generator for the run and the draws, as a one-off
    // circuit's sample takes it.
    VANTREL_TRY(run_into<T>(plan, params, *state));
    return measure(*state, shots);
  }
  SeededRng generator(*seed);
  Rng rng = generator.rng();
  VANTREL_TRY(run_into<T>(plan, params, *state, rng));
  return measure(*state, shots, rng);
}

template <class T>
Status run_into(const CompiledCircuit& plan, ParamsOf<T> params, StateVectorOf<T>& state) {
  return run_into_overriding<T>(plan, params, state, AngleOverrideOf<T>{});
}

template <class T>
Result<StateVectorOf<T>> run_statevector(const CompiledCircuit& plan, ParamsOf<T> params) {
  auto state = StateVectorOf<T>::create(plan.num_qubits());
  if (!state.ok()) return std::move(state).error();
  VANTREL_TRY(run_into<T>(plan, params, *state));
  return std::move(state).value();
}

template <class T>
Result<ExecutionContextOf<T>> execution_context(const CompiledCircuit& plan) {
  auto state = StateVectorOf<T>::create(plan.num_qubits());
  if (!state.ok()) return std::move(state).error();
  ExecutionContextOf<T> context;
  context.state = std::move(state).value();
  return context;
}

template <class T>
Status prepare_context(const CompiledCircuit& plan, ExecutionContextOf<T>& context) {
  if (context.state.num_qubits() == plan.num_qubits() && context.state.data() != nullptr) {
    context.state.reset_to_zero_state();
    return Status::Ok();
  }
  // The old buffer is kept until the new one exists, so a failed re-size
  // leaves the context as it was. Adjoint scratch of the old width is
  // dropped first: it would be re-made at the new width anyway.
  context.backward = StateVectorOf<T>();
  auto fresh = StateVectorOf<T>::create(plan.num_qubits());
  if (!fresh.ok()) return std::move(fresh).error();
  context.state = std::move(fresh).value();
  return Status::Ok();
}

template <class T>
Result<const StateVectorOf<T>*> run_statevector_with_context(const CompiledCircuit& plan,
                                                             ParamsOf<T> params,
                                                             ExecutionContextOf<T>& context) {
  VANTREL_TRY(prepare_context(plan, context));
  VANTREL_TRY(run_into<T>(plan, params, context.state));
  return &context.state;
}

template <class T>
Result<T> expectation_with_context(const CompiledCircuit& plan, ParamsOf<T> params,
                                   std::span<const PauliTerm> observable,
                                   ExecutionContextOf<T>& context) {
  const PlacementScope placed(placement(plan.num_qubits()));
  VANTREL_TRY(prepare_context(plan, context));
  VANTREL_TRY(run_into<T>(plan, params, context.state));
  return expectation(context.state, observable);
}

template <class T>
Result<std::vector<T>> expectations_in(const StateVectorOf<T>& state, ObservableList observables) {
  std::vector<T> values;
  values.reserve(observables.size());
  for (std::span<const PauliTerm> terms : observables) {
    auto value = expectation(state, terms);
    if (!value.ok()) return std::move(value).error();
    values.push_back(*value);
  }
  return values;
}

template <class T>
Result<std::vector<T>> expectations(const CompiledCircuit& plan, ParamsOf<T> params,
                                    ObservableList observables) {
  auto state = run_statevector<T>(plan, params);
  if (!state.ok()) return std::move(state).error();
  return expectations_in(*state, observables);
}

template <class T>
Result<std::vector<T>> expectations_with_context(const CompiledCircuit& plan, ParamsOf<T> params,
                                                 ObservableList observables,
                                                 ExecutionContextOf<T>& context) {
  VANTREL_TRY(prepare_context(plan, context));
  VANTREL_TRY(run_into<T>(plan, params, context.state));
  return expectations_in(context.state, observables);
}

#define VANTREL_PLAN_RUN_OF(T)                                                                  \
  template void rotation_matrix<T>(RotationKind, T, ComplexOf<T>[4]);                          \
  template T step_angle<T>(const CompiledOp&, ParamsOf<T>);                                     \
  template bool parametric_run_step<T>(const CompiledOp&, T, StepDirection, RunStepOf<T>&);     \
  template void apply_parametric_step<T>(const CompiledOp&, T, StepDirection,                   \
                                         StateVectorOf<T>&);                                    \
  template Status run_into<T>(const CompiledCircuit&, ParamsOf<T>, StateVectorOf<T>&);          \
  template Status run_into<T>(const CompiledCircuit&, ParamsOf<T>, StateVectorOf<T>&, Rng&);    \
  template Status run_into_overriding<T>(const CompiledCircuit&, ParamsOf<T>,                   \
                                         StateVectorOf<T>&, AngleOverrideOf<T>);                \
  template Status apply_steps<T>(const CompiledCircuit&, ParamsOf<T>, StateVectorOf<T>&,        \
                                 std::size_t, std::size_t, AngleOverrideOf<T>, Rng*);           \
  template Status prepare_context<T>(const CompiledCircuit&, ExecutionContextOf<T>&);           \
  template Result<StateVectorOf<T>> run_statevector<T>(const CompiledCircuit&, ParamsOf<T>);    \
  template Result<std::vector<std::uint64_t>> sample<T>(const CompiledCircuit&, ParamsOf<T>,    \
                                                        std::uint64_t,                         \
                                                        std::optional<std::uint64_t>);         \
  template Result<ExecutionContextOf<T>> execution_context<T>(const CompiledCircuit&);          \
  template Result<const StateVectorOf<T>*> run_statevector_with_context<T>(                     \
      const CompiledCircuit&, ParamsOf<T>, ExecutionContextOf<T>&);                             \
  template Result<T> expectation_with_context<T>(const CompiledCircuit&, ParamsOf<T>,           \
                                                 std::span<const PauliTerm>,                    \
                                                 ExecutionContextOf<T>&);                       \
  template Result<std::vector<T>> expectations<T>(const CompiledCircuit&, ParamsOf<T>,          \
                                                  ObservableList);                              \
  template Result<std::vector<T>> expectations_with_context<T>(                                 \
      const CompiledCircuit&, ParamsOf<T>, ObservableList, ExecutionContextOf<T>&);             \
  template Result<std::vector<T>> expectations_in<T>(const StateVectorOf<T>&, ObservableList);
VANTREL_PLAN_RUN_OF(float)
VANTREL_PLAN_RUN_OF(double)
#undef VANTREL_PLAN_RUN_OF

}  // namespace vantrel::sim

#include "sim/diff/gradient.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "sim/base/messages.h"
#include "sim/run/block_executor.h"
#include "sim/base/pool.h"
#include "sim/base/team.h"
#include "sim/state/expectation.h"

namespace vantrel::sim {

namespace {

// The value of T nearest pi/2; lowering adds its negation.
template <class T>
constexpr T kShift = static_cast<T>(1.57079632679489661923);

thread_local bool prefix_allocation_fails = false;

// One step's term of its slot's derivative from the expectations with its
// angle raised and lowered by pi/2: the shift rule on the step's own angle,
// times d(angle)/d(theta), which is the scale of a Pauli-string rotation
// (scale * theta) and 1 for the one-qubit rotations (left unmultiplied).
template <class T>
T shift_term(const CompiledOp& op, T plus, T minus) {
  const T term = (plus - minus) * T(0.5);
  return op.kind == CompiledOp::Kind::kPauliRotation ? term * static_cast<T>(op.scale) : term;
}

// One run of the plan with step `step` turned by `angle`, then <H>.
template <class T>
Result<T> shifted_expectation(const CompiledCircuit& plan, ParamsOf<T> params,
                                  std::span<const PauliTerm> observable, ExecutionContextOf<T>& context,
                                  std::size_t step, T angle) {
  VANTREL_TRY(prepare_context(plan, context));
  VANTREL_TRY(run_into_overriding(plan, params, context.state, AngleOverrideOf<T>{step, angle}));
  return expectation(context.state, observable);
}

// Adds the shift-rule terms to `gradient` (P entries of +0) with two full runs
// per reading step: slot by slot, each slot's reading steps in plan order.
// The context ends with the last of these runs.
template <class T>
Status gradient_by_full_runs(const CompiledCircuit& plan, ParamsOf<T> params,
                             std::span<const PauliTerm> observable, ExecutionContextOf<T>& context,
                             std::vector<T>& gradient) {
  const std::vector<CompiledOp>& ops = plan.ops();
  for (std::uint64_t slot = 0; slot < gradient.size(); ++slot) {
    bool first = true;
    for (std::size_t k = 0; k < ops.size(); ++k) {
      if (!ops[k].is_parametric() || ops[k].slot != slot) continue;
      const T t = step_angle<T>(ops[k], params);
      auto plus = shifted_expectation(plan, params, observable, context, k, t + kShift<T>);
      if (!plus.ok()) return std::move(plus).error();
      auto minus = shifted_expectation(plan, params, observable, context, k, t + (-kShift<T>));
      if (!minus.ok()) return std::move(minus).error();
      const T term = shift_term(ops[k], *plus, *minus);
      // A slot with one reader gets exactly that term (not 0 + term, which
      // would turn a -0 into +0).
      gradient[slot] = first ? term : gradient[slot] + term;
      first = false;
    }
  }
  return Status::Ok();
}

// The same terms and sums as gradient_by_full_runs, bit for bit, with the
// shared part of the runs made once. The two runs for step k begin with the
// same steps 0..k-1 at the unshifted angles, so one prefix state is carried
// forward through the plan and each shifted run starts from a copy of it,
// applying only steps k..L-1. The kernels give the same bits however a pass
// is split over threads, so a run resumed from the prefix ends in exactly the
// state a full run reaches; summing each slot's terms as they arrive (in plan
// order) reproduces the slot-by-slot sums. Only for plans that draw nothing:
// a measurement or reset must draw afresh in every run. Returns false, having
// run nothing, when the prefix state cannot be allocated; the caller then
// takes the full runs.
template <class T>
Result<bool> gradient_by_prefix_sweep(const CompiledCircuit& plan, ParamsOf<T> params,
                                      std::span<const PauliTerm> observable,
                                      ExecutionContextOf<T>& context, std::vector<T>& gradient,
                                      Placement where) {
  const std::vector<CompiledOp>& ops = plan.ops();
  const std::size_t steps = ops.size();
  // The run the full-run order makes last: the last reading step of the
  // highest slot that has one, lowered. The context must end holding it.
  std::size_t final_step = SIZE_MAX;
  std::size_t last_param = SIZE_MAX;
  for (std::size_t k = 0; k < steps; ++k) {
    if (!ops[k].is_parametric()) continue;
    last_param = k;
    if (final_step == SIZE_MAX || ops[k].slot >= ops[final_step].slot) final_step = k;
  }
  // No reading step: every entry stays +0 and the context keeps the value run.
  if (last_param == SIZE_MAX) return true;
  // The value run has just left the context at the plan's width.
  const std::uint64_t n = plan.num_qubits();
  if (context.state.num_qubits() != n || context.state.data() == nullptr) return false;

  auto made =
      prefix_allocation_fails ? Result<StateVectorOf<T>>(out_of_memory()) : StateVectorOf<T>::create(n);
  if (!made.ok()) {
    if (made.error().kind == ErrorKind::kOutOfMemory) return false;
    return std::move(made).error();
  }
  StateVectorOf<T> prefix = std::move(made).value();
  std::vector<unsigned char> seen(gradient.size(), 0);
  const std::size_t bytes = prefix.size() * sizeof(ComplexOf<T>);

  // The two runs of a step are independent: placed kPaired, they run side
  // by side, the lowered one in the context and the raised one in a state of
  // its own (each run on its thread alone). Otherwise they run one after the
  // other. A missing second state only means the second way.
  StateVectorOf<T> raised;
  if (where == Placement::kPaired) {
    auto second = StateVectorOf<T>::create(n);
    if (second.ok()) raised = std::move(second).value();
  }
  std::optional<Team> team;
  if (raised.data()) team.emplace(2);
  StateVectorOf<T>* run_state[2] = {&context.state, &context.state};
  if (raised.data()) run_state[1] = &raised;

  std::size_t prefix_end = 0;  // `prefix` holds the state after steps [0, prefix_end)
  for (std::size_t k = 0; k < steps; ++k) {
    const CompiledOp& op = ops[k];
    if (!op.is_parametric()) continue;
    Status advanced;
    auto advance = [&](std::size_t) {
      advanced = apply_steps(plan, params, prefix, prefix_end, k, AngleOverrideOf<T>{}, nullptr);
    };
    // Paired, the leader advances alone (a task of one share is not spread
    // again); otherwise the executor spreads it.
    if (team) {
      team->run(1, advance);
    } else {
      advance(0);
    }
    VANTREL_TRY(std::move(advanced));
    prefix_end = k;
    const T t = step_angle<T>(op, params);
    // Side 0 raises, side 1 lowers; the lowered run is made last (or on its
    // own state) so that the context ends holding it.
    const T angles[2] = {t + kShift<T>, t + (-kShift<T>)};
    Result<T> e[2] = {T(0), T(0)};
    auto side = [&](std::size_t which) {
      StateVectorOf<T>& s = *run_state[which == 0 ? 1 : 0];
      std::memcpy(s.data(), prefix.data(), bytes);
      Status st = apply_steps(plan, params, s, k, steps, AngleOverrideOf<T>{k, angles[which]}, nullptr);
      e[which] = st.ok() ? expectation(s, observable) : Result<T>(std::move(st).error());
    };
    if (team) {
      team->run(2, [&](std::size_t share) { side(share == 0 ? 1 : 0); });
    } else {
      side(0);
      if (!e[0].ok()) return std::move(e[0]).error();
      side(1);
    }
    if (!e[0].ok()) {
      // The context holds what the failing run left, as when it runs there.
      if (raised.data()) std::memcpy(context.state.data(), raised.data(), bytes);
      return std::move(e[0]).error();
    }
    if (!e[1].ok()) return std::move(e[1]).error();
    const T term = shift_term(op, *e[0], *e[1]);
    gradient[op.slot] = seen[op.slot] ? gradient[op.slot] + term : term;
    seen[op.slot] = 1;
  }

  // The sweep's last run lowers the last reading step in plan order; when
  // that is not the run the full-run order ends with, that run is made again.
  if (final_step != last_param) {
    const T t = step_angle<T>(ops[final_step], params);
    VANTREL_TRY(prepare_context(plan, context));
    VANTREL_TRY(run_into_overriding(plan, params, context.state,
                                    AngleOverrideOf<T>{final_step, t + (-kShift<T>)}));
  }
  return true;
}

// The checks, the value run and the gradient, in that order. The prefix sweep
// serves plans without random steps unless `full_runs_only`; it falls back to
// full runs when its extra state cannot be allocated.
template <class T>
Result<ValueAndGradientOf<T>> evaluate(const CompiledCircuit& plan, ParamsOf<T> params,
                                  std::span<const PauliTerm> observable,
                                  ExecutionContextOf<T>& context, bool full_runs_only) {
  const std::uint64_t p = plan.parameter_count();
  if (params.size() != p)
    return messages::parameter_length(params.size(), p);
  VANTREL_TRY(validate_observable(observable, plan.num_qubits()));
  const Placement where = placement(plan.num_qubits(), RunPairs::kLong);
  const PlacementScope placed(where);

  auto value = expectation_with_context(plan, params, observable, context);
  if (!value.ok()) return std::move(value).error();
  ValueAndGradientOf<T> out;
  out.value = *value;
  if (p == 0) return out;

  out.gradient.assign(p, T(0));
  if (!full_runs_only && !plan.has_random_steps()) {
    auto swept = gradient_by_prefix_sweep(plan, params, observable, context, out.gradient, where);
    if (!swept.ok()) return std::move(swept).error();
    if (*swept) return out;
  }
  VANTREL_TRY(gradient_by_full_runs(plan, params, observable, context, out.gradient));
  return out;
}

}  // namespace

namespace detail {

template <class T>
Result<ValueAndGradientOf<T>> value_and_gradient_by_full_runs(const CompiledCircuit& plan,
                                                         ParamsOf<T> params,
                                                         std::span<const PauliTerm> observable,
                                                         ExecutionContextOf<T>& context) {
  return evaluate(plan, params, observable, context, /*full_runs_only=*/true);
}

void set_prefix_allocation_fails(bool fails) { prefix_allocation_fails = fails; }

}  // namespace detail

// The shift rule (E(theta + pi/2) - E(theta - pi/2)) / 2 is the derivative
// with respect to the angle of one rotation. When several steps read one
// slot, d/dtheta is the sum of the derivatives with respect to each step's
// angle (chain rule), so each reading step is shifted on its own, in plan
// order, and the terms are summed. Shifting them all together would not give
// the derivative: RX(theta) twice then <Z> = cos 2theta, whose derivative is
// -2 sin 2theta, while the joint shift gives (cos(2theta + pi) -
// cos(2theta - pi)) / 2 = 0.
template <class T>
Result<ValueAndGradientOf<T>> value_and_gradient_with_context(const CompiledCircuit& plan,
                                                         ParamsOf<T> params,
                                                         std::span<const PauliTerm> observable,
                                                         ExecutionContextOf<T>& context) {
  return evaluate(plan, params, observable, context, /*full_runs_only=*/false);
}

template <class T>
Result<ValueAndGradientOf<T>> value_and_gradient(const CompiledCircuit& plan,
                                            ParamsOf<T> params,
                                            std::span<const PauliTerm> observable) {
  auto context = execution_context<T>(plan);
  if (!context.ok()) return std::move(context).error();
  return value_and_gradient_with_context(plan, params, observable, *context);
}

template <class T>
Result<std::vector<T>> gradient_with_context(const CompiledCircuit& plan,
                                                 ParamsOf<T> params,
                                                 std::span<const PauliTerm> observable,
                                                 ExecutionContextOf<T>& context) {
  auto vg = value_and_gradient_with_context(plan, params, observable, context);
  if (!vg.ok()) return std::move(vg).error();
  return std::move(vg->gradient);
}

template <class T>
Result<std::vector<T>> gradient(const CompiledCircuit& plan, ParamsOf<T> params,
                                    std::span<const PauliTerm> observable) {
  auto vg = value_and_gradient<T>(plan, params, observable);
  if (!vg.ok()) return std::move(vg).error();
  return std::move(vg->gradient);
}

#define VANTREL_GRADIENT_OF(T)                                                                  \
  template Result<ValueAndGradientOf<T>> value_and_gradient_with_context<T>(                    \
      const CompiledCircuit&, ParamsOf<T>, std::span<const PauliTerm>, ExecutionContextOf<T>&); \
  template Result<ValueAndGradientOf<T>> value_and_gradient<T>(const CompiledCircuit&,          \
                                                               ParamsOf<T>,                     \
                                                               std::span<const PauliTerm>);     \
  template Result<std::vector<T>> gradient_with_context<T>(                                     \
      const CompiledCircuit&, ParamsOf<T>, std::span<const PauliTerm>, ExecutionContextOf<T>&); \
  template Result<std::vector<T>> gradient<T>(const CompiledCircuit&, ParamsOf<T>,              \
                                              std::span<const PauliTerm>);                      \
  template Result<ValueAndGradientOf<T>> detail::value_and_gradient_by_full_runs<T>(            \
      const CompiledCircuit&, ParamsOf<T>, std::span<const PauliTerm>, ExecutionContextOf<T>&);
VANTREL_GRADIENT_OF(float)
VANTREL_GRADIENT_OF(double)
#undef VANTREL_GRADIENT_OF

}  // namespace vantrel::sim

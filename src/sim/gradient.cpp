#include "sim/gradient.h"

namespace vantrel::sim {

namespace {

// The single-precision value nearest pi/2; lowering adds its negation.
constexpr float kShift = 1.5707964f;

// One run of the plan with step `step` turned by `angle`, then <H>.
Result<float> shifted_expectation(const CompiledCircuit& plan, std::span<const float> params,
                                  std::span<const PauliTerm> observable, ExecutionContext& context,
                                  std::size_t step, float angle) {
  VANTREL_TRY(prepare_context(plan, context));
  VANTREL_TRY(run_into_overriding(plan, params, context.state, AngleOverride{step, angle}));
  return expectation(context.state, observable);
}

}  // namespace

// The shift rule (E(theta + pi/2) - E(theta - pi/2)) / 2 is the derivative
// with respect to the angle of one rotation. When several steps read one
// slot, d/dtheta is the sum of the derivatives with respect to each step's
// angle (chain rule), so each reading step is shifted on its own, in plan
// order, and the terms are summed. Shifting them all together would not give
// the derivative: RX(theta) twice then <Z> = cos 2theta, whose derivative is
// -2 sin 2theta, while the joint shift gives (cos(2theta + pi) -
// cos(2theta - pi)) / 2 = 0.
Result<ValueAndGradient> value_and_gradient_with_context(const CompiledCircuit& plan,
                                                         std::span<const float> params,
                                                         std::span<const PauliTerm> observable,
                                                         ExecutionContext& context) {
  const std::uint64_t p = plan.parameter_count();
  if (params.size() != p)
    return invalid("parameter vector has length " + dec(params.size()) + ", expected " + dec(p));
  VANTREL_TRY(validate_observable(observable, plan.num_qubits()));

  auto value = expectation_with_context(plan, params, observable, context);
  if (!value.ok()) return std::move(value).error();
  ValueAndGradient out;
  out.value = *value;
  if (p == 0) return out;

  out.gradient.assign(p, 0.0f);
  // The value run left the context at the plan's width: every shifted run
  // below resets it in place.
  const std::vector<CompiledOp>& ops = plan.ops();
  for (std::uint64_t slot = 0; slot < p; ++slot) {
    const float t = params[slot];
    bool first = true;
    for (std::size_t k = 0; k < ops.size(); ++k) {
      if (ops[k].kind != CompiledOp::Kind::kParam || ops[k].slot != slot) continue;
      auto plus = shifted_expectation(plan, params, observable, context, k, t + kShift);
      if (!plus.ok()) return std::move(plus).error();
      auto minus = shifted_expectation(plan, params, observable, context, k, t + (-kShift));
      if (!minus.ok()) return std::move(minus).error();
      const float term = (*plus - *minus) * 0.5f;
      // A slot with one reader gets exactly that term (not 0 + term, which
      // would turn a -0 into +0).
      out.gradient[slot] = first ? term : out.gradient[slot] + term;
      first = false;
    }
  }
  return out;
}

Result<ValueAndGradient> value_and_gradient(const CompiledCircuit& plan,
                                            std::span<const float> params,
                                            std::span<const PauliTerm> observable) {
  auto context = execution_context(plan);
  if (!context.ok()) return std::move(context).error();
  return value_and_gradient_with_context(plan, params, observable, *context);
}

Result<std::vector<float>> gradient_with_context(const CompiledCircuit& plan,
                                                 std::span<const float> params,
                                                 std::span<const PauliTerm> observable,
                                                 ExecutionContext& context) {
  auto vg = value_and_gradient_with_context(plan, params, observable, context);
  if (!vg.ok()) return std::move(vg).error();
  return std::move(vg->gradient);
}

Result<std::vector<float>> gradient(const CompiledCircuit& plan, std::span<const float> params,
                                    std::span<const PauliTerm> observable) {
  auto vg = value_and_gradient(plan, params, observable);
  if (!vg.ok()) return std::move(vg).error();
  return std::move(vg->gradient);
}

}  // namespace vantrel::sim

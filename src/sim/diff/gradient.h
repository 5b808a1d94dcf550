// Parameter-shift gradients of expectation values.
#pragma once

#include <span>
#include <vector>

#include "sim/run/plan_run.h"

namespace vantrel::sim {

template <class T>
struct ValueAndGradientOf {
  T value = T(0);
  std::vector<T> gradient;  // one entry per parameter slot
};
using ValueAndGradient = ValueAndGradientOf<float>;

// For each slot, the sum over the parametric steps that read it of the
// shift-rule term with only that step's angle shifted by +-pi/2 (for a
// Pauli-string rotation the angle scale * theta, and the term times scale). A slot read by no
// step gets 0 without a run. The context is left holding the last run's state
// in that order: the last reading step of the highest slot that has one,
// lowered (the value run's state when no step reads a slot). Plans that
// neither measure nor reset share the unshifted prefix of the plan between
// the runs for each step.
// In T, the scalar type of the context (or named): the shift is pi/2 in T.
template <class T>
Result<ValueAndGradientOf<T>> value_and_gradient_with_context(const CompiledCircuit& plan,
                                                              ParamsOf<T> params,
                                                              std::span<const PauliTerm> observable,
                                                              ExecutionContextOf<T>& context);
template <class T = float>
Result<ValueAndGradientOf<T>> value_and_gradient(const CompiledCircuit& plan, ParamsOf<T> params,
                                                 std::span<const PauliTerm> observable);
template <class T>
Result<std::vector<T>> gradient_with_context(const CompiledCircuit& plan, ParamsOf<T> params,
                                             std::span<const PauliTerm> observable,
                                             ExecutionContextOf<T>& context);
template <class T = float>
Result<std::vector<T>> gradient(const CompiledCircuit& plan, ParamsOf<T> params,
                                std::span<const PauliTerm> observable);

namespace detail {

// The gradient with two full runs of the plan per reading step, slot by slot
// and each slot's steps in plan order; what value_and_gradient_with_context
// does for plans that measure or reset, and the result (value, gradient and
// final context state) it reproduces bit for bit for all others.
template <class T>
Result<ValueAndGradientOf<T>> value_and_gradient_by_full_runs(const CompiledCircuit& plan,
                                                              ParamsOf<T> params,
                                                              std::span<const PauliTerm> observable,
                                                              ExecutionContextOf<T>& context);

// While set on the calling thread, value_and_gradient_with_context behaves
// as though its prefix state could not be allocated. For tests of that path.
void set_prefix_allocation_fails(bool fails);

}  // namespace detail

}  // namespace vantrel::sim

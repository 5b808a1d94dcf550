// Parameter-shift gradients of expectation values.
#pragma once

#include <span>
#include <vector>

#include "sim/execution.h"

namespace vantrel::sim {

struct ValueAndGradient {
  float value = 0.0f;
  std::vector<float> gradient;  // one entry per parameter slot
};

// For each slot, the sum over the parametric steps that read it of the
// shift-rule term with only that step shifted by +-pi/2. A slot read by no
// step gets 0 without a run. The context is left holding the last run's state.
Result<ValueAndGradient> value_and_gradient_with_context(const CompiledCircuit& plan,
                                                         std::span<const float> params,
                                                         std::span<const PauliTerm> observable,
                                                         ExecutionContext& context);
Result<ValueAndGradient> value_and_gradient(const CompiledCircuit& plan,
                                            std::span<const float> params,
                                            std::span<const PauliTerm> observable);
Result<std::vector<float>> gradient_with_context(const CompiledCircuit& plan,
                                                 std::span<const float> params,
                                                 std::span<const PauliTerm> observable,
                                                 ExecutionContext& context);
Result<std::vector<float>> gradient(const CompiledCircuit& plan, std::span<const float> params,
                                    std::span<const PauliTerm> observable);

}  // namespace vantrel::sim

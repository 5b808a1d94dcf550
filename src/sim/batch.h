// Evaluating many parameter vectors of one plan on the worker pool.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/gradient.h"

namespace vantrel::sim {

struct BatchValuesAndGradients {
  std::vector<float> values;                  // B entries, row order
  std::vector<std::vector<float>> gradients;  // B rows of P entries
};

// `data` holds `batch_size` rows of parameter_count() values, row-major.
Result<std::vector<float>> batch_expectation(const CompiledCircuit& plan,
                                             std::span<const float> data,
                                             std::uint64_t batch_size,
                                             std::span<const PauliTerm> observable);
Result<BatchValuesAndGradients> batch_value_and_gradient(const CompiledCircuit& plan,
                                                         std::span<const float> data,
                                                         std::uint64_t batch_size,
                                                         std::span<const PauliTerm> observable);

}  // namespace vantrel::sim

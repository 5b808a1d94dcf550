// Evaluating many parameter vectors of one plan on the worker pool.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/diff/gradient.h"

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

// Adjoint differentiation of every row (adjoint.h), spread over the pool as
// the other batch operations are. Checks, in order: the observable's qubits;
// "adjoint differentiation does not support measurement or reset steps";
// then as batch_value_and_gradient (B = 0, P = 0 with one run for every row,
// "parameter batch is too large", the data's length). Row r's results are
// bit for bit those of adjoint_value_and_gradient on row r.
struct BatchValuesAndGradientMatrix {
  std::vector<float> values;     // B entries, row order
  std::vector<float> gradients;  // B rows of P entries, row-major
};
Result<BatchValuesAndGradientMatrix> batch_adjoint_value_and_gradient(
    const CompiledCircuit& plan, std::span<const float> data, std::uint64_t batch_size,
    std::span<const PauliTerm> observable);

// Every observable on every row, from one run per row: B rows of K values,
// row-major, value (r, k) bit for bit that of expectations() (plan_run.h) on
// row r. Checks and order as batch_expectation: each observable's qubits,
// B = 0 (no values), P = 0 (one run serves every row), "parameter batch is
// too large", the data's length.
Result<std::vector<float>> batch_expectations(const CompiledCircuit& plan,
                                              std::span<const float> data,
                                              std::uint64_t batch_size,
                                              ObservableList observables);

}  // namespace vantrel::sim

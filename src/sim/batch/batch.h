// Evaluating many parameter vectors of one plan on the worker pool, in the
// scalar type T (float unless named): data and results are T's.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/diff/gradient.h"

namespace vantrel::sim {

template <class T>
struct BatchValuesAndGradientsOf {
  std::vector<T> values;                  // B entries, row order
  std::vector<std::vector<T>> gradients;  // B rows of P entries
};
using BatchValuesAndGradients = BatchValuesAndGradientsOf<float>;

// `data` holds `batch_size` rows of parameter_count() values, row-major.
template <class T = float>
Result<std::vector<T>> batch_expectation(const CompiledCircuit& plan, ParamsOf<T> data,
                                         std::uint64_t batch_size,
                                         std::span<const PauliTerm> observable);
template <class T = float>
Result<BatchValuesAndGradientsOf<T>> batch_value_and_gradient(const CompiledCircuit& plan,
                                                              ParamsOf<T> data,
                                                              std::uint64_t batch_size,
                                                              std::span<const PauliTerm> observable);

// Adjoint differentiation of every row (adjoint.h), spread over the pool as
// the other batch operations are. Checks, in order: the observable's qubits;
// "adjoint differentiation does not support measurement or reset steps";
// then as batch_value_and_gradient (B = 0, P = 0 with one run for every row,
// "parameter batch is too large", the data's length). Row r's results are
// bit for bit those of adjoint_value_and_gradient on row r.
template <class T>
struct BatchValuesAndGradientMatrixOf {
  std::vector<T> values;     // B entries, row order
  std::vector<T> gradients;  // B rows of P entries, row-major
};
using BatchValuesAndGradientMatrix = BatchValuesAndGradientMatrixOf<float>;
template <class T = float>
Result<BatchValuesAndGradientMatrixOf<T>> batch_adjoint_value_and_gradient(
    const CompiledCircuit& plan, ParamsOf<T> data, std::uint64_t batch_size,
    std::span<const PauliTerm> observable);

// Every observable on every row, from one run per row: B rows of K values,
// row-major, value (r, k) bit for bit that of expectations() (plan_run.h) on
// row r. Checks and order as batch_expectation: each observable's qubits,
// B = 0 (no values), P = 0 (one run serves every row), "parameter batch is
// too large", the data's length.
template <class T = float>
Result<std::vector<T>> batch_expectations(const CompiledCircuit& plan, ParamsOf<T> data,
                                          std::uint64_t batch_size, ObservableList observables);

}  // namespace vantrel::sim

// The batch methods of CompiledCircuit: many parameter vectors, one plan and
// one observable, rows spread over the worker pool by the engine.
//
// The plain methods copy the batch and release the interpreter lock for the
// whole batch, stoppable by a signal handler (interrupt.h); the _buffer
// methods read the ParamBatchBuffer's memory in place and so keep the lock
// while the pool works (the pool's threads never need it).
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "lib/args.h"
#include "lib/arrays.h"
#include "lib/buffers.h"
#include "lib/compiled.h"
#include "lib/errors.h"
#include "lib/interrupt.h"
#include "lib/observable.h"
#include "lib/py.h"
#include "sim/batch/batch.h"

namespace vantrel::lib {
namespace {

using sim::Result;
using Terms = std::span<const sim::PauliTerm>;

// The rows of one call: a copy of an array-like, or a view of a buffer.
struct Rows {
  ParamBatchOf<float> owned;
  std::span<const float> data;
  std::uint64_t count = 0;
};

bool rows_from_python(const sim::CompiledCircuit& plan, PyObject* params_batch, Rows& rows) {
  if (!params_batch_from_python(params_batch, rows.owned)) return false;
  if (!validate_param_width(rows.owned.cols, plan.parameter_count())) return false;
  rows.data = rows.owned.data;
  rows.count = rows.owned.rows;
  return true;
}

bool rows_from_buffer(const sim::CompiledCircuit& plan, const PyParamBatchBuffer& buffer,
                      Rows& rows) {
  if (!param_batch_buffer_slice(buffer, plan.parameter_count(), rows.data)) return false;
  rows.count = buffer.value.batch_size;
  return true;
}

enum class Want { kGradients, kBoth };

// The gradients as a (B, P) float32 array, alone or after the values as a
// (B,) array in a pair.
PyObject* batch_results(Result<sim::BatchValuesAndGradients>&& result, Want want,
                        std::uint64_t rows, std::uint64_t cols) {
  if (!result) return raise(result.error());
  if (want == Want::kGradients)
    return gradients_into_pyarray(std::move(result->gradients), rows, cols);
  PyRef values(float_array_from_vector(std::move(result->values)));
  if (!values) return nullptr;
  PyRef gradients(gradients_into_pyarray(std::move(result->gradients), rows, cols));
  if (!gradients) return nullptr;
  return PyTuple_Pack(2, values.get(), gradients.get());
}

PyObject* expectation_results(Result<std::vector<float>>&& result) {
  if (!result) return raise(result.error());
  return float_array_from_vector(std::move(*result));
}

PyObject* run_expectation(const sim::CompiledCircuit& plan, const Rows& rows, Terms terms,
                          bool release) {
  if (!release)
    return expectation_results(sim::batch_expectation(plan, rows.data, rows.count, terms));
  return expectation_results(
      call_released(plan_work(plan, terms.size(), rows.count),
                    [&] { return sim::batch_expectation(plan, rows.data, rows.count, terms); }));
}

PyObject* run_value_and_gradient(const sim::CompiledCircuit& plan, const Rows& rows, Terms terms,
                                 Want want, bool release) {
  const std::uint64_t cols = plan.parameter_count();
  if (!release)
    return batch_results(sim::batch_value_and_gradient(plan, rows.data, rows.count, terms), want,
                         rows.count, cols);
  const std::uint64_t work = plan_work(plan, terms.size(), gradient_runs(plan, rows.count));
  return batch_results(call_released(work, [&] {
                         return sim::batch_value_and_gradient(plan, rows.data, rows.count, terms);
                       }),
                       want, rows.count, cols);
}

// The values as a (B,) array and the gradients as a (B, P) array, both
// taking over the engine's buffers.
PyObject* adjoint_results(Result<sim::BatchValuesAndGradientMatrix>&& result, std::uint64_t rows,
                          std::uint64_t cols) {
  if (!result) return raise(result.error());
  PyRef values(float_array_from_vector(std::move(result->values)));
  if (!values) return nullptr;
  PyRef gradients(float_array_from_vector(
      std::move(result->gradients), {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)}));
  if (!gradients) return nullptr;
  return PyTuple_Pack(2, values.get(), gradients.get());
}

PyObject* run_adjoint(const sim::CompiledCircuit& plan, const Rows& rows, Terms terms,
                      bool release) {
  const std::uint64_t cols = plan.parameter_count();
  if (!release)
    return adjoint_results(
        sim::batch_adjoint_value_and_gradient(plan, rows.data, rows.count, terms), rows.count,
        cols);
  std::uint64_t runs = 0;
  if (__builtin_mul_overflow(kAdjointRuns, rows.count, &runs)) runs = UINT64_MAX;
  return adjoint_results(call_released(plan_work(plan, terms.size(), runs),
                                       [&] {
                                         return sim::batch_adjoint_value_and_gradient(
                                             plan, rows.data, rows.count, terms);
                                       }),
                         rows.count, cols);
}

PyObject* batch_expectation(const PyCompiledCircuit& self, PyObject* params_batch,
                            Shared<PyObservable> observable) {
  Rows rows;
  if (!rows_from_python(self.value, params_batch, rows)) return nullptr;
  return run_expectation(self.value, rows, observable_terms(*observable), true);
}

PyObject* batch_expectation_buffer(const PyCompiledCircuit& self,
                                   Shared<PyParamBatchBuffer> params_batch,
                                   Shared<PyObservable> observable) {
  Rows rows;
  if (!rows_from_buffer(self.value, *params_batch, rows)) return nullptr;
  return run_expectation(self.value, rows, observable_terms(*observable), false);
}

PyObject* batch_gradient(const PyCompiledCircuit& self, PyObject* params_batch,
                         Shared<PyObservable> observable) {
  Rows rows;
  if (!rows_from_python(self.value, params_batch, rows)) return nullptr;
  return run_value_and_gradient(self.value, rows, observable_terms(*observable), Want::kGradients,
                                true);
}

PyObject* batch_gradient_buffer(const PyCompiledCircuit& self,
                                Shared<PyParamBatchBuffer> params_batch,
                                Shared<PyObservable> observable) {
  Rows rows;
  if (!rows_from_buffer(self.value, *params_batch, rows)) return nullptr;
  return run_value_and_gradient(self.value, rows, observable_terms(*observable), Want::kGradients,
                                false);
}

PyObject* batch_value_and_gradient(const PyCompiledCircuit& self, PyObject* params_batch,
                                   Shared<PyObservable> observable) {
  Rows rows;
  if (!rows_from_python(self.value, params_batch, rows)) return nullptr;
  return run_value_and_gradient(self.value, rows, observable_terms(*observable), Want::kBoth,
                                true);
}

PyObject* batch_value_and_gradient_buffer(const PyCompiledCircuit& self,
                                          Shared<PyParamBatchBuffer> params_batch,
                                          Shared<PyObservable> observable) {
  Rows rows;
  if (!rows_from_buffer(self.value, *params_batch, rows)) return nullptr;
  return run_value_and_gradient(self.value, rows, observable_terms(*observable), Want::kBoth,
                                false);
}

PyObject* batch_adjoint_value_and_gradient(const PyCompiledCircuit& self, PyObject* params_batch,
                                           Shared<PyObservable> observable) {
  Rows rows;
  if (!rows_from_python(self.value, params_batch, rows)) return nullptr;
  return run_adjoint(self.value, rows, observable_terms(*observable), true);
}

PyObject* batch_adjoint_value_and_gradient_buffer(const PyCompiledCircuit& self,
                                                  Shared<PyParamBatchBuffer> params_batch,
                                                  Shared<PyObservable> observable) {
  Rows rows;
  if (!rows_from_buffer(self.value, *params_batch, rows)) return nullptr;
  return run_adjoint(self.value, rows, observable_terms(*observable), false);
}

}  // namespace

PyMethodDef* compiled_batch_methods() {
  static PyMethodDef methods[] = {
      method<batch_expectation>("batch_expectation", {"params_batch", "observable"}),
      method<batch_expectation_buffer>("batch_expectation_buffer", {"params_batch", "observable"}),
      method<batch_gradient>("batch_gradient", {"params_batch", "observable"}),
      method<batch_gradient_buffer>("batch_gradient_buffer", {"params_batch", "observable"}),
      method<batch_value_and_gradient>("batch_value_and_gradient", {"params_batch", "observable"}),
      method<batch_value_and_gradient_buffer>("batch_value_and_gradient_buffer",
                                              {"params_batch", "observable"}),
      method<batch_adjoint_value_and_gradient>(
          "batch_adjoint_value_and_gradient", {"params_batch", "observable"},
          "Return the values and gradients of a parameter batch by adjoint differentiation."),
      method<batch_adjoint_value_and_gradient_buffer>(
          "batch_adjoint_value_and_gradient_buffer", {"params_batch", "observable"},
          "Return the values and gradients of a parameter batch by adjoint differentiation, "
          "reading the rows from a ParamBatchBuffer."),
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

}  // namespace vantrel::lib

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
template <class T>
struct Rows {
  ParamBatchOf<T> owned;
  std::span<const T> data;
  std::uint64_t count = 0;
};

template <class T>
bool rows_from_python(const sim::CompiledCircuit& plan, PyObject* params_batch, Rows<T>& rows) {
  if (!params_batch_from_python(params_batch, rows.owned)) return false;
  if (!validate_param_width(rows.owned.cols, plan.parameter_count())) return false;
  rows.data = rows.owned.data;
  rows.count = rows.owned.rows;
  return true;
}

template <class T>
bool rows_from_buffer(const sim::CompiledCircuit& plan, const PyParamBatchBuffer& buffer,
                      Rows<T>& rows) {
  if (!param_batch_buffer_slice(buffer, plan.parameter_count(), rows.data)) return false;
  rows.count = buffer.value.batch_size;
  return true;
}

// Where a call's rows come from: an array-like (copied, so the lock is
// released for the work) or a ParamBatchBuffer (read in place, so the lock
// stays held).
struct RowSource {
  PyObject* array_like = nullptr;
  const PyParamBatchBuffer* buffer = nullptr;
};

RowSource copied(PyObject* params_batch) { return {params_batch, nullptr}; }
RowSource in_place(const Shared<PyParamBatchBuffer>& buffer) { return {nullptr, buffer.ptr}; }

// run(rows, release) with T the plan's scalar type (at_precision) and the
// rows of T read from `source`.
template <class Run>
PyObject* with_rows(const sim::CompiledCircuit& plan, RowSource source, Run&& run) {
  return at_precision(plan.precision(), [&]<class T>() -> PyObject* {
    Rows<T> rows;
    const bool read = source.buffer != nullptr ? rows_from_buffer(plan, *source.buffer, rows)
                                               : rows_from_python(plan, source.array_like, rows);
    if (!read) return nullptr;
    return run(rows, source.buffer == nullptr);
  });
}

enum class Want { kGradients, kBoth };

// The gradients as a (B, P) array, alone or after the values as a (B,) array
// in a pair; float32 for a single plan, float64 for a double one.
template <class T>
PyObject* batch_results(Result<sim::BatchValuesAndGradientsOf<T>>&& result, Want want,
                        std::uint64_t rows, std::uint64_t cols) {
  if (!result) return raise(result.error());
  if (want == Want::kGradients)
    return gradients_into_pyarray(std::move(result->gradients), rows, cols);
  PyRef values(real_array_from_vector(std::move(result->values)));
  if (!values) return nullptr;
  PyRef gradients(gradients_into_pyarray(std::move(result->gradients), rows, cols));
  if (!gradients) return nullptr;
  return PyTuple_Pack(2, values.get(), gradients.get());
}

template <class T>
PyObject* expectation_results(Result<std::vector<T>>&& result) {
  if (!result) return raise(result.error());
  return real_array_from_vector(std::move(*result));
}

template <class T>
PyObject* run_expectation(const sim::CompiledCircuit& plan, const Rows<T>& rows, Terms terms,
                          bool release) {
  const auto op = [&] { return sim::batch_expectation<T>(plan, rows.data, rows.count, terms); };
  if (!release) return expectation_results(op());
  return expectation_results(call_released(plan_work(plan, terms.size(), rows.count), op));
}

template <class T>
PyObject* run_value_and_gradient(const sim::CompiledCircuit& plan, const Rows<T>& rows,
                                 Terms terms, Want want, bool release) {
  const std::uint64_t cols = plan.parameter_count();
  const auto op = [&] {
    return sim::batch_value_and_gradient<T>(plan, rows.data, rows.count, terms);
  };
  if (!release) return batch_results(op(), want, rows.count, cols);
  const std::uint64_t work = plan_work(plan, terms.size(), gradient_runs(plan, rows.count));
  return batch_results(call_released(work, op), want, rows.count, cols);
}

// The values as a (B,) array and the gradients as a (B, P) array, both
// taking over the engine's buffers.
template <class T>
PyObject* adjoint_results(Result<sim::BatchValuesAndGradientMatrixOf<T>>&& result,
                          std::uint64_t rows, std::uint64_t cols) {
  if (!result) return raise(result.error());
  PyRef values(real_array_from_vector(std::move(result->values)));
  if (!values) return nullptr;
  PyRef gradients(real_array_from_vector(
      std::move(result->gradients), {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)}));
  if (!gradients) return nullptr;
  return PyTuple_Pack(2, values.get(), gradients.get());
}

template <class T>
PyObject* run_adjoint(const sim::CompiledCircuit& plan, const Rows<T>& rows, Terms terms,
                      bool release) {
  const std::uint64_t cols = plan.parameter_count();
  const auto op = [&] {
    return sim::batch_adjoint_value_and_gradient<T>(plan, rows.data, rows.count, terms);
  };
  if (!release) return adjoint_results(op(), rows.count, cols);
  std::uint64_t runs = 0;
  if (__builtin_mul_overflow(kAdjointRuns, rows.count, &runs)) runs = UINT64_MAX;
  return adjoint_results(call_released(plan_work(plan, terms.size(), runs), op), rows.count, cols);
}

// One implementation per batch method, from an array-like or a buffer.
PyObject* expectation_of(const PyCompiledCircuit& self, RowSource source,
                         const PyObservable& observable) {
  return with_rows(self.value, source, [&](const auto& rows, bool release) {
    return run_expectation(self.value, rows, observable_terms(observable), release);
  });
}

PyObject* value_and_gradient_of(const PyCompiledCircuit& self, RowSource source,
                                const PyObservable& observable, Want want) {
  return with_rows(self.value, source, [&](const auto& rows, bool release) {
    return run_value_and_gradient(self.value, rows, observable_terms(observable), want, release);
  });
}

PyObject* adjoint_of(const PyCompiledCircuit& self, RowSource source,
                     const PyObservable& observable) {
  return with_rows(self.value, source, [&](const auto& rows, bool release) {
    return run_adjoint(self.value, rows, observable_terms(observable), release);
  });
}

PyObject* batch_expectation(const PyCompiledCircuit& self, PyObject* params_batch,
                            Shared<PyObservable> observable) {
  return expectation_of(self, copied(params_batch), *observable);
}

PyObject* batch_expectation_buffer(const PyCompiledCircuit& self,
                                   Shared<PyParamBatchBuffer> params_batch,
                                   Shared<PyObservable> observable) {
  return expectation_of(self, in_place(params_batch), *observable);
}

PyObject* batch_gradient(const PyCompiledCircuit& self, PyObject* params_batch,
                         Shared<PyObservable> observable) {
  return value_and_gradient_of(self, copied(params_batch), *observable, Want::kGradients);
}

PyObject* batch_gradient_buffer(const PyCompiledCircuit& self,
                                Shared<PyParamBatchBuffer> params_batch,
                                Shared<PyObservable> observable) {
  return value_and_gradient_of(self, in_place(params_batch), *observable, Want::kGradients);
}

PyObject* batch_value_and_gradient(const PyCompiledCircuit& self, PyObject* params_batch,
                                   Shared<PyObservable> observable) {
  return value_and_gradient_of(self, copied(params_batch), *observable, Want::kBoth);
}

PyObject* batch_value_and_gradient_buffer(const PyCompiledCircuit& self,
                                          Shared<PyParamBatchBuffer> params_batch,
                                          Shared<PyObservable> observable) {
  return value_and_gradient_of(self, in_place(params_batch), *observable, Want::kBoth);
}

PyObject* batch_adjoint_value_and_gradient(const PyCompiledCircuit& self, PyObject* params_batch,
                                           Shared<PyObservable> observable) {
  return adjoint_of(self, copied(params_batch), *observable);
}

PyObject* batch_adjoint_value_and_gradient_buffer(const PyCompiledCircuit& self,
                                                  Shared<PyParamBatchBuffer> params_batch,
                                                  Shared<PyObservable> observable) {
  return adjoint_of(self, in_place(params_batch), *observable);
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

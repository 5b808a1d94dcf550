// The outcome methods of CompiledCircuit and ExecutionContext: exact
// probabilities, counts of samples, and several observables from one run
// (one parameter vector, or a batch spread over the worker pool).
//
// Plain methods as their siblings in compiled.cpp: the arguments are
// converted with the interpreter lock held, the engine work runs with it
// released (stoppable by a signal handler), and the plan and the observables
// are read in place: the argument references keep them alive and neither is
// ever borrowed exclusively. An ExecutionContext is borrowed exclusively.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <type_traits>
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
#include "sim/state/measure.h"
#include "sim/state/probabilities.h"

namespace vantrel::lib {
namespace {

using sim::Result;
template <class T>
using Params = std::span<const T>;
using Qubits = std::optional<std::vector<std::uint64_t>>;

// ---------------------------------------------------------------------------
// Engine operations; no Python object is touched in here.

template <class T>
Result<sim::ProbabilityTable> probabilities_of(const sim::StateVectorOf<T>& state,
                                               const Qubits& qubits) {
  if (!qubits) return sim::probabilities(state);
  return sim::probabilities(state, *qubits);
}

// With `context` null, on a fresh state.
template <class T>
Result<sim::ProbabilityTable> plan_probabilities(const sim::CompiledCircuit& plan, Params<T> params,
                                                 const Qubits& qubits,
                                                 sim::ExecutionContextOf<T>* context) {
  if (plan.has_random_steps()) return sim::random_final_state();
  if (context == nullptr) {
    auto state = sim::run_statevector<T>(plan, params);
    if (!state) return std::move(state).error();
    return probabilities_of(*state, qubits);
  }
  auto state = sim::run_statevector_with_context(plan, params, *context);
  if (!state) return std::move(state).error();
  return probabilities_of(**state, qubits);
}

using Counts = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

template <class T>
Result<Counts> plan_counts(const sim::CompiledCircuit& plan, Params<T> params, std::uint64_t shots,
                           std::optional<std::uint64_t> seed) {
  auto samples = sim::sample<T>(plan, params, shots, seed);
  if (!samples) return std::move(samples).error();
  return sim::tally(std::move(samples).value());
}

// ---------------------------------------------------------------------------
// Results as Python values.

PyObject* to_python(Result<sim::ProbabilityTable>&& result) {
  if (!result) return raise(result.error());
  return double_array_from_buffer(result->values.release(), result->size);
}

// Values as a float64 array of `dims`: a double plan's as they are, a single
// plan's widened exactly.
template <class T>
PyObject* to_python(Result<std::vector<T>>&& result, std::initializer_list<npy_intp> dims = {}) {
  if (!result) return raise(result.error());
  if constexpr (std::is_same_v<T, double>) {
    return double_array_from_vector(std::move(*result), dims);
  } else {
    std::vector<double> wide(result->begin(), result->end());
    *result = {};
    return double_array_from_vector(std::move(wide), dims);
  }
}

PyObject* to_python(Result<Counts>&& result) {
  if (!result) return raise(result.error());
  return counts_dict(*result);
}

// Runs of the plan, then a pass for each observable's terms.
std::uint64_t observables_work(const sim::CompiledCircuit& plan, const ObservableList& list,
                               std::uint64_t runs = 1) {
  std::size_t terms = 0;
  for (std::span<const sim::PauliTerm> t : list.terms) terms += t.size();
  return plan_work(plan, terms, runs);
}

// ---------------------------------------------------------------------------
// CompiledCircuit.

PyObject* circuit_probabilities(const PyCompiledCircuit& self, PyObject* params, Qubits qubits) {
  const sim::CompiledCircuit& plan = self.value;
  return with_params(plan, params, [&]<class T>(Params<T> p) {
    return to_python(call_released(plan_work(plan, 1), [&] {
      return plan_probabilities<T>(plan, p, qubits, nullptr);
    }));
  });
}

PyObject* circuit_counts(const PyCompiledCircuit& self, PyObject* params, std::uint64_t shots,
                         std::optional<std::uint64_t> seed) {
  const sim::CompiledCircuit& plan = self.value;
  // As sample: the run, or the draws when they are the larger part.
  const std::uint64_t work = std::max(plan_work(plan, 1), work_of(16, 0, shots));
  return with_params(plan, params, [&]<class T>(Params<T> p) {
    return to_python(call_released(work, [&] { return plan_counts(plan, p, shots, seed); }));
  });
}

PyObject* circuit_expectations(const PyCompiledCircuit& self, PyObject* params,
                               const ObservableList& observables) {
  const sim::CompiledCircuit& plan = self.value;
  return with_params(plan, params, [&]<class T>(Params<T> p) {
    return to_python(call_released(observables_work(plan, observables), [&] {
      return sim::expectations<T>(plan, p, observables.terms);
    }));
  });
}

PyObject* circuit_batch_expectations(const PyCompiledCircuit& self, PyObject* params_batch,
                                     const ObservableList& observables) {
  const sim::CompiledCircuit& plan = self.value;
  return at_precision(plan.precision(), [&]<class T>() -> PyObject* {
    ParamBatchOf<T> rows;
    if (!params_batch_from_python(params_batch, rows)) return nullptr;
    if (!validate_param_width(rows.cols, plan.parameter_count())) return nullptr;
    const std::uint64_t b = rows.rows;
    const std::uint64_t k = observables.terms.size();
    return to_python(call_released(observables_work(plan, observables, b),
                                   [&] {
                                     return sim::batch_expectations<T>(plan, rows.data, b,
                                                                       observables.terms);
                                   }),
                     {static_cast<npy_intp>(b), static_cast<npy_intp>(k)});
  });
}

// ---------------------------------------------------------------------------
// ExecutionContext.

PyObject* context_probabilities(PyExecutionContext& self, Shared<PyCompiledCircuit> circuit,
                                PyObject* params, Qubits qubits) {
  const sim::CompiledCircuit& plan = circuit->value;
  return with_context_params(self, plan, params, [&]<class T>(Params<T> p, auto& context) {
    return to_python(call_released(plan_work(plan, 1), [&] {
      return plan_probabilities<T>(plan, p, qubits, &context);
    }));
  });
}

PyObject* context_expectations(PyExecutionContext& self, Shared<PyCompiledCircuit> circuit,
                               PyObject* params, const ObservableList& observables) {
  const sim::CompiledCircuit& plan = circuit->value;
  return with_context_params(self, plan, params, [&]<class T>(Params<T> p, auto& context) {
    return to_python(call_released(observables_work(plan, observables), [&] {
      return sim::expectations_with_context(plan, p, observables.terms, context);
    }));
  });
}

constexpr const char* kProbabilitiesDoc =
    "Return the exact probabilities of the basis states of the listed qubits (all by default) "
    "as a float64 array of length 2**k, bit j of an index for qubits[j]; plans that measure or "
    "reset are refused.";
constexpr const char* kExpectationsDoc =
    "Return the expectation value of each observable from one run, as a float64 array.";

}  // namespace

PyMethodDef* compiled_outcome_methods() {
  static PyMethodDef methods[] = {
      method<circuit_probabilities>("probabilities", {"params", {"qubits", "None"}},
                                    kProbabilitiesDoc),
      method<circuit_counts>(
          "counts", {"params", "shots", {"seed", "None"}},
          "Return {basis-state index: count} in increasing order of index, from the draws "
          "sample makes with the same arguments."),
      method<circuit_expectations>("expectations", {"params", "observables"}, kExpectationsDoc),
      method<circuit_batch_expectations>(
          "batch_expectations", {"params_batch", "observables"},
          "Return the value of each observable for each parameter row, one run per row, as a "
          "float64 array of shape (B, K)."),
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

PyMethodDef* context_outcome_methods() {
  static PyMethodDef methods[] = {
      method<context_probabilities>("probabilities", {"circuit", "params", {"qubits", "None"}},
                                    kProbabilitiesDoc),
      method<context_expectations>("expectations", {"circuit", "params", "observables"},
                                   kExpectationsDoc),
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

}  // namespace vantrel::lib

// CompiledCircuit and ExecutionContext: evaluating a compiled plan from
// Python, one parameter vector at a time or whole batches.
//
// A CompiledCircuit never changes after it is made, so every call borrows it
// shared; an ExecutionContext is written by every call, so every call borrows
// it exclusively. The plain methods release the interpreter lock around the
// engine work. They copy the parameters first; the plan and the observable are
// not copied but read in place: the argument references keep both objects
// alive for the call, their borrows keep them unchanged, and neither is ever
// borrowed exclusively.
//
// Precision: a plan computes in single or double precision, as compiled. Each
// method reads the plan's precision once, at the top (at_precision), and runs
// one body written over the scalar type T (float or double): parameters are
// converted to T, the engine's T forms run, and results come back as float32
// or float64 arrays (complex64 or complex128 states). A context or buffer of
// the other precision is refused with TypeError naming both.
#pragma once

#include <span>
#include <variant>
#include <vector>

#include "lib/buffers.h"
#include "lib/object.h"
#include "lib/precision.h"
#include "sim/base/precision.h"
#include "sim/run/plan_run.h"
#include "sim/model/plan.h"

namespace vantrel::lib {

struct PyCompiledCircuit : ObjectBase {
  static constexpr const char* kName = "CompiledCircuit";
  static PyTypeObject* type_object();
  sim::CompiledCircuit value;
};

struct PyExecutionContext : ObjectBase {
  static constexpr const char* kName = "ExecutionContext";
  static PyTypeObject* type_object();
  // Of the precision of the plan that made it.
  std::variant<sim::ExecutionContextOf<float>, sim::ExecutionContextOf<double>> value;
};

// The context's state of T's precision, or NULL with TypeError naming both
// precisions when it holds the other.
template <class T>
sim::ExecutionContextOf<T>* context_at(PyExecutionContext& context) {
  auto* held = std::get_if<sim::ExecutionContextOf<T>>(&context.value);
  if (held == nullptr) {
    constexpr sim::Precision kPlan = sim::precision_of<T>;
    constexpr sim::Precision kOther =
        kPlan == sim::Precision::kDouble ? sim::Precision::kSingle : sim::Precision::kDouble;
    precision_mismatch(PyExecutionContext::kName, kOther, kPlan);
  }
  return held;
}

// run(span of T) with T the plan's scalar type (at_precision) and the
// parameters converted to T from an array-like.
template <class Run>
PyObject* with_params(const sim::CompiledCircuit& plan, PyObject* params, Run&& run) {
  return at_precision(plan.precision(), [&]<class T>() -> PyObject* {
    std::vector<T> p;
    if (!params_from_python(params, p)) return nullptr;
    return run(std::span<const T>(p));
  });
}

// The same with the context's state of that precision, checked first:
// run(span, context).
template <class Run>
PyObject* with_context_params(PyExecutionContext& self, const sim::CompiledCircuit& plan,
                              PyObject* params, Run&& run) {
  return at_precision(plan.precision(), [&]<class T>() -> PyObject* {
    sim::ExecutionContextOf<T>* context = context_at<T>(self);
    if (context == nullptr) return nullptr;
    std::vector<T> p;
    if (!params_from_python(params, p)) return nullptr;
    return run(std::span<const T>(p), *context);
  });
}

// The batch methods of CompiledCircuit (compiled_batch.cpp), a sentinel-ended
// table merged into the class's method table.
PyMethodDef* compiled_batch_methods();
// noisy_expectation and batch_noisy_expectation (noise.cpp), null-terminated.
const PyMethodDef* compiled_noise_methods();

// The outcome methods (compiled_outcomes.cpp: probabilities, counts, several
// observables per run) of CompiledCircuit and of ExecutionContext, tables
// merged likewise.
PyMethodDef* compiled_outcome_methods();
PyMethodDef* context_outcome_methods();

}  // namespace vantrel::lib

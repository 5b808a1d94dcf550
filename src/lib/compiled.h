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
#pragma once

#include "lib/object.h"
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
  sim::ExecutionContext value;
};

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

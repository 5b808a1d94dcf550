// CompiledCircuit and ExecutionContext: the scalar evaluation methods, the
// factories of contexts and buffers, and the class definitions.
//
// Every evaluation method is: convert the arguments (lock held), run one
// engine operation (lock released for the plain methods only: the _buffer
// methods read NumPy memory that Python code could otherwise change under
// them), and turn the engine's result or error into Python values.
#include "lib/compiled.h"

#include <algorithm>
#include <concepts>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/args.h"
#include "lib/arrays.h"
#include "lib/buffers.h"
#include "lib/draw.h"
#include "lib/errors.h"
#include "lib/interrupt.h"
#include "lib/observable.h"
#include "lib/pickling.h"
#include "lib/py.h"
#include "sim/diff/adjoint.h"
#include "sim/diff/gradient.h"
#include "sim/model/observable.h"
#include "sim/state/expectation.h"

namespace vantrel::lib {
namespace {

using sim::Result;
using Terms = std::span<const sim::PauliTerm>;
template <class T>
using Params = std::span<const T>;

Terms terms_of(const Shared<PyObservable>& observable) { return observable_terms(*observable); }

// ---------------------------------------------------------------------------
// Engine operations; no Python object is touched in here.

template <class T>
Result<T> plan_expectation(const sim::CompiledCircuit& plan, Params<T> params, Terms terms) {
  Result<sim::StateVectorOf<T>> state = sim::run_statevector<T>(plan, params);
  if (!state) return std::move(state).error();
  return sim::expectation(*state, terms);
}

// Amplitudes copied out of a context, in a buffer of their own that NumPy can
// take over.
template <class T>
struct StateCopy {
  std::unique_ptr<sim::ComplexOf<T>[], sim::FreeDeleter> data;
  std::size_t count = 0;
};

// The context's state after the run, copied; the context keeps its buffer.
template <class T>
Result<StateCopy<T>> context_statevector(const sim::CompiledCircuit& plan, Params<T> params,
                                         sim::ExecutionContextOf<T>& context) {
  Result<const sim::StateVectorOf<T>*> run =
      sim::run_statevector_with_context(plan, params, context);
  if (!run) return std::move(run).error();
  const sim::StateVectorOf<T>& state = **run;
  const std::size_t bytes = state.size() * sizeof(sim::ComplexOf<T>);
  StateCopy<T> copy;
  copy.data.reset(static_cast<sim::ComplexOf<T>*>(std::malloc(bytes)));
  copy.count = state.size();
  if (!copy.data) {
    const char* kind = std::is_same_v<T, double> ? "double-precision " : "";
    return sim::allocation_failure(std::string("a copy of a ") + kind + "state vector of " +
                                       sim::dec(state.num_qubits()) + " qubits",
                                   bytes);
  }
  std::memcpy(copy.data.get(), state.data(), bytes);
  return copy;
}

// ---------------------------------------------------------------------------
// Results as Python values. Each takes the result over; errors are raised
// through the one mapping of errors.h. Values of a double plan come back as
// float64 (complex128 states), of a single plan as float32 (complex64).

template <class T>
PyObject* to_python(Result<sim::StateVectorOf<T>>&& result) {
  if (!result) return raise(result.error());
  sim::StateVectorOf<T>& state = *result;
  const std::size_t count = state.size();
  return complex_array_from_buffer(state.release(), count);
}

template <class T>
PyObject* to_python(Result<StateCopy<T>>&& result) {
  if (!result) return raise(result.error());
  return complex_array_from_buffer(result->data.release(), result->count);
}

template <std::floating_point T>
PyObject* to_python(Result<T>&& result) {
  if (!result) return raise(result.error());
  return PyFloat_FromDouble(static_cast<double>(*result));
}

template <std::floating_point T>
PyObject* to_python(Result<std::vector<T>>&& result) {
  if (!result) return raise(result.error());
  return real_array_from_vector(std::move(*result));
}

template <class T>
PyObject* to_python(Result<sim::ValueAndGradientOf<T>>&& result) {
  if (!result) return raise(result.error());
  PyRef value(PyFloat_FromDouble(static_cast<double>(result->value)));
  if (!value) return nullptr;
  PyRef gradient(real_array_from_vector(std::move(result->gradient)));
  if (!gradient) return nullptr;
  return PyTuple_Pack(2, value.get(), gradient.get());
}

PyObject* to_python(Result<std::vector<std::uint64_t>>&& result) {
  if (!result) return raise(result.error());
  return sample_list(*result);
}

// Runs `op`, doing at most about `work` (interrupt.h), with the interpreter
// lock released and stoppable by a signal handler, then converts its result
// with the lock held again.
template <class Op>
PyObject* released(std::uint64_t work, Op&& op) {
  return to_python(call_released(work, std::forward<Op>(op)));
}

// The _buffer forms: run(span of T) over the buffer's memory in place, T the
// plan's scalar type (at_precision), once the buffer has passed its checks.
template <class Run>
PyObject* with_buffer(const sim::CompiledCircuit& plan, const PyParamBuffer& buffer, Run&& run) {
  return at_precision(plan.precision(), [&]<class T>() -> PyObject* {
    Params<T> p;
    if (!param_buffer_slice(buffer, plan.parameter_count(), p)) return nullptr;
    return run(p);
  });
}

// The same with the context's state of that precision: run(span, context).
template <class Run>
PyObject* with_context_buffer(PyExecutionContext& self, const sim::CompiledCircuit& plan,
                              const PyParamBuffer& buffer, Run&& run) {
  return at_precision(plan.precision(), [&]<class T>() -> PyObject* {
    sim::ExecutionContextOf<T>* context = context_at<T>(self);
    if (context == nullptr) return nullptr;
    Params<T> p;
    if (!param_buffer_slice(buffer, plan.parameter_count(), p)) return nullptr;
    return run(p, *context);
  });
}

// ---------------------------------------------------------------------------
// CompiledCircuit: scalar methods.

PyObject* circuit_statevector(const PyCompiledCircuit& self, PyObject* params) {
  const sim::CompiledCircuit& plan = self.value;
  return with_params(plan, params, [&]<class T>(Params<T> p) {
    return released(plan_work(plan, 0), [&] { return sim::run_statevector<T>(plan, p); });
  });
}

PyObject* circuit_statevector_buffer(const PyCompiledCircuit& self, Shared<PyParamBuffer> params) {
  const sim::CompiledCircuit& plan = self.value;
  return with_buffer(plan, *params, [&]<class T>(Params<T> p) {
    return to_python(sim::run_statevector<T>(plan, p));
  });
}

PyObject* circuit_expectation(const PyCompiledCircuit& self, PyObject* params,
                              Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = self.value;
  const Terms terms = terms_of(observable);
  return with_params(plan, params, [&]<class T>(Params<T> p) {
    return released(plan_work(plan, terms.size()), [&] { return plan_expectation(plan, p, terms); });
  });
}

PyObject* circuit_expectation_buffer(const PyCompiledCircuit& self, Shared<PyParamBuffer> params,
                                     Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = self.value;
  return with_buffer(plan, *params, [&]<class T>(Params<T> p) {
    return to_python(plan_expectation(plan, p, terms_of(observable)));
  });
}

PyObject* circuit_gradient(const PyCompiledCircuit& self, PyObject* params,
                           Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = self.value;
  const Terms terms = terms_of(observable);
  return with_params(plan, params, [&]<class T>(Params<T> p) {
    return released(plan_work(plan, terms.size(), gradient_runs(plan)),
                    [&] { return sim::gradient<T>(plan, p, terms); });
  });
}

PyObject* circuit_gradient_buffer(const PyCompiledCircuit& self, Shared<PyParamBuffer> params,
                                  Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = self.value;
  return with_buffer(plan, *params, [&]<class T>(Params<T> p) {
    return to_python(sim::gradient<T>(plan, p, terms_of(observable)));
  });
}

PyObject* circuit_value_and_gradient(const PyCompiledCircuit& self, PyObject* params,
                                     Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = self.value;
  const Terms terms = terms_of(observable);
  return with_params(plan, params, [&]<class T>(Params<T> p) {
    return released(plan_work(plan, terms.size(), gradient_runs(plan)),
                    [&] { return sim::value_and_gradient<T>(plan, p, terms); });
  });
}

PyObject* circuit_value_and_gradient_buffer(const PyCompiledCircuit& self,
                                            Shared<PyParamBuffer> params,
                                            Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = self.value;
  return with_buffer(plan, *params, [&]<class T>(Params<T> p) {
    return to_python(sim::value_and_gradient<T>(plan, p, terms_of(observable)));
  });
}

// Samples like Circuit.sample; with a seed, from a generator of its own.
PyObject* circuit_sample(const PyCompiledCircuit& self, PyObject* params, std::uint64_t shots,
                         std::optional<std::uint64_t> seed) {
  const sim::CompiledCircuit& plan = self.value;
  // One run, then the table (one pass) and the draws, each counted as 16
  // amplitudes as in sim::measure; the larger part is close enough to the sum.
  const std::uint64_t work = std::max(plan_work(plan, 1), work_of(16, 0, shots));
  return with_params(plan, params, [&]<class T>(Params<T> p) {
    return released(work, [&] { return sim::sample<T>(plan, p, shots, seed); });
  });
}

PyObject* circuit_adjoint_value_and_gradient(const PyCompiledCircuit& self, PyObject* params,
                                             Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = self.value;
  const Terms terms = terms_of(observable);
  return with_params(plan, params, [&]<class T>(Params<T> p) {
    return released(plan_work(plan, terms.size(), kAdjointRuns),
                    [&] { return sim::adjoint_value_and_gradient<T>(plan, p, terms); });
  });
}

PyObject* circuit_adjoint_value_and_gradient_buffer(const PyCompiledCircuit& self,
                                                    Shared<PyParamBuffer> params,
                                                    Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = self.value;
  return with_buffer(plan, *params, [&]<class T>(Params<T> p) {
    return to_python(sim::adjoint_value_and_gradient<T>(plan, p, terms_of(observable)));
  });
}

PyObject* circuit_execution_context(const PyCompiledCircuit& self) {
  const sim::CompiledCircuit& plan = self.value;
  return at_precision(plan.precision(), [&]<class T>() -> PyObject* {
    Result<sim::ExecutionContextOf<T>> context = sim::execution_context<T>(plan);
    if (!context) return raise(context.error());
    return new_instance<PyExecutionContext>(std::move(*context));
  });
}

PyObject* circuit_param_buffer(const PyCompiledCircuit& self) {
  return new_param_buffer(self.value.parameter_count(), self.value.precision());
}

PyObject* circuit_param_batch_buffer(const PyCompiledCircuit& self, std::uint64_t batch_size) {
  return new_param_batch_buffer(batch_size, self.value.parameter_count(), self.value.precision());
}

PyObject* circuit_num_qubits(const PyCompiledCircuit& self) {
  return PyLong_FromUnsignedLongLong(self.value.num_qubits());
}

PyObject* circuit_parameter_count(const PyCompiledCircuit& self) {
  return PyLong_FromUnsignedLongLong(self.value.parameter_count());
}

PyObject* circuit_precision(const PyCompiledCircuit& self) {
  return PyUnicode_InternFromString(sim::precision_name(self.value.precision()));
}

// ---------------------------------------------------------------------------
// ExecutionContext. The context is borrowed exclusively for the whole call;
// a second thread reaching it while the lock is released is refused.

PyObject* context_statevector_plain(PyExecutionContext& self, Shared<PyCompiledCircuit> circuit,
                                    PyObject* params) {
  const sim::CompiledCircuit& plan = circuit->value;
  return with_context_params(self, plan, params, [&]<class T>(Params<T> p, auto& context) {
    return released(plan_work(plan, 0), [&] { return context_statevector(plan, p, context); });
  });
}

PyObject* context_statevector_buffer(PyExecutionContext& self, Shared<PyCompiledCircuit> circuit,
                                     Shared<PyParamBuffer> params) {
  const sim::CompiledCircuit& plan = circuit->value;
  return with_context_buffer(self, plan, *params, [&]<class T>(Params<T> p, auto& context) {
    return to_python(context_statevector(plan, p, context));
  });
}

PyObject* context_expectation_plain(PyExecutionContext& self, Shared<PyCompiledCircuit> circuit,
                                    PyObject* params, Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = circuit->value;
  const Terms terms = terms_of(observable);
  return with_context_params(self, plan, params, [&]<class T>(Params<T> p, auto& context) {
    return released(plan_work(plan, terms.size()),
                    [&] { return sim::expectation_with_context(plan, p, terms, context); });
  });
}

PyObject* context_expectation_buffer(PyExecutionContext& self, Shared<PyCompiledCircuit> circuit,
                                     Shared<PyParamBuffer> params,
                                     Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = circuit->value;
  return with_context_buffer(self, plan, *params, [&]<class T>(Params<T> p, auto& context) {
    return to_python(sim::expectation_with_context(plan, p, terms_of(observable), context));
  });
}

PyObject* context_gradient_plain(PyExecutionContext& self, Shared<PyCompiledCircuit> circuit,
                                 PyObject* params, Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = circuit->value;
  const Terms terms = terms_of(observable);
  return with_context_params(self, plan, params, [&]<class T>(Params<T> p, auto& context) {
    return released(plan_work(plan, terms.size(), gradient_runs(plan)),
                    [&] { return sim::gradient_with_context(plan, p, terms, context); });
  });
}

PyObject* context_gradient_buffer(PyExecutionContext& self, Shared<PyCompiledCircuit> circuit,
                                  Shared<PyParamBuffer> params, Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = circuit->value;
  return with_context_buffer(self, plan, *params, [&]<class T>(Params<T> p, auto& context) {
    return to_python(sim::gradient_with_context(plan, p, terms_of(observable), context));
  });
}

PyObject* context_value_and_gradient_plain(PyExecutionContext& self,
                                           Shared<PyCompiledCircuit> circuit, PyObject* params,
                                           Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = circuit->value;
  const Terms terms = terms_of(observable);
  return with_context_params(self, plan, params, [&]<class T>(Params<T> p, auto& context) {
    return released(plan_work(plan, terms.size(), gradient_runs(plan)),
                    [&] { return sim::value_and_gradient_with_context(plan, p, terms, context); });
  });
}

PyObject* context_value_and_gradient_buffer(PyExecutionContext& self,
                                            Shared<PyCompiledCircuit> circuit,
                                            Shared<PyParamBuffer> params,
                                            Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = circuit->value;
  return with_context_buffer(self, plan, *params, [&]<class T>(Params<T> p, auto& context) {
    return to_python(
        sim::value_and_gradient_with_context(plan, p, terms_of(observable), context));
  });
}

PyObject* circuit_draw(const PyCompiledCircuit& self, std::uint64_t fold, bool ascii,
                       std::string output) {
  return draw_diagram(fold, ascii, output, true, [&](const sim::DiagramOptions& options) {
    return sim::draw(self.value, options);
  });
}

PyObject* context_adjoint_value_and_gradient_plain(PyExecutionContext& self,
                                                   Shared<PyCompiledCircuit> circuit,
                                                   PyObject* params,
                                                   Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = circuit->value;
  const Terms terms = terms_of(observable);
  return with_context_params(self, plan, params, [&]<class T>(Params<T> p, auto& context) {
    return released(plan_work(plan, terms.size(), kAdjointRuns), [&] {
      return sim::adjoint_value_and_gradient_with_context(plan, p, terms, context);
    });
  });
}

PyObject* context_adjoint_value_and_gradient_buffer(PyExecutionContext& self,
                                                    Shared<PyCompiledCircuit> circuit,
                                                    Shared<PyParamBuffer> params,
                                                    Shared<PyObservable> observable) {
  const sim::CompiledCircuit& plan = circuit->value;
  return with_context_buffer(self, plan, *params, [&]<class T>(Params<T> p, auto& context) {
    return to_python(
        sim::adjoint_value_and_gradient_with_context(plan, p, terms_of(observable), context));
  });
}

constexpr const char* kAdjointDoc =
    "Return the expectation value and its gradient by adjoint differentiation.";
constexpr const char* kAdjointBufferDoc =
    "Return the expectation value and its gradient by adjoint differentiation, reading the "
    "parameters from a ParamBuffer.";

}  // namespace

PyTypeObject* PyCompiledCircuit::type_object() {
  static PyTypeObject* type = []() -> PyTypeObject* {
    static std::vector<PyMethodDef> methods = {
        method<circuit_statevector>("statevector", {"params"}),
        method<circuit_statevector_buffer>("statevector_buffer", {"params"}),
        method<circuit_expectation>("expectation", {"params", "observable"}),
        method<circuit_expectation_buffer>("expectation_buffer", {"params", "observable"}),
        method<circuit_gradient>("gradient", {"params", "observable"}),
        method<circuit_gradient_buffer>("gradient_buffer", {"params", "observable"}),
        method<circuit_value_and_gradient>("value_and_gradient", {"params", "observable"}),
        method<circuit_value_and_gradient_buffer>("value_and_gradient_buffer",
                                                  {"params", "observable"}),
        method<circuit_sample>(
            "sample", {"params", "shots", {"seed", "None"}},
            "Run the plan once and draw shots basis-state indices from the final state; a seed "
            "makes the draws, and the plan's measurements, the same on every run."),
        method<circuit_adjoint_value_and_gradient>("adjoint_value_and_gradient",
                                                   {"params", "observable"}, kAdjointDoc),
        method<circuit_adjoint_value_and_gradient_buffer>(
            "adjoint_value_and_gradient_buffer", {"params", "observable"}, kAdjointBufferDoc),
        method<circuit_execution_context>("execution_context"),
        method<circuit_param_buffer>(
            "param_buffer", {}, "Allocate a reusable parameter buffer backed by a NumPy array."),
        method<circuit_param_batch_buffer>(
            "param_batch_buffer", {"batch_size"},
            "Allocate a reusable parameter batch buffer backed by a NumPy array."),
        draw_method<circuit_draw>(
            "Draw the plan after fusion (fused gates as U) as text, or as SVG with "
            "output='svg'; a custom unitary marks its targets U0, U1, ... in the order given."),
    };
    for (const PyMethodDef* m = compiled_noise_methods(); m->ml_name != nullptr; ++m)
      methods.push_back(*m);
    for (PyMethodDef* m = compiled_batch_methods(); m->ml_name != nullptr; ++m)
      methods.push_back(*m);
    for (PyMethodDef* m = compiled_outcome_methods(); m->ml_name != nullptr; ++m)
      methods.push_back(*m);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    static PyGetSetDef getset[] = {
        getter<circuit_num_qubits>("num_qubits", "Number of qubits in the compiled circuit."),
        getter<circuit_parameter_count>(
            "parameter_count", "Number of parameters expected in each bound parameter vector."),
        getter<circuit_precision>(
            "precision",
            "The arithmetic of the plan's runs, 'single' or 'double', chosen by compile()."),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    if (PyErr_Occurred()) return nullptr;
    return create_class(
        {kName, "Reusable compiled execution plan for repeated parameterized circuit evaluation.",
         sizeof(PyCompiledCircuit), dealloc_instance<PyCompiledCircuit>, nullptr, methods.data(),
         getset, nullptr, pickling_methods<PyCompiledCircuit>()});
  }();
  return type;
}

PyTypeObject* PyExecutionContext::type_object() {
  static PyTypeObject* type = []() -> PyTypeObject* {
    static std::vector<PyMethodDef> methods = {
        method<context_statevector_plain>("statevector", {"circuit", "params"}),
        method<context_statevector_buffer>("statevector_buffer", {"circuit", "params"}),
        method<context_expectation_plain>("expectation", {"circuit", "params", "observable"}),
        method<context_expectation_buffer>("expectation_buffer",
                                           {"circuit", "params", "observable"}),
        method<context_gradient_plain>("gradient", {"circuit", "params", "observable"}),
        method<context_gradient_buffer>("gradient_buffer", {"circuit", "params", "observable"}),
        method<context_value_and_gradient_plain>("value_and_gradient",
                                                 {"circuit", "params", "observable"}),
        method<context_value_and_gradient_buffer>("value_and_gradient_buffer",
                                                  {"circuit", "params", "observable"}),
        method<context_adjoint_value_and_gradient_plain>(
            "adjoint_value_and_gradient", {"circuit", "params", "observable"}, kAdjointDoc),
        method<context_adjoint_value_and_gradient_buffer>(
            "adjoint_value_and_gradient_buffer", {"circuit", "params", "observable"},
            kAdjointBufferDoc),
    };
    for (PyMethodDef* m = context_outcome_methods(); m->ml_name != nullptr; ++m)
      methods.push_back(*m);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    if (PyErr_Occurred()) return nullptr;
    return create_class(
        {kName, "Reusable execution buffer for repeated scalar compiled-circuit calls.",
         sizeof(PyExecutionContext), dealloc_instance<PyExecutionContext>, nullptr, methods.data(),
         nullptr, nullptr, pickling_methods<PyExecutionContext>()});
  }();
  return type;
}

}  // namespace vantrel::lib

// The module: initialisation, registration of the classes in their fixed
// order, set_num_threads and __version__.
#define VANTREL_NUMPY_IMPORT
#include "lib/numpy_api.h"

#include <cstdint>

#include "lib/args.h"
#include "lib/buffers.h"
#include "lib/circuit.h"
#include "lib/circuit_spec.h"
#include "lib/compiled.h"
#include "lib/errors.h"
#include "lib/gate.h"
#include "lib/interrupt.h"
#include "lib/observable.h"
#include "lib/py.h"
#include "sim/base/pool.h"

#ifndef VANTREL_VERSION
#error "VANTREL_VERSION is defined by the build from the project's version"
#endif

namespace vantrel::lib {
namespace {

PyObject* set_num_threads(std::uint64_t num_threads) {
  if (num_threads == 0) return raise_value_error("number of threads must be greater than 0");
  // The interpreter lock stays held: the pool's workers never need it.
  sim::Status status = sim::init_global_pool(static_cast<std::size_t>(num_threads));
  if (!status) {
    PyErr_Format(PyExc_RuntimeError, "failed to set number of threads: %s",
                 status.error().message.c_str());
    return nullptr;
  }
  Py_RETURN_NONE;
}

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type_object)();
};

// The classes in registration order: Gate, Parameter, Observable,
// CompiledCircuit, ParamBuffer, ParamBatchBuffer, ExecutionContext,
// CircuitSpec, Circuit. Each class joins the list when it is built.
constexpr ClassEntry kClasses[] = {
    {"Gate", PyGate::type_object},
    {"Parameter", PyParameter::type_object},
    {"Observable", PyObservable::type_object},
    {"CompiledCircuit", PyCompiledCircuit::type_object},
    {"ParamBuffer", PyParamBuffer::type_object},
    {"ParamBatchBuffer", PyParamBatchBuffer::type_object},
    {"ExecutionContext", PyExecutionContext::type_object},
    {"CircuitSpec", PyCircuitSpec::type_object},
    {"Circuit", PyCircuit::type_object},
    {nullptr, nullptr},  // end
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantrel",
    "",       // no module documentation
    -1,       // single-phase initialisation, no per-module state
    nullptr,  // functions are added after the classes
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool add_object(PyObject* module, const char* name, PyObject* value) {
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {  // steals only on success
    Py_DECREF(value);
    return false;
  }
  return true;
}

PyObject* init_module() {
  if (_import_array() < 0) return nullptr;
  if (!detail::record_signal_thread()) return nullptr;
  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  for (const ClassEntry& entry : kClasses) {
    if (entry.name == nullptr) break;
    PyTypeObject* type = entry.type_object();
    if (type == nullptr) return nullptr;
    if (!add_object(module.get(), entry.name, reinterpret_cast<PyObject*>(type))) return nullptr;
  }
  static PyMethodDef functions[] = {
      function<set_num_threads>("set_num_threads", {"num_threads"},
                                "Set the number of threads of the global worker pool."),
      {nullptr, nullptr, 0, nullptr},
  };
  if (PyErr_Occurred()) return nullptr;
  if (PyModule_AddFunctions(module.get(), functions) < 0) return nullptr;
  // A dunder attribute: the public names stay the classes and the function.
  if (PyModule_AddStringConstant(module.get(), "__version__", VANTREL_VERSION) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace vantrel::lib

PyMODINIT_FUNC PyInit_vantrel() {
  // Type objects, the worker pool and the error class are process-wide, so
  // the module cannot be initialised a second time (a sub-interpreter).
  static bool initialised = false;
  if (initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "vantrel may only be initialised once per interpreter process");
    return nullptr;
  }
  PyObject* module =
      vantrel::lib::guarded<PyObject*>([] { return vantrel::lib::init_module(); }, nullptr);
  if (module != nullptr) initialised = true;
  return module;
}

#include "lib/pickling.h"

#include <utility>

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
#include "sim/io/serialize.h"

namespace vantrel::lib {
namespace {

// The decoder of each value class's engine value (none for the others).
constexpr auto decoder(const PyGate*) { return &sim::decode_gate; }
constexpr auto decoder(const PyCircuit*) { return &sim::decode_circuit; }
constexpr auto decoder(const PyObservable*) { return &sim::decode_observable; }
constexpr auto decoder(const PyParameter*) { return &sim::decode_parameter; }
constexpr auto decoder(const PyCircuitSpec*) { return &sim::decode_circuit_spec; }
constexpr auto decoder(const PyCompiledCircuit*) { return &sim::decode_compiled_circuit; }

template <class T>
PyObject* reduce_value(const T& self) {
  sim::Result<sim::Bytes> payload = sim::encode(self.value);
  if (!payload) return raise(payload.error());
  PyRef bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload->data()),
                                        static_cast<Py_ssize_t>(payload->size())));
  if (!bytes) return nullptr;
  PyRef restore(PyObject_GetAttrString(reinterpret_cast<PyObject*>(T::type_object()),
                                       "_from_pickle"));
  if (!restore) return nullptr;
  return Py_BuildValue("(O(O))", restore.get(), bytes.get());
}

// Decoding work in the Interrupt's unit, about that of touching this many
// amplitudes per payload byte: small payloads decode unbound, long decodes
// (and the unitarity checks of large matrices) stop on Ctrl-C.
constexpr std::uint64_t kDecodeWorkPerByte = 64;

template <class T>
PyObject* restore_value(Payload payload) {
  auto value = call_holding_lock(work_of(payload.bytes.size(), 0, kDecodeWorkPerByte), [&] {
    return decoder(static_cast<const T*>(nullptr))(payload.bytes);
  });
  if (!value) return raise(value.error());
  return new_instance<T>(std::move(value).value());
}

template <class T>
PyObject* copy_value(const T& self) {
  return new_instance<T>(self.value);
}

// The memo is for objects that hold other Python objects; these hold none.
template <class T>
PyObject* deepcopy_value(const T& self, PyObject* /*memo*/) {
  return new_instance<T>(self.value);
}

template <class T>
const PyMethodDef* value_methods() {
  static PyMethodDef methods[] = {
      method<reduce_value<T>>("__reduce__", {}, "Return the state for pickling."),
      method<copy_value<T>>("__copy__", {}, "Return a copy that owns its own value."),
      method<deepcopy_value<T>>("__deepcopy__", {"memo"},
                                "Return a copy that owns its own value."),
      class_method<restore_value<T>>(
          "_from_pickle", {"state"},
          "Rebuild an instance from the state returned by __reduce__, validated first."),
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

const char* refusal(const PyExecutionContext*) {
  return "cannot pickle 'ExecutionContext' object: it is scratch state for runs in this "
         "process; pickle the CompiledCircuit and call its execution_context() where it is "
         "loaded";
}
const char* refusal(const PyParamBuffer*) {
  return "cannot pickle 'ParamBuffer' object: it shares its NumPy array with this process; "
         "pickle the array from numpy(), or the CompiledCircuit and call its param_buffer() "
         "where it is loaded";
}
const char* refusal(const PyParamBatchBuffer*) {
  return "cannot pickle 'ParamBatchBuffer' object: it shares its NumPy array with this "
         "process; pickle the array from numpy(), or the CompiledCircuit and call its "
         "param_batch_buffer(batch_size) where it is loaded";
}

template <class T>
PyObject* refuse_reduce(const T& self) {
  return raise_type_error(refusal(&self));
}

template <class T>
const PyMethodDef* refusing_methods() {
  static PyMethodDef methods[] = {
      method<refuse_reduce<T>>("__reduce__", {}, "Refuse pickling and copying: see the message."),
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

}  // namespace

template <class T>
const PyMethodDef* pickling_methods() {
  if constexpr (requires(const T* t) { decoder(t); })
    return value_methods<T>();
  else
    return refusing_methods<T>();
}

template const PyMethodDef* pickling_methods<PyGate>();
template const PyMethodDef* pickling_methods<PyCircuit>();
template const PyMethodDef* pickling_methods<PyObservable>();
template const PyMethodDef* pickling_methods<PyParameter>();
template const PyMethodDef* pickling_methods<PyCircuitSpec>();
template const PyMethodDef* pickling_methods<PyCompiledCircuit>();
template const PyMethodDef* pickling_methods<PyExecutionContext>();
template const PyMethodDef* pickling_methods<PyParamBuffer>();
template const PyMethodDef* pickling_methods<PyParamBatchBuffer>();

}  // namespace vantrel::lib

#include "lib/errors.h"

namespace vantrel::lib {

PyObject* internal_error_type() {
  // Created once with the interpreter lock held and kept for the process.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "vantrel.InternalError",
        "A broken internal invariant of the simulation engine.", PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_internal(const char* message) {
  PyObject* type = internal_error_type();
  if (type == nullptr) return nullptr;
  PyErr_SetString(type, message);
  return nullptr;
}

PyObject* raise(const sim::Error& error) {
  switch (error.kind) {
    case sim::ErrorKind::kInvalid:
      PyErr_SetString(PyExc_ValueError, error.message.c_str());
      return nullptr;
    case sim::ErrorKind::kInternal:
      return raise_internal(error.message.c_str());
    case sim::ErrorKind::kOutOfMemory:
      return PyErr_NoMemory();
  }
  return raise_internal(error.message.c_str());
}

PyObject* raise_type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return nullptr;
}

PyObject* raise_value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return nullptr;
}

}  // namespace vantrel::lib

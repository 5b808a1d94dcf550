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
      PyErr_SetString(PyExc_MemoryError,
                      error.message.empty() ? kAllocationFailed : error.message.c_str());
      return nullptr;
    case sim::ErrorKind::kInterrupted:
      // The signal handler's exception that stopped the call (interrupt.h).
      if (PyErr_Occurred()) return nullptr;
      return raise_internal("an engine call was interrupted without a pending exception");
  }
  return raise_internal(error.message.c_str());
}

PyObject* raise_memory_error(const std::string& what, unsigned __int128 bytes) {
  return raise(sim::allocation_failure(what, bytes));
}

void name_memory_error() {
  if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* value = PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
#endif
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  const bool empty = text == nullptr || PyUnicode_GetLength(text) == 0;
  Py_XDECREF(text);
  if (!empty) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);  // steals `value`
#else
    PyErr_Restore(type, value, traceback);  // steals all three
#endif
    return;
  }
  PyErr_Clear();  // from a failed PyObject_Str
#if PY_VERSION_HEX < 0x030C0000
  Py_XDECREF(type);
  Py_XDECREF(traceback);
#endif
  Py_XDECREF(value);
  PyErr_SetString(PyExc_MemoryError, kAllocationFailed);
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

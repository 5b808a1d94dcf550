#include "lib/py.h"

#include "lib/errors.h"

namespace vantrel::lib {

const char* type_short_name(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = nullptr;
  for (const char* p = name; *p; ++p)
    if (*p == '.') dot = p;
  return dot ? dot + 1 : name;
}

PyObject* sample_list(const std::vector<std::uint64_t>& values) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError))
      return raise_memory_error("a list of " + sim::dec(values.size()) + " samples",
                                values.size() * sizeof(PyObject*));
    return nullptr;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(values[i]);
    if (v == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);  // steals `v`
  }
  return list.release();
}

PyObject* counts_dict(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& counts) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [value, count] : counts) {
    PyRef key(PyLong_FromUnsignedLongLong(value));
    if (!key) return nullptr;
    PyRef n(PyLong_FromUnsignedLongLong(count));
    if (!n || PyDict_SetItem(dict.get(), key.get(), n.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace vantrel::lib

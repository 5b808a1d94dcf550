// Small ownership helpers over the CPython API.
//
// Conventions of the module: functions that build Python values return a new
// reference or NULL with an exception set; functions that only report success
// return bool (false with an exception set). Owned references are held in
// PyRef so that every path releases them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace vantrel::lib {

// An owned (strong) reference; releases it when destroyed.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be NULL).
  explicit PyRef(PyObject* owned) : p_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(o.release()) {}
  PyRef& operator=(PyRef&& o) noexcept {
    reset(o.release());
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }
  void reset(PyObject* owned = nullptr) {
    PyObject* old = std::exchange(p_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* p_ = nullptr;
};

// The short name of an object's type ("ndarray" for numpy.ndarray), as the
// module's conversion messages show it.
const char* type_short_name(PyObject* obj);

// Samples of basis states as a list of Python ints, in order. A list that
// cannot be allocated raises MemoryError saying so.
PyObject* sample_list(const std::vector<std::uint64_t>& values);

// Distinct samples with their counts, in increasing order of the sample, as
// a dict {sample: count} built in that order.
PyObject* counts_dict(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& counts);

}  // namespace vantrel::lib

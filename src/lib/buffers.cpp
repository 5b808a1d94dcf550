#include "lib/buffers.h"

#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "lib/args.h"
#include "lib/arrays.h"
#include "lib/errors.h"
#include "lib/pickling.h"

namespace vantrel::lib {
namespace {

PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

bool contiguous_with_data(PyArrayObject* a) {
  return (PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a)) && PyArray_DATA(a) != nullptr;
}

// Whether a buffer's array is still what the module made: native, aligned,
// row-major float32 (float64 for T = double). Python code can re-type it in
// place (`a.dtype = '>f4'`, `a.dtype = np.int32`) or re-stride it to
// column-major (`a.strides = ...`) without changing the object the buffer
// holds; reading such an array as native rows would give wrong values without
// an error. A handful of loads and compares: the 4-qubit buffer path does not
// notice them.
template <class T>
bool still_native(PyArrayObject* a) {
  constexpr int kLayout = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED;
  return (PyArray_FLAGS(a) & kLayout) == kLayout && PyArray_TYPE(a) == NumpyTypes<T>::kReal &&
         PyArray_ISNOTSWAPPED(a);
}

// The values of a buffer's array (checked by still_native<T>).
template <class T>
std::span<const T> values_view(PyArrayObject* a) {
  return {static_cast<const T*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_SIZE(a))};
}

// Zero-filled float32 array (float64 for a double buffer) of the given shape;
// MemoryError, not NumPy's ValueError, when the bytes of one dimension
// (NumPy's own limit, also for empty arrays) or of the whole array do not fit
// the address space.
template <class T>
PyObject* zero_values(std::initializer_list<std::uint64_t> dims) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<npy_intp>::max());
  // `bytes`: of the whole array, or of the one dimension that is too long.
  const auto too_large = [&](unsigned __int128 bytes) {
    std::string shape;
    for (std::uint64_t d : dims) {
      shape += shape.empty() ? "(" : ", ";
      shape += std::to_string(d);
    }
    return raise_memory_error(std::string("a ") + NumpyTypes<T>::kRealName + " array of shape " +
                                  shape + (dims.size() == 1 ? ",)" : ")"),
                              bytes);
  };
  bool empty = false;
  for (std::uint64_t d : dims) {
    if (d > kMax / sizeof(T)) return too_large(static_cast<unsigned __int128>(d) * sizeof(T));
    empty = empty || d == 0;
  }
  std::uint64_t bytes = sizeof(T);
  for (std::uint64_t d : dims) {
    if (empty) break;
    if (bytes > kMax / d) {
      unsigned __int128 total = sizeof(T);
      for (std::uint64_t e : dims) total *= e;
      return too_large(total);
    }
    bytes *= d;
  }
  constexpr int kType = NumpyTypes<T>::kReal;
  if (dims.size() == 1) return zeros_array(kType, {static_cast<npy_intp>(*dims.begin())});
  return zeros_array(kType, {static_cast<npy_intp>(dims.begin()[0]),
                             static_cast<npy_intp>(dims.begin()[1])});
}

// numpy.ascontiguousarray(obj, numpy.float32) (numpy.float64 for T =
// double), or obj itself when it already is what that call would return (a
// native, aligned, row-major ndarray of that type, not a subclass, of the
// wanted rank): the common path then makes no Python call.
template <class T>
PyRef contiguous_values(PyObject* obj, int ndim) {
  if (PyArray_CheckExact(obj)) {
    PyArrayObject* a = as_array(obj);
    if (PyArray_NDIM(a) == ndim && PyArray_TYPE(a) == NumpyTypes<T>::kReal &&
        PyArray_ISNOTSWAPPED(a) && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a))
      return PyRef::borrow(obj);
  }
  const NumpyNames* np = numpy_names();
  if (np == nullptr) return PyRef();
  PyObject* args[2] = {obj, std::is_same_v<T, double> ? np->float64 : np->float32};
  return PyRef(PyObject_Vectorcall(np->ascontiguousarray, args, 2, nullptr));
}

// TypeError "params must be convertible to a 1D numpy float32 array"
// (float64 for T = double), `name` and `ndim` filled in; returns NULL.
template <class T>
PyArrayObject* rank_error(const char* name, int ndim) {
  PyErr_Format(PyExc_TypeError, "%s must be convertible to a %dD numpy %s array", name, ndim,
               NumpyTypes<T>::kRealName);
  return nullptr;
}

// The converted array of the argument `name`, checked for rank, type and
// layout; messages are formatted only on failure.
template <class T>
PyArrayObject* checked_array(const PyRef& converted, int ndim, const char* name) {
  PyObject* obj = converted.get();
  // Byte order counts: a swapped float32 array is not float32 to the engine.
  if (!PyArray_Check(obj) || PyArray_NDIM(as_array(obj)) != ndim ||
      !PyArray_EquivTypenums(PyArray_TYPE(as_array(obj)), NumpyTypes<T>::kReal) ||
      !PyArray_ISNOTSWAPPED(as_array(obj)))
    return rank_error<T>(name, ndim);
  if (!contiguous_with_data(as_array(obj))) {
    PyErr_Format(PyExc_ValueError, "%s must be stored contiguously in memory", name);
    return nullptr;
  }
  return as_array(obj);
}

// Byte copy: a contiguous array NumPy hands back may still be unaligned (a
// view at an odd offset into a bytes object).
template <class T>
void copy_values(PyArrayObject* a, std::vector<T>& out) {
  out.resize(static_cast<std::size_t>(PyArray_SIZE(a)));
  if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(a), out.size() * sizeof(T));
}

// The rows of a two-dimensional array, row after row. ascontiguousarray
// returns row-major arrays, but the conversion is looked up on the numpy
// module and may have been replaced: a column-major result is read by column
// and its values are put back in row order.
template <class T>
void copy_rows(PyArrayObject* a, std::vector<T>& out) {
  const auto rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
  const auto cols = static_cast<std::size_t>(PyArray_DIM(a, 1));
  if (PyArray_IS_C_CONTIGUOUS(a) || rows < 2 || cols < 2) return copy_values(a, out);
  out.resize(rows * cols);
  const char* column = static_cast<const char*>(PyArray_DATA(a));
  for (std::size_t c = 0; c < cols; ++c)
    for (std::size_t r = 0; r < rows; ++r, column += sizeof(T))
      std::memcpy(&out[r * cols + c], column, sizeof(T));
}

// What the messages of buffer_view call a buffer: its class, its argument,
// the count checked against the plan.
struct BufferNames {
  const char* what;
  const char* buffer;
  const char* count_name;
};

// The checks every buffer read makes, in order: precision, count, layout,
// type.
template <class T>
bool buffer_view(const PyRef& array, sim::Precision precision, std::uint64_t count,
                 std::uint64_t expected, const BufferNames& names, std::span<const T>& out) {
  const auto [what, buffer, count_name] = names;
  if (precision != sim::precision_of<T>)
    return precision_mismatch(what, precision, sim::precision_of<T>);
  if (count != expected) {
    PyErr_Format(PyExc_ValueError, "%s has %s %llu, expected %llu", buffer, count_name,
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(expected));
    return false;
  }
  PyArrayObject* a = as_array(array.get());
  if (!contiguous_with_data(a)) {
    PyErr_Format(PyExc_ValueError, "%s must be stored contiguously in memory", buffer);
    return false;
  }
  if (!still_native<T>(a)) {
    PyErr_Format(PyExc_TypeError, "%s array is no longer contiguous native %s", what,
                 NumpyTypes<T>::kRealName);
    return false;
  }
  out = values_view<T>(a);
  return true;
}

// ---------------------------------------------------------------------------
// The Python classes.

// The backing array itself, as a new reference (the same object every call).
PyObject* shared_array(const PyRef& array) {
  Py_INCREF(array.get());
  return array.get();
}

PyObject* param_buffer_numpy(const PyParamBuffer& self) { return shared_array(self.value.array); }

PyObject* param_buffer_size(const PyParamBuffer& self) {
  return PyLong_FromUnsignedLongLong(self.value.size);
}

PyObject* param_batch_buffer_numpy(const PyParamBatchBuffer& self) {
  return shared_array(self.value.array);
}

PyObject* param_batch_buffer_batch_size(const PyParamBatchBuffer& self) {
  return PyLong_FromUnsignedLongLong(self.value.batch_size);
}

PyObject* param_batch_buffer_parameter_count(const PyParamBatchBuffer& self) {
  return PyLong_FromUnsignedLongLong(self.value.parameter_count);
}

}  // namespace

PyTypeObject* PyParamBuffer::type_object() {
  static PyTypeObject* type = [] {
    static PyMethodDef methods[] = {
        method<param_buffer_numpy>("numpy", {},
                                   "Return the writable NumPy array backing this buffer."),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        getter<param_buffer_size>("size", "Number of parameters stored in the buffer."),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    if (PyErr_Occurred()) return static_cast<PyTypeObject*>(nullptr);
    return create_class(
        {kName, "Reusable parameter buffer for zero-copy compiled scalar execution.",
         sizeof(PyParamBuffer), dealloc_instance<PyParamBuffer>, nullptr, methods, getset,
         nullptr, pickling_methods<PyParamBuffer>()});
  }();
  return type;
}

PyTypeObject* PyParamBatchBuffer::type_object() {
  static PyTypeObject* type = [] {
    static PyMethodDef methods[] = {
        method<param_batch_buffer_numpy>(
            "numpy", {}, "Return the writable NumPy array backing this batch buffer."),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        getter<param_batch_buffer_batch_size>(
            "batch_size", "Number of parameter vectors stored in the batch buffer."),
        getter<param_batch_buffer_parameter_count>(
            "parameter_count", "Number of parameters in each row of the batch buffer."),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    if (PyErr_Occurred()) return static_cast<PyTypeObject*>(nullptr);
    return create_class(
        {kName, "Reusable parameter batch buffer for zero-copy compiled batch execution.",
         sizeof(PyParamBatchBuffer), dealloc_instance<PyParamBatchBuffer>, nullptr, methods,
         getset, nullptr, pickling_methods<PyParamBatchBuffer>()});
  }();
  return type;
}

PyObject* new_param_buffer(std::uint64_t size, sim::Precision precision) {
  PyRef array(precision == sim::Precision::kDouble ? zero_values<double>({size})
                                                   : zero_values<float>({size}));
  if (!array) return nullptr;
  return new_instance<PyParamBuffer>(ParamBufferValue{std::move(array), size, precision});
}

PyObject* new_param_batch_buffer(std::uint64_t batch_size, std::uint64_t parameter_count,
                                 sim::Precision precision) {
  PyRef array(precision == sim::Precision::kDouble
                  ? zero_values<double>({batch_size, parameter_count})
                  : zero_values<float>({batch_size, parameter_count}));
  if (!array) return nullptr;
  return new_instance<PyParamBatchBuffer>(
      ParamBatchBufferValue{std::move(array), batch_size, parameter_count, precision});
}

template <class T>
bool params_from_python(PyObject* params, std::vector<T>& out) {
  // NumPy would take None for a NaN.
  if (params == Py_None) return rank_error<T>("params", 1) != nullptr;
  PyRef converted = contiguous_values<T>(params, 1);
  if (!converted) return false;
  PyArrayObject* a = checked_array<T>(converted, 1, "params");
  if (a == nullptr) return false;
  copy_values(a, out);
  return true;
}

template <class T>
bool params_batch_from_python(PyObject* params_batch, ParamBatchOf<T>& out) {
  PyRef converted = contiguous_values<T>(params_batch, 2);
  if (!converted) return false;
  PyArrayObject* a = checked_array<T>(converted, 2, "params_batch");
  if (a == nullptr) return false;
  copy_rows(a, out.data);
  out.rows = static_cast<std::uint64_t>(PyArray_DIM(a, 0));
  out.cols = static_cast<std::uint64_t>(PyArray_DIM(a, 1));
  return true;
}

bool validate_param_width(std::uint64_t width, std::uint64_t expected) {
  if (width == expected) return true;
  PyErr_Format(PyExc_ValueError, "%s has width %llu, expected %llu", "params_batch",
               static_cast<unsigned long long>(width), static_cast<unsigned long long>(expected));
  return false;
}

template <class T>
bool param_buffer_slice(const PyParamBuffer& buffer, std::uint64_t expected,
                        std::span<const T>& out) {
  const ParamBufferValue& v = buffer.value;
  return buffer_view(v.array, v.precision, v.size, expected,
                     {PyParamBuffer::kName, "param_buffer", "length"}, out);
}

template <class T>
bool param_batch_buffer_slice(const PyParamBatchBuffer& buffer, std::uint64_t expected,
                              std::span<const T>& out) {
  const ParamBatchBufferValue& v = buffer.value;
  return buffer_view(v.array, v.precision, v.parameter_count, expected,
                     {PyParamBatchBuffer::kName, "param_batch_buffer", "width"}, out);
}

bool precision_mismatch(const char* what, sim::Precision have, sim::Precision plan) {
  PyErr_Format(PyExc_TypeError, "%s is %s precision, but the CompiledCircuit is %s precision",
               what, sim::precision_name(have), sim::precision_name(plan));
  return false;
}

template <class T>
PyObject* gradients_into_pyarray(std::vector<std::vector<T>>&& gradients, std::uint64_t rows,
                                 std::uint64_t cols) {
  std::vector<std::vector<T>> owned = std::move(gradients);
  if (rows == 0 || cols == 0 || owned.empty()) return zero_values<T>({rows, cols});
  const std::size_t width = owned.front().size();
  for (const std::vector<T>& row : owned) {
    if (row.size() != width) {
      const std::string message = "failed to build gradient array: invalid length: " +
                                  std::to_string(row.size()) + ", but expected " +
                                  std::to_string(width);
      return raise_value_error(message.c_str());
    }
  }
  npy_intp dims[2] = {static_cast<npy_intp>(owned.size()), static_cast<npy_intp>(width)};
  PyObject* array = PyArray_SimpleNew(2, dims, NumpyTypes<T>::kReal);
  if (array == nullptr) return nullptr;
  auto* out = static_cast<T*>(PyArray_DATA(as_array(array)));
  for (const std::vector<T>& row : owned) {
    if (width != 0) std::memcpy(out, row.data(), width * sizeof(T));
    out += width;
  }
  return array;
}

template bool params_from_python(PyObject*, std::vector<float>&);
template bool params_from_python(PyObject*, std::vector<double>&);
template bool params_batch_from_python(PyObject*, ParamBatchOf<float>&);
template bool params_batch_from_python(PyObject*, ParamBatchOf<double>&);
template bool param_buffer_slice(const PyParamBuffer&, std::uint64_t, std::span<const float>&);
template bool param_buffer_slice(const PyParamBuffer&, std::uint64_t, std::span<const double>&);
template bool param_batch_buffer_slice(const PyParamBatchBuffer&, std::uint64_t,
                                       std::span<const float>&);
template bool param_batch_buffer_slice(const PyParamBatchBuffer&, std::uint64_t,
                                       std::span<const double>&);
template PyObject* gradients_into_pyarray(std::vector<std::vector<float>>&&, std::uint64_t,
                                          std::uint64_t);
template PyObject* gradients_into_pyarray(std::vector<std::vector<double>>&&, std::uint64_t,
                                          std::uint64_t);

}  // namespace vantrel::lib

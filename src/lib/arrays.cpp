#include "lib/arrays.h"

#include <cstdlib>
#include <memory>

#include "lib/py.h"

namespace vantrel::lib {
namespace {

constexpr const char* kBufferCapsule = "vantrel.buffer";
constexpr const char* kVectorCapsule = "vantrel.vector";

void free_buffer(PyObject* capsule) {
  std::free(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

template <class T>
void delete_vector(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kVectorCapsule));
}

// An array of `nd` dimensions over `data`, whose lifetime `owner` (a capsule,
// stolen) carries. Row-major, writable.
PyObject* array_over(int type, int nd, npy_intp* dims, void* data, PyObject* owner) {
  PyRef holder(owner);
  PyRef array(PyArray_New(&PyArray_Type, nd, dims, type, nullptr, data, 0, NPY_ARRAY_CARRAY,
                          nullptr));
  if (!array) return nullptr;
  // Steals the reference to the holder, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0)
    return nullptr;
  return array.release();
}

}  // namespace

namespace {

// An array of `type` shaped `dims` over a buffer from malloc/calloc, which
// it takes over (freed here on failure).
PyObject* array_from_buffer(int type, void* data, std::initializer_list<npy_intp> dims) {
  PyObject* capsule = PyCapsule_New(data, kBufferCapsule, free_buffer);
  if (capsule == nullptr) {
    std::free(data);
    return nullptr;
  }
  npy_intp shape[NPY_MAXDIMS];
  int nd = 0;
  for (npy_intp d : dims) shape[nd++] = d;
  return array_over(type, nd, shape, data, capsule);
}

}  // namespace

PyObject* complex_array_from_buffer(sim::Complex* data, std::size_t count) {
  return array_from_buffer(NPY_COMPLEX64, data, {static_cast<npy_intp>(count)});
}

PyObject* complex_array_from_buffer(sim::ComplexD* data, std::size_t count) {
  return array_from_buffer(NPY_COMPLEX128, data, {static_cast<npy_intp>(count)});
}

PyObject* double_array_from_buffer(double* data, std::size_t count) {
  return array_from_buffer(NPY_FLOAT64, data, {static_cast<npy_intp>(count)});
}

namespace {

template <class T>
constexpr int kTypeOf = 0;
template <>
constexpr int kTypeOf<float> = NPY_FLOAT32;
template <>
constexpr int kTypeOf<double> = NPY_FLOAT64;

template <class T>
PyObject* array_from_vector(std::vector<T>&& values, std::initializer_list<npy_intp> dims) {
  npy_intp shape[NPY_MAXDIMS];
  int nd = 0;
  if (dims.size() == 0) {
    shape[nd++] = static_cast<npy_intp>(values.size());
  } else {
    for (npy_intp d : dims) shape[nd++] = d;
  }
  if (values.empty()) {
    // No storage to take over; an empty array of the same shape.
    std::vector<T>().swap(values);
    npy_intp zero_dims[NPY_MAXDIMS];
    for (int i = 0; i < nd; ++i) zero_dims[i] = shape[i];
    PyArray_Descr* descr = PyArray_DescrFromType(kTypeOf<T>);
    // Steals the descriptor.
    return PyArray_Zeros(nd, zero_dims, descr, 0);
  }
  auto owned = std::make_unique<std::vector<T>>(std::move(values));
  void* data = owned->data();
  PyObject* capsule = PyCapsule_New(owned.get(), kVectorCapsule, delete_vector<T>);
  if (capsule == nullptr) return nullptr;  // `owned` frees the vector
  owned.release();                          // the capsule owns it now
  return array_over(kTypeOf<T>, nd, shape, data, capsule);
}

}  // namespace

PyObject* float_array_from_vector(std::vector<float>&& values,
                                  std::initializer_list<npy_intp> dims) {
  return array_from_vector(std::move(values), dims);
}

PyObject* double_array_from_vector(std::vector<double>&& values,
                                   std::initializer_list<npy_intp> dims) {
  return array_from_vector(std::move(values), dims);
}

PyObject* complex128_matrix_from_buffer(std::complex<double>* data, std::size_t dim) {
  return array_from_buffer(NPY_COMPLEX128, data,
                           {static_cast<npy_intp>(dim), static_cast<npy_intp>(dim)});
}

PyObject* zeros_array(int type, std::initializer_list<npy_intp> dims) {
  npy_intp shape[NPY_MAXDIMS];
  int nd = 0;
  for (npy_intp d : dims) shape[nd++] = d;
  PyArray_Descr* descr = PyArray_DescrFromType(type);
  if (descr == nullptr) return nullptr;
  // Steals the descriptor.
  return PyArray_Zeros(nd, shape, descr, 0);
}

const NumpyNames* numpy_names() {
  // Filled with the interpreter lock held; a failed lookup is retried on the
  // next call.
  static NumpyNames names{};
  if (names.complex128 != nullptr) return &names;
  PyRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  PyRef ascontiguousarray(PyObject_GetAttrString(numpy.get(), "ascontiguousarray"));
  if (!ascontiguousarray) return nullptr;
  PyRef float32(PyObject_GetAttrString(numpy.get(), "float32"));
  if (!float32) return nullptr;
  PyRef float64(PyObject_GetAttrString(numpy.get(), "float64"));
  if (!float64) return nullptr;
  PyRef complex64(PyObject_GetAttrString(numpy.get(), "complex64"));
  if (!complex64) return nullptr;
  PyRef complex128(PyObject_GetAttrString(numpy.get(), "complex128"));
  if (!complex128) return nullptr;
  names.ascontiguousarray = ascontiguousarray.release();
  names.float32 = float32.release();
  names.float64 = float64.release();
  names.complex64 = complex64.release();
  names.complex128 = complex128.release();
  return &names;
}

}  // namespace vantrel::lib

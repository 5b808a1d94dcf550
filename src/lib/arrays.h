// NumPy arrays over memory the engine hands over, and zero-filled arrays.
//
// Arrays that take over a buffer do not copy it: the array's base object is a
// capsule that owns the buffer and frees it when the array (and every view of
// it) is gone. The arrays are row-major, contiguous, writable, with the
// natural element stride (8 bytes for complex64, 4 for float32).
#pragma once

#include <complex>
#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

#include "lib/numpy_api.h"
#include "sim/base/complex.h"

namespace vantrel::lib {

// NumPy's types for the engine's scalar type T (float or double): the real
// type of parameters and results, the complex type of amplitudes.
template <class T>
struct NumpyTypes;
template <>
struct NumpyTypes<float> {
  static constexpr int kReal = NPY_FLOAT32;
  static constexpr int kComplex = NPY_COMPLEX64;
  static constexpr const char* kRealName = "float32";
};
template <>
struct NumpyTypes<double> {
  static constexpr int kReal = NPY_FLOAT64;
  static constexpr int kComplex = NPY_COMPLEX128;
  static constexpr const char* kRealName = "float64";
};

// A one-dimensional complex64 array of `count` elements over `data`, which
// came from malloc/calloc. Takes over `data` in every case: on failure it is
// freed and NULL is returned with an exception set.
PyObject* complex_array_from_buffer(sim::Complex* data, std::size_t count);
// The same as a complex128 array over double-precision amplitudes.
PyObject* complex_array_from_buffer(sim::ComplexD* data, std::size_t count);

// A float32 array over the vector's storage, taken over without copying,
// shaped as `dims` (whose product must equal values.size()), or one dimension
// of values.size() when `dims` is empty. NULL with an exception set on
// failure; the vector is released either way.
PyObject* float_array_from_vector(std::vector<float>&& values,
                                  std::initializer_list<npy_intp> dims = {});

// The same for a float64 array over a vector of doubles.
PyObject* double_array_from_vector(std::vector<double>&& values,
                                   std::initializer_list<npy_intp> dims = {});

// Either of the two above by the element type (results of float or double
// plans).
inline PyObject* real_array_from_vector(std::vector<float>&& values,
                                        std::initializer_list<npy_intp> dims = {}) {
  return float_array_from_vector(std::move(values), dims);
}
inline PyObject* real_array_from_vector(std::vector<double>&& values,
                                        std::initializer_list<npy_intp> dims = {}) {
  return double_array_from_vector(std::move(values), dims);
}

// A one-dimensional float64 array over `data` (`count` doubles from
// malloc/calloc), taken over in every case as by complex_array_from_buffer.
PyObject* double_array_from_buffer(double* data, std::size_t count);

// A (dim, dim) complex128 array over `data` (dim * dim entries from
// malloc/calloc), taken over in every case as by complex_array_from_buffer.
PyObject* complex128_matrix_from_buffer(std::complex<double>* data, std::size_t dim);

// A zero-filled row-major array of the NumPy type number `type`
// (NPY_FLOAT32, NPY_COMPLEX64, ...). NULL with an exception set on failure.
PyObject* zeros_array(int type, std::initializer_list<npy_intp> dims);

// Attributes of the numpy module used by conversions, looked up once and
// kept for the process (borrowed references).
struct NumpyNames {
  PyObject* ascontiguousarray;
  PyObject* float32;
  PyObject* float64;
  PyObject* complex64;
  PyObject* complex128;
};
// NULL with the import or lookup error set when numpy cannot provide them.
const NumpyNames* numpy_names();

}  // namespace vantrel::lib

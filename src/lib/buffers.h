// Parameters from Python: by-value conversions into owned vectors of the
// plan's scalar type (float for single-precision plans, double for double),
// and the NumPy-backed buffers the engine reads in place.
//
// Every function here runs with the interpreter lock held and reports
// failure by returning false (or NULL) with the Python exception set.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lib/numpy_api.h"
#include "lib/object.h"
#include "lib/py.h"
#include "sim/base/precision.h"

namespace vantrel::lib {

// A buffer's backing array, its precision and the counts fixed when it was
// made. The array is float32 (single) or float64 (double), row-major,
// zero-filled at creation and never replaced; the module only reads it
// afterwards.
//
// The buffer types hold this one Python reference and take no part in the
// garbage collector: no reference cycle can pass through them. The array is
// an exact numpy.ndarray made here, owning its memory, with no base object;
// an ndarray has no instance attributes, its base cannot be set from Python,
// and NumPy refuses to re-type numeric memory as object references
// ("Cannot change data-type for array of references"), so the array never
// refers to any object, let alone back to the buffer. tests/test_buffers.py
// checks these refusals.
struct ParamBufferValue {
  PyRef array;
  std::uint64_t size = 0;
  sim::Precision precision = sim::Precision::kSingle;
};

struct ParamBatchBufferValue {
  PyRef array;
  std::uint64_t batch_size = 0;
  std::uint64_t parameter_count = 0;
  sim::Precision precision = sim::Precision::kSingle;
};

struct PyParamBuffer : ObjectBase {
  static constexpr const char* kName = "ParamBuffer";
  static PyTypeObject* type_object();
  ParamBufferValue value;
};

struct PyParamBatchBuffer : ObjectBase {
  static constexpr const char* kName = "ParamBatchBuffer";
  static PyTypeObject* type_object();
  ParamBatchBufferValue value;
};

// New buffers of `precision` over zero-filled arrays of shape (size,) and
// (batch_size, parameter_count). MemoryError when NumPy cannot allocate the
// array.
PyObject* new_param_buffer(std::uint64_t size, sim::Precision precision);
PyObject* new_param_batch_buffer(std::uint64_t batch_size, std::uint64_t parameter_count,
                                 sim::Precision precision);

// A row-major batch of rows x cols values.
template <class T>
struct ParamBatchOf {
  std::vector<T> data;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
};

// numpy.ascontiguousarray(params, numpy.float32) (numpy.float64 for T =
// double), checked to be one dimensional, then copied; None is refused
// (TypeError) rather than read as [nan]. The length is left to the engine to
// check. T is float or double.
template <class T>
bool params_from_python(PyObject* params, std::vector<T>& out);
// The same for a two-dimensional batch.
template <class T>
bool params_batch_from_python(PyObject* params_batch, ParamBatchOf<T>& out);
// ValueError "params_batch has width {}, expected {}" unless they are equal.
bool validate_param_width(std::uint64_t width, std::uint64_t expected);

// Read-only views of a buffer's memory for a plan computing in T. Valid only
// while the buffer is borrowed and the interpreter lock is held: Python code
// may write to or resize the array whenever the lock is free. A buffer of the
// other precision is refused first (TypeError naming both precisions). After
// the size or width check and the contiguity check (ValueError), an array
// re-typed or re-strided in place since the module made it is refused with
// TypeError "ParamBuffer array is no longer contiguous native float32"
// (float64 for a double buffer; ParamBatchBuffer likewise).
template <class T>
bool param_buffer_slice(const PyParamBuffer& buffer, std::uint64_t expected,
                        std::span<const T>& out);
template <class T>
bool param_batch_buffer_slice(const PyParamBatchBuffer& buffer, std::uint64_t expected,
                              std::span<const T>& out);

// TypeError "{what} is {have} precision, but the CompiledCircuit is {plan}
// precision"; returns false.
bool precision_mismatch(const char* what, sim::Precision have, sim::Precision plan);

// A (rows, cols) float32 (T = float) or float64 (T = double) array holding
// one gradient per row; `gradients` is released in every case.
template <class T>
PyObject* gradients_into_pyarray(std::vector<std::vector<T>>&& gradients, std::uint64_t rows,
                                 std::uint64_t cols);

}  // namespace vantrel::lib

// Parameters from Python: by-value conversions into owned single-precision
// vectors, and the NumPy-backed buffers the engine reads in place.
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

namespace vantrel::lib {

// A buffer's backing array and the counts fixed when it was made. The array
// is float32, row-major, zero-filled at creation and never replaced; the
// module only reads it afterwards.
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
};

struct ParamBatchBufferValue {
  PyRef array;
  std::uint64_t batch_size = 0;
  std::uint64_t parameter_count = 0;
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

// New buffers over zero-filled arrays of shape (size,) and (batch_size,
// parameter_count). MemoryError when NumPy cannot allocate the array.
PyObject* new_param_buffer(std::uint64_t size);
PyObject* new_param_batch_buffer(std::uint64_t batch_size, std::uint64_t parameter_count);

// A row-major batch of rows x cols values.
struct ParamBatch {
  std::vector<float> data;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
};

// numpy.ascontiguousarray(params, numpy.float32), checked to be one
// dimensional, then copied; None is refused (TypeError) rather than read as
// [nan]. The length is left to the engine to check.
bool params_from_python(PyObject* params, std::vector<float>& out);
// The same for a two-dimensional batch.
bool params_batch_from_python(PyObject* params_batch, ParamBatch& out);
// ValueError "params_batch has width {}, expected {}" unless they are equal.
bool validate_param_width(std::uint64_t width, std::uint64_t expected);

// Read-only views of a buffer's memory. Valid only while the buffer is
// borrowed and the interpreter lock is held: Python code may write to or
// resize the array whenever the lock is free. After the size or width check
// and the contiguity check (ValueError), an array re-typed or re-strided in
// place since the module made it is refused with TypeError "ParamBuffer
// array is no longer contiguous native float32" (ParamBatchBuffer likewise).
bool param_buffer_slice(const PyParamBuffer& buffer, std::uint64_t expected,
                        std::span<const float>& out);
bool param_batch_buffer_slice(const PyParamBatchBuffer& buffer, std::uint64_t expected,
                              std::span<const float>& out);

// A (rows, cols) float32 array holding one gradient per row; `gradients` is
// released in every case.
PyObject* gradients_into_pyarray(std::vector<std::vector<float>>&& gradients, std::uint64_t rows,
                                 std::uint64_t cols);

}  // namespace vantrel::lib

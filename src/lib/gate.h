// The Python class Gate: one engine Gate, made by static constructors.
#pragma once

#include "lib/object.h"
#include "sim/model/operation.h"

#include <vector>

namespace vantrel::lib {

// The channel constructors (noise.cpp), null-terminated.
const PyMethodDef* gate_channel_methods();

// numpy.ascontiguousarray(matrix, numpy.complex128), then the checks of a
// square, contiguous, two-dimensional array; copies the entries in storage
// order, as given. False with an exception set on failure.
bool matrix_from_python(PyObject* matrix, std::vector<sim::ComplexD>& out);

struct PyGate : ObjectBase {
  static constexpr const char* kName = "Gate";
  static PyTypeObject* type_object();
  sim::Gate value;
};

}  // namespace vantrel::lib

// The Python class Circuit: one engine Circuit, run on fresh registers.
#pragma once

#include "lib/object.h"
#include "sim/run/circuit.h"

namespace vantrel::lib {

struct PyCircuit : ObjectBase {
  static constexpr const char* kName = "Circuit";
  static PyTypeObject* type_object();
  sim::Circuit value;
};

}  // namespace vantrel::lib

// The Python class Gate: one engine Gate, made by static constructors.
#pragma once

#include "lib/object.h"
#include "sim/model/operation.h"

namespace vantrel::lib {

struct PyGate : ObjectBase {
  static constexpr const char* kName = "Gate";
  static PyTypeObject* type_object();
  sim::Gate value;
};

}  // namespace vantrel::lib

// CircuitSpec, the builder of parameterized circuits, and Parameter, the
// handle of one registered parameter slot.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lib/object.h"
#include "sim/model/plan.h"
#include "sim/io/serialize.h"

namespace vantrel::lib {

struct PyCircuitSpec : ObjectBase {
  static constexpr const char* kName = "CircuitSpec";
  static PyTypeObject* type_object();
  sim::ParameterizedCircuitSpec value;
};

// A handle carries only its slot and a copy of its name; it is not linked to
// the spec that made it.
using ParameterValue = sim::ParameterHandle;

struct PyParameter : ObjectBase {
  static constexpr const char* kName = "Parameter";
  static PyTypeObject* type_object();
  ParameterValue value;
};

}  // namespace vantrel::lib

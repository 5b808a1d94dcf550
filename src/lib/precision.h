// The one branch on a computation's precision: everything after it is
// written once over the scalar type T.
#pragma once

#include <Python.h>

#include "sim/base/precision.h"

namespace vantrel::lib {

// f.template operator()<T>() for T the scalar type of `precision`: float for
// single, double for double.
template <class F>
PyObject* at_precision(sim::Precision precision, F&& f) {
  if (precision == sim::Precision::kDouble) return f.template operator()<double>();
  return f.template operator()<float>();
}

}  // namespace vantrel::lib

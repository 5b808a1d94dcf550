// The Python class Observable: one engine Observable, made by static
// factories. Immutable once made.
#pragma once

#include <span>

#include "lib/object.h"
#include "sim/observable.h"

namespace vantrel::lib {

struct PyObservable : ObjectBase {
  static constexpr const char* kName = "Observable";
  static PyTypeObject* type_object();
  sim::Observable value;
};

// The observable's terms, read in place (no copy). Valid while the object is
// alive: an observable is immutable, so callers that release the interpreter
// lock keep a reference to the object (and a shared borrow) for the call.
inline std::span<const sim::PauliTerm> observable_terms(const PyObservable& obs) {
  return obs.value.terms();
}

}  // namespace vantrel::lib

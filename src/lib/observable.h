// The Python class Observable: one engine Observable, made by static
// factories. Immutable once made.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "lib/object.h"
#include "sim/model/observable.h"

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

// One label of a Pauli string as Observable.pauli_string takes it: one byte,
// X, Y or Z in either case, or with `allow_identity` also I (giving an empty
// label). Anything else raises ValueError "unsupported Pauli label '{}';
// expected X, Y, or Z" ("expected I, X, Y, or Z" with `allow_identity`), the
// label shown whole, and returns false.
bool pauli_label_from_text(const std::string& text, bool allow_identity,
                           std::optional<sim::PauliLabel>& out);

}  // namespace vantrel::lib

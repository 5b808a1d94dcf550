// The Python class Observable: one engine Observable, made by static
// factories. Immutable once made.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lib/args.h"
#include "lib/object.h"
#include "lib/py.h"
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
// A sequence of Observable instances as one argument: the items held in a
// tuple of their own (so that no Python code can change the list while the
// interpreter lock is released) and their terms read in place, valid while
// `items` lives. An item of another type is a TypeError "observables must all
// be vantrel.Observable instances"; an object that is not iterable fails as
// tuple() does.
struct ObservableList {
  PyRef items;
  std::vector<std::span<const sim::PauliTerm>> terms;
};
bool convert_observables(PyObject* obj, ObservableList& out);

template <>
struct Converter<ObservableList> {
  static bool convert(PyObject* o, ObservableList& out) { return convert_observables(o, out); }
};

bool pauli_label_from_text(const std::string& text, bool allow_identity,
                           std::optional<sim::PauliLabel>& out);

}  // namespace vantrel::lib

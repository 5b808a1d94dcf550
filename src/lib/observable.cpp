// Observable: single Pauli factors, Pauli strings and their sums.
#include "lib/observable.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/pickling.h"
#include "lib/py.h"

namespace vantrel::lib {

bool pauli_label_from_text(const std::string& text, bool allow_identity,
                           std::optional<sim::PauliLabel>& out) {
  if (text.size() == 1) {
    switch (text[0]) {
      case 'X': case 'x': out = sim::PauliLabel::kX; return true;
      case 'Y': case 'y': out = sim::PauliLabel::kY; return true;
      case 'Z': case 'z': out = sim::PauliLabel::kZ; return true;
      case 'I': case 'i':
        if (!allow_identity) break;
        out.reset();
        return true;
      default: break;
    }
  }
  // The label goes back as Python text, not a C string: a label holding a
  // NUL character must be shown whole.
  PyRef shown(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  if (!shown) return false;
  PyErr_Format(PyExc_ValueError, "unsupported Pauli label '%U'; expected %s", shown.get(),
               allow_identity ? "I, X, Y, or Z" : "X, Y, or Z");
  return false;
}

namespace {

PyObject* wrap(sim::Result<sim::Observable> observable) {
  if (!observable) return raise(observable.error());
  return new_instance<PyObservable>(std::move(observable).value());
}

PyObject* observable_pauli_x(std::uint64_t qubit, float coefficient) {
  return wrap(sim::Observable::single(sim::PauliLabel::kX, qubit, coefficient));
}
PyObject* observable_pauli_y(std::uint64_t qubit, float coefficient) {
  return wrap(sim::Observable::single(sim::PauliLabel::kY, qubit, coefficient));
}
PyObject* observable_pauli_z(std::uint64_t qubit, float coefficient) {
  return wrap(sim::Observable::single(sim::PauliLabel::kZ, qubit, coefficient));
}

PyObject* observable_pauli_string(std::vector<LabeledQubit> ops, float coefficient) {
  std::vector<sim::PauliFactor> factors;
  factors.reserve(ops.size());
  for (const LabeledQubit& op : ops) {
    std::optional<sim::PauliLabel> label;
    if (!pauli_label_from_text(op.label, false, label)) return nullptr;
    factors.push_back({op.qubit, *label});
  }
  auto term = sim::PauliTerm::create(std::move(factors), coefficient);
  if (!term) return raise(term.error());
  std::vector<sim::PauliTerm> terms;
  terms.push_back(std::move(term).value());
  return wrap(sim::Observable::create(std::move(terms)));
}

PyObject* observable_hamiltonian(List items) {
  const Py_ssize_t n = PyList_GET_SIZE(items.obj);
  // Copying runs no Python code, so the list cannot change under the loop.
  std::vector<sim::PauliTerm> terms;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(items.obj, i);
    if (!is_instance<PyObservable>(item))
      return raise_type_error("hamiltonian terms must all be vantrel.Observable instances");
    for (const sim::PauliTerm& t : observable_terms(instance_of<PyObservable>(item)))
      terms.push_back(t);
  }
  return wrap(sim::Observable::create(std::move(terms)));
}

}  // namespace

PyTypeObject* PyObservable::type_object() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  static PyMethodDef methods[] = {
      method<observable_pauli_x>("pauli_x", {"qubit", {"coefficient", "1.0"}}),
      method<observable_pauli_y>("pauli_y", {"qubit", {"coefficient", "1.0"}}),
      method<observable_pauli_z>("pauli_z", {"qubit", {"coefficient", "1.0"}}),
      method<observable_pauli_string>("pauli_string", {"ops", {"coefficient", "1.0"}}),
      method<observable_hamiltonian>("hamiltonian", {"terms"}),
      {nullptr, nullptr, 0, nullptr},
  };
  if (PyErr_Occurred()) return nullptr;
  type = create_class({
      "Observable",
      "Pauli observables and Hamiltonians for expectation-value workflows.",
      sizeof(PyObservable),
      dealloc_instance<PyObservable>,
      nullptr,
      methods,
      nullptr,
      nullptr,
      pickling_methods<PyObservable>(),
  });
  return type;
}

}  // namespace vantrel::lib

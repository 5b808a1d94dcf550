// Observable: single Pauli factors, Pauli strings and their sums.
#include "lib/observable.h"

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "lib/args.h"
#include "lib/arrays.h"
#include "lib/errors.h"
#include "lib/pickling.h"
#include "lib/py.h"
#include "sim/model/observable_algebra.h"

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

PyObject* observable_pauli_x(std::uint64_t qubit, double coefficient) {
  return wrap(sim::Observable::single(sim::PauliLabel::kX, qubit, coefficient));
}
PyObject* observable_pauli_y(std::uint64_t qubit, double coefficient) {
  return wrap(sim::Observable::single(sim::PauliLabel::kY, qubit, coefficient));
}
PyObject* observable_pauli_z(std::uint64_t qubit, double coefficient) {
  return wrap(sim::Observable::single(sim::PauliLabel::kZ, qubit, coefficient));
}

PyObject* observable_pauli_string(std::vector<LabeledQubit> ops, double coefficient) {
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

// ---------------------------------------------------------------------------
// Inspection and algebra. Observables never change, so they are read in
// place with the interpreter lock held.

const sim::Observable& value_of(PyObject* obj) { return instance_of<PyObservable>(obj).value; }

PyObject* observable_terms_list(const PyObservable& self) {
  const std::vector<sim::PauliTerm>& terms = self.value.terms();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(terms.size())));
  if (!list) return nullptr;
  static const char* const kLabels[] = {"X", "Y", "Z"};
  for (std::size_t t = 0; t < terms.size(); ++t) {
    PyRef factors(PyList_New(static_cast<Py_ssize_t>(terms[t].ops.size())));
    if (!factors) return nullptr;
    for (std::size_t f = 0; f < terms[t].ops.size(); ++f) {
      const sim::PauliFactor& factor = terms[t].ops[f];
      PyObject* pair = Py_BuildValue("(sK)", kLabels[static_cast<int>(factor.label)],
                                     static_cast<unsigned long long>(factor.qubit));
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(factors.get(), static_cast<Py_ssize_t>(f), pair);  // steals `pair`
    }
    PyObject* term =
        Py_BuildValue("(dO)", static_cast<double>(terms[t].coefficient), factors.get());
    if (term == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(t), term);  // steals `term`
  }
  return list.release();
}

PyObject* observable_num_qubits(const PyObservable& self) {
  return PyLong_FromUnsignedLongLong(sim::num_qubits(self.value));
}

PyObject* observable_to_matrix(const PyObservable& self, std::uint64_t num_qubits) {
  auto matrix = sim::dense_matrix(self.value, num_qubits);
  if (!matrix) return raise(matrix.error());
  return complex128_matrix_from_buffer(matrix->release(), std::size_t{1} << num_qubits);
}

PyObject* observable_simplify(const PyObservable& self) {
  return new_instance<PyObservable>(sim::simplified(self.value));
}

// The real number an observable may be multiplied by (an instance of
// numbers.Real: int, float, bool, NumPy's real scalars, Fraction), or
// nothing for other types, which then get NotImplemented. NaN and infinities
// raise ValueError. False with an exception set on failure.
bool scale_factor(PyObject* obj, std::optional<double>& out) {
  static PyObject* real = nullptr;
  if (real == nullptr) {
    PyRef numbers(PyImport_ImportModule("numbers"));
    if (!numbers) return false;
    real = PyObject_GetAttrString(numbers.get(), "Real");  // kept for the process
    if (real == nullptr) return false;
  }
  const int is_real = PyFloat_Check(obj) || PyLong_Check(obj) ? 1 : PyObject_IsInstance(obj, real);
  if (is_real < 0) return false;
  if (is_real == 0) return true;
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  if (!std::isfinite(v)) {
    PyErr_Format(PyExc_ValueError, "an observable can only be scaled by a finite number, got %R",
                 obj);
    return false;
  }
  out = v;
  return true;
}

PyObject* observable_add(PyObject* a, PyObject* b) {
  return guarded<PyObject*>([&]() -> PyObject* {
    if (!is_instance<PyObservable>(a) || !is_instance<PyObservable>(b)) Py_RETURN_NOTIMPLEMENTED;
    return new_instance<PyObservable>(sim::sum(value_of(a), value_of(b)));
  }, nullptr);
}

PyObject* observable_subtract(PyObject* a, PyObject* b) {
  return guarded<PyObject*>([&]() -> PyObject* {
    if (!is_instance<PyObservable>(a) || !is_instance<PyObservable>(b)) Py_RETURN_NOTIMPLEMENTED;
    return new_instance<PyObservable>(sim::sum(value_of(a), sim::scaled(value_of(b), -1.0)));
  }, nullptr);
}

PyObject* observable_negative(PyObject* a) {
  return guarded<PyObject*>(
      [&]() -> PyObject* { return new_instance<PyObservable>(sim::scaled(value_of(a), -1.0)); },
      nullptr);
}

PyObject* observable_multiply(PyObject* a, PyObject* b) {
  return guarded<PyObject*>([&]() -> PyObject* {
    const bool left = is_instance<PyObservable>(a);
    PyObject* other = left ? b : a;
    if (is_instance<PyObservable>(other)) Py_RETURN_NOTIMPLEMENTED;
    std::optional<double> factor;
    if (!scale_factor(other, factor)) return nullptr;
    if (!factor) Py_RETURN_NOTIMPLEMENTED;
    return new_instance<PyObservable>(sim::scaled(value_of(left ? a : b), *factor));
  }, nullptr);
}

}  // namespace

bool convert_observables(PyObject* obj, ObservableList& out) {
  PyRef items(PySequence_Tuple(obj));
  if (!items) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out.terms.clear();
  out.terms.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!is_instance<PyObservable>(item)) {
      out.terms.clear();
      raise_type_error("observables must all be vantrel.Observable instances");
      return false;
    }
    out.terms.push_back(observable_terms(instance_of<PyObservable>(item)));
  }
  out.items = std::move(items);
  return true;
}

PyTypeObject* PyObservable::type_object() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  static PyMethodDef methods[] = {
      method<observable_pauli_x>("pauli_x", {"qubit", {"coefficient", "1.0"}}),
      method<observable_pauli_y>("pauli_y", {"qubit", {"coefficient", "1.0"}}),
      method<observable_pauli_z>("pauli_z", {"qubit", {"coefficient", "1.0"}}),
      method<observable_pauli_string>("pauli_string", {"ops", {"coefficient", "1.0"}}),
      method<observable_hamiltonian>("hamiltonian", {"terms"}),
      method<observable_to_matrix>(
          "to_matrix", {"num_qubits"},
          "Return the dense 2**num_qubits square matrix as a complex128 array (qubit q is bit q "
          "of a row or column index)."),
      method<observable_simplify>(
          "simplify", {},
          "Return an equal observable with like terms merged into their first occurrence and "
          "zero coefficients dropped."),
      {nullptr, nullptr, 0, nullptr},
  };
  static PyGetSetDef getset[] = {
      getter<observable_terms_list>(
          "terms", "The terms in order as (coefficient, [(pauli, qubit), ...]), factors by qubit."),
      getter<observable_num_qubits>("num_qubits",
                                    "One more than the highest qubit acted on (0 for none)."),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyType_Slot operators[] = {
      {Py_nb_add, reinterpret_cast<void*>(&observable_add)},
      {Py_nb_subtract, reinterpret_cast<void*>(&observable_subtract)},
      {Py_nb_negative, reinterpret_cast<void*>(&observable_negative)},
      {Py_nb_multiply, reinterpret_cast<void*>(&observable_multiply)},
      {0, nullptr},
  };
  if (PyErr_Occurred()) return nullptr;
  type = create_class({
      "Observable",
      "Pauli observables and Hamiltonians for expectation-value workflows.",
      sizeof(PyObservable),
      dealloc_instance<PyObservable>,
      nullptr,
      methods,
      getset,
      nullptr,
      pickling_methods<PyObservable>(),
      operators,
  });
  return type;
}

}  // namespace vantrel::lib

// Gate: the standard gate set, custom and controlled unitaries, measurement,
// reset and barrier.
//
// Standard gates are declared from the engine's constructor table
// (lib/standard_gates.h) and built from its gate table, which holds their
// matrices and forms the angle-dependent ones; they carry a label naming the
// entry and angles. Names that denote the same gate (p/phase, cp/cphase,
// cx/cnot, ccx/toffoli, cswap/fredkin, mcp/mcphase) are one implementation
// declared under two names.
#include "lib/gate.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "lib/args.h"
#include "lib/arrays.h"
#include "lib/errors.h"
#include "lib/numpy_api.h"
#include "lib/pickling.h"
#include "lib/py.h"
#include "lib/standard_gates.h"
#include "sim/base/complex.h"
#include "sim/model/gates.h"
#include "sim/base/result.h"

namespace vantrel::lib {

using sim::Complex;
using sim::Result;
using Qubits = std::vector<std::uint64_t>;
using MatrixD = std::vector<sim::ComplexD>;

namespace {

// Wraps a built gate in a new Gate object, or raises the engine's error.
PyObject* wrap(Result<sim::Gate> gate) {
  if (!gate) return raise(gate.error());
  return new_instance<PyGate>(std::move(gate).value());
}

}  // namespace

// numpy.ascontiguousarray(matrix, numpy.complex128), then the checks of a
// square, contiguous, two-dimensional array; copies the entries in storage
// order, as given (the single-precision matrix is each part rounded, as
// converting to complex64 would). False with an exception set on failure.
bool matrix_from_python(PyObject* matrix, MatrixD& out) {
  const NumpyNames* np = numpy_names();
  if (np == nullptr) return false;
  PyRef converted(
      PyObject_CallFunctionObjArgs(np->ascontiguousarray, matrix, np->complex128, nullptr));
  if (!converted) return false;
  if (!PyArray_Check(converted.get())) {
    raise_type_error("matrix must be convertible to a 2D numpy complex64 array");
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(converted.get());
  if (PyArray_NDIM(array) != 2 || !PyArray_EquivTypenums(PyArray_TYPE(array), NPY_COMPLEX128)) {
    raise_type_error("matrix must be convertible to a 2D numpy complex64 array");
    return false;
  }
  const npy_intp rows = PyArray_DIM(array, 0);
  if (rows != PyArray_DIM(array, 1)) {
    raise_value_error("matrix must be square");
    return false;
  }
  if (!(PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) ||
      PyArray_DATA(array) == nullptr) {
    raise_value_error("matrix must be stored contiguously in memory");
    return false;
  }
  // Copied as bytes: NumPy calls an array C-contiguous whatever its data's
  // alignment (a view at an odd offset into a byte buffer), so the data is
  // never read through a ComplexD pointer.
  out.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(rows));
  if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(array), out.size() * sizeof(sim::ComplexD));
  return true;
}

namespace {

// --- The Python-facing constructors: convert, then build. ------------------

// Row I of the constructor table.
template <std::size_t I, class... A>
struct StandardConstructor {
  static PyObject* call(A... args) { return wrap(build_standard_row<I>(std::move(args)...)); }
};

// Custom unitaries carry no label.
PyObject* gate_unitary(Qubits targets, PyObject* matrix) {
  MatrixD m;
  if (!matrix_from_python(matrix, m)) return nullptr;
  std::vector<Complex> single = sim::rounded_to_single(m);
  auto op = sim::Operation::create(std::move(targets), std::move(single), std::move(m));
  if (!op) return raise(op.error());
  return new_instance<PyGate>(sim::Gate::unitary(std::move(op).value()));
}
PyObject* gate_controlled_unitary(Qubits controls, Qubits targets, PyObject* matrix) {
  MatrixD m;
  if (!matrix_from_python(matrix, m)) return nullptr;
  std::vector<Complex> single = sim::rounded_to_single(m);
  return wrap(sim::make_controlled_unitary_gate(std::move(controls), std::move(targets),
                                                std::move(single), std::move(m)));
}
PyObject* gate_measure(std::uint64_t target) {
  return new_instance<PyGate>(sim::Gate::measure(target));
}
PyObject* gate_reset(std::uint64_t target) {
  return new_instance<PyGate>(sim::Gate::reset(target));
}
PyObject* gate_barrier() { return new_instance<PyGate>(sim::Gate::barrier()); }

}  // namespace

sim::Result<sim::Gate> build_standard(const sim::GateConstructor& row, StandardArgs args) {
  const std::span<const double> angles(args.angles, args.num_angles);
  switch (row.controls) {
    case sim::ControlShape::kNone:
      return sim::make_standard_gate(row.gate, std::move(args.qubits), angles);
    case sim::ControlShape::kOne:
    case sim::ControlShape::kTwo: {
      const std::size_t n = row.controls == sim::ControlShape::kOne ? 1 : 2;
      Qubits controls(args.qubits.begin(), args.qubits.begin() + n);
      args.qubits.erase(args.qubits.begin(), args.qubits.begin() + n);
      return sim::make_controlled_standard_gate(row.gate, std::move(controls),
                                                std::move(args.qubits), angles);
    }
    case sim::ControlShape::kList:
      break;
  }
  return sim::make_controlled_standard_gate(row.gate, std::move(args.controls),
                                            std::move(args.qubits), angles);
}

PyTypeObject* PyGate::type_object() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  static std::vector<PyMethodDef> methods = [] {
    std::vector<PyMethodDef> out;
    declare_standard_constructors<StandardConstructor>(out);
    for (const PyMethodDef& m : {
             method<gate_unitary>("unitary", {"targets", "matrix"}),
             method<gate_controlled_unitary>("controlled_unitary",
                                             {"controls", "targets", "matrix"}),
             method<gate_measure>("measure", {"target"}),
             method<gate_reset>("reset", {"target"}),
             method<gate_barrier>("barrier"),
         })
      out.push_back(m);
    for (const PyMethodDef* m = gate_channel_methods(); m->ml_name != nullptr; ++m)
      out.push_back(*m);
    out.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return out;
  }();
  if (PyErr_Occurred()) return nullptr;
  type = create_class({
      "Gate",
      "Gate constructors for one-off circuit building and custom unitary definition.",
      sizeof(PyGate),
      dealloc_instance<PyGate>,
      nullptr,
      methods.data(),
      nullptr,
      nullptr,
      pickling_methods<PyGate>(),
  });
  return type;
}

}  // namespace vantrel::lib

// Gate: the standard gate set, custom and controlled unitaries, measurement,
// reset and barrier.
//
// Standard gates are built by the engine (sim/gates.h) from its gate table,
// which holds their matrices and forms the angle-dependent ones, and carry a
// label naming the entry and angles. Names that denote the same gate
// (p/phase, cp/cphase, cx/cnot, ccx/toffoli, cswap/fredkin, mcp/mcphase) are
// one implementation declared under two names.
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
#include "sim/base/complex.h"
#include "sim/model/gates.h"
#include "sim/base/result.h"

namespace vantrel::lib {

using sim::Complex;
using sim::Result;
using Qubits = std::vector<std::uint64_t>;
using Matrix = std::vector<Complex>;

namespace {

using sim::StandardGate;

// One builder call per Python constructor: the matrices and labels come from
// the engine's gate table.
Result<sim::Gate> standard(StandardGate gate, Qubits qubits, std::span<const float> angles = {}) {
  return sim::make_standard_gate(gate, std::move(qubits), angles);
}
Result<sim::Gate> controlled(StandardGate gate, Qubits controls, Qubits targets,
                             std::span<const float> angles = {}) {
  return sim::make_controlled_standard_gate(gate, std::move(controls), std::move(targets), angles);
}
std::span<const float> one(const float& theta) { return {&theta, 1}; }

// Wraps a built gate in a new Gate object, or raises the engine's error.
PyObject* wrap(Result<sim::Gate> gate) {
  if (!gate) return raise(gate.error());
  return new_instance<PyGate>(std::move(gate).value());
}

// numpy.ascontiguousarray(matrix, numpy.complex64), then the checks of a
// square, contiguous, two-dimensional complex64 array; copies the entries in
// storage order. False with an exception set on failure.
bool matrix_from_python(PyObject* matrix, Matrix& out) {
  const NumpyNames* np = numpy_names();
  if (np == nullptr) return false;
  PyRef converted(
      PyObject_CallFunctionObjArgs(np->ascontiguousarray, matrix, np->complex64, nullptr));
  if (!converted) return false;
  if (!PyArray_Check(converted.get())) {
    raise_type_error("matrix must be convertible to a 2D numpy complex64 array");
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(converted.get());
  if (PyArray_NDIM(array) != 2 || !PyArray_EquivTypenums(PyArray_TYPE(array), NPY_COMPLEX64)) {
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
  // never read through a Complex pointer.
  out.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(rows));
  if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(array), out.size() * sizeof(Complex));
  return true;
}

// --- The Python-facing constructors: convert, then build. ------------------

PyObject* gate_h(std::uint64_t target) { return wrap(standard(StandardGate::kH, {target})); }
PyObject* gate_i(std::uint64_t target) { return wrap(standard(StandardGate::kI, {target})); }
PyObject* gate_x(std::uint64_t target) { return wrap(standard(StandardGate::kX, {target})); }
PyObject* gate_y(std::uint64_t target) { return wrap(standard(StandardGate::kY, {target})); }
PyObject* gate_z(std::uint64_t target) { return wrap(standard(StandardGate::kZ, {target})); }
PyObject* gate_s(std::uint64_t target) { return wrap(standard(StandardGate::kS, {target})); }
PyObject* gate_sdg(std::uint64_t target) { return wrap(standard(StandardGate::kSdg, {target})); }
PyObject* gate_t(std::uint64_t target) { return wrap(standard(StandardGate::kT, {target})); }
PyObject* gate_tdg(std::uint64_t target) { return wrap(standard(StandardGate::kTdg, {target})); }
PyObject* gate_p(std::uint64_t target, float theta) {
  return wrap(standard(StandardGate::kP, {target}, one(theta)));
}
PyObject* gate_rx(std::uint64_t target, float theta) {
  return wrap(standard(StandardGate::kRX, {target}, one(theta)));
}
PyObject* gate_ry(std::uint64_t target, float theta) {
  return wrap(standard(StandardGate::kRY, {target}, one(theta)));
}
PyObject* gate_rz(std::uint64_t target, float theta) {
  return wrap(standard(StandardGate::kRZ, {target}, one(theta)));
}
PyObject* gate_u(std::uint64_t target, float theta, float phi, float lambda) {
  const float angles[3] = {theta, phi, lambda};
  return wrap(standard(StandardGate::kU, {target}, angles));
}
PyObject* gate_swap(std::uint64_t a, std::uint64_t b) {
  return wrap(standard(StandardGate::kSwap, {a, b}));
}
PyObject* gate_iswap(std::uint64_t a, std::uint64_t b) {
  return wrap(standard(StandardGate::kISwap, {a, b}));
}
PyObject* gate_ch(std::uint64_t control, std::uint64_t target) {
  return wrap(controlled(StandardGate::kH, {control}, {target}));
}
PyObject* gate_cx(std::uint64_t control, std::uint64_t target) {
  return wrap(controlled(StandardGate::kX, {control}, {target}));
}
PyObject* gate_cy(std::uint64_t control, std::uint64_t target) {
  return wrap(controlled(StandardGate::kY, {control}, {target}));
}
PyObject* gate_cz(std::uint64_t control, std::uint64_t target) {
  return wrap(controlled(StandardGate::kZ, {control}, {target}));
}
PyObject* gate_cp(std::uint64_t control, std::uint64_t target, float theta) {
  return wrap(controlled(StandardGate::kP, {control}, {target}, one(theta)));
}
PyObject* gate_crx(std::uint64_t control, std::uint64_t target, float theta) {
  return wrap(controlled(StandardGate::kRX, {control}, {target}, one(theta)));
}
PyObject* gate_cry(std::uint64_t control, std::uint64_t target, float theta) {
  return wrap(controlled(StandardGate::kRY, {control}, {target}, one(theta)));
}
PyObject* gate_crz(std::uint64_t control, std::uint64_t target, float theta) {
  return wrap(controlled(StandardGate::kRZ, {control}, {target}, one(theta)));
}
PyObject* gate_cu(std::uint64_t control, std::uint64_t target, float theta, float phi,
                  float lambda, std::optional<float> gamma) {
  return wrap(sim::make_controlled_u_gate({control}, {target}, theta, phi, lambda, gamma));
}
PyObject* gate_ccx(std::uint64_t control_a, std::uint64_t control_b, std::uint64_t target) {
  return wrap(controlled(StandardGate::kX, {control_a, control_b}, {target}));
}
PyObject* gate_cswap(std::uint64_t control, std::uint64_t a, std::uint64_t b) {
  return wrap(controlled(StandardGate::kSwap, {control}, {a, b}));
}
PyObject* gate_mcx(Qubits controls, std::uint64_t target) {
  return wrap(controlled(StandardGate::kX, std::move(controls), {target}));
}
PyObject* gate_mcz(Qubits controls, std::uint64_t target) {
  return wrap(controlled(StandardGate::kZ, std::move(controls), {target}));
}
PyObject* gate_mcp(Qubits controls, std::uint64_t target, float theta) {
  return wrap(controlled(StandardGate::kP, std::move(controls), {target}, one(theta)));
}
// Custom unitaries carry no label.
PyObject* gate_unitary(Qubits targets, PyObject* matrix) {
  Matrix m;
  if (!matrix_from_python(matrix, m)) return nullptr;
  auto op = sim::Operation::create(std::move(targets), std::move(m));
  if (!op) return raise(op.error());
  return new_instance<PyGate>(sim::Gate::unitary(std::move(op).value()));
}
PyObject* gate_controlled_unitary(Qubits controls, Qubits targets, PyObject* matrix) {
  Matrix m;
  if (!matrix_from_python(matrix, m)) return nullptr;
  return wrap(sim::make_controlled_unitary_gate(std::move(controls), std::move(targets),
                                                std::move(m)));
}
PyObject* gate_measure(std::uint64_t target) {
  return new_instance<PyGate>(sim::Gate::measure(target));
}
PyObject* gate_reset(std::uint64_t target) {
  return new_instance<PyGate>(sim::Gate::reset(target));
}
PyObject* gate_barrier() { return new_instance<PyGate>(sim::Gate::barrier()); }

}  // namespace

PyTypeObject* PyGate::type_object() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  static PyMethodDef methods[] = {
      method<gate_h>("h", {"target"}),
      method<gate_i>("i", {"target"}),
      method<gate_x>("x", {"target"}),
      method<gate_y>("y", {"target"}),
      method<gate_z>("z", {"target"}),
      method<gate_s>("s", {"target"}),
      method<gate_sdg>("sdg", {"target"}),
      method<gate_t>("t", {"target"}),
      method<gate_tdg>("tdg", {"target"}),
      method<gate_p>("p", {"target", "theta"}),
      alias<gate_p>("phase"),
      method<gate_rx>("rx", {"target", "theta"}),
      method<gate_ry>("ry", {"target", "theta"}),
      method<gate_rz>("rz", {"target", "theta"}),
      method<gate_u>("u", {"target", "theta", "phi", "lambda"}),
      method<gate_swap>("swap", {"a", "b"}),
      method<gate_iswap>("iswap", {"a", "b"}),
      method<gate_ch>("ch", {"control", "target"}),
      method<gate_cx>("cx", {"control", "target"}),
      alias<gate_cx>("cnot"),
      method<gate_cy>("cy", {"control", "target"}),
      method<gate_cz>("cz", {"control", "target"}),
      method<gate_cp>("cp", {"control", "target", "theta"}),
      alias<gate_cp>("cphase"),
      method<gate_crx>("crx", {"control", "target", "theta"}),
      method<gate_cry>("cry", {"control", "target", "theta"}),
      method<gate_crz>("crz", {"control", "target", "theta"}),
      method<gate_cu>("cu", {"control", "target", "theta", "phi", "lambda", {"gamma", "None"}}),
      method<gate_ccx>("ccx", {"control_a", "control_b", "target"}),
      alias<gate_ccx>("toffoli"),
      method<gate_cswap>("cswap", {"control", "a", "b"}),
      alias<gate_cswap>("fredkin"),
      method<gate_mcx>("mcx", {"controls", "target"}),
      method<gate_mcz>("mcz", {"controls", "target"}),
      method<gate_mcp>("mcp", {"controls", "target", "theta"}),
      alias<gate_mcp>("mcphase"),
      method<gate_unitary>("unitary", {"targets", "matrix"}),
      method<gate_controlled_unitary>("controlled_unitary", {"controls", "targets", "matrix"}),
      method<gate_measure>("measure", {"target"}),
      method<gate_reset>("reset", {"target"}),
      method<gate_barrier>("barrier"),
      {nullptr, nullptr, 0, nullptr},
  };
  if (PyErr_Occurred()) return nullptr;
  type = create_class({
      "Gate",
      "Gate constructors for one-off circuit building and custom unitary definition.",
      sizeof(PyGate),
      dealloc_instance<PyGate>,
      nullptr,
      methods,
      nullptr,
      nullptr,
      pickling_methods<PyGate>(),
  });
  return type;
}

}  // namespace vantrel::lib

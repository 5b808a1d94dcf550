// Gate: the standard gate set, custom and controlled unitaries, measurement,
// reset and barrier.
//
// Matrices are single precision. The fixed matrices live in one table; the
// angle-dependent ones are computed from (cos, sin) pairs evaluated together
// in single precision. Names that denote the same gate (p/phase, cp/cphase,
// cx/cnot, ccx/toffoli, cswap/fredkin, mcp/mcphase) are one implementation
// declared under two names.
#include "lib/gate.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "lib/args.h"
#include "lib/arrays.h"
#include "lib/errors.h"
#include "lib/numpy_api.h"
#include "lib/py.h"
#include "sim/complex.h"
#include "sim/result.h"

namespace vantrel::lib {

using sim::Complex;
using sim::Result;
using Qubits = std::vector<std::uint64_t>;
using Matrix = std::vector<Complex>;

namespace {

// 1/sqrt(2) rounded to single precision.
constexpr float kR = std::bit_cast<float>(std::uint32_t{0x3F3504F3});
// cos(pi/2) in single precision; the S and Sdg phases carry it as their real part.
constexpr float kEps = std::bit_cast<float>(std::uint32_t{0xB33BBD2E});

// The fixed standard matrices, row-major; the first qubit of a 4x4 is the
// high bit of its index.
enum class Standard { kH, kI, kX, kY, kZ, kS, kSdg, kT, kTdg, kSwap, kISwap };

struct StandardMatrix {
  Standard gate;
  int entries;
  Complex m[16];
};

constexpr StandardMatrix kStandardMatrices[] = {
    {Standard::kH, 4, {{kR, 0}, {kR, 0}, {kR, 0}, {-kR, 0}}},
    {Standard::kI, 4, {{1, 0}, {0, 0}, {0, 0}, {1, 0}}},
    {Standard::kX, 4, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}},
    {Standard::kY, 4, {{0, 0}, {0, -1}, {0, 1}, {0, 0}}},
    {Standard::kZ, 4, {{1, 0}, {0, 0}, {0, 0}, {-1, 0}}},
    {Standard::kS, 4, {{1, 0}, {0, 0}, {0, 0}, {kEps, 1}}},
    {Standard::kSdg, 4, {{1, 0}, {0, 0}, {0, 0}, {kEps, -1}}},
    {Standard::kT, 4, {{1, 0}, {0, 0}, {0, 0}, {kR, kR}}},
    {Standard::kTdg, 4, {{1, 0}, {0, 0}, {0, 0}, {kR, -kR}}},
    {Standard::kSwap,
     16,
     {{1, 0}, {0, 0}, {0, 0}, {0, 0},
      {0, 0}, {0, 0}, {1, 0}, {0, 0},
      {0, 0}, {1, 0}, {0, 0}, {0, 0},
      {0, 0}, {0, 0}, {0, 0}, {1, 0}}},
    {Standard::kISwap,
     16,
     {{1, 0}, {0, 0}, {0, 0}, {0, 0},
      {0, 0}, {0, 0}, {0, 1}, {0, 0},
      {0, 0}, {0, 1}, {0, 0}, {0, 0},
      {0, 0}, {0, 0}, {0, 0}, {1, 0}}},
};

Matrix standard(Standard gate) {
  for (const StandardMatrix& s : kStandardMatrices)
    if (s.gate == gate) return Matrix(s.m, s.m + s.entries);
  return {};
}

// (cos x, sin x) from one simultaneous evaluation in single precision.
struct CosSin {
  float c, s;
};
CosSin cos_sin(float x) {
  CosSin r;
  ::sincosf(x, &r.s, &r.c);
  return r;
}

Matrix phase_matrix(float theta) {
  const CosSin e = cos_sin(theta);
  return {{1, 0}, {0, 0}, {0, 0}, {e.c, e.s}};
}

Matrix rx_matrix(float theta) {
  const CosSin h = cos_sin(0.5f * theta);
  return {{h.c, 0}, {0, -h.s}, {0, -h.s}, {h.c, 0}};
}

Matrix ry_matrix(float theta) {
  const CosSin h = cos_sin(0.5f * theta);
  return {{h.c, 0}, {-h.s, 0}, {h.s, 0}, {h.c, 0}};
}

Matrix rz_matrix(float theta) {
  const CosSin lo = cos_sin(-0.5f * theta);
  const CosSin hi = cos_sin(0.5f * theta);
  return {{lo.c, lo.s}, {0, 0}, {0, 0}, {hi.c, hi.s}};
}

Matrix u_matrix(float theta, float phi, float lambda) {
  const CosSin h = cos_sin(0.5f * theta);
  const CosSin l = cos_sin(lambda);
  const CosSin p = cos_sin(phi);
  const CosSin q = cos_sin(phi + lambda);
  return {{h.c, 0},
          {-l.c * h.s, -l.s * h.s},
          {p.c * h.s, p.s * h.s},
          {q.c * h.c, q.s * h.c}};
}

// U(theta, phi, lambda) times the global phase e^(i gamma); gamma None is
// exactly no phase (cos 1, sin 0).
Matrix cu_matrix(float theta, float phi, float lambda, std::optional<float> gamma) {
  Matrix m = u_matrix(theta, phi, lambda);
  const CosSin g = gamma ? cos_sin(*gamma) : CosSin{1.0f, 0.0f};
  for (Complex& e : m) e = Complex{g.c * e.re - g.s * e.im, g.c * e.im + g.s * e.re};
  return m;
}

Result<sim::Gate> operation(Qubits targets, Matrix matrix) {
  auto op = sim::Operation::create(std::move(targets), std::move(matrix));
  if (!op) return std::move(op).error();
  return sim::Gate::unitary(std::move(op).value());
}

Result<sim::Gate> controlled(Qubits controls, Qubits targets, Matrix matrix) {
  return sim::make_controlled_unitary_gate(std::move(controls), std::move(targets),
                                           std::move(matrix));
}

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

PyObject* gate_h(std::uint64_t target) { return wrap(operation({target}, standard(Standard::kH))); }
PyObject* gate_i(std::uint64_t target) { return wrap(operation({target}, standard(Standard::kI))); }
PyObject* gate_x(std::uint64_t target) { return wrap(operation({target}, standard(Standard::kX))); }
PyObject* gate_y(std::uint64_t target) { return wrap(operation({target}, standard(Standard::kY))); }
PyObject* gate_z(std::uint64_t target) { return wrap(operation({target}, standard(Standard::kZ))); }
PyObject* gate_s(std::uint64_t target) { return wrap(operation({target}, standard(Standard::kS))); }
PyObject* gate_sdg(std::uint64_t target) {
  return wrap(operation({target}, standard(Standard::kSdg)));
}
PyObject* gate_t(std::uint64_t target) { return wrap(operation({target}, standard(Standard::kT))); }
PyObject* gate_tdg(std::uint64_t target) {
  return wrap(operation({target}, standard(Standard::kTdg)));
}
PyObject* gate_p(std::uint64_t target, float theta) {
  return wrap(operation({target}, phase_matrix(theta)));
}
PyObject* gate_rx(std::uint64_t target, float theta) {
  return wrap(operation({target}, rx_matrix(theta)));
}
PyObject* gate_ry(std::uint64_t target, float theta) {
  return wrap(operation({target}, ry_matrix(theta)));
}
PyObject* gate_rz(std::uint64_t target, float theta) {
  return wrap(operation({target}, rz_matrix(theta)));
}
PyObject* gate_u(std::uint64_t target, float theta, float phi, float lambda) {
  return wrap(operation({target}, u_matrix(theta, phi, lambda)));
}
PyObject* gate_swap(std::uint64_t a, std::uint64_t b) {
  return wrap(operation({a, b}, standard(Standard::kSwap)));
}
PyObject* gate_iswap(std::uint64_t a, std::uint64_t b) {
  return wrap(operation({a, b}, standard(Standard::kISwap)));
}
PyObject* gate_ch(std::uint64_t control, std::uint64_t target) {
  return wrap(controlled({control}, {target}, standard(Standard::kH)));
}
PyObject* gate_cx(std::uint64_t control, std::uint64_t target) {
  return wrap(controlled({control}, {target}, standard(Standard::kX)));
}
PyObject* gate_cy(std::uint64_t control, std::uint64_t target) {
  return wrap(controlled({control}, {target}, standard(Standard::kY)));
}
PyObject* gate_cz(std::uint64_t control, std::uint64_t target) {
  return wrap(controlled({control}, {target}, standard(Standard::kZ)));
}
PyObject* gate_cp(std::uint64_t control, std::uint64_t target, float theta) {
  return wrap(controlled({control}, {target}, phase_matrix(theta)));
}
PyObject* gate_crx(std::uint64_t control, std::uint64_t target, float theta) {
  return wrap(controlled({control}, {target}, rx_matrix(theta)));
}
PyObject* gate_cry(std::uint64_t control, std::uint64_t target, float theta) {
  return wrap(controlled({control}, {target}, ry_matrix(theta)));
}
PyObject* gate_crz(std::uint64_t control, std::uint64_t target, float theta) {
  return wrap(controlled({control}, {target}, rz_matrix(theta)));
}
PyObject* gate_cu(std::uint64_t control, std::uint64_t target, float theta, float phi,
                  float lambda, std::optional<float> gamma) {
  return wrap(controlled({control}, {target}, cu_matrix(theta, phi, lambda, gamma)));
}
PyObject* gate_ccx(std::uint64_t control_a, std::uint64_t control_b, std::uint64_t target) {
  return wrap(controlled({control_a, control_b}, {target}, standard(Standard::kX)));
}
PyObject* gate_cswap(std::uint64_t control, std::uint64_t a, std::uint64_t b) {
  return wrap(controlled({control}, {a, b}, standard(Standard::kSwap)));
}
PyObject* gate_mcx(Qubits controls, std::uint64_t target) {
  return wrap(controlled(std::move(controls), {target}, standard(Standard::kX)));
}
PyObject* gate_mcz(Qubits controls, std::uint64_t target) {
  return wrap(controlled(std::move(controls), {target}, standard(Standard::kZ)));
}
PyObject* gate_mcp(Qubits controls, std::uint64_t target, float theta) {
  return wrap(controlled(std::move(controls), {target}, phase_matrix(theta)));
}
PyObject* gate_unitary(Qubits targets, PyObject* matrix) {
  Matrix m;
  if (!matrix_from_python(matrix, m)) return nullptr;
  return wrap(operation(std::move(targets), std::move(m)));
}
PyObject* gate_controlled_unitary(Qubits controls, Qubits targets, PyObject* matrix) {
  Matrix m;
  if (!matrix_from_python(matrix, m)) return nullptr;
  return wrap(controlled(std::move(controls), std::move(targets), std::move(m)));
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
  });
  return type;
}

}  // namespace vantrel::lib

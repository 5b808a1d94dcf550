// The standard gate set, defined here and nowhere else: one table of the
// gates' display names, qubit and angle counts, angle names and how they
// draw, one table of the constructors that offer them (names, controls,
// argument names), and the one place where their matrices are formed. The
// one-off Gate constructors and the CircuitSpec builders (declared from the
// constructor table), the fixed steps and rotations of compiled plans, the
// decoder, the diagrams and the engine tests all read from here.
//
// Matrices are row-major, in single or double precision (the scalar type T,
// every operation in T); on two qubits the first qubit is the high bit of the
// index. An angle's (cos x, sin x) comes from one simultaneous evaluation in
// T.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "sim/base/complex.h"

namespace vantrel::sim {

enum class StandardGate : std::uint8_t {
  kH, kI, kX, kY, kZ, kS, kSdg, kT, kTdg, kSwap, kISwap,  // fixed
  kP, kRX, kRY, kRZ, kU,                                   // angle-dependent
};

// How a gate of the table draws: a box with its name (and angles), or a
// swap's cross on both qubits.
enum class GateGlyph : std::uint8_t { kBox, kSwapCross };

struct StandardGateInfo {
  StandardGate gate;
  const char* name;     // short display name: "H", "SWAP", "RX", "U"
  unsigned qubits;      // 1 or 2
  unsigned angles;      // angles the matrix takes: 0, 1 (theta) or 3 (theta, phi, lambda)
  GateGlyph glyph = GateGlyph::kBox;
};

namespace gate_table_detail {
inline constexpr StandardGateInfo kTable[] = {
    {StandardGate::kH, "H", 1, 0},        {StandardGate::kI, "I", 1, 0},
    {StandardGate::kX, "X", 1, 0},        {StandardGate::kY, "Y", 1, 0},
    {StandardGate::kZ, "Z", 1, 0},        {StandardGate::kS, "S", 1, 0},
    {StandardGate::kSdg, "Sdg", 1, 0},    {StandardGate::kT, "T", 1, 0},
    {StandardGate::kTdg, "Tdg", 1, 0},    {StandardGate::kSwap, "SWAP", 2, 0, GateGlyph::kSwapCross},
    {StandardGate::kISwap, "iSWAP", 2, 0}, {StandardGate::kP, "P", 1, 1},
    {StandardGate::kRX, "RX", 1, 1},      {StandardGate::kRY, "RY", 1, 1},
    {StandardGate::kRZ, "RZ", 1, 1},      {StandardGate::kU, "U", 1, 3},
};
static_assert(std::size(kTable) == static_cast<std::size_t>(StandardGate::kU) + 1);
}  // namespace gate_table_detail

// The whole table, in the order of StandardGate.
constexpr std::span<const StandardGateInfo> standard_gates() { return gate_table_detail::kTable; }
constexpr const StandardGateInfo& standard_gate_info(StandardGate gate) {
  return gate_table_detail::kTable[static_cast<std::size_t>(gate)];
}

// The names of a gate's angles, in the order its matrix takes them.
inline constexpr const char* kAngleNames[] = {"theta", "phi", "lambda"};
constexpr std::span<const char* const> standard_angle_names(StandardGate gate) {
  return std::span<const char* const>(kAngleNames).first(standard_gate_info(gate).angles);
}

// The controls a constructor takes before the gate's own qubits.
enum class ControlShape : std::uint8_t {
  kNone,  // the gate alone
  kOne,   // one control qubit
  kTwo,   // two control qubits
  kList,  // a list of control qubits
};

// One constructor offering a gate of the table: `name` (and `alias`, a
// second name for the same constructor) takes the qubits named in `qubits`
// (controls first, then the gate's qubits, the first the high bit of its
// matrix), then the entry's angles by standard_angle_names, then, with
// `global_phase`, an optional phase gamma (only the controlled U takes one).
// `in_circuit_spec` marks the constructors CircuitSpec also offers as fixed
// steps.
struct GateConstructor {
  const char* name;
  const char* alias;
  StandardGate gate;
  ControlShape controls;
  const char* qubits[3];
  bool global_phase = false;
  bool in_circuit_spec = false;
};

inline constexpr GateConstructor kGateConstructors[] = {
    {"h", nullptr, StandardGate::kH, ControlShape::kNone, {"target"}, false, true},
    {"i", nullptr, StandardGate::kI, ControlShape::kNone, {"target"}},
    {"x", nullptr, StandardGate::kX, ControlShape::kNone, {"target"}, false, true},
    {"y", nullptr, StandardGate::kY, ControlShape::kNone, {"target"}},
    {"z", nullptr, StandardGate::kZ, ControlShape::kNone, {"target"}, false, true},
    {"s", nullptr, StandardGate::kS, ControlShape::kNone, {"target"}},
    {"sdg", nullptr, StandardGate::kSdg, ControlShape::kNone, {"target"}},
    {"t", nullptr, StandardGate::kT, ControlShape::kNone, {"target"}},
    {"tdg", nullptr, StandardGate::kTdg, ControlShape::kNone, {"target"}},
    {"p", "phase", StandardGate::kP, ControlShape::kNone, {"target"}},
    {"rx", nullptr, StandardGate::kRX, ControlShape::kNone, {"target"}},
    {"ry", nullptr, StandardGate::kRY, ControlShape::kNone, {"target"}},
    {"rz", nullptr, StandardGate::kRZ, ControlShape::kNone, {"target"}},
    {"u", nullptr, StandardGate::kU, ControlShape::kNone, {"target"}},
    {"swap", nullptr, StandardGate::kSwap, ControlShape::kNone, {"a", "b"}},
    {"iswap", nullptr, StandardGate::kISwap, ControlShape::kNone, {"a", "b"}},
    {"ch", nullptr, StandardGate::kH, ControlShape::kOne, {"control", "target"}},
    {"cx", "cnot", StandardGate::kX, ControlShape::kOne, {"control", "target"}, false, true},
    {"cy", nullptr, StandardGate::kY, ControlShape::kOne, {"control", "target"}},
    {"cz", nullptr, StandardGate::kZ, ControlShape::kOne, {"control", "target"}, false, true},
    {"cp", "cphase", StandardGate::kP, ControlShape::kOne, {"control", "target"}},
    {"crx", nullptr, StandardGate::kRX, ControlShape::kOne, {"control", "target"}},
    {"cry", nullptr, StandardGate::kRY, ControlShape::kOne, {"control", "target"}},
    {"crz", nullptr, StandardGate::kRZ, ControlShape::kOne, {"control", "target"}},
    {"cu", nullptr, StandardGate::kU, ControlShape::kOne, {"control", "target"}, true},
    {"ccx", "toffoli", StandardGate::kX, ControlShape::kTwo, {"control_a", "control_b", "target"}},
    {"cswap", "fredkin", StandardGate::kSwap, ControlShape::kOne, {"control", "a", "b"}},
    {"mcx", nullptr, StandardGate::kX, ControlShape::kList, {"controls", "target"}},
    {"mcz", nullptr, StandardGate::kZ, ControlShape::kList, {"controls", "target"}},
    {"mcp", "mcphase", StandardGate::kP, ControlShape::kList, {"controls", "target"}},
};

// (cos(0.5 * theta), sin(0.5 * theta)) from one simultaneous evaluation: the
// half angle of every rotation by theta (RX, RY, U and Pauli-string
// rotations).
void half_angle_cos_sin(float theta, float& c, float& s);
void half_angle_cos_sin(double theta, double& c, double& s);

// Writes the gate's matrix (4 or 16 entries) to `out`. `angles` holds the
// gate's angle count of values, in radians:
//   P(theta)            diag(1, e^(i theta)); theta is not halved
//   RX(theta)           (c, -i s; -i s, c), (s, c) = sincos(0.5 * theta)
//   RY(theta)           (c, -s; s, c)
//   RZ(theta)           diag(e^(i (-0.5 theta)), e^(i (0.5 theta))) from two
//                       evaluations, not one and its conjugate
//   U(theta, phi, lam)  (ch, -e^(i lam) sh; e^(i phi) sh, e^(i (phi + lam)) ch),
//                       (sh, ch) = sincos(0.5 * theta), phi + lam summed in
//                       T, no global phase
// Zero entries are +0 in both parts. The fixed entries: S and Sdg carry
// cos(pi/2) in T (single: -4.371139e-08) as the real part of their phase, T
// and Tdg (r, +-r) with r = 1/sqrt(2) rounded to T (single: 0.70710677), H
// has r everywhere.
template <class T = float>
void standard_matrix(StandardGate gate, std::span<const std::type_identity_t<T>> angles,
                     ComplexOf<T>* out);
template <class T = float>
std::vector<ComplexOf<T>> standard_matrix(StandardGate gate,
                                          std::span<const std::type_identity_t<T>> angles = {});

// Which standard gate built a gate, at which angles (as given, in double):
// the angles both matrices of the gate are made from (single precision from
// each angle rounded to float), and display metadata. Up to four angles (a
// controlled U's global phase comes after its three).
struct GateLabel {
  StandardGate gate = StandardGate::kI;
  std::uint8_t num_angles = 0;
  double angles[4] = {};

  // The first four of `angles` at most.
  static GateLabel of(StandardGate gate, std::span<const double> angles = {});
  std::span<const double> angle_values() const { return {angles, num_angles}; }
};

// Multiplies every entry (a, b) by (cos g, sin g) as (cg a - sg b, cg b + sg a)
// in T; without `gamma`, by exactly (1, 0), which still turns -0 - +0
// products as that formula does.
template <class T>
void apply_global_phase(std::span<ComplexOf<T>> matrix, std::optional<T> gamma);

}  // namespace vantrel::sim

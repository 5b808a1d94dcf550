// The standard gate set: one table of the gates' display names, qubit and
// angle counts and matrices, and the one place where the matrices of the
// angle-dependent gates are formed. The one-off Gate constructors, the fixed
// steps and rotations of compiled plans, and the engine tests all take their
// matrices from here.
//
// Matrices are row-major, single precision; on two qubits the first qubit is
// the high bit of the index. An angle's (cos x, sin x) comes from one
// simultaneous single-precision evaluation.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/base/complex.h"

namespace vantrel::sim {

enum class StandardGate : std::uint8_t {
  kH, kI, kX, kY, kZ, kS, kSdg, kT, kTdg, kSwap, kISwap,  // fixed
  kP, kRX, kRY, kRZ, kU,                                   // angle-dependent
};

struct StandardGateInfo {
  StandardGate gate;
  const char* name;     // short display name: "H", "SWAP", "RX", "U"
  unsigned qubits;      // 1 or 2
  unsigned angles;      // angles the matrix takes: 0, 1 (theta) or 3 (theta, phi, lambda)
};

// The whole table, in the order of StandardGate.
std::span<const StandardGateInfo> standard_gates();
const StandardGateInfo& standard_gate_info(StandardGate gate);

// (cos(0.5 * theta), sin(0.5 * theta)) from one simultaneous evaluation: the
// half angle of every rotation by theta (RX, RY, U and Pauli-string
// rotations).
void half_angle_cos_sin(float theta, float& c, float& s);

// Writes the gate's matrix (4 or 16 entries) to `out`. `angles` holds the
// gate's angle count of values, in radians:
//   P(theta)            diag(1, e^(i theta)); theta is not halved
//   RX(theta)           (c, -i s; -i s, c), (s, c) = sincos(0.5 * theta)
//   RY(theta)           (c, -s; s, c)
//   RZ(theta)           diag(e^(i (-0.5 theta)), e^(i (0.5 theta))) from two
//                       evaluations, not one and its conjugate
//   U(theta, phi, lam)  (ch, -e^(i lam) sh; e^(i phi) sh, e^(i (phi + lam)) ch),
//                       (sh, ch) = sincos(0.5 * theta), phi + lam summed in
//                       single precision, no global phase
// Zero entries are +0 in both parts. The fixed entries: S and Sdg carry
// cos(pi/2) in single precision (-4.371139e-08) as the real part of their
// phase, T and Tdg (r, +-r) with r = 0.70710677, H has r everywhere.
void standard_matrix(StandardGate gate, std::span<const float> angles, Complex* out);
std::vector<Complex> standard_matrix(StandardGate gate, std::span<const float> angles = {});

// Which standard gate built a gate, at which angles: display metadata, which
// no computation reads. Up to four angles (a controlled U's global phase
// comes after its three).
struct GateLabel {
  StandardGate gate = StandardGate::kI;
  std::uint8_t num_angles = 0;
  float angles[4] = {};

  // The first four of `angles` at most.
  static GateLabel of(StandardGate gate, std::span<const float> angles = {});
  std::span<const float> angle_values() const { return {angles, num_angles}; }
};

// Multiplies every entry (a, b) by (cos g, sin g) as (cg a - sg b, cg b + sg a);
// without `gamma`, by exactly (1, 0), which still turns -0 - +0 products as
// that formula does.
void apply_global_phase(std::span<Complex> matrix, std::optional<float> gamma);

}  // namespace vantrel::sim

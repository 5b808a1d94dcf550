#include "sim/model/gate_table.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace vantrel::sim {
namespace {

// 1/sqrt(2) rounded to single precision.
constexpr float kR = std::bit_cast<float>(std::uint32_t{0x3F3504F3});
// cos(pi/2) in single precision; the S and Sdg phases carry it as their real part.
constexpr float kEps = std::bit_cast<float>(std::uint32_t{0xB33BBD2E});

// The fixed matrices, in the order of StandardGate; 4 or 16 entries used.
constexpr Complex kFixed[][16] = {
    {{kR, 0}, {kR, 0}, {kR, 0}, {-kR, 0}},
    {{1, 0}, {0, 0}, {0, 0}, {1, 0}},
    {{0, 0}, {1, 0}, {1, 0}, {0, 0}},
    {{0, 0}, {0, -1}, {0, 1}, {0, 0}},
    {{1, 0}, {0, 0}, {0, 0}, {-1, 0}},
    {{1, 0}, {0, 0}, {0, 0}, {kEps, 1}},
    {{1, 0}, {0, 0}, {0, 0}, {kEps, -1}},
    {{1, 0}, {0, 0}, {0, 0}, {kR, kR}},
    {{1, 0}, {0, 0}, {0, 0}, {kR, -kR}},
    {{1, 0}, {0, 0}, {0, 0}, {0, 0},
     {0, 0}, {0, 0}, {1, 0}, {0, 0},
     {0, 0}, {1, 0}, {0, 0}, {0, 0},
     {0, 0}, {0, 0}, {0, 0}, {1, 0}},
    {{1, 0}, {0, 0}, {0, 0}, {0, 0},
     {0, 0}, {0, 0}, {0, 1}, {0, 0},
     {0, 0}, {0, 1}, {0, 0}, {0, 0},
     {0, 0}, {0, 0}, {0, 0}, {1, 0}},
};
static_assert(std::size(kFixed) == static_cast<std::size_t>(StandardGate::kP));

// (cos x, sin x) from one simultaneous evaluation in single precision.
struct CosSin {
  float c, s;
};
CosSin cos_sin(float x) {
  CosSin r;
  ::sincosf(x, &r.s, &r.c);
  return r;
}

void write(Complex* out, Complex m00, Complex m01, Complex m10, Complex m11) {
  out[0] = m00;
  out[1] = m01;
  out[2] = m10;
  out[3] = m11;
}

}  // namespace

void half_angle_cos_sin(float theta, float& c, float& s) { ::sincosf(0.5f * theta, &s, &c); }

void standard_matrix(StandardGate gate, std::span<const float> angles, Complex* out) {
  const Complex zero{0.0f, 0.0f};
  switch (gate) {
    case StandardGate::kP: {
      const CosSin e = cos_sin(angles[0]);
      return write(out, {1.0f, 0.0f}, zero, zero, {e.c, e.s});
    }
    case StandardGate::kRX: {
      CosSin h;
      half_angle_cos_sin(angles[0], h.c, h.s);
      return write(out, {h.c, 0.0f}, {0.0f, -h.s}, {0.0f, -h.s}, {h.c, 0.0f});
    }
    case StandardGate::kRY: {
      CosSin h;
      half_angle_cos_sin(angles[0], h.c, h.s);
      return write(out, {h.c, 0.0f}, {-h.s, 0.0f}, {h.s, 0.0f}, {h.c, 0.0f});
    }
    case StandardGate::kRZ: {
      const CosSin lo = cos_sin(-0.5f * angles[0]);
      const CosSin hi = cos_sin(0.5f * angles[0]);
      return write(out, {lo.c, lo.s}, zero, zero, {hi.c, hi.s});
    }
    case StandardGate::kU: {
      CosSin h;
      half_angle_cos_sin(angles[0], h.c, h.s);
      const CosSin l = cos_sin(angles[2]);
      const CosSin p = cos_sin(angles[1]);
      const CosSin q = cos_sin(angles[1] + angles[2]);
      return write(out, {h.c, 0.0f}, {-l.c * h.s, -l.s * h.s}, {p.c * h.s, p.s * h.s},
                   {q.c * h.c, q.s * h.c});
    }
    default: {
      const std::size_t entries = standard_gate_info(gate).qubits == 1 ? 4 : 16;
      const Complex* m = kFixed[static_cast<std::size_t>(gate)];
      for (std::size_t i = 0; i < entries; ++i) out[i] = m[i];
    }
  }
}

std::vector<Complex> standard_matrix(StandardGate gate, std::span<const float> angles) {
  std::vector<Complex> m(standard_gate_info(gate).qubits == 1 ? 4 : 16);
  standard_matrix(gate, angles, m.data());
  return m;
}

GateLabel GateLabel::of(StandardGate gate, std::span<const float> angles) {
  GateLabel label;
  label.gate = gate;
  label.num_angles = static_cast<std::uint8_t>(std::min<std::size_t>(angles.size(), 4));
  std::copy_n(angles.begin(), label.num_angles, label.angles);
  return label;
}

void apply_global_phase(std::span<Complex> matrix, std::optional<float> gamma) {
  const CosSin g = gamma ? cos_sin(*gamma) : CosSin{1.0f, 0.0f};
  for (Complex& e : matrix) e = Complex{g.c * e.re - g.s * e.im, g.c * e.im + g.s * e.re};
}

}  // namespace vantrel::sim

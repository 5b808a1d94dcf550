#include "sim/model/gate_table.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace vantrel::sim {
namespace {

// 1/sqrt(2) and cos(pi/2) rounded to T: the entries of H, T, Tdg and the
// real part of the S and Sdg phases.
template <class T>
struct FixedConstants;
template <>
struct FixedConstants<float> {
  static constexpr float r = std::bit_cast<float>(std::uint32_t{0x3F3504F3});
  static constexpr float eps = std::bit_cast<float>(std::uint32_t{0xB33BBD2E});
};
template <>
struct FixedConstants<double> {
  static constexpr double r = 0.70710678118654752440;
  static constexpr double eps = 6.123233995736766e-17;
};

// The fixed matrices, in the order of StandardGate; 4 or 16 entries used.
template <class T>
const ComplexOf<T>* fixed_matrix(StandardGate gate) {
  constexpr T kR = FixedConstants<T>::r;
  constexpr T kEps = FixedConstants<T>::eps;
  static constexpr ComplexOf<T> kFixed[][16] = {
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
  return kFixed[static_cast<std::size_t>(gate)];
}

// (cos x, sin x) from one simultaneous evaluation in T.
template <class T>
struct CosSin {
  T c, s;
};
void sin_cos(float x, float& s, float& c) { ::sincosf(x, &s, &c); }
void sin_cos(double x, double& s, double& c) { ::sincos(x, &s, &c); }
template <class T>
CosSin<T> cos_sin(T x) {
  CosSin<T> r;
  sin_cos(x, r.s, r.c);
  return r;
}

template <class T>
void write(ComplexOf<T>* out, ComplexOf<T> m00, ComplexOf<T> m01, ComplexOf<T> m10,
           ComplexOf<T> m11) {
  out[0] = m00;
  out[1] = m01;
  out[2] = m10;
  out[3] = m11;
}

}  // namespace

void half_angle_cos_sin(float theta, float& c, float& s) { ::sincosf(0.5f * theta, &s, &c); }
void half_angle_cos_sin(double theta, double& c, double& s) { ::sincos(0.5 * theta, &s, &c); }

template <class T>
void standard_matrix(StandardGate gate, std::span<const std::type_identity_t<T>> angles,
                     ComplexOf<T>* out) {
  using C = ComplexOf<T>;
  const T half = T(0.5);
  const C zero{T(0), T(0)};
  switch (gate) {
    case StandardGate::kP: {
      const CosSin<T> e = cos_sin(angles[0]);
      return write<T>(out, {T(1), T(0)}, zero, zero, {e.c, e.s});
    }
    case StandardGate::kRX: {
      CosSin<T> h;
      half_angle_cos_sin(angles[0], h.c, h.s);
      return write<T>(out, {h.c, T(0)}, {T(0), -h.s}, {T(0), -h.s}, {h.c, T(0)});
    }
    case StandardGate::kRY: {
      CosSin<T> h;
      half_angle_cos_sin(angles[0], h.c, h.s);
      return write<T>(out, {h.c, T(0)}, {-h.s, T(0)}, {h.s, T(0)}, {h.c, T(0)});
    }
    case StandardGate::kRZ: {
      const CosSin<T> lo = cos_sin(-half * angles[0]);
      const CosSin<T> hi = cos_sin(half * angles[0]);
      return write<T>(out, {lo.c, lo.s}, zero, zero, {hi.c, hi.s});
    }
    case StandardGate::kU: {
      CosSin<T> h;
      half_angle_cos_sin(angles[0], h.c, h.s);
      const CosSin<T> l = cos_sin(angles[2]);
      const CosSin<T> p = cos_sin(angles[1]);
      const CosSin<T> q = cos_sin(angles[1] + angles[2]);
      return write<T>(out, {h.c, T(0)}, {-l.c * h.s, -l.s * h.s}, {p.c * h.s, p.s * h.s},
                      {q.c * h.c, q.s * h.c});
    }
    default: {
      const std::size_t entries = standard_gate_info(gate).qubits == 1 ? 4 : 16;
      const C* m = fixed_matrix<T>(gate);
      for (std::size_t i = 0; i < entries; ++i) out[i] = m[i];
    }
  }
}

template <class T>
std::vector<ComplexOf<T>> standard_matrix(StandardGate gate,
                                          std::span<const std::type_identity_t<T>> angles) {
  std::vector<ComplexOf<T>> m(standard_gate_info(gate).qubits == 1 ? 4 : 16);
  standard_matrix<T>(gate, angles, m.data());
  return m;
}

GateLabel GateLabel::of(StandardGate gate, std::span<const double> angles) {
  GateLabel label;
  label.gate = gate;
  label.num_angles = static_cast<std::uint8_t>(std::min<std::size_t>(angles.size(), 4));
  std::copy_n(angles.begin(), label.num_angles, label.angles);
  return label;
}

template <class T>
void apply_global_phase(std::span<ComplexOf<T>> matrix, std::optional<T> gamma) {
  const CosSin<T> g = gamma ? cos_sin(*gamma) : CosSin<T>{T(1), T(0)};
  for (ComplexOf<T>& e : matrix) e = ComplexOf<T>{g.c * e.re - g.s * e.im, g.c * e.im + g.s * e.re};
}

#define VANTREL_GATE_TABLE_OF(T)                                                          \
  template void standard_matrix<T>(StandardGate, std::span<const T>, ComplexOf<T>*);     \
  template std::vector<ComplexOf<T>> standard_matrix<T>(StandardGate, std::span<const T>); \
  template void apply_global_phase<T>(std::span<ComplexOf<T>>, std::optional<T>);
VANTREL_GATE_TABLE_OF(float)
VANTREL_GATE_TABLE_OF(double)
#undef VANTREL_GATE_TABLE_OF

}  // namespace vantrel::sim

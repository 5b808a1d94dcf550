// Single-precision complex amplitudes and the product rule of the engine.
//
// Deliberately not std::complex: its operator* follows C99 Annex G (NaN
// recovery through __mulsc3), which is neither the arithmetic the engine
// promises nor fast. Every product in the engine is
//   (xr*yr - xi*yi, xr*yi + xi*yr)
// in 32-bit floats, never fused (the build passes -ffp-contract=off).
#pragma once

#include <cstdint>

namespace vantrel::sim {

struct Complex {
  float re = 0.0f;
  float im = 0.0f;
};
static_assert(sizeof(Complex) == 8, "Complex must match NumPy complex64");

inline Complex cmul(Complex x, Complex y) {
  return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}
inline Complex cadd(Complex x, Complex y) { return {x.re + y.re, x.im + y.im}; }
inline Complex conj(Complex x) { return {x.re, -x.im}; }
inline bool operator==(Complex a, Complex b) { return a.re == b.re && a.im == b.im; }

}  // namespace vantrel::sim

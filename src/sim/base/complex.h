// Complex amplitudes of either precision and the product rule of the engine.
//
// Deliberately not std::complex: its operator* follows C99 Annex G (NaN
// recovery through __mulsc3), which is neither the arithmetic the engine
// promises nor fast. Every product in the engine is
//   (xr*yr - xi*yi, xr*yi + xi*yr)
// in the scalar type of its operands, never fused (the build passes
// -ffp-contract=off).
//
// ComplexOf<float> matches NumPy complex64 and ComplexOf<double> complex128;
// Complex is the single-precision amplitude the engine has always used.
#pragma once

#include <cstdint>

namespace vantrel::sim {

template <class T>
struct ComplexOf {
  using Scalar = T;
  T re = T(0);
  T im = T(0);
};
using Complex = ComplexOf<float>;
using ComplexD = ComplexOf<double>;
static_assert(sizeof(Complex) == 8, "Complex must match NumPy complex64");
static_assert(sizeof(ComplexD) == 16, "ComplexD must match NumPy complex128");

template <class T>
inline ComplexOf<T> cmul(ComplexOf<T> x, ComplexOf<T> y) {
  return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}
template <class T>
inline ComplexOf<T> cadd(ComplexOf<T> x, ComplexOf<T> y) {
  return {x.re + y.re, x.im + y.im};
}
template <class T>
inline ComplexOf<T> conj(ComplexOf<T> x) {
  return {x.re, -x.im};
}
template <class T>
inline bool operator==(ComplexOf<T> a, ComplexOf<T> b) {
  return a.re == b.re && a.im == b.im;
}

}  // namespace vantrel::sim

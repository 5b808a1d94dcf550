// The scalar reference and SSE2 (the x86-64 baseline) variants of the
// one-qubit kernel and its controlled form (mat2_lanes.h).
#include "sim/kernels/mat2.h"

#include "sim/kernels/lanes_sse2.h"
#include "sim/kernels/mat2_lanes.h"

namespace vantrel::sim::kernels {

namespace {

template <class T>
inline bool zero(ComplexOf<T> c) {
  return c.re == T(0) && c.im == T(0);
}
template <class T>
inline bool one(ComplexOf<T> c) {
  return c.re == T(1) && c.im == T(0);
}

}  // namespace

template <class T>
Mat2Shape mat2_shape(const ComplexOf<T> m[4]) {
  auto real = [](ComplexOf<T> c) { return c.im == T(0); };
  auto imaginary = [](ComplexOf<T> c) { return c.re == T(0); };
  const bool anti = zero(m[0]) && zero(m[3]);
  if (anti && one(m[1]) && one(m[2])) return Mat2Shape::kSwap;
  if (real(m[0]) && real(m[1]) && real(m[2]) && real(m[3])) return Mat2Shape::kReal;
  if (real(m[0]) && real(m[3]) && imaginary(m[1]) && imaginary(m[2])) return Mat2Shape::kRealImaginary;
  if (zero(m[1]) && zero(m[2])) return Mat2Shape::kDiagonal;
  if (anti) return Mat2Shape::kAntiDiagonal;
  return Mat2Shape::kGeneral;
}

template <class T>
void mat2_pairs_scalar(ComplexOf<T>* amps, unsigned q, const ComplexOf<T> m[4], std::size_t lo, std::size_t hi) {
  const std::size_t s = std::size_t{1} << q;
  for (std::size_t p = lo; p < hi; ++p) {
    ComplexOf<T>* a0 = amps + ((p >> q) << (q + 1)) + (p & (s - 1));
    mat2_pair_scalar(a0, a0 + s, m);
  }
}

template <class T>
void controlled_pairs_scalar(ComplexOf<T>* amps, unsigned t, const ComplexOf<T> m[4], std::uint32_t low,
                             std::size_t lo, std::size_t hi) {
  const std::size_t s = std::size_t{1} << t;
  for (std::size_t p = lo; p < hi; ++p) {
    ComplexOf<T>* a0 = amps + ((p >> t) << (t + 1)) + (p & (s - 1));
    if ((p & low) == low) {
      mat2_pair_scalar<true>(a0, a0 + s, m);
    } else {
      *a0 = cadd(*a0, ComplexOf<T>{});
      a0[s] = cadd(a0[s], ComplexOf<T>{});
    }
  }
}

template <class T>
void mat2_pairs_sse2(ComplexOf<T>* amps, unsigned q, const ComplexOf<T> m[4], std::size_t lo, std::size_t hi) {
  mat2_pairs_of<Sse2<T>>(amps, q, m, lo, hi);
}

template <class T>
void controlled_pairs_sse2(ComplexOf<T>* amps, unsigned t, const ComplexOf<T> m[4], std::uint32_t low,
                           std::size_t lo, std::size_t hi) {
  controlled_pairs_of<Sse2<T>>(amps, t, m, low, lo, hi);
}

#define VANTREL_MAT2(T)                                                                                      \
  template Mat2Shape mat2_shape<T>(const ComplexOf<T>*);                                                     \
  template void mat2_pairs_scalar<T>(ComplexOf<T>*, unsigned, const ComplexOf<T>*, std::size_t, std::size_t); \
  template void mat2_pairs_sse2<T>(ComplexOf<T>*, unsigned, const ComplexOf<T>*, std::size_t, std::size_t);   \
  template void controlled_pairs_scalar<T>(ComplexOf<T>*, unsigned, const ComplexOf<T>*, std::uint32_t,     \
                                           std::size_t, std::size_t);                                      \
  template void controlled_pairs_sse2<T>(ComplexOf<T>*, unsigned, const ComplexOf<T>*, std::uint32_t,       \
                                         std::size_t, std::size_t);
VANTREL_MAT2(float)
VANTREL_MAT2(double)
#undef VANTREL_MAT2

void mat2_pairs(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi) {
  active_kernels().mat2_pairs(amps, q, m, lo, hi);
}

}  // namespace vantrel::sim::kernels

// The scalar and SSE2 (the x86-64 baseline) variants of the one-qubit kernel.
//
// A complex product m*a is computed lane-wise as mr*a + mi'*swap(a), with
// mr = (m.re, m.re), mi' = (-m.im, m.im) and swap(a) = (a.im, a.re): the real
// lane is m.re*a.re + (-m.im)*a.im, which IEEE arithmetic makes identical to
// m.re*a.re - m.im*a.im (negation is exact and x - y is x + (-y)); the
// imaginary lane is m.re*a.im + m.im*a.re. So every lane performs exactly the
// scalar operations of cmul, in the same order, without fusion.
#include <emmintrin.h>

#include <algorithm>

#include "sim/kernels/lanes_sse2.h"
#include "sim/kernels/mat2.h"

namespace vantrel::sim::kernels {
namespace {

using V = Sse2<float>;
using Coef = V::Coef;

// Coefficients for lanes holding (first, second) complex numbers.
inline Coef coef(Complex first, Complex second) {
  return {_mm_setr_ps(first.re, first.re, second.re, second.re),
          _mm_setr_ps(-first.im, first.im, -second.im, second.im)};
}

// Runs of `len` pairs whose amplitudes are a0[i] and a1[i].
void runs(Complex* a0, Complex* a1, std::size_t len, const Complex m[4]) {
  const Coef c00 = coef(m[0], m[0]), c01 = coef(m[1], m[1]);
  const Coef c10 = coef(m[2], m[2]), c11 = coef(m[3], m[3]);
  std::size_t i = 0;
  for (; i + 2 <= len; i += 2) {
    prefetch_ahead(a0 + i);
    prefetch_ahead(a1 + i);
    float* p0 = reinterpret_cast<float*>(a0 + i);
    float* p1 = reinterpret_cast<float*>(a1 + i);
    const __m128 x0 = _mm_loadu_ps(p0), x1 = _mm_loadu_ps(p1);
    const __m128 y0 = _mm_add_ps(V::cmul(c00, x0), V::cmul(c01, x1));
    const __m128 y1 = _mm_add_ps(V::cmul(c10, x0), V::cmul(c11, x1));
    _mm_storeu_ps(p0, y0);
    _mm_storeu_ps(p1, y1);
  }
  for (; i < len; ++i) mat2_pair_scalar(a0 + i, a1 + i, m);
}

// Qubit 0: `count` adjacent pairs (a0, a1), one per vector. The a1 slot
// computes (m11 a1) + (m10 a0): the reference's sum with its operands
// swapped, which IEEE addition leaves bit for bit the same.
void interleaved(Complex* a, std::size_t count, const Complex m[4]) {
  const Coef diag = coef(m[0], m[3]), off = coef(m[1], m[2]);
  for (std::size_t i = 0; i < count; ++i) {
    prefetch_ahead(a + 2 * i);
    float* p = reinterpret_cast<float*>(a + 2 * i);
    const __m128 x = _mm_loadu_ps(p);
    const __m128 swapped = _mm_shuffle_ps(x, x, _MM_SHUFFLE(1, 0, 3, 2));
    _mm_storeu_ps(p, _mm_add_ps(V::cmul(diag, x), V::cmul(off, swapped)));
  }
}

}  // namespace

void mat2_pairs_scalar(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi) {
  const std::size_t s = std::size_t{1} << q;
  for (std::size_t p = lo; p < hi; ++p) {
    Complex* a0 = amps + ((p >> q) << (q + 1)) + (p & (s - 1));
    mat2_pair_scalar(a0, a0 + s, m);
  }
}

void mat2_pairs_sse2(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi) {
  if (q == 0) {
    interleaved(amps + 2 * lo, hi - lo, m);
    return;
  }
  const std::size_t s = std::size_t{1} << q;
  for (std::size_t p = lo; p < hi;) {
    const std::size_t i = p & (s - 1);
    const std::size_t len = std::min(s - i, hi - p);
    Complex* a0 = amps + ((p >> q) << (q + 1)) + i;
    runs(a0, a0 + s, len, m);
    p += len;
  }
}

void mat2_pairs(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi) {
  active_kernels().mat2_pairs(amps, q, m, lo, hi);
}

}  // namespace vantrel::sim::kernels

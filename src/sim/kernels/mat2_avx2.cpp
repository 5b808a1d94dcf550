// AVX2 variant of the one-qubit kernel: four complex numbers per vector.
// Same lane arithmetic as the SSE2 variant (see mat2.cpp); built with -mavx2
// only, never with FMA, and called only when the processor has AVX2.
#include <immintrin.h>

#include <algorithm>

#include "sim/kernels/lanes_avx2.h"
#include "sim/kernels/mat2.h"

namespace vantrel::sim::kernels {
namespace {

using V = Avx2<float>;
using Coef = V::Coef;

// Coefficients for lanes holding (a, b | c, d) complex numbers.
inline Coef coef(Complex a, Complex b, Complex c, Complex d) {
  return {_mm256_setr_ps(a.re, a.re, b.re, b.re, c.re, c.re, d.re, d.re),
          _mm256_setr_ps(-a.im, a.im, -b.im, b.im, -c.im, c.im, -d.im, d.im)};
}

void runs(Complex* a0, Complex* a1, std::size_t len, const Complex m[4]) {
  const Coef c00 = coef(m[0], m[0], m[0], m[0]), c01 = coef(m[1], m[1], m[1], m[1]);
  const Coef c10 = coef(m[2], m[2], m[2], m[2]), c11 = coef(m[3], m[3], m[3], m[3]);
  std::size_t i = 0;
  for (; i + 4 <= len; i += 4) {
    prefetch_ahead(a0 + i);
    prefetch_ahead(a1 + i);
    float* p0 = reinterpret_cast<float*>(a0 + i);
    float* p1 = reinterpret_cast<float*>(a1 + i);
    const __m256 x0 = _mm256_loadu_ps(p0), x1 = _mm256_loadu_ps(p1);
    const __m256 y0 = _mm256_add_ps(V::cmul(c00, x0), V::cmul(c01, x1));
    const __m256 y1 = _mm256_add_ps(V::cmul(c10, x0), V::cmul(c11, x1));
    _mm256_storeu_ps(p0, y0);
    _mm256_storeu_ps(p1, y1);
  }
  for (; i < len; ++i) mat2_pair_scalar(a0 + i, a1 + i, m);
}

// Qubit 0: vectors hold (a0 a1 | a0' a1'), two pairs. Each slot adds its
// own row's products: (m00 a0) + (m01 a1) in the a0 slot, (m11 a1) + (m10 a0)
// in the a1 slot, the reference's sum with its operands swapped, which IEEE
// addition leaves bit for bit the same.
void qubit0(Complex* a, std::size_t count, const Complex m[4]) {
  const Coef diag = coef(m[0], m[3], m[0], m[3]), off = coef(m[1], m[2], m[1], m[2]);
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    prefetch_ahead(a + 2 * i);
    float* p = reinterpret_cast<float*>(a + 2 * i);
    const __m256 x = _mm256_loadu_ps(p);
    const __m256 swapped = _mm256_permute_ps(x, _MM_SHUFFLE(1, 0, 3, 2));
    _mm256_storeu_ps(p, _mm256_add_ps(V::cmul(diag, x), V::cmul(off, swapped)));
  }
  if (i < count) mat2_pair_scalar(a + 2 * i, a + 2 * i + 1, m);
}

// Qubit 1: a block of four amplitudes (a0 a0' | a1 a1') is two pairs; the
// a1 half sums its products in swapped order, as for qubit 0.
void qubit1(Complex* amps, std::size_t lo, std::size_t hi, const Complex m[4]) {
  const Coef diag = coef(m[0], m[0], m[3], m[3]), off = coef(m[1], m[1], m[2], m[2]);
  std::size_t p = lo;
  auto scalar = [&](std::size_t pair) {
    Complex* a0 = amps + ((pair >> 1) << 2) + (pair & 1);
    mat2_pair_scalar(a0, a0 + 2, m);
  };
  if (p < hi && (p & 1)) scalar(p++);
  for (; p + 2 <= hi; p += 2) {
    prefetch_ahead(amps + 2 * p);
    float* f = reinterpret_cast<float*>(amps + 2 * p);
    const __m256 x = _mm256_loadu_ps(f);
    const __m256 swapped = _mm256_permute2f128_ps(x, x, 0x01);
    _mm256_storeu_ps(f, _mm256_add_ps(V::cmul(diag, x), V::cmul(off, swapped)));
  }
  if (p < hi) scalar(p);
}

}  // namespace

void mat2_pairs_avx2(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi) {
  if (q == 0) {
    qubit0(amps + 2 * lo, hi - lo, m);
    return;
  }
  if (q == 1) {
    qubit1(amps, lo, hi, m);
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

}  // namespace vantrel::sim::kernels

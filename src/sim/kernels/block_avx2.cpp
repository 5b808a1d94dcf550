// AVX2 forms of the block kernels: four complex numbers per vector, the lane
// arithmetic of mat2.cpp. Built with -mavx2 only (no FMA); reached only
// through the AVX2 table (and the AVX-512 one for blocks too small for it).
#include <immintrin.h>

#include "sim/kernels/block.h"
#include "sim/kernels/lanes_avx2.h"

namespace vantrel::sim::kernels {
namespace {

using Shape = Mat2Block::Shape;

using V = Avx2<float>;
// Lane coefficients of one matrix entry per complex slot of a vector.
using Coefs = V::Coef;

inline Coefs coefs(Complex a, Complex b, Complex c, Complex d) {
  return {_mm256_setr_ps(a.re, a.re, b.re, b.re, c.re, c.re, d.re, d.re),
          _mm256_setr_ps(-a.im, a.im, -b.im, b.im, -c.im, c.im, -d.im, d.im)};
}

// All four products, in the association of the one-qubit kernel.
inline __m256 full(__m256 self, __m256 other, const Coefs& d, const Coefs& o) {
  return V::add(V::cmul(d, self), V::cmul(o, other));
}

// The products of nonzero coefficients only; all four wherever a lane is +-0.
template <Shape S>
inline __m256 update(__m256 self, __m256 other, const Coefs& d, const Coefs& o) {
  if constexpr (S == Shape::kGeneral) {
    return full(self, other, d, o);
  } else {
    __m256 y;
    if constexpr (S == Shape::kReal) {
      y = _mm256_add_ps(_mm256_mul_ps(d.re, self), _mm256_mul_ps(o.re, other));
    } else if constexpr (S == Shape::kRealImaginary) {
      y = _mm256_add_ps(_mm256_mul_ps(d.re, self), _mm256_mul_ps(o.im, V::swap_parts(other)));
    } else {
      y = _mm256_add_ps(_mm256_mul_ps(d.re, self), _mm256_mul_ps(d.im, V::swap_parts(self)));
    }
    if (__builtin_expect(_mm256_movemask_ps(_mm256_cmp_ps(y, _mm256_setzero_ps(), _CMP_EQ_OQ)) != 0, 0))
      y = full(self, other, d, o);
    return y;
  }
}

template <Shape S>
void mat2_block(Complex* amps, unsigned bits, unsigned q, const Complex m[4]) {
  const std::size_t n = std::size_t{1} << bits;
  float* f = reinterpret_cast<float*>(amps);
  if (q == 0) {
    // (a0 a1 | a0' a1'): the a1 slots sum (m11 a1) + (m10 a0), the
    // reference's terms in swapped order, which addition leaves as it is.
    const Coefs d = coefs(m[0], m[3], m[0], m[3]), o = coefs(m[1], m[2], m[1], m[2]);
    for (std::size_t i = 0; i < 2 * n; i += 8) {
      const __m256 x = _mm256_loadu_ps(f + i);
      _mm256_storeu_ps(f + i, update<S>(x, _mm256_permute_ps(x, _MM_SHUFFLE(1, 0, 3, 2)), d, o));
    }
    return;
  }
  if (q == 1) {
    // (a0 a0' | a1 a1'), the a1 half summed in swapped order as above.
    const Coefs d = coefs(m[0], m[0], m[3], m[3]), o = coefs(m[1], m[1], m[2], m[2]);
    for (std::size_t i = 0; i < 2 * n; i += 8) {
      const __m256 x = _mm256_loadu_ps(f + i);
      _mm256_storeu_ps(f + i, update<S>(x, _mm256_permute2f128_ps(x, x, 0x01), d, o));
    }
    return;
  }
  const Coefs c00 = coefs(m[0], m[0], m[0], m[0]), c01 = coefs(m[1], m[1], m[1], m[1]);
  const Coefs c10 = coefs(m[2], m[2], m[2], m[2]), c11 = coefs(m[3], m[3], m[3], m[3]);
  const std::size_t s = 2 * (std::size_t{1} << q);  // floats between a0 and a1
  for (std::size_t b = 0; b < 2 * n; b += 2 * s) {
    for (std::size_t i = b; i < b + s; i += 8) {
      const __m256 x0 = _mm256_loadu_ps(f + i), x1 = _mm256_loadu_ps(f + i + s);
      // y1 = (m11 a1) + (m10 a0): the reference's sum, operands swapped.
      _mm256_storeu_ps(f + i, update<S>(x0, x1, c00, c01));
      _mm256_storeu_ps(f + i + s, update<S>(x1, x0, c11, c10));
    }
  }
}

}  // namespace

void block_mat2_avx2(Complex* amps, unsigned bits, const Mat2Block& op) {
  if (bits < 2) {
    block_mat2_sse2(amps, bits, op);
    return;
  }
  switch (op.shape) {
    case Shape::kReal:
      mat2_block<Shape::kReal>(amps, bits, op.q, op.m);
      return;
    case Shape::kRealImaginary:
      mat2_block<Shape::kRealImaginary>(amps, bits, op.q, op.m);
      return;
    case Shape::kDiagonal:
      mat2_block<Shape::kDiagonal>(amps, bits, op.q, op.m);
      return;
    case Shape::kGeneral:
      mat2_block<Shape::kGeneral>(amps, bits, op.q, op.m);
      return;
  }
}

// Lanes whose pair has every control set take the other amplitude of the
// pair, then every lane adds 0.
void block_controlled_x_avx2(Complex* amps, unsigned bits, const ControlledMat2& c) {
  if (bits < 2) {
    block_controlled_x_scalar(amps, bits, c);
    return;
  }
  const unsigned t = c.target;
  const std::size_t n = std::size_t{1} << bits;
  const __m256i cp = _mm256_set1_epi32(static_cast<int>(c.low | c.high));
  const __m256 zero = _mm256_setzero_ps();
  float* f = reinterpret_cast<float*>(amps);
  auto on = [&](__m256i idx) { return _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(idx, cp), cp)); };
  if (t <= 1) {
    // Pairs p, p + 1 per vector: (a0 a1 | a0' a1') for qubit 0, (a0 a0' |
    // a1 a1') for qubit 1.
    const __m256i lanes = t == 0 ? _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1) : _mm256_setr_epi32(0, 0, 1, 1, 0, 0, 1, 1);
    __m256i idx = lanes;
    const __m256i two = _mm256_set1_epi32(2);
    for (std::size_t i = 0; i < 2 * n; i += 8, idx = _mm256_add_epi32(idx, two)) {
      const __m256 x = _mm256_loadu_ps(f + i);
      const __m256 other = t == 0 ? _mm256_permute_ps(x, _MM_SHUFFLE(1, 0, 3, 2)) : _mm256_permute2f128_ps(x, x, 0x01);
      _mm256_storeu_ps(f + i, _mm256_add_ps(_mm256_blendv_ps(x, other, on(idx)), zero));
    }
    return;
  }
  const std::size_t s = 2 * (std::size_t{1} << t);
  const __m256i lanes = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
  const __m256i four = _mm256_set1_epi32(4);
  __m256i idx = lanes;  // pairs of the vector at f + i
  for (std::size_t b = 0; b < 2 * n; b += 2 * s) {
    for (std::size_t i = b; i < b + s; i += 8, idx = _mm256_add_epi32(idx, four)) {
      const __m256 x0 = _mm256_loadu_ps(f + i), x1 = _mm256_loadu_ps(f + i + s);
      const __m256 sel = on(idx);
      _mm256_storeu_ps(f + i, _mm256_add_ps(_mm256_blendv_ps(x0, x1, sel), zero));
      _mm256_storeu_ps(f + i + s, _mm256_add_ps(_mm256_blendv_ps(x1, x0, sel), zero));
    }
  }
}

}  // namespace vantrel::sim::kernels

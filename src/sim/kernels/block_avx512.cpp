// AVX-512 forms of the block kernels: eight complex numbers per vector, the
// lane arithmetic of mat2.cpp and the shortcuts of block_avx2.cpp. Built
// with the AVX-512 flags (no FMA, no auto-vectorisation: see CMakeLists.txt);
// reached only through the AVX-512 table.
#include <immintrin.h>

#include "sim/kernels/block.h"
#include "sim/kernels/lanes_avx512.h"

namespace vantrel::sim::kernels {
namespace {

using Shape = Mat2Block::Shape;

using V = Avx512<float>;
using Coefs = V::Coef;

// Coefficients of the four complex slots of each 128-bit lane.
inline Coefs coefs(Complex a, Complex b, Complex c, Complex d) {
  return {_mm512_setr_ps(a.re, a.re, b.re, b.re, c.re, c.re, d.re, d.re, a.re, a.re, b.re, b.re, c.re, c.re,
                         d.re, d.re),
          _mm512_setr_ps(-a.im, a.im, -b.im, b.im, -c.im, c.im, -d.im, d.im, -a.im, a.im, -b.im, b.im, -c.im,
                         c.im, -d.im, d.im)};
}
// Two complex numbers, four of each: (a a a a b b b b).
inline Coefs halves(Complex a, Complex b) {
  return {_mm512_setr_ps(a.re, a.re, a.re, a.re, a.re, a.re, a.re, a.re, b.re, b.re, b.re, b.re, b.re, b.re,
                         b.re, b.re),
          _mm512_setr_ps(-a.im, a.im, -a.im, a.im, -a.im, a.im, -a.im, a.im, -b.im, b.im, -b.im, b.im, -b.im,
                         b.im, -b.im, b.im)};
}

inline __m512 full(__m512 self, __m512 other, const Coefs& d, const Coefs& o) {
  return V::add(V::cmul(d, self), V::cmul(o, other));
}

template <Shape S>
inline __m512 update(__m512 self, __m512 other, const Coefs& d, const Coefs& o) {
  if constexpr (S == Shape::kGeneral) {
    return full(self, other, d, o);
  } else {
    __m512 y;
    if constexpr (S == Shape::kReal) {
      y = _mm512_add_ps(_mm512_mul_ps(d.re, self), _mm512_mul_ps(o.re, other));
    } else if constexpr (S == Shape::kRealImaginary) {
      y = _mm512_add_ps(_mm512_mul_ps(d.re, self), _mm512_mul_ps(o.im, V::swap_parts(other)));
    } else {
      y = _mm512_add_ps(_mm512_mul_ps(d.re, self), _mm512_mul_ps(d.im, V::swap_parts(self)));
    }
    if (__builtin_expect(_mm512_cmp_ps_mask(y, _mm512_setzero_ps(), _CMP_EQ_OQ) != 0, 0))
      y = full(self, other, d, o);
    return y;
  }
}

// Within one vector: qubit 0 pairs neighbours, qubit 1 the 128-bit halves of
// each 256-bit half, qubit 2 the 256-bit halves; `other` brings each lane's
// partner, and the a1 lanes sum their terms in swapped order, which
// addition leaves as it is.
template <Shape S, unsigned Q>
void in_vector(float* f, std::size_t floats, const Complex m[4]) {
  Coefs d, o;
  if constexpr (Q == 0) {
    d = coefs(m[0], m[3], m[0], m[3]);
    o = coefs(m[1], m[2], m[1], m[2]);
  } else if constexpr (Q == 1) {
    d = coefs(m[0], m[0], m[3], m[3]);
    o = coefs(m[1], m[1], m[2], m[2]);
  } else {
    d = halves(m[0], m[3]);
    o = halves(m[1], m[2]);
  }
  for (std::size_t i = 0; i < floats; i += 16) {
    const __m512 x = _mm512_loadu_ps(f + i);
    __m512 other;
    if constexpr (Q == 0) {
      other = _mm512_permute_ps(x, _MM_SHUFFLE(1, 0, 3, 2));
    } else if constexpr (Q == 1) {
      other = _mm512_shuffle_f32x4(x, x, _MM_SHUFFLE(2, 3, 0, 1));
    } else {
      other = _mm512_shuffle_f32x4(x, x, _MM_SHUFFLE(1, 0, 3, 2));
    }
    _mm512_storeu_ps(f + i, update<S>(x, other, d, o));
  }
}

template <Shape S>
void mat2_block(Complex* amps, unsigned bits, unsigned q, const Complex m[4]) {
  const std::size_t floats = std::size_t{2} << bits;
  float* f = reinterpret_cast<float*>(amps);
  if (q == 0) return in_vector<S, 0>(f, floats, m);
  if (q == 1) return in_vector<S, 1>(f, floats, m);
  if (q == 2) return in_vector<S, 2>(f, floats, m);
  const Coefs c00 = halves(m[0], m[0]), c01 = halves(m[1], m[1]);
  const Coefs c10 = halves(m[2], m[2]), c11 = halves(m[3], m[3]);
  const std::size_t s = 2 * (std::size_t{1} << q);
  for (std::size_t b = 0; b < floats; b += 2 * s) {
    for (std::size_t i = b; i < b + s; i += 16) {
      const __m512 x0 = _mm512_loadu_ps(f + i), x1 = _mm512_loadu_ps(f + i + s);
      _mm512_storeu_ps(f + i, update<S>(x0, x1, c00, c01));
      _mm512_storeu_ps(f + i + s, update<S>(x1, x0, c11, c10));
    }
  }
}

}  // namespace

void block_mat2_avx512(Complex* amps, unsigned bits, const Mat2Block& op) {
  if (bits < 3) {
    block_mat2_avx2(amps, bits, op);
    return;
  }
  switch (op.shape) {
    case Shape::kReal:
      return mat2_block<Shape::kReal>(amps, bits, op.q, op.m);
    case Shape::kRealImaginary:
      return mat2_block<Shape::kRealImaginary>(amps, bits, op.q, op.m);
    case Shape::kDiagonal:
      return mat2_block<Shape::kDiagonal>(amps, bits, op.q, op.m);
    case Shape::kGeneral:
      return mat2_block<Shape::kGeneral>(amps, bits, op.q, op.m);
  }
}

// As the AVX2 form: lanes whose pair has every control set take their
// partner, then every lane adds 0. `idx` holds each float's pair.
void block_controlled_x_avx512(Complex* amps, unsigned bits, const ControlledMat2& c) {
  if (bits < 3) {
    block_controlled_x_avx2(amps, bits, c);
    return;
  }
  const unsigned t = c.target;
  const std::size_t floats = std::size_t{2} << bits;
  const __m512i cp = _mm512_set1_epi32(static_cast<int>(c.low | c.high));
  const __m512 zero = _mm512_setzero_ps();
  float* f = reinterpret_cast<float*>(amps);
  auto on = [&](__m512i idx) { return _mm512_cmpeq_epi32_mask(_mm512_and_si512(idx, cp), cp); };
  if (t <= 2) {
    // Four pairs per vector.
    const __m512i lanes = t == 0   ? _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3)
                          : t == 1 ? _mm512_setr_epi32(0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3)
                                   : _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 0, 0, 1, 1, 2, 2, 3, 3);
    const __m512i four = _mm512_set1_epi32(4);
    __m512i idx = lanes;
    for (std::size_t i = 0; i < floats; i += 16, idx = _mm512_add_epi32(idx, four)) {
      const __m512 x = _mm512_loadu_ps(f + i);
      const __m512 other = t == 0   ? _mm512_permute_ps(x, _MM_SHUFFLE(1, 0, 3, 2))
                           : t == 1 ? _mm512_shuffle_f32x4(x, x, _MM_SHUFFLE(2, 3, 0, 1))
                                    : _mm512_shuffle_f32x4(x, x, _MM_SHUFFLE(1, 0, 3, 2));
      _mm512_storeu_ps(f + i, _mm512_add_ps(_mm512_mask_blend_ps(on(idx), x, other), zero));
    }
    return;
  }
  const std::size_t s = 2 * (std::size_t{1} << t);
  const __m512i lanes = _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
  const __m512i eight = _mm512_set1_epi32(8);
  __m512i idx = lanes;
  for (std::size_t b = 0; b < floats; b += 2 * s) {
    for (std::size_t i = b; i < b + s; i += 16, idx = _mm512_add_epi32(idx, eight)) {
      const __m512 x0 = _mm512_loadu_ps(f + i), x1 = _mm512_loadu_ps(f + i + s);
      const __mmask16 sel = on(idx);
      _mm512_storeu_ps(f + i, _mm512_add_ps(_mm512_mask_blend_ps(sel, x0, x1), zero));
      _mm512_storeu_ps(f + i + s, _mm512_add_ps(_mm512_mask_blend_ps(sel, x1, x0), zero));
    }
  }
}

}  // namespace vantrel::sim::kernels

// AVX-512 variants of the one-qubit kernel and of its controlled form (the
// controlled pairs of matrix.h): eight complex numbers per vector.
// Same lane arithmetic as the SSE2 variant (see mat2.cpp); built with the
// AVX-512 flags only (never FMA, and the build forbids contraction), called
// only when the processor and the system support AVX-512.
#include <immintrin.h>

#include <algorithm>

#include "sim/kernels/lanes_avx512.h"
#include "sim/kernels/mat2.h"
#include "sim/kernels/matrix.h"

namespace vantrel::sim::kernels {
namespace {

using V = Avx512<float>;
using Coef = V::Coef;

// Coefficients built in registers (a call on a small register must not pay
// for a trip through memory): every lane holding x, or lanes holding the
// pattern (a, b) in blocks of `Q`: qubit 0 alternates a and b per complex
// number, qubit 1 per two, qubit 2 per four.
inline Coef coef(Complex x) {
  return {_mm512_set1_ps(x.re), _mm512_setr4_ps(-x.im, x.im, -x.im, x.im)};
}

template <unsigned Q>
inline Coef coef(Complex a, Complex b) {
  if constexpr (Q == 0) {
    return {_mm512_setr4_ps(a.re, a.re, b.re, b.re), _mm512_setr4_ps(-a.im, a.im, -b.im, b.im)};
  } else if constexpr (Q == 1) {
    const __m512 re = _mm512_broadcast_f32x8(_mm256_setr_ps(a.re, a.re, a.re, a.re, b.re, b.re, b.re, b.re));
    const __m512 im = _mm512_broadcast_f32x8(_mm256_setr_ps(-a.im, a.im, -a.im, a.im, -b.im, b.im, -b.im, b.im));
    return {re, im};
  } else {
    const __m512 re = _mm512_insertf32x8(_mm512_set1_ps(a.re), _mm256_set1_ps(b.re), 1);
    const __m512 im = _mm512_insertf32x8(_mm512_setr4_ps(-a.im, a.im, -a.im, a.im),
                                         _mm256_setr_ps(-b.im, b.im, -b.im, b.im, -b.im, b.im, -b.im, b.im), 1);
    return {re, im};
  }
}

// How a vector of updated pairs y (from x) is stored. The one-qubit kernel
// stores y. The controlled one (matrix.h, controlled_pairs) stores y + 0
// where the pair's controls within the window are all 1 (idx holds each
// float's pair number), and x + 0 elsewhere; without kMasked every pair is
// on. Its scalar form serves the tails.
struct Plain {
  static constexpr bool kIndexed = false;
  __m512 operator()(__m512 y, __m512, __m512i) const { return y; }
  void scalar(Complex* amps, unsigned q, const Complex m[4], std::size_t p) const {
    const std::size_t s = std::size_t{1} << q;
    Complex* a0 = amps + ((p >> q) << (q + 1)) + (p & (s - 1));
    mat2_pair_scalar(a0, a0 + s, m);
  }
};

template <bool kMasked>
struct Controlled {
  static constexpr bool kIndexed = kMasked;
  std::uint32_t low;
  __m512 operator()(__m512 y, __m512 x, __m512i idx) const {
    if constexpr (kMasked) {
      const __m512i lowv = _mm512_set1_epi32(static_cast<int>(low));
      y = _mm512_mask_blend_ps(_mm512_cmpeq_epi32_mask(_mm512_and_si512(idx, lowv), lowv), x, y);
    }
    return _mm512_add_ps(y, _mm512_setzero_ps());
  }
  void scalar(Complex* amps, unsigned q, const Complex m[4], std::size_t p) const {
    controlled_pairs_scalar(amps, q, m, low, p, p + 1);
  }
};

inline __m512i pair_index(std::size_t p, __m512i lanes) {
  return _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(p)), lanes);
}

// A run of `len` pairs from pair p whose amplitudes are a0[i] and a1[i].
template <class Finish>
void runs(Complex* amps, unsigned q, Complex* a0, Complex* a1, std::size_t p, std::size_t len,
          const Coef c[4], const Complex m[4], const Finish& finish) {
  const __m512i lanes = _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    prefetch_ahead(a0 + i);
    prefetch_ahead(a1 + i);
    float* p0 = reinterpret_cast<float*>(a0 + i);
    float* p1 = reinterpret_cast<float*>(a1 + i);
    const __m512 x0 = _mm512_loadu_ps(p0), x1 = _mm512_loadu_ps(p1);
    const __m512 y0 = _mm512_add_ps(V::cmul(c[0], x0), V::cmul(c[1], x1));
    const __m512 y1 = _mm512_add_ps(V::cmul(c[2], x0), V::cmul(c[3], x1));
    const __m512i idx = Finish::kIndexed ? pair_index(p + i, lanes) : lanes;
    _mm512_storeu_ps(p0, finish(y0, x0, idx));
    _mm512_storeu_ps(p1, finish(y1, x1, idx));
  }
  for (; i < len; ++i) finish.scalar(amps, q, m, p + i);
}

// Qubits 0, 1 and 2: the eight amplitudes from 2p (p a multiple of 2^q) are
// exactly pairs p .. p+3, and a vector holds them all. The a1 slots sum
// (m11 a1) + (m10 a0), the reference's two products in swapped order, which
// IEEE addition leaves bit for bit the same. `partner` brings each slot's
// partner into it: complex neighbours for qubit 0, 128-bit neighbours for
// qubit 1, 256-bit halves for qubit 2.
template <unsigned Q>
inline __m512 partner(__m512 x) {
  if constexpr (Q == 0) return _mm512_permute_ps(x, _MM_SHUFFLE(1, 0, 3, 2));
  if constexpr (Q == 1) return _mm512_shuffle_f32x4(x, x, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm512_shuffle_f32x4(x, x, _MM_SHUFFLE(1, 0, 3, 2));
}

// Each float's pair relative to the vector's first.
template <unsigned Q>
inline __m512i low_lanes() {
  if constexpr (Q == 0) return _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
  if constexpr (Q == 1) return _mm512_setr_epi32(0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3);
  return _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 0, 0, 1, 1, 2, 2, 3, 3);
}

template <unsigned Q, class Finish>
void low_qubit(Complex* amps, std::size_t lo, std::size_t hi, const Complex m[4], const Finish& finish) {
  constexpr std::size_t kAlign = std::size_t{1} << Q;
  // Slots of a0 take m00 and m01, those of a1 m11 and m10.
  const Coef diag = coef<Q>(m[0], m[3]), off = coef<Q>(m[1], m[2]);
  const __m512i lanes = low_lanes<Q>();
  std::size_t p = lo;
  for (; p < hi && (p & (kAlign - 1)); ++p) finish.scalar(amps, Q, m, p);
  for (; p + 4 <= hi; p += 4) {
    prefetch_ahead(amps + 2 * p);
    float* f = reinterpret_cast<float*>(amps + 2 * p);
    const __m512 x = _mm512_loadu_ps(f);
    const __m512 y = _mm512_add_ps(V::cmul(diag, x), V::cmul(off, partner<Q>(x)));
    _mm512_storeu_ps(f, finish(y, x, Finish::kIndexed ? pair_index(p, lanes) : lanes));
  }
  for (; p < hi; ++p) finish.scalar(amps, Q, m, p);
}

template <class Finish>
void pairs(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi, const Finish& finish) {
  switch (q) {
    case 0: low_qubit<0>(amps, lo, hi, m, finish); return;
    case 1: low_qubit<1>(amps, lo, hi, m, finish); return;
    case 2: low_qubit<2>(amps, lo, hi, m, finish); return;
    default: break;
  }
  const Coef c[4] = {coef(m[0]), coef(m[1]), coef(m[2]), coef(m[3])};
  const std::size_t s = std::size_t{1} << q;
  for (std::size_t p = lo; p < hi;) {
    const std::size_t i = p & (s - 1);
    const std::size_t len = std::min(s - i, hi - p);
    Complex* a0 = amps + ((p >> q) << (q + 1)) + i;
    runs(amps, q, a0, a0 + s, p, len, c, m, finish);
    p += len;
  }
}

}  // namespace

void mat2_pairs_avx512(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi) {
  pairs(amps, q, m, lo, hi, Plain{});
}

void controlled_pairs_avx512(Complex* amps, unsigned t, const Complex m[4], std::uint32_t low,
                             std::size_t lo, std::size_t hi) {
  if (low == 0) {
    pairs(amps, t, m, lo, hi, Controlled<false>{low});
  } else {
    pairs(amps, t, m, lo, hi, Controlled<true>{low});
  }
}

}  // namespace vantrel::sim::kernels

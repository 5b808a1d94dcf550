// The AVX-512 traits (lanes.h): sixteen floats (eight amplitudes) or eight
// doubles (four amplitudes) per register. For *_avx512.cpp files only, which
// are built with the AVX-512 flags (no FMA).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sim/base/complex.h"
#include "sim/kernels/lanes.h"

namespace vantrel::sim::kernels {
namespace {

template <class T>
struct Avx512;

template <>
struct Avx512<float> {
  using Scalar = float;
  using Amp = Complex;
  using Reg = __m512;
  using Word = std::uint32_t;
  using Mask = __mmask16;
  static constexpr Word kSign = 0x80000000u;
  static constexpr unsigned kFloats = 16;
  static constexpr unsigned kAmps = 8;
  static constexpr unsigned kShift = 3;

  static Reg zero() { return _mm512_setzero_ps(); }
  static Reg set1(float f) { return _mm512_set1_ps(f); }
  static Reg broadcast(const float* p) { return _mm512_set1_ps(*p); }
  static Reg broadcast2(const float* p) {
    double d;
    std::memcpy(&d, p, sizeof d);
    return _mm512_castpd_ps(_mm512_set1_pd(d));
  }
  static Reg pair(float x, float y) { return _mm512_setr4_ps(x, y, x, y); }
  static Reg add(Reg a, Reg b) { return _mm512_add_ps(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm512_sub_ps(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm512_mul_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm512_xor_ps(a, b); }
  static Reg sign(bool negate) {
    return _mm512_castsi512_ps(_mm512_set1_epi32(negate ? static_cast<int>(kSign) : 0));
  }
  static Reg bits(const Word* w) { return _mm512_castsi512_ps(_mm512_loadu_si512(w)); }
  static Reg load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm512_storeu_ps(p, v); }
  static Reg load_aligned(const float* p) { return _mm512_load_ps(p); }
  static void store_aligned(float* p, Reg v) { _mm512_store_ps(p, v); }

  static Reg swap_parts(Reg v) { return _mm512_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)); }
  // Lane coefficients (lanes.h, coef): re * x + im * swap_parts(x).
  struct Coef {
    Reg re, im;
  };
  static Reg cmul(const Coef& c, Reg x) { return add(mul(c.re, x), mul(c.im, swap_parts(x))); }

  template <unsigned kLow>
  static Reg permute(Reg v) {
    if constexpr ((kLow & 1) != 0) v = _mm512_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2));
    if constexpr ((kLow & 2) != 0) v = _mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(2, 3, 0, 1));
    if constexpr ((kLow & 4) != 0) v = _mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(1, 0, 3, 2));
    return v;
  }

  // Bit l of the amplitudes to bits 2l and 2l + 1 of the lanes.
  static Mask amp_mask(unsigned bits) {
    unsigned m = bits & 0xFFu;
    m = (m | (m << 4)) & 0x0F0Fu;
    m = (m | (m << 2)) & 0x3333u;
    m = (m | (m << 1)) & 0x5555u;
    return static_cast<Mask>(m | (m << 1));
  }
  static Reg blend(Mask m, Reg x, Reg y) { return _mm512_mask_blend_ps(m, x, y); }
  static Reg flip(Mask m, Reg x) { return _mm512_mask_xor_ps(x, m, x, sign(true)); }
  static bool any_zero(Reg x) { return _mm512_cmp_ps_mask(x, _mm512_setzero_ps(), _CMP_EQ_OQ) != 0; }

  struct Move {
    __m512i lanes;
  };
  static Reg partner(const Move& m, Reg b) { return _mm512_permutexvar_ps(m.lanes, b); }
  template <class F>
  static void with_partner(std::uint64_t low, bool swap, F&& f) {
    alignas(64) int idx[16];
    for (int k = 0; k < 16; ++k) idx[k] = partner_lane(k, static_cast<unsigned>(low), swap);
    f(Move{_mm512_load_si512(idx)});
  }

  static constexpr std::size_t kFewTerms = 3;
  struct SplitPerm {
    __m512i re, im;
  };
  // Lane k takes the real (imaginary) part of amplitude k ^ low_x of the 16
  // held in two registers.
  static SplitPerm split_perm(std::uint64_t low_x) {
    alignas(64) int re[16], im[16];
    for (unsigned k = 0; k < 16; ++k) {
      re[k] = static_cast<int>(2 * (k ^ static_cast<unsigned>(low_x)));
      im[k] = re[k] + 1;
    }
    return {_mm512_load_si512(re), _mm512_load_si512(im)};
  }
  static void load_split(const Complex* p, const SplitPerm& perm, Reg& re, Reg& im) {
    const __m512 lo = _mm512_loadu_ps(reinterpret_cast<const float*>(p));
    const __m512 hi = _mm512_loadu_ps(reinterpret_cast<const float*>(p + 8));
    re = _mm512_permutex2var_ps(lo, perm.re, hi);
    im = _mm512_permutex2var_ps(lo, perm.im, hi);
  }
  // 16 x 16: 4 x 4 blocks within 128-bit lanes, then a 4 x 4 transpose of
  // the 128-bit lanes in two steps.
  static void transpose(Reg v[16]) {
    Reg t[16], u[16];
    for (int i = 0; i < 8; ++i) {
      t[2 * i] = _mm512_unpacklo_ps(v[2 * i], v[2 * i + 1]);
      t[2 * i + 1] = _mm512_unpackhi_ps(v[2 * i], v[2 * i + 1]);
    }
    for (int i = 0; i < 4; ++i) {
      u[4 * i] = _mm512_shuffle_ps(t[4 * i], t[4 * i + 2], _MM_SHUFFLE(1, 0, 1, 0));
      u[4 * i + 1] = _mm512_shuffle_ps(t[4 * i], t[4 * i + 2], _MM_SHUFFLE(3, 2, 3, 2));
      u[4 * i + 2] = _mm512_shuffle_ps(t[4 * i + 1], t[4 * i + 3], _MM_SHUFFLE(1, 0, 1, 0));
      u[4 * i + 3] = _mm512_shuffle_ps(t[4 * i + 1], t[4 * i + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    // u[4i + r], 128-bit lane q: column 4q + r of rows 4i .. 4i+3.
    for (int r = 0; r < 4; ++r) {
      const __m512 x0 = _mm512_shuffle_f32x4(u[r], u[4 + r], _MM_SHUFFLE(1, 0, 1, 0));
      const __m512 x1 = _mm512_shuffle_f32x4(u[r], u[4 + r], _MM_SHUFFLE(3, 2, 3, 2));
      const __m512 x2 = _mm512_shuffle_f32x4(u[8 + r], u[12 + r], _MM_SHUFFLE(1, 0, 1, 0));
      const __m512 x3 = _mm512_shuffle_f32x4(u[8 + r], u[12 + r], _MM_SHUFFLE(3, 2, 3, 2));
      v[r] = _mm512_shuffle_f32x4(x0, x2, _MM_SHUFFLE(2, 0, 2, 0));
      v[4 + r] = _mm512_shuffle_f32x4(x0, x2, _MM_SHUFFLE(3, 1, 3, 1));
      v[8 + r] = _mm512_shuffle_f32x4(x1, x3, _MM_SHUFFLE(2, 0, 2, 0));
      v[12 + r] = _mm512_shuffle_f32x4(x1, x3, _MM_SHUFFLE(3, 1, 3, 1));
    }
  }
};

template <>
struct Avx512<double> {
  using Scalar = double;
  using Amp = ComplexD;
  using Reg = __m512d;
  using Word = std::uint64_t;
  using Mask = __mmask8;
  static constexpr Word kSign = 0x8000000000000000u;
  static constexpr unsigned kFloats = 8;
  static constexpr unsigned kAmps = 4;
  static constexpr unsigned kShift = 2;

  static Reg zero() { return _mm512_setzero_pd(); }
  static Reg set1(double f) { return _mm512_set1_pd(f); }
  static Reg broadcast(const double* p) { return _mm512_set1_pd(*p); }
  static Reg broadcast2(const double* p) { return _mm512_broadcast_f64x2(_mm_loadu_pd(p)); }
  static Reg pair(double x, double y) { return _mm512_setr4_pd(x, y, x, y); }
  static Reg add(Reg a, Reg b) { return _mm512_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm512_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm512_mul_pd(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm512_xor_pd(a, b); }
  static Reg sign(bool negate) {
    return _mm512_castsi512_pd(_mm512_set1_epi64(negate ? static_cast<long long>(kSign) : 0));
  }
  static Reg bits(const Word* w) { return _mm512_castsi512_pd(_mm512_loadu_si512(w)); }
  static Reg load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, Reg v) { _mm512_storeu_pd(p, v); }
  static Reg load_aligned(const double* p) { return _mm512_load_pd(p); }
  static void store_aligned(double* p, Reg v) { _mm512_store_pd(p, v); }

  static Reg swap_parts(Reg v) { return _mm512_permute_pd(v, 0x55); }
  struct Coef {
    Reg re, im;
  };
  static Reg cmul(const Coef& c, Reg x) { return add(mul(c.re, x), mul(c.im, swap_parts(x))); }

  // Amplitude l ^ 1: 128-bit quarters swapped in pairs; l ^ 2: the 256-bit
  // halves swapped.
  template <unsigned kLow>
  static Reg permute(Reg v) {
    if constexpr ((kLow & 1) != 0) v = _mm512_shuffle_f64x2(v, v, _MM_SHUFFLE(2, 3, 0, 1));
    if constexpr ((kLow & 2) != 0) v = _mm512_shuffle_f64x2(v, v, _MM_SHUFFLE(1, 0, 3, 2));
    return v;
  }

  // Bit l of the amplitudes to bits 2l and 2l + 1 of the lanes.
  static Mask amp_mask(unsigned bits) {
    unsigned m = bits & 0xFu;
    m = (m | (m << 2)) & 0x33u;
    m = (m | (m << 1)) & 0x55u;
    return static_cast<Mask>(m | (m << 1));
  }
  static Reg blend(Mask m, Reg x, Reg y) { return _mm512_mask_blend_pd(m, x, y); }
  static Reg flip(Mask m, Reg x) { return _mm512_mask_xor_pd(x, m, x, sign(true)); }
  static bool any_zero(Reg x) { return _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_EQ_OQ) != 0; }

  struct Move {
    __m512i lanes;
  };
  static Reg partner(const Move& m, Reg b) { return _mm512_permutexvar_pd(m.lanes, b); }
  template <class F>
  static void with_partner(std::uint64_t low, bool swap, F&& f) {
    alignas(64) long long idx[8];
    for (int k = 0; k < 8; ++k) idx[k] = partner_lane(k, static_cast<unsigned>(low), swap);
    f(Move{_mm512_load_si512(idx)});
  }

  static constexpr std::size_t kFewTerms = 2;
  struct SplitPerm {
    __m512i re, im;
  };
  // Lane k takes the real (imaginary) part of amplitude k ^ low_x of the
  // eight held in two registers.
  static SplitPerm split_perm(std::uint64_t low_x) {
    alignas(64) long long re[8], im[8];
    for (unsigned k = 0; k < 8; ++k) {
      re[k] = static_cast<long long>(2 * (k ^ static_cast<unsigned>(low_x)));
      im[k] = re[k] + 1;
    }
    return {_mm512_load_si512(re), _mm512_load_si512(im)};
  }
  static void load_split(const ComplexD* p, const SplitPerm& perm, Reg& re, Reg& im) {
    const __m512d lo = _mm512_loadu_pd(reinterpret_cast<const double*>(p));
    const __m512d hi = _mm512_loadu_pd(reinterpret_cast<const double*>(p + 4));
    re = _mm512_permutex2var_pd(lo, perm.re, hi);
    im = _mm512_permutex2var_pd(lo, perm.im, hi);
  }
  // 8 x 8: 2 x 2 blocks within 128-bit lanes, then a 4 x 4 transpose of the
  // 128-bit lanes in two steps.
  static void transpose(Reg v[8]) {
    Reg t[8], u[8];
    for (int i = 0; i < 4; ++i) {
      t[2 * i] = _mm512_unpacklo_pd(v[2 * i], v[2 * i + 1]);
      t[2 * i + 1] = _mm512_unpackhi_pd(v[2 * i], v[2 * i + 1]);
    }
    // u[4h + 2p + s]: the 128-bit lanes of parity s of t[4h + p] and
    // t[4h + p + 2], so columns {2s + p, 2s + p + 4} of rows 4h .. 4h + 3.
    for (int h = 0; h < 2; ++h)
      for (int p = 0; p < 2; ++p) {
        u[4 * h + 2 * p] = _mm512_shuffle_f64x2(t[4 * h + p], t[4 * h + p + 2], _MM_SHUFFLE(2, 0, 2, 0));
        u[4 * h + 2 * p + 1] = _mm512_shuffle_f64x2(t[4 * h + p], t[4 * h + p + 2], _MM_SHUFFLE(3, 1, 3, 1));
      }
    // Rows 0 and 4 from u[0], u[4]; 2 and 6 from u[1], u[5]; 1 and 5 from
    // u[2], u[6]; 3 and 7 from u[3], u[7].
    v[0] = _mm512_shuffle_f64x2(u[0], u[4], _MM_SHUFFLE(2, 0, 2, 0));
    v[4] = _mm512_shuffle_f64x2(u[0], u[4], _MM_SHUFFLE(3, 1, 3, 1));
    v[2] = _mm512_shuffle_f64x2(u[1], u[5], _MM_SHUFFLE(2, 0, 2, 0));
    v[6] = _mm512_shuffle_f64x2(u[1], u[5], _MM_SHUFFLE(3, 1, 3, 1));
    v[1] = _mm512_shuffle_f64x2(u[2], u[6], _MM_SHUFFLE(2, 0, 2, 0));
    v[5] = _mm512_shuffle_f64x2(u[2], u[6], _MM_SHUFFLE(3, 1, 3, 1));
    v[3] = _mm512_shuffle_f64x2(u[3], u[7], _MM_SHUFFLE(2, 0, 2, 0));
    v[7] = _mm512_shuffle_f64x2(u[3], u[7], _MM_SHUFFLE(3, 1, 3, 1));
  }
};

}  // namespace
}  // namespace vantrel::sim::kernels

// The AVX-512 traits (lanes.h): sixteen floats, eight amplitudes per
// register. For *_avx512.cpp files only, which are built with the AVX-512
// flags (no FMA).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

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
  static constexpr unsigned kFloats = 16;
  static constexpr unsigned kAmps = 8;
  static constexpr unsigned kShift = 3;

  static Reg zero() { return _mm512_setzero_ps(); }
  static Reg set1(float f) { return _mm512_set1_ps(f); }
  static Reg broadcast(const float* p) { return _mm512_set1_ps(*p); }
  static Reg add(Reg a, Reg b) { return _mm512_add_ps(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm512_sub_ps(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm512_mul_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm512_xor_ps(a, b); }
  static Reg sign(bool negate) {
    return _mm512_castsi512_ps(_mm512_set1_epi32(negate ? static_cast<int>(kSignBit) : 0));
  }
  static Reg bits(const std::uint32_t* w) { return _mm512_castsi512_ps(_mm512_loadu_si512(w)); }
  static Reg load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm512_storeu_ps(p, v); }
  static Reg load_aligned(const float* p) { return _mm512_load_ps(p); }
  static void store_aligned(float* p, Reg v) { _mm512_store_ps(p, v); }

  static Reg swap_parts(Reg v) { return _mm512_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)); }
  // Lane l ^ 1 within each 128-bit quarter, then quarters swapped in pairs
  // for l ^ 2, then the 256-bit halves swapped for l ^ 4.
  // Lane coefficients of complex numbers, one per amplitude of a register:
  // re = (m.re, m.re), im = (-m.im, m.im). cmul gives the products of
  // complex.h, rounded alike: re * x + im * swap_parts(x).
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

}  // namespace
}  // namespace vantrel::sim::kernels

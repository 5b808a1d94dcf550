// The AVX2 traits (lanes.h): eight floats, four amplitudes per register. For
// *_avx2.cpp files only, which are built with -mavx2 (no FMA).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "sim/base/complex.h"
#include "sim/kernels/lanes.h"

namespace vantrel::sim::kernels {
namespace {

template <class T>
struct Avx2;

template <>
struct Avx2<float> {
  using Scalar = float;
  using Amp = Complex;
  using Reg = __m256;
  static constexpr unsigned kFloats = 8;
  static constexpr unsigned kAmps = 4;
  static constexpr unsigned kShift = 2;

  static Reg zero() { return _mm256_setzero_ps(); }
  static Reg set1(float f) { return _mm256_set1_ps(f); }
  static Reg broadcast(const float* p) { return _mm256_broadcast_ss(p); }
  static Reg add(Reg a, Reg b) { return _mm256_add_ps(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm256_sub_ps(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm256_mul_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm256_xor_ps(a, b); }
  static Reg sign(bool negate) {
    return _mm256_castsi256_ps(_mm256_set1_epi32(negate ? static_cast<int>(kSignBit) : 0));
  }
  static Reg bits(const std::uint32_t* w) {
    return _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w)));
  }
  static Reg load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm256_storeu_ps(p, v); }
  static Reg load_aligned(const float* p) { return _mm256_load_ps(p); }
  static void store_aligned(float* p, Reg v) { _mm256_store_ps(p, v); }

  static Reg swap_parts(Reg v) { return _mm256_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)); }
  // Lane l ^ 1 within each half, then the halves swapped for l ^ 2.
  // Lane coefficients of complex numbers, one per amplitude of a register:
  // re = (m.re, m.re), im = (-m.im, m.im). cmul gives the products of
  // complex.h, rounded alike: re * x + im * swap_parts(x).
  struct Coef {
    Reg re, im;
  };
  static Reg cmul(const Coef& c, Reg x) { return add(mul(c.re, x), mul(c.im, swap_parts(x))); }

  template <unsigned kLow>
  static Reg permute(Reg v) {
    if constexpr ((kLow & 1) != 0) v = _mm256_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2));
    if constexpr ((kLow & 2) != 0) v = _mm256_permute2f128_ps(v, v, 0x01);
    return v;
  }

  struct Move {
    __m256i lanes;
  };
  static Reg partner(const Move& m, Reg b) { return _mm256_permutevar8x32_ps(b, m.lanes); }
  template <class F>
  static void with_partner(std::uint64_t low, bool swap, F&& f) {
    alignas(32) int idx[8];
    for (int k = 0; k < 8; ++k) idx[k] = partner_lane(k, static_cast<unsigned>(low), swap);
    f(Move{_mm256_load_si256(reinterpret_cast<const __m256i*>(idx))});
  }

  static constexpr std::size_t kFewTerms = 2;
  using SplitPerm = __m256i;
  // The in-lane split of load_split leaves amplitude c at position c with
  // bits 1 and 2 swapped; lane k takes the position of k ^ low_x.
  static SplitPerm split_perm(std::uint64_t low_x) {
    alignas(32) int idx[8];
    for (unsigned k = 0; k < 8; ++k) {
      const unsigned c = k ^ static_cast<unsigned>(low_x);
      idx[k] = static_cast<int>((c & 1) | ((c >> 2) & 1) << 1 | ((c >> 1) & 1) << 2);
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(idx));
  }
  static void load_split(const Complex* p, SplitPerm perm, Reg& re, Reg& im) {
    const __m256 lo = _mm256_loadu_ps(reinterpret_cast<const float*>(p));
    const __m256 hi = _mm256_loadu_ps(reinterpret_cast<const float*>(p + 4));
    re = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)), perm);
    im = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)), perm);
  }
  // 8 x 8: 4 x 4 blocks within 128-bit lanes, then the lanes exchanged.
  static void transpose(Reg v[8]) {
    Reg t[8], u[8];
    for (int i = 0; i < 4; ++i) {
      t[2 * i] = _mm256_unpacklo_ps(v[2 * i], v[2 * i + 1]);
      t[2 * i + 1] = _mm256_unpackhi_ps(v[2 * i], v[2 * i + 1]);
    }
    for (int i = 0; i < 2; ++i) {
      u[4 * i] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], _MM_SHUFFLE(1, 0, 1, 0));
      u[4 * i + 1] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], _MM_SHUFFLE(3, 2, 3, 2));
      u[4 * i + 2] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], _MM_SHUFFLE(1, 0, 1, 0));
      u[4 * i + 3] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int r = 0; r < 4; ++r) {
      v[r] = _mm256_permute2f128_ps(u[r], u[4 + r], 0x20);
      v[4 + r] = _mm256_permute2f128_ps(u[r], u[4 + r], 0x31);
    }
  }
};

}  // namespace
}  // namespace vantrel::sim::kernels

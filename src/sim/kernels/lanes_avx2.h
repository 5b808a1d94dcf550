// The AVX2 traits (lanes.h): eight floats (four amplitudes) or four doubles
// (two amplitudes) per register. For *_avx2.cpp files only, which are built
// with -mavx2 (no FMA).
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
  using Word = std::uint32_t;
  using Mask = __m256;
  static constexpr Word kSign = 0x80000000u;
  static constexpr unsigned kFloats = 8;
  static constexpr unsigned kAmps = 4;
  static constexpr unsigned kShift = 2;

  static Reg zero() { return _mm256_setzero_ps(); }
  static Reg set1(float f) { return _mm256_set1_ps(f); }
  static Reg broadcast(const float* p) { return _mm256_broadcast_ss(p); }
  static Reg broadcast2(const float* p) {
    return _mm256_castpd_ps(_mm256_broadcast_sd(reinterpret_cast<const double*>(p)));
  }
  static Reg pair(float x, float y) { return _mm256_setr_ps(x, y, x, y, x, y, x, y); }
  static Reg add(Reg a, Reg b) { return _mm256_add_ps(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm256_sub_ps(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm256_mul_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm256_xor_ps(a, b); }
  static Reg sign(bool negate) {
    return _mm256_castsi256_ps(_mm256_set1_epi32(negate ? static_cast<int>(kSign) : 0));
  }
  static Reg bits(const Word* w) {
    return _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w)));
  }
  static Reg load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm256_storeu_ps(p, v); }
  static Reg load_aligned(const float* p) { return _mm256_load_ps(p); }
  static void store_aligned(float* p, Reg v) { _mm256_store_ps(p, v); }

  static Reg swap_parts(Reg v) { return _mm256_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)); }
  // Lane coefficients (lanes.h, coef): re * x + im * swap_parts(x).
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

  static Mask amp_mask(unsigned bits) {
    const __m256i lanes = _mm256_setr_epi32(1, 1, 2, 2, 4, 4, 8, 8);
    return _mm256_castsi256_ps(
        _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lanes), lanes));
  }
  static Reg blend(Mask m, Reg x, Reg y) { return _mm256_blendv_ps(x, y, m); }
  static Reg flip(Mask m, Reg x) { return _mm256_xor_ps(x, _mm256_and_ps(m, sign(true))); }
  static bool any_zero(Reg x) {
    return _mm256_movemask_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_EQ_OQ)) != 0;
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

template <>
struct Avx2<double> {
  using Scalar = double;
  using Amp = ComplexD;
  using Reg = __m256d;
  using Word = std::uint64_t;
  using Mask = __m256d;
  static constexpr Word kSign = 0x8000000000000000u;
  static constexpr unsigned kFloats = 4;
  static constexpr unsigned kAmps = 2;
  static constexpr unsigned kShift = 1;

  static Reg zero() { return _mm256_setzero_pd(); }
  static Reg set1(double f) { return _mm256_set1_pd(f); }
  static Reg broadcast(const double* p) { return _mm256_broadcast_sd(p); }
  static Reg broadcast2(const double* p) { return _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(p)); }
  static Reg pair(double x, double y) { return _mm256_setr_pd(x, y, x, y); }
  static Reg add(Reg a, Reg b) { return _mm256_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm256_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm256_mul_pd(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm256_xor_pd(a, b); }
  static Reg sign(bool negate) {
    return _mm256_castsi256_pd(_mm256_set1_epi64x(negate ? static_cast<long long>(kSign) : 0));
  }
  static Reg bits(const Word* w) {
    return _mm256_castsi256_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w)));
  }
  static Reg load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, Reg v) { _mm256_storeu_pd(p, v); }
  static Reg load_aligned(const double* p) { return _mm256_load_pd(p); }
  static void store_aligned(double* p, Reg v) { _mm256_store_pd(p, v); }

  static Reg swap_parts(Reg v) { return _mm256_permute_pd(v, 0x5); }
  struct Coef {
    Reg re, im;
  };
  static Reg cmul(const Coef& c, Reg x) { return add(mul(c.re, x), mul(c.im, swap_parts(x))); }

  template <unsigned kLow>
  static Reg permute(Reg v) {
    if constexpr ((kLow & 1) != 0) v = _mm256_permute2f128_pd(v, v, 0x01);
    return v;
  }

  static Mask amp_mask(unsigned bits) {
    const __m256i lanes = _mm256_setr_epi64x(1, 1, 2, 2);
    return _mm256_castsi256_pd(
        _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(bits), lanes), lanes));
  }
  static Reg blend(Mask m, Reg x, Reg y) { return _mm256_blendv_pd(x, y, m); }
  static Reg flip(Mask m, Reg x) { return _mm256_xor_pd(x, _mm256_and_pd(m, sign(true))); }
  static bool any_zero(Reg x) {
    return _mm256_movemask_pd(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_EQ_OQ)) != 0;
  }

  // Moves of 32-bit halves: each double lane takes both halves of its source.
  struct Move {
    __m256i lanes;
  };
  static Reg partner(const Move& m, Reg b) {
    return _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(b), m.lanes));
  }
  template <class F>
  static void with_partner(std::uint64_t low, bool swap, F&& f) {
    alignas(32) int idx[8];
    for (int k = 0; k < 4; ++k) {
      idx[2 * k] = 2 * partner_lane(k, static_cast<unsigned>(low), swap);
      idx[2 * k + 1] = idx[2 * k] + 1;
    }
    f(Move{_mm256_load_si256(reinterpret_cast<const __m256i*>(idx))});
  }

  static constexpr std::size_t kFewTerms = 1;
  using SplitPerm = __m256i;
  // The unpacks of load_split leave amplitude c at position c with bits 0
  // and 1 swapped; lane k takes the position of k ^ low_x (moved as 32-bit
  // halves).
  static SplitPerm split_perm(std::uint64_t low_x) {
    alignas(32) int idx[8];
    for (unsigned k = 0; k < 4; ++k) {
      const unsigned c = k ^ static_cast<unsigned>(low_x);
      const int pos = static_cast<int>(((c & 1) << 1) | ((c >> 1) & 1));
      idx[2 * k] = 2 * pos;
      idx[2 * k + 1] = 2 * pos + 1;
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(idx));
  }
  static void load_split(const ComplexD* p, SplitPerm perm, Reg& re, Reg& im) {
    const __m256d lo = _mm256_loadu_pd(reinterpret_cast<const double*>(p));
    const __m256d hi = _mm256_loadu_pd(reinterpret_cast<const double*>(p + 2));
    re = _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_unpacklo_pd(lo, hi)), perm));
    im = _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_unpackhi_pd(lo, hi)), perm));
  }
  // 4 x 4: 2 x 2 blocks within 128-bit lanes, then the lanes exchanged.
  static void transpose(Reg v[4]) {
    const __m256d t0 = _mm256_unpacklo_pd(v[0], v[1]), t1 = _mm256_unpackhi_pd(v[0], v[1]);
    const __m256d t2 = _mm256_unpacklo_pd(v[2], v[3]), t3 = _mm256_unpackhi_pd(v[2], v[3]);
    v[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    v[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    v[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    v[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
  }
};

}  // namespace
}  // namespace vantrel::sim::kernels

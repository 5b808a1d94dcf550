// The SSE2 traits (lanes.h), every x86-64: four floats (two amplitudes) or
// two doubles (one amplitude) per register.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "sim/base/complex.h"
#include "sim/kernels/lanes.h"

namespace vantrel::sim::kernels {
namespace {

template <class T>
struct Sse2;

template <>
struct Sse2<float> {
  using Scalar = float;
  using Amp = Complex;
  using Reg = __m128;
  using Word = std::uint32_t;
  using Mask = __m128;
  static constexpr Word kSign = 0x80000000u;
  static constexpr unsigned kFloats = 4;
  static constexpr unsigned kAmps = 2;
  static constexpr unsigned kShift = 1;

  static Reg zero() { return _mm_setzero_ps(); }
  static Reg set1(float f) { return _mm_set1_ps(f); }
  static Reg broadcast(const float* p) { return _mm_set1_ps(*p); }
  static Reg broadcast2(const float* p) {
    return _mm_castpd_ps(_mm_load1_pd(reinterpret_cast<const double*>(p)));
  }
  static Reg pair(float x, float y) { return _mm_setr_ps(x, y, x, y); }
  static Reg add(Reg a, Reg b) { return _mm_add_ps(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm_sub_ps(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm_mul_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm_xor_ps(a, b); }
  static Reg sign(bool negate) {
    return _mm_castsi128_ps(_mm_set1_epi32(negate ? static_cast<int>(kSign) : 0));
  }
  static Reg bits(const Word* w) {
    return _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
  }
  static Reg load(const float* p) { return _mm_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm_storeu_ps(p, v); }
  static Reg load_aligned(const float* p) { return _mm_load_ps(p); }
  static void store_aligned(float* p, Reg v) { _mm_store_ps(p, v); }

  static Reg swap_parts(Reg v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }
  // Lane coefficients (lanes.h, coef): cmul gives the products of
  // complex.h, rounded alike: re * x + im * swap_parts(x).
  struct Coef {
    Reg re, im;
  };
  static Reg cmul(const Coef& c, Reg x) { return add(mul(c.re, x), mul(c.im, swap_parts(x))); }

  template <unsigned kLow>
  static Reg permute(Reg v) {
    if constexpr ((kLow & 1) != 0) return _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2));
    return v;
  }

  static Mask amp_mask(unsigned bits) {
    const __m128i lanes = _mm_setr_epi32(1, 1, 2, 2);
    return _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(static_cast<int>(bits)), lanes), lanes));
  }
  static Reg blend(Mask m, Reg x, Reg y) { return _mm_or_ps(_mm_and_ps(m, y), _mm_andnot_ps(m, x)); }
  static Reg flip(Mask m, Reg x) { return _mm_xor_ps(x, _mm_and_ps(m, sign(true))); }
  static bool any_zero(Reg x) { return _mm_movemask_ps(_mm_cmpeq_ps(x, _mm_setzero_ps())) != 0; }

  // No variable permutation: the four moves are types, so each loop is
  // compiled with its shuffle.
  template <bool kSwapPair, bool kSwapParts>
  struct Move {};
  template <bool kSwapPair, bool kSwapParts>
  static Reg partner(Move<kSwapPair, kSwapParts>, Reg b) {
    if constexpr (kSwapPair && kSwapParts) return _mm_shuffle_ps(b, b, _MM_SHUFFLE(0, 1, 2, 3));
    if constexpr (kSwapPair) return _mm_shuffle_ps(b, b, _MM_SHUFFLE(1, 0, 3, 2));
    if constexpr (kSwapParts) return _mm_shuffle_ps(b, b, _MM_SHUFFLE(2, 3, 0, 1));
    return b;
  }
  template <class F>
  static void with_partner(std::uint64_t low, bool swap, F&& f) {
    if (swap) {
      if (low & 1) return f(Move<true, true>{});
      return f(Move<false, true>{});
    }
    if (low & 1) return f(Move<true, false>{});
    return f(Move<false, false>{});
  }

  static constexpr std::size_t kFewTerms = 1;
  using SplitPerm = unsigned;
  static SplitPerm split_perm(std::uint64_t low_x) { return static_cast<unsigned>(low_x); }
  // Lane k takes amplitude k ^ perm: the halves swap for bit 1, the
  // neighbours within each half for bit 0.
  static void load_split(const Complex* p, SplitPerm perm, Reg& re, Reg& im) {
    __m128 lo = _mm_loadu_ps(reinterpret_cast<const float*>(p));
    __m128 hi = _mm_loadu_ps(reinterpret_cast<const float*>(p + 2));
    if (perm & 2) std::swap(lo, hi);
    if (perm & 1) {
      re = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(0, 2, 0, 2));
      im = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(1, 3, 1, 3));
    } else {
      re = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
      im = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
    }
  }
  static void transpose(Reg v[4]) { _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]); }
};

template <>
struct Sse2<double> {
  using Scalar = double;
  using Amp = ComplexD;
  using Reg = __m128d;
  using Word = std::uint64_t;
  using Mask = __m128d;
  static constexpr Word kSign = 0x8000000000000000u;
  static constexpr unsigned kFloats = 2;
  static constexpr unsigned kAmps = 1;
  static constexpr unsigned kShift = 0;

  static Reg zero() { return _mm_setzero_pd(); }
  static Reg set1(double f) { return _mm_set1_pd(f); }
  static Reg broadcast(const double* p) { return _mm_load1_pd(p); }
  static Reg broadcast2(const double* p) { return _mm_loadu_pd(p); }
  static Reg pair(double x, double y) { return _mm_setr_pd(x, y); }
  static Reg add(Reg a, Reg b) { return _mm_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm_mul_pd(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm_xor_pd(a, b); }
  static Reg sign(bool negate) {
    return _mm_castsi128_pd(_mm_set1_epi64x(negate ? static_cast<long long>(kSign) : 0));
  }
  static Reg bits(const Word* w) {
    return _mm_castsi128_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
  }
  static Reg load(const double* p) { return _mm_loadu_pd(p); }
  static void store(double* p, Reg v) { _mm_storeu_pd(p, v); }
  static Reg load_aligned(const double* p) { return _mm_load_pd(p); }
  static void store_aligned(double* p, Reg v) { _mm_store_pd(p, v); }

  static Reg swap_parts(Reg v) { return _mm_shuffle_pd(v, v, 1); }
  struct Coef {
    Reg re, im;
  };
  static Reg cmul(const Coef& c, Reg x) { return add(mul(c.re, x), mul(c.im, swap_parts(x))); }

  template <unsigned kLow>
  static Reg permute(Reg v) {
    return v;
  }

  static Mask amp_mask(unsigned bits) { return _mm_castsi128_pd(_mm_set1_epi64x(bits & 1 ? -1 : 0)); }
  static Reg blend(Mask m, Reg x, Reg y) { return _mm_or_pd(_mm_and_pd(m, y), _mm_andnot_pd(m, x)); }
  static Reg flip(Mask m, Reg x) { return _mm_xor_pd(x, _mm_and_pd(m, sign(true))); }
  static bool any_zero(Reg x) { return _mm_movemask_pd(_mm_cmpeq_pd(x, _mm_setzero_pd())) != 0; }

  // One amplitude per register: a partner move only swaps parts or not.
  template <bool kSwapParts>
  struct Move {};
  template <bool kSwapParts>
  static Reg partner(Move<kSwapParts>, Reg b) {
    if constexpr (kSwapParts) return swap_parts(b);
    return b;
  }
  template <class F>
  static void with_partner(std::uint64_t, bool swap, F&& f) {
    if (swap) return f(Move<true>{});
    return f(Move<false>{});
  }

  static constexpr std::size_t kFewTerms = 1;
  using SplitPerm = unsigned;
  static SplitPerm split_perm(std::uint64_t low_x) { return static_cast<unsigned>(low_x); }
  // Lane k takes amplitude k ^ perm of the two from p.
  static void load_split(const ComplexD* p, SplitPerm perm, Reg& re, Reg& im) {
    __m128d lo = _mm_loadu_pd(reinterpret_cast<const double*>(p));
    __m128d hi = _mm_loadu_pd(reinterpret_cast<const double*>(p + 1));
    if (perm & 1) std::swap(lo, hi);
    re = _mm_unpacklo_pd(lo, hi);
    im = _mm_unpackhi_pd(lo, hi);
  }
  static void transpose(Reg v[2]) {
    const __m128d t0 = _mm_unpacklo_pd(v[0], v[1]), t1 = _mm_unpackhi_pd(v[0], v[1]);
    v[0] = t0;
    v[1] = t1;
  }
};

}  // namespace
}  // namespace vantrel::sim::kernels

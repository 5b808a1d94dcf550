// The SSE2 traits (lanes.h): four floats, two amplitudes per register, every
// x86-64.
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
  static constexpr unsigned kFloats = 4;
  static constexpr unsigned kAmps = 2;
  static constexpr unsigned kShift = 1;

  static Reg zero() { return _mm_setzero_ps(); }
  static Reg set1(float f) { return _mm_set1_ps(f); }
  static Reg broadcast(const float* p) { return _mm_set1_ps(*p); }
  static Reg add(Reg a, Reg b) { return _mm_add_ps(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm_sub_ps(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm_mul_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm_xor_ps(a, b); }
  static Reg sign(bool negate) {
    return _mm_castsi128_ps(_mm_set1_epi32(negate ? static_cast<int>(kSignBit) : 0));
  }
  static Reg bits(const std::uint32_t* w) {
    return _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
  }
  static Reg load(const float* p) { return _mm_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm_storeu_ps(p, v); }
  static Reg load_aligned(const float* p) { return _mm_load_ps(p); }
  static void store_aligned(float* p, Reg v) { _mm_store_ps(p, v); }

  static Reg swap_parts(Reg v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }
  // Lane coefficients of complex numbers, one per amplitude of a register:
  // re = (m.re, m.re), im = (-m.im, m.im). cmul gives the products of
  // complex.h, rounded alike: re * x + im * swap_parts(x).
  struct Coef {
    Reg re, im;
  };
  static Reg cmul(const Coef& c, Reg x) { return add(mul(c.re, x), mul(c.im, swap_parts(x))); }

  template <unsigned kLow>
  static Reg permute(Reg v) {
    if constexpr (kLow == 1) return _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2));
    return v;
  }

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

}  // namespace
}  // namespace vantrel::sim::kernels

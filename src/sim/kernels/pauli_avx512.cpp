// AVX-512 sweep of Pauli terms: sixteen terms per vector (pauli_lanes.h).
// Built with the AVX-512 flags only (no FMA, no contraction); called only
// when the processor and the system support AVX-512.
#include <immintrin.h>

#include "sim/kernels/pauli_lanes.h"

namespace vantrel::sim::kernels {
namespace {

struct Avx512 {
  static constexpr std::size_t kLanes = 16;
  static constexpr std::size_t kFewTerms = 3;
  using F = __m512;
  struct Perm {
    __m512i re, im;
  };
  // Lane k takes the real (imaginary) part of amplitude k ^ low_x of the 16
  // held in two vectors.
  static Perm perm(std::uint64_t low_x) {
    alignas(64) int re[16], im[16];
    for (unsigned k = 0; k < 16; ++k) {
      re[k] = static_cast<int>(2 * (k ^ static_cast<unsigned>(low_x)));
      im[k] = re[k] + 1;
    }
    return {_mm512_load_si512(re), _mm512_load_si512(im)};
  }
  static F zero() { return _mm512_setzero_ps(); }
  static F add(F a, F b) { return _mm512_add_ps(a, b); }
  static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static F xor_(F a, F b) { return _mm512_xor_ps(a, b); }
  static F load(const float* p) { return _mm512_load_ps(p); }
  static void store(float* p, F a) { _mm512_store_ps(p, a); }
  static F broadcast(const float* p) { return _mm512_set1_ps(*p); }
  static void load_complex(const Complex* p, const Perm& perm, F& re, F& im) {
    const __m512 lo = _mm512_loadu_ps(reinterpret_cast<const float*>(p));
    const __m512 hi = _mm512_loadu_ps(reinterpret_cast<const float*>(p + 8));
    re = _mm512_permutex2var_ps(lo, perm.re, hi);
    im = _mm512_permutex2var_ps(lo, perm.im, hi);
  }
  // 16 x 16: 4 x 4 blocks within 128-bit lanes, then a 4 x 4 transpose of
  // the 128-bit lanes in two steps.
  static void transpose(F v[16]) {
    F t[16], u[16];
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

void pauli_sweep_avx512(const Complex* psi, std::size_t n, const PauliSweep& sweep, float* sums) {
  sweep_lanes<Avx512>(psi, n, sweep, sums);
}

}  // namespace vantrel::sim::kernels

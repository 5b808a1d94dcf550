// AVX2 sweep of Pauli terms: eight terms per vector (pauli_lanes.h). Built
// with -mavx2 only (no FMA); called only when the processor has AVX2.
#include <immintrin.h>

#include "sim/kernels/pauli_lanes.h"

namespace vantrel::sim::kernels {
namespace {

inline __m256 unpacklo(__m256 a, __m256 b) { return _mm256_unpacklo_ps(a, b); }
inline __m256 unpackhi(__m256 a, __m256 b) { return _mm256_unpackhi_ps(a, b); }

struct Avx2 {
  static constexpr std::size_t kLanes = 8;
  static constexpr std::size_t kFewTerms = 2;
  using F = __m256;
  using Perm = __m256i;
  // The in-lane split of load_complex leaves amplitude c at position c with
  // bits 1 and 2 swapped; lane k takes the position of k ^ low_x.
  static Perm perm(std::uint64_t low_x) {
    alignas(32) int idx[8];
    for (unsigned k = 0; k < 8; ++k) {
      const unsigned c = k ^ static_cast<unsigned>(low_x);
      idx[k] = static_cast<int>((c & 1) | ((c >> 2) & 1) << 1 | ((c >> 1) & 1) << 2);
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(idx));
  }
  static F zero() { return _mm256_setzero_ps(); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }
  static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F xor_(F a, F b) { return _mm256_xor_ps(a, b); }
  static F load(const float* p) { return _mm256_load_ps(p); }
  static void store(float* p, F a) { _mm256_store_ps(p, a); }
  static F broadcast(const float* p) { return _mm256_broadcast_ss(p); }
  static void load_complex(const Complex* p, Perm perm, F& re, F& im) {
    const __m256 lo = _mm256_loadu_ps(reinterpret_cast<const float*>(p));
    const __m256 hi = _mm256_loadu_ps(reinterpret_cast<const float*>(p + 4));
    re = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)), perm);
    im = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)), perm);
  }
  // 8 x 8: 4 x 4 blocks within 128-bit lanes, then the lanes exchanged.
  static void transpose(F v[8]) {
    F t[8], u[8];
    for (int i = 0; i < 4; ++i) {
      t[2 * i] = unpacklo(v[2 * i], v[2 * i + 1]);
      t[2 * i + 1] = unpackhi(v[2 * i], v[2 * i + 1]);
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

void pauli_sweep_avx2(const Complex* psi, std::size_t n, const PauliSweep& sweep, float* sums) {
  sweep_lanes<Avx2>(psi, n, sweep, sums);
}

}  // namespace vantrel::sim::kernels

// AVX2 lane sums of the adjoint inner product (adjoint.h): four registers
// of four amplitudes each per group of sixteen, lane for lane the
// operations of the plain loop.
#include <immintrin.h>

#include "sim/diff/adjoint.h"

namespace vantrel::sim::detail {

void imag_pauli_lanes_avx2(const Complex* lambda, const Complex* psi, const InnerLanes& g,
                           std::size_t lo, std::size_t hi, float* out) {
  constexpr std::size_t kRegs = kAdjointLanes / 8;
  // Register r holds amplitudes 4r .. 4r + 3 of the group; their partners
  // are the four amplitudes from (4r) ^ (x_low & 12), in the order that
  // x_low & 3 permutes, parts swapped for real phases.
  int idx[8];
  for (int k = 0; k < 8; ++k)
    idx[k] = 2 * ((k / 2) ^ static_cast<int>(g.x_low & 3)) + ((k % 2) ^ (g.swap_parts ? 1 : 0));
  const __m256i perm = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(idx));
  std::size_t base[kRegs];
  for (std::size_t r = 0; r < kRegs; ++r) base[r] = (4 * r) ^ (g.x_low & 12);
  __m256 acc[kRegs];
  for (std::size_t r = 0; r < kRegs; ++r) acc[r] = _mm256_setzero_ps();
  for (std::size_t i = lo; i < hi; i += kAdjointGroup) {
    const float* l = reinterpret_cast<const float*>(lambda + i);
    const Complex* p = psi + (i ^ g.x_high);
    const float* s = g.sign[__builtin_parityll(i & g.z_high)];
    for (std::size_t r = 0; r < kRegs; ++r) {
      const __m256 b = _mm256_permutevar8x32_ps(
          _mm256_loadu_ps(reinterpret_cast<const float*>(p + base[r])), perm);
      const __m256 a = _mm256_loadu_ps(l + 8 * r);
      acc[r] = _mm256_add_ps(acc[r], _mm256_mul_ps(_mm256_mul_ps(a, b), _mm256_load_ps(s + 8 * r)));
    }
  }
  for (std::size_t r = 0; r < kRegs; ++r) _mm256_storeu_ps(out + 8 * r, acc[r]);
}

}  // namespace vantrel::sim::detail

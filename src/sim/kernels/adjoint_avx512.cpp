// AVX-512 lane sums of the adjoint inner product (adjoint.h): two registers
// of eight amplitudes each per group of sixteen, lane for lane the
// operations of the plain loop.
#include <immintrin.h>

#include "sim/diff/adjoint.h"

namespace vantrel::sim::detail {

void imag_pauli_lanes_avx512(const Complex* lambda, const Complex* psi, const InnerLanes& g,
                             std::size_t lo, std::size_t hi, float* out) {
  // Register r holds amplitudes 8r .. 8r + 7 of the group; lane k of it
  // (amplitude k / 2, part k % 2) takes its partner's part from lane
  // 2 ((k / 2) ^ (x_low & 7)) + ((k % 2) ^ swap_parts) of the eight
  // amplitudes from (8r) ^ (x_low & 8).
  int idx[16];
  for (int k = 0; k < 16; ++k)
    idx[k] = 2 * ((k / 2) ^ static_cast<int>(g.x_low & 7)) + ((k % 2) ^ (g.swap_parts ? 1 : 0));
  const __m512i perm = _mm512_loadu_si512(idx);
  const std::size_t base[2] = {g.x_low & 8, 8 ^ (g.x_low & 8)};
  __m512 acc[2] = {_mm512_setzero_ps(), _mm512_setzero_ps()};
  for (std::size_t i = lo; i < hi; i += kAdjointGroup) {
    const float* l = reinterpret_cast<const float*>(lambda + i);
    const Complex* p = psi + (i ^ g.x_high);
    const float* s = g.sign[__builtin_parityll(i & g.z_high)];
    for (int r = 0; r < 2; ++r) {
      const __m512 b = _mm512_permutexvar_ps(
          perm, _mm512_loadu_ps(reinterpret_cast<const float*>(p + base[r])));
      const __m512 a = _mm512_loadu_ps(l + 16 * r);
      acc[r] = _mm512_add_ps(acc[r], _mm512_mul_ps(_mm512_mul_ps(a, b), _mm512_load_ps(s + 16 * r)));
    }
  }
  _mm512_storeu_ps(out, acc[0]);
  _mm512_storeu_ps(out + 16, acc[1]);
}

}  // namespace vantrel::sim::detail

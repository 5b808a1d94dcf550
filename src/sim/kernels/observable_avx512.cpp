// AVX-512 form of one term's addition in apply_observable (observable.h):
// one register per group of eight amplitudes, lane for lane the operations
// of the plain loop.
#include <immintrin.h>

#include "sim/model/observable.h"

namespace vantrel::sim::detail {

void add_term_avx512(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                     const TermLanes& t) {
  // Lane k (amplitude k / 2, part k % 2) takes its partner's part from lane
  // 2 ((k / 2) ^ x_low) + ((k % 2) ^ swap_parts) of the partners' group.
  int idx[16];
  for (int k = 0; k < 16; ++k)
    idx[k] = 2 * ((k / 2) ^ static_cast<int>(t.x_low)) + ((k % 2) ^ (t.swap_parts ? 1 : 0));
  const __m512i perm = _mm512_loadu_si512(idx);
  const __m512 coef[2] = {_mm512_load_ps(t.coef[0]), _mm512_load_ps(t.coef[1])};
  for (std::size_t k = 0; k < count; k += 8) {
    const std::size_t i = base + k;
    const __m512 b = _mm512_permutexvar_ps(
        perm, _mm512_loadu_ps(reinterpret_cast<const float*>(psi + (i ^ t.x_high))));
    float* a = reinterpret_cast<float*>(acc + k);
    _mm512_storeu_ps(a, _mm512_add_ps(_mm512_loadu_ps(a),
                                      _mm512_mul_ps(coef[__builtin_parityll(i & t.z_high)], b)));
  }
}

}  // namespace vantrel::sim::detail

// AVX2 form of one term's addition in apply_observable (observable.h): two
// registers of four amplitudes per group of eight, lane for lane the
// operations of the plain loop.
#include <immintrin.h>

#include "sim/model/observable.h"

namespace vantrel::sim::detail {

void add_term_avx2(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                   const TermLanes& t) {
  // Register r holds amplitudes 4r .. 4r + 3 of the group; their partners
  // are the four from (4r) ^ (x_low & 4), in the order x_low & 3 permutes.
  int idx[8];
  for (int k = 0; k < 8; ++k)
    idx[k] = 2 * ((k / 2) ^ static_cast<int>(t.x_low & 3)) + ((k % 2) ^ (t.swap_parts ? 1 : 0));
  const __m256i perm = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(idx));
  const std::size_t from[2] = {t.x_low & 4, 4 ^ (t.x_low & 4)};
  for (std::size_t k = 0; k < count; k += 8) {
    const std::size_t i = base + k;
    const Complex* p = psi + (i ^ t.x_high);
    const float* c = t.coef[__builtin_parityll(i & t.z_high)];
    for (int r = 0; r < 2; ++r) {
      const __m256 b = _mm256_permutevar8x32_ps(
          _mm256_loadu_ps(reinterpret_cast<const float*>(p + from[r])), perm);
      float* a = reinterpret_cast<float*>(acc + k + 4 * r);
      _mm256_storeu_ps(a, _mm256_add_ps(_mm256_loadu_ps(a), _mm256_mul_ps(_mm256_load_ps(c + 8 * r), b)));
    }
  }
}

}  // namespace vantrel::sim::detail

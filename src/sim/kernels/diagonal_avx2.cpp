// AVX2 form of the flips of diagonal gates with factors 1 and -1: four
// amplitudes per vector, the sign bits of flipped amplitudes toggled, then
// + 0 (see diagonal.h). Built with -mavx2 only; reached only through the
// AVX2 table.
#include <immintrin.h>

#include "sim/kernels/diagonal.h"

namespace vantrel::sim::kernels {

void apply_flips_avx2(Complex* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows) {
  if (window_bits < 2) {
    apply_flips_sse2(amps, window_bits, flips, windows);
    return;
  }
  const std::size_t size = std::size_t{1} << window_bits;
  const __m256 zero = _mm256_setzero_ps();
  // Sign masks of four amplitudes by their four flip bits.
  alignas(32) float table[16][8];
  for (unsigned v = 0; v < 16; ++v)
    for (unsigned b = 0; b < 4; ++b) table[v][2 * b] = table[v][2 * b + 1] = (v >> b) & 1 ? -0.0f : 0.0f;
  float* f = reinterpret_cast<float*>(amps);
  for (std::size_t w = 0; w < windows; ++w) {
    const std::uint64_t pat = flips[w];
    for (std::size_t j = 0; j < size; j += 4, f += 8) {
      const __m256 x = _mm256_loadu_ps(f);
      _mm256_storeu_ps(f, _mm256_add_ps(_mm256_xor_ps(x, _mm256_load_ps(table[(pat >> j) & 15])), zero));
    }
  }
}

}  // namespace vantrel::sim::kernels

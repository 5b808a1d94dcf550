// AVX2 forms of the diagonal kernels, four amplitudes per vector: the flips
// of gates with factors 1 and -1 (sign bits toggled, then + 0) and factors
// in general (the lane arithmetic of mat2.cpp, then + 0); see diagonal.h. Built with -mavx2 only; reached only through the
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

void scale_windows_avx2(Complex* amps, unsigned window_bits, const WindowCoefficients* const* tables,
                        std::size_t windows) {
  if (window_bits < 2) {
    scale_windows_sse2(amps, window_bits, tables, windows);
    return;
  }
  const std::size_t floats = std::size_t{2} << window_bits;
  const __m256 zero = _mm256_setzero_ps();
  float* f = reinterpret_cast<float*>(amps);
  for (std::size_t w = 0; w < windows; ++w, f += floats) {
    const WindowCoefficients& t = *tables[w];
    for (std::size_t i = 0; i < floats; i += 8) {
      const __m256 x = _mm256_loadu_ps(f + i);
      const __m256 sw = _mm256_permute_ps(x, _MM_SHUFFLE(2, 3, 0, 1));
      const __m256 y =
          _mm256_add_ps(_mm256_mul_ps(_mm256_load_ps(t.re + i), x), _mm256_mul_ps(_mm256_load_ps(t.im + i), sw));
      _mm256_storeu_ps(f + i, _mm256_add_ps(y, zero));
    }
  }
}

}  // namespace vantrel::sim::kernels

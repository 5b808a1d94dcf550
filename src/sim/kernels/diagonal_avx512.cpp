// AVX-512 forms of the diagonal kernels, eight amplitudes per vector: the
// flips of gates with factors 1 and -1 (flipped lanes negated as 0 - x, the
// others given + 0) and factors in general (the lane arithmetic of mat2.cpp,
// then + 0); see diagonal.h. Built with the AVX-512 flags; reached only through
// the AVX-512 table.
#include <immintrin.h>

#include "sim/kernels/diagonal.h"

namespace vantrel::sim::kernels {
namespace {

// Lane masks by the flip bits of eight amplitudes: bit b to bits 2b, 2b + 1.
struct LaneMasks {
  __mmask16 of[256];
  constexpr LaneMasks() : of() {
    for (unsigned v = 0; v < 256; ++v) {
      unsigned m = 0;
      for (unsigned b = 0; b < 8; ++b) m |= ((v >> b) & 1u) * (3u << (2 * b));
      of[v] = static_cast<__mmask16>(m);
    }
  }
};
constexpr LaneMasks kLaneMasks;

}  // namespace

void apply_flips_avx512(Complex* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows) {
  if (window_bits < 3) {
    apply_flips_sse2(amps, window_bits, flips, windows);
    return;
  }
  const std::size_t size = std::size_t{1} << window_bits;
  const __m512 zero = _mm512_setzero_ps();
  float* f = reinterpret_cast<float*>(amps);
  for (std::size_t w = 0; w < windows; ++w) {
    const std::uint64_t pat = flips[w];
    for (std::size_t j = 0; j < size; j += 8, f += 16) {
      const __mmask16 m = kLaneMasks.of[(pat >> j) & 0xFF];
      const __m512 x = _mm512_loadu_ps(f);
      // 0 - x is -x for x nonzero and +0 for +-0: the flip and the + 0 at once.
      _mm512_storeu_ps(f, _mm512_mask_sub_ps(_mm512_add_ps(x, zero), m, zero, x));
    }
  }
}

void scale_windows_avx512(Complex* amps, unsigned window_bits, const WindowCoefficients* const* tables,
                          std::size_t windows) {
  if (window_bits < 3) {
    scale_windows_sse2(amps, window_bits, tables, windows);
    return;
  }
  const std::size_t floats = std::size_t{2} << window_bits;
  const __m512 zero = _mm512_setzero_ps();
  float* f = reinterpret_cast<float*>(amps);
  for (std::size_t w = 0; w < windows; ++w, f += floats) {
    const WindowCoefficients& t = *tables[w];
    for (std::size_t i = 0; i < floats; i += 16) {
      const __m512 x = _mm512_loadu_ps(f + i);
      const __m512 sw = _mm512_permute_ps(x, _MM_SHUFFLE(2, 3, 0, 1));
      const __m512 y =
          _mm512_add_ps(_mm512_mul_ps(_mm512_load_ps(t.re + i), x), _mm512_mul_ps(_mm512_load_ps(t.im + i), sw));
      _mm512_storeu_ps(f + i, _mm512_add_ps(y, zero));
    }
  }
}

}  // namespace vantrel::sim::kernels

// AVX-512 form of the flips of diagonal gates with factors 1 and -1: eight
// amplitudes per vector, flipped lanes negated (0 - x), the others given
// + 0 (see diagonal.h). Built with the AVX-512 flags; reached only through
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

}  // namespace vantrel::sim::kernels

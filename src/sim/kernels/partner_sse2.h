// The partner pair of a Pauli term in an SSE2 register (two amplitudes):
// the pair's amplitudes swapped when the term flips bit 0 (kSwapPair), and
// each amplitude's real and imaginary parts swapped for real phases
// (kSwapParts). Shuffles only, so exact. For SSE2 files only (it is inline
// and would take another file's flags otherwise).
#pragma once

#include <emmintrin.h>

namespace vantrel::sim::kernels {

template <bool kSwapPair, bool kSwapParts>
inline __m128 partner_pair_sse2(__m128 b) {
  if constexpr (kSwapPair && kSwapParts) return _mm_shuffle_ps(b, b, _MM_SHUFFLE(0, 1, 2, 3));
  if constexpr (kSwapPair) return _mm_shuffle_ps(b, b, _MM_SHUFFLE(1, 0, 3, 2));
  if constexpr (kSwapParts) return _mm_shuffle_ps(b, b, _MM_SHUFFLE(2, 3, 0, 1));
  return b;
}

}  // namespace vantrel::sim::kernels

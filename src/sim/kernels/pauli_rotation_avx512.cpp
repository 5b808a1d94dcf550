// The AVX-512 variant of the Pauli-string rotation kernel: eight amplitudes
// per vector, the pass itself in pauli_rotation_lanes.h. Built with the
// AVX-512 flags only, and used only where the processor runs AVX-512.
#include <immintrin.h>

#include "sim/kernels/pauli_rotation.h"
#include "sim/kernels/pauli_rotation_lanes.h"

namespace vantrel::sim::kernels {
namespace {

struct Avx512 {
  using Reg = __m512;
  static constexpr unsigned kAmps = 8;
  static constexpr unsigned kShift = 3;
  static Reg set1(float f) { return _mm512_set1_ps(f); }
  static Reg load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm512_storeu_ps(p, v); }
  static Reg mul(Reg a, Reg b) { return _mm512_mul_ps(a, b); }
  static Reg add(Reg a, Reg b) { return _mm512_add_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm512_xor_ps(a, b); }
  static Reg sign(bool negate) {
    return _mm512_castsi512_ps(_mm512_set1_epi32(negate ? static_cast<int>(kRotationSign) : 0));
  }
  static Reg bits(const std::uint32_t* w) {
    return _mm512_castsi512_ps(_mm512_loadu_si512(w));
  }
  static Reg swap_parts(Reg v) { return _mm512_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)); }
  // Lane l ^ 1 within each 128-bit quarter, then quarters swapped in pairs
  // for l ^ 2, then the 256-bit halves swapped for l ^ 4.
  template <unsigned kLow>
  static Reg permute(Reg v) {
    if constexpr ((kLow & 1) != 0) v = _mm512_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2));
    if constexpr ((kLow & 2) != 0) v = _mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(2, 3, 0, 1));
    if constexpr ((kLow & 4) != 0) v = _mm512_shuffle_f32x4(v, v, _MM_SHUFFLE(1, 0, 3, 2));
    return v;
  }
};

}  // namespace

const RotationKernel kRotationAvx512 = {"AVX-512", Avx512::kAmps, &rotation_items<Avx512>,
                                        &rotation_items_range<Avx512>};

}  // namespace vantrel::sim::kernels

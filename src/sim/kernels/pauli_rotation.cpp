// The SSE2 variant of the Pauli-string rotation kernel (two amplitudes per
// vector, every x86-64; the pass itself in pauli_rotation_lanes.h), and the
// choice of variant by the engine's kernel table.
#include "sim/kernels/pauli_rotation.h"

#include <emmintrin.h>

#include "sim/kernels/isa.h"
#include "sim/kernels/pauli_rotation_lanes.h"

namespace vantrel::sim::kernels {
namespace {

struct Sse2 {
  using Reg = __m128;
  static constexpr unsigned kAmps = 2;
  static constexpr unsigned kShift = 1;
  static Reg set1(float f) { return _mm_set1_ps(f); }
  static Reg load(const float* p) { return _mm_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm_storeu_ps(p, v); }
  static Reg mul(Reg a, Reg b) { return _mm_mul_ps(a, b); }
  static Reg add(Reg a, Reg b) { return _mm_add_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm_xor_ps(a, b); }
  static Reg sign(bool negate) {
    return _mm_castsi128_ps(_mm_set1_epi32(negate ? static_cast<int>(kRotationSign) : 0));
  }
  static Reg bits(const std::uint32_t* w) {
    return _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
  }
  static Reg swap_parts(Reg v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }
  template <unsigned kLow>
  static Reg permute(Reg v) {
    if constexpr (kLow == 1) return _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2));
    return v;
  }
};

}  // namespace

const RotationKernel kRotationSse2 = {"SSE2", Sse2::kAmps, &rotation_items<Sse2>,
                                      &rotation_items_range<Sse2>};

const RotationKernel& rotation_kernel(std::size_t amplitudes) {
  const RotationKernel* k = active_kernels().rotation;
  if (amplitudes < k->block && k == &kRotationAvx512) k = &kRotationAvx2;
  return amplitudes >= k->block ? *k : kRotationSse2;
}

}  // namespace vantrel::sim::kernels

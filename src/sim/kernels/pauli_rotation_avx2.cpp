// The AVX2 variant of the Pauli-string rotation kernel: four amplitudes per
// vector, the pass itself in pauli_rotation_lanes.h. Built with -mavx2 only,
// and used only where the processor runs AVX2.
#include <immintrin.h>

#include "sim/kernels/pauli_rotation.h"
#include "sim/kernels/pauli_rotation_lanes.h"

namespace vantrel::sim::kernels {
namespace {

struct Avx2 {
  using Reg = __m256;
  static constexpr unsigned kAmps = 4;
  static constexpr unsigned kShift = 2;
  static Reg set1(float f) { return _mm256_set1_ps(f); }
  static Reg load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm256_storeu_ps(p, v); }
  static Reg mul(Reg a, Reg b) { return _mm256_mul_ps(a, b); }
  static Reg add(Reg a, Reg b) { return _mm256_add_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm256_xor_ps(a, b); }
  static Reg sign(bool negate) {
    return _mm256_castsi256_ps(_mm256_set1_epi32(negate ? static_cast<int>(kRotationSign) : 0));
  }
  static Reg bits(const std::uint32_t* w) {
    return _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w)));
  }
  static Reg swap_parts(Reg v) { return _mm256_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)); }
  // Lane l ^ 1 within each half, then the halves swapped for l ^ 2.
  template <unsigned kLow>
  static Reg permute(Reg v) {
    if constexpr ((kLow & 1) != 0) v = _mm256_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2));
    if constexpr ((kLow & 2) != 0) v = _mm256_permute2f128_ps(v, v, 0x01);
    return v;
  }
};

}  // namespace

const RotationKernel kRotationAvx2 = {"AVX2", Avx2::kAmps, &rotation_items<Avx2>,
                                      &rotation_items_range<Avx2>};

}  // namespace vantrel::sim::kernels

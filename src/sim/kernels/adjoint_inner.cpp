// The plain loop of the adjoint inner product, the lane tables every
// register form reads, and the SSE2 form.
#include "sim/kernels/adjoint_inner.h"

#include "sim/kernels/adjoint_inner_lanes.h"
#include "sim/kernels/lanes_sse2.h"

namespace vantrel::sim::kernels {

float imag_pauli_chunk_scalar(const Complex* lambda, const Complex* psi, const PauliMasks& m,
                              std::size_t lo, std::size_t hi) {
  float lanes[kAdjointLanes] = {};
  for (std::size_t i = lo; i < hi; ++i) {
    const Complex l = lambda[i];
    const Complex p = psi[i ^ m.x_mask];
    const bool neg = (__builtin_parityll(i & m.z_mask) != 0) != m.negate;
    const float s = neg ? -1.0f : 1.0f;
    const std::size_t j = 2 * (i % kAdjointGroup);
    if (m.imaginary) {
      lanes[j] = lanes[j] + (l.re * p.re) * s;
      lanes[j + 1] = lanes[j + 1] + (l.im * p.im) * s;
    } else {
      lanes[j] = lanes[j] + (l.re * p.im) * s;
      lanes[j + 1] = lanes[j + 1] + (l.im * p.re) * -s;
    }
  }
  return lane_tree(lanes);
}

InnerLanes inner_lanes(const PauliMasks& m) {
  InnerLanes g;
  g.x_high = m.x_mask & ~std::uint64_t{kAdjointGroup - 1};
  g.x_low = m.x_mask & (kAdjointGroup - 1);
  g.z_high = m.z_mask & ~std::uint64_t{kAdjointGroup - 1};
  g.swap_parts = !m.imaginary;
  const float t = m.imaginary ? 1.0f : -1.0f;
  for (int par = 0; par < 2; ++par)
    for (unsigned c = 0; c < kAdjointGroup; ++c) {
      const bool neg = ((__builtin_parityll(c & m.z_mask) != 0) != m.negate) != (par != 0);
      const float s = neg ? -1.0f : 1.0f;
      g.sign[par][2 * c] = s;
      g.sign[par][2 * c + 1] = t * s;
    }
  return g;
}

float imag_pauli_chunk_sse2(const Complex* lambda, const Complex* psi, const PauliMasks& m,
                            std::size_t lo, std::size_t hi) {
  return imag_pauli_chunk_lanes<Sse2<float>>(lambda, psi, m, lo, hi);
}

}  // namespace vantrel::sim::kernels

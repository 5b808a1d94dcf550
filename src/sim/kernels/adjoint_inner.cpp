// The plain loop of the adjoint inner product, the lane tables every
// register form reads, and the SSE2 form.
#include "sim/kernels/adjoint_inner.h"

#include "sim/kernels/adjoint_inner_lanes.h"
#include "sim/kernels/lanes_sse2.h"

namespace vantrel::sim::kernels {

template <class T>
double imag_pauli_chunk_scalar(const ComplexOf<T>* lambda, const ComplexOf<T>* psi, const PauliMasks& m,
                               std::size_t lo, std::size_t hi) {
  T lanes[kAdjointLanes] = {};
  for (std::size_t i = lo; i < hi; ++i) {
    const ComplexOf<T> l = lambda[i];
    const ComplexOf<T> p = psi[i ^ m.x_mask];
    const bool neg = (__builtin_parityll(i & m.z_mask) != 0) != m.negate;
    const T s = neg ? T(-1) : T(1);
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

template <class T>
InnerLanesOf<T> inner_lanes(const PauliMasks& m) {
  InnerLanesOf<T> g;
  g.x_high = m.x_mask & ~std::uint64_t{kAdjointGroup - 1};
  g.x_low = m.x_mask & (kAdjointGroup - 1);
  g.z_high = m.z_mask & ~std::uint64_t{kAdjointGroup - 1};
  g.swap_parts = !m.imaginary;
  const T t = m.imaginary ? T(1) : T(-1);
  for (int par = 0; par < 2; ++par)
    for (unsigned c = 0; c < kAdjointGroup; ++c) {
      const bool neg = ((__builtin_parityll(c & m.z_mask) != 0) != m.negate) != (par != 0);
      const T s = neg ? T(-1) : T(1);
      g.sign[par][2 * c] = s;
      g.sign[par][2 * c + 1] = t * s;
    }
  return g;
}

template <class T>
double imag_pauli_chunk_sse2(const ComplexOf<T>* lambda, const ComplexOf<T>* psi, const PauliMasks& m,
                             std::size_t lo, std::size_t hi) {
  return imag_pauli_chunk_lanes<Sse2<T>>(lambda, psi, m, lo, hi);
}

#define VANTREL_INNER(T)                                                                                        \
  template InnerLanesOf<T> inner_lanes<T>(const PauliMasks&);                                                   \
  template double imag_pauli_chunk_scalar<T>(const ComplexOf<T>*, const ComplexOf<T>*, const PauliMasks&,      \
                                             std::size_t, std::size_t);                                        \
  template double imag_pauli_chunk_sse2<T>(const ComplexOf<T>*, const ComplexOf<T>*, const PauliMasks&,        \
                                           std::size_t, std::size_t);
VANTREL_INNER(float)
VANTREL_INNER(double)
#undef VANTREL_INNER

}  // namespace vantrel::sim::kernels

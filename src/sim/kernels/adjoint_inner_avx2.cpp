// The AVX2 form of the adjoint inner product (adjoint_inner_lanes.h).
#include "sim/kernels/adjoint_inner_lanes.h"
#include "sim/kernels/lanes_avx2.h"

namespace vantrel::sim::kernels {

template <class T>
double imag_pauli_chunk_avx2(const ComplexOf<T>* lambda, const ComplexOf<T>* psi, const PauliMasks& m,
                         std::size_t lo, std::size_t hi) {
  return imag_pauli_chunk_lanes<Avx2<T>>(lambda, psi, m, lo, hi);
}

template double imag_pauli_chunk_avx2<float>(const Complex*, const Complex*, const PauliMasks&, std::size_t,
                                         std::size_t);
template double imag_pauli_chunk_avx2<double>(const ComplexD*, const ComplexD*, const PauliMasks&, std::size_t,
                                          std::size_t);

}  // namespace vantrel::sim::kernels

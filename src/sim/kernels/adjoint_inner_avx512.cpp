// The AVX-512 form of the adjoint inner product (adjoint_inner_lanes.h).
#include "sim/kernels/adjoint_inner_lanes.h"
#include "sim/kernels/lanes_avx512.h"

namespace vantrel::sim::kernels {

template <class T>
double imag_pauli_chunk_avx512(const ComplexOf<T>* lambda, const ComplexOf<T>* psi, const PauliMasks& m,
                         std::size_t lo, std::size_t hi) {
  return imag_pauli_chunk_lanes<Avx512<T>>(lambda, psi, m, lo, hi);
}

template double imag_pauli_chunk_avx512<float>(const Complex*, const Complex*, const PauliMasks&, std::size_t,
                                         std::size_t);
template double imag_pauli_chunk_avx512<double>(const ComplexD*, const ComplexD*, const PauliMasks&, std::size_t,
                                          std::size_t);

}  // namespace vantrel::sim::kernels

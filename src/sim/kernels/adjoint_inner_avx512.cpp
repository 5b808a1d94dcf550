// The AVX-512 form of the adjoint inner product (adjoint_inner_lanes.h).
#include "sim/kernels/adjoint_inner_lanes.h"
#include "sim/kernels/lanes_avx512.h"

namespace vantrel::sim::kernels {

float imag_pauli_chunk_avx512(const Complex* lambda, const Complex* psi, const PauliMasks& m,
                              std::size_t lo, std::size_t hi) {
  return imag_pauli_chunk_lanes<Avx512<float>>(lambda, psi, m, lo, hi);
}

}  // namespace vantrel::sim::kernels

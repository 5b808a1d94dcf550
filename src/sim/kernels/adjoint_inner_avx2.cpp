// The AVX2 form of the adjoint inner product (adjoint_inner_lanes.h).
#include "sim/kernels/adjoint_inner_lanes.h"
#include "sim/kernels/lanes_avx2.h"

namespace vantrel::sim::kernels {

float imag_pauli_chunk_avx2(const Complex* lambda, const Complex* psi, const PauliMasks& m,
                            std::size_t lo, std::size_t hi) {
  return imag_pauli_chunk_lanes<Avx2<float>>(lambda, psi, m, lo, hi);
}

}  // namespace vantrel::sim::kernels

// AVX-512 sweep of Pauli terms: sixteen terms per vector (pauli_lanes.h).
// Built with the AVX-512 flags only (no FMA, no contraction); called only
// when the processor and the system support AVX-512.
#include "sim/kernels/lanes_avx512.h"
#include "sim/kernels/pauli_lanes.h"

namespace vantrel::sim::kernels {

void pauli_sweep_avx512(const Complex* psi, std::size_t n, const PauliSweep& sweep, float* sums) {
  sweep_lanes<Avx512<float>>(psi, n, sweep, sums);
}

}  // namespace vantrel::sim::kernels

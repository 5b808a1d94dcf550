// AVX-512 sweep of Pauli terms: sixteen terms per vector (pauli_lanes.h).
// Built with the AVX-512 flags only (no FMA, no contraction); called only
// when the processor and the system support AVX-512.
#include "sim/kernels/lanes_avx512.h"
#include "sim/kernels/pauli_lanes.h"

namespace vantrel::sim::kernels {

template <class T>
void pauli_sweep_avx512(const ComplexOf<T>* psi, std::size_t n, const PauliSweep& sweep, double* sums) {
  sweep_lanes<Avx512<T>>(psi, n, sweep, sums);
}

template void pauli_sweep_avx512<float>(const Complex*, std::size_t, const PauliSweep&, double*);
template void pauli_sweep_avx512<double>(const ComplexD*, std::size_t, const PauliSweep&, double*);

}  // namespace vantrel::sim::kernels

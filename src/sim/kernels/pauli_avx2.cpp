// AVX2 sweep of Pauli terms: eight terms per vector (pauli_lanes.h). Built
// with -mavx2 only (no FMA); called only when the processor has AVX2.
#include "sim/kernels/lanes_avx2.h"
#include "sim/kernels/pauli_lanes.h"

namespace vantrel::sim::kernels {

template <class T>
void pauli_sweep_avx2(const ComplexOf<T>* psi, std::size_t n, const PauliSweep& sweep, double* sums) {
  sweep_lanes<Avx2<T>>(psi, n, sweep, sums);
}

template void pauli_sweep_avx2<float>(const Complex*, std::size_t, const PauliSweep&, double*);
template void pauli_sweep_avx2<double>(const ComplexD*, std::size_t, const PauliSweep&, double*);

}  // namespace vantrel::sim::kernels

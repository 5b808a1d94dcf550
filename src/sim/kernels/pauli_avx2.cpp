// AVX2 sweep of Pauli terms: eight terms per vector (pauli_lanes.h). Built
// with -mavx2 only (no FMA); called only when the processor has AVX2.
#include "sim/kernels/lanes_avx2.h"
#include "sim/kernels/pauli_lanes.h"

namespace vantrel::sim::kernels {

void pauli_sweep_avx2(const Complex* psi, std::size_t n, const PauliSweep& sweep, float* sums) {
  sweep_lanes<Avx2<float>>(psi, n, sweep, sums);
}

}  // namespace vantrel::sim::kernels

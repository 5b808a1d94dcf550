// The AVX-512 instantiations of the general kernel's vector parts
// (matrix_lanes.h). Built with the AVX-512 flags only (never FMA, and the
// build forbids contraction); called only when the processor and the system
// support AVX-512.
#include "sim/kernels/lanes_avx512.h"
#include "sim/kernels/matrix_lanes.h"

namespace vantrel::sim::kernels {

template <class T>
void row_sums_avx512(const ComplexOf<T>* vals, const std::uint32_t* cols, std::size_t count,
                     const ComplexOf<T>* scratch, std::size_t width, std::size_t c, ComplexOf<T>* out) {
  row_sums_of<Avx512<T>>(vals, cols, count, scratch, width, c, out);
}

// Targets or fixed qubits below qubit kShift break the runs of consecutive
// groups into runs shorter than a register; those layouts use the AVX2
// kernel.
template <class T, std::size_t D>
void direct_groups_avx512(ComplexOf<T>* amps, const DirectPlanOf<T, D>& plan, std::size_t lo, std::size_t hi) {
  if (plan.low_bit < Avx512<T>::kShift) {
    direct_groups_avx2(amps, plan, lo, hi);
  } else {
    direct_groups_of<Avx512<T>>(amps, plan, lo, hi);
  }
}

template void row_sums_avx512<float>(const Complex*, const std::uint32_t*, std::size_t, const Complex*,
                                     std::size_t, std::size_t, Complex*);
template void row_sums_avx512<double>(const ComplexD*, const std::uint32_t*, std::size_t, const ComplexD*,
                                      std::size_t, std::size_t, ComplexD*);
template void direct_groups_avx512<float, 4>(Complex*, const DirectPlanOf<float, 4>&, std::size_t, std::size_t);
template void direct_groups_avx512<float, 8>(Complex*, const DirectPlanOf<float, 8>&, std::size_t, std::size_t);
template void direct_groups_avx512<double, 4>(ComplexD*, const DirectPlanOf<double, 4>&, std::size_t,
                                              std::size_t);
template void direct_groups_avx512<double, 8>(ComplexD*, const DirectPlanOf<double, 8>&, std::size_t,
                                              std::size_t);

}  // namespace vantrel::sim::kernels

// The AVX-512 form of a term's addition (observable_apply_lanes.h).
#include "sim/kernels/lanes_avx512.h"
#include "sim/kernels/observable_apply_lanes.h"

namespace vantrel::sim::kernels {

template <class T>
void add_term_avx512(ComplexOf<T>* acc, const ComplexOf<T>* psi, std::size_t base, std::size_t count,
               const TermLanesOf<T>& t) {
  add_term_lanes<Avx512<T>>(acc, psi, base, count, t);
}

template void add_term_avx512<float>(Complex*, const Complex*, std::size_t, std::size_t, const TermLanesOf<float>&);
template void add_term_avx512<double>(ComplexD*, const ComplexD*, std::size_t, std::size_t, const TermLanesOf<double>&);

}  // namespace vantrel::sim::kernels

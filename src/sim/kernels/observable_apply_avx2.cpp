// The AVX2 form of a term's addition (observable_apply_lanes.h).
#include "sim/kernels/lanes_avx2.h"
#include "sim/kernels/observable_apply_lanes.h"

namespace vantrel::sim::kernels {

void add_term_avx2(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                   const TermLanes& t) {
  add_term_lanes<Avx2<float>>(acc, psi, base, count, t);
}

}  // namespace vantrel::sim::kernels

// The plain loop of a term's addition, the lane tables every form reads, and
// the SSE2 form.
#include "sim/kernels/observable_apply.h"

#include "sim/kernels/lanes_sse2.h"
#include "sim/kernels/observable_apply_lanes.h"

namespace vantrel::sim::kernels {

TermLanes term_lanes(const PauliMasks& m, float c) {
  TermLanes t;
  t.x_high = m.x_mask & ~std::uint64_t{kTermGroup - 1};
  t.x_low = m.x_mask & (kTermGroup - 1);
  t.z_high = m.z_mask & ~std::uint64_t{kTermGroup - 1};
  t.swap_parts = m.imaginary;
  for (int par = 0; par < 2; ++par)
    for (unsigned j = 0; j < kTermGroup; ++j) {
      const bool neg = ((__builtin_parityll(j & m.z_mask) != 0) != m.negate) != (par != 0);
      const float signed_c = neg ? -c : c;
      t.coef[par][2 * j] = m.imaginary ? -signed_c : signed_c;
      t.coef[par][2 * j + 1] = signed_c;
    }
  return t;
}

void add_term_scalar(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                     const TermLanes& t) {
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t i = base + k;
    const Complex b = psi[i ^ t.x_high ^ t.x_low];
    const Complex v = t.swap_parts ? Complex{b.im, b.re} : b;
    const float* c = t.coef[__builtin_parityll(i & t.z_high)] + 2 * (i & (kTermGroup - 1));
    acc[k] = {acc[k].re + c[0] * v.re, acc[k].im + c[1] * v.im};
  }
}

void add_term_sse2(Complex* acc, const Complex* psi, std::size_t base, std::size_t count,
                   const TermLanes& t) {
  add_term_lanes<Sse2<float>>(acc, psi, base, count, t);
}

}  // namespace vantrel::sim::kernels

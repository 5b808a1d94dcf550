// The plain loop of a term's addition, the lane tables every form reads, and
// the SSE2 form.
#include "sim/kernels/observable_apply.h"

#include "sim/kernels/lanes_sse2.h"
#include "sim/kernels/observable_apply_lanes.h"

namespace vantrel::sim::kernels {

template <class T>
TermLanesOf<T> term_lanes(const PauliMasks& m, std::type_identity_t<T> c) {
  TermLanesOf<T> t;
  t.x_high = m.x_mask & ~std::uint64_t{kTermGroup - 1};
  t.x_low = m.x_mask & (kTermGroup - 1);
  t.z_high = m.z_mask & ~std::uint64_t{kTermGroup - 1};
  t.swap_parts = m.imaginary;
  for (int par = 0; par < 2; ++par)
    for (unsigned j = 0; j < kTermGroup; ++j) {
      const bool neg = ((__builtin_parityll(j & m.z_mask) != 0) != m.negate) != (par != 0);
      const T signed_c = neg ? -c : c;
      t.coef[par][2 * j] = m.imaginary ? -signed_c : signed_c;
      t.coef[par][2 * j + 1] = signed_c;
    }
  return t;
}

template <class T>
void add_term_scalar(ComplexOf<T>* acc, const ComplexOf<T>* psi, std::size_t base, std::size_t count,
                     const TermLanesOf<T>& t) {
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t i = base + k;
    const ComplexOf<T> b = psi[i ^ t.x_high ^ t.x_low];
    const ComplexOf<T> v = t.swap_parts ? ComplexOf<T>{b.im, b.re} : b;
    const T* c = t.coef[__builtin_parityll(i & t.z_high)] + 2 * (i & (kTermGroup - 1));
    acc[k] = {acc[k].re + c[0] * v.re, acc[k].im + c[1] * v.im};
  }
}

template <class T>
void add_term_sse2(ComplexOf<T>* acc, const ComplexOf<T>* psi, std::size_t base, std::size_t count,
                   const TermLanesOf<T>& t) {
  add_term_lanes<Sse2<T>>(acc, psi, base, count, t);
}

#define VANTREL_TERMS(T)                                                                                      \
  template TermLanesOf<T> term_lanes<T>(const PauliMasks&, T);                                                \
  template void add_term_scalar<T>(ComplexOf<T>*, const ComplexOf<T>*, std::size_t, std::size_t,             \
                                   const TermLanesOf<T>&);                                                   \
  template void add_term_sse2<T>(ComplexOf<T>*, const ComplexOf<T>*, std::size_t, std::size_t, const TermLanesOf<T>&);
VANTREL_TERMS(float)
VANTREL_TERMS(double)
#undef VANTREL_TERMS

}  // namespace vantrel::sim::kernels

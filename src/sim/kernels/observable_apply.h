// H psi, term by term: the kernels that add one Pauli term's values to a
// block of running sums (state/expectation.h applies a whole observable with
// them).
//
// The term c P at amplitude i is c * (P psi)[i] = c * phi_i * psi[i ^ x_mask]
// (pauli.h), the product of a real and a complex number taken part by part:
// (c * re, c * im), phi_i only permuting and negating parts, exactly. Each
// kernel adds that to acc[k] for the amplitudes base + k, part by part, the
// same operations in every variant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "sim/base/complex.h"
#include "sim/kernels/pauli.h"

namespace vantrel::sim::kernels {

// Amplitudes per group: the register forms take base and count in
// multiples of it.
inline constexpr std::size_t kTermGroup = 8;

// A term as the kernels take it: the partner of amplitude i is
// psi[(i ^ x_high) + ((i mod 8) ^ x_low)] (i ^ x_mask, cut at bit 3), its
// parts swapped when swap_parts (imaginary phases); part k % 2 of amplitude
// k / 2 of a group of eight is multiplied by coef[parity of i & z_high][k],
// the coefficient with the phase's sign (and for imaginary phases the real
// part's minus) folded in.
template <class T>
struct TermLanesOf {
  std::uint64_t x_high;
  std::uint64_t x_low;
  std::uint64_t z_high;
  bool swap_parts;
  alignas(64) T coef[2][2 * kTermGroup];
};
using TermLanes = TermLanesOf<float>;
template <class T>
TermLanesOf<T> term_lanes(const PauliMasks& m, std::type_identity_t<T> coefficient);

// acc[k] += the term's value at amplitude base + k for k < count: the
// variants of KernelTableOf::add_term, instantiated for float and double.
// The scalar one, the plain loop, takes any base and count; the others
// multiples of kTermGroup.
template <class T>
void add_term_scalar(ComplexOf<T>* acc, const ComplexOf<T>* psi, std::size_t base, std::size_t count,
                     const TermLanesOf<T>& t);
template <class T>
void add_term_sse2(ComplexOf<T>* acc, const ComplexOf<T>* psi, std::size_t base, std::size_t count,
                   const TermLanesOf<T>& t);
template <class T>
void add_term_avx2(ComplexOf<T>* acc, const ComplexOf<T>* psi, std::size_t base, std::size_t count,
                   const TermLanesOf<T>& t);
template <class T>
void add_term_avx512(ComplexOf<T>* acc, const ComplexOf<T>* psi, std::size_t base, std::size_t count,
                     const TermLanesOf<T>& t);

}  // namespace vantrel::sim::kernels

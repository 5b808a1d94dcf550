// The inner products of adjoint differentiation: Im <lambda|P|psi> for a
// Pauli string P, over a chunk of amplitudes, without forming P psi.
//
// With the masks of pauli.h, amplitude i contributes two products of
// l = lambda[i] and p = psi[i ^ x_mask], each rounded and then multiplied by
// the sign s_i = +-1 of the phase (exactly):
//   real phases:      u_i = (l.re * p.im) * s_i,  v_i = (l.im * p.re) * -s_i
//   imaginary phases: u_i = (l.re * p.re) * s_i,  v_i = (l.im * p.im) * s_i
// Within a chunk (at most kAdjointChunk amplitudes, from a multiple of
// kAdjointGroup), lane 2 (i mod 16) adds the u_i and lane 2 (i mod 16) + 1
// the v_i, in ascending i, from +0 (kAdjointLanes = 32 lanes) in the
// amplitudes' precision; the chunk's value is the pairwise tree of its lanes
// in double, T(a, b) = T(a, m) + T(m, b) down to single lanes. Every table's variant gives the bits of the plain loop,
// imag_pauli_chunk_scalar. How chunks combine is the caller's (diff/adjoint.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/base/complex.h"
#include "sim/kernels/pauli.h"

namespace vantrel::sim::kernels {

inline constexpr std::size_t kAdjointChunk = 4096;
inline constexpr std::size_t kAdjointLanes = 32;
// Amplitudes per group: every lane once.
inline constexpr std::size_t kAdjointGroup = kAdjointLanes / 2;
static_assert(kAdjointChunk % kAdjointGroup == 0, "chunks hold whole groups");

// What the register forms need of a Pauli string: the partner of amplitude i
// is psi[(i ^ x_high) + ((i mod 16) ^ x_low)] (i ^ x_mask, cut at bit 4);
// with swap_parts (real phases) its parts are swapped before the products;
// lane k of a group of sixteen amplitudes (amplitude k / 2, part k % 2) is
// multiplied by sign[parity of i & z_high][k].
template <class T>
struct InnerLanesOf {
  std::uint64_t x_high;
  std::uint64_t x_low;
  std::uint64_t z_high;
  bool swap_parts;
  alignas(64) T sign[2][kAdjointLanes];
};
using InnerLanes = InnerLanesOf<float>;
template <class T>
InnerLanesOf<T> inner_lanes(const PauliMasks& m);

// The value of chunk [lo, hi) of Im <lambda|P|psi>: the variants of
// KernelTableOf::imag_pauli_chunk, the scalar one the plain loop;
// instantiated for float and double.
template <class T>
double imag_pauli_chunk_scalar(const ComplexOf<T>* lambda, const ComplexOf<T>* psi, const PauliMasks& m,
                               std::size_t lo, std::size_t hi);
template <class T>
double imag_pauli_chunk_sse2(const ComplexOf<T>* lambda, const ComplexOf<T>* psi, const PauliMasks& m,
                             std::size_t lo, std::size_t hi);
template <class T>
double imag_pauli_chunk_avx2(const ComplexOf<T>* lambda, const ComplexOf<T>* psi, const PauliMasks& m,
                             std::size_t lo, std::size_t hi);
template <class T>
double imag_pauli_chunk_avx512(const ComplexOf<T>* lambda, const ComplexOf<T>* psi, const PauliMasks& m,
                               std::size_t lo, std::size_t hi);

}  // namespace vantrel::sim::kernels

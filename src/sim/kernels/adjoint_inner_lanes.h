// The adjoint inner product (adjoint_inner.h) written once over an
// instruction-set traits type V (lanes.h), instantiated by adjoint_inner.cpp
// (SSE2), adjoint_inner_avx2.cpp and adjoint_inner_avx512.cpp. Internal
// linkage only (isa.h).
//
// A group of sixteen amplitudes fills kAdjointLanes / kFloats registers;
// register r holds amplitudes kAmps r .. kAmps (r + 1) - 1 of the group, and
// the partners of its amplitudes are the kAmps amplitudes from
// (kAmps r) ^ (x_low & (16 - kAmps)), moved within the register by
// x_low & (kAmps - 1) and their parts swapped for real phases. Each lane
// performs the plain loop's product, sign product and addition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/kernels/adjoint_inner.h"

namespace vantrel::sim::kernels {
namespace {

// The pairwise tree of lanes [a, b) (a power of two of them), in double.
template <class T>
double lane_tree(const T* l, std::size_t a = 0, std::size_t b = kAdjointLanes) {
  if (b - a == 1) return static_cast<double>(l[a]);
  const std::size_t m = a + (b - a) / 2;
  return lane_tree(l, a, m) + lane_tree(l, m, b);
}

template <class V, class Move>
void inner_lane_sums(const typename V::Amp* lambda, const typename V::Amp* psi,
                     const InnerLanesOf<typename V::Scalar>& g, const Move& move, std::size_t lo,
                     std::size_t hi, typename V::Scalar* out) {
  using S = typename V::Scalar;
  constexpr std::size_t kRegs = kAdjointLanes / V::kFloats;
  std::size_t from[kRegs];
  for (std::size_t r = 0; r < kRegs; ++r) from[r] = (V::kAmps * r) ^ (g.x_low & (kAdjointGroup - V::kAmps));
  typename V::Reg acc[kRegs];
  for (std::size_t r = 0; r < kRegs; ++r) acc[r] = V::zero();
  for (std::size_t i = lo; i < hi; i += kAdjointGroup) {
    const S* l = reinterpret_cast<const S*>(lambda + i);
    const typename V::Amp* p = psi + (i ^ g.x_high);
    const S* s = g.sign[__builtin_parityll(i & g.z_high)];
    for (std::size_t r = 0; r < kRegs; ++r) {
      const typename V::Reg b = V::partner(move, V::load(reinterpret_cast<const S*>(p + from[r])));
      const typename V::Reg a = V::load(l + V::kFloats * r);
      acc[r] = V::add(acc[r], V::mul(V::mul(a, b), V::load_aligned(s + V::kFloats * r)));
    }
  }
  for (std::size_t r = 0; r < kRegs; ++r) V::store(out + V::kFloats * r, acc[r]);
}

// A table's imag_pauli_chunk: chunks shorter than a group take the plain
// loop.
template <class V>
double imag_pauli_chunk_lanes(const typename V::Amp* lambda, const typename V::Amp* psi, const PauliMasks& m,
                              std::size_t lo, std::size_t hi) {
  if (hi - lo < kAdjointGroup) return imag_pauli_chunk_scalar(lambda, psi, m, lo, hi);
  const InnerLanesOf<typename V::Scalar> g = inner_lanes<typename V::Scalar>(m);
  alignas(64) typename V::Scalar lanes[kAdjointLanes];
  V::with_partner(g.x_low & (V::kAmps - 1), g.swap_parts,
                  [&](const auto& move) { inner_lane_sums<V>(lambda, psi, g, move, lo, hi, lanes); });
  return lane_tree(lanes);
}

}  // namespace
}  // namespace vantrel::sim::kernels

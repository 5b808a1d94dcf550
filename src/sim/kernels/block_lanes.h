// The block kernels (block.h) written once over an instruction-set traits
// type V (lanes.h), instantiated by block.cpp (SSE2), block_avx2.cpp and
// block_avx512.cpp for both precisions. Internal linkage only (isa.h).
//
// Qubits below kShift have both amplitudes of a pair in one register (the
// a1 lanes sum their terms in swapped order, which addition leaves as it
// is); higher ones take runs of a0 and a1 registers. Blocks smaller than a
// register take the scalar loops.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/kernels/block.h"
#include "sim/kernels/lanes.h"
#include "sim/kernels/mat2_lanes.h"

namespace vantrel::sim::kernels {
namespace {

template <class V, Mat2Shape S>
void block_mat2_shape(typename V::Amp* amps, unsigned bits, unsigned q, const typename V::Amp m[4]) {
  using Sc = typename V::Scalar;
  using Reg = typename V::Reg;
  constexpr std::size_t F = V::kFloats;
  const std::size_t floats = std::size_t{2} << bits;
  Sc* f = reinterpret_cast<Sc*>(amps);
  auto in_register = [&]<unsigned Q>() {
    const typename V::Coef d = coef_split<V, Q>(m[0], m[3]), o = coef_split<V, Q>(m[1], m[2]);
    for (std::size_t i = 0; i < floats; i += F) {
      const Reg x = V::load(f + i);
      V::store(f + i, shape_update<V, S>(x, V::template permute<(1u << Q)>(x), d, o));
    }
  };
  if (in_register_qubit<V>(q, in_register)) return;
  const typename V::Coef c00 = coef<V>(m[0]), c01 = coef<V>(m[1]);
  const typename V::Coef c10 = coef<V>(m[2]), c11 = coef<V>(m[3]);
  const std::size_t s = std::size_t{2} << q;  // floats between a0 and a1
  for (std::size_t b = 0; b < floats; b += 2 * s) {
    for (std::size_t i = b; i < b + s; i += F) {
      const Reg x0 = V::load(f + i), x1 = V::load(f + i + s);
      // y1 = (m11 a1) + (m10 a0): the reference's sum, operands swapped.
      V::store(f + i, shape_update<V, S>(x0, x1, c00, c01));
      V::store(f + i + s, shape_update<V, S>(x1, x0, c11, c10));
    }
  }
}

// A table's block_mat2.
template <class V>
void block_mat2_of(typename V::Amp* amps, unsigned bits, const Mat2BlockOf<typename V::Scalar>& op) {
  if (bits < V::kShift) {
    block_mat2_scalar(amps, bits, op);
    return;
  }
  with_mat2_shape(op.shape, [&]<Mat2Shape S>() { block_mat2_shape<V, S>(amps, bits, op.q, op.m); });
}

// A table's block_controlled_x: lanes whose pair has every control set take
// the other amplitude of the pair, then every lane adds 0. The controls
// split at the pairs a register holds: those above are the same for the
// whole register, those below give a fixed pattern of lanes.
template <class V>
void block_controlled_x_of(typename V::Amp* amps, unsigned bits, const ControlledMat2Of<typename V::Scalar>& c) {
  using Sc = typename V::Scalar;
  using Reg = typename V::Reg;
  constexpr std::size_t F = V::kFloats;
  if (bits < V::kShift) {
    block_controlled_x_scalar(amps, bits, c);
    return;
  }
  const unsigned t = c.target;
  const std::size_t floats = std::size_t{2} << bits;
  const std::size_t cp = c.low | c.high;
  const Reg zero = V::zero();
  Sc* f = reinterpret_cast<Sc*>(amps);
  auto in_register = [&]<unsigned Q>() {
    // Pairs p .. p + kAmps / 2 - 1 per register, p a multiple of kAmps / 2.
    constexpr std::size_t kPairs = V::kAmps / 2;
    const std::size_t high = cp & ~(kPairs - 1), low = cp & (kPairs - 1);
    unsigned lanes = 0;
    for (unsigned l = 0; l < V::kAmps; ++l) {
      const std::size_t pair = ((l >> (Q + 1)) << Q) | (l & ((1u << Q) - 1u));
      lanes |= ((pair & low) == low ? 1u : 0u) << l;
    }
    const typename V::Mask on = V::amp_mask(lanes), off = V::amp_mask(0);
    std::size_t p = 0;
    for (std::size_t i = 0; i < floats; i += F, p += kPairs) {
      const Reg x = V::load(f + i);
      const typename V::Mask sel = (p & high) == high ? on : off;
      V::store(f + i, V::add(V::blend(sel, x, V::template permute<(1u << Q)>(x)), zero));
    }
  };
  if (in_register_qubit<V>(t, in_register)) return;
  // Pairs p .. p + kAmps - 1 per register, p a multiple of kAmps.
  const std::size_t high = cp & ~std::size_t{V::kAmps - 1}, low = cp & (V::kAmps - 1);
  unsigned lanes = 0;
  for (unsigned l = 0; l < V::kAmps; ++l) lanes |= ((l & low) == low ? 1u : 0u) << l;
  const typename V::Mask on = V::amp_mask(lanes), off = V::amp_mask(0);
  const std::size_t s = std::size_t{2} << t;
  std::size_t p = 0;
  for (std::size_t b = 0; b < floats; b += 2 * s) {
    for (std::size_t i = b; i < b + s; i += F, p += V::kAmps) {
      const Reg x0 = V::load(f + i), x1 = V::load(f + i + s);
      const typename V::Mask sel = (p & high) == high ? on : off;
      V::store(f + i, V::add(V::blend(sel, x0, x1), zero));
      V::store(f + i + s, V::add(V::blend(sel, x1, x0), zero));
    }
  }
}

}  // namespace
}  // namespace vantrel::sim::kernels

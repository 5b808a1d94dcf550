// What every instruction-set traits type shares (lanes_sse2.h,
// lanes_avx2.h, lanes_avx512.h). A kernel family is written once as a
// template over such a type V and instantiated in the file of each
// instruction set; the traits are the only place that names intrinsics for
// the families written this way.
//
// A traits type is a template over the scalar type of the amplitudes' parts
// (float today); a family uses only V::Scalar and V::Amp for its data, so a
// second scalar type is a second specialisation of each traits type, never
// a second copy of an algorithm. V supplies:
//  - Scalar, Amp (the complex type of Scalar), Reg; kFloats lanes of Scalar
//    per register, kAmps = kFloats / 2 amplitudes, kShift = log2(kAmps);
//  - zero, set1, broadcast(const Scalar*), add, sub, mul, bit_xor;
//    sign(bool) (every sign bit, or none) and bits(const std::uint32_t*);
//  - load and store of unaligned registers, load_aligned and store_aligned;
//  - swap_parts (re and im of each amplitude), permute<kLow> (lane l of the
//    result holds amplitude l ^ kLow); Coef and cmul, complex products by
//    lane coefficients;
//  - partner moves of Pauli terms: with_partner(low, swap, f) calls f with a
//    move P for which partner(P, r) puts in amplitude k of the result
//    amplitude k ^ low of r (low < kAmps), its parts swapped when `swap`:
//    lane k takes lane partner_lane(k, low, swap). Constant moves where the
//    instruction set has no variable permutation, so the loop that f runs
//    is compiled once per move;
//  - the split loads of the Pauli sweep (pauli_lanes.h): SplitPerm,
//    split_perm(low), load_split(p, perm, re, im), transpose(Reg[kFloats]),
//    and kFewTerms.
// Everything in these headers has internal linkage (isa.h says why).
#pragma once

#include <cstdint>

namespace vantrel::sim::kernels {
namespace {

// The sign bit of a float lane.
constexpr std::uint32_t kSignBit = 0x80000000u;

// The lane a partner move reads for lane k (amplitude k / 2, part k % 2):
// the same part of amplitude (k / 2) ^ low, or the other part with `swap`.
constexpr int partner_lane(int k, unsigned low, bool swap) {
  return 2 * ((k / 2) ^ static_cast<int>(low)) + ((k % 2) ^ (swap ? 1 : 0));
}

}  // namespace
}  // namespace vantrel::sim::kernels

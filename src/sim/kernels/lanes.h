// What every instruction-set traits type shares (lanes_sse2.h,
// lanes_avx2.h, lanes_avx512.h). A kernel family is written once as a
// template over such a type V and instantiated in the file of each
// instruction set; the traits are the only place that names intrinsics for
// the families written this way.
//
// A traits type is a template over the scalar type of the amplitudes' parts,
// specialised for float and double; a family uses only V::Scalar and V::Amp
// for its data, so both precisions run the same algorithm. V supplies:
//  - Scalar, Amp (the complex type of Scalar), Reg, Word (the unsigned
//    integer of a Scalar's width); kFloats lanes of Scalar per register,
//    kAmps = kFloats / 2 amplitudes, kShift = log2(kAmps);
//  - zero, set1, broadcast(const Scalar*), broadcast2(const Scalar*) (the
//    two scalars repeated), pair(x, y) (x, y repeated), add, sub, mul,
//    bit_xor; kSign (the sign bit of a Word), sign(bool) (every sign bit, or
//    none) and bits(const Word*);
//  - load and store of unaligned registers, load_aligned and store_aligned;
//  - swap_parts (re and im of each amplitude), permute<kLow> (lane l of the
//    result holds amplitude l ^ kLow); Coef and cmul, complex products by
//    lane coefficients;
//  - Mask, amp_mask(bits) (amplitude l selected by bit l), blend(mask, x, y)
//    (y in the selected amplitudes, x elsewhere), flip(mask, x) (both parts
//    of the selected amplitudes negated) and any_zero(x) (some lane is +-0);
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

#include <cstddef>
#include <cstdint>

namespace vantrel::sim::kernels {
namespace {

// The lane a partner move reads for lane k (amplitude k / 2, part k % 2):
// the same part of amplitude (k / 2) ^ low, or the other part with `swap`.
constexpr int partner_lane(int k, unsigned low, bool swap) {
  return 2 * ((k / 2) ^ static_cast<int>(low)) + ((k % 2) ^ (swap ? 1 : 0));
}

// Lane coefficients of a complex number a: re = (a.re, a.re) and
// im = (-a.im, a.im) per amplitude, so that cmul(coef(a), x) is the lane form
// of cmul(a, x): a.re * x.re + (-a.im) * x.im, which IEEE arithmetic makes
// identical to a.re * x.re - a.im * x.im (negation is exact and x - y is
// x + (-y)), and a.re * x.im + a.im * x.re.
template <class V>
inline typename V::Coef coef(typename V::Amp a) {
  return {V::set1(a.re), V::pair(-a.im, a.im)};
}

// The amplitudes of a register whose bit Q of the lane index is set.
template <class V, unsigned Q>
constexpr unsigned kUpperAmps = [] {
  unsigned bits = 0;
  for (unsigned l = 0; l < V::kAmps; ++l) bits |= ((l >> Q) & 1u) << l;
  return bits;
}();

// Coefficients of a in the amplitudes whose bit Q of the lane index is clear,
// of b in the others.
template <class V, unsigned Q>
inline typename V::Coef coef_split(typename V::Amp a, typename V::Amp b) {
  const typename V::Coef ca = coef<V>(a), cb = coef<V>(b);
  const typename V::Mask m = V::amp_mask(kUpperAmps<V, Q>);
  return {V::blend(m, ca.re, cb.re), V::blend(m, ca.im, cb.im)};
}

// For a qubit q below kShift (both amplitudes of its pairs in one register)
// calls f.template operator()<q>() and returns true; false for the others.
template <class V, class F>
inline bool in_register_qubit(unsigned q, F&& f) {
  if constexpr (V::kShift > 0) {
    if (q == 0) return f.template operator()<0>(), true;
  }
  if constexpr (V::kShift > 1) {
    if (q == 1) return f.template operator()<1>(), true;
  }
  if constexpr (V::kShift > 2) {
    if (q == 2) return f.template operator()<2>(), true;
  }
  return false;
}

// The lesser of two sizes (no template of a shared header: see isa.h).
inline std::size_t lesser(std::size_t a, std::size_t b) { return a < b ? a : b; }

}  // namespace
}  // namespace vantrel::sim::kernels

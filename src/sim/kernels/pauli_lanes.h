// The vector sweep of Pauli terms, written once over an instruction-set
// traits type V (lanes.h) and instantiated by the file of each instruction
// set (pauli.cpp, pauli_avx2.cpp, pauli_avx512.cpp). Everything here has
// internal linkage, so each file gets its own copy, built with its own
// flags; never include it elsewhere.
//
// Of V it uses kFloats (L, a power of two), kFewTerms (groups of partner
// terms this small go to pauli_sums_few instead), Reg, SplitPerm (a lane
// permutation k -> k ^ xl prepared by split_perm(xl)), zero, add, sub, mul,
// bit_xor, load_aligned/store_aligned, broadcast, load_split (L consecutive
// amplitudes from p, permuted, split into real and imaginary parts) and
// transpose (of L registers of L lanes).
//
// A lane carries one term's running sum (pauli.h, sweep_layout). The state
// is walked in blocks of L amplitudes, in ascending order. For a block, the
// summands of a group's terms are computed with the L indices in the lanes
// (one vector per term), transposed so that the terms are in the lanes (one
// vector per index), and added index by index: every lane performs its
// term's scalar running sum exactly. At the end of each segment (pauli.h)
// the lanes' sums are added to the terms' double totals and start again
// from +0. Terms without partner take |psi_i|^2,
// computed once per block, broadcast across the lanes. The sign of lane l at
// index base + k is lo[k][l] (low bits of the index and `negate`) times the
// sign carried in hi[l] (the parity of the block's bits), kept as a sign bit
// that flips when the block index crosses a bit of the term's z_mask.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "sim/kernels/mat2.h"
#include "sim/kernels/pauli.h"

namespace vantrel::sim::kernels {
namespace {

// A lane of a group of terms with partners: where its partner block lies
// relative to the block (the high bits of x_mask) and how to permute it (the
// low bits). Unused lanes of a group read the block itself.
template <class V>
struct PartnerLane {
  std::size_t high_x;
  typename V::SplitPerm perm;
};

// The summands of L terms of one phase kind for the block at `base` (one
// vector per term, the indices in the lanes), transposed (one vector per
// index, the terms in the lanes) and added index by index to acc. Without
// kSigned every summand's sign is +1 (no Z or Y factor in any lane), and
// multiplying by +1 would change no bit.
template <class V, bool kImaginary, bool kSigned>
inline void partner_group(const typename V::Amp* psi, std::size_t base, typename V::Reg ar, typename V::Reg ai,
                          const PartnerLane<V>* lanes, const typename V::Scalar (*lo)[V::kFloats],
                          typename V::Reg hi, typename V::Reg& acc) {
  using F = typename V::Reg;
  constexpr std::size_t L = V::kFloats;
  F v[L];
#pragma GCC unroll 16
  for (std::size_t l = 0; l < L; ++l) {
    F br, bi;
    V::load_split(psi + (base ^ lanes[l].high_x), lanes[l].perm, br, bi);
    v[l] = kImaginary ? V::sub(V::mul(ai, br), V::mul(ar, bi)) : V::add(V::mul(ar, br), V::mul(ai, bi));
  }
  V::transpose(v);
  F s = acc;
#pragma GCC unroll 16
  for (std::size_t k = 0; k < L; ++k) s = V::add(s, kSigned ? V::mul(v[k], V::bit_xor(V::load_aligned(lo[k]), hi)) : v[k]);
  acc = s;
}

// A sweep's terms laid on lanes, with everything the walk over the state
// reads: made once per sweep by prepare_sweep.
template <class V>
struct SweepGroups {
  static constexpr std::size_t L = V::kFloats;
  static constexpr std::size_t kMaxGroups = kSweepTerms / L + 3;
  SweepLayout layout;
  // Groups of lanes: diagonal, real, imaginary, each kind cut into groups of
  // at most L terms; the groups of kind k end at kind_end[k]. Group g holds
  // the terms layout.order[first[g] .. first[g] + width[g]).
  std::size_t groups = 0;
  std::size_t kind_end[3];
  std::size_t first[kMaxGroups], width[kMaxGroups];
  // Terms of a kind (real, imaginary) too few for a group of their own.
  const PauliMasks* few[2][L];
  double* few_out[2][L];
  std::size_t few_count[2] = {0, 0};
  // Signs: lo[g][k][l] is +-1, flip[g][t][l] is -0 where lane l changes sign
  // when the block index goes from b - 1 to b with t trailing zeros; signs[g]
  // is false when no lane of group g ever has a sign.
  alignas(64) typename V::Scalar lo[kMaxGroups][L][L];
  alignas(64) typename V::Scalar flip[kMaxGroups][64][L];
  alignas(64) PartnerLane<V> lanes[kMaxGroups][L];
  bool signs[kMaxGroups];
};

// Lays out `sweep` over a state of n amplitudes; the few terms' sums go to
// their places in `sums`.
template <class V>
void prepare_sweep(SweepGroups<V>& p, std::size_t n, const PauliSweep& sweep, double* sums) {
  using S = typename V::Scalar;
  constexpr std::size_t L = V::kFloats;
  constexpr unsigned kShift = __builtin_ctzll(L);
  p.layout = sweep_layout(sweep);
  const SweepLayout& layout = p.layout;
  const std::size_t ends[3] = {layout.diagonal, layout.diagonal + layout.real, sweep.count};
  for (std::size_t k = 0; k < 3; ++k) {
    for (std::size_t at = k ? ends[k - 1] : 0; at < ends[k]; at += L) {
      const std::size_t w = std::min(L, ends[k] - at);
      if (k && w <= V::kFewTerms) {
        for (std::size_t l = 0; l < w; ++l) {
          p.few[k - 1][p.few_count[k - 1]] = &sweep.terms[layout.order[at + l]];
          p.few_out[k - 1][p.few_count[k - 1]++] = &sums[layout.order[at + l]];
        }
        continue;
      }
      p.first[p.groups] = at;
      p.width[p.groups++] = w;
    }
    p.kind_end[k] = p.groups;
  }

  const unsigned levels = static_cast<unsigned>(__builtin_ctzll(n)) - kShift;
  for (std::size_t g = 0; g < p.groups; ++g) {
    p.signs[g] = false;
    for (std::size_t l = 0; l < L; ++l) {
      const PauliMasks* term = l < p.width[g] ? &sweep.terms[layout.order[p.first[g] + l]] : nullptr;
      p.signs[g] = p.signs[g] || (term && (term->z_mask || term->negate));
      for (std::size_t k = 0; k < L; ++k) {
        const bool neg = term && ((__builtin_parityll(k & term->z_mask) != 0) != term->negate);
        p.lo[g][k][l] = neg ? S(-1) : S(1);
      }
      for (unsigned t = 0; t < levels; ++t) {
        const std::uint64_t changed = ((std::uint64_t{2} << t) - 1) << kShift;
        p.flip[g][t][l] = term && __builtin_parityll(changed & term->z_mask) ? S(-0.0) : S(0);
      }
      const std::uint64_t x = term ? term->x_mask : 0;
      p.lanes[g][l] = {x & ~std::uint64_t{L - 1}, V::split_perm(x & (L - 1))};
    }
  }
}

template <class V>
void sweep_lanes(const typename V::Amp* psi, std::size_t n, const PauliSweep& sweep, double* sums) {
  using F = typename V::Reg;
  using S = typename V::Scalar;
  constexpr std::size_t L = V::kFloats;
  constexpr std::size_t kMaxGroups = SweepGroups<V>::kMaxGroups;

  SweepGroups<V> p;
  prepare_sweep(p, n, sweep, sums);
  for (std::size_t k = 0; k < 2; ++k)
    if (p.few_count[k]) pauli_sums_few(psi, n, p.few[k], p.few_count[k], p.few_out[k]);
  const std::size_t groups = p.groups;
  if (!groups) return;
  const std::size_t kind_end[3] = {p.kind_end[0], p.kind_end[1], p.kind_end[2]};
  const auto& lo = p.lo;
  const auto& flip = p.flip;
  const auto& lanes = p.lanes;
  const auto& signs = p.signs;

  F acc[kMaxGroups], hi[kMaxGroups];
  double totals[kMaxGroups][L] = {};
  alignas(64) S out[L];
  for (std::size_t g = 0; g < groups; ++g) acc[g] = hi[g] = V::zero();
  const typename V::SplitPerm straight = V::split_perm(0);
  alignas(64) S norms[L];
  for (std::size_t base = 0, block = 0; base < n; base += L, ++block) {
    if (block) {
      const unsigned t = static_cast<unsigned>(__builtin_ctzll(block));
      for (std::size_t g = 0; g < groups; ++g) hi[g] = V::bit_xor(hi[g], V::load_aligned(flip[g][t]));
    }
    F ar, ai;
    prefetch_ahead(psi + base);
    V::load_split(psi + base, straight, ar, ai);
    if (kind_end[0]) {
      // Two groups at a time, so that their chains of additions overlap.
      V::store_aligned(norms, V::add(V::mul(ar, ar), V::mul(ai, ai)));
      std::size_t g = 0;
      for (; g + 2 <= kind_end[0]; g += 2) {
        F s0 = acc[g], s1 = acc[g + 1];
#pragma GCC unroll 16
        for (std::size_t k = 0; k < L; ++k) {
          const F norm = V::broadcast(norms + k);
          s0 = V::add(s0, V::mul(norm, V::bit_xor(V::load_aligned(lo[g][k]), hi[g])));
          s1 = V::add(s1, V::mul(norm, V::bit_xor(V::load_aligned(lo[g + 1][k]), hi[g + 1])));
        }
        acc[g] = s0;
        acc[g + 1] = s1;
      }
      if (g < kind_end[0]) {
        F s = acc[g];
#pragma GCC unroll 16
        for (std::size_t k = 0; k < L; ++k)
          s = V::add(s, V::mul(V::broadcast(norms + k), V::bit_xor(V::load_aligned(lo[g][k]), hi[g])));
        acc[g] = s;
      }
    }
    for (std::size_t g = kind_end[0]; g < kind_end[1]; ++g) {
      if (signs[g]) {
        partner_group<V, false, true>(psi, base, ar, ai, lanes[g], lo[g], hi[g], acc[g]);
      } else {
        partner_group<V, false, false>(psi, base, ar, ai, lanes[g], lo[g], hi[g], acc[g]);
      }
    }
    for (std::size_t g = kind_end[1]; g < kind_end[2]; ++g)
      partner_group<V, true, true>(psi, base, ar, ai, lanes[g], lo[g], hi[g], acc[g]);
    if (((base + L) & (kSumSegment - 1)) == 0) {
      for (std::size_t g = 0; g < groups; ++g) {
        V::store_aligned(out, acc[g]);
        acc[g] = V::zero();
        for (std::size_t l = 0; l < p.width[g]; ++l) totals[g][l] = totals[g][l] + static_cast<double>(out[l]);
      }
    }
  }
  for (std::size_t g = 0; g < groups; ++g)
    for (std::size_t l = 0; l < p.width[g]; ++l) sums[p.layout.order[p.first[g] + l]] = totals[g][l];
}

}  // namespace
}  // namespace vantrel::sim::kernels

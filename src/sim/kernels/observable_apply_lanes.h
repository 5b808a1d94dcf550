// One term's addition (observable_apply.h) written once over an
// instruction-set traits type V (lanes.h), instantiated by
// observable_apply.cpp (SSE2), observable_apply_avx2.cpp and
// observable_apply_avx512.cpp. Internal linkage only (isa.h).
//
// A group of eight amplitudes fills kTermGroup / kAmps registers; register r
// holds amplitudes kAmps r .. kAmps (r + 1) - 1 of the group, their partners
// are the kAmps amplitudes from (kAmps r) ^ (x_low & (8 - kAmps)), moved
// within the register by x_low & (kAmps - 1), parts swapped for imaginary
// phases. Each lane performs the plain loop's product and addition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/kernels/observable_apply.h"

namespace vantrel::sim::kernels {
namespace {

template <class V, class Move>
void add_term_groups(typename V::Amp* acc, const typename V::Amp* psi, std::size_t base,
                     std::size_t count, const TermLanesOf<typename V::Scalar>& t, const Move& move) {
  using S = typename V::Scalar;
  constexpr std::size_t kRegs = kTermGroup / V::kAmps;
  std::size_t from[kRegs];
  for (std::size_t r = 0; r < kRegs; ++r) from[r] = (V::kAmps * r) ^ (t.x_low & (kTermGroup - V::kAmps));
  for (std::size_t k = 0; k < count; k += kTermGroup) {
    const std::size_t i = base + k;
    const typename V::Amp* p = psi + (i ^ t.x_high);
    const S* c = t.coef[__builtin_parityll(i & t.z_high)];
    for (std::size_t r = 0; r < kRegs; ++r) {
      const typename V::Reg b = V::partner(move, V::load(reinterpret_cast<const S*>(p + from[r])));
      S* a = reinterpret_cast<S*>(acc + k + V::kAmps * r);
      V::store(a, V::add(V::load(a), V::mul(V::load_aligned(c + V::kFloats * r), b)));
    }
  }
}

template <class V>
void add_term_lanes(typename V::Amp* acc, const typename V::Amp* psi, std::size_t base,
                    std::size_t count, const TermLanesOf<typename V::Scalar>& t) {
  V::with_partner(t.x_low & (V::kAmps - 1), t.swap_parts,
                  [&](const auto& move) { add_term_groups<V>(acc, psi, base, count, t, move); });
}

}  // namespace
}  // namespace vantrel::sim::kernels

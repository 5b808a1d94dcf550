// The diagonal kernels (diagonal.h) written once over an instruction-set
// traits type V (lanes.h), instantiated by diagonal.cpp (SSE2),
// diagonal_avx2.cpp and diagonal_avx512.cpp for both precisions. Internal
// linkage only (isa.h). Windows smaller than a register take the scalar
// loops.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/kernels/diagonal.h"
#include "sim/kernels/lanes.h"

namespace vantrel::sim::kernels {
namespace {

// Each lane computes the lane form of cmul(f, a) (lanes.h), then + 0.
template <class V>
void scale_windows_of(typename V::Amp* amps, unsigned window_bits,
                      const WindowCoefficientsOf<typename V::Scalar>* const* tables, std::size_t windows) {
  using S = typename V::Scalar;
  using Reg = typename V::Reg;
  if (window_bits < V::kShift) {
    scale_windows_scalar(amps, window_bits, tables, windows);
    return;
  }
  const std::size_t floats = std::size_t{2} << window_bits;
  const Reg zero = V::zero();
  S* f = reinterpret_cast<S*>(amps);
  for (std::size_t w = 0; w < windows; ++w, f += floats) {
    const WindowCoefficientsOf<S>& t = *tables[w];
    for (std::size_t i = 0; i < floats; i += V::kFloats) {
      const Reg x = V::load(f + i);
      const Reg y = V::add(V::mul(V::load_aligned(t.re + i), x), V::mul(V::load_aligned(t.im + i), V::swap_parts(x)));
      V::store(f + i, V::add(y, zero));
    }
  }
}

// The sign bits of the flipped amplitudes toggled, then + 0 on every lane.
template <class V>
void apply_flips_of(typename V::Amp* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows) {
  using S = typename V::Scalar;
  using Reg = typename V::Reg;
  if (window_bits < V::kShift) {
    apply_flips_scalar(amps, window_bits, flips, windows);
    return;
  }
  const std::size_t size = std::size_t{1} << window_bits;
  constexpr std::uint64_t kLanes = (std::uint64_t{1} << V::kAmps) - 1;
  const Reg zero = V::zero();
  S* f = reinterpret_cast<S*>(amps);
  for (std::size_t w = 0; w < windows; ++w) {
    const std::uint64_t pat = flips[w];
    for (std::size_t j = 0; j < size; j += V::kAmps, f += V::kFloats) {
      const Reg x = V::load(f);
      V::store(f, V::add(V::flip(V::amp_mask(static_cast<unsigned>((pat >> j) & kLanes)), x), zero));
    }
  }
}

}  // namespace
}  // namespace vantrel::sim::kernels

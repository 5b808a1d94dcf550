// The vector parts of the general kernel (matrix.h) written once over an
// instruction-set traits type V (lanes.h): the row sums of the gathering
// path and the direct two- and three-qubit kernels, instantiated by
// matrix.cpp (SSE2), matrix_avx2.cpp and matrix_avx512.cpp for both
// precisions. Internal linkage only (isa.h).
//
// Lanes of a register are independent groups: each performs the scalar
// sum of its own group exactly, with the lane arithmetic of lanes.h (coef,
// cmul).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/kernels/lanes.h"
#include "sim/kernels/matrix.h"

namespace vantrel::sim::kernels {
namespace {

// Four registers of groups at a time, then one, then the scalar sums.
template <class V>
void row_sums_of(const typename V::Amp* vals, const std::uint32_t* cols, std::size_t count,
                 const typename V::Amp* scratch, std::size_t width, std::size_t c, typename V::Amp* out) {
  using S = typename V::Scalar;
  using Reg = typename V::Reg;
  constexpr std::size_t A = V::kAmps, F = V::kFloats;
  std::size_t i = 0;
  for (; i + 4 * A <= c; i += 4 * A) {
    Reg s0 = V::zero(), s1 = s0, s2 = s0, s3 = s0;
    for (std::size_t e = 0; e < count; ++e) {
      const typename V::Coef k = coef<V>(vals[e]);
      const S* in = reinterpret_cast<const S*>(scratch + cols[e] * width + i);
      s0 = V::add(s0, V::cmul(k, V::load(in)));
      s1 = V::add(s1, V::cmul(k, V::load(in + F)));
      s2 = V::add(s2, V::cmul(k, V::load(in + 2 * F)));
      s3 = V::add(s3, V::cmul(k, V::load(in + 3 * F)));
    }
    S* a = reinterpret_cast<S*>(out + i);
    V::store(a, s0);
    V::store(a + F, s1);
    V::store(a + 2 * F, s2);
    V::store(a + 3 * F, s3);
  }
  for (; i + A <= c; i += A) {
    Reg s0 = V::zero();
    for (std::size_t e = 0; e < count; ++e)
      s0 = V::add(s0, V::cmul(coef<V>(vals[e]), V::load(reinterpret_cast<const S*>(scratch + cols[e] * width + i))));
    V::store(reinterpret_cast<S*>(out + i), s0);
  }
  row_sums_scalar(vals, cols, count, scratch, width, i, c, out);
}

enum class DirectMode { kDense, kPermute, kProgram };

// The rows on x[j] (local index j of kAmps groups, one per amplitude lane).
template <class V, std::size_t D, DirectMode kMode>
inline void direct_rows(const DirectPlanOf<typename V::Scalar, D>& plan, const typename V::Reg x[D],
                        typename V::Reg out[D]) {
  using Reg = typename V::Reg;
  Reg sw[D];
  if constexpr (kMode != DirectMode::kPermute)
    for (std::size_t j = 0; j < D; ++j) sw[j] = V::swap_parts(x[j]);
  for (std::size_t r = 0; r < D; ++r) {
    Reg sum = V::zero();
    if constexpr (kMode == DirectMode::kDense) {
      for (std::size_t j = 0; j < D; ++j) {
        const Reg prod = V::add(V::mul(V::load_aligned(plan.re[r][j]), x[j]), V::mul(V::load_aligned(plan.im[r][j]), sw[j]));
        sum = V::add(sum, prod);
      }
    } else if constexpr (kMode == DirectMode::kPermute) {
      sum = V::add(sum, x[plan.cols[r][0]]);
    } else {
      for (int e = 0; e < plan.count[r]; ++e) {
        const int c = plan.cols[r][e];
        switch (plan.kinds[r][e]) {
          case kGeneral:
            sum = V::add(sum, V::add(V::mul(V::load_aligned(plan.re[r][e]), x[c]),
                                     V::mul(V::load_aligned(plan.im[r][e]), sw[c])));
            break;
          case kReal:
            sum = V::add(sum, V::mul(V::load_aligned(plan.re[r][e]), x[c]));
            break;
          case kImag:
            sum = V::add(sum, V::mul(V::load_aligned(plan.im[r][e]), sw[c]));
            break;
          case kOne:
            sum = V::add(sum, x[c]);
            break;
          default:
            sum = V::sub(sum, x[c]);
            break;
        }
      }
    }
    out[r] = sum;
  }
}

// kAmps consecutive groups from base b (targets and fixed qubits at qubit
// kShift or above).
template <class V, std::size_t D, DirectMode kMode>
inline void direct_high(typename V::Amp* amps, const DirectPlanOf<typename V::Scalar, D>& plan, std::size_t b) {
  using S = typename V::Scalar;
  typename V::Reg x[D], y[D];
  for (std::size_t j = 0; j < D; ++j) {
    prefetch_ahead(amps + b + plan.offsets[j]);
    x[j] = V::load(reinterpret_cast<const S*>(amps + b + plan.offsets[j]));
  }
  direct_rows<V, D, kMode>(plan, x, y);
  for (std::size_t r = 0; r < D; ++r) V::store(reinterpret_cast<S*>(amps + b + plan.offsets[r]), y[r]);
}

template <class V, std::size_t D, DirectMode kMode>
void direct_runs(typename V::Amp* amps, const DirectPlanOf<typename V::Scalar, D>& plan, std::size_t lo,
                 std::size_t hi) {
  auto next = [&](std::size_t base) { return (((base | plan.skip) + 1) & ~plan.skip) | plan.fixed; };
  std::size_t base = deposit(lo, plan.skip) | plan.fixed;
  const std::size_t run = std::size_t{1} << plan.low_bit;
  for (std::size_t g = lo; g < hi;) {
    const std::size_t len = lesser(run - (g & (run - 1)), hi - g);
    std::size_t i = 0;
    for (; i + V::kAmps <= len; i += V::kAmps) direct_high<V, D, kMode>(amps, plan, base + i);
    for (; i < len; ++i) direct_group_scalar(amps, plan, base + i);
    g += len;
    base = next(base + len - 1);
  }
}

// Groups [lo, hi) of a plan whose targets and fixed qubits are all at qubit
// kShift or above, so that runs of consecutive groups fill registers.
template <class V, std::size_t D>
void direct_groups_of(typename V::Amp* amps, const DirectPlanOf<typename V::Scalar, D>& plan, std::size_t lo,
                      std::size_t hi) {
  if (plan.dense) {
    direct_runs<V, D, DirectMode::kDense>(amps, plan, lo, hi);
  } else if (plan.permutation) {
    direct_runs<V, D, DirectMode::kPermute>(amps, plan, lo, hi);
  } else {
    direct_runs<V, D, DirectMode::kProgram>(amps, plan, lo, hi);
  }
}

}  // namespace
}  // namespace vantrel::sim::kernels

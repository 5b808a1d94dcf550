// AVX-512 kernels of the general kernel: row sums of the gathering path and
// the direct two- and three-qubit kernels, eight groups per vector, with the
// lane arithmetic of mat2.cpp. Built with the AVX-512 flags only (never FMA,
// and the build forbids contraction); called only when the processor and
// the system support AVX-512.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "sim/kernels/lanes_avx512.h"
#include "sim/kernels/matrix.h"

namespace vantrel::sim::kernels {
namespace {

using V = Avx512<float>;

inline __m512 cmul_lanes(__m512 re, __m512 im, __m512 x) { return V::cmul({re, im}, x); }

// (-im, im) repeated: a 64-bit broadcast of the first two floats of p (the
// lane coefficients a plan prepared, long since stored).
inline __m512 pair_pattern(const float* p) {
  double d;
  std::memcpy(&d, p, sizeof d);
  return _mm512_castpd_ps(_mm512_set1_pd(d));
}

}  // namespace

void row_sums_avx512(const Complex* vals, const std::uint32_t* cols, std::size_t count,
                     const Complex* scratch, std::size_t width, std::size_t c, Complex* out) {
  std::size_t i = 0;
  for (; i + 32 <= c; i += 32) {
    __m512 s0 = _mm512_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
    for (std::size_t e = 0; e < count; ++e) {
      const Complex v = vals[e];
      const float* in = reinterpret_cast<const float*>(scratch + cols[e] * width + i);
      const __m512 re = _mm512_set1_ps(v.re), im = _mm512_setr4_ps(-v.im, v.im, -v.im, v.im);
      s0 = _mm512_add_ps(s0, cmul_lanes(re, im, _mm512_loadu_ps(in)));
      s1 = _mm512_add_ps(s1, cmul_lanes(re, im, _mm512_loadu_ps(in + 16)));
      s2 = _mm512_add_ps(s2, cmul_lanes(re, im, _mm512_loadu_ps(in + 32)));
      s3 = _mm512_add_ps(s3, cmul_lanes(re, im, _mm512_loadu_ps(in + 48)));
    }
    float* a = reinterpret_cast<float*>(out + i);
    _mm512_storeu_ps(a, s0);
    _mm512_storeu_ps(a + 16, s1);
    _mm512_storeu_ps(a + 32, s2);
    _mm512_storeu_ps(a + 48, s3);
  }
  for (; i + 8 <= c; i += 8) {
    __m512 s0 = _mm512_setzero_ps();
    for (std::size_t e = 0; e < count; ++e) {
      const Complex v = vals[e];
      const float* in = reinterpret_cast<const float*>(scratch + cols[e] * width + i);
      s0 = _mm512_add_ps(s0, cmul_lanes(_mm512_set1_ps(v.re), _mm512_setr4_ps(-v.im, v.im, -v.im, v.im),
                                        _mm512_loadu_ps(in)));
    }
    _mm512_storeu_ps(reinterpret_cast<float*>(out + i), s0);
  }
  // Fewer than eight lanes left: the AVX2 loop, then the scalar one.
  if (i < c) row_sums_avx2(vals, cols, count, scratch + i, width, c - i, out + i);
}

namespace {

enum class Mode { kDense, kPermute, kProgram };

// The rows on x[j] (local index j of eight groups, one per complex lane).
template <std::size_t D, Mode kMode>
inline void direct_rows(const DirectPlan<D>& plan, const __m512 x[D], __m512 out[D]) {
  __m512 sw[D];
  if constexpr (kMode != Mode::kPermute)
    for (std::size_t j = 0; j < D; ++j) sw[j] = V::swap_parts(x[j]);
  for (std::size_t r = 0; r < D; ++r) {
    __m512 sum = _mm512_setzero_ps();
    if constexpr (kMode == Mode::kDense) {
      for (std::size_t j = 0; j < D; ++j) {
        const __m512 prod = _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(plan.re[r][j][0]), x[j]),
                                          _mm512_mul_ps(pair_pattern(plan.im[r][j]), sw[j]));
        sum = _mm512_add_ps(sum, prod);
      }
    } else if constexpr (kMode == Mode::kPermute) {
      sum = _mm512_add_ps(sum, x[plan.cols[r][0]]);
    } else {
      for (int e = 0; e < plan.count[r]; ++e) {
        const int c = plan.cols[r][e];
        switch (plan.kinds[r][e]) {
          case kGeneral:
            sum = _mm512_add_ps(sum, _mm512_add_ps(_mm512_mul_ps(_mm512_set1_ps(plan.re[r][e][0]), x[c]),
                                                   _mm512_mul_ps(pair_pattern(plan.im[r][e]), sw[c])));
            break;
          case kReal:
            sum = _mm512_add_ps(sum, _mm512_mul_ps(_mm512_set1_ps(plan.re[r][e][0]), x[c]));
            break;
          case kImag:
            sum = _mm512_add_ps(sum, _mm512_mul_ps(pair_pattern(plan.im[r][e]), sw[c]));
            break;
          case kOne:
            sum = _mm512_add_ps(sum, x[c]);
            break;
          default:
            sum = _mm512_sub_ps(sum, x[c]);
            break;
        }
      }
    }
    out[r] = sum;
  }
}

// Targets and fixed qubits at qubit 3 or above: eight consecutive groups
// from base b.
template <std::size_t D, Mode kMode>
inline void direct_high(Complex* amps, const DirectPlan<D>& plan, std::size_t b) {
  __m512 x[D], y[D];
  for (std::size_t j = 0; j < D; ++j) {
    prefetch_ahead(amps + b + plan.offsets[j]);
    x[j] = _mm512_loadu_ps(reinterpret_cast<const float*>(amps + b + plan.offsets[j]));
  }
  direct_rows<D, kMode>(plan, x, y);
  for (std::size_t r = 0; r < D; ++r) _mm512_storeu_ps(reinterpret_cast<float*>(amps + b + plan.offsets[r]), y[r]);
}

template <std::size_t D, Mode kMode>
void direct_groups(Complex* amps, const DirectPlan<D>& plan, std::size_t lo, std::size_t hi) {
  auto next = [&](std::size_t base) { return (((base | plan.skip) + 1) & ~plan.skip) | plan.fixed; };
  std::size_t base = deposit(lo, plan.skip) | plan.fixed;
  const std::size_t run = std::size_t{1} << plan.low_bit;
  for (std::size_t g = lo; g < hi;) {
    const std::size_t len = std::min(run - (g & (run - 1)), hi - g);
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) direct_high<D, kMode>(amps, plan, base + i);
    for (; i < len; ++i) direct_group_scalar(amps, plan, base + i);
    g += len;
    base = next(base + len - 1);
  }
}

}  // namespace

// Targets or fixed qubits below qubit 3 break the runs of consecutive groups
// into runs of fewer than eight; those layouts use the AVX2 kernel (runs of
// four, or qubits 0 and 1 regrouped in registers).
template <std::size_t D>
void direct_groups_avx512(Complex* amps, const DirectPlan<D>& plan, std::size_t lo, std::size_t hi) {
  if (plan.low_bit < 3) {
    direct_groups_avx2(amps, plan, lo, hi);
  } else if (plan.dense) {
    direct_groups<D, Mode::kDense>(amps, plan, lo, hi);
  } else if (plan.permutation) {
    direct_groups<D, Mode::kPermute>(amps, plan, lo, hi);
  } else {
    direct_groups<D, Mode::kProgram>(amps, plan, lo, hi);
  }
}

template void direct_groups_avx512<4>(Complex*, const Direct4&, std::size_t, std::size_t);
template void direct_groups_avx512<8>(Complex*, const Direct8&, std::size_t, std::size_t);

}  // namespace vantrel::sim::kernels

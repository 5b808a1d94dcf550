// AVX2 row sums of the general kernel: four groups per vector, the lane
// arithmetic of mat2.cpp. Built with -mavx2 only (no FMA); called only when
// the processor has AVX2.
#include <immintrin.h>

#include <algorithm>

#include "sim/kernels/lanes_avx2.h"
#include "sim/kernels/matrix.h"

namespace vantrel::sim::kernels {
namespace {

using V = Avx2<float>;

inline __m256 cmul_lanes(__m256 re, __m256 im, __m256 x) { return V::cmul({re, im}, x); }

inline __m256 coef_re(Complex a, Complex b) {
  return _mm256_setr_ps(a.re, a.re, b.re, b.re, a.re, a.re, b.re, b.re);
}
inline __m256 coef_im(Complex a, Complex b) {
  return _mm256_setr_ps(-a.im, a.im, -b.im, b.im, -a.im, a.im, -b.im, b.im);
}

// Without kMasked every pair is updated (low == 0). Vectors hold two pairs
// (qubits 0 and 1) or four (runs of a0 and of a1); `lanes` gives each
// float's pair relative to the vector's first.
template <bool kMasked>
void controlled_pairs_impl(Complex* amps, unsigned t, const Complex m[4], std::uint32_t low,
                           std::size_t lo, std::size_t hi) {
  // Pairs on get y + 0, the others x + 0: the sum is blended first, then
  // normalised once.
  const __m256 zero = _mm256_setzero_ps();
  const __m256i lowv = _mm256_set1_epi32(static_cast<int>(low));
  auto blend = [&](__m256 y, __m256 x, __m256i idx) {
    if constexpr (kMasked) {
      const __m256i on = _mm256_cmpeq_epi32(_mm256_and_si256(idx, lowv), lowv);
      y = _mm256_blendv_ps(x, y, _mm256_castsi256_ps(on));
    }
    return _mm256_add_ps(y, zero);
  };
  if (t <= 1) {
    // Qubit 0: (a0 a1 | a0' a1'); qubit 1: (a0 a0' | a1 a1'). The a1 slots
    // sum (m11 a1) + (m10 a0), the reference's products in swapped order,
    // which IEEE addition leaves bit for bit the same.
    const __m256 dre = t == 0 ? coef_re(m[0], m[3]) : _mm256_setr_ps(m[0].re, m[0].re, m[0].re, m[0].re,
                                                                       m[3].re, m[3].re, m[3].re, m[3].re);
    const __m256 dim = t == 0 ? coef_im(m[0], m[3]) : _mm256_setr_ps(-m[0].im, m[0].im, -m[0].im, m[0].im,
                                                                       -m[3].im, m[3].im, -m[3].im, m[3].im);
    const __m256 ore = t == 0 ? coef_re(m[1], m[2]) : _mm256_setr_ps(m[1].re, m[1].re, m[1].re, m[1].re,
                                                                       m[2].re, m[2].re, m[2].re, m[2].re);
    const __m256 oim = t == 0 ? coef_im(m[1], m[2]) : _mm256_setr_ps(-m[1].im, m[1].im, -m[1].im, m[1].im,
                                                                       -m[2].im, m[2].im, -m[2].im, m[2].im);
    const __m256i lanes = t == 0 ? _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1)
                                 : _mm256_setr_epi32(0, 0, 1, 1, 0, 0, 1, 1);
    std::size_t p = lo;
    if (t == 1 && p < hi && (p & 1)) {
      controlled_pairs_scalar(amps, t, m, low, p, p + 1);
      ++p;
    }
    __m256i idx = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(p)), lanes);
    const __m256i two = _mm256_set1_epi32(2);
    for (; p + 2 <= hi; p += 2, idx = _mm256_add_epi32(idx, two)) {
      prefetch_ahead(amps + 2 * p);
      // Pairs p and p + 1 (p even for qubit 1) start at amplitude 2p.
      float* f = reinterpret_cast<float*>(amps + 2 * p);
      const __m256 x = _mm256_loadu_ps(f);
      const __m256 sw = t == 0 ? _mm256_permute_ps(x, _MM_SHUFFLE(1, 0, 3, 2))
                               : _mm256_permute2f128_ps(x, x, 0x01);
      const __m256 y = _mm256_add_ps(cmul_lanes(dre, dim, x), cmul_lanes(ore, oim, sw));
      _mm256_storeu_ps(f, blend(y, x, idx));
    }
    if (p < hi) controlled_pairs_scalar(amps, t, m, low, p, hi);
    return;
  }
  const __m256 re0 = coef_re(m[0], m[0]), im0 = coef_im(m[0], m[0]);
  const __m256 re1 = coef_re(m[1], m[1]), im1 = coef_im(m[1], m[1]);
  const __m256 re2 = coef_re(m[2], m[2]), im2 = coef_im(m[2], m[2]);
  const __m256 re3 = coef_re(m[3], m[3]), im3 = coef_im(m[3], m[3]);
  const __m256i lanes = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
  const std::size_t s = std::size_t{1} << t;
  for (std::size_t p = lo; p < hi;) {
    const std::size_t i = p & (s - 1);
    const std::size_t len = std::min(s - i, hi - p);
    Complex* a0 = amps + ((p >> t) << (t + 1)) + i;
    std::size_t j = 0;
    __m256i idx = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(p)), lanes);
    const __m256i four = _mm256_set1_epi32(4);
    for (; j + 4 <= len; j += 4, idx = _mm256_add_epi32(idx, four)) {
      prefetch_ahead(a0 + j);
      prefetch_ahead(a0 + s + j);
      float* f0 = reinterpret_cast<float*>(a0 + j);
      float* f1 = reinterpret_cast<float*>(a0 + s + j);
      const __m256 x0 = _mm256_loadu_ps(f0), x1 = _mm256_loadu_ps(f1);
      const __m256 y0 = _mm256_add_ps(cmul_lanes(re0, im0, x0), cmul_lanes(re1, im1, x1));
      const __m256 y1 = _mm256_add_ps(cmul_lanes(re2, im2, x0), cmul_lanes(re3, im3, x1));
      _mm256_storeu_ps(f0, blend(y0, x0, idx));
      _mm256_storeu_ps(f1, blend(y1, x1, idx));
    }
    if (j < len) controlled_pairs_scalar(amps, t, m, low, p + j, p + len);
    p += len;
  }
}

}  // namespace

void controlled_pairs_avx2(Complex* amps, unsigned t, const Complex m[4], std::uint32_t low,
                           std::size_t lo, std::size_t hi) {
  if (low == 0) {
    controlled_pairs_impl<false>(amps, t, m, low, lo, hi);
  } else {
    controlled_pairs_impl<true>(amps, t, m, low, lo, hi);
  }
}

void row_sums_avx2(const Complex* vals, const std::uint32_t* cols, std::size_t count,
                   const Complex* scratch, std::size_t width, std::size_t c, Complex* out) {
  std::size_t i = 0;
  for (; i + 16 <= c; i += 16) {
    __m256 s0 = _mm256_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
    for (std::size_t e = 0; e < count; ++e) {
      const Complex v = vals[e];
      const float* in = reinterpret_cast<const float*>(scratch + cols[e] * width + i);
      const __m256 re = _mm256_set1_ps(v.re);
      const __m256 im = _mm256_setr_ps(-v.im, v.im, -v.im, v.im, -v.im, v.im, -v.im, v.im);
      s0 = _mm256_add_ps(s0, cmul_lanes(re, im, _mm256_loadu_ps(in)));
      s1 = _mm256_add_ps(s1, cmul_lanes(re, im, _mm256_loadu_ps(in + 8)));
      s2 = _mm256_add_ps(s2, cmul_lanes(re, im, _mm256_loadu_ps(in + 16)));
      s3 = _mm256_add_ps(s3, cmul_lanes(re, im, _mm256_loadu_ps(in + 24)));
    }
    float* a = reinterpret_cast<float*>(out + i);
    _mm256_storeu_ps(a, s0);
    _mm256_storeu_ps(a + 8, s1);
    _mm256_storeu_ps(a + 16, s2);
    _mm256_storeu_ps(a + 24, s3);
  }
  for (; i + 4 <= c; i += 4) {
    __m256 s0 = _mm256_setzero_ps();
    for (std::size_t e = 0; e < count; ++e) {
      const Complex v = vals[e];
      const float* in = reinterpret_cast<const float*>(scratch + cols[e] * width + i);
      const __m256 re = _mm256_set1_ps(v.re);
      const __m256 im = _mm256_setr_ps(-v.im, v.im, -v.im, v.im, -v.im, v.im, -v.im, v.im);
      s0 = _mm256_add_ps(s0, cmul_lanes(re, im, _mm256_loadu_ps(in)));
    }
    _mm256_storeu_ps(reinterpret_cast<float*>(out + i), s0);
  }
  row_sums_scalar(vals, cols, count, scratch, width, i, c, out);
}

}  // namespace vantrel::sim::kernels

namespace vantrel::sim::kernels {
namespace {

enum class Mode { kDense, kPermute, kProgram };

// The rows on x[j] (local index j of four groups, one per complex lane).
template <std::size_t D, Mode kMode>
inline void direct_rows(const DirectPlan<D>& plan, const __m256 x[D], __m256 out[D]) {
  __m256 sw[D];
  if constexpr (kMode != Mode::kPermute)
    for (std::size_t j = 0; j < D; ++j) sw[j] = V::swap_parts(x[j]);
  for (std::size_t r = 0; r < D; ++r) {
    __m256 sum = _mm256_setzero_ps();
    if constexpr (kMode == Mode::kDense) {
      for (std::size_t j = 0; j < D; ++j) {
        const __m256 prod = _mm256_add_ps(_mm256_mul_ps(_mm256_load_ps(plan.re[r][j]), x[j]),
                                          _mm256_mul_ps(_mm256_load_ps(plan.im[r][j]), sw[j]));
        sum = _mm256_add_ps(sum, prod);
      }
    } else if constexpr (kMode == Mode::kPermute) {
      sum = _mm256_add_ps(sum, x[plan.cols[r][0]]);
    } else {
      for (int e = 0; e < plan.count[r]; ++e) {
        const int c = plan.cols[r][e];
        switch (plan.kinds[r][e]) {
          case kGeneral:
            sum = _mm256_add_ps(sum, _mm256_add_ps(_mm256_mul_ps(_mm256_load_ps(plan.re[r][e]), x[c]),
                                                   _mm256_mul_ps(_mm256_load_ps(plan.im[r][e]), sw[c])));
            break;
          case kReal:
            sum = _mm256_add_ps(sum, _mm256_mul_ps(_mm256_load_ps(plan.re[r][e]), x[c]));
            break;
          case kImag:
            sum = _mm256_add_ps(sum, _mm256_mul_ps(_mm256_load_ps(plan.im[r][e]), sw[c]));
            break;
          case kOne:
            sum = _mm256_add_ps(sum, x[c]);
            break;
          default:
            sum = _mm256_sub_ps(sum, x[c]);
            break;
        }
      }
    }
    out[r] = sum;
  }
}

inline __m256 load(const Complex* a) { return _mm256_loadu_ps(reinterpret_cast<const float*>(a)); }
inline void store(Complex* a, __m256 v) { _mm256_storeu_ps(reinterpret_cast<float*>(a), v); }
inline __m256 unpacklo(__m256 a, __m256 b) {
  return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}
inline __m256 unpackhi(__m256 a, __m256 b) {
  return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}

// Targets at qubit 2 or above: four consecutive groups from base b.
template <std::size_t D, Mode kMode>
inline void direct_high(Complex* amps, const DirectPlan<D>& plan, std::size_t b) {
  __m256 x[D], y[D];
  for (std::size_t j = 0; j < D; ++j) {
    prefetch_ahead(amps + b + plan.offsets[j]);
    x[j] = load(amps + b + plan.offsets[j]);
  }
  direct_rows<D, kMode>(plan, x, y);
  for (std::size_t r = 0; r < D; ++r) store(amps + b + plan.offsets[r], y[r]);
}

// Where each local index lies when qubit 0 or 1 (or both) is a target:
// local indices come in sets sharing the offset `head` of the other
// targets; within a set, `slot` tells the low targets' part of the offset
// (0..3 when both are targets, else 0 or 1 for the one low target clear or
// set).
template <std::size_t D>
struct LowMap {
  unsigned low = 0;  // target bits among qubits 0 and 1
  std::size_t heads = 0;
  std::size_t head[D] = {};
  std::uint8_t index[D][4] = {};  // local index of (head, slot)

  explicit LowMap(const DirectPlan<D>& plan) : low(static_cast<unsigned>(plan.mask & 3)) {
    for (std::size_t j = 0; j < D; ++j) {
      const std::size_t part = plan.offsets[j] & 3, h = plan.offsets[j] - part;
      std::size_t at = 0;
      while (at < heads && head[at] != h) ++at;
      if (at == heads) head[heads++] = h;
      index[at][low == 3 ? part : (part ? 1 : 0)] = static_cast<std::uint8_t>(j);
    }
  }
};

// Four groups whose bases are b[0..3], with qubit 0 or 1 (or both) among
// the targets. Vectors of four adjacent amplitudes are regrouped so that
// each complex lane holds one group; the result is regrouped back. With
// both low qubits as targets a vector holds one group (a 4x4 transpose of
// lanes); with one, groups pair up in a vector (b[0], b[1] from b[0]; b[2],
// b[3] from b[2]).
template <std::size_t D, Mode kMode>
inline void direct_low(Complex* amps, const DirectPlan<D>& plan, const LowMap<D>& map,
                       const std::size_t b[4]) {
  __m256 x[D], y[D];
  for (std::size_t h = 0; h < map.heads; ++h) {
    Complex* at = amps + map.head[h];
    prefetch_ahead(at + b[0]);
    if (map.low == 3) {
      const __m256 v0 = load(at + b[0]), v1 = load(at + b[1]), v2 = load(at + b[2]), v3 = load(at + b[3]);
      const __m256 t0 = unpacklo(v0, v1), t1 = unpackhi(v0, v1), t2 = unpacklo(v2, v3),
                   t3 = unpackhi(v2, v3);
      x[map.index[h][0]] = _mm256_permute2f128_ps(t0, t2, 0x20);
      x[map.index[h][1]] = _mm256_permute2f128_ps(t1, t3, 0x20);
      x[map.index[h][2]] = _mm256_permute2f128_ps(t0, t2, 0x31);
      x[map.index[h][3]] = _mm256_permute2f128_ps(t1, t3, 0x31);
    } else {
      const __m256 a = load(at + b[0]), c = load(at + b[2]);
      if (map.low == 1) {  // (g0: q0=0, q0=1 | g1: q0=0, q0=1)
        x[map.index[h][0]] = unpacklo(a, c);
        x[map.index[h][1]] = unpackhi(a, c);
      } else {  // (g0, g1: q1=0 | g0, g1: q1=1)
        x[map.index[h][0]] = _mm256_permute2f128_ps(a, c, 0x20);
        x[map.index[h][1]] = _mm256_permute2f128_ps(a, c, 0x31);
      }
    }
  }
  direct_rows<D, kMode>(plan, x, y);
  for (std::size_t h = 0; h < map.heads; ++h) {
    Complex* at = amps + map.head[h];
    if (map.low == 3) {
      const __m256 o0 = y[map.index[h][0]], o1 = y[map.index[h][1]], o2 = y[map.index[h][2]],
                   o3 = y[map.index[h][3]];
      const __m256 u0 = unpacklo(o0, o1), u1 = unpackhi(o0, o1), u2 = unpacklo(o2, o3), u3 = unpackhi(o2, o3);
      store(at + b[0], _mm256_permute2f128_ps(u0, u2, 0x20));
      store(at + b[1], _mm256_permute2f128_ps(u1, u3, 0x20));
      store(at + b[2], _mm256_permute2f128_ps(u0, u2, 0x31));
      store(at + b[3], _mm256_permute2f128_ps(u1, u3, 0x31));
    } else {
      const __m256 l0 = y[map.index[h][0]], l1 = y[map.index[h][1]];
      if (map.low == 1) {
        store(at + b[0], unpacklo(l0, l1));
        store(at + b[2], unpackhi(l0, l1));
      } else {
        store(at + b[0], _mm256_permute2f128_ps(l0, l1, 0x20));
        store(at + b[2], _mm256_permute2f128_ps(l0, l1, 0x31));
      }
    }
  }
}

// Qubit 0 or 1 among the targets: groups four at a time from an aligned
// group index, the others one by one. `base` is the base of lo.
template <std::size_t D, Mode kMode>
void direct_groups_low(Complex* amps, const DirectPlan<D>& plan, std::size_t lo, std::size_t hi,
                       std::size_t base) {
  const LowMap<D> map(plan);
  auto next = [&](std::size_t b) { return (((b | plan.skip) + 1) & ~plan.skip) | plan.fixed; };
  std::size_t g = lo;
  for (; g < hi && (g & 3); ++g, base = next(base)) direct_group_scalar(amps, plan, base);
  for (; g + 4 <= hi; g += 4) {
    std::size_t b[4];
    b[0] = base;
    for (int i = 1; i < 4; ++i) b[i] = next(b[i - 1]);
    direct_low<D, kMode>(amps, plan, map, b);
    base = next(b[3]);
  }
  for (; g < hi; ++g, base = next(base)) direct_group_scalar(amps, plan, base);
}

template <std::size_t D, Mode kMode>
void direct_groups(Complex* amps, const DirectPlan<D>& plan, std::size_t lo, std::size_t hi) {
  auto next = [&](std::size_t base) { return (((base | plan.skip) + 1) & ~plan.skip) | plan.fixed; };
  std::size_t base = deposit(lo, plan.skip) | plan.fixed;
  if (plan.low_bit < 2) {
    direct_groups_low<D, kMode>(amps, plan, lo, hi, base);
    return;
  }
  const std::size_t run = std::size_t{1} << plan.low_bit;
  for (std::size_t g = lo; g < hi;) {
    const std::size_t len = std::min(run - (g & (run - 1)), hi - g);
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) direct_high<D, kMode>(amps, plan, base + i);
    for (; i < len; ++i) direct_group_scalar(amps, plan, base + i);
    g += len;
    base = next(base + len - 1);
  }
}

}  // namespace

template <std::size_t D>
void direct_groups_avx2(Complex* amps, const DirectPlan<D>& plan, std::size_t lo, std::size_t hi) {
  if (plan.dense) {
    direct_groups<D, Mode::kDense>(amps, plan, lo, hi);
  } else if (plan.permutation) {
    direct_groups<D, Mode::kPermute>(amps, plan, lo, hi);
  } else {
    direct_groups<D, Mode::kProgram>(amps, plan, lo, hi);
  }
}

template void direct_groups_avx2<4>(Complex*, const Direct4&, std::size_t, std::size_t);
template void direct_groups_avx2<8>(Complex*, const Direct8&, std::size_t, std::size_t);

}  // namespace vantrel::sim::kernels

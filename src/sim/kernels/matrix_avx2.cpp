// AVX2 row sums of the general kernel: four groups per vector, the lane
// arithmetic of mat2.cpp. Built with -mavx2 only (no FMA); called only when
// the processor has AVX2.
#include <immintrin.h>

#include <algorithm>

#include "sim/kernels/matrix.h"

namespace vantrel::sim::kernels {
namespace {

inline __m256 cmul_lanes(__m256 re, __m256 im, __m256 x) {
  const __m256 swapped = _mm256_permute_ps(x, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm256_add_ps(_mm256_mul_ps(re, x), _mm256_mul_ps(im, swapped));
}

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
    if (t == 1 && p < hi && (p & 1)) controlled_pairs_scalar(amps, t, m, low, p, p + 1), ++p;
    __m256i idx = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(p)), lanes);
    const __m256i two = _mm256_set1_epi32(2);
    for (; p + 2 <= hi; p += 2, idx = _mm256_add_epi32(idx, two)) {
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

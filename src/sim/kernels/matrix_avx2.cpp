// AVX2 row sums of the general kernel: four groups per vector, the lane
// arithmetic of mat2.cpp. Built with -mavx2 only (no FMA); called only when
// the processor has AVX2.
#include <immintrin.h>

#include "sim/kernels/matrix.h"

namespace vantrel::sim::kernels {
namespace {

inline __m256 cmul_lanes(__m256 re, __m256 im, __m256 x) {
  const __m256 swapped = _mm256_permute_ps(x, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm256_add_ps(_mm256_mul_ps(re, x), _mm256_mul_ps(im, swapped));
}

}  // namespace

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

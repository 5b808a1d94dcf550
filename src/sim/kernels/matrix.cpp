#include "sim/kernels/matrix.h"

#include <emmintrin.h>

#include <cstring>
#include <new>

namespace vantrel::sim::kernels {

namespace {

// Lane arithmetic of complex products as in the one-qubit kernel (see
// mat2.cpp): identical to cmul and cadd of complex.h, lane by lane.
inline __m128 cmul_lanes(__m128 re, __m128 im, __m128 x) {
  const __m128 swapped = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_add_ps(_mm_mul_ps(re, x), _mm_mul_ps(im, swapped));
}

// Short copies inline: segments are often a single amplitude.
inline void copy_amps(Complex* dst, const Complex* src, std::size_t n) {
  if (n <= 4) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  } else {
    std::memcpy(static_cast<void*>(dst), src, n * sizeof(Complex));
  }
}

}  // namespace
Status MatrixPlan::prepare(std::span<const std::uint64_t> targets, std::span<const Complex> matrix,
                           const KernelTable& isa, std::size_t fixed) {
  isa_ = &isa;
  k_ = targets.size();
  d_ = std::size_t{1} << k_;
  const std::size_t d = d_;
  for (std::uint64_t t : targets) mask_ |= std::size_t{1} << t;
  fixed_ = fixed;
  skip_ = mask_ | fixed_;
  low_bit_ = skip_ ? static_cast<unsigned>(__builtin_ctzll(skip_)) : 0;
  // The direct kernels enumerate qubits 0 and 1 within their vectors.
  const bool direct = (fixed & 3) == 0;
  if (k_ == 2 && direct && isa.direct4) {
    // The direct kernel needs none of the tables below.
    prepare_direct(targets, matrix, &direct4_, fixed);
    direct_ = 4;
    return Status::Ok();
  }
  if (k_ == 3 && direct && isa.direct8) {
    prepare_direct(targets, matrix, &direct8_, fixed);
    direct_ = 8;
    return Status::Ok();
  }

  auto nonzero = [](Complex c) { return c.re != 0.0f || c.im != 0.0f; };
  nnz_ = 0;
  for (std::size_t i = 0; i < d * d; ++i) nnz_ += nonzero(matrix[i]);

  // One block for every table, largest alignment first.
  const std::size_t bytes = nnz_ * sizeof(Complex) + (2 * d + 1) * sizeof(std::size_t) +
                            (nnz_ + d) * sizeof(std::uint32_t) + 2 * d;
  std::byte* mem = small_;
  if (bytes > sizeof(small_)) {
    large_.reset(new (std::nothrow) std::byte[bytes]);
    if (!large_) return allocation_failure("the tables of a " + dec(k_) + "-qubit matrix", bytes);
    mem = large_.get();
  }
  vals_ = reinterpret_cast<Complex*>(mem);
  offsets_ = reinterpret_cast<std::size_t*>(vals_ + nnz_);
  row_start_ = offsets_ + d;
  cols_ = reinterpret_cast<std::uint32_t*>(row_start_ + d + 1);
  needed_ = cols_ + nnz_;
  identity_ = reinterpret_cast<std::uint8_t*>(needed_ + d);
  std::uint8_t* seen = identity_ + d;  // columns read by rows other than lone diagonal ones

  for (std::size_t j = 0; j < d; ++j) {
    std::size_t off = 0;
    for (std::size_t t = 0; t < k_; ++t) off |= ((j >> (k_ - 1 - t)) & 1) << targets[t];
    offsets_[j] = off;
    seen[j] = 0;
  }
  std::size_t e = 0;
  for (std::size_t r = 0; r < d; ++r) {
    row_start_[r] = e;
    const Complex* row = matrix.data() + r * d;
    for (std::size_t j = 0; j < d; ++j) {
      if (!nonzero(row[j])) continue;
      cols_[e] = static_cast<std::uint32_t>(j);
      vals_[e] = row[j];
      ++e;
    }
    identity_[r] = e - row_start_[r] == 1 && cols_[e - 1] == r && row[r].re == 1.0f && row[r].im == 0.0f;
    if (!identity_[r])
      for (std::size_t x = row_start_[r]; x < e; ++x) seen[cols_[x]] = 1;
  }
  row_start_[d] = e;
  num_needed_ = 0;
  for (std::size_t j = 0; j < d; ++j)
    if (seen[j]) needed_[num_needed_++] = static_cast<std::uint32_t>(j);
  if ((mask_ & 1) != 0 && k_ >= 2 && d <= kMaxPairDim) {
    prepare_pairs(targets, matrix);
  }
  return Status::Ok();
}

void MatrixPlan::prepare_pairs(std::span<const std::uint64_t> targets, std::span<const Complex> matrix) {
  const std::size_t d = d_;
  for (std::size_t t = 0; t < k_; ++t)
    if (targets[t] == 0) pair_bit_ = k_ - 1 - t;
  const std::size_t bit = std::size_t{1} << pair_bit_;
  std::size_t p = 0;
  for (std::size_t r = 0; r < d; ++r) {
    if (r & bit) continue;
    const std::size_t r2 = r | bit;
    pair_row_[p] = static_cast<std::uint8_t>(r);
    pair_identity_[p] = identity_[r] && identity_[r2];
    std::size_t count = 0;
    for (std::size_t j = 0; j < d; ++j) {
      const Complex a = matrix[r * d + j], b = matrix[r2 * d + j];
      if (a.re == 0.0f && a.im == 0.0f && b.re == 0.0f && b.im == 0.0f) continue;
      pair_cols_[p][count] = static_cast<std::uint8_t>(j);
      pair_coef_[p][count] = PairCoef{{a.re, a.re, b.re, b.re}, {-a.im, a.im, -b.im, b.im}};
      ++count;
    }
    pair_count_[p] = static_cast<std::uint8_t>(count);
    ++p;
  }
  pairs_ = true;
}

template <std::size_t D>
void prepare_direct(std::span<const std::uint64_t> targets, std::span<const Complex> matrix,
                    DirectPlan<D>* out, std::size_t fixed) {
  const std::size_t k = targets.size();
  out->mask = 0;
  for (std::uint64_t t : targets) out->mask |= std::size_t{1} << t;
  out->fixed = fixed;
  out->skip = out->mask | fixed;
  out->low_bit = static_cast<unsigned>(__builtin_ctzll(out->skip));
  for (std::size_t j = 0; j < D; ++j) {
    std::size_t off = 0;
    for (std::size_t t = 0; t < k; ++t) off |= ((j >> (k - 1 - t)) & 1) << targets[t];
    out->offsets[j] = off;
  }
  bool dense = true, permutation = true;
  for (std::size_t r = 0; r < D; ++r) {
    std::uint8_t e = 0;
    for (std::size_t j = 0; j < D; ++j) {
      const Complex v = matrix[r * D + j];
      const bool zero_re = v.re == 0.0f, zero_im = v.im == 0.0f;
      if (zero_re && zero_im) {
        dense = false;
        continue;
      }
      DirectKind kind = kGeneral;
      if (zero_im) kind = v.re == 1.0f ? kOne : v.re == -1.0f ? kMinusOne : kReal;
      else if (zero_re) kind = kImag;
      dense = dense && kind == kGeneral;
      out->cols[r][e] = static_cast<std::uint8_t>(j);
      out->kinds[r][e] = kind;
      out->vals[r][e] = v;
      for (int l = 0; l < 8; ++l) {
        out->re[r][e][l] = v.re;
        out->im[r][e][l] = (l & 1) ? v.im : -v.im;
      }
      ++e;
    }
    out->count[r] = e;
    permutation = permutation && e == 1 && out->kinds[r][0] == kOne;
  }
  out->dense = dense;
  out->permutation = permutation;
}

template void prepare_direct<4>(std::span<const std::uint64_t>, std::span<const Complex>, Direct4*,
                                std::size_t);
template void prepare_direct<8>(std::span<const std::uint64_t>, std::span<const Complex>, Direct8*,
                                std::size_t);

std::size_t deposit(std::size_t g, std::size_t mask) {
  std::size_t base = 0;
  for (unsigned pos = 0; g != 0 && pos < 64; ++pos) {
    if ((mask >> pos) & 1) continue;
    base |= (g & 1) << pos;
    g >>= 1;
  }
  return base;
}

std::size_t MatrixPlan::group_base(std::size_t g) const { return deposit(g, skip_) | fixed_; }

bool match_controlled_mat2(std::span<const std::uint64_t> targets, std::span<const Complex> matrix,
                           ControlledMat2* out) {
  const std::size_t k = targets.size();
  if (k == 0) return false;
  const std::size_t d = std::size_t{1} << k;
  auto zero = [](Complex c) { return c.re == 0.0f && c.im == 0.0f; };
  for (std::size_t r = 0; r < d; ++r) {
    const Complex* row = matrix.data() + r * d;
    if (r < d - 2) {
      for (std::size_t j = 0; j < d; ++j)
        if (j == r ? !(row[j].re == 1.0f && row[j].im == 0.0f) : !zero(row[j])) return false;
    } else {
      for (std::size_t j = 0; j < d - 2; ++j)
        if (!zero(row[j])) return false;
    }
  }
  std::size_t controls = 0;
  for (std::size_t t = 0; t + 1 < k; ++t) controls |= std::size_t{1} << targets[t];
  const Complex* block = matrix.data() + (d - 2) * d + (d - 2);
  const Complex u[4] = {block[0], block[1], block[d], block[d + 1]};
  make_controlled_mat2(controls, static_cast<unsigned>(targets[k - 1]), u, out);
  return true;
}

void make_controlled_mat2(std::size_t controls, unsigned target, const Complex u[4], ControlledMat2* out) {
  out->controls = controls;
  out->target = target;
  for (int i = 0; i < 4; ++i) out->u[i] = u[i];
  const std::size_t below = (std::size_t{1} << out->target) - 1;
  const std::size_t cp = (out->controls & below) | ((out->controls >> (out->target + 1)) << out->target);
  const std::size_t window = (std::size_t{1} << kControlWindowBits) - 1;
  out->low = static_cast<std::uint32_t>(cp & window);
  out->high = cp & ~window;
  out->segment = out->high ? out->high & (~out->high + 1) : 0;
}

bool fold_controls(std::span<const std::uint64_t> controls, std::span<const std::uint64_t> targets,
                   std::span<const Complex> matrix, ControlledSplit* out) {
  const std::size_t k = targets.size();
  if (k < 2) return false;
  const bool all = controls.size() + k <= 3;
  std::size_t count = 0;
  for (std::uint64_t c : controls) count += all || c < 2;
  if (count == 0 || count + k > ControlledSplit::kMaxQubits) return false;
  out->count = 0;
  out->fixed = 0;
  for (std::uint64_t c : controls) {
    if (all || c < 2) {
      out->qubits[out->count++] = c;
    } else {
      out->fixed |= std::size_t{1} << c;
    }
  }
  for (std::uint64_t t : targets) out->qubits[out->count++] = t;
  // Identity except the trailing block: the full controlled matrix on the
  // groups where the fixed controls are 1.
  const std::size_t d = std::size_t{1} << k, big = d << count;
  const std::size_t off = big - d;
  for (std::size_t r = 0; r < big; ++r)
    for (std::size_t j = 0; j < big; ++j)
      out->matrix[r * big + j] = r >= off && j >= off ? matrix[(r - off) * d + (j - off)]
                                                      : Complex{r == j ? 1.0f : 0.0f, 0.0f};
  return true;
}

void plus_zero_unless(Complex* amps, std::size_t fixed, std::size_t lo, std::size_t hi) {
  const std::size_t stretch = std::size_t{1} << __builtin_ctzll(fixed);
  if (stretch < 4) {
    plus_zero(amps + lo, hi - lo);
    return;
  }
  for (std::size_t i = lo; i < hi;) {
    const std::size_t end = std::min(hi, (i | (stretch - 1)) + 1);
    if ((i & fixed) != fixed) plus_zero(amps + i, end - i);
    i = end;
  }
}

namespace {

// a + 0 on both amplitudes of pairs [lo, hi) of qubit t.
void plus_zero_pairs(Complex* amps, unsigned t, std::size_t lo, std::size_t hi) {
  const std::size_t s = std::size_t{1} << t;
  if (((lo | hi) & (s - 1)) == 0) {
    plus_zero(amps + 2 * lo, 2 * (hi - lo));  // whole blocks: one stretch
    return;
  }
  for (std::size_t p = lo; p < hi;) {
    const std::size_t i = p & (s - 1);
    const std::size_t len = std::min(s - i, hi - p);
    Complex* a0 = amps + ((p >> t) << (t + 1)) + i;
    plus_zero(a0, len);
    plus_zero(a0 + s, len);
    p += len;
  }
}

}  // namespace

void controlled_pairs_scalar(Complex* amps, unsigned t, const Complex m[4], std::uint32_t low,
                             std::size_t lo, std::size_t hi) {
  const std::size_t s = std::size_t{1} << t;
  for (std::size_t p = lo; p < hi; ++p) {
    Complex* a0 = amps + ((p >> t) << (t + 1)) + (p & (s - 1));
    if ((p & low) == low) {
      mat2_pair_scalar<true>(a0, a0 + s, m);
    } else {
      *a0 = cadd(*a0, Complex{0.0f, 0.0f});
      a0[s] = cadd(a0[s], Complex{0.0f, 0.0f});
    }
  }
}

namespace {

// Without kMasked every pair is updated (low == 0).
template <bool kMasked>
void controlled_pairs_sse2_impl(Complex* amps, unsigned t, const Complex m[4], std::uint32_t low,
                                std::size_t lo, std::size_t hi) {
  // Pairs on get y + 0, the others x + 0: the sum is blended first, then
  // normalised once.
  const __m128 zero = _mm_setzero_ps();
  const __m128i lowv = _mm_set1_epi32(static_cast<int>(low));
  auto blend = [&](__m128 y, __m128 x, __m128i idx) {
    if constexpr (kMasked) {
      const __m128 on = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(idx, lowv), lowv));
      y = _mm_or_ps(_mm_and_ps(on, y), _mm_andnot_ps(on, x));
    }
    return _mm_add_ps(y, zero);
  };
  if (t == 0) {
    // One adjacent pair (a0 a1) per vector; the a1 slot sums (m11 a1) +
    // (m10 a0), the reference's two products in swapped order, which IEEE
    // addition leaves bit for bit the same.
    const __m128 dre = _mm_setr_ps(m[0].re, m[0].re, m[3].re, m[3].re);
    const __m128 dim = _mm_setr_ps(-m[0].im, m[0].im, -m[3].im, m[3].im);
    const __m128 ore = _mm_setr_ps(m[1].re, m[1].re, m[2].re, m[2].re);
    const __m128 oim = _mm_setr_ps(-m[1].im, m[1].im, -m[2].im, m[2].im);
    __m128i idx = _mm_set1_epi32(static_cast<int>(lo));
    const __m128i one = _mm_set1_epi32(1);
    for (std::size_t p = lo; p < hi; ++p, idx = _mm_add_epi32(idx, one)) {
      prefetch_ahead(amps + 2 * p);
      float* f = reinterpret_cast<float*>(amps + 2 * p);
      const __m128 x = _mm_loadu_ps(f);
      const __m128 sw = _mm_shuffle_ps(x, x, _MM_SHUFFLE(1, 0, 3, 2));
      const __m128 y = _mm_add_ps(cmul_lanes(dre, dim, x), cmul_lanes(ore, oim, sw));
      _mm_storeu_ps(f, blend(y, x, idx));
    }
    return;
  }
  const __m128 re0 = _mm_set1_ps(m[0].re), im0 = _mm_setr_ps(-m[0].im, m[0].im, -m[0].im, m[0].im);
  const __m128 re1 = _mm_set1_ps(m[1].re), im1 = _mm_setr_ps(-m[1].im, m[1].im, -m[1].im, m[1].im);
  const __m128 re2 = _mm_set1_ps(m[2].re), im2 = _mm_setr_ps(-m[2].im, m[2].im, -m[2].im, m[2].im);
  const __m128 re3 = _mm_set1_ps(m[3].re), im3 = _mm_setr_ps(-m[3].im, m[3].im, -m[3].im, m[3].im);
  const __m128i lanes = _mm_setr_epi32(0, 0, 1, 1);
  const std::size_t s = std::size_t{1} << t;
  for (std::size_t p = lo; p < hi;) {
    const std::size_t i = p & (s - 1);
    const std::size_t len = std::min(s - i, hi - p);
    Complex* a0 = amps + ((p >> t) << (t + 1)) + i;
    std::size_t j = 0;
    __m128i idx = _mm_add_epi32(_mm_set1_epi32(static_cast<int>(p)), lanes);
    const __m128i two = _mm_set1_epi32(2);
    for (; j + 2 <= len; j += 2, idx = _mm_add_epi32(idx, two)) {
      prefetch_ahead(a0 + j);
      prefetch_ahead(a0 + s + j);
      float* f0 = reinterpret_cast<float*>(a0 + j);
      float* f1 = reinterpret_cast<float*>(a0 + s + j);
      const __m128 x0 = _mm_loadu_ps(f0), x1 = _mm_loadu_ps(f1);
      const __m128 y0 = _mm_add_ps(cmul_lanes(re0, im0, x0), cmul_lanes(re1, im1, x1));
      const __m128 y1 = _mm_add_ps(cmul_lanes(re2, im2, x0), cmul_lanes(re3, im3, x1));
      _mm_storeu_ps(f0, blend(y0, x0, idx));
      _mm_storeu_ps(f1, blend(y1, x1, idx));
    }
    if (j < len) controlled_pairs_scalar(amps, t, m, low, p + j, p + len);
    p += len;
  }
}

}  // namespace

void controlled_pairs_sse2(Complex* amps, unsigned t, const Complex m[4], std::uint32_t low,
                           std::size_t lo, std::size_t hi) {
  if (low == 0) {
    controlled_pairs_sse2_impl<false>(amps, t, m, low, lo, hi);
  } else {
    controlled_pairs_sse2_impl<true>(amps, t, m, low, lo, hi);
  }
}

void controlled_mat2_pairs(Complex* amps, const ControlledMat2& c, std::size_t lo, std::size_t hi,
                           const KernelTable& isa) {
  for (std::size_t p = lo; p < hi;) {
    const std::size_t end = c.segment ? std::min(hi, (p | (c.segment - 1)) + 1) : hi;
    if ((p & c.high) == c.high) {
      isa.controlled_pairs(amps, c.target, c.u, c.low, p, end);
    } else {
      plus_zero_pairs(amps, c.target, p, end);
    }
    p = end;
  }
}

void MatrixPlan::gather(const Complex* amps, std::size_t base, Complex* scratch) const {
  const std::size_t* off = offsets_;
  const std::uint32_t* needed = needed_;
  for (std::size_t i = 0; i < num_needed_; ++i) scratch[needed[i]] = amps[base + off[needed[i]]];
}

void MatrixPlan::apply_rows(Complex* amps, std::size_t base, const Complex* in, std::size_t lo,
                            std::size_t hi) const {
  const std::size_t* off = offsets_;
  const std::size_t* start = row_start_;
  const std::uint32_t* cols = cols_;
  const Complex* vals = vals_;
  for (std::size_t r = lo; r < hi; ++r) {
    Complex& out = amps[base + off[r]];
    if (identity_[r]) {
      // 0 + 1*a: the amplitude, with a negative zero turned positive.
      if (out.re == 0.0f || out.im == 0.0f) out = Complex{out.re + 0.0f, out.im + 0.0f};
      continue;
    }
    Complex sum{0.0f, 0.0f};
    for (std::size_t e = start[r]; e < start[r + 1]; ++e) sum = cadd(sum, cmul(vals[e], in[cols[e]]));
    out = sum;
  }
}


void plus_zero(Complex* a, std::size_t count) {
  const __m128 zero = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    prefetch_ahead(a + i);
    float* f = reinterpret_cast<float*>(a + i);
    const __m128 x = _mm_loadu_ps(f);
    if (_mm_movemask_ps(_mm_cmpeq_ps(x, zero))) _mm_storeu_ps(f, _mm_add_ps(x, zero));
  }
  for (; i < count; ++i)
    if (a[i].re == 0.0f || a[i].im == 0.0f) a[i] = Complex{a[i].re + 0.0f, a[i].im + 0.0f};
}

void row_sums_sse2(const Complex* vals, const std::uint32_t* cols, std::size_t count,
                   const Complex* scratch, std::size_t width, std::size_t c, Complex* out) {
  std::size_t i = 0;
  for (; i + 8 <= c; i += 8) {
    __m128 s0 = _mm_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
    for (std::size_t e = 0; e < count; ++e) {
      const Complex v = vals[e];
      const float* in = reinterpret_cast<const float*>(scratch + cols[e] * width + i);
      const __m128 re = _mm_set1_ps(v.re);
      const __m128 im = _mm_setr_ps(-v.im, v.im, -v.im, v.im);
      s0 = _mm_add_ps(s0, cmul_lanes(re, im, _mm_loadu_ps(in)));
      s1 = _mm_add_ps(s1, cmul_lanes(re, im, _mm_loadu_ps(in + 4)));
      s2 = _mm_add_ps(s2, cmul_lanes(re, im, _mm_loadu_ps(in + 8)));
      s3 = _mm_add_ps(s3, cmul_lanes(re, im, _mm_loadu_ps(in + 12)));
    }
    float* a = reinterpret_cast<float*>(out + i);
    _mm_storeu_ps(a, s0);
    _mm_storeu_ps(a + 4, s1);
    _mm_storeu_ps(a + 8, s2);
    _mm_storeu_ps(a + 12, s3);
  }
  row_sums_scalar(vals, cols, count, scratch, width, i, c, out);
}

// Groups are handled a chunk of up to kRunWidth at a time: each needed local
// index's amplitudes of the whole chunk are gathered side by side, so that
// vectors run across groups, each lane computing exactly the scalar sum of
// its own group. Within a chunk, groups with consecutive bases (all groups
// between two target bits) form segments copied with one move each.
void MatrixPlan::apply_runs(Complex* amps, std::size_t lo, std::size_t hi, Complex* scratch) const {
  const std::size_t run = std::size_t{1} << low_bit_;
  const std::size_t width = std::min<std::size_t>(kRunWidth, kStackGroup / d_);
  const std::size_t* off = offsets_;
  const std::size_t* start = row_start_;
  const std::uint32_t* cols = cols_;
  const Complex* vals = vals_;
  alignas(16) std::byte acc_bytes[kRunWidth * sizeof(Complex)];  // written before read
  Complex* acc = reinterpret_cast<Complex*>(acc_bytes);
  std::size_t seg_base[kRunWidth], seg_len[kRunWidth];
  std::size_t base = group_base(lo);
  for (std::size_t g = lo; g < hi;) {
    // Segments of this chunk.
    std::size_t c = 0, segs = 0;
    const std::size_t want = std::min(hi - g, width);
    while (c < want) {
      const std::size_t len = std::min(run - ((g + c) & (run - 1)), want - c);
      seg_base[segs] = base;
      seg_len[segs] = len;
      ++segs;
      c += len;
      base = next_base(base + len - 1);
    }
    for (std::size_t i = 0; i < num_needed_; ++i) {
      const std::size_t j = needed_[i];
      Complex* dst = scratch + j * width;
      for (std::size_t sg = 0; sg < segs; ++sg) {
        copy_amps(dst, amps + seg_base[sg] + off[j], seg_len[sg]);
        dst += seg_len[sg];
      }
    }
    for (std::size_t r = 0; r < d_; ++r) {
      if (identity_[r]) {
        for (std::size_t sg = 0; sg < segs; ++sg) plus_zero(amps + seg_base[sg] + off[r], seg_len[sg]);
        continue;
      }
      isa_->row_sums(vals + start[r], cols + start[r], start[r + 1] - start[r], scratch, width, c, acc);
      const Complex* src = acc;
      for (std::size_t sg = 0; sg < segs; ++sg) {
        copy_amps(amps + seg_base[sg] + off[r], src, seg_len[sg]);
        src += seg_len[sg];
      }
    }
    g += c;
  }
}

void MatrixPlan::apply_pairs(Complex* amps, std::size_t lo, std::size_t hi) const {
  const std::size_t half = d_ / 2;
  const std::size_t bit = std::size_t{1} << pair_bit_;
  const __m128 zero = _mm_setzero_ps();
  __m128 in[kMaxPairDim];  // in[j] in both lanes
  std::size_t base = group_base(lo);
  for (std::size_t g = lo; g < hi; ++g) {
    for (std::size_t p = 0; p < half; ++p) {
      const std::size_t r = pair_row_[p];
      const __m128 v = _mm_loadu_ps(reinterpret_cast<const float*>(amps + base + offsets_[r]));
      in[r] = _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 1, 0));
      in[r | bit] = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (std::size_t p = 0; p < half; ++p) {
      float* f = reinterpret_cast<float*>(amps + base + offsets_[pair_row_[p]]);
      if (pair_identity_[p]) {
        const __m128 x = _mm_loadu_ps(f);
        if (_mm_movemask_ps(_mm_cmpeq_ps(x, zero))) _mm_storeu_ps(f, _mm_add_ps(x, zero));
        continue;
      }
      __m128 sum = zero;
      for (std::size_t e = 0; e < pair_count_[p]; ++e) {
        const PairCoef& c = pair_coef_[p][e];
        sum = _mm_add_ps(sum, cmul_lanes(_mm_load_ps(c.re), _mm_loadu_ps(c.im), in[pair_cols_[p][e]]));
      }
      _mm_storeu_ps(f, sum);
    }
    base = next_base(base);
  }
}

void MatrixPlan::apply_groups(Complex* amps, std::size_t lo, std::size_t hi, Complex* scratch) const {
  if (direct_ == 4) {
    isa_->direct4(amps, direct4_, lo, hi);
    return;
  }
  if (direct_ == 8) {
    isa_->direct8(amps, direct8_, lo, hi);
    return;
  }
  if (pairs_) {
    apply_pairs(amps, lo, hi);
    return;
  }
  apply_runs(amps, lo, hi, scratch);
}

}  // namespace vantrel::sim::kernels

// The general kernel's preparation and its baseline paths: the gathering
// path, the SSE2 pairs of qubit 0 and row sums (matrix_lanes.h), and the
// controlled one-qubit gates by segment.
#include "sim/kernels/matrix.h"

#include <emmintrin.h>

#include <cstring>
#include <new>

#include "sim/kernels/lanes_sse2.h"
#include "sim/kernels/matrix_lanes.h"

namespace vantrel::sim::kernels {

namespace {

// Short copies inline: segments are often a single amplitude.
template <class T>
inline void copy_amps(ComplexOf<T>* dst, const ComplexOf<T>* src, std::size_t n) {
  if (n <= 4) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  } else {
    std::memcpy(static_cast<void*>(dst), src, n * sizeof(ComplexOf<T>));
  }
}

template <class T>
inline bool nonzero(ComplexOf<T> c) {
  return c.re != T(0) || c.im != T(0);
}

}  // namespace

template <class T>
Status MatrixPlanOf<T>::prepare(std::span<const std::uint64_t> targets, std::span<const Amp> matrix,
                                const KernelTableOf<T>& isa, std::size_t fixed) {
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

  nnz_ = 0;
  for (std::size_t i = 0; i < d * d; ++i) nnz_ += nonzero(matrix[i]);

  // One block for every table, largest alignment first.
  const std::size_t bytes = nnz_ * sizeof(Amp) + (2 * d + 1) * sizeof(std::size_t) +
                            (nnz_ + d) * sizeof(std::uint32_t) + 2 * d;
  std::byte* mem = small_;
  if (bytes > sizeof(small_)) {
    large_.reset(new (std::nothrow) std::byte[bytes]);
    if (!large_) return allocation_failure("the tables of a " + dec(k_) + "-qubit matrix", bytes);
    mem = large_.get();
  }
  vals_ = reinterpret_cast<Amp*>(mem);
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
    const Amp* row = matrix.data() + r * d;
    for (std::size_t j = 0; j < d; ++j) {
      if (!nonzero(row[j])) continue;
      cols_[e] = static_cast<std::uint32_t>(j);
      vals_[e] = row[j];
      ++e;
    }
    identity_[r] = e - row_start_[r] == 1 && cols_[e - 1] == r && row[r].re == T(1) && row[r].im == T(0);
    if (!identity_[r])
      for (std::size_t x = row_start_[r]; x < e; ++x) seen[cols_[x]] = 1;
  }
  row_start_[d] = e;
  num_needed_ = 0;
  for (std::size_t j = 0; j < d; ++j)
    if (seen[j]) needed_[num_needed_++] = static_cast<std::uint32_t>(j);
  if (std::is_same_v<T, float> && (mask_ & 1) != 0 && k_ >= 2 && d <= kMaxPairDim) {
    prepare_pairs(targets, matrix);
  }
  return Status::Ok();
}

template <class T>
void MatrixPlanOf<T>::prepare_pairs(std::span<const std::uint64_t> targets, std::span<const Amp> matrix) {
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
      const Amp a = matrix[r * d + j], b = matrix[r2 * d + j];
      if (!nonzero(a) && !nonzero(b)) continue;
      pair_cols_[p][count] = static_cast<std::uint8_t>(j);
      const float are = static_cast<float>(a.re), aim = static_cast<float>(a.im);
      const float bre = static_cast<float>(b.re), bim = static_cast<float>(b.im);
      pair_coef_[p][count] = PairCoef{{are, are, bre, bre}, {-aim, aim, -bim, bim}};
      ++count;
    }
    pair_count_[p] = static_cast<std::uint8_t>(count);
    ++p;
  }
  pairs_ = true;
}

template <class T, std::size_t D>
void prepare_direct(std::span<const std::uint64_t> targets, std::type_identity_t<std::span<const ComplexOf<T>>> matrix,
                    DirectPlanOf<T, D>* out, std::size_t fixed) {
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
      const ComplexOf<T> v = matrix[r * D + j];
      const bool zero_re = v.re == T(0), zero_im = v.im == T(0);
      if (zero_re && zero_im) {
        dense = false;
        continue;
      }
      DirectKind kind = kGeneral;
      if (zero_im) kind = v.re == T(1) ? kOne : v.re == T(-1) ? kMinusOne : kReal;
      else if (zero_re) kind = kImag;
      dense = dense && kind == kGeneral;
      out->cols[r][e] = static_cast<std::uint8_t>(j);
      out->kinds[r][e] = kind;
      out->vals[r][e] = v;
      for (std::size_t l = 0; l < DirectPlanOf<T, D>::kLanes; ++l) {
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

template void prepare_direct<float, 4>(std::span<const std::uint64_t>, std::span<const Complex>,
                                       DirectPlanOf<float, 4>*, std::size_t);
template void prepare_direct<float, 8>(std::span<const std::uint64_t>, std::span<const Complex>,
                                       DirectPlanOf<float, 8>*, std::size_t);
template void prepare_direct<double, 4>(std::span<const std::uint64_t>, std::span<const ComplexD>,
                                        DirectPlanOf<double, 4>*, std::size_t);
template void prepare_direct<double, 8>(std::span<const std::uint64_t>, std::span<const ComplexD>,
                                        DirectPlanOf<double, 8>*, std::size_t);

std::size_t deposit(std::size_t g, std::size_t mask) {
  std::size_t base = 0;
  for (unsigned pos = 0; g != 0 && pos < 64; ++pos) {
    if ((mask >> pos) & 1) continue;
    base |= (g & 1) << pos;
    g >>= 1;
  }
  return base;
}

template <class T>
std::size_t MatrixPlanOf<T>::group_base(std::size_t g) const {
  return deposit(g, skip_) | fixed_;
}

namespace {

template <class T>
bool match_controlled_mat2_of(std::span<const std::uint64_t> targets, std::span<const ComplexOf<T>> matrix,
                              ControlledMat2Of<T>* out) {
  const std::size_t k = targets.size();
  if (k == 0) return false;
  const std::size_t d = std::size_t{1} << k;
  for (std::size_t r = 0; r < d; ++r) {
    const ComplexOf<T>* row = matrix.data() + r * d;
    if (r < d - 2) {
      for (std::size_t j = 0; j < d; ++j)
        if (j == r ? !(row[j].re == T(1) && row[j].im == T(0)) : nonzero(row[j])) return false;
    } else {
      for (std::size_t j = 0; j < d - 2; ++j)
        if (nonzero(row[j])) return false;
    }
  }
  std::size_t controls = 0;
  for (std::size_t t = 0; t + 1 < k; ++t) controls |= std::size_t{1} << targets[t];
  const ComplexOf<T>* block = matrix.data() + (d - 2) * d + (d - 2);
  const ComplexOf<T> u[4] = {block[0], block[1], block[d], block[d + 1]};
  make_controlled_mat2(controls, static_cast<unsigned>(targets[k - 1]), u, out);
  return true;
}

}  // namespace

bool match_controlled_mat2(std::span<const std::uint64_t> targets, std::span<const Complex> matrix,
                           ControlledMat2Of<float>* out) {
  return match_controlled_mat2_of(targets, matrix, out);
}
bool match_controlled_mat2(std::span<const std::uint64_t> targets, std::span<const ComplexD> matrix,
                           ControlledMat2Of<double>* out) {
  return match_controlled_mat2_of(targets, matrix, out);
}

template <class T>
void make_controlled_mat2(std::size_t controls, unsigned target, const ComplexOf<T> u[4],
                          ControlledMat2Of<T>* out) {
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

template void make_controlled_mat2<float>(std::size_t, unsigned, const Complex*, ControlledMat2Of<float>*);
template void make_controlled_mat2<double>(std::size_t, unsigned, const ComplexD*, ControlledMat2Of<double>*);

namespace {

template <class T>
bool fold_controls_of(std::span<const std::uint64_t> controls, std::span<const std::uint64_t> targets,
                      std::span<const ComplexOf<T>> matrix, ControlledSplitOf<T>* out) {
  const std::size_t k = targets.size();
  if (k < 2) return false;
  const bool all = controls.size() + k <= 3;
  std::size_t count = 0;
  for (std::uint64_t c : controls) count += all || c < 2;
  if (count == 0 || count + k > ControlledSplitOf<T>::kMaxQubits) return false;
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
                                                      : ComplexOf<T>{r == j ? T(1) : T(0), T(0)};
  return true;
}

}  // namespace

bool fold_controls(std::span<const std::uint64_t> controls, std::span<const std::uint64_t> targets,
                   std::span<const Complex> matrix, ControlledSplitOf<float>* out) {
  return fold_controls_of(controls, targets, matrix, out);
}
bool fold_controls(std::span<const std::uint64_t> controls, std::span<const std::uint64_t> targets,
                   std::span<const ComplexD> matrix, ControlledSplitOf<double>* out) {
  return fold_controls_of(controls, targets, matrix, out);
}

template <class T>
void plus_zero_unless(ComplexOf<T>* amps, std::size_t fixed, std::size_t lo, std::size_t hi) {
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
template <class T>
void plus_zero_pairs(ComplexOf<T>* amps, unsigned t, std::size_t lo, std::size_t hi) {
  const std::size_t s = std::size_t{1} << t;
  if (((lo | hi) & (s - 1)) == 0) {
    plus_zero(amps + 2 * lo, 2 * (hi - lo));  // whole blocks: one stretch
    return;
  }
  for (std::size_t p = lo; p < hi;) {
    const std::size_t i = p & (s - 1);
    const std::size_t len = std::min(s - i, hi - p);
    ComplexOf<T>* a0 = amps + ((p >> t) << (t + 1)) + i;
    plus_zero(a0, len);
    plus_zero(a0 + s, len);
    p += len;
  }
}

}  // namespace

template <class T>
void controlled_mat2_pairs(ComplexOf<T>* amps, const ControlledMat2Of<T>& c, std::size_t lo, std::size_t hi,
                           const KernelTableOf<T>& isa) {
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

template <class T>
void MatrixPlanOf<T>::gather(const Amp* amps, std::size_t base, Amp* scratch) const {
  const std::size_t* off = offsets_;
  const std::uint32_t* needed = needed_;
  for (std::size_t i = 0; i < num_needed_; ++i) scratch[needed[i]] = amps[base + off[needed[i]]];
}

template <class T>
void MatrixPlanOf<T>::apply_rows(Amp* amps, std::size_t base, const Amp* in, std::size_t lo,
                                 std::size_t hi) const {
  const std::size_t* off = offsets_;
  const std::size_t* start = row_start_;
  const std::uint32_t* cols = cols_;
  const Amp* vals = vals_;
  for (std::size_t r = lo; r < hi; ++r) {
    Amp& out = amps[base + off[r]];
    if (identity_[r]) {
      // 0 + 1*a: the amplitude, with a negative zero turned positive.
      if (out.re == T(0) || out.im == T(0)) out = Amp{out.re + T(0), out.im + T(0)};
      continue;
    }
    Amp sum{};
    for (std::size_t e = start[r]; e < start[r + 1]; ++e) sum = cadd(sum, cmul(vals[e], in[cols[e]]));
    out = sum;
  }
}


template <class T>
void plus_zero(ComplexOf<T>* a, std::size_t count) {
  using V = Sse2<T>;
  using S = T;
  std::size_t i = 0;
  for (; i + V::kAmps <= count; i += V::kAmps) {
    prefetch_ahead(a + i);
    S* f = reinterpret_cast<S*>(a + i);
    const typename V::Reg x = V::load(f);
    if (V::any_zero(x)) V::store(f, V::add(x, V::zero()));
  }
  for (; i < count; ++i)
    if (a[i].re == T(0) || a[i].im == T(0)) a[i] = ComplexOf<T>{a[i].re + T(0), a[i].im + T(0)};
}

template <class T>
void row_sums_sse2(const ComplexOf<T>* vals, const std::uint32_t* cols, std::size_t count,
                   const ComplexOf<T>* scratch, std::size_t width, std::size_t c, ComplexOf<T>* out) {
  row_sums_of<Sse2<T>>(vals, cols, count, scratch, width, c, out);
}

// Groups are handled a chunk of up to kRunWidth at a time: each needed local
// index's amplitudes of the whole chunk are gathered side by side, so that
// vectors run across groups, each lane computing exactly the scalar sum of
// its own group. Within a chunk, groups with consecutive bases (all groups
// between two target bits) form segments copied with one move each.
template <class T>
void MatrixPlanOf<T>::apply_runs(Amp* amps, std::size_t lo, std::size_t hi, Amp* scratch) const {
  const std::size_t run = std::size_t{1} << low_bit_;
  const std::size_t width = std::min<std::size_t>(kRunWidth, kStackGroup / d_);
  const std::size_t* off = offsets_;
  const std::size_t* start = row_start_;
  const std::uint32_t* cols = cols_;
  const Amp* vals = vals_;
  alignas(16) std::byte acc_bytes[kRunWidth * sizeof(Amp)];  // written before read
  Amp* acc = reinterpret_cast<Amp*>(acc_bytes);
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
      Amp* dst = scratch + j * width;
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
      const Amp* src = acc;
      for (std::size_t sg = 0; sg < segs; ++sg) {
        copy_amps(amps + seg_base[sg] + off[r], src, seg_len[sg]);
        src += seg_len[sg];
      }
    }
    g += c;
  }
}

// Single precision only (prepare sets pairs_ for float plans alone).
template <class T>
void MatrixPlanOf<T>::apply_pairs(Amp* amps, std::size_t lo, std::size_t hi) const {
  if constexpr (std::is_same_v<T, float>) {
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
        sum = _mm_add_ps(sum, Sse2<float>::cmul({_mm_load_ps(c.re), _mm_loadu_ps(c.im)}, in[pair_cols_[p][e]]));
      }
      _mm_storeu_ps(f, sum);
    }
    base = next_base(base);
  }
  } else {
    (void)amps, (void)lo, (void)hi;
  }
}

template <class T>
void MatrixPlanOf<T>::apply_groups(Amp* amps, std::size_t lo, std::size_t hi, Amp* scratch) const {
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

template class MatrixPlanOf<float>;
template class MatrixPlanOf<double>;

#define VANTREL_MATRIX(T)                                                                                   \
  template void plus_zero<T>(ComplexOf<T>*, std::size_t);                                                  \
  template void plus_zero_unless<T>(ComplexOf<T>*, std::size_t, std::size_t, std::size_t);                 \
  template void controlled_mat2_pairs<T>(ComplexOf<T>*, const ControlledMat2Of<T>&, std::size_t, std::size_t, \
                                         const KernelTableOf<T>&);                                         \
  template void row_sums_sse2<T>(const ComplexOf<T>*, const std::uint32_t*, std::size_t, const ComplexOf<T>*, \
                                 std::size_t, std::size_t, ComplexOf<T>*);
VANTREL_MATRIX(float)
VANTREL_MATRIX(double)
#undef VANTREL_MATRIX

}  // namespace vantrel::sim::kernels

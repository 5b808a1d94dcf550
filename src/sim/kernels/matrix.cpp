#include "sim/kernels/matrix.h"

#include <new>

namespace vantrel::sim::kernels {
namespace {

template <class T>
std::unique_ptr<T[]> try_alloc(std::size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n > 0 ? n : 1]);
}

}  // namespace

Result<MatrixPlan> MatrixPlan::make(std::span<const std::uint64_t> targets,
                                    std::span<const Complex> matrix) {
  MatrixPlan p;
  p.k_ = targets.size();
  p.d_ = std::size_t{1} << p.k_;
  const std::size_t d = p.d_;
  for (std::uint64_t t : targets) p.mask_ |= std::size_t{1} << t;

  p.offsets_ = try_alloc<std::size_t>(d);
  p.row_start_ = try_alloc<std::size_t>(d + 1);
  p.identity_ = try_alloc<std::uint8_t>(d);
  p.needed_ = try_alloc<std::uint32_t>(d);
  if (!p.offsets_ || !p.row_start_ || !p.identity_ || !p.needed_) return out_of_memory();

  for (std::size_t j = 0; j < d; ++j) {
    std::size_t off = 0;
    for (std::size_t t = 0; t < p.k_; ++t) off |= ((j >> (p.k_ - 1 - t)) & 1) << targets[t];
    p.offsets_[j] = off;
  }

  auto nonzero = [](Complex c) { return c.re != 0.0f || c.im != 0.0f; };
  std::size_t nnz = 0;
  for (std::size_t r = 0; r < d; ++r) {
    p.row_start_[r] = nnz;
    const Complex* row = matrix.data() + r * d;
    std::size_t count = 0;
    for (std::size_t j = 0; j < d; ++j) count += nonzero(row[j]);
    nnz += count;
    p.identity_[r] = count == 1 && row[r].re == 1.0f && row[r].im == 0.0f;
  }
  p.row_start_[d] = nnz;
  p.nnz_ = nnz;
  p.cols_ = try_alloc<std::uint32_t>(nnz);
  p.vals_ = try_alloc<Complex>(nnz);
  if (!p.cols_ || !p.vals_) return out_of_memory();

  // Columns read by rows that are not lone diagonal ones.
  std::unique_ptr<std::uint8_t[]> seen = try_alloc<std::uint8_t>(d);
  if (!seen) return out_of_memory();
  std::fill(seen.get(), seen.get() + d, std::uint8_t{0});
  for (std::size_t r = 0, e = 0; r < d; ++r) {
    const Complex* row = matrix.data() + r * d;
    for (std::size_t j = 0; j < d; ++j) {
      if (!nonzero(row[j])) continue;
      p.cols_[e] = static_cast<std::uint32_t>(j);
      p.vals_[e] = row[j];
      ++e;
      if (!p.identity_[r]) seen[j] = 1;
    }
  }
  for (std::size_t j = 0; j < d; ++j)
    if (seen[j]) p.needed_[p.num_needed_++] = static_cast<std::uint32_t>(j);
  return p;
}

std::size_t MatrixPlan::group_base(std::size_t g) const {
  std::size_t base = 0;
  for (unsigned pos = 0; g != 0 && pos < 64; ++pos) {
    if ((mask_ >> pos) & 1) continue;
    base |= (g & 1) << pos;
    g >>= 1;
  }
  return base;
}

void MatrixPlan::gather(const Complex* amps, std::size_t base, Complex* scratch) const {
  const std::size_t* off = offsets_.get();
  const std::uint32_t* needed = needed_.get();
  for (std::size_t i = 0; i < num_needed_; ++i) scratch[needed[i]] = amps[base + off[needed[i]]];
}

void MatrixPlan::apply_rows(Complex* amps, std::size_t base, const Complex* in, std::size_t lo,
                            std::size_t hi) const {
  const std::size_t* off = offsets_.get();
  const std::size_t* start = row_start_.get();
  const std::uint32_t* cols = cols_.get();
  const Complex* vals = vals_.get();
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

void MatrixPlan::apply_groups(Complex* amps, std::size_t lo, std::size_t hi, Complex* scratch) const {
  std::size_t base = group_base(lo);
  for (std::size_t g = lo; g < hi; ++g) {
    gather(amps, base, scratch);
    apply_rows(amps, base, scratch, 0, d_);
    base = next_base(base);
  }
}

}  // namespace vantrel::sim::kernels

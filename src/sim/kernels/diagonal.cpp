// The diagonal kernels' set-up (tables of factors, combined flips), their
// scalar forms and the SSE2 ones (diagonal_lanes.h).
#include "sim/kernels/diagonal.h"

#include <algorithm>
#include <bit>

#include "sim/kernels/diagonal_lanes.h"
#include "sim/kernels/lanes_sse2.h"

namespace vantrel::sim::kernels {

namespace {

template <class T>
bool is_diagonal_of(std::span<const ComplexOf<T>> matrix, std::size_t d) {
  for (std::size_t r = 0; r < d; ++r)
    for (std::size_t j = 0; j < d; ++j)
      if (j != r && (matrix[r * d + j].re != T(0) || matrix[r * d + j].im != T(0))) return false;
  return true;
}

template <class T>
bool are_signs_of(std::span<const ComplexOf<T>> factors) {
  for (const ComplexOf<T> f : factors)
    if (f.im != T(0) || (f.re != T(1) && f.re != T(-1))) return false;
  return true;
}

}  // namespace

bool is_diagonal(std::span<const Complex> matrix, std::size_t d) { return is_diagonal_of(matrix, d); }
bool is_diagonal(std::span<const ComplexD> matrix, std::size_t d) { return is_diagonal_of(matrix, d); }
bool are_signs(std::span<const Complex> factors) { return are_signs_of(factors); }
bool are_signs(std::span<const ComplexD> factors) { return are_signs_of(factors); }

namespace {

// The row of amplitude index l.
inline std::size_t row_of(std::size_t l, const unsigned* positions, std::size_t count) {
  std::size_t r = 0;
  for (std::size_t i = 0; i < count; ++i) r |= ((l >> positions[i]) & 1) << i;
  return r;
}

}  // namespace

template <class T>
void apply_diagonal_scalar(ComplexOf<T>* amps, unsigned bits, const unsigned* positions, std::size_t count,
                           const ComplexOf<T>* factors) {
  const std::size_t n = std::size_t{1} << bits;
  for (std::size_t l = 0; l < n; ++l) amps[l] = cadd(cmul(factors[row_of(l, positions, count)], amps[l]), ComplexOf<T>{});
}

// Windows of 2^k amplitudes (k = min(6, bits)): the targets inside a window
// vary within it and are resolved by a table of lane coefficients; the
// others are constant over a window and select one of 2^h such tables, made
// once per call (or per window, for more than four such targets).
template <class T>
void apply_diagonal(ComplexOf<T>* amps, unsigned bits, const unsigned* positions, std::size_t count,
                    const ComplexOf<T>* factors, const KernelTableOf<T>& isa) {
  const unsigned wb = std::min(6u, bits);
  const std::size_t wsize = std::size_t{1} << wb;
  unsigned high_pos[kMaxDiagonalTargets];
  std::size_t high_row[kMaxDiagonalTargets];
  std::size_t h = 0;
  std::size_t lane_row[64] = {};  // row bits of each amplitude of a window
  for (std::size_t i = 0; i < count; ++i) {
    if (positions[i] < wb) {
      for (std::size_t j = 0; j < wsize; ++j) lane_row[j] |= ((j >> positions[i]) & 1) << i;
    } else {
      high_pos[h] = positions[i];
      high_row[h++] = std::size_t{1} << i;
    }
  }
  constexpr std::size_t kMaxTables = 16;
  const bool per_window = (std::size_t{1} << h) > kMaxTables;
  alignas(64) WindowCoefficientsOf<T> tables[kMaxTables];
  auto fill = [&](WindowCoefficientsOf<T>& t, std::size_t sel) {
    std::size_t r = 0;
    for (std::size_t j = 0; j < h; ++j)
      if ((sel >> j) & 1) r |= high_row[j];
    for (std::size_t j = 0; j < wsize; ++j) {
      const ComplexOf<T> f = factors[r | lane_row[j]];
      t.re[2 * j] = t.re[2 * j + 1] = f.re;
      t.im[2 * j] = -f.im;
      t.im[2 * j + 1] = f.im;
    }
  };
  if (!per_window)
    for (std::size_t sel = 0; sel < (std::size_t{1} << h); ++sel) fill(tables[sel], sel);
  // Windows per call of the kernel; per window, at most one table each.
  const std::size_t batch = per_window ? kMaxTables : 256;
  const WindowCoefficientsOf<T>* of[256];
  const std::size_t windows = std::size_t{1} << (bits - wb);
  for (std::size_t first = 0; first < windows; first += batch) {
    const std::size_t n = std::min(batch, windows - first);
    for (std::size_t w = 0; w < n; ++w) {
      const std::size_t l0 = (first + w) << wb;
      std::size_t sel = 0;
      for (std::size_t j = 0; j < h; ++j) sel |= ((l0 >> high_pos[j]) & 1) << j;
      if (per_window) {
        fill(tables[w], sel);
        sel = w;
      }
      of[w] = &tables[sel];
    }
    isa.scale_windows(amps + (first << wb), wb, of, n);
  }
}

template <class T>
void scale_windows_scalar(ComplexOf<T>* amps, unsigned window_bits, const WindowCoefficientsOf<T>* const* tables,
                          std::size_t windows) {
  const std::size_t size = std::size_t{1} << window_bits;
  for (std::size_t w = 0; w < windows; ++w) {
    const WindowCoefficientsOf<T>& t = *tables[w];
    for (std::size_t j = 0; j < size; ++j, ++amps) {
      // The lane forms of cmul(f, a): f.re a.re + (-f.im) a.im and
      // f.re a.im + f.im a.re.
      const ComplexOf<T> a = *amps;
      const ComplexOf<T> y{t.re[2 * j] * a.re + t.im[2 * j] * a.im, t.re[2 * j + 1] * a.im + t.im[2 * j + 1] * a.re};
      *amps = cadd(y, ComplexOf<T>{});
    }
  }
}

template <class T>
void scale_windows_sse2(ComplexOf<T>* amps, unsigned window_bits, const WindowCoefficientsOf<T>* const* tables,
                        std::size_t windows) {
  scale_windows_of<Sse2<T>>(amps, window_bits, tables, windows);
}

namespace {

inline bool flips_row(const SignDiagonal& op, std::size_t r) { return (op.flips[r >> 6] >> (r & 63)) & 1; }

// Row bits of `op` from the positions of index l selected by `which`
// (bit i set: position i counts).
inline std::size_t row_bits(const SignDiagonal& op, std::size_t l, unsigned which) {
  std::size_t r = 0;
  for (std::size_t i = 0; i < op.count; ++i)
    if ((which >> i) & 1) r |= ((l >> op.positions[i]) & 1) << i;
  return r;
}

}  // namespace

template <class T>
void apply_flips_scalar(ComplexOf<T>* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows) {
  const std::size_t size = std::size_t{1} << window_bits;
  for (std::size_t w = 0; w < windows; ++w)
    for (std::size_t j = 0; j < size; ++j, ++amps) {
      const ComplexOf<T> a = (flips[w] >> j) & 1 ? ComplexOf<T>{-amps->re, -amps->im} : *amps;
      *amps = cadd(a, ComplexOf<T>{});
    }
}

template <class T>
void apply_flips_sse2(ComplexOf<T>* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows) {
  apply_flips_of<Sse2<T>>(amps, window_bits, flips, windows);
}

// Windows of 2^k amplitudes (k = min(6, bits)): the flip pattern of a window
// combines the gates' contributions: those whose positions all lie inside a
// window give the same pattern in every window; those whose positions all
// lie above give the same flip to a whole window; those with positions on
// both sides give one of 2^h patterns, selected by their positions above.
template <class T>
void apply_sign_run(ComplexOf<T>* amps, unsigned bits, const SignDiagonal* ops, std::size_t count,
                    const KernelTableOf<T>& isa) {
  const unsigned wb = std::min(6u, bits);
  const std::size_t wsize = std::size_t{1} << wb;
  const std::uint64_t full = wb == 6 ? ~std::uint64_t{0} : (std::uint64_t{1} << wsize) - 1;
  // The pattern of `op` in the window starting at l0.
  auto pattern = [&](const SignDiagonal& op, std::size_t l0) {
    std::uint64_t p = 0;
    for (std::size_t j = 0; j < wsize; ++j) p |= std::uint64_t{flips_row(op, row_bits(op, l0 | j, ~0u))} << j;
    return p;
  };
  constexpr std::size_t kMaxMixed = 8, kMaxMixedHigh = 4;
  struct Mixed {
    const SignDiagonal* op;
    unsigned high;  // which positions lie above the window
    std::uint64_t patterns[std::size_t{1} << kMaxMixedHigh];
  };
  Mixed mixed[kMaxMixed];
  std::size_t num_mixed = 0;
  const SignDiagonal* above[64];  // whole-window gates (more go to `others`)
  std::size_t num_above = 0;
  const SignDiagonal* others[64];
  std::size_t num_others = 0;
  std::uint64_t base = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const SignDiagonal& op = ops[k];
    unsigned high = 0;
    for (std::size_t i = 0; i < op.count; ++i)
      if (op.positions[i] >= wb) high |= 1u << i;
    const unsigned all = op.count == 32 ? ~0u : (1u << op.count) - 1;
    if (high == 0) {
      base ^= pattern(op, 0);
    } else if (high == all && num_above < 64) {
      above[num_above++] = &op;
    } else if (high != all && num_mixed < kMaxMixed && std::popcount(high) <= static_cast<int>(kMaxMixedHigh)) {
      Mixed& m = mixed[num_mixed++];
      m.op = &op;
      m.high = high;
      // Pattern for each value of the positions above, in their order.
      for (std::size_t sel = 0; sel < (std::size_t{1} << std::popcount(high)); ++sel) {
        std::size_t l0 = 0, b = 0;
        for (std::size_t i = 0; i < op.count; ++i)
          if ((high >> i) & 1) l0 |= ((sel >> b++) & 1) << op.positions[i];
        m.patterns[sel] = pattern(op, l0);
      }
    } else if (num_others < 64) {
      others[num_others++] = &op;
    } else {
      // Beyond the tables: this gate's flips alone, then the rest.
      apply_sign_run(amps, bits, ops, k, isa);
      apply_sign_run(amps, bits, ops + k, count - k, isa);
      return;
    }
  }
  constexpr std::size_t kBatch = 256;
  std::uint64_t flips[kBatch];
  const std::size_t windows = std::size_t{1} << (bits - wb);
  for (std::size_t first = 0; first < windows; first += kBatch) {
    const std::size_t n = std::min(kBatch, windows - first);
    for (std::size_t w = 0; w < n; ++w) {
      const std::size_t l0 = (first + w) << wb;
      std::uint64_t p = base;
      bool flip = false;
      for (std::size_t k = 0; k < num_above; ++k) flip ^= flips_row(*above[k], row_bits(*above[k], l0, ~0u));
      for (std::size_t k = 0; k < num_mixed; ++k) {
        const Mixed& m = mixed[k];
        std::size_t sel = 0, b = 0;
        for (std::size_t i = 0; i < m.op->count; ++i)
          if ((m.high >> i) & 1) sel |= ((l0 >> m.op->positions[i]) & 1) << b++;
        p ^= m.patterns[sel];
      }
      for (std::size_t k = 0; k < num_others; ++k) p ^= pattern(*others[k], l0);
      flips[w] = flip ? p ^ full : p;
    }
    isa.apply_flips(amps + (first << wb), wb, flips, n);
  }
}

#define VANTREL_DIAGONAL(T)                                                                                \
  template void apply_diagonal_scalar<T>(ComplexOf<T>*, unsigned, const unsigned*, std::size_t,           \
                                         const ComplexOf<T>*);                                            \
  template void apply_diagonal<T>(ComplexOf<T>*, unsigned, const unsigned*, std::size_t, const ComplexOf<T>*, \
                                  const KernelTableOf<T>&);                                               \
  template void scale_windows_scalar<T>(ComplexOf<T>*, unsigned, const WindowCoefficientsOf<T>* const*,   \
                                        std::size_t);                                                     \
  template void scale_windows_sse2<T>(ComplexOf<T>*, unsigned, const WindowCoefficientsOf<T>* const*,     \
                                      std::size_t);                                                       \
  template void apply_flips_scalar<T>(ComplexOf<T>*, unsigned, const std::uint64_t*, std::size_t);        \
  template void apply_flips_sse2<T>(ComplexOf<T>*, unsigned, const std::uint64_t*, std::size_t);          \
  template void apply_sign_run<T>(ComplexOf<T>*, unsigned, const SignDiagonal*, std::size_t,              \
                                  const KernelTableOf<T>&);
VANTREL_DIAGONAL(float)
VANTREL_DIAGONAL(double)
#undef VANTREL_DIAGONAL

}  // namespace vantrel::sim::kernels

// Diagonal gates of two or more targets, amplitude by amplitude.
//
// The general kernels apply a matrix row as a running sum from +0 over the
// row's nonzero entries (matrix.h). A row of a diagonal matrix has one
// nonzero entry, its diagonal one d[r], so amplitude a at row r becomes
//   0 + d[r] * a,
// that is cmul(d[r], a) with a negative zero component turned positive. The
// controlled kernel gives the same: its target rows compute the one-qubit
// update plus 0, where the off-diagonal product is a signed zero that can only
// decide the sign of a zero result, and the final + 0 makes that sign
// positive; its other rows give a + 0, which is 0 + 1 * a. (The one-qubit
// kernel has no final + 0: there the off-diagonal product of the partner
// amplitude decides the sign of a zero result, so a one-qubit diagonal gate
// is not a map of single amplitudes and is not applied here.)
//
// Such a gate needs no partner amplitudes: it can be applied to any set of
// amplitudes whose indices are known, for instance a block of amplitudes
// sharing the values of the qubits outside the block, where the targets
// outside the block only select which diagonal entries apply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sim/base/complex.h"
#include "sim/kernels/isa.h"

namespace vantrel::sim::kernels {

// True when every off-diagonal entry of the d x d row-major matrix is +-0.
bool is_diagonal(std::span<const Complex> matrix, std::size_t d);
bool is_diagonal(std::span<const ComplexD> matrix, std::size_t d);

// 0 + f * a for the factor of each amplitude of `amps` (2^bits entries):
// amplitude l takes factors[row(l)], where bit i of row(l) is bit
// positions[i] of l (i < count, positions distinct and below `bits`, count
// <= kMaxDiagonalTargets). Any `factors` table of 2^count entries. With the
// active table or `isa`.
inline constexpr std::size_t kMaxDiagonalTargets = 8;
template <class T>
void apply_diagonal(ComplexOf<T>* amps, unsigned bits, const unsigned* positions, std::size_t count,
                    const ComplexOf<T>* factors, const KernelTableOf<T>& isa = active_kernels_of<T>());

// The lane coefficients of the factors of a window of up to 64 amplitudes:
// re = (f.re, f.re) and im = (-f.im, f.im) per amplitude, so that a lane
// computes re * a + im * swap(a), the lane form of cmul(f, a) (lanes.h).
template <class T>
struct alignas(64) WindowCoefficientsOf {
  T re[128];
  T im[128];
};
using WindowCoefficients = WindowCoefficientsOf<float>;

// Windows of 2^window_bits amplitudes (at most 64), window w multiplied by
// the coefficients tables[w], then + 0. The variants, each reached through
// its table (isa.h); instantiated for float and double.
template <class T>
void scale_windows_scalar(ComplexOf<T>* amps, unsigned window_bits, const WindowCoefficientsOf<T>* const* tables,
                          std::size_t windows);
template <class T>
void scale_windows_sse2(ComplexOf<T>* amps, unsigned window_bits, const WindowCoefficientsOf<T>* const* tables,
                        std::size_t windows);
template <class T>
void scale_windows_avx2(ComplexOf<T>* amps, unsigned window_bits, const WindowCoefficientsOf<T>* const* tables,
                        std::size_t windows);
template <class T>
void scale_windows_avx512(ComplexOf<T>* amps, unsigned window_bits,
                          const WindowCoefficientsOf<T>* const* tables, std::size_t windows);

// The scalar form, for tests.
template <class T>
void apply_diagonal_scalar(ComplexOf<T>* amps, unsigned bits, const unsigned* positions, std::size_t count,
                           const ComplexOf<T>* factors);

// A diagonal whose factors are all exactly 1 or -1 (imaginary parts +-0),
// as CZ and multi-controlled Z are: 0 + f * a is then a with its sign
// flipped where f = -1, plus 0 (the zero products of f's imaginary part only
// decide the sign of a zero result, which the + 0 makes positive). Gates of
// this kind in a row combine: a flip undoes a flip, and a gate's + 0 only
// turns a -0 into +0, which the last gate's + 0 does as well; so a run of
// them is one flip pattern and one + 0 per amplitude.
struct SignDiagonal {
  unsigned positions[kMaxDiagonalTargets] = {};  // as for apply_diagonal
  std::size_t count = 0;
  std::uint64_t flips[4] = {};  // bit r set: the factor of row r is -1
};

// True when every factor is exactly 1 or -1 (imaginary part +-0).
bool are_signs(std::span<const Complex> factors);
bool are_signs(std::span<const ComplexD> factors);

// The flips of windows of 2^k amplitudes (k = min(6, bits)): bit j of
// `flips[w]` for amplitude w 2^k + j, then + 0 on every amplitude. The
// variants, each reached through its table (isa.h); instantiated for float
// and double.
template <class T>
void apply_flips_scalar(ComplexOf<T>* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows);
template <class T>
void apply_flips_sse2(ComplexOf<T>* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows);
template <class T>
void apply_flips_avx2(ComplexOf<T>* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows);
template <class T>
void apply_flips_avx512(ComplexOf<T>* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows);

// Applies `count` such gates in order (their combined flips, then + 0) to
// the 2^bits amplitudes, with the active table or `isa`.
template <class T>
void apply_sign_run(ComplexOf<T>* amps, unsigned bits, const SignDiagonal* ops, std::size_t count,
                    const KernelTableOf<T>& isa = active_kernels_of<T>());

}  // namespace vantrel::sim::kernels

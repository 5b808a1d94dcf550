// Running sums of Pauli terms over a state: the kernels behind expectation
// values (observable.h).
//
// A term reduces to masks: its partner index is j = i ^ x_mask (X and Y flip
// their bit) and its phase is phi_i = (-i)^ny * (-1)^popcount(i & z_mask) (Z
// and Y on a set bit negate; Y contributes -i on a clear bit and +i on a set
// bit, that is -i times the sign). With phi in {1, -i, -1, i} the product
// phi * psi[j] only permutes and negates components, exactly, and
// Re(conj(a) * y) = ar*yr + ai*yi, because conj negates ai exactly and
// x - (-p) is x + p. Writing b = psi[j], the summand of index i is
//   v_i * sign_i,  v_i = ar*br + ai*bi (phi real) or ai*br - ar*bi (phi imaginary),
// sign_i = -1 when parity(i & z_mask) differs from `negate`, else +1. Each
// product is rounded, then the two are added; multiplying by +-1 is exact.
// Negating after rounding equals rounding the negated operands (rounding to
// nearest is symmetric), so each summand is bit for bit the value of the
// factor-by-factor product for finite amplitudes; at most the sign of a zero
// summand differs, which cannot change a running sum that starts at +0.
//
// A term's sum is accumulated in double in a fixed order: the indices fall
// into segments of kSumSegment, each segment's summands are added by a plain
// running sum s = s + summand_i in ascending order from s = +0 in the
// amplitudes' precision, and the segments' sums are added in double in
// ascending order, from +0. (Short running sums keep single precision fast
// and lose little; the double total keeps the width of the state from
// eroding the result.) Every variant computes exactly that sum for every
// term; they differ only in how many terms advance at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/base/complex.h"

namespace vantrel::sim::kernels {

struct PauliMasks {
  std::uint64_t x_mask;
  std::uint64_t z_mask;
  bool imaginary;  // phi = +-i
  bool negate;     // (-i)^ny is -1 or -i
};

// Terms summed in one sweep over the state, and the smallest state a sweep
// takes (16 blocks of 16 amplitudes).
inline constexpr std::size_t kSweepTerms = 64;
inline constexpr std::size_t kSweepMinAmps = 256;
// Indices per segment of a term's sum (above); states below it are one
// segment.
inline constexpr std::size_t kSumSegment = 256;

struct PauliSweep {
  const PauliMasks* terms;
  std::size_t count;  // 1 .. kSweepTerms
};

// sums[t] = the sum of sweep.terms[t] over psi[0 .. n), n a power of
// two >= kSweepMinAmps, every partner index below n. Reads psi only; no
// allocation. The variants of KernelTableOf::pauli_sweep, instantiated for
// float and double.
template <class T>
void pauli_sweep_scalar(const ComplexOf<T>* psi, std::size_t n, const PauliSweep& sweep, double* sums);
template <class T>
void pauli_sweep_sse2(const ComplexOf<T>* psi, std::size_t n, const PauliSweep& sweep, double* sums);
template <class T>
void pauli_sweep_avx2(const ComplexOf<T>* psi, std::size_t n, const PauliSweep& sweep, double* sums);
template <class T>
void pauli_sweep_avx512(const ComplexOf<T>* psi, std::size_t n, const PauliSweep& sweep, double* sums);

// How the vector sweeps lay terms on lanes: a lane of a vector carries one
// term's running sum, so one vector addition advances that many sums by one
// index each. Terms without partner (x_mask = 0) share a single |psi_i|^2
// per index; when there are at least kMinDiagonal of them they fill groups
// of their own, the others go with the rest. The rest are ordered real
// phases first, so that a group of lanes holds one kind where it can.
inline constexpr std::size_t kMinDiagonal = 4;
struct SweepLayout {
  std::uint8_t order[kSweepTerms];  // diagonal terms, then real, then imaginary
  std::size_t diagonal = 0;         // terms in diagonal groups
  std::size_t real = 0;             // real-phase terms after them
};
SweepLayout sweep_layout(const PauliSweep& sweep);

// The sums of up to four terms of one phase kind, each a scalar running sum,
// side by side in one pass: for terms too few to fill a vector group. Like
// the sweeps, n >= kSweepMinAmps.
template <class T>
void pauli_sums_few(const ComplexOf<T>* psi, std::size_t n, const PauliMasks* const* terms, std::size_t count,
                    double* const* sums);

}  // namespace vantrel::sim::kernels

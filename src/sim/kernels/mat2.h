// The one-qubit kernel: a 2x2 matrix applied in place to every pair of
// amplitudes that differ in one qubit.
//
// Pairs are numbered p = 0 .. 2^(n-1) - 1; pair p has its first amplitude at
// block (p >> q) and offset (p & (2^q - 1)) within the block of 2^(q+1)
// amplitudes, its second 2^q further on. Each pair is updated as
//   a0' = m00 a0 + m01 a1,   a1' = m10 a0 + m11 a1
// with the products of complex.h, unfused, bit for bit equal to the scalar
// reference whatever the instruction set and however the pairs are split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "sim/base/complex.h"
#include "sim/kernels/grain.h"
#include "sim/kernels/isa.h"
#include "sim/base/pool.h"

namespace vantrel::sim::kernels {

// Pairs per piece of parallel work (grain.h).
inline constexpr std::size_t kMat2GrainPairs = kGrainAmps / 2;

// Loops that walk one sequence of amplitudes ask for the data this far
// ahead: a single sequential stream leaves part of the memory bandwidth
// unused, since a core's prefetchers keep only so many lines in flight for
// it (measured on 24 qubits: about 0.8 of a pass's time for such a loop
// against 0.6 for loops over two distant runs). Static: each file built
// with its own instruction-set flags gets its own copy (see isa.h).
inline constexpr std::size_t kPrefetchBytes = 2048;
static inline void prefetch_ahead(const void* p) {
  __builtin_prefetch(static_cast<const char*>(p) + kPrefetchBytes);
}

// The structure of a one-qubit matrix that the vector kernels use: a product
// whose coefficient is +-0 is a signed zero for finite amplitudes, and
// leaving such products out changes nothing unless the result is zero (a
// nonzero sum has at least one nonzero term, and adding a signed zero to a
// nonzero value leaves it as it is). So a shape computes only the products
// of nonzero coefficients, and recomputes with all four every register in
// which some lane came out +-0: the bits of the general update either way.
// Shapes: X (off-diagonal entries exactly 1, the diagonal +-0: the partner
// moved, no arithmetic), real (every imaginary part +-0: RY, H), real
// diagonal with imaginary off-diagonal entries (RX, Y), diagonal
// (off-diagonal entries +-0: RZ, P, S, T) and anti-diagonal (diagonal +-0:
// X and Y with phases).
enum class Mat2Shape : std::uint8_t { kGeneral, kReal, kRealImaginary, kDiagonal, kSwap, kAntiDiagonal };
template <class T>
Mat2Shape mat2_shape(const ComplexOf<T> m[4]);

// Updates pairs [lo, hi) of qubit q with the active table (any cut).
void mat2_pairs(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi);

// The variants, each reached through its table (isa.h): the scalar
// reference, the SSE2 baseline, AVX2 and AVX-512 (called only where the
// processor has them); instantiated for float and double.
template <class T>
void mat2_pairs_scalar(ComplexOf<T>* amps, unsigned q, const ComplexOf<T> m[4], std::size_t lo, std::size_t hi);
template <class T>
void mat2_pairs_sse2(ComplexOf<T>* amps, unsigned q, const ComplexOf<T> m[4], std::size_t lo, std::size_t hi);
template <class T>
void mat2_pairs_avx2(ComplexOf<T>* amps, unsigned q, const ComplexOf<T> m[4], std::size_t lo, std::size_t hi);
template <class T>
void mat2_pairs_avx512(ComplexOf<T>* amps, unsigned q, const ComplexOf<T> m[4], std::size_t lo, std::size_t hi);

// The controlled form (matrix.h, ControlledMat2): pairs [lo, hi) of qubit t,
// pair p updated by m plus 0 when (p & low) == low, else a + 0 on both
// amplitudes; low < 2^kControlWindowBits. The variants of
// KernelTableOf::controlled_pairs; the scalar one also serves the others'
// tails.
template <class T>
void controlled_pairs_scalar(ComplexOf<T>* amps, unsigned t, const ComplexOf<T> m[4], std::uint32_t low,
                             std::size_t lo, std::size_t hi);
template <class T>
void controlled_pairs_sse2(ComplexOf<T>* amps, unsigned t, const ComplexOf<T> m[4], std::uint32_t low,
                           std::size_t lo, std::size_t hi);
template <class T>
void controlled_pairs_avx2(ComplexOf<T>* amps, unsigned t, const ComplexOf<T> m[4], std::uint32_t low,
                           std::size_t lo, std::size_t hi);
template <class T>
void controlled_pairs_avx512(ComplexOf<T>* amps, unsigned t, const ComplexOf<T> m[4], std::uint32_t low,
                             std::size_t lo, std::size_t hi);

// Applies m to qubit q of `amps` (2^n entries, q < n), parallel under Exec,
// with the kernels of `isa` (T from the table, else float).
template <class Exec, class T = float>
void apply_mat2(std::type_identity_t<std::span<ComplexOf<T>>> amps, std::uint64_t q,
                const std::type_identity_t<ComplexOf<T>>* m, const KernelTableOf<T>& isa = active_kernels_of<T>()) {
  Exec::num_threads();  // every kernel call makes sure the pool exists
  const std::size_t pairs = amps.size() / 2;
  ComplexOf<T>* data = amps.data();
  const unsigned qubit = static_cast<unsigned>(q);
  const auto kernel = isa.mat2_pairs;
  Exec::parallel_for(pairs, kMat2GrainPairs,
                     [&](std::size_t lo, std::size_t hi) { kernel(data, qubit, m, lo, hi); });
}

// The scalar update of one pair: the reference arithmetic (with kPlusZero,
// then + 0 on each result). Static: each file built with its own
// instruction-set flags gets its own copy (see isa.h).
template <bool kPlusZero = false, class T>
static inline void mat2_pair_scalar(ComplexOf<T>* a0, ComplexOf<T>* a1, const ComplexOf<T> m[4]) {
  const ComplexOf<T> x0 = *a0, x1 = *a1;
  ComplexOf<T> y0 = cadd(cmul(m[0], x0), cmul(m[1], x1));
  ComplexOf<T> y1 = cadd(cmul(m[2], x0), cmul(m[3], x1));
  if constexpr (kPlusZero) {
    y0 = cadd(y0, ComplexOf<T>{});
    y1 = cadd(y1, ComplexOf<T>{});
  }
  *a0 = y0;
  *a1 = y1;
}

}  // namespace vantrel::sim::kernels

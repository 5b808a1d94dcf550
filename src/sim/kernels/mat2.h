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

#include "sim/complex.h"
#include "sim/pool.h"

namespace vantrel::sim::kernels {

// Pairs per piece of parallel work: smaller passes stay on the calling
// thread, since a hand-over costs more than they do. Measured: a register of
// 14 qubits (2^13 pairs, about 12 us) gains nothing from two threads, while
// one of 15 or more does.
inline constexpr std::size_t kMat2GrainPairs = std::size_t{1} << 14;

// Updates pairs [lo, hi) of qubit q with the best variant for this processor.
void mat2_pairs(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi);

// The variants, for tests: the SSE2 baseline and, where the processor has it,
// AVX2.
void mat2_pairs_sse2(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi);
void mat2_pairs_avx2(Complex* amps, unsigned q, const Complex m[4], std::size_t lo, std::size_t hi);
bool cpu_has_avx2();

// Applies m to qubit q of `amps` (2^n entries, q < n), parallel under Exec.
template <class Exec>
void apply_mat2(std::span<Complex> amps, std::uint64_t q, const Complex m[4]) {
  Exec::num_threads();  // every kernel call makes sure the pool exists
  const std::size_t pairs = amps.size() / 2;
  Complex* data = amps.data();
  const unsigned qubit = static_cast<unsigned>(q);
  Exec::parallel_for(pairs, kMat2GrainPairs,
                     [&](std::size_t lo, std::size_t hi) { mat2_pairs(data, qubit, m, lo, hi); });
}

// The scalar update of one pair: the reference arithmetic (with kPlusZero,
// then + 0 on each result).
template <bool kPlusZero = false>
inline void mat2_pair_scalar(Complex* a0, Complex* a1, const Complex m[4]) {
  const Complex x0 = *a0, x1 = *a1;
  Complex y0 = cadd(cmul(m[0], x0), cmul(m[1], x1));
  Complex y1 = cadd(cmul(m[2], x0), cmul(m[3], x1));
  if constexpr (kPlusZero) {
    y0 = cadd(y0, Complex{0.0f, 0.0f});
    y1 = cadd(y1, Complex{0.0f, 0.0f});
  }
  *a0 = y0;
  *a1 = y1;
}

}  // namespace vantrel::sim::kernels

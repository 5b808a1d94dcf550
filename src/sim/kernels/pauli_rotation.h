// The Pauli-string rotation exp(-i phi/2 P) = cos(phi/2) I - i sin(phi/2) P,
// applied in one pass over the amplitudes.
//
// P is given by masks: `x` holds the qubits whose factor is X or Y (the bits
// P flips), `z` those whose factor is Z or Y (the bits whose value 1 negates),
// `ny` counts the Y factors. Then (P psi)[i] = phi_i psi[i ^ x] with
//   phi_i = (-i)^ny (-1)^popcount(i & z),
// since Y = -i Z X up to the order in which it acts on its bit (-i on a
// clear bit, +i on a set one). With c = cos(phi/2) and s = sin(phi/2) the
// new amplitude is
//   psi'[i] = c psi[i] + m_i psi[i ^ x],   m_i = -i s phi_i = s (-i)^e_i,
//   e_i = (ny + 2 popcount(i & z) + 1) mod 4,
// and the arithmetic, the same in every variant, is
//   psi'[i].re = c * a.re + t.re,   psi'[i].im = c * a.im + t.im
// with a = psi[i], b = psi[i ^ x] and t = m_i b formed exactly from the two
// rounded products u = s * b.re and v = s * b.im:
//   e = 0: t = (u, v)   e = 1: t = (v, -u)   e = 2: t = (-u, -v)   e = 3: t = (-v, u).
// Negation is exact, so t is the complex product m_i b of complex.h for
// finite values up to the sign of zero terms.
//
// With x = 0 (only Z factors) the rotation is diagonal: each amplitude is
// multiplied by e^(-i phi/2) or e^(+i phi/2) by the parity of its Z bits, and
// no amplitude reads another. With x != 0 amplitudes are updated in pairs
// (i, i ^ x). Either way every amplitude's new value depends only on the old
// values of itself and its partner, so the result is the same bits however
// the pass is cut into pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "sim/base/complex.h"
#include "sim/kernels/grain.h"

namespace vantrel::sim::kernels {

struct RotationMasks {
  std::uint64_t x = 0;  // X or Y factors
  std::uint64_t z = 0;  // Z or Y factors
  unsigned ny = 0;      // Y factors
};

// One variant of the pass: it cuts the pass into items (blocks of
// consecutive amplitudes, one vector each, or pairs of blocks when x links
// amplitudes of different blocks) and updates any range of them in place.
// The variants differ in the width of their vectors, so in their items, and
// give the same bits.
template <class T>
struct RotationKernelOf {
  const char* name;
  std::size_t block;  // amplitudes per block; passes over fewer take another variant
  std::size_t (*items)(std::size_t amplitudes, const RotationMasks& m);
  void (*range)(ComplexOf<T>* amps, const RotationMasks& m, T c, T s, std::size_t lo, std::size_t hi);
};
using RotationKernel = RotationKernelOf<float>;

// SSE2 (two single- or one double-precision amplitude per vector, every
// x86-64), AVX2 (four or two) and AVX-512 (eight or four); the wider ones
// only where the processor runs them.
extern const RotationKernelOf<float> kRotationSse2;
extern const RotationKernelOf<float> kRotationAvx2;
extern const RotationKernelOf<float> kRotationAvx512;
extern const RotationKernelOf<double> kRotationSse2Double;
extern const RotationKernelOf<double> kRotationAvx2Double;
extern const RotationKernelOf<double> kRotationAvx512Double;

// The variant of the engine's kernel table (isa.h) when its blocks fit a
// pass over `amplitudes` (a power of two, at least 2) amplitudes, else the
// widest narrower one that fits. rotation_kernel is the single-precision one.
template <class T>
const RotationKernelOf<T>& rotation_kernel_of(std::size_t amplitudes);
inline const RotationKernel& rotation_kernel(std::size_t amplitudes) { return rotation_kernel_of<float>(amplitudes); }

// Items per piece of parallel work (grain.h): an item holds from one
// amplitude (SSE2 double, no partner vector) to sixteen (AVX-512 single
// pairs); the grain counts four, an AVX2 single-precision vector's.
inline constexpr std::size_t kPauliGrainItems = kGrainAmps / 4;

// Applies the rotation to `amps` (2^n entries, n >= 1; every qubit of the
// masks below n; the masks not both zero), parallel under Exec.
template <class Exec, class T = float>
void apply_pauli_rotation(std::type_identity_t<std::span<ComplexOf<T>>> amps, const RotationMasks& m,
                          std::type_identity_t<T> c, std::type_identity_t<T> s,
                          const RotationKernelOf<T>* kernel = nullptr) {
  Exec::num_threads();  // every kernel call makes sure the pool exists
  const RotationKernelOf<T>& k = kernel ? *kernel : rotation_kernel_of<T>(amps.size());
  ComplexOf<T>* data = amps.data();
  Exec::parallel_for(k.items(amps.size(), m), kPauliGrainItems,
                     [&](std::size_t lo, std::size_t hi) { k.range(data, m, c, s, lo, hi); });
}

}  // namespace vantrel::sim::kernels

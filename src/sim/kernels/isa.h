// The instruction sets the kernels are written for, and one table of kernels
// per instruction set.
//
// Every variant performs, lane by lane, exactly the scalar operations of the
// plain reference loops (kernels/reference.h), so a table changes the speed of
// a kernel, never a bit of its result. The table in use is chosen once, from
// the processor's features and what the operating system saves on a context
// switch; tests and benchmarks reach every table the processor runs through
// supported_kernel_tables().
//
// Wider instruction sets live in files named for them (*_avx2.cpp,
// *_avx512.cpp), the only ones built with the matching compiler flags; the
// rest of the engine runs on any x86-64. Helpers that such files share
// through headers have internal linkage (static, or an unnamed namespace):
// an inline function with external linkage would be emitted by several
// files with different flags and the linker would keep any one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sim/base/complex.h"

namespace vantrel::sim::kernels {

template <class T, std::size_t D>
struct DirectPlanOf;
struct PauliSweep;
template <class T>
struct Mat2BlockOf;
template <class T>
struct ControlledMat2Of;
template <class T>
struct WindowCoefficientsOf;
template <class T>
struct RotationKernelOf;
struct PauliMasks;
template <class T>
struct TermLanesOf;

enum class Isa : std::uint8_t { kScalar, kSse2, kAvx2, kAvx512 };

// The kernels of one instruction set for amplitudes ComplexOf<T> (T float or
// double); the same algorithms at both precisions.
template <class T>
struct KernelTableOf {
  using Amp = ComplexOf<T>;
  Isa isa;
  const char* name;

  // One-qubit kernel: updates pairs [lo, hi) of qubit q (numbered as in
  // mat2.h); any cut.
  void (*mat2_pairs)(Amp* amps, unsigned q, const Amp m[4], std::size_t lo, std::size_t hi);

  // Pairs [lo, hi) of qubit t: pair p gets the update by m plus 0 when
  // (p & low) == low, else a + 0 on both amplitudes. Requires low < 2^5.
  void (*controlled_pairs)(Amp* amps, unsigned t, const Amp m[4], std::uint32_t low, std::size_t lo,
                           std::size_t hi);

  // One row of a chunk of gathered groups (matrix.h): out[i] = sum over
  // e < count, increasing, of vals[e] * scratch[cols[e] * width + i], from +0,
  // for i < c.
  void (*row_sums)(const Amp* vals, const std::uint32_t* cols, std::size_t count, const Amp* scratch,
                   std::size_t width, std::size_t c, Amp* out);

  // Two- and three-qubit matrices applied in place to groups [lo, hi); null
  // where the instruction set has none, and such matrices take the
  // gathering path.
  void (*direct4)(Amp* amps, const DirectPlanOf<T, 4>& plan, std::size_t lo, std::size_t hi);
  void (*direct8)(Amp* amps, const DirectPlanOf<T, 8>& plan, std::size_t lo, std::size_t hi);

  // The sums of a sweep of Pauli terms over the whole state (pauli.h).
  void (*pauli_sweep)(const Amp* psi, std::size_t n, const PauliSweep& sweep, double* sums);

  // Whole blocks of 2^bits amplitudes, as the executor applies gates to
  // blocks in cache (block.h): a one-qubit matrix with its shortcuts, and
  // controlled X.
  void (*block_mat2)(Amp* amps, unsigned bits, const Mat2BlockOf<T>& op);
  void (*block_controlled_x)(Amp* amps, unsigned bits, const ControlledMat2Of<T>& c);

  // Diagonal gates over windows of 2^window_bits amplitudes (diagonal.h):
  // the flips of factors 1 and -1, and factors in general, each then + 0.
  void (*apply_flips)(Amp* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows);
  void (*scale_windows)(Amp* amps, unsigned window_bits, const WindowCoefficientsOf<T>* const* tables,
                        std::size_t windows);

  // The value of a chunk [lo, hi) of the adjoint inner product
  // Im <lambda|P|psi> (adjoint_inner.h).
  double (*imag_pauli_chunk)(const Amp* lambda, const Amp* psi, const PauliMasks& m, std::size_t lo,
                             std::size_t hi);

  // One Pauli term of H psi added to a block of running sums
  // (observable_apply.h); but for the scalar table's, base and count are
  // multiples of kTermGroup.
  void (*add_term)(Amp* acc, const Amp* psi, std::size_t base, std::size_t count, const TermLanesOf<T>& t);

  // The Pauli-string rotation pass (pauli_rotation.h); the scalar table
  // takes the SSE2 one, every x86-64's.
  const RotationKernelOf<T>* rotation;
};
using KernelTable = KernelTableOf<float>;

// The table of the widest instruction set this processor runs; chosen on
// first use and never changed. active_kernels() is the single-precision one.
template <class T>
const KernelTableOf<T>& active_kernels_of();
inline const KernelTable& active_kernels() { return active_kernels_of<float>(); }

// Every table this processor runs, narrowest first: the scalar reference and
// SSE2 always, then AVX2 and AVX-512 where available.
template <class T>
std::span<const KernelTableOf<T>* const> supported_kernel_tables_of();
inline std::span<const KernelTable* const> supported_kernel_tables() { return supported_kernel_tables_of<float>(); }

// The widest instruction set the processor and the operating system support
// (CPUID feature bits, and XGETBV for the registers the system saves).
Isa detect_isa();

}  // namespace vantrel::sim::kernels

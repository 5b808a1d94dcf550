// Kernels over whole blocks (2^bits contiguous amplitudes, one thread), as
// the executor applies them to blocks in cache: the loops' set-up is made
// once per block rather than once per run of pairs, and structured matrices
// take exact shortcuts.
//
// One-qubit matrices take the shapes of mat2.h (Mat2Shape), which change no
// bit of the result.
//
// Controlled X. A controlled gate adds 0 to the one-qubit update of its
// target pairs (matrix.h); with X as the target matrix the update adds two
// signed-zero products to the other amplitude of the pair, so a target pair
// becomes (a1 + 0, a0 + 0) and every other amplitude a + 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/base/complex.h"
#include "sim/kernels/isa.h"
#include "sim/kernels/mat2.h"
#include "sim/kernels/matrix.h"

namespace vantrel::sim::kernels {

template <class T>
struct Mat2BlockOf {
  using Shape = Mat2Shape;
  unsigned q = 0;
  ComplexOf<T> m[4] = {};
  Shape shape = Shape::kGeneral;
};
using Mat2Block = Mat2BlockOf<float>;

// Classifies m; the result applies m to qubit q.
template <class T>
Mat2BlockOf<T> prepare_mat2_block(unsigned q, const ComplexOf<T> m[4]);

// True when c's target matrix is X exactly (zeros +-0, ones with imaginary
// part +-0).
template <class T>
bool is_controlled_x(const ControlledMat2Of<T>& c);

// The update of every pair of a block of 2^bits amplitudes (q < bits), with
// the active table or `isa`. (Static: see isa.h on helpers in headers.)
template <class T>
static inline void block_mat2(ComplexOf<T>* amps, unsigned bits, const Mat2BlockOf<T>& op,
                              const KernelTableOf<T>& isa = active_kernels_of<T>()) {
  isa.block_mat2(amps, bits, op);
}
// Controlled X on a block (the controls and target below bits).
template <class T>
static inline void block_controlled_x(ComplexOf<T>* amps, unsigned bits, const ControlledMat2Of<T>& c,
                                      const KernelTableOf<T>& isa = active_kernels_of<T>()) {
  isa.block_controlled_x(amps, bits, c);
}

// The variants, each reached through its table (isa.h): the scalar loops
// over the pairs (no shortcuts), and the SSE2, AVX2 and AVX-512 forms
// (block_lanes.h); instantiated for float and double.
template <class T>
void block_mat2_scalar(ComplexOf<T>* amps, unsigned bits, const Mat2BlockOf<T>& op);
template <class T>
void block_mat2_sse2(ComplexOf<T>* amps, unsigned bits, const Mat2BlockOf<T>& op);
template <class T>
void block_mat2_avx2(ComplexOf<T>* amps, unsigned bits, const Mat2BlockOf<T>& op);
template <class T>
void block_mat2_avx512(ComplexOf<T>* amps, unsigned bits, const Mat2BlockOf<T>& op);
template <class T>
void block_controlled_x_scalar(ComplexOf<T>* amps, unsigned bits, const ControlledMat2Of<T>& c);
template <class T>
void block_controlled_x_sse2(ComplexOf<T>* amps, unsigned bits, const ControlledMat2Of<T>& c);
template <class T>
void block_controlled_x_avx2(ComplexOf<T>* amps, unsigned bits, const ControlledMat2Of<T>& c);
template <class T>
void block_controlled_x_avx512(ComplexOf<T>* amps, unsigned bits, const ControlledMat2Of<T>& c);

}  // namespace vantrel::sim::kernels

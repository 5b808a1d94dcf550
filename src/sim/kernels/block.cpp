// The classification of block gates, the scalar block kernels and the SSE2
// forms (block_lanes.h).
#include "sim/kernels/block.h"

#include "sim/kernels/lanes_sse2.h"
#include "sim/kernels/block_lanes.h"
#include "sim/kernels/mat2.h"

namespace vantrel::sim::kernels {
namespace {

template <class T>
inline bool zero(ComplexOf<T> c) {
  return c.re == T(0) && c.im == T(0);
}

}  // namespace

template <class T>
Mat2BlockOf<T> prepare_mat2_block(unsigned q, const ComplexOf<T> m[4]) {
  Mat2BlockOf<T> op;
  op.q = q;
  for (int i = 0; i < 4; ++i) op.m[i] = m[i];
  op.shape = mat2_shape(m);
  return op;
}

template <class T>
bool is_controlled_x(const ControlledMat2Of<T>& c) {
  return zero(c.u[0]) && zero(c.u[3]) && c.u[1].re == T(1) && c.u[1].im == T(0) && c.u[2].re == T(1) &&
         c.u[2].im == T(0);
}

template <class T>
void block_mat2_scalar(ComplexOf<T>* amps, unsigned bits, const Mat2BlockOf<T>& op) {
  mat2_pairs_scalar(amps, op.q, op.m, 0, std::size_t{1} << (bits - 1));
}

template <class T>
void block_mat2_sse2(ComplexOf<T>* amps, unsigned bits, const Mat2BlockOf<T>& op) {
  block_mat2_of<Sse2<T>>(amps, bits, op);
}

// Pair p (numbered as in mat2.h) with every control set becomes
// (a1 + 0, a0 + 0); every other amplitude a + 0.
template <class T>
void block_controlled_x_scalar(ComplexOf<T>* amps, unsigned bits, const ControlledMat2Of<T>& c) {
  const unsigned t = c.target;
  const std::size_t s = std::size_t{1} << t, cp = c.low | c.high;
  const ComplexOf<T> zero{};
  for (std::size_t p = 0; p < (std::size_t{1} << (bits - 1)); ++p) {
    ComplexOf<T>* a0 = amps + ((p >> t) << (t + 1)) + (p & (s - 1));
    const ComplexOf<T> x0 = *a0, x1 = a0[s];
    const bool on = (p & cp) == cp;
    *a0 = cadd(on ? x1 : x0, zero);
    a0[s] = cadd(on ? x0 : x1, zero);
  }
}

template <class T>
void block_controlled_x_sse2(ComplexOf<T>* amps, unsigned bits, const ControlledMat2Of<T>& c) {
  block_controlled_x_of<Sse2<T>>(amps, bits, c);
}

#define VANTREL_BLOCK(T)                                                                           \
  template Mat2BlockOf<T> prepare_mat2_block<T>(unsigned, const ComplexOf<T>*);                   \
  template bool is_controlled_x<T>(const ControlledMat2Of<T>&);                                   \
  template void block_mat2_scalar<T>(ComplexOf<T>*, unsigned, const Mat2BlockOf<T>&);             \
  template void block_mat2_sse2<T>(ComplexOf<T>*, unsigned, const Mat2BlockOf<T>&);               \
  template void block_controlled_x_scalar<T>(ComplexOf<T>*, unsigned, const ControlledMat2Of<T>&); \
  template void block_controlled_x_sse2<T>(ComplexOf<T>*, unsigned, const ControlledMat2Of<T>&);
VANTREL_BLOCK(float)
VANTREL_BLOCK(double)
#undef VANTREL_BLOCK

}  // namespace vantrel::sim::kernels

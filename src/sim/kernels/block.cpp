#include "sim/kernels/block.h"

#include "sim/kernels/mat2.h"

namespace vantrel::sim::kernels {
namespace {

inline bool zero(Complex c) { return c.re == 0.0f && c.im == 0.0f; }
inline bool real(Complex c) { return c.im == 0.0f; }
inline bool imaginary(Complex c) { return c.re == 0.0f; }

}  // namespace

Mat2Block prepare_mat2_block(unsigned q, const Complex m[4]) {
  Mat2Block op;
  op.q = q;
  for (int i = 0; i < 4; ++i) op.m[i] = m[i];
  if (real(m[0]) && real(m[1]) && real(m[2]) && real(m[3])) {
    op.shape = Mat2Block::Shape::kReal;
  } else if (real(m[0]) && real(m[3]) && imaginary(m[1]) && imaginary(m[2])) {
    op.shape = Mat2Block::Shape::kRealImaginary;
  } else if (zero(m[1]) && zero(m[2])) {
    op.shape = Mat2Block::Shape::kDiagonal;
  }
  return op;
}

bool is_controlled_x(const ControlledMat2& c) {
  return zero(c.u[0]) && zero(c.u[3]) && c.u[1].re == 1.0f && c.u[1].im == 0.0f && c.u[2].re == 1.0f &&
         c.u[2].im == 0.0f;
}

void block_mat2_scalar(Complex* amps, unsigned bits, const Mat2Block& op) {
  mat2_pairs_scalar(amps, op.q, op.m, 0, std::size_t{1} << (bits - 1));
}

void block_mat2_sse2(Complex* amps, unsigned bits, const Mat2Block& op) {
  mat2_pairs_sse2(amps, op.q, op.m, 0, std::size_t{1} << (bits - 1));
}

// Pair p (numbered as in mat2.h) with every control set becomes
// (a1 + 0, a0 + 0); every other amplitude a + 0.
void block_controlled_x_scalar(Complex* amps, unsigned bits, const ControlledMat2& c) {
  const unsigned t = c.target;
  const std::size_t s = std::size_t{1} << t, cp = c.low | c.high;
  const Complex zero{0.0f, 0.0f};
  for (std::size_t p = 0; p < (std::size_t{1} << (bits - 1)); ++p) {
    Complex* a0 = amps + ((p >> t) << (t + 1)) + (p & (s - 1));
    const Complex x0 = *a0, x1 = a0[s];
    const bool on = (p & cp) == cp;
    *a0 = cadd(on ? x1 : x0, zero);
    a0[s] = cadd(on ? x0 : x1, zero);
  }
}

}  // namespace vantrel::sim::kernels

// The AVX2 forms of the block kernels (block_lanes.h). Built with the AVX2
// flags only (never FMA); reached only through the AVX2 tables.
#include "sim/kernels/block_lanes.h"
#include "sim/kernels/lanes_avx2.h"

namespace vantrel::sim::kernels {

template <class T>
void block_mat2_avx2(ComplexOf<T>* amps, unsigned bits, const Mat2BlockOf<T>& op) {
  block_mat2_of<Avx2<T>>(amps, bits, op);
}

template <class T>
void block_controlled_x_avx2(ComplexOf<T>* amps, unsigned bits, const ControlledMat2Of<T>& c) {
  block_controlled_x_of<Avx2<T>>(amps, bits, c);
}

template void block_mat2_avx2<float>(Complex*, unsigned, const Mat2BlockOf<float>&);
template void block_mat2_avx2<double>(ComplexD*, unsigned, const Mat2BlockOf<double>&);
template void block_controlled_x_avx2<float>(Complex*, unsigned, const ControlledMat2Of<float>&);
template void block_controlled_x_avx2<double>(ComplexD*, unsigned, const ControlledMat2Of<double>&);

}  // namespace vantrel::sim::kernels

// The AVX-512 variants of the one-qubit kernel and its controlled form
// (mat2_lanes.h). Built with the AVX-512 flags only (never FMA); called only
// where the processor runs them.
#include "sim/kernels/lanes_avx512.h"
#include "sim/kernels/mat2_lanes.h"

namespace vantrel::sim::kernels {

template <class T>
void mat2_pairs_avx512(ComplexOf<T>* amps, unsigned q, const ComplexOf<T> m[4], std::size_t lo, std::size_t hi) {
  mat2_pairs_of<Avx512<T>>(amps, q, m, lo, hi);
}

template <class T>
void controlled_pairs_avx512(ComplexOf<T>* amps, unsigned t, const ComplexOf<T> m[4], std::uint32_t low,
                           std::size_t lo, std::size_t hi) {
  controlled_pairs_of<Avx512<T>>(amps, t, m, low, lo, hi);
}

template void mat2_pairs_avx512<float>(Complex*, unsigned, const Complex*, std::size_t, std::size_t);
template void mat2_pairs_avx512<double>(ComplexD*, unsigned, const ComplexD*, std::size_t, std::size_t);
template void controlled_pairs_avx512<float>(Complex*, unsigned, const Complex*, std::uint32_t, std::size_t,
                                           std::size_t);
template void controlled_pairs_avx512<double>(ComplexD*, unsigned, const ComplexD*, std::uint32_t, std::size_t,
                                            std::size_t);

}  // namespace vantrel::sim::kernels

// The AVX2 forms of the diagonal kernels (diagonal_lanes.h). Built with the
// AVX2 flags only (never FMA); reached only through the AVX2 tables.
#include "sim/kernels/diagonal_lanes.h"
#include "sim/kernels/lanes_avx2.h"

namespace vantrel::sim::kernels {

template <class T>
void apply_flips_avx2(ComplexOf<T>* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows) {
  apply_flips_of<Avx2<T>>(amps, window_bits, flips, windows);
}

template <class T>
void scale_windows_avx2(ComplexOf<T>* amps, unsigned window_bits, const WindowCoefficientsOf<T>* const* tables,
                        std::size_t windows) {
  scale_windows_of<Avx2<T>>(amps, window_bits, tables, windows);
}

template void apply_flips_avx2<float>(Complex*, unsigned, const std::uint64_t*, std::size_t);
template void apply_flips_avx2<double>(ComplexD*, unsigned, const std::uint64_t*, std::size_t);
template void scale_windows_avx2<float>(Complex*, unsigned, const WindowCoefficientsOf<float>* const*,
                                        std::size_t);
template void scale_windows_avx2<double>(ComplexD*, unsigned, const WindowCoefficientsOf<double>* const*,
                                         std::size_t);

}  // namespace vantrel::sim::kernels

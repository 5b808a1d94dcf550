// The AVX-512 forms of the diagonal kernels (diagonal_lanes.h). Built with the
// AVX-512 flags only (never FMA); reached only through the AVX-512 tables.
#include "sim/kernels/diagonal_lanes.h"
#include "sim/kernels/lanes_avx512.h"

namespace vantrel::sim::kernels {

template <class T>
void apply_flips_avx512(ComplexOf<T>* amps, unsigned window_bits, const std::uint64_t* flips, std::size_t windows) {
  apply_flips_of<Avx512<T>>(amps, window_bits, flips, windows);
}

template <class T>
void scale_windows_avx512(ComplexOf<T>* amps, unsigned window_bits, const WindowCoefficientsOf<T>* const* tables,
                        std::size_t windows) {
  scale_windows_of<Avx512<T>>(amps, window_bits, tables, windows);
}

template void apply_flips_avx512<float>(Complex*, unsigned, const std::uint64_t*, std::size_t);
template void apply_flips_avx512<double>(ComplexD*, unsigned, const std::uint64_t*, std::size_t);
template void scale_windows_avx512<float>(Complex*, unsigned, const WindowCoefficientsOf<float>* const*,
                                        std::size_t);
template void scale_windows_avx512<double>(ComplexD*, unsigned, const WindowCoefficientsOf<double>* const*,
                                         std::size_t);

}  // namespace vantrel::sim::kernels

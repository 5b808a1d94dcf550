#include "sim/kernels/isa.h"

#include <cpuid.h>

#include "sim/kernels/adjoint_inner.h"
#include "sim/kernels/block.h"
#include "sim/kernels/diagonal.h"
#include "sim/kernels/mat2.h"
#include "sim/kernels/matrix.h"
#include "sim/kernels/observable_apply.h"
#include "sim/kernels/pauli.h"
#include "sim/kernels/pauli_rotation.h"

namespace vantrel::sim::kernels {
namespace {

// XCR0: the register state the operating system saves and restores.
std::uint64_t xcr0() {
  std::uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (std::uint64_t{hi} << 32) | lo;
}

// Table entries for the scalar reference, whose row sums start at lane 0.
template <class T>
void row_sums_scalar_all(const ComplexOf<T>* vals, const std::uint32_t* cols, std::size_t count,
                         const ComplexOf<T>* scratch, std::size_t width, std::size_t c, ComplexOf<T>* out) {
  row_sums_scalar(vals, cols, count, scratch, width, 0, c, out);
}

// The rotation variants of each precision, narrowest first.
template <class T>
struct Rotations;
template <>
struct Rotations<float> {
  static constexpr const RotationKernelOf<float>* kSse2 = &kRotationSse2;
  static constexpr const RotationKernelOf<float>* kAvx2 = &kRotationAvx2;
  static constexpr const RotationKernelOf<float>* kAvx512 = &kRotationAvx512;
};
template <>
struct Rotations<double> {
  static constexpr const RotationKernelOf<double>* kSse2 = &kRotationSse2Double;
  static constexpr const RotationKernelOf<double>* kAvx2 = &kRotationAvx2Double;
  static constexpr const RotationKernelOf<double>* kAvx512 = &kRotationAvx512Double;
};

template <class T>
constexpr KernelTableOf<T> kScalar = {Isa::kScalar,
                                      "scalar",
                                      &mat2_pairs_scalar<T>,
                                      &controlled_pairs_scalar<T>,
                                      &row_sums_scalar_all<T>,
                                      nullptr,
                                      nullptr,
                                      &pauli_sweep_scalar<T>,
                                      &block_mat2_scalar<T>,
                                      &block_controlled_x_scalar<T>,
                                      &apply_flips_scalar<T>,
                                      &scale_windows_scalar<T>,
                                      &imag_pauli_chunk_scalar<T>,
                                      &add_term_scalar<T>,
                                      Rotations<T>::kSse2};
template <class T>
constexpr KernelTableOf<T> kSse2 = {Isa::kSse2,
                                    "SSE2",
                                    &mat2_pairs_sse2<T>,
                                    &controlled_pairs_sse2<T>,
                                    &row_sums_sse2<T>,
                                    nullptr,
                                    nullptr,
                                    &pauli_sweep_sse2<T>,
                                    &block_mat2_sse2<T>,
                                    &block_controlled_x_sse2<T>,
                                    &apply_flips_sse2<T>,
                                    &scale_windows_sse2<T>,
                                    &imag_pauli_chunk_sse2<T>,
                                    &add_term_sse2<T>,
                                    Rotations<T>::kSse2};
template <class T>
constexpr KernelTableOf<T> kAvx2 = {Isa::kAvx2,
                                    "AVX2",
                                    &mat2_pairs_avx2<T>,
                                    &controlled_pairs_avx2<T>,
                                    &row_sums_avx2<T>,
                                    &direct_groups_avx2<T, 4>,
                                    &direct_groups_avx2<T, 8>,
                                    &pauli_sweep_avx2<T>,
                                    &block_mat2_avx2<T>,
                                    &block_controlled_x_avx2<T>,
                                    &apply_flips_avx2<T>,
                                    &scale_windows_avx2<T>,
                                    &imag_pauli_chunk_avx2<T>,
                                    &add_term_avx2<T>,
                                    Rotations<T>::kAvx2};
template <class T>
constexpr KernelTableOf<T> kAvx512 = {Isa::kAvx512,
                                      "AVX-512",
                                      &mat2_pairs_avx512<T>,
                                      &controlled_pairs_avx512<T>,
                                      &row_sums_avx512<T>,
                                      &direct_groups_avx512<T, 4>,
                                      &direct_groups_avx512<T, 8>,
                                      &pauli_sweep_avx512<T>,
                                      &block_mat2_avx512<T>,
                                      &block_controlled_x_avx512<T>,
                                      &apply_flips_avx512<T>,
                                      &scale_windows_avx512<T>,
                                      &imag_pauli_chunk_avx512<T>,
                                      &add_term_avx512<T>,
                                      Rotations<T>::kAvx512};

template <class T>
constexpr const KernelTableOf<T>* kAll[] = {&kScalar<T>, &kSse2<T>, &kAvx2<T>, &kAvx512<T>};

}  // namespace

Isa detect_isa() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_max(0, nullptr) < 7 || !__get_cpuid(1, &a, &b, &c, &d)) return Isa::kSse2;
  // AVX state (XMM and YMM) must be enabled by the system, not only present.
  if (!(c & bit_OSXSAVE) || !(c & bit_AVX)) return Isa::kSse2;
  const std::uint64_t saved = xcr0();
  if ((saved & 0x6) != 0x6) return Isa::kSse2;
  __cpuid_count(7, 0, a, b, c, d);
  if (!(b & bit_AVX2)) return Isa::kSse2;
  // AVX-512 also needs the opmask and both halves of the ZMM state (bits 5-7).
  const unsigned avx512 = bit_AVX512F | bit_AVX512DQ | bit_AVX512BW | bit_AVX512VL;
  if ((b & avx512) == avx512 && (saved & 0xE6) == 0xE6) return Isa::kAvx512;
  return Isa::kAvx2;
}

namespace {

// The number of tables this processor runs, probed once.
std::size_t table_count() {
  static const std::size_t count = static_cast<std::size_t>(detect_isa()) + 1;
  return count;
}

}  // namespace

template <class T>
std::span<const KernelTableOf<T>* const> supported_kernel_tables_of() {
  return {kAll<T>, table_count()};
}

template <class T>
const KernelTableOf<T>& active_kernels_of() {
  static const KernelTableOf<T>& table = *kAll<T>[table_count() - 1];
  return table;
}

template std::span<const KernelTableOf<float>* const> supported_kernel_tables_of<float>();
template std::span<const KernelTableOf<double>* const> supported_kernel_tables_of<double>();
template const KernelTableOf<float>& active_kernels_of<float>();
template const KernelTableOf<double>& active_kernels_of<double>();

}  // namespace vantrel::sim::kernels

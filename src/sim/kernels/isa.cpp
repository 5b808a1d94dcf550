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
void row_sums_scalar_all(const Complex* vals, const std::uint32_t* cols, std::size_t count,
                         const Complex* scratch, std::size_t width, std::size_t c, Complex* out) {
  row_sums_scalar(vals, cols, count, scratch, width, 0, c, out);
}

constexpr KernelTable kScalar = {Isa::kScalar,
                                 "scalar",
                                 &mat2_pairs_scalar,
                                 &controlled_pairs_scalar,
                                 &row_sums_scalar_all,
                                 nullptr,
                                 nullptr,
                                 &pauli_sweep_scalar,
                                 &block_mat2_scalar,
                                 &block_controlled_x_scalar,
                                 &apply_flips_scalar,
                                 &scale_windows_scalar,
                                 &imag_pauli_chunk_scalar,
                                 &add_term_scalar,
                                 &kRotationSse2};
constexpr KernelTable kSse2 = {Isa::kSse2,
                               "SSE2",
                               &mat2_pairs_sse2,
                               &controlled_pairs_sse2,
                               &row_sums_sse2,
                               nullptr,
                               nullptr,
                               &pauli_sweep_sse2,
                               &block_mat2_sse2,
                               &block_controlled_x_scalar,
                               &apply_flips_sse2,
                               &scale_windows_sse2,
                               &imag_pauli_chunk_sse2,
                               &add_term_sse2,
                               &kRotationSse2};
constexpr KernelTable kAvx2 = {Isa::kAvx2,
                               "AVX2",
                               &mat2_pairs_avx2,
                               &controlled_pairs_avx2,
                               &row_sums_avx2,
                               &direct_groups_avx2<4>,
                               &direct_groups_avx2<8>,
                               &pauli_sweep_avx2,
                               &block_mat2_avx2,
                               &block_controlled_x_avx2,
                               &apply_flips_avx2,
                               &scale_windows_avx2,
                               &imag_pauli_chunk_avx2,
                               &add_term_avx2,
                               &kRotationAvx2};
constexpr KernelTable kAvx512 = {Isa::kAvx512,
                                 "AVX-512",
                                 &mat2_pairs_avx512,
                                 &controlled_pairs_avx512,
                                 &row_sums_avx512,
                                 &direct_groups_avx512<4>,
                                 &direct_groups_avx512<8>,
                                 &pauli_sweep_avx512,
                                 &block_mat2_avx512,
                                 &block_controlled_x_avx512,
                                 &apply_flips_avx512,
                                 &scale_windows_avx512,
                                 &imag_pauli_chunk_avx512,
                                 &add_term_avx512,
                                 &kRotationAvx512};

constexpr const KernelTable* kAll[] = {&kScalar, &kSse2, &kAvx2, &kAvx512};

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

std::span<const KernelTable* const> supported_kernel_tables() {
  static const std::size_t count = static_cast<std::size_t>(detect_isa()) + 1;
  return {kAll, count};
}

const KernelTable& active_kernels() {
  static const KernelTable& table = *kAll[static_cast<std::size_t>(detect_isa())];
  return table;
}

}  // namespace vantrel::sim::kernels

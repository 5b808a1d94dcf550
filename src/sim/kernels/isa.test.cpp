#include "sim/kernels/isa.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vantrel::sim::kernels {
namespace {

// The kernel tests run every table of supported_kernel_tables(). They must
// be every table the processor offers: asked of the compiler's own processor
// probe (which also checks what the operating system saves), not of
// detect_isa, so a fault there cannot hide a table from the tests. The
// names are printed and recorded, so a test log says which tables ran.
TEST(KernelTables, TheTestsRunEveryTableTheProcessorOffers) {
  __builtin_cpu_init();
  std::vector<std::string> want = {"scalar", "SSE2"};
  if (__builtin_cpu_supports("avx2")) want.push_back("AVX2");
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl"))
    want.push_back("AVX-512");
  // Both precisions offer the same tables.
  std::vector<std::string> tested, tested_double;
  std::string line;
  for (const KernelTable* table : supported_kernel_tables()) {
    tested.push_back(table->name);
    line += (line.empty() ? "" : " ") + std::string(table->name);
  }
  for (const KernelTableOf<double>* table : supported_kernel_tables_of<double>())
    tested_double.push_back(table->name);
  std::printf("kernel tables tested (single and double precision): %s\n", line.c_str());
  RecordProperty("kernel_tables", line);
  EXPECT_EQ(tested, want);
  EXPECT_EQ(tested_double, want);
  EXPECT_EQ(active_kernels().name, want.back());
  EXPECT_EQ(active_kernels_of<double>().name, want.back());
}

}  // namespace
}  // namespace vantrel::sim::kernels

#include "sim/kernels/adjoint_inner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <vector>

#include "sim/kernels/observable_apply.h"
#include "sim/testing/amps.h"

namespace vantrel::sim {
namespace {

using namespace testing;

template <class T>
class PauliLanes : public ::testing::Test {};
TYPED_TEST_SUITE(PauliLanes, Precisions);

// Masks of any low permutation of x_mask (bits 0-3 and beyond), signs from
// low and high z bits, both phase kinds.
kernels::PauliMasks random_term(std::size_t n, std::mt19937& rng) {
  const std::uint64_t all = (std::uint64_t{1} << n) - 1;
  return {rng() & all, rng() & all, rng() % 2 == 0, rng() % 2 == 0};
}

// Every register form of the adjoint inner product gives the plain loop's
// bits on chunks from any group, zeros of both signs among the amplitudes.
TYPED_TEST(PauliLanes, InnerProductChunksEqualThePlainLoop) {
  using T = TypeParam;
  std::mt19937 rng(3);
  const std::size_t n = 12;  // one chunk of 4096 amplitudes
  const AmpsOf<T> lambda = random_state<T>(n, rng), psi = random_state<T>(n, rng);
  for (int trial = 0; trial < 200; ++trial) {
    const kernels::PauliMasks m = random_term(n, rng);
    const std::size_t lo = kernels::kAdjointGroup * (rng() % 16);
    const std::size_t hi = std::min<std::size_t>(lambda.size(), lo + kernels::kAdjointGroup * (1 + rng() % 256));
    const double plain = kernels::imag_pauli_chunk_scalar(lambda.data(), psi.data(), m, lo, hi);
    for (const kernels::KernelTableOf<T>* table : tables<T>())
      ASSERT_EQ(std::bit_cast<std::uint64_t>(table->imag_pauli_chunk(lambda.data(), psi.data(), m, lo, hi)),
                std::bit_cast<std::uint64_t>(plain))
          << trial << " " << table->name;
  }
}

// Every register form of a term's addition to H psi gives the plain loop's
// bits, on blocks from any group.
TYPED_TEST(PauliLanes, TermAdditionsEqualThePlainLoop) {
  using T = TypeParam;
  std::mt19937 rng(4);
  const std::size_t n = 9;
  const AmpsOf<T> psi = random_state<T>(n, rng);
  for (int trial = 0; trial < 100; ++trial) {
    const kernels::TermLanesOf<T> lanes = kernels::term_lanes<T>(random_term(n, rng), random_float<T>(rng));
    const std::size_t base = kernels::kTermGroup * (rng() % 32);
    const std::size_t count = kernels::kTermGroup * (1 + rng() % 32);
    const AmpsOf<T> start = random_state<T>(6, rng);  // 64 running sums
    AmpsOf<T> want(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(count, 64)));
    const std::size_t c = want.size();
    kernels::add_term_scalar(want.data(), psi.data(), base, c, lanes);
    for (const kernels::KernelTableOf<T>* table : tables<T>()) {
      AmpsOf<T> got(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(c));
      table->add_term(got.data(), psi.data(), base, c, lanes);
      ASSERT_TRUE(same_bits(got, want)) << trial << " " << table->name;
    }
  }
}

}  // namespace
}  // namespace vantrel::sim

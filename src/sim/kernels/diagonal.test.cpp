#include "sim/kernels/diagonal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "sim/kernels/reference.h"
#include "sim/testing/gates.h"
#include "sim/testing/states.h"

namespace vantrel::sim {
namespace {

using namespace testing;

template <class T>
class DiagonalKernel : public ::testing::Test {};
TYPED_TEST_SUITE(DiagonalKernel, Precisions);

// Targets inside the 64-amplitude windows, above them (more than the tables
// of selections take, too) and both.
TYPED_TEST(DiagonalKernel, MatchesTheGeneralReferenceOnEveryLayout) {
  using T = TypeParam;
  std::mt19937 rng(31);
  for (unsigned bits = 1; bits <= 11; ++bits) {
    for (std::size_t count = 0; count <= std::min<std::size_t>(bits > 8 ? 6 : 4, bits); ++count) {
      for (int rep = 0; rep < (bits > 8 ? 3 : 6); ++rep) {
        std::vector<std::uint64_t> all(bits);
        std::iota(all.begin(), all.end(), 0);
        std::shuffle(all.begin(), all.end(), rng);
        unsigned positions[kernels::kMaxDiagonalTargets];
        for (std::size_t i = 0; i < count; ++i) positions[i] = static_cast<unsigned>(all[i]);
        const std::size_t d = std::size_t{1} << count;
        const AmpsOf<T> m = random_diagonal<T>(d, rng);
        AmpsOf<T> factors(d);
        for (std::size_t r = 0; r < d; ++r) factors[r] = m[r * d + r];
        const AmpsOf<T> start = random_unit_state<T>(bits, rng);
        AmpsOf<T> scalar = start, want = start;
        kernels::apply_diagonal_scalar(scalar.data(), bits, positions, count, factors.data());
        if (count > 0) {
          // Row bit i is position i; the reference's first target is the top bit.
          std::vector<std::uint64_t> targets(count);
          for (std::size_t t = 0; t < count; ++t) targets[t] = positions[count - 1 - t];
          reference::apply_matrix(want, targets, m);
        } else {
          for (auto& a : want) a = cadd(cmul(factors[0], a), ComplexOf<T>{});
        }
        ASSERT_TRUE(same_bits(scalar, want)) << bits << " " << count;
        for (const kernels::KernelTableOf<T>* table : tables<T>()) {
          AmpsOf<T> got = start;
          kernels::apply_diagonal(got.data(), bits, positions, count, factors.data(), *table);
          ASSERT_TRUE(same_bits(got, want))
              << table->name << " " << bits << " " << count << " at " << first_difference(got, want);
        }
      }
    }
  }
  EXPECT_TRUE(kernels::is_diagonal(controlled<T>(1, random_diagonal<T>(2, rng), 2), 4));
  EXPECT_FALSE(kernels::is_diagonal(controlled<T>(1, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}, 2), 4));
}

// Runs of gates with factors 1 and -1 (positions inside the 64-amplitude
// windows, above them and on both sides; more than the tables take) against
// the gates one by one.
TYPED_TEST(DiagonalKernel, SignRunsMatchTheGatesOneByOne) {
  using T = TypeParam;
  std::mt19937 rng(37);
  for (unsigned bits = 1; bits <= 10; ++bits) {
    for (int rep = 0; rep < 20; ++rep) {
      const std::size_t count = 1 + rng() % (rep < 18 ? 8 : 80);
      std::vector<kernels::SignDiagonal> ops(count);
      const AmpsOf<T> start = random_unit_state<T>(bits, rng);
      AmpsOf<T> want = start;
      for (auto& op : ops) {
        op.count = 1 + rng() % std::min<std::size_t>(5, bits);
        const auto qubits = random_targets(bits, op.count, rng);
        AmpsOf<T> factors(std::size_t{1} << op.count);
        for (std::size_t i = 0; i < op.count; ++i) op.positions[i] = static_cast<unsigned>(qubits[i]);
        for (std::size_t r = 0; r < factors.size(); ++r) {
          const bool flip = rng() & 1;
          factors[r] = {flip ? T(-1) : T(1), rng() & 1 ? T(0) : -T(0)};
          if (flip) op.flips[r >> 6] |= std::uint64_t{1} << (r & 63);
        }
        ASSERT_TRUE(kernels::are_signs(factors));
        kernels::apply_diagonal_scalar(want.data(), bits, op.positions, op.count, factors.data());
      }
      for (const kernels::KernelTableOf<T>* table : tables<T>()) {
        AmpsOf<T> got = start;
        kernels::apply_sign_run(got.data(), bits, ops.data(), count, *table);
        ASSERT_TRUE(same_bits(got, want)) << table->name << " " << bits << " " << count << " at "
                                          << first_difference(got, want);
      }
    }
  }
  EXPECT_FALSE(kernels::are_signs(AmpsOf<T>{{1, 0}, {0, 1}}));
}

}  // namespace
}  // namespace vantrel::sim

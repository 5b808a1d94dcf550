#include "sim/base/duplicates.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace vantrel::sim {
namespace {

// Whatever the length (pairwise below the cut, sorted above it), the
// position found is the one of the plain pairwise scan.
TEST(FirstDuplicate, AgreesWithThePairwiseScan) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t k = rng() % 120;
    const std::uint64_t range = 1 + rng() % (2 * k + 2);
    std::vector<std::uint64_t> v(k);
    for (auto& x : v) x = rng() % range;
    std::size_t expected = k;
    for (std::size_t i = 0; i < k && expected == k; ++i)
      for (std::size_t j = i + 1; j < k; ++j)
        if (v[i] == v[j]) {
          expected = i;
          break;
        }
    ASSERT_EQ(first_duplicate(std::span<const std::uint64_t>(v)), expected) << "round " << round;
  }
}

}  // namespace
}  // namespace vantrel::sim

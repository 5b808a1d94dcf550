#include "sim/state/probabilities.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "sim/base/pool.h"
#include "sim/testing/states.h"

namespace vantrel::sim {
namespace {

using namespace testing;

// The definition: every index in ascending order adds its weight to the bin
// its bits at `qubits` name.
std::vector<double> plain(const Amps& a, const std::vector<std::uint64_t>& qubits) {
  std::vector<double> out(std::size_t{1} << qubits.size(), 0.0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::size_t b = 0;
    for (std::size_t j = 0; j < qubits.size(); ++j) b |= ((i >> qubits[j]) & 1) << j;
    out[b] += double(a[i].re) * double(a[i].re) + double(a[i].im) * double(a[i].im);
  }
  return out;
}

TEST(Probabilities, SameBitsAsThePlainSumForAnyQubitListAndPoolSize) {
  std::mt19937 rng(17);
  for (std::uint64_t n : {1u, 5u, 11u, 17u}) {
    StateVector s = std::move(StateVector::create(n).value());
    const Amps a = random_unit_state(n, rng);
    std::copy(a.begin(), a.end(), s.data());
    std::vector<std::uint64_t> all(n);
    for (std::uint64_t q = 0; q < n; ++q) all[q] = q;
    std::vector<std::uint64_t> shuffled = all;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    const std::vector<std::uint64_t> lists[] = {all, shuffled, {n - 1}, {}, {0, n - 1}};
    for (const auto& qubits : lists) {
      if (qubits.size() == 2 && n == 1) continue;
      const std::vector<double> want = plain(a, qubits);
      for (bool solo : {false, true}) {
        std::optional<SoloScope> one_thread;
        if (solo) one_thread.emplace();
        auto got = probabilities(s, qubits);
        ASSERT_TRUE(got.ok());
        ASSERT_EQ(got->size, want.size());
        ASSERT_EQ(0, std::memcmp(got->values.get(), want.data(), want.size() * sizeof(double)))
            << n << " qubits, " << qubits.size() << " listed";
      }
    }
  }
}

TEST(Probabilities, QubitsCheckedInListOrder) {
  StateVector s = std::move(StateVector::create(3).value());
  const std::vector<std::uint64_t> repeated = {2, 0, 2, 9};
  EXPECT_EQ(probabilities(s, repeated).error().message, "duplicate qubit index: 2");
  const std::vector<std::uint64_t> wide = {0, 3, 0};
  EXPECT_EQ(probabilities(s, wide).error().message, "qubit index 3 is out of range for 3 qubits");
}

}  // namespace
}  // namespace vantrel::sim

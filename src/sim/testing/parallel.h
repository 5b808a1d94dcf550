// Checks shared by the pool's and the teams' tests. Test code only.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include "sim/base/pool.h"

namespace vantrel::sim::testing {

// Every item exactly once, pieces disjoint, for a spread of sizes and grains.
template <class Exec>
void check_coverage() {
  for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 4097u}) {
    for (std::size_t grain : {0u, 1u, 5u, 64u, 5000u}) {
      std::vector<std::atomic<int>> hits(n);
      Exec::parallel_for(n, grain, [&](std::size_t lo, std::size_t hi) {
        ASSERT_LT(lo, hi);
        for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1);
      });
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << grain;
    }
  }
}

}  // namespace vantrel::sim::testing

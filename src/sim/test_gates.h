// Gates and helpers shared by the engine tests (test code only).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sim/operation.h"

namespace vantrel::sim::testing {

inline constexpr float kHalf = 0.70710677f;  // nearest float to 1/sqrt(2)
inline const std::vector<Complex> kH = {{kHalf, 0}, {kHalf, 0}, {kHalf, 0}, {-kHalf, 0}};
inline const std::vector<Complex> kX = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
inline const std::vector<Complex> kCnot = {{1, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0},
                                           {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {1, 0},
                                           {0, 0}, {0, 0}, {1, 0}, {0, 0}};

// A unitary gate; the test fails if the operation is refused.
inline Gate unitary(std::vector<std::uint64_t> targets, std::vector<Complex> m) {
  auto op = Operation::create(std::move(targets), std::move(m));
  EXPECT_TRUE(op.ok());
  return Gate::unitary(std::move(op).value());
}

inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

inline Gate hadamard(std::uint64_t q) {
  const float r = 1.0f / std::sqrt(2.0f);
  return Gate::unitary(Operation::create({q}, {{r, 0}, {r, 0}, {r, 0}, {-r, 0}}).value());
}

inline Gate cnot(std::uint64_t c, std::uint64_t t) {
  return make_controlled_unitary_gate({c}, {t}, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}).value();
}

}  // namespace vantrel::sim::testing

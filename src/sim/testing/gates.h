// Gates and helpers shared by the engine tests (test code only).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sim/model/gates.h"
#include "sim/model/operation.h"

namespace vantrel::sim::testing {

inline constexpr float kHalf = 0.70710677f;  // nearest float to 1/sqrt(2)
inline const std::vector<Complex> kH = standard_matrix(StandardGate::kH);
inline const std::vector<Complex> kX = standard_matrix(StandardGate::kX);

// The dense matrix of U (d x d) with one control as the high bit: the
// identity except the block where the control is 1, which holds U.
inline std::vector<Complex> controlled_dense(const std::vector<Complex>& u, std::size_t d) {
  std::vector<Complex> m(4 * d * d);
  for (std::size_t r = 0; r < d; ++r) m[r * 2 * d + r] = {1, 0};
  for (std::size_t r = 0; r < d; ++r)
    for (std::size_t c = 0; c < d; ++c) m[(d + r) * 2 * d + d + c] = u[r * d + c];
  return m;
}
inline const std::vector<Complex> kCnot = controlled_dense(kX, 2);

// A unitary gate; the test fails if the operation is refused.
inline Gate unitary(std::vector<std::uint64_t> targets, std::vector<Complex> m) {
  auto op = Operation::create(std::move(targets), std::move(m));
  EXPECT_TRUE(op.ok());
  return Gate::unitary(std::move(op).value());
}

inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

inline Gate hadamard(std::uint64_t q) { return make_standard_gate(StandardGate::kH, {q}).value(); }

inline Gate cnot(std::uint64_t c, std::uint64_t t) {
  return make_controlled_standard_gate(StandardGate::kX, {c}, {t}).value();
}

}  // namespace vantrel::sim::testing

// Gates and helpers shared by the engine tests (test code only).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "sim/operation.h"

namespace vantrel::sim::testing {

inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

inline Gate hadamard(std::uint64_t q) {
  const float r = 1.0f / std::sqrt(2.0f);
  return Gate::unitary(Operation::create({q}, {{r, 0}, {r, 0}, {r, 0}, {-r, 0}}).value());
}

inline Gate cnot(std::uint64_t c, std::uint64_t t) {
  return make_controlled_unitary_gate({c}, {t}, {{0, 0}, {1, 0}, {1, 0}, {0, 0}}).value();
}

}  // namespace vantrel::sim::testing

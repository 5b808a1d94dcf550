// Pauli labels and terms for the engine's observable tests.
#pragma once

#include <utility>
#include <vector>

#include "sim/model/observable.h"

namespace vantrel::sim::testing {

inline constexpr PauliLabel X = PauliLabel::kX;
inline constexpr PauliLabel Y = PauliLabel::kY;
inline constexpr PauliLabel Z = PauliLabel::kZ;

// A term the test knows to be valid.
inline PauliTerm term(std::vector<PauliFactor> ops, float c) {
  return *PauliTerm::create(std::move(ops), c);
}

}  // namespace vantrel::sim::testing

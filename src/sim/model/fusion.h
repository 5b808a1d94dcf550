// Fusion of runs of adjacent one-qubit unitaries on the same qubit.
#pragma once

#include <span>
#include <vector>

#include "sim/model/operation.h"

namespace vantrel::sim {

// Returns a new list in which each run of adjacent one-qubit unitaries on one
// qubit is replaced by their product (the first gate applied first), a new
// gate without a label. Other gates, and runs of one gate, are copied; other
// gates end any run. A run whose product fails validation is kept unfused.
std::vector<Gate> fuse_gates(std::span<const Gate> gates);

}  // namespace vantrel::sim

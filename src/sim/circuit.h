// One-off circuits: a list of gates run on a caller's state.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "sim/operation.h"
#include "sim/result.h"
#include "sim/state_vector.h"

namespace vantrel::sim {

struct MeasurementRecord {
  std::uint64_t qubit;
  bool outcome;
};

class Circuit {
 public:
  // Fuses the list when it holds 16 or more one-qubit unitaries.
  static Circuit create(std::vector<Gate> gates);

  // Runs every gate in order on `state`; stops at the first error (earlier
  // gates stay applied). Returns the measurement records in execution order.
  Result<std::vector<MeasurementRecord>> run(StateVector& state) const;

  const std::vector<Gate>& gates() const { return gates_; }

 private:
  std::vector<Gate> gates_;
};

}  // namespace vantrel::sim

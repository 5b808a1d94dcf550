// One-off circuits: a list of gates run on a caller's state.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "sim/run/block_executor.h"
#include "sim/model/operation.h"
#include "sim/base/result.h"
#include "sim/base/rng.h"
#include "sim/state/state_vector.h"

namespace vantrel::sim {

// Executes one gate on `state`: a unitary through apply_operation, a
// measurement, a reset or a channel drawing from `rng` (required for those
// kinds), a barrier as nothing. Returns the outcome of a measurement, nothing otherwise.
template <class T>
Result<std::optional<bool>> execute_gate(StateVectorOf<T>& state, const Gate& gate, Rng* rng);

class Circuit {
 public:
  // Fuses the list when it holds 16 or more one-qubit unitaries.
  static Circuit create(std::vector<Gate> gates);
  // Takes the list as it is, without fusing: a list that create() produced
  // before (a decoded circuit must run exactly as the one encoded).
  static Circuit from_gates(std::vector<Gate> gates);

  // Runs every gate in order on `state`; stops at the first error (earlier
  // gates stay applied), or with interrupted() before a gate once the
  // thread's Interrupt asks (interrupt.h). Returns the measurement records in
  // execution order.
  // In the state's precision (each gate's matrix of that precision).
  template <class T>
  Result<std::vector<MeasurementRecord>> run(StateVectorOf<T>& state) const;
  // The same with measurement and reset gates drawing from `rng`.
  template <class T>
  Result<std::vector<MeasurementRecord>> run(StateVectorOf<T>& state, Rng& rng) const;

  const std::vector<Gate>& gates() const { return gates_; }

 private:
  std::vector<Gate> gates_;
};

}  // namespace vantrel::sim

// Exact outcome probabilities of a state vector, marginal on chosen qubits.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sim/base/result.h"
#include "sim/state/state_vector.h"

namespace vantrel::sim {

// The probability of each basis state of `qubits` (bit j of an outcome is
// qubits[j]): out[b] = sum of |psi[i]|^2 over the indices i whose bits at
// `qubits` spell b. Each |psi[i]|^2 is re*re + im*im in double precision, and
// each out[b] is a running double sum over its indices in ascending order,
// so the result does not depend on the pool size. One pass over the state,
// writing the output (zeroed first when k < n); the state is read only, not
// normalised.
// Checks each qubit in list order: "qubit index {} is out of range for {}
// qubits", then "duplicate qubit index: {}" for a qubit seen earlier. The
// output of 2^k doubles that cannot be allocated is kOutOfMemory.
// The values, from malloc/calloc (for a caller that releases them with
// std::free, such as an array that takes them over), 2^k of them.
struct ProbabilityTable {
  std::unique_ptr<double[], FreeDeleter> values;
  std::size_t size = 0;
};
template <class T>
Result<ProbabilityTable> probabilities(const StateVectorOf<T>& state,
                                       std::span<const std::uint64_t> qubits);

// The refusal of exact probabilities for a run that measures or resets,
// whose final state is one random outcome among others.
inline Error random_final_state() {
  return invalid(
      "probabilities need a circuit without measurement or reset: its final state is random; "
      "use sample or counts");
}

// probabilities() on every qubit in order: out[i] = |psi[i]|^2.
template <class T>
Result<ProbabilityTable> probabilities(const StateVectorOf<T>& state);

}  // namespace vantrel::sim

// Pauli observables as data: real-weighted sums of Pauli strings, their
// validation and their masks. Evaluating them is state/expectation.h's.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "sim/base/result.h"
#include "sim/kernels/pauli.h"

namespace vantrel::sim {

enum class PauliLabel : std::uint8_t { kX = 0, kY = 1, kZ = 2 };

struct PauliFactor {
  std::uint64_t qubit;
  PauliLabel label;
};

struct PauliTerm {
  std::vector<PauliFactor> ops;  // distinct qubits, ascending
  // As given; single-precision computations use it rounded to float.
  double coefficient = 1.0;

  // "duplicate qubit index: {}" (earliest factor with a later duplicate);
  // otherwise sorts the factors by qubit.
  static Result<PauliTerm> create(std::vector<PauliFactor> ops, double coefficient);
};

class Observable {
 public:
  // "observable must contain at least one term" for an empty list.
  static Result<Observable> create(std::vector<PauliTerm> terms);
  static Result<Observable> single(PauliLabel label, std::uint64_t qubit, double coefficient);

  const std::vector<PauliTerm>& terms() const { return terms_; }

 private:
  std::vector<PauliTerm> terms_;
};

// "observable references qubit {} but state vector only has {} qubits" for
// the first factor (terms in order, factors in order) at or above n.
Status validate_observable(std::span<const PauliTerm> terms, std::uint64_t num_qubits);

// The masks of a Pauli string (kernels/pauli.h says what they mean); every
// qubit below 64, no qubit twice.
kernels::PauliMasks pauli_masks(std::span<const PauliFactor> factors);

}  // namespace vantrel::sim

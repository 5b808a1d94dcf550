// The engine's error messages that more than one unit reports, each written
// once. A message is part of the interface: the Python layer shows it as it
// is, so its wording changes only here and only on purpose.
#pragma once

#include <cstdint>

#include "sim/base/result.h"

namespace vantrel::sim::messages {

// Qubits.
inline Error qubit_out_of_range(std::uint64_t qubit, std::uint64_t num_qubits) {
  return invalid("qubit index " + dec(qubit) + " is out of range for " + dec(num_qubits) +
                 " qubits");
}
inline Error duplicate_qubit(std::uint64_t qubit) {
  return invalid("duplicate qubit index: " + dec(qubit));
}
inline Error too_many_operation_qubits(std::uint64_t count) {
  return invalid("too many qubits in operation: " + dec(count));
}
inline Error not_unitary() { return invalid("matrix must be unitary within tolerance 1e-3"); }
// An operation whose matrix has no 2^k x 2^k shape on its last k targets (a
// value assembled by hand; the constructors never make one).
inline Error matrix_does_not_match_targets() {
  return internal("operation matrix does not match its targets");
}

// Parameterized specifications and plans.
inline Error plan_without_qubits() {
  return invalid("compiled circuits must have at least one qubit");
}
inline Error no_such_slot(std::uint64_t slot) {
  return invalid("parameter slot " + dec(slot) + " does not exist in this circuit spec");
}
inline Error empty_pauli_rotation() {
  return invalid("pauli rotation needs at least one X, Y or Z factor");
}
inline Error rotation_scale_not_finite() { return invalid("rotation scale must be finite"); }
inline Error parameter_length(std::uint64_t given, std::uint64_t expected) {
  return invalid("parameter vector has length " + dec(given) + ", expected " + dec(expected));
}
inline Error adjoint_random_steps() {
  return invalid("adjoint differentiation does not support measurement or reset steps");
}

}  // namespace vantrel::sim::messages

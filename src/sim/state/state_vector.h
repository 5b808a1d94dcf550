// The state vector: 2^n single-precision amplitudes, qubit q being bit q of
// the basis-state index (qubit 0 is the least significant bit).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "sim/base/alloc.h"
#include "sim/base/complex.h"
#include "sim/model/operation.h"
#include "sim/base/result.h"

namespace vantrel::sim {

// Amplitude buffers come from calloc/malloc so that they can be handed to
// NumPy, which releases them with std::free through its base object.
using AmplitudeBuffer = std::unique_ptr<Complex[], FreeDeleter>;

class StateVector {
 public:
  StateVector() = default;

  // |0...0> on n qubits. An allocation that cannot be made, n >= 64
  // included, is kOutOfMemory "cannot allocate a state vector of {n} qubits
  // ({size})".
  static Result<StateVector> create(std::uint64_t num_qubits);

  // Takes over `amplitudes` (2^num_qubits entries, from malloc/calloc).
  StateVector(std::uint64_t num_qubits, AmplitudeBuffer amplitudes)
      : num_qubits_(num_qubits), amplitudes_(std::move(amplitudes)) {}

  std::uint64_t num_qubits() const { return num_qubits_; }
  std::size_t size() const { return std::size_t{1} << num_qubits_; }
  Complex* data() { return amplitudes_.get(); }
  const Complex* data() const { return amplitudes_.get(); }
  std::span<Complex> amplitudes() { return {data(), size()}; }
  std::span<const Complex> amplitudes() const { return {data(), size()}; }

  // Hands the buffer to the caller (to be released with std::free); the
  // state is left empty.
  Complex* release() { return amplitudes_.release(); }

  // Sets the state back to |0...0> in place.
  void reset_to_zero_state();

  // The one-qubit kernel: applies the row-major 2x2 matrix m to qubit q.
  // Requires q < num_qubits(). Cannot fail.
  void apply_mat2(std::uint64_t q, const Complex m[4]);

  // Validates the targets (controls included) against the register, then
  // applies the operation in place (one-qubit kernel for one target with a
  // 2x2 matrix, the controlled kernels for a controlled operation, else the
  // general kernel). Besides the target errors it can fail with
  // kOutOfMemory (the general kernel's tables for a very large matrix) or
  // kInternal (a matrix that does not hold 4^k entries, which
  // Operation::create never lets through). The state is unchanged on error.
  Status apply_operation(const Operation& op);

 private:
  std::uint64_t num_qubits_ = 0;
  AmplitudeBuffer amplitudes_;
};

// "duplicate qubit index: {}" (pairs i < j in order), then
// "qubit index {} is out of range for {} qubits" (first in list order).
Status validate_targets(const StateVector& state, std::span<const std::uint64_t> targets);

// Asks the kernel to back the 2 MiB-aligned middle of a large (8 MiB or
// more), still untouched buffer with huge pages.
void prefer_huge_pages(void* data, std::size_t bytes);

// Allocates 2^n zeroed amplitudes, or returns null. n must be below 64.
AmplitudeBuffer allocate_amplitudes(std::uint64_t num_qubits);

}  // namespace vantrel::sim

// The state vector: 2^n amplitudes of scalar type T (float or double), qubit
// q being bit q of the basis-state index (qubit 0 is the least significant
// bit).
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
template <class T>
using AmplitudeBufferOf = std::unique_ptr<ComplexOf<T>[], FreeDeleter>;
using AmplitudeBuffer = AmplitudeBufferOf<float>;

template <class T>
class StateVectorOf {
 public:
  using Scalar = T;
  using Amplitude = ComplexOf<T>;

  StateVectorOf() = default;

  // |0...0> on n qubits. An allocation that cannot be made, n >= 64
  // included, is kOutOfMemory "cannot allocate a state vector of {n} qubits
  // ({size})" in single precision, "cannot allocate a double-precision state
  // vector of {n} qubits ({size})" in double.
  static Result<StateVectorOf> create(std::uint64_t num_qubits);

  // Takes over `amplitudes` (2^num_qubits entries, from malloc/calloc).
  StateVectorOf(std::uint64_t num_qubits, AmplitudeBufferOf<T> amplitudes)
      : num_qubits_(num_qubits), amplitudes_(std::move(amplitudes)) {}

  std::uint64_t num_qubits() const { return num_qubits_; }
  std::size_t size() const { return std::size_t{1} << num_qubits_; }
  Amplitude* data() { return amplitudes_.get(); }
  const Amplitude* data() const { return amplitudes_.get(); }
  std::span<Amplitude> amplitudes() { return {data(), size()}; }
  std::span<const Amplitude> amplitudes() const { return {data(), size()}; }

  // Hands the buffer to the caller (to be released with std::free); the
  // state is left empty.
  Amplitude* release() { return amplitudes_.release(); }

  // Sets the state back to |0...0> in place.
  void reset_to_zero_state();

  // The one-qubit kernel: applies the row-major 2x2 matrix m to qubit q.
  // Requires q < num_qubits(). Cannot fail.
  void apply_mat2(std::uint64_t q, const Amplitude m[4]);

  // Validates the targets (controls included) against the register, then
  // applies the operation's matrix of this precision in place (one-qubit
  // kernel for one target with a 2x2 matrix, the controlled kernels for a
  // controlled operation, else the general kernel). Besides the target
  // errors it can fail with kOutOfMemory (the general kernel's tables for a
  // very large matrix) or kInternal (a matrix that does not hold 4^k
  // entries, which Operation::create never lets through). The state is
  // unchanged on error.
  Status apply_operation(const Operation& op);

 private:
  std::uint64_t num_qubits_ = 0;
  AmplitudeBufferOf<T> amplitudes_;
};

using StateVector = StateVectorOf<float>;
using StateVectorD = StateVectorOf<double>;
extern template class StateVectorOf<float>;
extern template class StateVectorOf<double>;

// "duplicate qubit index: {}" (pairs i < j in order), then
// "qubit index {} is out of range for {} qubits" (first in list order).
Status validate_targets(std::uint64_t num_qubits, std::span<const std::uint64_t> targets);
template <class T>
Status validate_targets(const StateVectorOf<T>& state, std::span<const std::uint64_t> targets) {
  return validate_targets(state.num_qubits(), targets);
}

// Asks the kernel to back the 2 MiB-aligned middle of a large (8 MiB or
// more), still untouched buffer with huge pages.
void prefer_huge_pages(void* data, std::size_t bytes);

// Allocates 2^n zeroed amplitudes of type T, or returns null.
template <class T = float>
AmplitudeBufferOf<T> allocate_amplitudes(std::uint64_t num_qubits);

}  // namespace vantrel::sim

#include "sim/state/state_vector.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "sim/base/messages.h"
#include "sim/base/duplicates.h"
#include "sim/kernels/mat2.h"
#include "sim/kernels/matrix.h"
#include "sim/base/pool.h"
#include "sim/base/precision.h"

namespace vantrel::sim {

// The first pass over a fresh state then takes a few hundred page faults
// instead of one per 4 KiB, which matters most when the threads of a team
// fault side by side. Advice only; nothing depends on it being followed.
void prefer_huge_pages(void* data, std::size_t bytes) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < 4 * kHuge) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

template <class T>
AmplitudeBufferOf<T> allocate_amplitudes(std::uint64_t num_qubits) {
  using C = ComplexOf<T>;
  if (num_qubits >= 64) return nullptr;
  const std::uint64_t count = std::uint64_t{1} << num_qubits;
  if (count > SIZE_MAX / sizeof(C)) return nullptr;
  // calloc maps large zeroed buffers lazily, so a fresh state costs no pass.
  auto* amps = static_cast<C*>(std::calloc(count, sizeof(C)));
  if (amps != nullptr) prefer_huge_pages(amps, count * sizeof(C));
  return AmplitudeBufferOf<T>(amps);
}

namespace {

// Widths of 64 qubits and more fail as any other state too large to
// allocate; past the sizes byte_size can show, the size is in amplitudes.
template <class T>
Error state_allocation_failure(std::uint64_t num_qubits) {
  const std::string what = std::string(precision_of<T> == Precision::kDouble
                                           ? "a double-precision state vector of "
                                           : "a state vector of ") +
                           dec(num_qubits) + " qubits";
  if (num_qubits < 112)
    return allocation_failure(
        what, static_cast<unsigned __int128>(sizeof(ComplexOf<T>)) << num_qubits);
  return out_of_memory("cannot allocate " + what + " (2^" + dec(num_qubits) + " amplitudes)");
}

}  // namespace

template <class T>
Result<StateVectorOf<T>> StateVectorOf<T>::create(std::uint64_t num_qubits) {
  AmplitudeBufferOf<T> amps = allocate_amplitudes<T>(num_qubits);
  if (!amps) return state_allocation_failure<T>(num_qubits);
  amps[0] = Amplitude{T(1), T(0)};
  return StateVectorOf(num_qubits, std::move(amps));
}

template <class T>
void StateVectorOf<T>::reset_to_zero_state() {
  std::memset(static_cast<void*>(data()), 0, size() * sizeof(Amplitude));
  amplitudes_[0] = Amplitude{T(1), T(0)};
}

Status validate_targets(std::uint64_t num_qubits, std::span<const std::uint64_t> targets) {
  const std::size_t dup = first_duplicate(targets);
  if (dup != targets.size()) return messages::duplicate_qubit(targets[dup]);
  for (std::uint64_t t : targets)
    if (t >= num_qubits) return messages::qubit_out_of_range(t, num_qubits);
  return Status::Ok();
}

template <class T>
void StateVectorOf<T>::apply_mat2(std::uint64_t q, const Amplitude m[4]) {
  kernels::apply_mat2<PoolExecutor, T>(amplitudes(), q, m);
}

template <class T>
Status StateVectorOf<T>::apply_operation(const Operation& op) {
  VANTREL_TRY(validate_targets(*this, op.targets));
  const std::size_t c = op.num_controls;
  const std::vector<Amplitude>& matrix = op.matrix_of<T>();
  if (c == 0 && op.targets.size() == 1 && matrix.size() == 4) {
    apply_mat2(op.targets[0], matrix.data());
    return Status::Ok();
  }
  // Operation::create and make_controlled_unitary_gate guarantee 4^k entries
  // (and so k < 32) on at least one target; an operation assembled by hand
  // without them must not make a kernel read past its matrix.
  if (!op.has_matrix_shape<T>()) return messages::matrix_does_not_match_targets();
  if (c == 0) return kernels::apply_matrix<PoolExecutor, T>(amplitudes(), op.targets, matrix);
  return kernels::apply_controlled_matrix<PoolExecutor, T>(amplitudes(), op.controls(),
                                                           op.matrix_targets(), matrix);
}

template AmplitudeBufferOf<float> allocate_amplitudes<float>(std::uint64_t);
template AmplitudeBufferOf<double> allocate_amplitudes<double>(std::uint64_t);
template class StateVectorOf<float>;
template class StateVectorOf<double>;

}  // namespace vantrel::sim
